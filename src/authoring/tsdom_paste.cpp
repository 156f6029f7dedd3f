// Cross-tree paste: copying a node with its subtree from one tree or
// template (the source) below a node of another, or of the same, tree (the
// destination), and the visibility entries an author may extend the pasted
// nodes to.
//
// The source is read as the calling user sees it (the working copy when the
// user holds it, else the published copy) and needs no check-out; the
// destination must be the user's working copy, and a paste into any other
// copy quietly does nothing. Source and destination are always two separately
// loaded trees, even when they are the same tree: the paste takes the
// source's elements out of their document, and only the destination is saved.
#include <string>

#include "authoring/tsdom.h"
#include "authoring/validation.h"
#include "model/node.h"
#include "model/tree.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "storage/tree_types.h"
#include "storage/visibility.h"

namespace tsa {

namespace {

constexpr const char* kPaste = "HXSvcTroubleshooting.TSDOM.Paste";
constexpr const char* kCompareVisibilities = "HXSvcTroubleshooting.TSDOM.CompareVisibilities";

// A tree's root is never pasted: its row and element would become a second
// root inside the destination.
void ValidateSourceNode(const char* name, int32_t nodeId) {
  if (nodeId == 0) RaiseInvalidArgument(name, "the root of a tree cannot be pasted");
}

}  // namespace

void TSDOM::Paste(int32_t i_lSrcTreeType, int32_t i_lSrcID, int32_t i_lSrcNodeID, int32_t i_lDstTreeType,
                  int32_t i_lDstID, int32_t i_lDstNodeID, std::string i_sSelectedVisibToAdd, std::string i_sUserId) {
  RunTransactional([&] {
    TreePtr source;
    TreePtr destination;
    NodePtr sourceNode;
    NodePtr destinationNode;
    auto release = [&] {
      sourceNode.reset();
      destinationNode.reset();
      source.reset();
      destination.reset();
    };
    Trapped(
        kPaste,
        [&] {
          ValidateTreeType("i_lSrcTreeType", i_lSrcTreeType);
          ValidateTreeType("i_lDstTreeType", i_lDstTreeType);
          ValidateSourceNode("i_lSrcNodeID", i_lSrcNodeID);
          ValidateVisibilities("i_sSelectedVisibToAdd", i_sSelectedVisibToAdd);
          ValidateUser("i_sUserId", i_sUserId);

          destination = CreateTreeObject();
          destination->load(i_lDstTreeType, i_lDstID, i_sUserId);
          // Not the user's working copy: nothing to do, and no vote.
          if (!destination->Checkedout()) {
            release();
            return;
          }

          source = CreateTreeObject();
          source->load(i_lSrcTreeType, i_lSrcID, i_sUserId);
          sourceNode = source->getNode(i_lSrcNodeID);
          destinationNode = destination->getNode(i_lDstNodeID);
          destinationNode->Paste(*sourceNode, i_sSelectedVisibToAdd, i_sUserId);
          destination->save();

          release();
          CompleteTransaction();
        },
        [&] {
          release();
          AbortTransaction();
        });
  });
}

std::string TSDOM::GetVisibilitiesToAdd(int32_t i_lSrcTreeType, int32_t i_lSrcID, int32_t i_lSrcNodeID,
                                        int32_t i_lDstTreeType, int32_t i_lDstID, int32_t i_lDstNodeID,
                                        std::string i_sUserId) {
  // Reads only; no vote.
  return RunTransactional([&] {
    return Trapped(kCompareVisibilities, [&] {
      ValidateTreeType("i_lSrcTreeType", i_lSrcTreeType);
      ValidateTreeType("i_lDstTreeType", i_lDstTreeType);
      ValidateUser("i_sUserId", i_sUserId);

      // Each node from the copy the user works on.
      const storage::TableAndKey sourceTable =
          storage::GetTreeTableAndKey(i_lSrcTreeType, IsCheckedOut(i_lSrcTreeType, i_lSrcID, i_sUserId));
      const std::string sourceList = storage::GetNOdeVisibilitiesFromDB(sourceTable, i_lSrcID, i_lSrcNodeID);
      const storage::TableAndKey destinationTable =
          storage::GetTreeTableAndKey(i_lDstTreeType, IsCheckedOut(i_lDstTreeType, i_lDstID, i_sUserId));
      const std::string destinationList =
          storage::GetNOdeVisibilitiesFromDB(destinationTable, i_lDstID, i_lDstNodeID);

      // What the destination shows and the source does not.
      const std::string added = storage::getDeltaVisibility(sourceList, destinationList).Item("Add");
      // Nothing to add is the empty list, also when the destination's list
      // is a blank (the difference then holds the blank).
      return added.find_first_not_of(' ') == std::string::npos ? std::string(";") : added;
    });
  });
}

}  // namespace tsa
