// Tree copy through the facade: a new product tree or template made from
// the copy of another tree that the caller sees, checked out by the caller.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "components/catalog.h"
#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "runtime/registry.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

constexpr int32_t kLaser = 7;     // visibilities 1, 2, 3
constexpr int32_t kScanner = 8;   // visibility 2
constexpr int32_t kTwin = 9;      // visibilities 1, 2, 3, like the laser printer
constexpr int32_t kDealer = 30;   // visibilities 2, 4
constexpr const char* kLabel = "HXSvcTroubleshootin.TSDOM.createTreeFromTree";

using Lists = std::map<int32_t, std::string>;

// Products 9 and 30 beside those of the common test catalog.
void LoadMoreProducts(const TestEnv& env) {
  const std::string path = (std::filesystem::path(env.DataDir()) / "more.json").string();
  std::ofstream(path) << R"({
    "visibilities": [{"id": 4, "name": "Dealers"}],
    "categories": [{"id": 13, "name": "Dealer network", "visibilities": [2, 4]}],
    "products": [{"id": 9, "description": "Laser printer, twin", "categories": [10, 12]},
                 {"id": 30, "description": "Dealer printer", "categories": [13]}]
  })";
  LoadCatalogFile(path);
}

// A template's information row.
int32_t InsertTemplateInfo(const std::string& name, const std::string& comment) {
  auto connection = GetHelvixConnection();
  auto info = connection->OpenRecordset("SELECT * FROM TEMPLATEINFO WHERE (1=0)", db::CursorType::Keyset,
                                        db::LockType::Optimistic);
  info->AddNew();
  info->SetField("NAME", name);
  info->SetField("COMMENT", comment);
  info->SetField("PRODUCTCATEGORY", 10);
  info->Update();
  const int32_t id = info->Field("TEMPLATEID").ToInt32();
  info->Close();
  CloseConnection(connection);
  return id;
}

// The rows a copy should hold: the source's under the destination
// identifier, hyperlinks cleared, lists as given.
std::vector<NodeRow> Copied(std::vector<NodeRow> rows, int32_t dest, const Lists& lists) {
  for (NodeRow& row : rows) {
    row.treeId = dest;
    row.hyperlink = -1;
    row.visibility = lists.at(row.nodeId);
  }
  return rows;
}

// The file-handling service, except that it cannot register manager
// documents of product trees.
class FileHandlingRefusingManagers : public FileHandling {
 public:
  void AddFile(const std::string& fullPath, int32_t id, int32_t category, int32_t treeType) override {
    if (category == storage::kCategoryProductManager) Raise(err::PermissionDenied, "test", "the share is read-only");
    FileHandling::AddFile(fullPath, id, category, treeType);
  }
};

class TSDOMCopyTest : public TreeTest {
 protected:
  TSDOMCopyTest() {
    LoadTestCatalog(env);
    LoadMoreProducts(env);
  }

  // Product 7 published with a category (;1;2;), a question below it that
  // links to the category and has no list, and an answer (;1;3;); then
  // checked out again by alice, who adds an action (;3;) to the working
  // copy only.
  void BuildLaser() {
    dom->CreateEmptyTree(kProduct, kLaser);
    std::string owner;
    dom->CheckOut(kProduct, kLaser, "alice", owner);
    category = dom->AddChildNew(kProduct, kLaser, 0, storage::kRepCategory, "Paper", "Paper <A4> & more", ";1;2;",
                                ";", -1, "alice");
    question = dom->AddChildNew(kProduct, kLaser, category, storage::kRepQuestion, "Jammed?", "", ";", ";12;",
                                category, "alice");
    answer = dom->AddChildNew(kProduct, kLaser, question, storage::kRepAnswer, "Yes", "", ";1;3;", ";", -1, "alice");
    dom->Publish(kProduct, kLaser);
    dom->CheckOut(kProduct, kLaser, "alice", owner);
    action = dom->AddChildNew(kProduct, kLaser, answer, storage::kRepAction, "Open the lid", "", ";3;", ";", -1,
                              "alice");
  }

