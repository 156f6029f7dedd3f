// Check-out and publishing: moving a tree between its published copy and
// the working copy of the one user who holds it.
#include "model/tree.h"

#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "storage/documents.h"
#include "storage/tree_types.h"
#include "versions/version_store.h"

namespace tsa {

namespace {

constexpr const char* kCheckOut = "HXSvcTroubleshooting.Tree.CheckOut";
constexpr const char* kPublish = "HXSvcTroubleshooting.Tree.Publish";

// A failed insert whose holder is gone by the time it is read (published
// in between, outside a transaction) is tried again this often.
constexpr int kCheckOutAttempts = 5;

}  // namespace

void Tree::CheckOut(int32_t i_lTreeType, int32_t i_lID, const std::string& i_sUserId, std::string& o_sOwner) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  std::shared_ptr<IFileHandling> files;
  Trapped(
      kCheckOut,
      [&] {
        const auto now = ParseNowText(FormatNowText());
        LockTree(i_lTreeType, i_lID);

        auto formatter = CreateInContext<IValueFormatter>(progid::ValueFormatter);
        const std::string id = formatter->FormatNumber(i_lID);
        const std::string treeType = formatter->FormatNumber(i_lTreeType);
        // The record and the read of its holder are one step: of two
        // simultaneous check-outs exactly one inserts, the other reads the
        // winner. DO NOTHING keeps a PostgreSQL transaction usable.
        const std::string insertRecord =
            "Insert into TSCHANGECONTROL (ID, TREETEM, LOGIN, TDATE, COMMENT) Values (" + id + "," + treeType + "," +
            formatter->FormatText(i_sUserId) + "," + FormatSqlTimestamp(now) +
            ",'Checked out') ON CONFLICT (ID, TREETEM) DO NOTHING";
        const std::string readHolder = "Select LOGIN from TSCHANGECONTROL where ID = " + id + " and TREETEM=" + treeType;
        formatter.reset();

        connection = GetHelvixConnection();
        bool inserted = false;
        for (int attempt = 1; !inserted; ++attempt) {
          if (connection->Execute(insertRecord) > 0) {
            inserted = true;
            break;
          }
          recordset = connection->OpenRecordset(readHolder);
          if (!recordset->IsEOF()) {
            // Already checked out, maybe by the caller: nothing else happens.
            o_sOwner = recordset->Field("LOGIN").ToText();
            CloseRecordset(recordset);
            CloseConnection(connection);
            return;
          }
          CloseRecordset(recordset);
          if (attempt == kCheckOutAttempts) {
            Raise(err::InternalError, {},
                  "Internal error: the check-out record of tree " + std::to_string(i_lID) +
                      " could neither be written nor read");
          }
        }
        o_sOwner.clear();

        const storage::TableAndKey working = storage::GetTreeTableAndKey(i_lTreeType, true);
        const storage::TableAndKey published = storage::GetTreeTableAndKey(i_lTreeType, false);
        connection->Execute("Delete from " + working[0] + " where " + working[1] + " = " + id);
        connection->Execute("Insert into " + working[0] + " Select * from " + published[0] + " where " + published[1] +
                            " = " + id);
        CloseConnection(connection);

        const int32_t enduserCategory = storage::DocumentCategory(i_lTreeType, false);
        files = CreateInContext<IFileHandling>(progid::FileHandling);
        std::string enduserName = PublishedFileName(files->GetFileNames(i_lID, {enduserCategory}), i_lTreeType, i_lID);
        std::string managerName = storage::IncrementFileVersion(enduserName);
        std::string enduserPath = storage::GetXMLPath(i_lTreeType, enduserName, false);
        std::string managerPath = storage::GetXMLPath(i_lTreeType, managerName, true);

        auto store = DocumentStore();
        if (!store->Exists(enduserPath)) {
          if (auto sharedLocation = GetWebFarmLocation()) {
            files->FetchFile(*sharedLocation, enduserName, enduserPath, enduserCategory, i_lID, i_lTreeType);
          }
        }
        store->Copy(enduserPath, managerPath);
        files->AddFile(managerPath, i_lID, storage::DocumentCategory(i_lTreeType, true), i_lTreeType);
        files.reset();
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
        files.reset();
      });
}

