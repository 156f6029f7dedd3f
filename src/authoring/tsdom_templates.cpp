// Templates: their information rows (name, comment, product category) and
// the grafting of a template's top-level nodes below a node of a tree.
//
// A template is born with CreateNewTemplateInfo, which gives it its
// identifier; CreateEmptyTree then makes its tree. UpdateTemplateInfo
// changes the row and shows the new name and comment in the root of the
// template's current documents; deleteTemplateInfo removes the row and,
// through deleteTree, the tree.
#include <charconv>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "authoring/tsdom.h"
#include "authoring/validation.h"
#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "model/node.h"
#include "model/tree.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/documents.h"
#include "storage/tree_lookups.h"
#include "storage/tree_types.h"
#include "storage/xml.h"

namespace tsa {

namespace {

constexpr const char* kCreateNewTemplateInfo = "HXSvcTroubleshooting.TSDOM.CreateNewTemplateInfo";
constexpr const char* kUpdateTemplateInfo = "HXSvcTroubleshooting.TSDOM.UpdateTemplateInfo";
constexpr const char* kDeleteTemplateInfo = "HXSvcTroubleShooting.TSDOM.deleteTemplateInfo";
constexpr const char* kAddTemplateToNode = "HXSvcTroubleshooting.TSDOM.AddTemplateToNode";

std::shared_ptr<IValueFormatter> Formatter() { return CreateInContext<IValueFormatter>(progid::ValueFormatter); }
std::shared_ptr<IFileHandling> FileService() { return CreateInContext<IFileHandling>(progid::FileHandling); }

// The node identifier an element carries in its NID attribute; error 13
// when it is missing or not a number, 6 when it does not fit in 32 bits.
int32_t ElementNodeID(const XmlElement& element) {
  const std::string text = element.GetAttribute("NID").value_or("");
  int32_t id = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec == std::errc::result_out_of_range) {
    Raise(err::Overflow, {}, "Overflow: the node identifier '" + text + "' does not fit in 32 bits");
  }
  if (ec != std::errc() || end != text.data() + text.size()) {
    Raise(err::TypeMismatch, {}, "Type mismatch: the node identifier '" + text + "' is not a number");
  }
  return id;
}

// Shows a template's name and comment in the root of one of its current
// documents and re-registers the document, so that a web farm's shared copy
// follows. A document that is not there or does not parse is left alone.
void ShowTemplateInfoInDocument(IFileHandling& files, int32_t templateId, const std::string& fileName,
                                int32_t category, bool manager, const std::optional<std::string>& sharedLocation,
                                const std::string& name, const std::string& comment) {
  const std::string path = storage::GetXMLPath(storage::kTemplateTree, fileName, manager);
  if (sharedLocation) {
    files.FetchFile(*sharedLocation, fileName, path, category, templateId, storage::kTemplateTree);
  }
  auto store = DocumentStore();
  if (!store->Exists(path)) return;
  XmlDoc document = XmlDoc::Create();
  std::string markup;
  try {
    markup = store->Load(path);
  } catch (const Error&) {
    return;  // unreadable: skipped like a missing document
  }
  if (!document.LoadXml(markup)) return;

  // Set through the DOM: any characters of the texts are stored safely.
  XmlElement root = document.DocumentElement();
  root.SetChildText("sd", name);
  root.SetChildText("ld", comment);
  store->Save(path, document.Xml());
  files.RemoveFile(fileName, templateId, category, storage::kTemplateTree);
  files.AddFile(path, templateId, category, storage::kTemplateTree);
}

}  // namespace

int32_t TSDOM::CreateNewTemplateInfo(std::string i_sName, std::string i_sComment, int32_t i_lProductCategory) {
  // No vote: the outcome is left to the context's rule.
  return RunTransactional([&] {
    ConnectionPtr connection;
    RecordsetPtr recordset;
    return Trapped(
        kCreateNewTemplateInfo,
        [&] {
          ValidateDocumentText("i_sName", i_sName);
          ValidateDocumentText("i_sComment", i_sComment);
          int32_t result = 0;
          connection = GetHelvixConnection();
          recordset = connection->OpenRecordset("Select * from TEMPLATEINFO where (1=0)", db::CursorType::Keyset,
                                                db::LockType::Optimistic);
          recordset->AddNew();
          // Category 0 leaves the column to the table's default.
          if (i_lProductCategory != 0) recordset->SetField("PRODUCTCATEGORY", i_lProductCategory);
          recordset->SetField("NAME", i_sName);
          recordset->SetField("COMMENT", i_sComment);
          recordset->Update();
          result = recordset->Field("TEMPLATEID").ToInt32();
          CloseRecordset(recordset);
          CloseConnection(connection);
          return result;
        },
        [&] {
          CloseRecordset(recordset);
          CloseConnection(connection);
        });
  });
}

