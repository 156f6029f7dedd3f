// Every method table as callers see it: names, argument names and types,
// which arguments are written back or may be left out, and the result.
// A change here changes what named and positional calls, error messages and
// the generated API description accept, so the expected lines are kept by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accounts/admin_classes.h"
#include "authoring/browse.h"
#include "authoring/tree_exchange.h"
#include "runtime/components.h"
#include "runtime/dispatch.h"
#include "runtime/registry.h"
#include "versions/versions.h"

namespace tsa {
namespace {

char Letter(ArgType t) {
  switch (t) {
    case ArgType::Long: return 'L';
    case ArgType::String: return 'S';
    case ArgType::Bool: return 'B';
    case ArgType::Dict: return 'D';
    case ArgType::Object: return 'O';
    case ArgType::Variant: return 'V';
  }
  return '?';
}

std::vector<std::string> Snapshot() {
  RegisterAllComponents();
  const std::string_view classes[] = {progid::Tree,     progid::Node,    progid::Repository, progid::TSDOM,
                                      progid::NonMtsTSDOM, kBrowseProgId, kExchangeProgId,    kVersionsProgId,
                                      accounts::progid::Audit, accounts::progid::Admin};
  std::vector<std::string> lines;
  for (std::string_view progId : classes) {
    auto instance = Registry::Instance().Create(progId);
    const DispatchTable* table = instance->Dispatch();
    if (!table) {
      lines.push_back(std::string(progId) + ": none");
      continue;
    }
    for (const MethodSpec& m : table->Methods()) {
      std::string line = std::string(progId) + "." + m.name + "(";
      for (size_t i = 0; i < m.params.size(); ++i) {
        const ParamSpec& p = m.params[i];
        if (i) line += ", ";
        line += p.name + ":" + Letter(p.type);
        if (p.out) line += " out";
        if (p.optional) line += " opt";
      }
      line += ") -> ";
      line += m.returnsNothing ? std::string("nothing") : std::string(1, Letter(m.result));
      lines.push_back(line);
    }
  }
  return lines;
}

// Taken from the tables as they were written by hand.
const std::vector<std::string> kExpected = {
    "HXSvcTroubleshooting.Tree.load(i_lTreeType:L, i_lID:L, i_sUserId:S) -> nothing",
    "HXSvcTroubleshooting.Tree.createNode(i_lRepType:L, i_sSDesc:S, i_sLDesc:S, i_sVisibilities:S, i_sFAQs:S, i_lHyperlinkNodeID:L) -> O",
    "HXSvcTroubleshooting.Tree.createNodeFromRep(i_lRepType:L, i_lRepID:L, i_sVisibilities:S, i_sFAQs:S, i_lHyperlinkNodeID:L) -> O",
    "HXSvcTroubleshooting.Tree.getNode(i_lNodeID:L) -> O",
    "HXSvcTroubleshooting.Tree.save() -> V",
    "HXSvcTroubleshooting.Tree.CheckOut(i_lTreeType:L, i_lID:L, i_sUserId:S, o_sOwner:S out) -> nothing",
    "HXSvcTroubleshooting.Tree.Publish(i_lTreeType:L, i_lID:L) -> nothing",
    "HXSvcTroubleshooting.Tree.Validate(i_lTreeType:L, i_lID:L, i_sUserId:S) -> V",
    "HXSvcTroubleshooting.Tree.DeleteNode(i_lNodeID:L) -> L",
    "HXSvcTroubleshooting.Tree.MoveNode(i_lNodeID:L, i_lDirection:L) -> nothing",
    "HXSvcTroubleshooting.Node.AppendChild(iChildNode:O) -> nothing",
    "HXSvcTroubleshooting.Node.save(i_lRepID:L, i_sSDesc:S, i_sLDesc:S, i_bPropogateContent:B, i_sVisibilities:S, i_bPropogateVisibDown:B, i_sFAQs:S, i_lHyperlinkNodeID:L) -> B",
    "HXSvcTroubleshooting.Node.GetTemplateRootVisib(i_sVisToAdd:S, i_sVisToRemove:S) -> S",
    "HXSvcTroubleshooting.Node.Paste(i_oSrcNode:O, i_sSelectedVisibToAdd:S, i_sUserId:S) -> nothing",
    "HXSvcTroubleshooting.Repository.AddRepEntity(i_lRepType:L, i_sSDesc:S, i_sLDesc:S) -> L",
    "HXSvcTroubleshooting.Repository.getRepEntityDetails(i_lRepType:L, i_lRepID:L) -> D",
    "HXSvcTroubleshooting.Repository.UpdateRepEntityOnlyDB(i_lRepType:L, i_lRepID:L, i_sSDesc:S, i_sLDesc:S) -> nothing",
    "HXSvcTroubleshooting.Repository.UpdateRepEntity(i_lRepType:L, i_lRepID:L, i_sSDesc:S, i_sLDesc:S) -> nothing",
    "HXSvcTroubleshooting.Repository.WhereUsed(i_lRepType:L, i_lRepID:L, i_lOffset:L opt, i_lLimit:L opt) -> V",
    "HXSvcTroubleshooting.Repository.DeleteRepEntity(i_lRepType:L, i_lRepID:L) -> B",
    "HXSvcTroubleShooting.TSDOM.AddChildNew(i_lTreeType:L, i_lID:L, i_lCurrentNodeID:L, i_lRepType:L, i_sSDesc:S, i_sLDesc:S, i_sVisibilities:S, i_sFAQs:S, i_lHyperlinkNodeID:L, i_sUserId:S) -> L",
    "HXSvcTroubleShooting.TSDOM.AddChildFromRep(i_lTreeType:L, i_lID:L, i_lCurrentNodeID:L, i_lRepType:L, i_lRepID:L, i_sVisibilities:S, i_sFAQs:S, i_lHyperlinkNodeID:L, i_sUserId:S) -> L",
    "HXSvcTroubleShooting.TSDOM.AddTemplateToNode(i_lTemplateID:L, i_lTreeType:L, i_lID:L, i_lNodeID:L, i_sVisibToAdd:S, i_sUserId:S, o_lInvalidityReason:L out) -> nothing",
    "HXSvcTroubleShooting.TSDOM.SaveNode(i_lTreeType:L, i_lID:L, i_lNodeID:L, i_lRepID:L, i_sSDesc:S, i_sLDesc:S, i_bPropogateContent:B, i_sVisibilities:S, i_bPropogateVisibDown:B, i_sFAQs:S, i_lHyperlinkNodeID:L, i_sUserId:S) -> nothing",
    "HXSvcTroubleShooting.TSDOM.DeleteNode(i_lTreeType:L, i_lID:L, i_lNodeID:L, i_sUserId:S) -> L",
    "HXSvcTroubleShooting.TSDOM.CreateEmptyTree(i_lTreeType:L, i_lID:L) -> nothing",
    "HXSvcTroubleShooting.TSDOM.CheckOut(i_lTreeType:L, i_lID:L, i_sUserId:S, o_sOwner:S out) -> nothing",
    "HXSvcTroubleShooting.TSDOM.Publish(i_lTreeType:L, i_lID:L) -> nothing",
    "HXSvcTroubleShooting.TSDOM.PublishWithComment(i_lTreeType:L, i_lID:L, i_sComment:S, i_bForce:B) -> nothing",
    "HXSvcTroubleShooting.TSDOM.Paste(i_lSrcTreeType:L, i_lSrcID:L, i_lSrcNodeID:L, i_lDstTreeType:L, i_lDstID:L, i_lDstNodeID:L, i_sSelectedVisibToAdd:S, i_sUserId:S) -> nothing",
    "HXSvcTroubleShooting.TSDOM.GetVisibilitiesToAdd(i_lSrcTreeType:L, i_lSrcID:L, i_lSrcNodeID:L, i_lDstTreeType:L, i_lDstID:L, i_lDstNodeID:L, i_sUserId:S) -> S",
    "HXSvcTroubleShooting.TSDOM.createTreeFromTree(i_lSourceTreeType:L, i_lSourceID:L, i_lDestTreeType:L, i_lDestID:L, i_sUserId:S) -> nothing",
    "HXSvcTroubleShooting.TSDOM.MoveNode(i_lTreeType:L, i_lID:L, i_lNodeID:L, i_lDirection:L, i_sUserId:S) -> nothing",
    "HXSvcTroubleShooting.TSDOM.CreateNewTemplateInfo(i_sName:S, i_sComment:S, i_lProductCategory:L) -> L",
    "HXSvcTroubleShooting.TSDOM.UpdateTemplateInfo(i_lTemplateID:L, i_sName:S, i_sComment:S, i_lProductCategory:L) -> nothing",
    "HXSvcTroubleShooting.TSDOM.deleteTree(i_lPrID:L, i_lTreeType:L, i_sUserId:S) -> nothing",
    "HXSvcTroubleShooting.TSDOM.deleteTemplateInfo(i_lID:L out, i_sUserId:S out) -> V",
    "HXSvcTroubleShooting.TSDOM.UndoEditTree(i_lPrID:L, i_lTreeType:L, i_sUserId:S) -> nothing",
    "HXSvcTroubleShooting.TSDOM.SynchronizeVisibilitiesforTree(lProductCat:L, lproductId:L, oAddVisibility:D, oDeletevisibility:D) -> nothing",
    "HXSvcTroubleShooting.TSDOM.SearchVisibilityandUpdate(sVisArray:S, sVisibility:S) -> S",
    "HXSvcTroubleShooting.TSDOM.AppendVisibilityInOrder(sTempArr:S, sVisibility:S) -> S",
    "HXSvcTroubleShooting.TSDOM.SynchronizeVisibilitiesInXML(lproductId:L, oDeletevisibility:D, oAddVisibility:D) -> nothing",
    "HXSvcTroubleShooting.TSDOM.UpdateVisibilitiesForRootNode(lproductId:L, i_sVisibilities:S) -> V",
    "HXSvcTroubleShootingNonMTS.TSDOM.getTemplateInfo(templateId:L) -> D",
    "HXSvcTroubleShootingNonMTS.TSDOM.TreeExists(id:L, treeType:L) -> B",
    "HXSvcTroubleshooting.Browse.Catalog() -> V",
    "HXSvcTroubleshooting.Browse.Products(i_sFilter:S opt) -> V",
    "HXSvcTroubleshooting.Browse.Templates() -> V",
    "HXSvcTroubleshooting.Browse.Tree(i_lTreeType:L, i_lID:L, i_sView:S opt) -> V",
    "HXSvcTroubleshooting.Browse.SearchEntities(i_sText:S, i_lRepType:L, i_lOffset:L opt, i_lLimit:L opt) -> V",
    "HXSvcTroubleshooting.Exchange.Export(i_lTreeType:L, i_lID:L, i_bWorking:B) -> V",
    "HXSvcTroubleshooting.Exchange.Import(i_vFile:V, i_lTreeType:L, i_lID:L, i_bReuseTexts:B) -> V",
    "HXSvcTroubleshooting.Versions.List(i_lTreeType:L, i_lID:L) -> V",
    "HXSvcTroubleshooting.Versions.Get(i_lTreeType:L, i_lID:L, i_lVersion:L) -> S",
    "HXSvcTroubleshooting.Versions.Diff(i_lTreeType:L, i_lID:L, i_sFrom:S, i_sTo:S) -> V",
    "HXSvcTroubleshooting.Versions.Restore(i_lTreeType:L, i_lID:L, i_lVersion:L, i_sUserId:S) -> nothing",
    "tsauthor.Audit.List(i_lTreeType:L opt, i_lID:L opt, i_sLogin:S opt, i_sMethod:S opt, i_sSince:S opt, i_sUntil:S opt, i_lPage:L opt, i_lPageSize:L opt) -> V",
    "tsauthor.Admin.ReleaseCheckOut(i_lTreeType:L, i_lID:L) -> S",
};

TEST(MethodTables, EveryMethodKeepsItsArgumentsAndResult) {
  std::vector<std::string> actual = Snapshot();
  std::string dump;
  for (const auto& l : actual) dump += "    \"" + l + "\",\n";
  EXPECT_EQ(actual, kExpected) << "tables now read:\n" << dump;
}

}  // namespace
}  // namespace tsa
