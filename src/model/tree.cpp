#include "model/tree.h"

#include <limits>

#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "repository/repository.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/document_cache.h"
#include "storage/documents.h"
#include "storage/tree_types.h"

namespace tsa {

std::string PublishedFileName(const FileNameDict& names, int32_t treeType, int32_t id) {
  try {
    return CurrentFileName(names, storage::DocumentCategory(treeType, false));
  } catch (const Error& e) {
    if (e.number() != err::SubscriptOutOfRange) throw;
    Raise(err::TreeLoadFailed, {},
          "The tree document could not be loaded: there is no " +
              std::string(treeType == storage::kProductTree ? "product tree " : "template ") + std::to_string(id) +
              " (" + e.description() + "(" + std::to_string(e.number()) + "))");
  }
}

void Tree::LockTree(int32_t treeType, int32_t id) { storage::LockTree(treeType, id); }

namespace {

std::shared_ptr<IValueFormatter> Formatter() { return CreateInContext<IValueFormatter>(progid::ValueFormatter); }
std::shared_ptr<IFileHandling> FileService() { return CreateInContext<IFileHandling>(progid::FileHandling); }

constexpr const char* kLoad = "HXSvcTroubleshooting.Tree.load";
constexpr const char* kCreateNode = "HXSvcTroubleshooting.Tree.CreateNode";
constexpr const char* kCreateNodeFromRep = "HXSvcTroubleshooting.Tree.CreateNodeFromRep";
constexpr const char* kGetNode = "HXSvcTroubleshooting.Tree.getNode";
constexpr const char* kSave = "HXSvcTroubleshooting.Tree.save";
constexpr const char* kIsCheckedOut = "HXSvcTroubleshooting.TSUtilities.IsCheckedOut";

// The identifier a new node gets: one above the highest of the working copy.
int32_t NextNodeID(int32_t treeType, int32_t id) {
  int32_t highest = storage::getMaxNodeID(treeType, id);
  if (highest == std::numeric_limits<int32_t>::max()) {
    Raise(err::Overflow, {}, "Overflow: the tree has no node identifier left");
  }
  return highest + 1;
}

// What a member that hands out a node returns by name: its properties.
nlohmann::json Describe(const NodePtr& node) {
  if (!node) return nullptr;
  return {{"NodeID", node->NodeID},
          {"RepType", node->RepType},
          {"RepID", node->RepID},
          {"Visibilities", node->Visibilities},
          {"ParentNodeID", node->ParentNodeID},
          {"Depth", node->Depth},
          {"Sequence", node->Sequence},
          {"PreTree", node->PreTree},
          {"ID", node->ID},
          {"TreeType", node->TreeType},
          {"TemplateTopType", node->TemplateTopType},
          {"FAQs", node->FAQs},
          {"HyperlinkNodeID", node->HyperlinkNodeID}};
}

}  // namespace

bool IsCheckedOut(int32_t treeType, int32_t id, const std::string& user) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  return Trapped(
      kIsCheckedOut,
      [&] {
        auto formatter = Formatter();
        std::string sql = std::string("Select ID From TSCHANGECONTROL ") + " where ID = " + formatter->FormatNumber(id) +
                          " and LOGIN = " + formatter->FormatText(user) +
                          " and TREETEM = " + formatter->FormatNumber(treeType);
        formatter.reset();
        connection = GetHelvixConnection();
        recordset = connection->OpenRecordset(sql);
        bool held = !recordset->IsEOF();
        CloseRecordset(recordset);
        CloseConnection(connection);
        return held;
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
      });
}

TreeDocumentPlace LocateTreeDocument(int32_t treeType, int32_t id, const std::string& user) {
  TreeDocumentPlace place;
  place.checkedOut = IsCheckedOut(treeType, id, user);
  const int32_t managerCategory = storage::DocumentCategory(treeType, true);
  const int32_t enduserCategory = storage::DocumentCategory(treeType, false);
  auto files = FileService();
  FileNameDict names = files->GetFileNames(id, {enduserCategory, managerCategory});
  std::string managerName;
  if (place.checkedOut) managerName = CurrentFileName(names, managerCategory);
  std::string enduserName = PublishedFileName(names, treeType, id);

  std::optional<std::string> sharedLocation = GetWebFarmLocation();
  if (sharedLocation) {
    // Both copies come from the shared folder, the one not read too.
    const std::string managerPath = storage::GetXMLPath(treeType, managerName, true);
    const std::string enduserPath = storage::GetXMLPath(treeType, enduserName, false);
    if (place.checkedOut) {
      files->FetchFile(*sharedLocation, managerName, managerPath, managerCategory, std::nullopt, treeType);
    }
    files->FetchFile(*sharedLocation, enduserName, enduserPath, enduserCategory, std::nullopt, treeType);
    place.path = place.checkedOut ? managerPath : enduserPath;
    return place;
  }
  place.path = place.checkedOut ? storage::GetXMLPath(treeType, managerName, true)
                                : storage::GetXMLPath(treeType, enduserName, false);
  return place;
}