void Tree::Publish(int32_t i_lTreeType, int32_t i_lID) { Publish(i_lTreeType, i_lID, versions::PublicationNote{}); }

void Tree::Publish(int32_t i_lTreeType, int32_t i_lID, const versions::PublicationNote& note) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  std::shared_ptr<IFileHandling> files;
  Trapped(
      kPublish,
      [&] {
        LockTree(i_lTreeType, i_lID);
        const storage::TableAndKey published = storage::GetTreeTableAndKey(i_lTreeType, false);
        const storage::TableAndKey working = storage::GetTreeTableAndKey(i_lTreeType, true);

        auto formatter = CreateInContext<IValueFormatter>(progid::ValueFormatter);
        const std::string id = formatter->FormatNumber(i_lID);
        const std::string statements[] = {
            "Delete from " + published[0] + " where " + published[1] + " = " + id,
            "Insert into " + published[0] + " Select * from " + working[0] + " where " + working[1] + " = " + id,
            "Delete from TSCHANGECONTROL where ID = " + id + " and TREETEM = " + formatter->FormatNumber(i_lTreeType),
            "Delete from " + working[0] + " where " + working[1] + " = " + id,
            // The product's information takes the visibility of the newly
            // published root.
            "UPDATE DIAGNOSTICSINFO SET VISIBILITY = (SELECT VISIBILITY FROM DIAGNOSTICS WHERE PRODUCTID =" + id +
                " and NODEID = 0) WHERE PRODUCTID = " + id,
        };
        formatter.reset();

        connection = GetHelvixConnection();
        // Without working rows the first two statements would leave the tree
        // with no published rows at all.
        recordset = connection->OpenRecordset(
            connection->dialect().SelectTop1("NODEID FROM " + working[0] + " WHERE " + working[1] + " = " + id));
        const bool hasWorkingCopy = !recordset->IsEOF();
        CloseRecordset(recordset);
        if (!hasWorkingCopy) {
          Raise(err::NothingToPublish, {},
                "Tree " + std::to_string(i_lID) + " of tree type " + std::to_string(i_lTreeType) +
                    " cannot be published, nothing to publish: the tree has no working copy");
        }
        CloseConnection(connection);
        versions::KeepUnversionedCopy(i_lTreeType, i_lID);
        connection = GetHelvixConnection();
        for (const std::string& statement : statements) connection->Execute(statement);
        CloseConnection(connection);

        std::optional<std::string> sharedLocation = GetWebFarmLocation();
        const int32_t enduserCategory = storage::DocumentCategory(i_lTreeType, false);
        const int32_t managerCategory = storage::DocumentCategory(i_lTreeType, true);
        files = CreateInContext<IFileHandling>(progid::FileHandling);
        FileNameDict names = files->GetFileNames(i_lID, {enduserCategory, managerCategory});
        if (names.Count() == 0) {
          files.reset();
          return;
        }
        std::string enduserName = CurrentFileName(names, enduserCategory);
        std::string managerName = CurrentFileName(names, managerCategory);
        std::string managerPath = storage::GetXMLPath(i_lTreeType, managerName, true);
        std::string enduserPath = storage::GetXMLPath(i_lTreeType, enduserName, false);

        auto store = DocumentStore();
        if (sharedLocation && !store->Exists(managerPath)) {
          files->FetchFile(*sharedLocation, managerName, managerPath, managerCategory, i_lID, i_lTreeType);
        }
        if (sharedLocation && !store->Exists(enduserPath)) {
          files->FetchFile(*sharedLocation, enduserName, enduserPath, enduserCategory, i_lID, i_lTreeType);
        }
        versions::RecordPublication(i_lTreeType, i_lID, store->Load(managerPath), note);
        // The manager document, under its own name, becomes the end-user
        // document; the old one goes (unless it is the very file just moved).
        std::string publishedPath = storage::GetXMLPath(i_lTreeType, managerName, false);
        store->Move(managerPath, publishedPath);
        if (enduserPath != publishedPath) store->Delete(enduserPath);

        files->RemoveFile(managerName, i_lID, managerCategory, i_lTreeType);
        files->RemoveFile(enduserName, i_lID, enduserCategory, i_lTreeType);
        files->AddFile(publishedPath, i_lID, enduserCategory, i_lTreeType);
        files.reset();
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
        files.reset();
      });
}

}  // namespace tsa