void TSDOM::UpdateTemplateInfo(int32_t i_lTemplateID, std::string i_sName, std::string i_sComment,
                               int32_t i_lProductCategory) {
  RunTransactional([&] {
    ConnectionPtr connection;
    std::shared_ptr<IFileHandling> files;
    Trapped(
        kUpdateTemplateInfo,
        [&] {
          ValidateDocumentText("i_sName", i_sName);
          ValidateDocumentText("i_sComment", i_sComment);
          Tree::LockTree(storage::kTemplateTree, i_lTemplateID);

          auto formatter = Formatter();
          const std::string update = "UPDATE TEMPLATEINFO SET NAME = " + formatter->FormatText(i_sName) +
                                     ",COMMENT = " + formatter->FormatText(i_sComment) +
                                     ",PRODUCTCATEGORY = " + formatter->FormatNumber(i_lProductCategory) +
                                     " WHERE TEMPLATEID = " + formatter->FormatNumber(i_lTemplateID);
          formatter.reset();
          connection = GetHelvixConnection();
          const int64_t changed = connection->Execute(update);
          CloseConnection(connection);
          // Nothing to update is not a success: the template is unknown.
          if (changed == 0) {
            Raise(err::TemplateInfoNotFound, {},
                  "There is no template " + std::to_string(i_lTemplateID) + " to update");
          }

          // The name and comment shown by the root of the template's current
          // documents: the end-user document and, while the template is
          // checked out, the manager document.
          const int32_t enduserCategory = storage::DocumentCategory(storage::kTemplateTree, false);
          const int32_t managerCategory = storage::DocumentCategory(storage::kTemplateTree, true);
          files = FileService();
          const FileNameDict names = files->GetFileNames(i_lTemplateID, {enduserCategory, managerCategory});
          const std::optional<std::string> sharedLocation = GetWebFarmLocation();
          for (const auto& [category, fileNames] : names) {
            if (category != enduserCategory && category != managerCategory) continue;
            if (fileNames.empty() || fileNames.front().empty()) continue;
            ShowTemplateInfoInDocument(*files, i_lTemplateID, fileNames.front(), category,
                                       category == managerCategory, sharedLocation, i_sName, i_sComment);
          }
          files.reset();
          CompleteTransaction();
        },
        [&] {
          AbortTransaction();
          files.reset();
          CloseConnection(connection);
        });
  });
}

void TSDOM::deleteTemplateInfo(int32_t& i_lID, std::string& i_sUserId) {
  RunTransactional([&] {
    ConnectionPtr connection;
    Trapped(
        kDeleteTemplateInfo,
        [&] {
          ValidateUser("i_sUserId", i_sUserId);

          connection = GetHelvixConnection();
          connection->Execute("Delete from TEMPLATEINFO where TEMPLATEID=" + std::to_string(FormatSqlNumber(i_lID)));
          CloseConnection(connection);

          auto sibling = CreateInContext<INonMtsTSDOM>(progid::NonMtsTSDOM);
          const bool treeExists = sibling->TreeExists(i_lID, storage::kTemplateTree);
          sibling.reset();
          if (treeExists) {
            try {
              CreateTSDOMObject()->deleteTree(i_lID, storage::kTemplateTree, i_sUserId);
            } catch (const Error& e) {
              // Another user holds the template: its tree stays, and the
              // vote below still lets the information row go.
              if (e.number() != err::CheckedOutByOther) throw;
            }
          }
          CompleteTransaction();
        },
        [&] {
          AbortTransaction();
          CloseConnection(connection);
        });
  });
}

void TSDOM::AddTemplateToNode(int32_t i_lTemplateID, int32_t i_lTreeType, int32_t i_lID, int32_t i_lNodeID,
                              std::string i_sVisibToAdd, std::string i_sUserId, int32_t& o_lInvalidityReason) {
  (void)o_lInvalidityReason;  // handed back to the caller as it came
  // No vote: the outcome is left to the context's rule.
  RunTransactional([&] {
    TreePtr templateTree;
    TreePtr destination;
    NodePtr templateRoot;
    NodePtr destinationNode;
    NodePtr templateNode;
    std::vector<XmlElement> topLevel;
    auto release = [&] {
      topLevel.clear();
      templateNode.reset();
      destinationNode.reset();
      templateRoot.reset();
      destination.reset();
      templateTree.reset();
    };
    Trapped(
        kAddTemplateToNode,
        [&] {
          ValidateTreeType("i_lTreeType", i_lTreeType);
          ValidateVisibilities("i_sVisibToAdd", i_sVisibToAdd);
          ValidateUser("i_sUserId", i_sUserId);
          // Each paste reads the template's rows afresh; grafted into
          // itself, a later top-level node would also pick up the rows just
          // pasted below it, without their elements.
          if (i_lTreeType == storage::kTemplateTree && i_lID == i_lTemplateID) {
            RaiseInvalidArgument("i_lTemplateID", "a template cannot be added to one of its own nodes");
          }

          templateTree = CreateTreeObject();
          destination = CreateTreeObject();
          destination->load(i_lTreeType, i_lID, i_sUserId);
          if (!destination->Checkedout()) {
            release();
            return;
          }

          templateTree->load(storage::kTemplateTree, i_lTemplateID, i_sUserId);
          templateRoot = templateTree->getNode(0);
          destinationNode = destination->getNode(i_lNodeID);

          topLevel = templateRoot->NodeDOM.SelectNodes("./Node");
          for (const XmlElement& element : topLevel) {
            templateNode = templateTree->getNode(ElementNodeID(element));
            destinationNode->Paste(*templateNode, i_sVisibToAdd, i_sUserId);
            templateNode.reset();
          }

          destination->save();
          release();
        },
        release);
  });
}

}  // namespace tsa