void Tree::load(int32_t i_lTreeType, int32_t i_lID, const std::string& i_sUserId) {
  Trapped(kLoad, [&] {
    LockTree(i_lTreeType, i_lID);
    const TreeDocumentPlace place = LocateTreeDocument(i_lTreeType, i_lID, i_sUserId);
    checkedout_ = place.checkedOut;
    treeDOM_ = XmlDoc::Create();
    bool loaded = false;
    try {
      loaded = storage::LoadTreeDocument(place.path, treeDOM_);
    } catch (const Error&) {
      loaded = false;  // missing or unreadable: the same failure as a document that does not parse
    }
    if (!loaded) Raise(err::TreeLoadFailed);

    id_ = i_lID;
    treeType_ = i_lTreeType;
    documentPath_ = place.path;
    templateTopType_ = i_lTreeType == storage::kTemplateTree ? storage::GetTemplateTopType(i_lID, checkedout_) : 0;
  });
}

NodePtr Tree::createNode(int32_t i_lRepType, const std::string& i_sSDesc, const std::string& i_sLDesc,
                         const std::string& i_sVisibilities, const std::string& i_sFAQs,
                         int32_t i_lHyperlinkNodeID) {
  NodePtr node;
  RepositoryPtr repository;
  return Trapped(
      kCreateNode,
      [&] {
        node = CreateNodeObject();
        node->ID = id_;
        node->NodeID = NextNodeID(treeType_, id_);
        node->RepType = i_lRepType;
        repository = CreateRepositoryObject();
        node->RepID = repository->AddRepEntity(i_lRepType, i_sSDesc, i_sLDesc);
        repository.reset();
        node->Visibilities = i_sVisibilities;
        node->FAQs = i_sFAQs;
        node->HyperlinkNodeID = i_lHyperlinkNodeID;
        // Built through the DOM: the texts are stored as they are, whatever
        // characters they hold.
        node->NodeDOM = storage::NewNodeElement(node->NodeID, node->RepID, i_lRepType, i_sVisibilities,
                                                i_lHyperlinkNodeID, i_sFAQs);
        node->NodeDOM.SetChildText("sd", i_sSDesc);
        node->NodeDOM.SetChildText("ld", i_sLDesc);
        node->TreeType = treeType_;
        if (treeType_ == storage::kTemplateTree) node->TemplateTopType = templateTopType_;
        return std::exchange(node, nullptr);
      },
      [&] {
        node.reset();
        repository.reset();
      });
}

NodePtr Tree::createNodeFromRep(int32_t i_lRepType, int32_t i_lRepID, const std::string& i_sVisibilities,
                                const std::string& i_sFAQs, int32_t i_lHyperlinkNodeID) {
  NodePtr node;
  RepositoryPtr repository;
  return Trapped(
      kCreateNodeFromRep,
      [&] {
        node = CreateNodeObject();
        node->ID = id_;
        node->NodeID = NextNodeID(treeType_, id_);
        node->RepType = i_lRepType;
        node->RepID = i_lRepID;
        node->Visibilities = i_sVisibilities;
        node->FAQs = i_sFAQs;
        node->HyperlinkNodeID = i_lHyperlinkNodeID;
        node->NodeDOM =
            storage::NewNodeElement(node->NodeID, i_lRepID, i_lRepType, i_sVisibilities, i_lHyperlinkNodeID, i_sFAQs);
        repository = CreateRepositoryObject();
        StringDict details = repository->getRepEntityDetails(i_lRepType, i_lRepID);
        repository.reset();
        node->NodeDOM.SetChildText("sd", details.Item("NAME"));
        node->NodeDOM.SetChildText("ld", details.Item("DETAIL"));
        node->TreeType = treeType_;
        if (treeType_ == storage::kTemplateTree) node->TemplateTopType = templateTopType_;
        return std::exchange(node, nullptr);
      },
      [&] {
        node.reset();
        repository.reset();
      });
}

