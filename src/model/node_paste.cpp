// Node::Paste: copies a node with its whole subtree from a separately loaded
// tree below this node, as its new last child. The rows go into this tree's
// working copy with new identifiers, positions and visibility lists; the
// source's elements are renumbered the same way and moved into this node's
// document.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "model/node.h"
#include "model/tree.h"
#include "platform/db/connection.h"
#include "repository/propagation.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "storage/tree_types.h"
#include "storage/visibility.h"

namespace tsa {

namespace {

constexpr const char* kPaste = "HXSvcTroubleshooting.Node.Paste";
constexpr const char* kCalculatePreTree = "HXSvcTroubleshooting.Node.CalculatePreTree";

// The entries of a list: the pieces between its separators.
std::vector<std::string> Entries(const std::string& list) {
  std::vector<std::string> entries;
  size_t start = list.find(';');
  while (start != std::string::npos) {
    size_t end = list.find(';', start + 1);
    if (end == std::string::npos) break;
    if (end > start + 1) entries.push_back(list.substr(start + 1, end - start - 1));
    start = end;
  }
  return entries;
}

bool HasEntry(const std::string& list, const std::string& entry) {
  return list.find(";" + entry + ";") != std::string::npos;
}

// The chosen entries that `list` lacks, as a list; "" when it lacks none. A
// list holds each entry once, also when a node already shows an entry that
// the author chose for the whole subtree.
std::string LackedEntries(const std::string& list, const std::vector<std::string>& chosen) {
  std::string lacked = ";";
  for (const std::string& entry : chosen) {
    if (!HasEntry(list, entry) && !HasEntry(lacked, entry)) lacked += entry + ";";
  }
  return lacked == ";" ? std::string() : lacked;
}

// The list a pasted node carries: without the entries the destination lacks,
// then with the chosen entries appended.
std::string PastedList(const std::string& list, const std::string& notInDestination,
                       const std::vector<std::string>& chosen) {
  std::string kept = storage::RemoveVisibilities(list, notInDestination);
  return storage::AppendVisibilities(kept, LackedEntries(kept, chosen));
}

// A list as the merge takes it: "" and blanks are the empty list ";" (the
// merge cannot append to "", and a blank would end up inside the list).
std::string AsList(const std::string& list) {
  return list.find_first_not_of(' ') == std::string::npos ? std::string(";") : list;
}

// A pasted row's integer, computed wide; error 6 when it leaves 32 bits.
int32_t Checked(int64_t value, const char* what) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    Raise(err::Overflow, {}, std::string("Overflow: the pasted ") + what + " " + std::to_string(value) +
                                 " does not fit in 32 bits");
  }
  return static_cast<int32_t>(value);
}

}  // namespace

std::string Node::CalculatePreTree(const std::string& path, const std::string& oldPrefix,
                                   const std::string& newParentPath, const std::string& newParentId, int32_t offset) {
  return Trapped(kCalculatePreTree, [&] {
    // Every row below the source begins with the source's own path. Node
    // identifiers are unique within a path, so it occurs only there.
    if (oldPrefix.empty() || path.compare(0, oldPrefix.size(), oldPrefix) != 0) {
      Raise(err::TypeMismatch, {},
            "Type mismatch: the path '" + path + "' does not begin with '" + oldPrefix + "'");
    }
    std::string_view rest = std::string_view(path).substr(oldPrefix.size());
    std::string rebased = newParentPath + newParentId + ";";
    size_t start = 0;
    for (size_t end; (end = rest.find(';', start)) != std::string_view::npos; start = end + 1) {
      std::string_view piece = rest.substr(start, end - start);
      int32_t id = 0;
      auto [ptr, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), id);
      if (ec == std::errc::result_out_of_range) {
        Raise(err::Overflow, {}, "Overflow: the identifier '" + std::string(piece) + "' in the path '" + path + "'");
      }
      if (ec != std::errc() || ptr != piece.data() + piece.size()) {
        Raise(err::TypeMismatch, {},
              "Type mismatch: '" + std::string(piece) + "' in the path '" + path + "' is not an identifier");
      }
      rebased += std::to_string(Checked(int64_t{id} + offset, "node identifier")) + ";";
    }
    // The piece after the final separator is empty in a well-formed path.
    if (start != rest.size()) {
      Raise(err::TypeMismatch, {}, "Type mismatch: the path '" + path + "' does not end with ';'");
    }
    return rebased;
  });
}

