#include "model/tree_validation.h"

#include "model/tree.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "runtime/error.h"
#include "runtime/xml_chars.h"
#include "storage/tree_types.h"
#include "storage/visibility.h"
#include "storage/xml.h"
#include "versions/tree_copy.h"

namespace tsa {

namespace {

using versions::NodeRecord;

// What the rules look at: the copy's rows and document, its product's
// visibilities and the texts of the entities its nodes show.
struct Facts {
  int32_t treeType = 0;
  int32_t id = 0;
  std::vector<NodeRecord> rows;
  std::map<int32_t, const NodeRecord*> byId;
  std::map<int32_t, std::vector<const NodeRecord*>> children;  // by parent, rows order
  XmlDoc document;                                             // null when unreadable
  std::string documentProblem;
  std::map<int32_t, XmlElement> elements;                      // by NID
};

using Findings = std::vector<Finding>;

void Add(Findings& out, const char* severity, const char* rule, int32_t node, std::string message) {
  out.push_back({severity, rule, node, std::move(message)});
}

std::string Short(const Facts& f, int32_t node) {
  auto e = f.elements.find(node);
  if (e == f.elements.end()) return {};
  auto sd = e->second.SelectSingleNode("./sd");
  return sd ? sd.Text() : std::string();
}

std::vector<std::string> Entries(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(start, end - start);
    entry.erase(0, entry.find_first_not_of(' '));
    entry.erase(entry.find_last_not_of(' ') + 1);
    if (!entry.empty()) out.push_back(entry);
    start = end + 1;
  }
  return out;
}

void BrokenHyperlink(const Facts& f, Findings& out) {
  for (const NodeRecord& r : f.rows) {
    if (r.hyperlink != -1 && !f.byId.count(r.hyperlink)) {
      Add(out, "error", "broken-hyperlink", r.nodeId,
          "Node " + std::to_string(r.nodeId) + " links to node " + std::to_string(r.hyperlink) +
              ", which the tree does not have");
    }
  }
}

void NoAudience(const Facts& f, Findings& out) {
  for (const NodeRecord& r : f.rows) {
    if (r.nodeId != 0 && Entries(r.visibility).empty()) {
      Add(out, "warning", "no-audience", r.nodeId,
          "Node " + std::to_string(r.nodeId) + " has no visibility: no audience sees it");
    }
  }
}

void UnknownVisibility(const Facts& f, Findings& out) {
  if (f.treeType != storage::kProductTree) return;
  std::string granted;
  try {
    granted = storage::GetVisibilitiesofProduct(f.id);
  } catch (const Error& e) {
    if (e.number() != err::ProductNotFound) throw;
    Add(out, "error", "unknown-visibility", -1,
        "The catalog does not know product " + std::to_string(f.id) + ", so it gives it no visibility");
    return;
  }
  const std::vector<std::string> allowed = Entries(granted);
  for (const NodeRecord& r : f.rows) {
    for (const std::string& v : Entries(r.visibility)) {
      if (std::find(allowed.begin(), allowed.end(), v) == allowed.end()) {
        Add(out, "error", "unknown-visibility", r.nodeId,
            "Node " + std::to_string(r.nodeId) + " shows visibility " + v +
                ", which the catalog does not give the product");
      }
    }
  }
}

void EmptyCategory(const Facts& f, Findings& out) {
  for (const NodeRecord& r : f.rows) {
    if (r.repType == storage::kRepCategory && !f.children.count(r.nodeId)) {
      Add(out, "warning", "empty-category", r.nodeId, "Category " + std::to_string(r.nodeId) + " has no children");
    }
  }
}

void UnansweredQuestion(const Facts& f, Findings& out) {
  for (const NodeRecord& r : f.rows) {
    if (r.repType != storage::kRepQuestion) continue;
    auto kids = f.children.find(r.nodeId);
    const bool answered = kids != f.children.end() &&
                          std::any_of(kids->second.begin(), kids->second.end(),
                                      [](const NodeRecord* c) { return c->repType == storage::kRepAnswer; });
    if (!answered) {
      Add(out, "warning", "unanswered-question", r.nodeId,
          "Question " + std::to_string(r.nodeId) + " has no answer below it");
    }
  }
}

void EmptyShortText(const Facts& f, Findings& out) {
  for (const NodeRecord& r : f.rows) {
    if (r.nodeId == 0 || !f.elements.count(r.nodeId)) continue;
    const std::string sd = Short(f, r.nodeId);
    if (sd.find_first_not_of(" \t\r\n") == std::string::npos) {
      Add(out, "error", "empty-short-text", r.nodeId, "Node " + std::to_string(r.nodeId) + " has no short text");
    }
  }
}

void Sequence(const Facts& f, Findings& out) {
  for (const auto& [parent, kids] : f.children) {
    std::vector<int32_t> sequences;
    for (const NodeRecord* k : kids) sequences.push_back(k->sequence);
    std::sort(sequences.begin(), sequences.end());
    for (size_t i = 0; i < sequences.size(); ++i) {
      if (sequences[i] != static_cast<int32_t>(i + 1)) {
        Add(out, "error", "sequence", parent,
            "The children of node " + std::to_string(parent) + " are not numbered 1 to " +
                std::to_string(sequences.size()));
        break;
      }
    }
  }
}

void RowsDocument(const Facts& f, Findings& out) {
  if (f.document.IsNull()) {
    Add(out, "error", "rows-document", -1, "The tree's document cannot be read: " + f.documentProblem);
    return;
  }
  for (const NodeRecord& r : f.rows) {
    auto e = f.elements.find(r.nodeId);
    if (e == f.elements.end()) {
      Add(out, "error", "rows-document", r.nodeId, "Node " + std::to_string(r.nodeId) + " is missing from the document");
      continue;
    }
    const XmlElement& el = e->second;
    XmlElement parent = el.Parent();
    const std::string parentId = parent ? parent.GetAttribute("NID").value_or("") : std::string("-1");
    const bool agree = parentId == std::to_string(r.parentId) &&
                       el.GetAttribute("RID") == std::to_string(r.repId) &&
                       el.GetAttribute("RTP") == std::to_string(r.repType) &&
                       el.GetAttribute("VISB").value_or("") == r.visibility &&
                       (r.nodeId == 0 || el.GetAttribute("HYP") == std::to_string(r.hyperlink));
    if (!agree) {
      Add(out, "error", "rows-document", r.nodeId,
          "Node " + std::to_string(r.nodeId) + " has a parent, entity, type, visibility or hyperlink in the "
          "document other than in its row");
    }
  }
  for (const auto& [nid, el] : f.elements) {
    if (!f.byId.count(nid)) {
      Add(out, "error", "rows-document", nid, "Node " + std::to_string(nid) + " is in the document but has no row");
    }
  }
}

// Texts stored before every entry refused them: the document cannot be
// written again (the writer refuses it) until the node's texts are edited.
void XmlCharacters(const Facts& f, Findings& out) {
  for (const auto& [nid, el] : f.elements) {
    std::optional<std::string> found;
    for (pugi::xml_attribute a : el.Raw().attributes()) {
      if (auto fault = FindCharacterXmlCannotHold(a.value())) {
        found = std::string("attribute ") + a.name() + " " + DescribeXmlCharFault(*fault);
        break;
      }
    }
    for (const char* text : {"sd", "ld"}) {
      if (found) break;
      XmlElement e = el.SelectSingleNode(std::string("./") + text);
      if (!e) continue;
      if (auto fault = FindCharacterXmlCannotHold(e.Text())) {
        found = std::string(text == std::string("sd") ? "its short text " : "its long text ") + DescribeXmlCharFault(*fault);
      }
    }
    if (found) {
      Add(out, "error", "xml-characters", nid,
          "Node " + std::to_string(nid) + ": " + *found + "; the tree cannot be saved until it is edited");
    }
  }
}

using Rule = std::function<void(const Facts&, Findings&)>;

const std::vector<Rule>& Rules() {
  static const std::vector<Rule> rules = {BrokenHyperlink, NoAudience,     UnknownVisibility, EmptyCategory,
                                          UnansweredQuestion, EmptyShortText, Sequence,        RowsDocument,
                                          XmlCharacters};
  return rules;
}

}  // namespace

