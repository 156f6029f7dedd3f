// Tree copy: a new product tree or template made from an existing one.
//
// The source is read as the calling user sees it (the working copy and the
// manager document when the user holds it checked out, else the published
// copy and the end-user document). The destination is born published and
// empty through CreateEmptyTree, then receives the whole content as its
// working copy (rows and manager document, version 1), and the caller gets
// its check-out. Into a product tree every node's visibility list moves from
// the source root's list to the product's own: the entries the product lacks
// leave, the entries it adds are appended, in rows and document alike.
//
// Two handlers: the first, up to the nested CreateEmptyTree, reports without
// voting (nothing of this member's own is written yet); the second, around
// the rows and the document, votes abort and reports "DB operation failed.".
#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "authoring/tsdom.h"
#include "authoring/validation.h"
#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "model/tree.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "repository/propagation.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/documents.h"
#include "storage/tree_lookups.h"
#include "storage/tree_types.h"
#include "storage/visibility.h"
#include "storage/xml.h"

namespace tsa {

namespace {

constexpr const char* kCreateTreeFromTree = "HXSvcTroubleshootin.TSDOM.createTreeFromTree";
constexpr const char* kSourceNotLoadable =
    "The source XML could not be loaded.The create operation could not be completed.";
constexpr const char* kDbOperationFailed = "DB operation failed.";

std::shared_ptr<IValueFormatter> Formatter() { return CreateInContext<IValueFormatter>(progid::ValueFormatter); }
std::shared_ptr<IFileHandling> FileService() { return CreateInContext<IFileHandling>(progid::FileHandling); }

// Serialises this call with every other one that loads or changes either
// tree, until the transaction ends. The two keys are always taken in the
// same order, so two copies in opposite directions cannot wait on each other.
void LockTrees(std::pair<int32_t, int32_t> first, std::pair<int32_t, int32_t> second) {
  ObjectContext* context = GetObjectContext();
  if (!context) return;
  if (second < first) std::swap(first, second);
  const std::string uri = CurrentSettings().HelvixUri();
  db::LockKey(*context, uri, first.first, first.second);
  if (second != first) db::LockKey(*context, uri, second.first, second.second);
}

// A delta item that adds or removes nothing: "" or ";".
bool NoEntries(const std::string& list) { return list.empty() || list == ";"; }

// The visibility rewrite from the source root's list to the destination
// product's list: what to take out, what to append, and the column
// expression that does both in the copy statement.
struct VisibilityRewrite {
  std::string add;
  std::string remove;
  std::string column = "VISIBILITY";
};

VisibilityRewrite RewriteFor(const std::string& sourceVisibilities, int32_t destTreeType, int32_t destId) {
  VisibilityRewrite rewrite;
  if (destTreeType != storage::kProductTree) return rewrite;  // a template keeps the lists as they are
  const std::string destVisibilities = storage::GetVisibilitiesofProduct(destId);
  if (sourceVisibilities.empty() || destVisibilities.empty()) return rewrite;

  StringDict delta = storage::getDeltaVisibility(sourceVisibilities, destVisibilities);
  if (!NoEntries(delta.Item("Add"))) rewrite.add = delta.Item("Add");
  if (!NoEntries(delta.Item("Remove"))) rewrite.remove = delta.Item("Remove");
  if (!rewrite.remove.empty()) rewrite.column = storage::GetRemoveVisibilitySQL(rewrite.remove);
  if (!rewrite.add.empty()) {
    // The addition term appends entries after the list's closing ";". A
    // list stored as "" or as blanks has none: it is taken as ";", as the
    // document's rewrite takes it, so that the row does not end up as
    // "1;3;" or " 1;3;".
    rewrite.column = "(CASE WHEN TRIM(VISIBILITY) = '' THEN ';' ELSE " + rewrite.column + " END)" +
                     storage::GetAddVisibilitySQL(rewrite.add);
  }
  return rewrite;
}

}  // namespace

void TSDOM::createTreeFromTree(int32_t i_lSourceTreeType, int32_t i_lSourceID, int32_t i_lDestTreeType,
                               int32_t i_lDestID, std::string i_sUserId) {
  RunTransactional([&] {
    ConnectionPtr connection;
    std::shared_ptr<IFileHandling> files;
    XmlDoc document;
    VisibilityRewrite rewrite;
    std::string copyStatement;
    std::string checkOutStatement;
    std::string destPath;

    // Handler 1: everything up to the destination's empty tree. Nothing of
    // this member is written here; it reports and leaves the vote alone
    // (CreateEmptyTree votes on its own).
    try {
      ValidateTreeType("i_lSourceTreeType", i_lSourceTreeType);
      ValidateTreeType("i_lDestTreeType", i_lDestTreeType);
      ValidateUser("i_sUserId", i_sUserId);
      LockTrees({i_lSourceTreeType, i_lSourceID}, {i_lDestTreeType, i_lDestID});

      const std::string now = FormatNowText();
      const bool held = IsCheckedOut(i_lSourceTreeType, i_lSourceID, i_sUserId);
      const storage::TableAndKey source = storage::GetTreeTableAndKey(i_lSourceTreeType, held);
      const storage::TableAndKey dest = storage::GetTreeTableAndKey(i_lDestTreeType, true);

      const std::string sourceVisibilities = storage::GetNOdeVisibilitiesFromDB(source, i_lSourceID, 0);
      rewrite = RewriteFor(sourceVisibilities, i_lDestTreeType, i_lDestID);

      auto formatter = Formatter();
      // Every node row of the source copy under the destination identifier,
      // its visibility rewritten and its hyperlink cleared.
      copyStatement = "Insert into " + dest[0] + " Select " + std::to_string(i_lDestID) +
                      ", NODEID, REPTYPE, REPID, DEPTH," + " SEQUENCE, PNODEID, PRETREE," + rewrite.column + ",FAQS," +
                      "-1" + " from " + source[0] + " where " + source[1] + " = " +
                      formatter->FormatNumber(i_lSourceID);
      checkOutStatement = "Insert into TSCHANGECONTROL " + std::string("(ID,TREETEM,LOGIN,TDATE,COMMENT) values") +
                          "(" + formatter->FormatNumber(i_lDestID) + "," + std::to_string(i_lDestTreeType) + "," +
                          formatter->FormatText(i_sUserId) + "," + FormatSqlTimestamp(ParseNowText(now)) + ",'')";
      formatter.reset();

      // The source document the user sees.
      const int32_t sourceCategory = storage::DocumentCategory(i_lSourceTreeType, held);
      files = FileService();
      const std::string sourceName =
          CurrentFileName(files->GetFileNames(i_lSourceID, {sourceCategory}), sourceCategory);
      const std::string sourcePath = storage::GetXMLPath(i_lSourceTreeType, sourceName, held);
      destPath = storage::GetXMLPath(i_lDestTreeType, std::to_string(i_lDestID) + "_1.xml", true);
      // In a web farm the local copy may be older than the shared one; the
      // copy starts from the latest, as a load of the tree would.
      if (std::optional<std::string> shared = GetWebFarmLocation()) {
        files->FetchFile(*shared, sourceName, sourcePath, sourceCategory, std::nullopt, i_lSourceTreeType);
      }
      files.reset();

      document = XmlDoc::Create();
      bool loaded = false;
      try {
        loaded = document.LoadXml(DocumentStore()->Load(sourcePath));
      } catch (const Error&) {
        loaded = false;  // missing or unreadable: the same failure as markup that does not parse
      }
      if (!loaded) RaiseWithEmptySource(err::SourceXmlNotLoadable, kSourceNotLoadable);

      // The destination is born published with its root; a destination
      // that already has a tree is refused there (1204) before anything is
      // written.
      CreateTSDOMObject()->CreateEmptyTree(i_lDestTreeType, i_lDestID);
      connection = GetHelvixConnection();
    } catch (...) {
      files.reset();
      ReportError(kCreateTreeFromTree);
      throw;
    }

    // Handler 2: the working copy, the check-out and the manager document.
    try {
      connection->Execute(copyStatement);
      connection->Execute(checkOutStatement);
      CloseConnection(connection);

      XmlElement root = document.DocumentElement();
      UpdateSelfAndDescendantNodes(root, rewrite.add, rewrite.remove, true);
      // The rows' hyperlinks were cleared by the copy; the elements follow.
      for (XmlElement& node : root.SelectNodes("./descendant::Node")) node.SetAttribute("HYP", "-1");
      root.SetAttribute("PRID", std::to_string(i_lDestID));
      if (i_lDestTreeType == storage::kProductTree) {
        root.SetChildText("sd", storage::GetProductDesc(i_lDestID));
      } else {
        auto info = CreateInContext<INonMtsTSDOM>(progid::NonMtsTSDOM);
        StringDict details = info->getTemplateInfo(i_lDestID);
        info.reset();
        root.SetChildText("sd", details.Item("Name"));
        root.SetChildText("ld", details.Item("Comment"));
      }

      DocumentStore()->Save(destPath, document.Xml());
      files = FileService();
      files->AddFile(destPath, i_lDestID, storage::DocumentCategory(i_lDestTreeType, true), i_lDestTreeType);
      files.reset();
    } catch (...) {
      AbortTransaction();
      CloseConnection(connection);
      files.reset();
      ReportError(kCreateTreeFromTree, std::string(kDbOperationFailed));
      throw;
    }

    CompleteTransaction();
    document = XmlDoc();
  });
}

}  // namespace tsa
