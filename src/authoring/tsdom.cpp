// The facade's dispatch table, its creation by ProgID and registration.
#include "authoring/tsdom.h"

#include "runtime/components.h"
#include "runtime/dispatch.h"
#include "runtime/dispatch_values.h"

namespace tsa {

namespace {

using nlohmann::json;
using namespace dispatch;

TSDOM& Self(Component& c) { return static_cast<TSDOM&>(c); }

DispatchTable BuildTable() {
  DispatchTable t;
  t.Add(Bind<&TSDOM::AddChildNew>(
      "AddChildNew",
      {"i_lTreeType", "i_lID", "i_lCurrentNodeID", "i_lRepType", "i_sSDesc", "i_sLDesc", "i_sVisibilities", "i_sFAQs",
       "i_lHyperlinkNodeID", "i_sUserId"},
      "Adds a new node with a new repository entity below a node of the user's working copy; returns its NodeID "
      "(1218 when it would lie deeper than [trees] max_depth)."));
  t.Add(Bind<&TSDOM::AddChildFromRep>(
      "AddChildFromRep",
      {"i_lTreeType", "i_lID", "i_lCurrentNodeID", "i_lRepType", "i_lRepID", "i_sVisibilities", "i_sFAQs",
       "i_lHyperlinkNodeID", "i_sUserId"},
      "Adds a node showing an existing repository entity; returns its NodeID (1218 beyond [trees] max_depth)."));
  t.Add(Bind<&TSDOM::AddTemplateToNode>(
      "AddTemplateToNode",
      {"i_lTemplateID", "i_lTreeType", "i_lID", "i_lNodeID", "i_sVisibToAdd", "i_sUserId", "o_lInvalidityReason"},
      "Grafts the top-level nodes of a template below a node of the user's working copy (1218 when a grafted "
      "node would lie deeper than [trees] max_depth; nothing is grafted)."));
  t.Add(Bind<&TSDOM::SaveNode>(
      "SaveNode",
      {"i_lTreeType", "i_lID", "i_lNodeID", "i_lRepID", "i_sSDesc", "i_sLDesc", "i_bPropogateContent",
       "i_sVisibilities", "i_bPropogateVisibDown", "i_sFAQs", "i_lHyperlinkNodeID", "i_sUserId"},
      "Saves a node's texts, visibility, FAQs, hyperlink and entity, propagating as asked."));
  t.Add(Bind<&TSDOM::DeleteNode>("DeleteNode", {"i_lTreeType", "i_lID", "i_lNodeID", "i_sUserId"},
                                 "Deletes a node and its subtree; returns the parent's NodeID."));
  t.Add(Bind<&TSDOM::CreateEmptyTree>("CreateEmptyTree", {"i_lTreeType", "i_lID"},
                                      "Creates a product tree or a template with its root only."));
  t.Add(
      Bind<&TSDOM::CheckOut>("CheckOut", {"i_lTreeType", "i_lID", "i_sUserId", "o_sOwner"},
                             "Checks a tree out for the user; o_sOwner is empty on success, else the holder's login."));
  t.Add(Bind<&TSDOM::Publish>("Publish", {"i_lTreeType", "i_lID"},
                              "Publishes the working copy of a tree and ends its check-out."));
  t.Add(Bind<&TSDOM::PublishWithComment>(
      "PublishWithComment", {"i_lTreeType", "i_lID", "i_sComment", "i_bForce"},
      "Publishes like Publish, with a comment kept in the version; refused while Tree.Validate finds errors "
      "unless i_bForce."));
  t.Add(Bind<&TSDOM::Paste>(
      "Paste",
      {"i_lSrcTreeType", "i_lSrcID", "i_lSrcNodeID", "i_lDstTreeType", "i_lDstID", "i_lDstNodeID",
       "i_sSelectedVisibToAdd", "i_sUserId"},
      "Copies a subtree below a node of the user's working copy, from the same or another tree (1218 when a "
      "copied node would lie deeper than [trees] max_depth; nothing is copied)."));
  t.Add(Bind<&TSDOM::GetVisibilitiesToAdd>(
      "GetVisibilitiesToAdd",
      {"i_lSrcTreeType", "i_lSrcID", "i_lSrcNodeID", "i_lDstTreeType", "i_lDstID", "i_lDstNodeID", "i_sUserId"},
      "The visibilities the destination has and the source node lacks (a list, never empty)."));
  t.Add(Bind<&TSDOM::createTreeFromTree>(
      "createTreeFromTree", {"i_lSourceTreeType", "i_lSourceID", "i_lDestTreeType", "i_lDestID", "i_sUserId"},
      "Creates a tree as a copy of another and checks it out for the user."));
  t.Add(Bind<&TSDOM::MoveNode>("MoveNode", {"i_lTreeType", "i_lID", "i_lNodeID", "i_lDirection", "i_sUserId"},
                               "Moves a node one place up or down among its siblings."));
  t.Add(Bind<&TSDOM::CreateNewTemplateInfo>("CreateNewTemplateInfo", {"i_sName", "i_sComment", "i_lProductCategory"},
                                            "Creates a template's information row; returns the new TEMPLATEID."));
  t.Add(Bind<&TSDOM::UpdateTemplateInfo>("UpdateTemplateInfo",
                                         {"i_lTemplateID", "i_sName", "i_sComment", "i_lProductCategory"},
                                         "Changes a template's name, comment and product category."));
  t.Add(Bind<&TSDOM::deleteTree>("deleteTree", {"i_lPrID", "i_lTreeType", "i_sUserId"},
                                 "Deletes a tree: rows, documents and check-out."));
  MethodSpec deleteTemplateInfo = Bind<&TSDOM::deleteTemplateInfo>(
      "deleteTemplateInfo", {"i_lID", "i_sUserId"}, "Deletes a template: its information row and its tree.");
  deleteTemplateInfo.returnsNothing = false;  // always documented as returning a value (null)
  t.Add(std::move(deleteTemplateInfo));
  t.Add(Bind<&TSDOM::UndoEditTree>("UndoEditTree", {"i_lPrID", "i_lTreeType", "i_sUserId"},
                                   "Discards the user's working copy and ends the check-out."));
  t.Add(Bind<&TSDOM::SynchronizeVisibilitiesforTree>(
      "SynchronizeVisibilitiesforTree", {"lProductCat", "lproductId", "oAddVisibility", "oDeletevisibility"},
      "Adds and removes visibilities in a product tree's working copy (rows and document)."));
  t.Add(Bind<&TSDOM::SearchVisibilityandUpdate>("SearchVisibilityandUpdate", {"sVisArray", "sVisibility"},
                                                "The list without the entry."));
  t.Add(Bind<&TSDOM::AppendVisibilityInOrder>("AppendVisibilityInOrder", {"sTempArr", "sVisibility"},
                                              "The list with the entry added in numeric order."));
  t.Add(Bind<&TSDOM::SynchronizeVisibilitiesInXML>(
      "SynchronizeVisibilitiesInXML", {"lproductId", "oDeletevisibility", "oAddVisibility"},
      "Adds and removes visibilities in a product tree's manager document."));
  t.Add({"UpdateVisibilitiesForRootNode",
         {{"lproductId", ArgType::Long}, {"i_sVisibilities", ArgType::String}},
         ArgType::Variant,
         false,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).UpdateVisibilitiesForRootNode(Long(a[0]), Text(a[1]));
           return false;  // callers receive a variant holding false
         },
         "Gives the root of a product tree's working copy a new visibility list, and every node that has a list "
         "the same; returns false."});
  return t;
}

}  // namespace

const DispatchTable* TSDOM::Dispatch() const {
  static const DispatchTable table = BuildTable();
  return &table;
}

TSDOMPtr CreateTSDOMObject() { return CreateObject<TSDOM>(progid::TSDOM); }

void RegisterTSDOMClass() {
  Registry::Instance().Register(progid::TSDOM, [] { return std::make_shared<TSDOM>(); });
}

}  // namespace tsa
