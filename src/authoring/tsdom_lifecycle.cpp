// Tree lifecycle: creating a tree with its root, checking it out,
// publishing it, discarding a working copy and deleting a whole tree.
//
// A tree is born published (root row, end-user document version 0, and for
// a product its DIAGNOSTICSINFO row). Check-out adds the working copy and
// the holder's record, publishing turns the working copy into the published
// copy, undo throws the working copy away, and deletion removes every row,
// record and document of the tree. Each member is one unit of work that
// votes complete on success and abort in its handler.
#include <memory>
#include <string>

#include "authoring/tsdom.h"
#include "authoring/validation.h"
#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "model/tree.h"
#include "model/tree_validation.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/documents.h"
#include "storage/tree_lookups.h"
#include "storage/tree_types.h"
#include "storage/visibility.h"
#include "storage/xml.h"
#include "versions/version_errors.h"
#include "versions/version_store.h"

namespace tsa {

namespace {

constexpr const char* kCreateEmptyTree = "HXSvcTroubleshooting.TSDOM.CreateEmptyTree";
constexpr const char* kCheckOut = "HXSvcTroubleshooting.TSDOM.CheckOut";
constexpr const char* kPublish = "HXSvcTroubleshooting.TSDOM.Publish";
constexpr const char* kPublishWithComment = "HXSvcTroubleshooting.TSDOM.PublishWithComment";
constexpr const char* kDeleteTree = "HXSvcTroubleShooting.TSDOM.deletetree";
constexpr const char* kUndoEditTree = "HXSvcTroubleshooting.Tree.UndoEdittree";

constexpr const char* kCheckedOutByOther = "The tree or template is checked out by another user";

std::shared_ptr<IValueFormatter> Formatter() { return CreateInContext<IValueFormatter>(progid::ValueFormatter); }
std::shared_ptr<IFileHandling> FileService() { return CreateInContext<IFileHandling>(progid::FileHandling); }

std::string TreeName(int32_t treeType, int32_t id) {
  return (treeType == storage::kProductTree ? "the product tree " : "the template ") + std::to_string(id);
}

// Whether anything of the tree is there already: rows in either copy, its
// product information, a check-out record or a registered document.
bool TreeExists(int32_t treeType, int32_t id) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  std::shared_ptr<IFileHandling> files;
  try {
    const std::string key = std::to_string(FormatSqlNumber(id));
    std::vector<std::string> probes;
    for (bool workingCopy : {false, true}) {
      const storage::TableAndKey table = storage::GetTreeTableAndKey(treeType, workingCopy);
      probes.push_back("NODEID FROM " + table[0] + " WHERE " + table[1] + " = " + key);
    }
    if (treeType == storage::kProductTree) probes.push_back("PRODUCTID FROM DIAGNOSTICSINFO WHERE PRODUCTID = " + key);
    probes.push_back("ID FROM TSCHANGECONTROL WHERE ID = " + key + " AND TREETEM = " +
                     std::to_string(FormatSqlNumber(treeType)));

    bool found = false;
    connection = GetHelvixConnection();
    for (const std::string& probe : probes) {
      recordset = connection->OpenRecordset(connection->dialect().SelectTop1(probe));
      found = !recordset->IsEOF();
      CloseRecordset(recordset);
      if (found) break;
    }
    CloseConnection(connection);
    if (found) return true;

    files = FileService();
    const bool registered = files
                                ->GetFileNames(id, {storage::DocumentCategory(treeType, false),
                                                    storage::DocumentCategory(treeType, true)})
                                .Count() > 0;
    files.reset();
    return registered;
  } catch (...) {
    CloseRecordset(recordset);
    CloseConnection(connection);
    throw;
  }
}

}  // namespace

