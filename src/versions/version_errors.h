// Error numbers of published versions, validation, where-used and the
// exchange of trees as files (1400-1449).
#pragma once

#include <cstdint>

namespace tsa::err {

inline constexpr int32_t VersionNotFound = 1400;    // the tree has no such version
inline constexpr int32_t NoSuchCopy = 1401;         // a copy to compare or read is not there
inline constexpr int32_t VersionDamaged = 1402;     // a stored version cannot be read back
inline constexpr int32_t PublishRefused = 1403;     // findings of severity "error", publishing not forced

// Trees exchanged as files: each refusal names the JSON path of what is wrong.
inline constexpr int32_t ExchangeMalformed = 1410;      // not JSON, or a member missing or of the wrong kind
inline constexpr int32_t ExchangeFormatVersion = 1411;  // a format or format version this engine does not read
inline constexpr int32_t ExchangeNotInCatalog = 1412;   // a visibility or product category the catalog lacks
inline constexpr int32_t ExchangeDanglingNode = 1413;   // a parent or hyperlink naming a node not in the file
inline constexpr int32_t ExchangeCycle = 1414;          // nodes whose parents lead in a circle, not to the root
inline constexpr int32_t ExchangeChildType = 1415;      // a node type the child-type rule forbids under its parent

}  // namespace tsa::err
