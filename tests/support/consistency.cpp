#include "support/consistency.h"

#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "model/tree.h"
#include "platform/files/document_store.h"
#include "runtime/xml_chars.h"
#include "storage/documents.h"
#include "support/tree_fixture.h"

namespace tsa::test {

namespace {

class Checker {
 public:
  Checker(int32_t treeType, int32_t id, bool workingCopy) : treeType_(treeType), id_(id), working_(workingCopy) {}

  ::testing::AssertionResult Run() {
    rows_ = ReadRows(treeType_, id_, working_);
    for (const NodeRow& r : rows_) {
      if (!byId_.emplace(r.nodeId, &r).second) Problem("more than one row with NODEID " + std::to_string(r.nodeId));
    }
    CheckRootRow();

    std::optional<std::string> name = DocumentName(treeType_, id_, working_);
    if (!name) {
      Problem("the file-handling service knows no document of this copy");
      return Result();
    }
    XmlDoc document = XmlDoc::Create();
    std::string path = DocumentPath(treeType_, *name, working_);
    if (!DocumentExists(treeType_, *name, working_)) {
      Problem("the document " + path + " does not exist");
      return Result();
    }
    if (!document.LoadXml(LoadText(path))) {
      Problem("the document " + path + " does not parse: " + document.LastError());
      return Result();
    }
    XmlElement root = document.DocumentElement();
    CheckRootElement(root);
    Walk(root, 0, ";");
    for (const NodeRow& r : rows_) {
      if (!seen_.count(r.nodeId)) Problem("row " + std::to_string(r.nodeId) + " has no element in the document");
    }
    return Result();
  }

 private:
  static std::string LoadText(const std::string& path) { return DocumentStore()->Load(path); }

  void Problem(const std::string& text) { problems_.push_back(text); }

  ::testing::AssertionResult Result() const {
    if (problems_.empty()) return ::testing::AssertionSuccess();
    std::ostringstream out;
    out << (working_ ? "working" : "published") << " copy of tree " << id_ << " (tree type " << treeType_
        << ") is inconsistent:";
    for (const auto& p : problems_) out << "\n  - " << p;
    return ::testing::AssertionFailure() << out.str();
  }

  void CheckRootRow() {
    auto it = byId_.find(0);
    if (it == byId_.end()) {
      Problem("no root row (NODEID 0)");
      return;
    }
    const NodeRow& r = *it->second;
    if (r.repType != 0 || r.repId != 0 || r.depth != 0 || r.sequence != 0 || r.parentId != -1 || r.preTree != ";") {
      std::ostringstream s;
      PrintTo(r, &s);
      Problem("the root row is not a root: " + s.str());
    }
  }

  void CheckRootElement(const XmlElement& root) {
    if (root.IsNull()) {
      Problem("the document has no document element");
      return;
    }
    auto expect = [&](const char* attribute, const std::string& value) {
      std::optional<std::string> actual = root.GetAttribute(attribute);
      if (actual != value) {
        Problem(std::string("the root element's ") + attribute + " is " + (actual ? "\"" + *actual + "\"" : "missing") +
                ", expected \"" + value + "\"");
      }
    };
    expect("NID", "0");
    expect("RID", "0");
    expect("RTP", "0");
    expect("PRID", std::to_string(id_));
    expect("FAQ", "0");
  }

  // Checks `root` and everything below it, depth first in document order,
  // without recursion (a stored tree may be far deeper than the stack):
  // one frame per open element, and the ancestry as one string that grows
  // and shrinks with the path.
  void Walk(const XmlElement& root, int32_t, const std::string& rootPreTree) {
    struct Frame {
      std::vector<XmlElement> children;
      size_t next = 2;  // sd and ld come first
      size_t pathLength = 0;
      int32_t nodeId = 0;
      int32_t lastSequence = std::numeric_limits<int32_t>::min();
      int32_t lastChild = -1;
    };
    std::string path = rootPreTree;
    std::vector<Frame> stack;
    auto enter = [&](const XmlElement& element) {
      const int32_t depth = static_cast<int32_t>(stack.size());
      if (element.Name() != "Node") {
        Problem("an element named \"" + element.Name() + "\" stands where a Node belongs (below " + path + ")");
        return;
      }
      std::optional<std::string> nid = element.GetAttribute("NID");
      int32_t nodeId = 0;
      try {
        size_t used = 0;
        nodeId = std::stoi(nid.value_or("x"), &used);
        if (used != nid->size()) throw std::invalid_argument("NID");
      } catch (const std::exception&) {
        Problem("an element below " + path + " has the NID " + (nid ? "\"" + *nid + "\"" : "(missing)"));
        return;
      }
      const std::string self = "node " + std::to_string(nodeId);
      if (!seen_.insert(nodeId).second) Problem("more than one element with NID " + std::to_string(nodeId));
      CheckCharacters(element, self);

      Frame frame;
      frame.children = element.ChildElements();
      if (frame.children.size() < 2 || frame.children[0].Name() != "sd" || frame.children[1].Name() != "ld") {
        Problem(self + ": the element does not begin with sd and ld");
        frame.next = 0;
        while (frame.next < frame.children.size() && frame.next < 2 &&
               (frame.children[frame.next].Name() == "sd" || frame.children[frame.next].Name() == "ld")) {
          ++frame.next;
        }
      }
      auto row = byId_.find(nodeId);
      if (row == byId_.end()) {
        Problem(self + ": an element without a row");
      } else {
        CompareRow(element, *row->second, depth, path);
      }
      frame.pathLength = path.size();
      frame.nodeId = nodeId;
      path += std::to_string(nodeId) + ";";
      stack.push_back(std::move(frame));
    };
    enter(root);
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next >= top.children.size()) {
        path.resize(top.pathLength);
        stack.pop_back();
        continue;
      }
      const XmlElement child = top.children[top.next++];
      const std::string self = "node " + std::to_string(top.nodeId);
      std::optional<std::string> childNid = child.GetAttribute("NID");
      if (childNid) {
        auto childRow = byId_.find(std::atoi(childNid->c_str()));
        if (childRow != byId_.end()) {
          int32_t sequence = childRow->second->sequence;
          if (top.lastChild >= 0 && sequence <= top.lastSequence) {
            Problem(self + ": its child " + *childNid + " (SEQUENCE " + std::to_string(sequence) +
                    ") follows child " + std::to_string(top.lastChild) + " (SEQUENCE " +
                    std::to_string(top.lastSequence) + ")");
          }
          top.lastSequence = sequence;
          top.lastChild = childRow->second->nodeId;
        }
      }
      enter(child);  // may reallocate the stack: `top` is not used after this
    }
  }

