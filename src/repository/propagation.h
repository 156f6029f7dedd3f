// Propagation of changes into the documents of every tree: new texts of a
// repository entity, and visibility changes down a subtree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "storage/xml.h"

namespace tsa {

// Writes new texts of an entity into every document, published and working,
// of every tree and template whose rows use it.
void PropagateChanges(int32_t repType, int32_t repId, const std::string& sDesc, const std::string& lDesc);
// The identifiers of the trees in `table` that show the entity, joined by ",".
std::string getIDs(int32_t repType, int32_t repId, const std::string& table);
void PropagateChangestoXMLs(int32_t repType, int32_t repId, int32_t treeType, bool manager, const std::string& ids,
                            const std::string& sDesc, const std::string& lDesc);
void changeNodeDescsForXML(XmlDoc& document, int32_t repType, int32_t repId, const std::string& sDesc,
                           const std::string& lDesc);
// Adds or removes visibility entries on an element and every element below it.
void UpdateSelfAndDescendantNodes(XmlElement& element, const std::string& added, const std::string& removed, bool add,
                                  std::optional<int32_t> offset = std::nullopt);

}  // namespace tsa