std::vector<Finding> ValidateTreeCopy(int32_t treeType, int32_t id, bool workingCopy) {
  Facts f;
  f.treeType = treeType;
  f.id = id;
  f.rows = versions::ReadCopyRows(treeType, id, workingCopy);
  if (f.rows.empty()) return {};
  for (const NodeRecord& r : f.rows) {
    f.byId[r.nodeId] = &r;
    if (r.nodeId != 0) f.children[r.parentId].push_back(&r);
  }
  std::optional<std::string> markup = versions::ReadCopyDocument(treeType, id, workingCopy);
  XmlDoc doc = XmlDoc::Create();
  if (!markup) {
    f.documentProblem = "no document is registered";
  } else if (!doc.LoadXml(*markup)) {
    f.documentProblem = doc.LastError();
  } else {
    f.document = doc;
    for (XmlElement e : doc.SelectNodes("//Node")) {
      try {
        f.elements[std::stoi(e.GetAttribute("NID").value_or(""))] = e;
      } catch (const std::exception&) {
        f.documentProblem = "a node without a numeric NID";
      }
    }
  }
  Findings out;
  for (const Rule& rule : Rules()) rule(f, out);
  return out;
}

bool HasErrors(const std::vector<Finding>& findings) {
  return std::any_of(findings.begin(), findings.end(), [](const Finding& f) { return f.severity == "error"; });
}

nlohmann::json ToJson(const std::vector<Finding>& findings) {
  nlohmann::json out = nlohmann::json::array();
  for (const Finding& f : findings) {
    out.push_back({{"severity", f.severity}, {"rule", f.rule}, {"node", f.node}, {"message", f.message}});
  }
  return out;
}

}  // namespace tsa

namespace tsa {

// Tree's member by name, beside the rules it runs.
nlohmann::json Tree::Validate(int32_t i_lTreeType, int32_t i_lID, const std::string& i_sUserId) {
  return Trapped("HXSvcTroubleshooting.Tree.Validate", [&] {
    if (i_lTreeType != storage::kProductTree && i_lTreeType != storage::kTemplateTree) {
      RaiseInvalidArgument("i_lTreeType", "must be 1 (product tree) or 2 (template), not " + std::to_string(i_lTreeType));
    }
    const bool working = !i_sUserId.empty() && IsCheckedOut(i_lTreeType, i_lID, i_sUserId);
    return ToJson(ValidateTreeCopy(i_lTreeType, i_lID, working));
  });
}

}  // namespace tsa