void TSDOM::CreateEmptyTree(int32_t i_lTreeType, int32_t i_lID) {
  RunTransactional([&] {
    ConnectionPtr connection;
    std::shared_ptr<IFileHandling> files;
    Trapped(
        kCreateEmptyTree,
        [&] {
          ValidateTreeType("i_lTreeType", i_lTreeType);
          Tree::LockTree(i_lTreeType, i_lID);
          // A second root row, a second set of documents: refused before
          // anything is written.
          if (TreeExists(i_lTreeType, i_lID)) {
            Raise(err::TreeAlreadyExists, {},
                  "Cannot create " + TreeName(i_lTreeType, i_lID) +
                      ": it already exists (rows, documents or a check-out record)");
          }

          // The root's content: a product's from the catalog, a template's
          // from its information row.
          std::string visibilities;
          std::string name;
          std::string comment;
          std::string categories;
          if (i_lTreeType == storage::kProductTree) {
            visibilities = storage::GetVisibilitiesofProduct(i_lID);
            name = storage::GetProductDesc(i_lID);
            categories = storage::GetProductCategoryList(i_lID);
          } else {
            visibilities = ";";
            auto info = CreateInContext<INonMtsTSDOM>(progid::NonMtsTSDOM);
            StringDict details = info->getTemplateInfo(i_lID);
            name = details.Item("Name");
            comment = details.Item("Comment");
          }

          const std::string id = std::to_string(FormatSqlNumber(i_lID));
          const std::string table = storage::GetTreeTableAndKey(i_lTreeType, false)[0];
          connection = GetHelvixConnection();
          connection->Execute("Insert into " + table + " values (" + id + ", 0, 0, 0, 0, 0, -1, ';'," +
                              FormatSqlText(visibilities) + "," + "';'," + "-1" + ")");
          if (i_lTreeType == storage::kProductTree) {
            connection->Execute("INSERT INTO DIAGNOSTICSINFO VALUES (" + id + "," + FormatSqlText(categories) + "," +
                                FormatSqlText(visibilities) + "," + "'" + "'," + "'" + "')");
          }
          CloseConnection(connection);

          // The end-user document, version 0: the root element alone. The
          // texts are set through the DOM, so any characters are safe.
          XmlElement root = storage::NewRootElement(i_lID, visibilities);
          root.SetChildText("sd", name);
          root.SetChildText("ld", comment);
          const std::string path = storage::GetXMLPath(i_lTreeType, std::to_string(i_lID) + "_0.xml", false);
          DocumentStore()->Save(path, root.OwnerDocument().Xml());

          files = FileService();
          files->AddFile(path, i_lID, storage::DocumentCategory(i_lTreeType, false), i_lTreeType);
          files.reset();
          CompleteTransaction();
        },
        [&] {
          files.reset();
          CloseConnection(connection);
          AbortTransaction();
        });
  });
}

void TSDOM::CheckOut(int32_t i_lTreeType, int32_t i_lID, std::string i_sUserId, std::string& o_sOwner) {
  RunTransactional([&] {
    TreePtr tree;
    Trapped(
        kCheckOut,
        [&] {
          ValidateTreeType("i_lTreeType", i_lTreeType);
          ValidateUser("i_sUserId", i_sUserId);
          tree = CreateTreeObject();
          tree->CheckOut(i_lTreeType, i_lID, i_sUserId, o_sOwner);
          tree.reset();
          CompleteTransaction();
        },
        [&] {
          AbortTransaction();
          tree.reset();
        });
  });
}

void TSDOM::Publish(int32_t i_lTreeType, int32_t i_lID) {
  RunTransactional([&] {
    TreePtr tree;
    Trapped(
        kPublish,
        [&] {
          ValidateTreeType("i_lTreeType", i_lTreeType);
          tree = CreateTreeObject();
          tree->Publish(i_lTreeType, i_lID);
          tree.reset();
          CompleteTransaction();
        },
        [&] {
          AbortTransaction();
          tree.reset();
        });
  });
}

void TSDOM::PublishWithComment(int32_t i_lTreeType, int32_t i_lID, std::string i_sComment, bool i_bForce) {
  RunTransactional([&] {
    TreePtr tree;
    Trapped(
        kPublishWithComment,
        [&] {
          ValidateTreeType("i_lTreeType", i_lTreeType);
          ValidateDocumentText("i_sComment", i_sComment);
          Tree::LockTree(i_lTreeType, i_lID);
          const std::vector<Finding> findings = ValidateTreeCopy(i_lTreeType, i_lID, true);
          const bool errors = HasErrors(findings);
          if (errors && !i_bForce) {
            std::string rules;
            for (const Finding& f : findings) {
              if (f.severity == "error" && rules.find(f.rule) == std::string::npos) rules += (rules.empty() ? "" : ", ") + f.rule;
            }
            Raise(err::PublishRefused, {},
                  "Not published: the working copy has findings of severity error (" + rules +
                      "); see Tree.Validate, correct them or publish with i_bForce");
          }
          tree = CreateTreeObject();
          tree->Publish(i_lTreeType, i_lID, versions::PublicationNote{i_sComment, errors});
          tree.reset();
          CompleteTransaction();
        },
        [&] {
          AbortTransaction();
          tree.reset();
        });
  });
}

