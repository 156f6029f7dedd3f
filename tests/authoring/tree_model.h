// What a tree should hold, kept by a test beside the engine: the shape of
// each copy (every node with its parent, its place among its siblings, its
// entity, lists and hyperlink), so that a test can say which change it
// expects a call to make and find any change it did not ask for.
//
// Sequence numbers are not kept, only the order they give: they may have
// gaps, and what a user sees is the order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/tree_fixture.h"

namespace tsa::test {

struct ModelNode {
  int32_t parent = -1;
  int32_t repType = 0;
  int32_t repId = 0;
  std::string visibility;
  std::string faqs;
  int32_t hyperlink = -1;
  std::vector<int32_t> children;  // in the order the sequence numbers give

  bool operator==(const ModelNode&) const = default;
};

// One copy of a tree, by node identifier.
using Shape = std::map<int32_t, ModelNode>;

inline Shape ShapeOf(const std::vector<NodeRow>& rows) {
  Shape shape;
  std::map<int32_t, std::vector<std::pair<int32_t, int32_t>>> children;  // parent -> (sequence, node)
  for (const NodeRow& r : rows) {
    shape[r.nodeId] = ModelNode{r.parentId, r.repType, r.repId, r.visibility, r.faqs, r.hyperlink, {}};
    children[r.parentId].emplace_back(r.sequence, r.nodeId);
  }
  for (auto& [parent, list] : children) {
    auto it = shape.find(parent);
    if (it == shape.end()) continue;  // the root's parent, or a row whose parent is missing (shown by the diff)
    std::sort(list.begin(), list.end());
    for (const auto& [sequence, node] : list) it->second.children.push_back(node);
  }
  return shape;
}

// The identifiers of a node and everything below it.
inline std::vector<int32_t> Subtree(const Shape& shape, int32_t nodeId) {
  std::vector<int32_t> out;
  std::vector<int32_t> pending = {nodeId};
  while (!pending.empty()) {
    const int32_t n = pending.back();
    pending.pop_back();
    auto it = shape.find(n);
    if (it == shape.end()) continue;
    out.push_back(n);
    pending.insert(pending.end(), it->second.children.begin(), it->second.children.end());
  }
  return out;
}

// Removes a node and everything below it, and the node from its parent's children.
inline void RemoveSubtree(Shape& shape, int32_t nodeId) {
  auto it = shape.find(nodeId);
  if (it == shape.end()) return;
  auto parent = shape.find(it->second.parent);
  if (parent != shape.end()) std::erase(parent->second.children, nodeId);
  for (int32_t n : Subtree(shape, nodeId)) shape.erase(n);
}

// Which fields a comparison leaves out.
struct Ignoring {
  bool visibility = false;
  bool repId = false;
  bool hyperlink = false;
};

inline void PrintTo(const ModelNode& n, std::ostream* os) {
  *os << "parent " << n.parent << ", type " << n.repType << ", entity " << n.repId << ", list \"" << n.visibility
      << "\", faqs \"" << n.faqs << "\", hyperlink " << n.hyperlink << ", children [";
  for (size_t i = 0; i < n.children.size(); ++i) *os << (i ? " " : "") << n.children[i];
  *os << "]";
}

// The differences between what was expected and what is there, one line
// each (at most `limit`); empty when they agree.
inline std::string ShapeDifferences(const Shape& expected, const Shape& actual, Ignoring ignoring = {},
                                    size_t limit = 12) {
  std::ostringstream out;
  size_t found = 0;
  auto line = [&](int32_t node, const std::string& text) {
    if (found++ < limit) out << "\n    node " << node << ": " << text;
  };
  auto text = [](const ModelNode& n) {
    std::ostringstream s;
    PrintTo(n, &s);
    return s.str();
  };
  for (const auto& [id, want] : expected) {
    auto it = actual.find(id);
    if (it == actual.end()) {
      line(id, "missing (expected " + text(want) + ")");
      continue;
    }
    ModelNode have = it->second;
    if (ignoring.visibility) have.visibility = want.visibility;
    if (ignoring.repId) have.repId = want.repId;
    if (ignoring.hyperlink) have.hyperlink = want.hyperlink;
    if (!(have == want)) line(id, "expected " + text(want) + "\n      but is " + text(it->second));
  }
  for (const auto& [id, have] : actual) {
    if (!expected.count(id)) line(id, "not expected, but is there: " + text(have));
  }
  if (found > limit) out << "\n    ... and " << (found - limit) << " more";
  return out.str();
}

}  // namespace tsa::test