  // The working copy of a copied product tree: rows as expected, the
  // check-out of `user`, both documents in place, everything consistent.
  void ExpectCopiedProduct(int32_t dest, const std::vector<NodeRow>& rows, const std::string& user,
                           const std::string& productList, const std::string& description) {
    EXPECT_EQ(ReadRows(kProduct, dest, true), rows);
    EXPECT_EQ(ReadRows(kProduct, dest, false),
              (std::vector<NodeRow>{{dest, 0, 0, 0, 0, 0, -1, ";", productList, ";", -1}}));
    EXPECT_EQ(ProductInfoVisibility(dest), productList);
    EXPECT_EQ(CheckOutHolder(kProduct, dest), user);
    EXPECT_EQ(DocumentName(kProduct, dest, false), std::to_string(dest) + "_0.xml");
    EXPECT_EQ(DocumentName(kProduct, dest, true), std::to_string(dest) + "_1.xml");
    XmlDoc document = LoadDocument(kProduct, dest, true);
    if (!document.IsNull()) {
      EXPECT_EQ(document.DocumentElement().GetAttribute("PRID"), std::to_string(dest));
      EXPECT_EQ(document.DocumentElement().ChildText("sd"), description);
    }
    ExpectTreeConsistent(kProduct, dest, user);
    EXPECT_TRUE(TreeCopyIsConsistent(kProduct, dest, false));
    EXPECT_TRUE(StagedLeftovers(env).empty());
  }

  TSDOMPtr dom = CreateTSDOMObject();
  int32_t category = 0;
  int32_t question = 0;
  int32_t answer = 0;
  int32_t action = 0;
};

TEST_F(TSDOMCopyTest, FromACheckedOutSourceIntoProducts) {
  BuildLaser();
  const std::vector<NodeRow> working = ReadRows(kProduct, kLaser, true);
  const std::vector<NodeRow> published = ReadRows(kProduct, kLaser, false);
  ASSERT_EQ(working.size(), 5u);
  const Stored source = Snapshot(env);

  // Only removals: the scanner has 2 alone.
  dom->createTreeFromTree(kProduct, kLaser, kProduct, kScanner, "alice");
  ExpectCopiedProduct(kScanner,
                      Copied(working, kScanner, {{0, ";2;"}, {category, ";2;"}, {question, ";"}, {answer, ";"},
                                                 {action, ";"}}),
                      "alice", ";2;", "Flatbed scanner");

  // Both: 1 and 3 go, 4 comes.
  dom->createTreeFromTree(kProduct, kLaser, kProduct, kDealer, "alice");
  ExpectCopiedProduct(kDealer,
                      Copied(working, kDealer, {{0, ";2;4;"}, {category, ";2;4;"}, {question, ";4;"},
                                                {answer, ";4;"}, {action, ";4;"}}),
                      "alice", ";2;4;", "Dealer printer");

  // Equal lists: every list as it was.
  dom->createTreeFromTree(kProduct, kLaser, kProduct, kTwin, "alice");
  ExpectCopiedProduct(kTwin,
                      Copied(working, kTwin, {{0, ";1;2;3;"}, {category, ";1;2;"}, {question, ";"},
                                              {answer, ";1;3;"}, {action, ";3;"}}),
                      "alice", ";1;2;3;", "Laser printer, twin");

  // The source is as it was: rows, check-out and both documents.
  const Stored now = Snapshot(env);
  for (bool manager : {false, true}) {
    const std::string name = std::string(manager ? "TS/Manager" : "TS/Enduser") + "/Trees/" +
                             *DocumentName(kProduct, kLaser, manager);
    EXPECT_EQ(now.files.at(name), source.files.at(name)) << name;
  }
  EXPECT_EQ(ReadRows(kProduct, kLaser, false), published);
  EXPECT_EQ(ReadRows(kProduct, kLaser, true), working);
  EXPECT_EQ(CheckOutHolder(kProduct, kLaser), "alice");
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMCopyTest, FromAPublishedSourceTheCallerDoesNotHold) {
  BuildLaser();
  const std::vector<NodeRow> published = ReadRows(kProduct, kLaser, false);
  ASSERT_EQ(published.size(), 4u);  // without alice's action

  dom->createTreeFromTree(kProduct, kLaser, kProduct, kScanner, "bob");
  ExpectCopiedProduct(kScanner,
                      Copied(published, kScanner, {{0, ";2;"}, {category, ";2;"}, {question, ";"}, {answer, ";"}}),
                      "bob", ";2;", "Flatbed scanner");
  // The published document's texts came along.
  XmlDoc document = LoadDocument(kProduct, kScanner, true);
  ASSERT_FALSE(document.IsNull());
  EXPECT_EQ(document.SelectSingleNode("//Node[@NID='" + std::to_string(category) + "']").ChildText("ld"),
            "Paper <A4> & more");
  EXPECT_EQ(CheckOutHolder(kProduct, kLaser), "alice");
}

