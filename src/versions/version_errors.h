// Error numbers of published versions, validation, where-used and the
// exchange of trees as files (1400-1449).
#pragma once

#include <cstdint>

namespace tsa::err {

inline constexpr int32_t VersionNotFound = 1400;    // the tree has no such version
inline constexpr int32_t NoSuchCopy = 1401;         // a copy to compare or read is not there
inline constexpr int32_t VersionDamaged = 1402;     // a stored version cannot be read back
inline constexpr int32_t PublishRefused = 1403;     // findings of severity "error", publishing not forced

}  // namespace tsa::err
