#include "model/node.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <vector>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/tree_types.h"
#include "storage/visibility.h"

namespace tsa {

namespace {

constexpr const char* kAppendChild = "HXSvcTroubleshooting.Node.AppendChild";
constexpr const char* kCreateNewNodeinDB = "HXSvcTroubleshooting.Node.CreateNewNodeinDB";
constexpr const char* kGetTemplateRootVisib = "HXSvcTroubleshooting.Node.GetTemplateRootVisib";

// value + 1, or error 6 when it does not fit in 32 bits.
int32_t PlusOne(int64_t value, const char* what) {
  if (value + 1 > std::numeric_limits<int32_t>::max()) {
    Raise(err::Overflow, {}, std::string("Overflow: the ") + what + " cannot be increased");
  }
  return static_cast<int32_t>(value + 1);
}

// The entries of a list: the pieces between its separators, from the second
// to the last but one ("" and ";" have none).
std::vector<std::string> Entries(const std::string& list) {
  std::vector<std::string> pieces;
  if (list.empty()) return pieces;
  size_t start = 0;
  while (true) {
    size_t pos = list.find(';', start);
    if (pos == std::string::npos) {
      pieces.push_back(list.substr(start));
      break;
    }
    pieces.push_back(list.substr(start, pos - start));
    start = pos + 1;
  }
  if (pieces.size() < 3) return {};
  return {pieces.begin() + 1, pieces.end() - 1};
}

// A list as the merge takes it: "" and blanks are the empty list ";" (the
// merge cannot append to "", and a blank would end up inside the list).
std::string AsList(const std::string& list) {
  return list.find_first_not_of(' ') == std::string::npos ? std::string(";") : list;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::shared_ptr<IValueFormatter> Formatter() { return CreateInContext<IValueFormatter>(progid::ValueFormatter); }

[[noreturn]] void NoObjectsFromOutside(const char* argument) {
  RaiseInvalidArgument(argument, "object references cannot be passed from outside the engine");
}

}  // namespace

void RequireDepthWithinLimit(int64_t depth) {
  const int limit = CurrentSettings().maxTreeDepth;
  if (depth > limit) {
    Raise(err::TreeTooDeep, {},
          "The node would lie " + std::to_string(depth) + " levels below the root; trees may be at most " +
              std::to_string(limit) + " levels deep (setting [trees] max_depth)");
  }
}

void Node::AppendChild(Node& iChildNode) {
  Trapped(kAppendChild, [&] {
    RequireDepthWithinLimit(int64_t{Depth} + 1);
    iChildNode.ParentNodeID = NodeID;
    iChildNode.Depth = PlusOne(Depth, "depth");
    // Present child elements; their stored sequence numbers are not consulted.
    size_t children = NodeDOM.SelectNodes("./Node").size();
    iChildNode.Sequence = PlusOne(static_cast<int64_t>(children), "sequence");
    iChildNode.PreTree = PreTree + std::to_string(NodeID) + ";";
    // The child's element is appended last; without one nothing may be
    // written, or the row would stand without its element.
    if (iChildNode.NodeDOM.IsNull()) {
      Raise(err::ObjectNotSet, {}, "Object variable or With block variable not set: the new node has no element");
    }
    if (TreeType == storage::kTemplateTree && RepType == storage::kRepRoot) {
      Visibilities = storage::MergeVisibilities(AsList(Visibilities), AsList(iChildNode.Visibilities));
      NodeDOM.SetAttribute("VISB", Visibilities);
    }
    CreateNewNodeinDB(iChildNode);
    NodeDOM.AppendChild(iChildNode.NodeDOM);
  });
}

void Node::CreateNewNodeinDB(Node& iChildNode) {
  ConnectionPtr connection;
  Trapped(
      kCreateNewNodeinDB,
      [&] {
        auto formatter = Formatter();
        std::string rootStatement;
        if (iChildNode.TreeType == storage::kTemplateTree && RepType == storage::kRepRoot) {
          rootStatement = " UPDATE TEMPLATE_TEMP SET VISIBILITY = " + formatter->FormatText(Visibilities) +
                          " WHERE TEMPLATEID = " + formatter->FormatNumber(ID) + " AND NODEID = 0";
        }
        const std::string table = storage::GetTreeTableAndKey(TreeType, true)[0];
        std::string insert = "Insert into " + table + "  values (" + std::to_string(ID) + "," +
                             formatter->FormatNumber(iChildNode.NodeID) + "," +
                             formatter->FormatNumber(iChildNode.RepType) + "," +
                             formatter->FormatNumber(iChildNode.RepID) + "," + formatter->FormatNumber(iChildNode.Depth) +
                             "," + formatter->FormatNumber(iChildNode.Sequence) + "," + formatter->FormatNumber(NodeID) +
                             "," + formatter->FormatText(iChildNode.PreTree) + "," +
                             formatter->FormatText(iChildNode.Visibilities) + "," +
                             formatter->FormatText(iChildNode.FAQs) + "," +
                             formatter->FormatNumber(iChildNode.HyperlinkNodeID) + ")";
        formatter.reset();
        connection = GetHelvixConnection();
        connection->Execute(insert);
        if (!rootStatement.empty()) connection->Execute(rootStatement);
        CloseConnection(connection);
      },
      [&] { CloseConnection(connection); });
}

std::string Node::GetTemplateRootVisib(const std::string& i_sVisToAdd, const std::string& i_sVisToRemove) {
  return Trapped(kGetTemplateRootVisib, [&] {
    XmlElement root = NodeDOM.Parent();
    if (root.IsNull()) {
      Raise(err::ObjectNotSet, {}, "Object variable or With block variable not set: the node's element has no parent");
    }
    std::optional<std::string> visb = root.GetAttribute("VISB");
    if (!visb) Raise(err::InvalidUseOfNull, {}, "Invalid use of Null: the root element has no VISB attribute");
    std::string list = *visb;

    StringDict delta = storage::getDeltaVisibility(list, i_sVisToAdd);
    list = storage::AppendVisibilities(list, delta.Item("Add"));

    // An entry goes only when no other top-level node still shows it.
    std::vector<XmlElement> others = root.SelectNodes("./Node[@NID!='" + std::to_string(NodeID) + "']");
    std::vector<std::string> otherLists;
    otherLists.reserve(others.size());
    for (const XmlElement& other : others) otherLists.push_back(Lower(other.GetAttribute("VISB").value_or("")));
    for (const std::string& entry : Entries(i_sVisToRemove)) {
      const std::string needle = Lower(";" + entry + ";");
      bool stillShown = std::any_of(otherLists.begin(), otherLists.end(),
                                    [&](const std::string& l) { return l.find(needle) != std::string::npos; });
      if (!stillShown) list = storage::RemoveVisibilities(list, ";" + entry + ";");
    }
    return list;
  });
}

const DispatchTable* Node::Dispatch() const {
  static const DispatchTable table = [] {
    DispatchTable t;
    t.Add({"AppendChild",
           {{"iChildNode", ArgType::Object}},
           ArgType::Variant,
           true,
           [](Component&, DispatchArgs&) -> nlohmann::json { NoObjectsFromOutside("iChildNode"); },
           "Makes a newly created node the last child of this one"});
    t.Add(Bind<&Node::save>("save",
                            {"i_lRepID", "i_sSDesc", "i_sLDesc", "i_bPropogateContent", "i_sVisibilities",
                             "i_bPropogateVisibDown", "i_sFAQs", "i_lHyperlinkNodeID"},
                            "Writes a changed node"));
    t.Add(Bind<&Node::GetTemplateRootVisib>(
        "GetTemplateRootVisib", {"i_sVisToAdd", "i_sVisToRemove"},
        "The visibility list a template's root keeps after this top-level node changes"));
    // Paste, like AppendChild, takes a node, and no object reference crosses
    // the boundary: both stay written out and refuse every call.
    t.Add({"Paste",
           {{"i_oSrcNode", ArgType::Object},
            {"i_sSelectedVisibToAdd", ArgType::String},
            {"i_sUserId", ArgType::String}},
           ArgType::Variant,
           true,
           [](Component&, DispatchArgs&) -> nlohmann::json { NoObjectsFromOutside("i_oSrcNode"); },
           "Copies a subtree below this node"});
    return t;
  }();
  return &table;
}

NodePtr CreateNodeObject() { return CreateInContext<Node>(progid::Node); }

void RegisterNodeClass() {
  Registry::Instance().Register(progid::Node, [] { return std::make_shared<Node>(); });
}

}  // namespace tsa