NodePtr Tree::getNode(int32_t i_lNodeID) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  NodePtr node;
  return Trapped(
      kGetNode,
      [&] {
        auto [table, key] = storage::GetTreeTableAndKey(treeType_, checkedout_);
        auto formatter = Formatter();
        std::string sql = "Select * from " + table + " where " + key + " = " + formatter->FormatNumber(id_) +
                          " and NODEID = " + formatter->FormatNumber(i_lNodeID);
        formatter.reset();
        connection = GetHelvixConnection();
        recordset = connection->OpenRecordset(sql);
        if (recordset->IsEOF()) Raise(err::NodeNotFound);

        node = CreateNodeObject();
        node->ID = recordset->Field(key).ToInt32();
        node->NodeID = recordset->Field("NODEID").ToInt32();
        node->RepType = recordset->Field("REPTYPE").ToInt32();
        node->RepID = recordset->Field("REPID").ToInt32();
        node->Visibilities = recordset->Field("VISIBILITY").ToText();
        node->FAQs = recordset->Field("FAQS").ToText();
        node->HyperlinkNodeID = recordset->Field("HYPERLINK").ToInt32();
        node->ParentNodeID = recordset->Field("PNODEID").ToInt32();
        node->Depth = recordset->Field("DEPTH").ToInt32();
        node->Sequence = recordset->Field("SEQUENCE").ToInt32();
        node->PreTree = recordset->Field("PRETREE").ToText();

        if (i_lNodeID != 0) {
          // No element for the row leaves the node without one; no error.
          // The path is followed step by step: an XPath of one step per level
          // stops compiling some thousand levels down.
          node->NodeDOM = treeDOM_.ElementAtPath("Node", "NID", node->PreTree + std::to_string(node->NodeID) + ";");
        } else {
          node->NodeDOM = treeDOM_.DocumentElement();
        }
        node->TreeType = treeType_;
        if (treeType_ == storage::kTemplateTree) node->TemplateTopType = templateTopType_;

        CloseRecordset(recordset);
        CloseConnection(connection);
        return std::exchange(node, nullptr);
      },
      [&] {
        node.reset();
        CloseRecordset(recordset);
        CloseConnection(connection);
      });
}

void Tree::save() {
  std::shared_ptr<IFileHandling> files;
  Trapped(
      kSave,
      [&] {
        // An empty document would replace the tree's file with nothing.
        if (treeDOM_.IsNull() || treeDOM_.DocumentElement().IsNull()) {
          Raise(err::ObjectNotSet, {}, "Object variable or With block variable not set: no tree document is loaded");
        }
        const int32_t category = storage::DocumentCategory(treeType_, checkedout_);
        files = FileService();
        std::string fileName = CurrentFileName(files->GetFileNames(id_, {category}), category);
        std::string path = storage::GetXMLPath(treeType_, fileName, checkedout_);
        storage::SaveTreeDocument(path, treeDOM_);
        files->RemoveFile(fileName, id_, category, treeType_);
        files->AddFile(path, id_, category, treeType_);
        files.reset();
      },
      [&] { files.reset(); });
}

// A node handed out by name is described by its properties.
template <>
struct DispatchValue<NodePtr> {
  static constexpr ArgType type = ArgType::Object;
  static nlohmann::json To(const NodePtr& node) { return Describe(node); }
};

const DispatchTable* Tree::Dispatch() const {
  static const DispatchTable table = [] {
    DispatchTable t;
    t.Add(Bind<&Tree::load>("load", {"i_lTreeType", "i_lID", "i_sUserId"}, "Loads the tree as the user sees it"));
    t.Add(Bind<&Tree::createNode>("createNode",
                                  {"i_lRepType", "i_sSDesc", "i_sLDesc", "i_sVisibilities", "i_sFAQs",
                                   "i_lHyperlinkNodeID"},
                                  "A new node with a new repository entity, not yet attached"));
    t.Add(Bind<&Tree::createNodeFromRep>("createNodeFromRep",
                                         {"i_lRepType", "i_lRepID", "i_sVisibilities", "i_sFAQs", "i_lHyperlinkNodeID"},
                                         "A new node showing an existing repository entity, not yet attached"));
    t.Add(Bind<&Tree::getNode>("getNode", {"i_lNodeID"}, "A node of the loaded tree, bound to its row and element"));
    MethodSpec save = Bind<&Tree::save>("save", "Writes the loaded document back");
    save.returnsNothing = false;  // always documented as returning a value (null); callers were told so
    t.Add(std::move(save));
    t.Add(Bind<&Tree::CheckOut>("CheckOut", {"i_lTreeType", "i_lID", "i_sUserId", "o_sOwner"},
                                "Gives the user the tree for editing, or names the holder"));
    t.Add(Bind<static_cast<void (Tree::*)(int32_t, int32_t)>(&Tree::Publish)>(
        "Publish", {"i_lTreeType", "i_lID"}, "Makes the working copy the published copy and ends the check-out"));
    t.Add(Bind<&Tree::Validate>(
        "Validate", {"i_lTreeType", "i_lID", "i_sUserId"},
        "Checks before publishing: findings {severity, rule, node, message} about the copy the user sees"));
    t.Add(Bind<&Tree::DeleteNode>("DeleteNode", {"i_lNodeID"},
                                  "Deletes a node of the loaded working copy with its subtree"));
    t.Add(Bind<&Tree::MoveNode>("MoveNode", {"i_lNodeID", "i_lDirection"}, "Moves a node one place among its siblings"));
    return t;
  }();
  return &table;
}

TreePtr CreateTreeObject() { return CreateInContext<Tree>(progid::Tree); }

void RegisterTreeClass() {
  Registry::Instance().Register(progid::Tree, [] { return std::make_shared<Tree>(); });
}

}  // namespace tsa
