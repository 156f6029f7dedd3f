// What changed between two copies of a tree, node by node.
//
// Each change is one JSON object {"node", "change", "before", "after"}:
//   added      a node only in the newer copy; "after" holds its parent,
//              position, type, entity, texts, visibility, FAQ list and
//              hyperlink ("before" null)
//   removed    a node only in the older copy; "before" as "after" above
//   moved      a new parent, or a new place among the siblings both copies
//              share: {"parent", "position"} before and after. Siblings that
//              only close up behind a removed node, or move aside for an
//              added one, are not moved; among reordered siblings the fewest
//              nodes whose moving explains the new order are reported
//   texts      short or long text: {"sd", "ld"}
//   entity     another repository entity: {"repType", "repId"}
//   visibility the visibility list (text)
//   faqs       the FAQ list (text)
//   hyperlink  the hyperlink's target node (-1 for none)
// Changes are ordered by node identifier, then in the order above.
#pragma once

#include <nlohmann/json.hpp>

#include "versions/tree_copy.h"

namespace tsa::versions {

nlohmann::json DiffCopies(const TreeCopy& from, const TreeCopy& to);

}  // namespace tsa::versions
