// Node::save: writes an edited node (texts, entity, visibility, FAQs,
// hyperlink) to its row, its element, its repository entity and, where the
// visibility rules ask for it, to its descendants and its template's root.
#include <string>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "model/node.h"
#include "platform/db/connection.h"
#include "repository/propagation.h"
#include "repository/repository.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "storage/documents.h"
#include "storage/tree_types.h"
#include "storage/visibility.h"

namespace tsa {

namespace {

constexpr const char* kSave = "HXSvcTroubleshooting.Node.Save";

std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

// `list` followed by the entries of `more` (either may be "" or ";").
std::string JoinLists(const std::string& list, const std::string& more) {
  if (TrimBlanks(more).empty() || more == ";") return list;
  if (TrimBlanks(list).empty() || list == ";") return more;
  return list + more.substr(1);
}

// An attribute that the element must already carry; a missing one means a
// damaged document, which save refuses to patch over.
void SetPresentAttribute(XmlElement& element, std::string_view name, const std::string& value) {
  if (!element.HasAttribute(name)) {
    Raise(err::ObjectNotSet, {},
          "Object variable or With block variable not set: the node's element has no " + std::string(name) +
              " attribute");
  }
  element.SetAttribute(name, value);
}

}  // namespace

// --- statement pieces ---------------------------------------------------------

std::string Node::StatementHead(const std::string& table) { return "UPDATE " + table + " SET"; }

std::string Node::VisibilityAssignment(const std::string& value) { return " VISIBILITY = " + value; }

std::string Node::FaqAssignment(const std::string& list) { return " FAQS = " + FormatSqlText(list); }

std::string Node::HyperlinkAssignment(int32_t target) {
  return " HYPERLINK = " + std::to_string(FormatSqlNumber(target));
}

std::string Node::EntityAssignment(int32_t repId) { return " REPID = " + std::to_string(FormatSqlNumber(repId)); }

std::string Node::NodeCondition(const std::string& keyColumn) const {
  auto formatter = CreateInContext<IValueFormatter>(progid::ValueFormatter);
  return " WHERE ( " + keyColumn + " = " + formatter->FormatNumber(ID) + ")" + " AND " +
         "(NODEID=" + formatter->FormatNumber(NodeID) + ")";
}

std::string Node::SubtreeCondition(const std::string& keyColumn) const {
  auto formatter = CreateInContext<IValueFormatter>(progid::ValueFormatter);
  // The rows whose path begins with this node's own: everything below it,
  // never the node itself, and never a sibling whose identifier merely
  // starts with the same digits (9 against 90).
  return " WHERE ( " + keyColumn + " = " + formatter->FormatNumber(ID) + ")" + " AND (PRETREE LIKE " +
         formatter->FormatLikePattern(PreTree + std::to_string(NodeID) + ";*") + ")";
}

// --- element changes ------------------------------------------------------------

void Node::SetDescriptions(const std::string& sDesc, const std::string& lDesc) {
  NodeDOM.SelectSingleNode("./sd").SetText(sDesc);
  NodeDOM.SelectSingleNode("./ld").SetText(lDesc);
}

void Node::SetEntityAttribute(const std::string& repId) { SetPresentAttribute(NodeDOM, "RID", repId); }

void Node::SetVisibilityAttribute(const std::string& list) { SetPresentAttribute(NodeDOM, "VISB", list); }

void Node::SetHyperlinkAttribute(int32_t target) { SetPresentAttribute(NodeDOM, "HYP", std::to_string(target)); }

void Node::SetFaqFlag(const std::string& list) { SetPresentAttribute(NodeDOM, "FAQ", storage::FaqFlag(list)); }

// --- the repository entity ------------------------------------------------------

int32_t Node::CreateEntity(int32_t repType, const std::string& sDesc, const std::string& lDesc) {
  return CreateRepositoryObject()->AddRepEntity(repType, sDesc, lDesc);
}

void Node::UpdateEntity(int32_t repType, int32_t repId, const std::string& sDesc, const std::string& lDesc) {
  CreateRepositoryObject()->UpdateRepEntityOnlyDB(repType, repId, sDesc, lDesc);
}

bool Node::ListChanged(const std::string& oldList, const std::string& newList) {
  // Another order of the same entries leaves ";" as "Add": a change too.
  StringDict delta = storage::getDeltaVisibility(oldList, newList);
  return !delta.Item("Add").empty() || !delta.Item("Remove").empty();
}

// --- save -----------------------------------------------------------------------

bool Node::save(int32_t i_lRepID, const std::string& i_sSDesc, const std::string& i_sLDesc, bool i_bPropogateContent,
                const std::string& i_sVisibilities, bool i_bPropogateVisibDown, const std::string& i_sFAQs,
                int32_t i_lHyperlinkNodeID) {
  ConnectionPtr connection;
  return Trapped(
      kSave,
      [&] {
        // The list is written into the row and the element as it is.
        storage::ValidateVisibilityList("i_sVisibilities", i_sVisibilities);

        // All statements and the entity change together: in the caller's
        // transaction, or in one of our own when the caller has none.
        return RunTransactional([&] {
          // --- what has changed (reads only) ---
          const bool hyperlinkChanged = i_lHyperlinkNodeID != HyperlinkNodeID;
          // Propagating content never applies another entity: then only the
          // texts of the node's own entity count, so that what the caller
          // propagates afterwards is what the entity holds.
          const bool entityChanged = !i_bPropogateContent && i_lRepID != RepID;

          bool contentChanged = false;
          StringDict shownEntity;
          if (!entityChanged) {
            StringDict details = CreateRepositoryObject()->getRepEntityDetails(RepType, RepID);
            contentChanged = TrimBlanks(i_sSDesc) != TrimBlanks(details.Item("NAME")) ||
                             TrimBlanks(i_sLDesc) != TrimBlanks(details.Item("DETAIL"));
          } else {
            // The node must not end up referring to an entity that does not
            // exist (1012 when there is none of the node's type).
            shownEntity = CreateRepositoryObject()->getRepEntityDetails(RepType, i_lRepID);
          }

          StringDict delta = storage::getDeltaVisibility(Visibilities, i_sVisibilities);
          const std::string added = TrimBlanks(delta.Item("Add"));
          const std::string removed = TrimBlanks(delta.Item("Remove"));
          const bool visibilityChanged = !added.empty() || !removed.empty();

          const bool faqsChanged = ListChanged(FAQs, i_sFAQs);

          if (!visibilityChanged && !contentChanged && !entityChanged && !faqsChanged && !hyperlinkChanged) {
            return false;
          }

          // Every change below touches the element.
          if (NodeDOM.IsNull()) {
            Raise(err::ObjectNotSet, {}, "Object variable or With block variable not set: the node has no element");
          }

          // --- building: the element changes at once, the statements wait ---
          const storage::TableAndKey tableAndKey = storage::GetTreeTableAndKey(TreeType, true);
          const std::string& table = tableAndKey[0];
          const std::string& keyColumn = tableAndKey[1];
          if (table.empty()) {
            RaiseInvalidArgument("TreeType", std::to_string(TreeType) + " is not a tree type (1 product tree, 2 template)");
          }
          std::string nodeStatement;
          std::string subtreeStatement;
          std::string rootStatement;

          if (visibilityChanged) {
            if (i_bPropogateVisibDown) {
              // A descendant may already show an entry that is added here:
              // it is taken out before the append, so no list holds an entry
              // twice (a later removal would leave the second one behind).
              const std::string takenOut = JoinLists(removed, added);
              std::string kept = storage::GetRemoveVisibilitySQL(takenOut);
              const std::string appended = storage::GetAddVisibilitySQL(added);
              // Appended to an empty text the entries would lack their
              // leading separator; an empty list is ";" to append to, as it
              // is in the elements.
              if (!appended.empty()) kept = "CASE WHEN TRIM(VISIBILITY) = '' THEN ';' ELSE " + kept + " END";
              subtreeStatement =
                  StatementHead(table) + VisibilityAssignment(kept + appended) + SubtreeCondition(keyColumn);
              UpdateSelfAndDescendantNodes(NodeDOM, added, takenOut, true);
            } else if (!removed.empty()) {
              // A descendant never keeps an entry that this node has lost.
              subtreeStatement = StatementHead(table) + VisibilityAssignment(storage::GetRemoveVisibilitySQL(removed)) +
                                 SubtreeCondition(keyColumn);
              UpdateSelfAndDescendantNodes(NodeDOM, added, removed, false);
            }
          }

          std::string assignments;
          auto assign = [&](const std::string& assignment) { assignments += assignment + ","; };

          if (i_bPropogateContent) {
            // The shared entity itself takes the new texts.
            if (contentChanged) {
              UpdateEntity(RepType, RepID, i_sSDesc, i_sLDesc);
              SetDescriptions(i_sSDesc, i_sLDesc);
            }
          } else if (entityChanged) {
            // Another entity is only shown, never changed: the element shows
            // its texts, whatever texts came along, so that the document
            // says what the entity holds.
            assign(EntityAssignment(i_lRepID));
            SetEntityAttribute(std::to_string(i_lRepID));
            SetDescriptions(shownEntity.Item("NAME"), shownEntity.Item("DETAIL"));
          } else if (contentChanged) {
            // An entity of its own; the old one and its other users stay.
            const int32_t newRepID = CreateEntity(RepType, i_sSDesc, i_sLDesc);
            assign(EntityAssignment(newRepID));
            SetEntityAttribute(std::to_string(newRepID));
            SetDescriptions(i_sSDesc, i_sLDesc);
          }
          if (visibilityChanged) {
            assign(VisibilityAssignment(FormatSqlText(i_sVisibilities)));
            SetVisibilityAttribute(i_sVisibilities);
          }
          if (faqsChanged) {
            assign(FaqAssignment(i_sFAQs));
            SetFaqFlag(i_sFAQs);
          }
          if (hyperlinkChanged) {
            assign(HyperlinkAssignment(i_lHyperlinkNodeID));
            SetHyperlinkAttribute(i_lHyperlinkNodeID);
          }
          if (!assignments.empty()) {
            assignments.pop_back();  // the last ","
            nodeStatement = StatementHead(table) + assignments + NodeCondition(keyColumn);
          }

          // A template's root shows what its top-level nodes show.
          if (TreeType == storage::kTemplateTree && ParentNodeID == 0) {
            const std::string rootList = GetTemplateRootVisib(added, removed);
            rootStatement = "UPDATE TEMPLATE_TEMP SET VISIBILITY = " + FormatSqlText(rootList) +
                            " WHERE TEMPLATEID = " + std::to_string(FormatSqlNumber(ID)) + " AND NODEID=0";
            XmlElement root = NodeDOM.Parent();
            SetPresentAttribute(root, "VISB", rootList);
          }

          // --- writing ---
          connection = GetHelvixConnection();
          for (const std::string* statement : {&nodeStatement, &subtreeStatement, &rootStatement}) {
            if (!statement->empty()) connection->Execute(*statement);
          }
          CloseConnection(connection);
          return true;
        });
      },
      [&] { CloseConnection(connection); });
}

}  // namespace tsa