  // Texts stored before every entry refused characters XML cannot hold: the
  // document parses here, but no strict parser reads it.
  void CheckCharacters(const XmlElement& element, const std::string& self) {
    for (pugi::xml_attribute a : element.Raw().attributes()) {
      if (auto fault = FindCharacterXmlCannotHold(a.value())) {
        Problem(self + ": attribute " + a.name() + " " + DescribeXmlCharFault(*fault));
      }
    }
    for (pugi::xml_node child : element.Raw().children()) {
      if (child.type() != pugi::node_element || child.name() == std::string("Node")) continue;
      if (auto fault = FindCharacterXmlCannotHold(child.text().get())) {
        Problem(self + ": " + child.name() + " " + DescribeXmlCharFault(*fault));
      }
    }
  }

  void CompareRow(const XmlElement& element, const NodeRow& r, int32_t depth, const std::string& preTree) {
    const std::string self = "node " + std::to_string(r.nodeId);
    auto attribute = [&](const char* name, const std::string& expected, const char* column) {
      std::optional<std::string> actual = element.GetAttribute(name);
      if (actual != expected) {
        Problem(self + ": " + name + " is " + (actual ? "\"" + *actual + "\"" : "missing") + " but " + column +
                " is \"" + expected + "\"");
      }
    };
    attribute("VISB", r.visibility, "VISIBILITY");
    if (r.nodeId == 0) return;  // the root's other attributes are checked on their own

    attribute("RID", std::to_string(r.repId), "REPID");
    attribute("RTP", std::to_string(r.repType), "REPTYPE");
    attribute("HYP", std::to_string(r.hyperlink), "HYPERLINK");
    attribute("FAQ", storage::FaqFlag(r.faqs), "the flag of FAQS");
    if (element.HasAttribute("PRID")) Problem(self + ": a PRID below the root");

    XmlElement parent = element.Parent();
    std::optional<std::string> parentNid = parent.IsNull() ? std::nullopt : parent.GetAttribute("NID");
    if (parentNid != std::to_string(r.parentId)) {
      Problem(self + ": its element lies below " + (parentNid ? "node " + *parentNid : std::string("nothing")) +
              " but PNODEID is " + std::to_string(r.parentId));
    }
    if (r.depth != depth) {
      Problem(self + ": DEPTH is " + std::to_string(r.depth) + " but the element lies at depth " +
              std::to_string(depth));
    }
    if (r.preTree != preTree) {
      Problem(self + ": PRETREE is \"" + r.preTree + "\" but the element's ancestry is \"" + preTree + "\"");
    }

    auto entity = RepEntity(r.repType, r.repId);
    if (!entity) {
      Problem(self + ": no repository entity " + std::to_string(r.repId) + " of type " + std::to_string(r.repType));
      return;
    }
    XmlElement sd = element.SelectSingleNode("./sd");
    XmlElement ld = element.SelectSingleNode("./ld");
    if (!sd.IsNull() && sd.Text() != entity->first) {
      Problem(self + ": sd is \"" + sd.Text() + "\" but the entity's NAME is \"" + entity->first + "\"");
    }
    if (!ld.IsNull() && ld.Text() != entity->second) {
      Problem(self + ": ld is \"" + ld.Text() + "\" but the entity's DETAIL is \"" + entity->second + "\"");
    }
  }

  int32_t treeType_;
  int32_t id_;
  bool working_;
  std::vector<NodeRow> rows_;
  std::map<int32_t, const NodeRow*> byId_;
  std::set<int32_t> seen_;
  std::vector<std::string> problems_;
};

}  // namespace

::testing::AssertionResult TreeCopyIsConsistent(int32_t treeType, int32_t id, bool workingCopy) {
  return Checker(treeType, id, workingCopy).Run();
}

::testing::AssertionResult TreeIsConsistent(int32_t treeType, int32_t id, const std::string& user) {
  EnsureTreeComponents();
  return TreeCopyIsConsistent(treeType, id, IsCheckedOut(treeType, id, user));
}

void ExpectTreeConsistent(int32_t treeType, int32_t id, const std::string& user, std::source_location where) {
  ::testing::AssertionResult result = TreeIsConsistent(treeType, id, user);
  if (!result) ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << result.message();
}

}  // namespace tsa::test