TEST_F(TSDOMCopyTest, OnlyAdditionsAreAppended) {
  dom->CreateEmptyTree(kProduct, kScanner);
  std::string owner;
  dom->CheckOut(kProduct, kScanner, "alice", owner);
  const int32_t paper = dom->AddChildNew(kProduct, kScanner, 0, storage::kRepCategory, "Glass", "", ";2;", ";", -1,
                                         "alice");
  const int32_t dirty =
      dom->AddChildNew(kProduct, kScanner, paper, storage::kRepQuestion, "Dirty?", "", ";", ";", -1, "alice");

  // The laser printer adds 1 and 3 to what the scanner had.
  dom->createTreeFromTree(kProduct, kScanner, kProduct, kLaser, "alice");
  ExpectCopiedProduct(kLaser,
                      Copied(ReadRows(kProduct, kScanner, true), kLaser,
                             {{0, ";2;1;3;"}, {paper, ";2;1;3;"}, {dirty, ";1;3;"}}),
                      "alice", ";1;2;3;", "Laser printer <L200> & co");
}

TEST_F(TSDOMCopyTest, AnEmptyTextListIsTheEmptyList) {
  // A node saved with "" for its list: the added entries make a list of it,
  // in its row as in its element.
  dom->CreateEmptyTree(kProduct, kScanner);
  std::string owner;
  dom->CheckOut(kProduct, kScanner, "alice", owner);
  const int32_t glass = dom->AddChildNew(kProduct, kScanner, 0, storage::kRepCategory, "Glass", "", ";2;", ";", -1,
                                         "alice");
  const int32_t dirty =
      dom->AddChildNew(kProduct, kScanner, glass, storage::kRepQuestion, "Dirty?", "", "", ";", -1, "alice");
  ASSERT_EQ(ReadRow(kProduct, kScanner, dirty, true)->visibility, "");

  dom->createTreeFromTree(kProduct, kScanner, kProduct, kLaser, "alice");
  ExpectCopiedProduct(kLaser,
                      Copied(ReadRows(kProduct, kScanner, true), kLaser,
                             {{0, ";2;1;3;"}, {glass, ";2;1;3;"}, {dirty, ";1;3;"}}),
                      "alice", ";1;2;3;", "Laser printer <L200> & co");

  // Entries removed as well as added: 1 and 3 go, 4 comes.
  dom->CreateEmptyTree(kProduct, kTwin);
  dom->CheckOut(kProduct, kTwin, "bob", owner);
  const int32_t toner =
      dom->AddChildNew(kProduct, kTwin, 0, storage::kRepCategory, "Toner", "", "", ";", -1, "bob");
  dom->createTreeFromTree(kProduct, kTwin, kProduct, kDealer, "bob");
  ExpectCopiedProduct(kDealer,
                      Copied(ReadRows(kProduct, kTwin, true), kDealer, {{0, ";2;4;"}, {toner, ";4;"}}), "bob",
                      ";2;4;", "Dealer printer");
}

TEST_F(TSDOMCopyTest, ABlankListIsTheEmptyList) {
  // A list stored as a blank: the added entries make a list of it, in its
  // row as in its element.
  dom->CreateEmptyTree(kProduct, kScanner);
  std::string owner;
  dom->CheckOut(kProduct, kScanner, "alice", owner);
  const int32_t glass = dom->AddChildNew(kProduct, kScanner, 0, storage::kRepCategory, "Glass", "", ";2;", ";", -1,
                                         "alice");
  const int32_t dirty =
      dom->AddChildNew(kProduct, kScanner, glass, storage::kRepQuestion, "Dirty?", "", ";", ";", -1, "alice");
  SetWorkingList(kProduct, kScanner, dirty, " ");

  dom->createTreeFromTree(kProduct, kScanner, kProduct, kLaser, "alice");
  ExpectCopiedProduct(kLaser,
                      Copied(ReadRows(kProduct, kScanner, true), kLaser,
                             {{0, ";2;1;3;"}, {glass, ";2;1;3;"}, {dirty, ";1;3;"}}),
                      "alice", ";1;2;3;", "Laser printer <L200> & co");
}

TEST_F(TSDOMCopyTest, IntoATemplateNothingIsRewritten) {
  BuildLaser();
  const int32_t id = InsertTemplateInfo("Paper jam", "When paper <jams> & stops");
  const std::vector<NodeRow> working = ReadRows(kProduct, kLaser, true);

  dom->createTreeFromTree(kProduct, kLaser, kTemplate, id, "alice");
  EXPECT_EQ(ReadRows(kTemplate, id, true),
            Copied(working, id, {{0, ";1;2;3;"}, {category, ";1;2;"}, {question, ";"}, {answer, ";1;3;"},
                                 {action, ";3;"}}));
  EXPECT_EQ(ReadRows(kTemplate, id, false),
            (std::vector<NodeRow>{{id, 0, 0, 0, 0, 0, -1, ";", ";", ";", -1}}));
  EXPECT_EQ(CheckOutHolder(kTemplate, id), "alice");
  EXPECT_EQ(CheckOutHolder(kProduct, id), std::nullopt);
  EXPECT_EQ(DocumentName(kTemplate, id, true), std::to_string(id) + "_1.xml");
  XmlDoc document = LoadDocument(kTemplate, id, true);
  ASSERT_FALSE(document.IsNull());
  EXPECT_EQ(document.DocumentElement().ChildText("sd"), "Paper jam");
  EXPECT_EQ(document.DocumentElement().ChildText("ld"), "When paper <jams> & stops");
  EXPECT_EQ(document.DocumentElement().GetAttribute("PRID"), std::to_string(id));
  ExpectTreeConsistent(kTemplate, id, "alice");
  EXPECT_TRUE(TreeCopyIsConsistent(kTemplate, id, false));
  EXPECT_TRUE(Snapshot(env).rows["DIAGNOSTICSINFO"].size() == 1u);  // the laser printer's only
}