void TSDOM::UndoEditTree(int32_t i_lPrID, int32_t i_lTreeType, std::string i_sUserId) {
  RunTransactional([&] {
    ConnectionPtr connection;
    RecordsetPtr recordset;
    std::shared_ptr<IFileHandling> files;
    Trapped(
        kUndoEditTree,
        [&] {
          ValidateTreeType("i_lTreeType", i_lTreeType);
          ValidateUser("i_sUserId", i_sUserId);
          Tree::LockTree(i_lTreeType, i_lPrID);

          auto formatter = Formatter();
          const std::string id = formatter->FormatNumber(i_lPrID);
          const std::string treeType = formatter->FormatNumber(i_lTreeType);
          const std::string user = formatter->FormatText(i_sUserId);
          const std::string otherHolder = "Select ID from TSCHANGECONTROL where ID = " + id + " and TREETEM=" +
                                          treeType + " and LOGIN not in (" + formatter->FormatValue(i_sUserId) + ")";
          formatter.reset();

          connection = GetHelvixConnection();
          // The working copy belongs to its holder: another user's undo must
          // not throw it away.
          recordset = connection->OpenRecordset(otherHolder);
          const bool heldByOther = !recordset->IsEOF();
          CloseRecordset(recordset);
          if (heldByOther) RaiseWithEmptySource(err::CheckedOutByOther, kCheckedOutByOther);

          connection->Execute("Delete from TSCHANGECONTROL where ID = " + id + " and LOGIN=" + user +
                              " and TREETEM=" + treeType);
          const std::string working = storage::GetTreeTableAndKey(i_lTreeType, true)[0];
          const std::string key = storage::GetTreeTableAndKey(i_lTreeType, true)[1];
          connection->Execute("Delete from " + working + " where " + key + "=" + id);
          CloseConnection(connection);

          const int32_t category = storage::DocumentCategory(i_lTreeType, true);
          files = FileService();
          const FileNameDict names = files->GetFileNames(i_lPrID, {category});
          // Without a manager document there is no working copy to discard.
          const auto* managerItem = names.Find(category);
          if (!managerItem || managerItem->empty()) Raise(err::NotCheckedOut);
          const std::string managerName = CurrentFileName(names, category);
          const std::string managerPath = storage::GetXMLPath(i_lTreeType, managerName, true);
          auto store = DocumentStore();
          if (store->Exists(managerPath)) store->Delete(managerPath);
          files->RemoveFile(managerName, i_lPrID, category, i_lTreeType);
          files.reset();
          CompleteTransaction();
        },
        [&] {
          AbortTransaction();
          files.reset();
          CloseRecordset(recordset);
          CloseConnection(connection);
        });
  });
}

void TSDOM::deleteTree(int32_t i_lPrID, int32_t i_lTreeType, std::string i_sUserId) {
  RunTransactional([&] {
    ConnectionPtr connection;
    RecordsetPtr recordset;
    std::shared_ptr<IFileHandling> files;
    try {
      ValidateTreeType("i_lTreeType", i_lTreeType);
      ValidateUser("i_sUserId", i_sUserId);
      Tree::LockTree(i_lTreeType, i_lPrID);

      auto formatter = Formatter();
      const std::string id = formatter->FormatNumber(i_lPrID);
      const std::string treeType = formatter->FormatNumber(i_lTreeType);
      const std::string otherHolder = "Select ID from TSCHANGECONTROL where TREETEM=" + treeType + " and ID=" + id +
                                      " and LOGIN not in (" + formatter->FormatValue(i_sUserId) + ")";
      formatter.reset();

      connection = GetHelvixConnection();
      recordset = connection->OpenRecordset(otherHolder);
      if (!recordset->IsEOF()) RaiseWithEmptySource(err::CheckedOutByOther, kCheckedOutByOther);
      CloseRecordset(recordset);

      const storage::TableAndKey working = storage::GetTreeTableAndKey(i_lTreeType, true);
      const storage::TableAndKey published = storage::GetTreeTableAndKey(i_lTreeType, false);
      connection->Execute("Delete from TSCHANGECONTROL where ID=" + id + " and TREETEM=" + treeType);
      connection->Execute("Delete from " + working[0] + " where " + working[1] + "=" + id);
      connection->Execute("Delete from " + published[0] + " where " + published[1] + "=" + id);
      if (i_lTreeType == storage::kProductTree) {
        connection->Execute("DELETE FROM DIAGNOSTICSINFO WHERE PRODUCTID =" + id);
      }
      CloseConnection(connection);

      const int32_t enduserCategory = storage::DocumentCategory(i_lTreeType, false);
      const int32_t managerCategory = storage::DocumentCategory(i_lTreeType, true);
      files = FileService();
      FileNameDict names = files->GetFileNames(i_lPrID, {enduserCategory, managerCategory});
      const std::string enduserName = CurrentFileName(names, enduserCategory);
      std::string managerName;
      if (names.Count() > 1) managerName = CurrentFileName(names, managerCategory);
      files->RemoveFile(enduserName, i_lPrID, enduserCategory, i_lTreeType);
      if (!managerName.empty()) files->RemoveFile(managerName, i_lPrID, managerCategory, i_lTreeType);

      auto store = DocumentStore();
      // Without a manager name the path would be the folder itself.
      if (!managerName.empty()) {
        const std::string managerPath = storage::GetXMLPath(i_lTreeType, managerName, true);
        if (store->Exists(managerPath)) store->Delete(managerPath);
      }
      const std::string enduserPath = storage::GetXMLPath(i_lTreeType, enduserName, false);
      if (store->Exists(enduserPath)) store->Delete(enduserPath);

      files->DeleteFiles(i_lPrID, {enduserCategory, managerCategory});
      files.reset();
      versions::ForgetVersions(i_lTreeType, i_lPrID);
      CompleteTransaction();
    } catch (...) {
      AbortTransaction();
      CloseRecordset(recordset);
      CloseConnection(connection);
      files.reset();
      // Another user's check-out is not a fault of this method: the caller
      // gets the refusal as it was raised, with its own description.
      if (CurrentError().number == err::CheckedOutByOther) throw;
      ReportError(kDeleteTree);
      throw;
    }
  });
}

}  // namespace tsa
