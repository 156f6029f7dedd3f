// TSDOM: the operations of the management front end. Each method is one
// unit of work in its own or its caller's transaction context; methods call
// one another through the class's interface, never privately.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/dictionary.h"
#include "runtime/registry.h"

namespace tsa {

class TSDOM : public Component {
 public:
  // 1, 2, 4, 5, 12: node editing.
  int32_t AddChildNew(int32_t i_lTreeType, int32_t i_lID, int32_t i_lCurrentNodeID, int32_t i_lRepType,
                      std::string i_sSDesc, std::string i_sLDesc, std::string i_sVisibilities, std::string i_sFAQs,
                      int32_t i_lHyperlinkNodeID, std::string i_sUserId);
  int32_t AddChildFromRep(int32_t i_lTreeType, int32_t i_lID, int32_t i_lCurrentNodeID, int32_t i_lRepType,
                          int32_t i_lRepID, std::string i_sVisibilities, std::string i_sFAQs,
                          int32_t i_lHyperlinkNodeID, std::string i_sUserId);
  void SaveNode(int32_t i_lTreeType, int32_t i_lID, int32_t i_lNodeID, int32_t i_lRepID, std::string i_sSDesc,
                std::string i_sLDesc, bool i_bPropogateContent, std::string i_sVisibilities,
                bool i_bPropogateVisibDown, std::string i_sFAQs, int32_t i_lHyperlinkNodeID, std::string i_sUserId);
  int32_t DeleteNode(int32_t i_lTreeType, int32_t i_lID, int32_t i_lNodeID, std::string i_sUserId);
  void MoveNode(int32_t i_lTreeType, int32_t i_lID, int32_t i_lNodeID, int32_t i_lDirection, std::string i_sUserId);

  // 3, 13, 14, 16: templates.
  void AddTemplateToNode(int32_t i_lTemplateID, int32_t i_lTreeType, int32_t i_lID, int32_t i_lNodeID,
                         std::string i_sVisibToAdd, std::string i_sUserId, int32_t& o_lInvalidityReason);
  int32_t CreateNewTemplateInfo(std::string i_sName, std::string i_sComment, int32_t i_lProductCategory);
  void UpdateTemplateInfo(int32_t i_lTemplateID, std::string i_sName, std::string i_sComment,
                          int32_t i_lProductCategory);
  void deleteTemplateInfo(int32_t& i_lID, std::string& i_sUserId);

  // 6, 7, 8, 15, 17: tree lifecycle.
  void CreateEmptyTree(int32_t i_lTreeType, int32_t i_lID);
  void CheckOut(int32_t i_lTreeType, int32_t i_lID, std::string i_sUserId, std::string& o_sOwner);
  void Publish(int32_t i_lTreeType, int32_t i_lID);
  // Publish with the checks before publishing: refused (1403) while the
  // working copy has findings of severity "error", unless forced; the new
  // version records the comment and whether errors were overridden.
  void PublishWithComment(int32_t i_lTreeType, int32_t i_lID, std::string i_sComment, bool i_bForce);
  void deleteTree(int32_t i_lPrID, int32_t i_lTreeType, std::string i_sUserId);
  void UndoEditTree(int32_t i_lPrID, int32_t i_lTreeType, std::string i_sUserId);

  // 9, 10: cross-tree paste.
  void Paste(int32_t i_lSrcTreeType, int32_t i_lSrcID, int32_t i_lSrcNodeID, int32_t i_lDstTreeType,
             int32_t i_lDstID, int32_t i_lDstNodeID, std::string i_sSelectedVisibToAdd, std::string i_sUserId);
  std::string GetVisibilitiesToAdd(int32_t i_lSrcTreeType, int32_t i_lSrcID, int32_t i_lSrcNodeID,
                                   int32_t i_lDstTreeType, int32_t i_lDstID, int32_t i_lDstNodeID,
                                   std::string i_sUserId);

  // 11: tree copy.
  void createTreeFromTree(int32_t i_lSourceTreeType, int32_t i_lSourceID, int32_t i_lDestTreeType,
                          int32_t i_lDestID, std::string i_sUserId);

  // 18..22: visibility synchronisation. Dictionaries are keyed by
  // visibility identifier (decimal text).
  void SynchronizeVisibilitiesforTree(int32_t lProductCat, int32_t lproductId, const StringDict& oAddVisibility,
                                      const StringDict& oDeletevisibility);
  std::string SearchVisibilityandUpdate(std::string sVisArray, std::string sVisibility);
  std::string AppendVisibilityInOrder(std::string sTempArr, std::string sVisibility);
  void SynchronizeVisibilitiesInXML(int32_t lproductId, const StringDict& oDeletevisibility,
                                    const StringDict& oAddVisibility);
  void UpdateVisibilitiesForRootNode(int32_t lproductId, std::string i_sVisibilities);

  const DispatchTable* Dispatch() const override;
};

using TSDOMPtr = std::shared_ptr<TSDOM>;

// Creates the facade by its ProgID (nested calls go through here).
TSDOMPtr CreateTSDOMObject();

void RegisterTSDOMClass();

}  // namespace tsa