void Node::Paste(Node& i_oSrcNode, const std::string& i_sSelectedVisibToAdd, const std::string& i_sUserId) {
  std::shared_ptr<IValueFormatter> formatter;
  ConnectionPtr connection;
  RecordsetPtr recordset;
  Trapped(
      kPaste,
      [&] {
        Node& source = i_oSrcNode;
        storage::ValidateVisibilityList("i_sSelectedVisibToAdd", i_sSelectedVisibToAdd);
        // A root's row and element would land inside the destination as a
        // second root, and its path ";" begins no other path.
        if (source.NodeID == 0 || source.RepType == storage::kRepRoot) {
          RaiseInvalidArgument("i_oSrcNode", "the root of a tree cannot be pasted");
        }
        // Both elements are needed at the end; without them nothing may be
        // written, or the rows would stand without their elements.
        if (NodeDOM.IsNull()) {
          Raise(err::ObjectNotSet, {}, "Object variable or With block variable not set: the destination has no element");
        }
        if (source.NodeDOM.IsNull()) {
          Raise(err::ObjectNotSet, {}, "Object variable or With block variable not set: the source has no element");
        }
        // The source's elements are renumbered and taken out of their
        // document: from this node's own document that would tear the
        // original subtree out of the tree being saved.
        if (source.NodeDOM.OwnerDocument() == NodeDOM.OwnerDocument()) {
          RaiseInvalidArgument("i_oSrcNode", "the source node must come from a separately loaded tree");
        }

        // The copy of the source that this user sees.
        const bool held = IsCheckedOut(source.TreeType, source.ID, i_sUserId);
        const storage::TableAndKey sourceTable = storage::GetTreeTableAndKey(source.TreeType, held);
        formatter = CreateInContext<IValueFormatter>(progid::ValueFormatter);
        // The source's row and its descendants' rows, the source first: it
        // has the smallest identifier of its subtree.
        const std::string select =
            "SELECT * from " + sourceTable[0] + " WHERE " + sourceTable[1] + " = " + formatter->FormatNumber(source.ID) +
            " AND ( NODEID = " + formatter->FormatNumber(source.NodeID) + " OR " + " PRETREE LIKE " +
            formatter->FormatLikePattern(source.PreTree + std::to_string(source.NodeID) + ";*") + ") ORDER BY NODEID";
        const int32_t maxNodeID = storage::getMaxNodeID(TreeType, ID);

        connection = GetHelvixConnection();
        recordset = connection->OpenRecordset(select, db::CursorType::Static, db::LockType::ReadOnly);
        if (recordset->IsEOF() || recordset->Field("NODEID").ToInt32() != source.NodeID) Raise(err::NodeNotFound);

        const std::string notInDestination =
            storage::getDeltaVisibility(source.Visibilities, Visibilities).Item("Remove");
        const std::vector<std::string> chosen = Entries(i_sSelectedVisibToAdd);
        const int32_t offset = Checked(int64_t{maxNodeID} + 1 - source.NodeID, "identifier offset");

        const std::string firstList = PastedList(recordset->Field("VISIBILITY").ToText(), notInDestination, chosen);
        std::string rootStatement;
        if (TreeType == storage::kTemplateTree && RepType == storage::kRepRoot) {
          const std::string rootList = storage::MergeVisibilities(AsList(Visibilities), AsList(firstList));
          NodeDOM.SetAttribute("VISB", rootList);
          rootStatement = "UPDATE TEMPLATE_TEMP SET VISIBILITY = " + formatter->FormatText(rootList) +
                          " WHERE TEMPLATEID = " + formatter->FormatNumber(ID) + " AND NODEID = 0";
        }

        const std::string insertInto = "INSERT INTO " + storage::GetTreeTableAndKey(TreeType, true)[0] + " VALUES (";
        const std::string treeId = formatter->FormatNumber(ID);
        auto insert = [&](int32_t depth, int32_t sequence, int32_t parentId, const std::string& preTree,
                          const std::string& list) {
          RequireDepthWithinLimit(depth);
          const int32_t nodeId = Checked(int64_t{recordset->Field("NODEID").ToInt32()} + offset, "node identifier");
          connection->Execute(insertInto + treeId + "," + formatter->FormatNumber(nodeId) + "," +
                              formatter->FormatNumber(recordset->Field("REPTYPE").ToInt32()) + "," +
                              formatter->FormatNumber(recordset->Field("REPID").ToInt32()) + "," +
                              formatter->FormatNumber(depth) + "," + formatter->FormatNumber(sequence) + "," +
                              formatter->FormatNumber(parentId) + "," + formatter->FormatText(preTree) + "," +
                              formatter->FormatText(list) + "," +
                              formatter->FormatText(recordset->Field("FAQS").ToText()) + ",-1)");
        };

        // The source becomes the last of this node's children.
        const std::string parentPath = PreTree + std::to_string(NodeID) + ";";
        // The whole subtree is checked before anything is written: a pasted
        // node deeper than the limit refuses the paste (a template graft too).
        {
          int32_t deepest = source.Depth;
          RecordsetPtr depths = connection->OpenRecordset(
              "SELECT MAX(DEPTH) AS DEEPEST from " + sourceTable[0] + " WHERE " + sourceTable[1] + " = " +
              formatter->FormatNumber(source.ID) + " AND PRETREE LIKE " +
              formatter->FormatLikePattern(source.PreTree + std::to_string(source.NodeID) + ";*"));
          if (!depths->IsEOF() && !depths->Field("DEEPEST").IsNull()) {
            deepest = std::max(deepest, depths->Field("DEEPEST").ToInt32());
          }
          CloseRecordset(depths);
          RequireDepthWithinLimit(int64_t{Depth} + 1 + deepest - source.Depth);
        }
        insert(Checked(int64_t{Depth} + 1, "depth"),
               Checked(static_cast<int64_t>(NodeDOM.SelectNodes("./Node").size()) + 1, "sequence"), NodeID, parentPath,
               firstList);
        // The rows below it keep their shape and order among their siblings.
        for (recordset->MoveNext(); !recordset->IsEOF(); recordset->MoveNext()) {
          const std::string preTree = CalculatePreTree(recordset->Field("PRETREE").ToText(), source.PreTree, PreTree,
                                                       std::to_string(NodeID), offset);
          const std::string list = PastedList(recordset->Field("VISIBILITY").ToText(), notInDestination, chosen);
          insert(Checked(int64_t{Depth} + 1 + recordset->Field("DEPTH").ToInt32() - source.Depth, "depth"),
                 recordset->Field("SEQUENCE").ToInt32(),
                 Checked(int64_t{recordset->Field("PNODEID").ToInt32()} + offset, "parent identifier"), preTree, list);
        }
        CloseRecordset(recordset);
        if (!rootStatement.empty()) connection->Execute(rootStatement);
        CloseConnection(connection);
        formatter.reset();

        // The elements: the same lists and identifiers, no hyperlinks. The
        // chosen entries go where a node lacks them, as in the rows.
        UpdateSelfAndDescendantNodes(source.NodeDOM, {}, notInDestination, false, offset);
        if (!chosen.empty()) {
          for (XmlElement& element : source.NodeDOM.SelectNodes("./descendant-or-self::Node")) {
            const std::string list = element.GetAttribute("VISB").value_or(";");
            element.SetAttribute("VISB", storage::AppendVisibilities(list, LackedEntries(list, chosen)));
          }
        }
        MoveElement(source.NodeDOM, NodeDOM);
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
        formatter.reset();
      });
}

}  // namespace tsa
