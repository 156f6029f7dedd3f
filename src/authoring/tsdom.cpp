// The facade's dispatch table, its creation by ProgID and registration.
#include "authoring/tsdom.h"

#include "runtime/components.h"
#include "runtime/dispatch.h"
#include "runtime/dispatch_values.h"

namespace tsa {

namespace {

using nlohmann::json;
using namespace dispatch;

ParamSpec L(const char* name) { return {name, ArgType::Long}; }
ParamSpec S(const char* name) { return {name, ArgType::String}; }
ParamSpec B(const char* name) { return {name, ArgType::Bool}; }
ParamSpec D(const char* name) { return {name, ArgType::Dict}; }
ParamSpec LOut(const char* name) { return {name, ArgType::Long, true}; }
ParamSpec SOut(const char* name) { return {name, ArgType::String, true}; }

TSDOM& Self(Component& c) { return static_cast<TSDOM&>(c); }

DispatchTable BuildTable() {
  DispatchTable t;
  t.Add({"AddChildNew",
         {L("i_lTreeType"), L("i_lID"), L("i_lCurrentNodeID"), L("i_lRepType"), S("i_sSDesc"), S("i_sLDesc"),
          S("i_sVisibilities"), S("i_sFAQs"), L("i_lHyperlinkNodeID"), S("i_sUserId")},
         ArgType::Long, false,
         [](Component& c, DispatchArgs& a) -> json {
           return Self(c).AddChildNew(Long(a[0]), Long(a[1]), Long(a[2]), Long(a[3]), Text(a[4]), Text(a[5]),
                                      Text(a[6]), Text(a[7]), Long(a[8]), Text(a[9]));
         },
         "Adds a new node with a new repository entity below a node of the user's working copy; returns its NodeID "
         "(1218 when it would lie deeper than [trees] max_depth)."});
  t.Add({"AddChildFromRep",
         {L("i_lTreeType"), L("i_lID"), L("i_lCurrentNodeID"), L("i_lRepType"), L("i_lRepID"), S("i_sVisibilities"),
          S("i_sFAQs"), L("i_lHyperlinkNodeID"), S("i_sUserId")},
         ArgType::Long, false,
         [](Component& c, DispatchArgs& a) -> json {
           return Self(c).AddChildFromRep(Long(a[0]), Long(a[1]), Long(a[2]), Long(a[3]), Long(a[4]), Text(a[5]),
                                          Text(a[6]), Long(a[7]), Text(a[8]));
         },
         "Adds a node showing an existing repository entity; returns its NodeID (1218 beyond [trees] max_depth)."});
  t.Add({"AddTemplateToNode",
         {L("i_lTemplateID"), L("i_lTreeType"), L("i_lID"), L("i_lNodeID"), S("i_sVisibToAdd"), S("i_sUserId"),
          LOut("o_lInvalidityReason")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           int32_t reason = Long(a[6]);
           Self(c).AddTemplateToNode(Long(a[0]), Long(a[1]), Long(a[2]), Long(a[3]), Text(a[4]), Text(a[5]), reason);
           a[6] = reason;
           return nullptr;
         },
         "Grafts the top-level nodes of a template below a node of the user's working copy (1218 when a grafted "
         "node would lie deeper than [trees] max_depth; nothing is grafted)."});
  t.Add({"SaveNode",
         {L("i_lTreeType"), L("i_lID"), L("i_lNodeID"), L("i_lRepID"), S("i_sSDesc"), S("i_sLDesc"),
          B("i_bPropogateContent"), S("i_sVisibilities"), B("i_bPropogateVisibDown"), S("i_sFAQs"),
          L("i_lHyperlinkNodeID"), S("i_sUserId")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).SaveNode(Long(a[0]), Long(a[1]), Long(a[2]), Long(a[3]), Text(a[4]), Text(a[5]), Bool(a[6]),
                            Text(a[7]), Bool(a[8]), Text(a[9]), Long(a[10]), Text(a[11]));
           return nullptr;
         },
         "Saves a node's texts, visibility, FAQs, hyperlink and entity, propagating as asked."});
  t.Add({"DeleteNode",
         {L("i_lTreeType"), L("i_lID"), L("i_lNodeID"), S("i_sUserId")},
         ArgType::Long, false,
         [](Component& c, DispatchArgs& a) -> json {
           return Self(c).DeleteNode(Long(a[0]), Long(a[1]), Long(a[2]), Text(a[3]));
         },
         "Deletes a node and its subtree; returns the parent's NodeID."});
  t.Add({"CreateEmptyTree",
         {L("i_lTreeType"), L("i_lID")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).CreateEmptyTree(Long(a[0]), Long(a[1]));
           return nullptr;
         },
         "Creates a product tree or a template with its root only."});
  t.Add({"CheckOut",
         {L("i_lTreeType"), L("i_lID"), S("i_sUserId"), SOut("o_sOwner")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           std::string owner = Text(a[3]);
           Self(c).CheckOut(Long(a[0]), Long(a[1]), Text(a[2]), owner);
           a[3] = owner;
           return nullptr;
         },
         "Checks a tree out for the user; o_sOwner is empty on success, else the holder's login."});
  t.Add({"Publish",
         {L("i_lTreeType"), L("i_lID")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).Publish(Long(a[0]), Long(a[1]));
           return nullptr;
         },
         "Publishes the working copy of a tree and ends its check-out."});
  t.Add({"PublishWithComment",
         {L("i_lTreeType"), L("i_lID"), S("i_sComment"), B("i_bForce")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).PublishWithComment(Long(a[0]), Long(a[1]), Text(a[2]), Bool(a[3]));
           return nullptr;
         },
         "Publishes like Publish, with a comment kept in the version; refused while Tree.Validate finds errors "
         "unless i_bForce."});
  t.Add({"Paste",
         {L("i_lSrcTreeType"), L("i_lSrcID"), L("i_lSrcNodeID"), L("i_lDstTreeType"), L("i_lDstID"), L("i_lDstNodeID"),
          S("i_sSelectedVisibToAdd"), S("i_sUserId")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).Paste(Long(a[0]), Long(a[1]), Long(a[2]), Long(a[3]), Long(a[4]), Long(a[5]), Text(a[6]),
                         Text(a[7]));
           return nullptr;
         },
         "Copies a subtree below a node of the user's working copy, from the same or another tree (1218 when a "
         "copied node would lie deeper than [trees] max_depth; nothing is copied)."});
  t.Add({"GetVisibilitiesToAdd",
         {L("i_lSrcTreeType"), L("i_lSrcID"), L("i_lSrcNodeID"), L("i_lDstTreeType"), L("i_lDstID"), L("i_lDstNodeID"),
          S("i_sUserId")},
         ArgType::String, false,
         [](Component& c, DispatchArgs& a) -> json {
           return Self(c).GetVisibilitiesToAdd(Long(a[0]), Long(a[1]), Long(a[2]), Long(a[3]), Long(a[4]), Long(a[5]),
                                               Text(a[6]));
         },
         "The visibilities the destination has and the source node lacks (a list, never empty)."});
  t.Add({"createTreeFromTree",
         {L("i_lSourceTreeType"), L("i_lSourceID"), L("i_lDestTreeType"), L("i_lDestID"), S("i_sUserId")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).createTreeFromTree(Long(a[0]), Long(a[1]), Long(a[2]), Long(a[3]), Text(a[4]));
           return nullptr;
         },
         "Creates a tree as a copy of another and checks it out for the user."});
  t.Add({"MoveNode",
         {L("i_lTreeType"), L("i_lID"), L("i_lNodeID"), L("i_lDirection"), S("i_sUserId")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).MoveNode(Long(a[0]), Long(a[1]), Long(a[2]), Long(a[3]), Text(a[4]));
           return nullptr;
         },
         "Moves a node one place up or down among its siblings."});
  t.Add({"CreateNewTemplateInfo",
         {S("i_sName"), S("i_sComment"), L("i_lProductCategory")},
         ArgType::Long, false,
         [](Component& c, DispatchArgs& a) -> json {
           return Self(c).CreateNewTemplateInfo(Text(a[0]), Text(a[1]), Long(a[2]));
         },
         "Creates a template's information row; returns the new TEMPLATEID."});
  t.Add({"UpdateTemplateInfo",
         {L("i_lTemplateID"), S("i_sName"), S("i_sComment"), L("i_lProductCategory")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).UpdateTemplateInfo(Long(a[0]), Text(a[1]), Text(a[2]), Long(a[3]));
           return nullptr;
         },
         "Changes a template's name, comment and product category."});
  t.Add({"deleteTree",
         {L("i_lPrID"), L("i_lTreeType"), S("i_sUserId")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).deleteTree(Long(a[0]), Long(a[1]), Text(a[2]));
           return nullptr;
         },
         "Deletes a tree: rows, documents and check-out."});
  t.Add({"deleteTemplateInfo",
         {{"i_lID", ArgType::Long, true}, {"i_sUserId", ArgType::String, true}},
         ArgType::Variant, false,
         [](Component& c, DispatchArgs& a) -> json {
           int32_t id = Long(a[0]);
           std::string user = Text(a[1]);
           Self(c).deleteTemplateInfo(id, user);
           a[0] = id;
           a[1] = user;
           return nullptr;
         },
         "Deletes a template: its information row and its tree."});
  t.Add({"UndoEditTree",
         {L("i_lPrID"), L("i_lTreeType"), S("i_sUserId")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).UndoEditTree(Long(a[0]), Long(a[1]), Text(a[2]));
           return nullptr;
         },
         "Discards the user's working copy and ends the check-out."});
  t.Add({"SynchronizeVisibilitiesforTree",
         {L("lProductCat"), L("lproductId"), D("oAddVisibility"), D("oDeletevisibility")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).SynchronizeVisibilitiesforTree(Long(a[0]), Long(a[1]), Dict(a[2]), Dict(a[3]));
           return nullptr;
         },
         "Adds and removes visibilities in a product tree's working copy (rows and document)."});
  t.Add({"SearchVisibilityandUpdate",
         {S("sVisArray"), S("sVisibility")},
         ArgType::String, false,
         [](Component& c, DispatchArgs& a) -> json { return Self(c).SearchVisibilityandUpdate(Text(a[0]), Text(a[1])); },
         "The list without the entry."});
  t.Add({"AppendVisibilityInOrder",
         {S("sTempArr"), S("sVisibility")},
         ArgType::String, false,
         [](Component& c, DispatchArgs& a) -> json { return Self(c).AppendVisibilityInOrder(Text(a[0]), Text(a[1])); },
         "The list with the entry added in numeric order."});
  t.Add({"SynchronizeVisibilitiesInXML",
         {L("lproductId"), D("oDeletevisibility"), D("oAddVisibility")},
         ArgType::Variant, true,
         [](Component& c, DispatchArgs& a) -> json {
           Self(c).SynchronizeVisibilitiesInXML(Long(a[0]), Dict(a[1]), Dict(a[2]));
           return nullptr;
         },
         "Adds and removes visibilities in a product tree's manager document."});
  t.Add({"UpdateVisibilitiesForRootNode",
         {L("lproductId"), S("i_sVisibilities")},
         ArgType::Variant, false,
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
