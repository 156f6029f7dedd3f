#include "versions/tree_diff.h"

#include <map>
#include <set>
#include <vector>

#include "runtime/error.h"
#include "storage/xml.h"
#include "versions/version_errors.h"

namespace tsa::versions {

namespace {

using nlohmann::json;

struct NodeView {
  int32_t parent = -1;
  int32_t position = 0;  // 1-based among the parent's child nodes, in document order
  int32_t repType = 0;
  int32_t repId = 0;
  std::string sd, ld, visibility, faqs;
  int32_t hyperlink = -1;
};

struct CopyView {
  std::map<int32_t, NodeView> nodes;
  std::map<int32_t, std::vector<int32_t>> children;  // in document order
};

int32_t IntAttribute(const XmlElement& e, const char* name, int32_t fallback) {
  auto v = e.GetAttribute(name);
  if (!v || v->empty()) return fallback;
  try {
    return static_cast<int32_t>(std::stol(*v));
  } catch (...) {
    Raise(err::VersionDamaged, {}, std::string("A document holds a node whose ") + name + " is not a number");
  }
}

// The document gives structure, order and texts; the rows give the FAQ lists.
CopyView View(const TreeCopy& copy) {
  XmlDoc doc = XmlDoc::Create();
  if (!doc.LoadXml(copy.document)) Raise(err::VersionDamaged, {}, "A document cannot be read: " + doc.LastError());
  std::map<int32_t, const NodeRecord*> rows;
  for (const NodeRecord& r : copy.rows) rows[r.nodeId] = &r;
  CopyView view;
  std::vector<std::pair<XmlElement, int32_t>> pending{{doc.DocumentElement(), -1}};
  while (!pending.empty()) {
    auto [element, parent] = pending.back();
    pending.pop_back();
    NodeView n;
    const int32_t id = IntAttribute(element, "NID", 0);
    // Each node once: the sibling lists of both copies must hold the same
    // nodes for the order to be compared.
    if (view.nodes.count(id)) {
      Raise(err::VersionDamaged, {}, "A document holds node " + std::to_string(id) + " more than once");
    }
    n.parent = parent;
    n.repType = IntAttribute(element, "RTP", 0);
    n.repId = IntAttribute(element, "RID", 0);
    n.hyperlink = IntAttribute(element, "HYP", -1);
    n.visibility = element.GetAttribute("VISB").value_or("");
    if (auto sd = element.SelectSingleNode("./sd")) n.sd = sd.Text();
    if (auto ld = element.SelectSingleNode("./ld")) n.ld = ld.Text();
    if (auto row = rows.find(id); row != rows.end()) n.faqs = row->second->faqs;
    auto& siblings = view.children[parent];
    siblings.push_back(id);
    n.position = static_cast<int32_t>(siblings.size());
    view.nodes[id] = n;
    auto kids = element.ChildElements("Node");
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) pending.push_back({*it, id});
  }
  // Children were appended depth first; positions follow document order
  // because each parent's children are visited in order.
  return view;
}

json Full(const NodeView& n) {
  return {{"parent", n.parent}, {"position", n.position}, {"repType", n.repType}, {"repId", n.repId},
          {"sd", n.sd},         {"ld", n.ld},             {"visibility", n.visibility}, {"faqs", n.faqs},
          {"hyperlink", n.hyperlink}};
}

// The nodes outside a longest common subsequence of `a` and `b` (same
// elements, different order): the fewest that must move.
std::set<int32_t> Reordered(const std::vector<int32_t>& a, const std::vector<int32_t>& b) {
  const size_t n = a.size();
  std::vector<std::vector<int>> len(n + 1, std::vector<int>(n + 1, 0));
  for (size_t i = n; i-- > 0;) {
    for (size_t j = n; j-- > 0;) {
      len[i][j] = a[i] == b[j] ? len[i + 1][j + 1] + 1 : std::max(len[i + 1][j], len[i][j + 1]);
    }
  }
  std::set<int32_t> kept;
  for (size_t i = 0, j = 0; i < n && j < n;) {
    if (a[i] == b[j]) {
      kept.insert(a[i]);
      ++i;
      ++j;
    } else if (len[i + 1][j] >= len[i][j + 1]) {
      ++i;
    } else {
      ++j;
    }
  }
  std::set<int32_t> moved;
  for (int32_t id : a) {
    if (!kept.count(id)) moved.insert(id);
  }
  return moved;
}

}  // namespace

json DiffCopies(const TreeCopy& fromCopy, const TreeCopy& toCopy) {
  const CopyView from = View(fromCopy);
  const CopyView to = View(toCopy);

  // Siblings under an unchanged parent, in both orders, restricted to the
  // nodes both copies keep there.
  std::set<int32_t> reordered;
  for (const auto& [parent, before] : from.children) {
    auto after = to.children.find(parent);
    if (after == to.children.end()) continue;
    std::vector<int32_t> a, b;
    for (int32_t id : before) {
      auto t = to.nodes.find(id);
      if (t != to.nodes.end() && t->second.parent == parent) a.push_back(id);
    }
    for (int32_t id : after->second) {
      auto f = from.nodes.find(id);
      if (f != from.nodes.end() && f->second.parent == parent) b.push_back(id);
    }
    for (int32_t id : Reordered(a, b)) reordered.insert(id);
  }

  json changes = json::array();
  auto add = [&](int32_t node, const char* change, json before, json after) {
    changes.push_back({{"node", node}, {"change", change}, {"before", std::move(before)}, {"after", std::move(after)}});
  };
  std::set<int32_t> ids;
  for (const auto& [id, n] : from.nodes) ids.insert(id);
  for (const auto& [id, n] : to.nodes) ids.insert(id);
  for (int32_t id : ids) {
    auto f = from.nodes.find(id);
    auto t = to.nodes.find(id);
    if (f == from.nodes.end()) {
      add(id, "added", nullptr, Full(t->second));
      continue;
    }
    if (t == to.nodes.end()) {
      add(id, "removed", Full(f->second), nullptr);
      continue;
    }
    const NodeView& a = f->second;
    const NodeView& b = t->second;
    if (a.parent != b.parent || reordered.count(id)) {
      add(id, "moved", {{"parent", a.parent}, {"position", a.position}},
          {{"parent", b.parent}, {"position", b.position}});
    }
    if (a.sd != b.sd || a.ld != b.ld) add(id, "texts", {{"sd", a.sd}, {"ld", a.ld}}, {{"sd", b.sd}, {"ld", b.ld}});
    if (a.repType != b.repType || a.repId != b.repId) {
      add(id, "entity", {{"repType", a.repType}, {"repId", a.repId}}, {{"repType", b.repType}, {"repId", b.repId}});
    }
    if (a.visibility != b.visibility) add(id, "visibility", a.visibility, b.visibility);
    if (a.faqs != b.faqs) add(id, "faqs", a.faqs, b.faqs);
    if (a.hyperlink != b.hyperlink) add(id, "hyperlink", a.hyperlink, b.hyperlink);
  }
  return changes;
}

}  // namespace tsa::versions
