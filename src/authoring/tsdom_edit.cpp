// Node editing: adding, saving, deleting and moving nodes of the working
// copy that the calling user holds checked out.
//
// Every member is one unit of work: it loads the tree for the user through a
// Tree created by ProgID, refuses a user who does not hold the tree (1003),
// does its work, saves the tree's document and votes complete. On any
// failure its handler releases what it holds, votes abort and reports the
// error under the member's label, so rows and staged documents roll back
// together.
#include <functional>
#include <optional>
#include <string>

#include "authoring/tsdom.h"
#include "authoring/validation.h"
#include "model/node.h"
#include "model/tree.h"
#include "repository/propagation.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "storage/tree_types.h"
#include "storage/xml.h"

namespace tsa {

namespace {

constexpr const char* kAddChildNew = "HXSvcTroubleshooting.TSDOM.AddChildNew";
constexpr const char* kAddChildFromRep = "HXSvcTroubleshooting.TSDOM.AddChildFromRep";
constexpr const char* kSaveNode = "HXSvcTroubleshooting.TSDOM.SaveNode";
constexpr const char* kDeleteNode = "HXSvcTroubleshooting.TSDOM.DeleteNode";
constexpr const char* kMoveNode = "HXSvcTroubleshooting.TSDOM.MoveNode";

// The tree as the user sees it; error 1003 unless the user holds it checked
// out, so that only the holder's working copy is ever edited.
TreePtr LoadForEditing(int32_t treeType, int32_t id, const std::string& user) {
  TreePtr tree = CreateTreeObject();
  tree->load(treeType, id, user);
  if (!tree->Checkedout()) Raise(err::NotCheckedOut);
  return tree;
}

// The child-type rule (1005): a template's top level also depends on the
// type of the nodes already there; a product tree's does not.
void RequireChildType(const Tree& tree, int32_t treeType, int32_t parentType, int32_t childType) {
  std::optional<int32_t> topType;
  if (treeType != storage::kProductTree) topType = tree.TemplateTopType();
  if (!storage::TypeMatch(parentType, childType, topType)) Raise(err::ChildTypeNotAllowed);
}

}  // namespace

namespace {

// Adding a child, new or from the repository: the edit pattern around the
// creation of the child, which `create` does on the loaded tree.
int32_t AddChild(const char* label, int32_t treeType, int32_t id, int32_t currentNodeId, int32_t repType,
                 const std::string& visibilities, const std::string& user,
                 const std::function<NodePtr(Tree&)>& create) {
  return RunTransactional([&] {
    TreePtr tree;
    NodePtr parent;
    NodePtr child;
    return Trapped(
        label,
        [&] {
          ValidateTreeType("i_lTreeType", treeType);
          ValidateVisibilities("i_sVisibilities", visibilities);
          ValidateUser("i_sUserId", user);

          tree = LoadForEditing(treeType, id, user);
          parent = tree->getNode(currentNodeId);
          RequireChildType(*tree, treeType, parent->RepType, repType);
          child = create(*tree);
          parent->AppendChild(*child);
          tree->save();

          const int32_t result = child->NodeID;
          child.reset();
          parent.reset();
          tree.reset();
          CompleteTransaction();
          return result;
        },
        [&] {
          child.reset();
          parent.reset();
          tree.reset();
          AbortTransaction();
        });
  });
}

}  // namespace

int32_t TSDOM::AddChildNew(int32_t i_lTreeType, int32_t i_lID, int32_t i_lCurrentNodeID, int32_t i_lRepType,
                           std::string i_sSDesc, std::string i_sLDesc, std::string i_sVisibilities,
                           std::string i_sFAQs, int32_t i_lHyperlinkNodeID, std::string i_sUserId) {
  return AddChild(kAddChildNew, i_lTreeType, i_lID, i_lCurrentNodeID, i_lRepType, i_sVisibilities, i_sUserId,
                  [&](Tree& tree) {
                    return tree.createNode(i_lRepType, i_sSDesc, i_sLDesc, i_sVisibilities, i_sFAQs,
                                           i_lHyperlinkNodeID);
                  });
}

int32_t TSDOM::AddChildFromRep(int32_t i_lTreeType, int32_t i_lID, int32_t i_lCurrentNodeID, int32_t i_lRepType,
                               int32_t i_lRepID, std::string i_sVisibilities, std::string i_sFAQs,
                               int32_t i_lHyperlinkNodeID, std::string i_sUserId) {
  return AddChild(kAddChildFromRep, i_lTreeType, i_lID, i_lCurrentNodeID, i_lRepType, i_sVisibilities, i_sUserId,
                  [&](Tree& tree) {
                    return tree.createNodeFromRep(i_lRepType, i_lRepID, i_sVisibilities, i_sFAQs,
                                                  i_lHyperlinkNodeID);
                  });
}

void TSDOM::SaveNode(int32_t i_lTreeType, int32_t i_lID, int32_t i_lNodeID, int32_t i_lRepID, std::string i_sSDesc,
                     std::string i_sLDesc, bool i_bPropogateContent, std::string i_sVisibilities,
                     bool i_bPropogateVisibDown, std::string i_sFAQs, int32_t i_lHyperlinkNodeID,
                     std::string i_sUserId) {
  RunTransactional([&] {
    TreePtr tree;
    NodePtr node;
    Trapped(
        kSaveNode,
        [&] {
          ValidateTreeType("i_lTreeType", i_lTreeType);
          ValidateVisibilities("i_sVisibilities", i_sVisibilities);
          ValidateUser("i_sUserId", i_sUserId);

          tree = LoadForEditing(i_lTreeType, i_lID, i_sUserId);
          node = tree->getNode(i_lNodeID);
          // The document as it stands now (the same document, not a copy).
          XmlDoc document = tree->TreeDOM();
          const bool saved = node->save(i_lRepID, i_sSDesc, i_sLDesc, i_bPropogateContent, i_sVisibilities,
                                        i_bPropogateVisibDown, i_sFAQs, i_lHyperlinkNodeID);
          if (saved) {
            tree->save();
            if (i_bPropogateContent) {
              // The other trees that show the entity get the new texts. A
              // failure there is not reported as it is: the caller learns
              // that the node was saved but the propagation failed (1014),
              // and the transaction takes everything back.
              bool propagated = true;
              try {
                PropagateChanges(node->RepType, node->RepID, i_sSDesc, i_sLDesc);
              } catch (...) {
                propagated = false;
              }
              if (!propagated) {
                tree->TreeDOM(document);
                tree->save();
                Raise(err::PropagationFailed);
              }
            }
          }
          node.reset();
          tree.reset();
          CompleteTransaction();
        },
        [&] {
          node.reset();
          tree.reset();
          AbortTransaction();
        });
  });
}

int32_t TSDOM::DeleteNode(int32_t i_lTreeType, int32_t i_lID, int32_t i_lNodeID, std::string i_sUserId) {
  return RunTransactional([&] {
    TreePtr tree;
    return Trapped(
        kDeleteNode,
        [&] {
          ValidateTreeType("i_lTreeType", i_lTreeType);
          ValidateUser("i_sUserId", i_sUserId);

          tree = LoadForEditing(i_lTreeType, i_lID, i_sUserId);
          const int32_t parentId = tree->DeleteNode(i_lNodeID);
          tree->save();
          tree.reset();
          CompleteTransaction();
          return parentId;
        },
        [&] {
          tree.reset();
          AbortTransaction();
        });
  });
}

void TSDOM::MoveNode(int32_t i_lTreeType, int32_t i_lID, int32_t i_lNodeID, int32_t i_lDirection,
                     std::string i_sUserId) {
  RunTransactional([&] {
    TreePtr tree;
    Trapped(
        kMoveNode,
        [&] {
          ValidateTreeType("i_lTreeType", i_lTreeType);
          ValidateUser("i_sUserId", i_sUserId);

          tree = LoadForEditing(i_lTreeType, i_lID, i_sUserId);
          tree->MoveNode(i_lNodeID, i_lDirection);
          tree->save();
          tree.reset();
          CompleteTransaction();
        },
        [&] {
          tree.reset();
          AbortTransaction();
        });
  });
}

}  // namespace tsa
