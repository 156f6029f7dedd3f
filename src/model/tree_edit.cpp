// Deleting a node with its subtree and moving a node among its siblings, in
// the working copy's rows and in the loaded document. The caller saves the
// document.
#include "model/tree.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "platform/db/value.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "storage/tree_types.h"

namespace tsa {

namespace {

constexpr const char* kDeleteNode = "HXSvcTroubleshooting.Tree.DeleteNode";
constexpr const char* kMoveNode = "HXSvcTroubleshooting.Tree.MoveNode";

// Directions of MoveNode.
constexpr int32_t kUp = 1;
constexpr int32_t kDown = 2;

std::shared_ptr<IValueFormatter> Formatter() { return CreateInContext<IValueFormatter>(progid::ValueFormatter); }

// Both operations change the working copy's rows and the loaded document
// together. That is only sound when the document is the working copy's, that
// is, when the tree was loaded by the user who holds it checked out; a tree
// loaded by anyone else holds the end-user document, and its rows would be
// another user's working copy (or none).
void RequireWorkingCopy(const Tree& tree) {
  if (tree.TreeDOM().IsNull() || tree.TreeDOM().DocumentElement().IsNull()) {
    Raise(err::ObjectNotSet, {}, "Object variable or With block variable not set: no tree document is loaded");
  }
  if (!tree.Checkedout()) Raise(err::NotCheckedOut);
}

// The node identifier an element carries in an attribute (NID, HYP), if it
// is a decimal 32-bit integer.
std::optional<int32_t> IdAttribute(const XmlElement& element, const char* name) {
  std::optional<std::string> text = element.GetAttribute(name);
  if (!text) return std::nullopt;
  int32_t value = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

// The element of a node that has a row; a row without its element is a tree
// whose rows and document disagree, and nothing may be changed then.
XmlElement ElementOf(const Node& node) {
  if (node.NodeDOM.IsNull()) {
    Raise(err::ObjectNotSet, {},
          "Object variable or With block variable not set: node " + std::to_string(node.NodeID) +
              " has no element in the tree document");
  }
  return node.NodeDOM;
}

}  // namespace

int32_t Tree::DeleteNode(int32_t i_lNodeID) {
  ConnectionPtr connection;
  NodePtr node;
  return Trapped(
      kDeleteNode,
      [&] {
        if (i_lNodeID == 0) Raise(err::CannotDeleteRoot);
        RequireWorkingCopy(*this);
        const auto [table, key] = storage::GetTreeTableAndKey(treeType_, true);
        node = getNode(i_lNodeID);

        // Everything that can fail is settled before the first statement:
        // the element, its parent and the parent's identifier.
        XmlElement element = ElementOf(*node);
        XmlElement parent = element.Parent();
        if (parent.IsNull()) {
          Raise(err::ObjectNotSet, {},
                "Object variable or With block variable not set: the node's element has no parent");
        }
        std::optional<std::string> parentNid = parent.GetAttribute("NID");
        if (!parentNid) {
          Raise(err::InvalidUseOfNull, {}, "Invalid use of Null: the parent element has no NID attribute");
        }
        const int32_t parentId = db::Value(*parentNid).ToInt32();

        // A template's root shows what its top-level nodes show: without
        // this node, the entries that no other top-level node has go.
        std::optional<std::string> rootList;
        if (node->ParentNodeID == 0 && treeType_ == storage::kTemplateTree) {
          rootList = node->GetTemplateRootVisib("", node->Visibilities);
        }

        auto formatter = Formatter();
        const std::string tree = formatter->FormatNumber(id_);
        // The node and every row whose path runs through it. The path ends in
        // ";", so the subtree of 9 never takes in the subtree of a sibling 90.
        const std::string subtree =
            key + " = " + tree + " AND (NODEID = " + formatter->FormatNumber(i_lNodeID) + " or PRETREE Like " +
            formatter->FormatLikePattern(node->PreTree + std::to_string(i_lNodeID) + ";" + "*") + ")";
        // Links to any node that goes would point at nothing, and at an
        // unrelated node once its identifier is given out again: they are
        // cleared, read before the rows go.
        // "HYPERLINK <> -1" lets both databases read only the rows that
        // link somewhere (a partial index holds just those).
        const std::string links = "UPDATE " + table + " SET HYPERLINK = " + formatter->FormatNumber(-1) + " WHERE " +
                                  key + " = " + tree + " AND HYPERLINK <> " + formatter->FormatNumber(-1) +
                                  " AND HYPERLINK IN (SELECT NODEID FROM " + table + " WHERE " + subtree + ")";
        const std::string remove = "Delete From " + table + " Where " + subtree;
        // The siblings after the node close up, so sequences stay 1..n: an
        // appended child is numbered by counting, and a gap would give it
        // the number of an existing sibling.
        const std::string closeUp = "UPDATE " + table + " SET SEQUENCE = SEQUENCE - 1 WHERE " + key + " = " + tree +
                                    " AND PNODEID = " + formatter->FormatNumber(node->ParentNodeID) +
                                    " AND SEQUENCE > " + formatter->FormatNumber(node->Sequence);
        std::string root;
        if (rootList) {
          root = "UPDATE TEMPLATE_TEMP SET VISIBILITY = " + formatter->FormatText(*rootList) +
                 " WHERE TEMPLATEID = " + tree + " AND NODEID=0";
        }
        formatter.reset();

        connection = GetHelvixConnection();
        connection->Execute(links);
        connection->Execute(remove);
        connection->Execute(closeUp);
        if (rootList) connection->Execute(root);
        CloseConnection(connection);

        // The document follows: the same links cleared, the root's list, the
        // element with its subtree removed.
        std::set<int32_t> gone;
        for (const XmlElement& e : element.SelectNodes("./descendant-or-self::Node")) {
          if (std::optional<int32_t> nid = IdAttribute(e, "NID")) gone.insert(*nid);
        }
        auto linksIntoSubtree = [&](std::string_view text) {
          int32_t target = 0;
          auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), target);
          return ec == std::errc() && end == text.data() + text.size() && gone.count(target) != 0;
        };
        for (XmlElement& e : treeDOM_.ElementsWhere("Node", "HYP", linksIntoSubtree)) e.SetAttribute("HYP", "-1");
        if (rootList) parent.SetAttribute("VISB", *rootList);
        parent.RemoveChild(element);
        node.reset();
        return parentId;
      },
      [&] {
        CloseConnection(connection);
        node.reset();
      });
}