TEST_F(TSDOMCopyTest, RefusalsWriteNothing) {
  BuildLaser();
  dom->CreateEmptyTree(kProduct, kScanner);
  const Stored before = Snapshot(env);

  // The destination has a tree: the scanner's own, or the source itself.
  for (int32_t dest : {kScanner, kLaser}) {
    ErrorInfo e = RaisedBy([&] { dom->createTreeFromTree(kProduct, kLaser, kProduct, dest, "alice"); });
    EXPECT_EQ(e.number, err::TreeAlreadyExists) << e.description;
    EXPECT_EQ(e.description.rfind(ReportedPrefix(kLabel), 0), 0u) << e.description;
    EXPECT_NE(e.description.find("already exists"), std::string::npos) << e.description;
  }

  // Arguments, each named.
  struct Bad {
    int32_t sourceType, destType;
    std::string user;
    const char* argument;
  };
  for (const Bad& bad : {Bad{0, kProduct, "alice", "i_lSourceTreeType"}, Bad{kProduct, 3, "alice", "i_lDestTreeType"},
                         Bad{kProduct, kProduct, "", "i_sUserId"}}) {
    ErrorInfo e = RaisedBy([&] { dom->createTreeFromTree(bad.sourceType, kLaser, bad.destType, kDealer, bad.user); });
    EXPECT_EQ(e.number, err::InvalidArgument);
    EXPECT_NE(e.description.find(bad.argument), std::string::npos) << e.description;
  }

  // No such source tree.
  EXPECT_EQ(RaisedBy([&] { dom->createTreeFromTree(kProduct, 99, kProduct, kDealer, "alice"); }).number,
            err::NodeNotFound);
  EXPECT_NOTHING_CHANGED(env, before);
}

TEST_F(TSDOMCopyTest, AnUnloadableSourceDocumentWritesNothing) {
  BuildLaser();
  // The published document is gone; alice's manager document is there.
  const std::string published = DocumentPath(kProduct, *DocumentName(kProduct, kLaser, false), false);
  DocumentStore()->Delete(published);
  const Stored before = Snapshot(env);

  ErrorInfo e = RaisedBy([&] { dom->createTreeFromTree(kProduct, kLaser, kProduct, kScanner, "bob"); });
  EXPECT_EQ(e.number, err::SourceXmlNotLoadable);
  EXPECT_EQ(e.source, "");
  EXPECT_EQ(e.description,
            ReportedPrefix(kLabel) +
                "The source XML could not be loaded.The create operation could not be completed.(1100).");
  EXPECT_NOTHING_CHANGED(env, before);

  // Alice sees her working copy, whose document is there.
  dom->createTreeFromTree(kProduct, kLaser, kProduct, kScanner, "alice");
  ExpectTreeConsistent(kProduct, kScanner, "alice");
}

TEST_F(TSDOMCopyTest, AFailureAfterTheRowsRollsEverythingBack) {
  BuildLaser();
  const Stored before = Snapshot(env);
  {
    ScopedRegistration failing(progid::FileHandling, [] { return std::make_shared<FileHandlingRefusingManagers>(); });
    ErrorInfo e = RaisedBy([&] { dom->createTreeFromTree(kProduct, kLaser, kProduct, kScanner, "alice"); });
    EXPECT_EQ(e.number, err::PermissionDenied);
    EXPECT_EQ(e.description.rfind(ReportedPrefix(kLabel), 0), 0u) << e.description;
    EXPECT_NE(e.description.find("Additional information: DB operation failed."), std::string::npos) << e.description;
  }
  // The empty tree, the rows, the check-out and both documents are gone.
  EXPECT_NOTHING_CHANGED(env, before);

  // Nothing is left in the way of a second attempt.
  dom->createTreeFromTree(kProduct, kLaser, kProduct, kScanner, "alice");
  ExpectTreeConsistent(kProduct, kScanner, "alice");
}

}  // namespace
}  // namespace tsa::test