void Tree::MoveNode(int32_t i_lNodeID, int32_t i_lDirection) {
  ConnectionPtr connection;
  NodePtr node;
  NodePtr neighbour;
  Trapped(
      kMoveNode,
      [&] {
        if (i_lNodeID == 0) return;
        RequireWorkingCopy(*this);
        node = getNode(i_lNodeID);
        XmlElement element = ElementOf(*node);
        XmlElement parent = element.Parent();
        if (parent.IsNull()) {
          Raise(err::ObjectNotSet, {},
                "Object variable or With block variable not set: the node's element has no parent");
        }
        std::vector<XmlElement> siblings = parent.SelectNodes("./Node");
        size_t place = 0;
        while (place < siblings.size() && !(siblings[place] == element)) ++place;
        if (place == siblings.size()) {
          Raise(err::InternalError, {}, "Internal error: the node is not among its parent's children");
        }

        // Nothing moves past either end, and other directions move nothing.
        if (siblings.size() < 2) return;
        if (i_lDirection == kUp && place == 0) return;
        if (i_lDirection == kDown && place + 1 == siblings.size()) return;
        if (i_lDirection != kUp && i_lDirection != kDown) return;

        XmlElement other = siblings[i_lDirection == kUp ? place - 1 : place + 1];
        std::optional<int32_t> otherId = IdAttribute(other, "NID");
        if (!otherId) Raise(err::TypeMismatch, {}, "Type mismatch: a sibling element has no numeric NID attribute");
        neighbour = getNode(*otherId);

        // The two exchange places, so their sequence numbers move by one in
        // opposite directions. Numbers further apart than one (a sibling was
        // deleted in between) would meet or cross that way and then no longer
        // give the document's order; the two exchange their numbers instead,
        // which is the same thing whenever they are adjacent.
        const storage::TableAndKey tableAndKey = storage::GetTreeTableAndKey(treeType_, true);
        const std::string& table = tableAndKey[0];
        const std::string& key = tableAndKey[1];
        const int32_t first = i_lDirection == kUp ? neighbour->Sequence : node->Sequence;
        const int32_t second = i_lDirection == kUp ? node->Sequence : neighbour->Sequence;
        const bool exchange = int64_t{second} - int64_t{first} > 1;

        auto formatter = Formatter();
        const std::string where = " WHERE " + key + " = " + formatter->FormatNumber(id_) + " AND NODEID = ";
        auto statement = [&](const Node& target, bool earlier) {
          // `earlier`: the node that ends up first of the two.
          std::string set;
          if (exchange) {
            set = " SET SEQUENCE = " + formatter->FormatNumber(earlier ? first : second) + " ";
          } else {
            set = earlier ? " SET SEQUENCE = SEQUENCE - 1 " : " SET SEQUENCE = SEQUENCE + 1 ";
          }
          return "UPDATE " + table + set + where + formatter->FormatNumber(target.NodeID);
        };
        const std::string forNode = statement(*node, i_lDirection == kUp);
        const std::string forNeighbour = statement(*neighbour, i_lDirection == kDown);
        formatter.reset();

        connection = GetHelvixConnection();
        connection->Execute(forNode);
        connection->Execute(forNeighbour);
        CloseConnection(connection);

        if (i_lDirection == kUp) {
          node->NodeDOM = parent.InsertBefore(element, other);
        } else {
          parent.InsertBefore(other, element);
        }
        node.reset();
        neighbour.reset();
      },
      [&] {
        CloseConnection(connection);
        node.reset();
        neighbour.reset();
      });
}

}  // namespace tsa
