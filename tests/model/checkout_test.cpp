// Check-out and publishing: one holder per tree, the working copy made from
// the published copy, and publishing that makes it the published copy.
#include <gtest/gtest.h>

#include <filesystem>
#include <latch>
#include <thread>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "model/tree.h"
#include "model_test_util.h"
#include "platform/files/document_store.h"
#include "runtime/context.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

class CheckOutTest : public TreeTest {
 protected:
  static void Execute(const std::string& sql) {
    auto c = GetHelvixConnection();
    c->Execute(sql);
    CloseConnection(c);
  }
  static std::string Text(int32_t treeType, const std::string& name, bool manager) {
    return DocumentStore()->Load(DocumentPath(treeType, name, manager));
  }
  // A product tree with a category and two questions below it, published.
  void PublishedTreeWithNodes(int32_t id) {
    CreateProductTree(id, ";1;", "Scanner");
    CheckOut(kProduct, id, "setup");
    int32_t category = AddNode(kProduct, id, "setup", {.repType = storage::kRepCategory, .sd = "Feed"});
    AddChildren(kProduct, id, "setup", category, 2);
    Publish(kProduct, id);
  }
};

TEST_F(CheckOutTest, CheckOutGivesTheUserAWorkingCopyOfThePublishedTree) {
  PublishedTreeWithNodes(12);
  ASSERT_EQ(DocumentName(kProduct, 12, false), "12_1.xml");

  EXPECT_EQ(CheckOut(kProduct, 12, "alice"), "");
  EXPECT_EQ(CheckOutHolder(kProduct, 12), "alice");
  std::string comment;
  bool dated = false;
  auto c = GetHelvixConnection();
  auto rs = c->OpenRecordset("SELECT COMMENT, TDATE FROM TSCHANGECONTROL WHERE ID = 12 AND TREETEM = 1");
  ASSERT_FALSE(rs->IsEOF());
  comment = rs->Field("COMMENT").ToText();
  dated = !rs->Field("TDATE").IsNull();
  rs->Close();
  CloseConnection(c);
  EXPECT_EQ(comment, "Checked out");
  EXPECT_TRUE(dated);

  EXPECT_EQ(ReadRows(kProduct, 12, true), ReadRows(kProduct, 12, false));
  EXPECT_EQ(ReadRows(kProduct, 12, true).size(), 4u);
  EXPECT_EQ(DocumentName(kProduct, 12, true), "12_2.xml");
  EXPECT_EQ(Text(kProduct, "12_2.xml", true), Text(kProduct, "12_1.xml", false));
  EXPECT_TRUE(IsCheckedOut(kProduct, 12, "alice"));
  EXPECT_FALSE(IsCheckedOut(kProduct, 12, "bob"));
  ExpectTreeConsistent(kProduct, 12, "alice");
}

TEST_F(CheckOutTest, ASecondCheckOutNamesTheHolderAndChangesNothing) {
  CreateProductTree(13);
  CheckOut(kProduct, 13, "alice");
  AddNode(kProduct, 13, "alice", {.repType = storage::kRepCategory});
  const auto rows = ReadRows(kProduct, 13, true);
  const std::string document = Text(kProduct, "13_1.xml", true);

  EXPECT_EQ(CheckOut(kProduct, 13, "alice"), "alice");
  EXPECT_EQ(CheckOut(kProduct, 13, "bob"), "alice");
  EXPECT_EQ(CheckOutRecords(kProduct, 13), 1);
  EXPECT_EQ(CheckOutHolder(kProduct, 13), "alice");
  EXPECT_EQ(ReadRows(kProduct, 13, true), rows);
  EXPECT_EQ(Text(kProduct, "13_1.xml", true), document);
  ExpectTreeConsistent(kProduct, 13, "alice");

  // The other tree type with the same identifier is a tree of its own.
  EXPECT_FALSE(IsCheckedOut(kTemplate, 13, "alice"));
}

// Both inside transactions and without one, two users who check a tree out
// at the same moment get exactly one holder between them.
class SimultaneousCheckOut : public CheckOutTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SimultaneousCheckOut, GivesExactlyOneHolderAndTellsTheOtherWho) {
  const bool inTransaction = GetParam();
  constexpr int kTrees = 6;
  for (int32_t id = 1; id <= kTrees; ++id) CreateProductTree(id);

  for (int32_t id = 1; id <= kTrees; ++id) {
    std::latch start(2);
    std::string owners[2];
    std::string failures[2];
    const std::string users[2] = {"alice", "bob"};
    auto run = [&](int i) {
      start.arrive_and_wait();
      try {
        if (inTransaction) {
          owners[i] = CheckOut(kProduct, id, users[i]);
        } else {
          owners[i] = "unchanged";
          CreateTreeObject()->CheckOut(kProduct, id, users[i], owners[i]);
        }
      } catch (const Error& e) {
        failures[i] = e.description();
      }
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
    EXPECT_EQ(failures[0], "");
    EXPECT_EQ(failures[1], "");
    ASSERT_EQ(CheckOutRecords(kProduct, id), 1);
    const std::string holder = *CheckOutHolder(kProduct, id);
    const int winner = holder == "alice" ? 0 : 1;
    EXPECT_EQ(owners[winner], "") << "tree " << id;
    EXPECT_EQ(owners[1 - winner], holder) << "tree " << id;
    EXPECT_EQ(ReadRows(kProduct, id, true), ReadRows(kProduct, id, false));
    ExpectTreeConsistent(kProduct, id, holder);
  }
}

INSTANTIATE_TEST_SUITE_P(InAndOutsideTransactions, SimultaneousCheckOut, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "InTransactions" : "WithoutTransaction"; });

TEST_F(CheckOutTest, PublishMakesTheWorkingCopyThePublishedOne) {
  CreateProductTree(12, ";1;", "Copier");
  for (int round = 0; round < 3; ++round) {
    CheckOut(kProduct, 12, "alice");
    Publish(kProduct, 12);
  }
  ASSERT_EQ(DocumentName(kProduct, 12, false), "12_3.xml");
  CheckOut(kProduct, 12, "alice");
  int32_t category = AddNode(kProduct, 12, "alice", {.repType = storage::kRepCategory, .sd = "Toner"});
  AddNode(kProduct, 12, "alice", {.parent = category, .sd = "Is the toner low?"});
  const auto working = ReadRows(kProduct, 12, true);
  const std::string managerText = Text(kProduct, "12_4.xml", true);

  Publish(kProduct, 12);
  EXPECT_EQ(ReadRows(kProduct, 12, false), working);
  EXPECT_TRUE(ReadRows(kProduct, 12, true).empty());
  EXPECT_EQ(CheckOutRecords(kProduct, 12), 0);
  EXPECT_TRUE(DocumentExists(kProduct, "12_4.xml", false));
  EXPECT_FALSE(DocumentExists(kProduct, "12_3.xml", false));
  EXPECT_FALSE(DocumentExists(kProduct, "12_4.xml", true));
  EXPECT_EQ(Text(kProduct, "12_4.xml", false), managerText);
  EXPECT_EQ(DocumentName(kProduct, 12, false), "12_4.xml");
  EXPECT_EQ(DocumentName(kProduct, 12, true), std::nullopt);
  ExpectTreeConsistent(kProduct, 12, "alice");
}

TEST_F(CheckOutTest, PublishCarriesTheRootVisibilityIntoTheProductInformationOnly) {
  CreateProductTree(15, ";1;");
  CreateProductTree(16, ";1;");
  int32_t t = CreateTemplate();
  CheckOut(kProduct, 15, "alice");
  Execute("UPDATE DIAGNOSTICS_TEMP SET VISIBILITY = ';3;7;' WHERE PRODUCTID = 15 AND NODEID = 0");
  Publish(kProduct, 15);
  EXPECT_EQ(ProductInfoVisibility(15), ";3;7;");
  EXPECT_EQ(ProductInfoVisibility(16), ";1;");

  CheckOut(kTemplate, t, "alice");
  Publish(kTemplate, t);
  EXPECT_EQ(ProductInfoVisibility(15), ";3;7;");
  EXPECT_EQ(ProductInfoVisibility(16), ";1;");
}

TEST_F(CheckOutTest, PublishWithoutAWorkingCopyIsRefusedAndChangesNothing) {
  PublishedTreeWithNodes(17);
  const auto published = ReadRows(kProduct, 17, false);
  const std::string document = Text(kProduct, "17_1.xml", false);

  ErrorInfo e = Caught([&] { Publish(kProduct, 17); });
  EXPECT_EQ(e.number, err::NothingToPublish);
  EXPECT_NE(e.description.find("nothing to publish: the tree has no working copy"), std::string::npos);
  EXPECT_NE(e.description.find("METHOD: HXSvcTroubleshooting.Tree.Publish caught: "), std::string::npos);
  EXPECT_EQ(ReadRows(kProduct, 17, false), published);
  EXPECT_EQ(Text(kProduct, "17_1.xml", false), document);
  EXPECT_EQ(DocumentName(kProduct, 17, false), "17_1.xml");
  ExpectTreeConsistent(kProduct, 17, "anyone");
}

TEST_F(CheckOutTest, AFailedPublishInsideATransactionKeepsBothCopies) {
  TestEnv::UseDocumentFiles();  // the failure comes from a file removed behind the store's back
  PublishedTreeWithNodes(18);
  CheckOut(kProduct, 18, "alice");
  AddNode(kProduct, 18, "alice", {.repType = storage::kRepCategory});
  const auto published = ReadRows(kProduct, 18, false);
  const auto working = ReadRows(kProduct, 18, true);
  std::filesystem::remove(DocumentPath(kProduct, "18_2.xml", true));  // the move fails

  EXPECT_EQ(Caught([&] { Publish(kProduct, 18); }).number, err::FileNotFound);
  EXPECT_EQ(ReadRows(kProduct, 18, false), published);
  EXPECT_EQ(ReadRows(kProduct, 18, true), working);
  EXPECT_EQ(CheckOutHolder(kProduct, 18), "alice");
  EXPECT_TRUE(DocumentExists(kProduct, "18_1.xml", false));
  EXPECT_EQ(DocumentName(kProduct, 18, true), "18_2.xml");
}

TEST_F(CheckOutTest, PublishWithoutKnownDocumentsChangesOnlyTheDatabase) {
  CreateProductTree(19);
  CheckOut(kProduct, 19, "alice");
  AddNode(kProduct, 19, "alice", {.repType = storage::kRepCategory});
  const auto working = ReadRows(kProduct, 19, true);
  Execute("DELETE FROM DOCUMENTFILES WHERE ID = 19");

  Publish(kProduct, 19);
  EXPECT_EQ(ReadRows(kProduct, 19, false), working);
  EXPECT_EQ(CheckOutRecords(kProduct, 19), 0);
  EXPECT_TRUE(DocumentExists(kProduct, "19_1.xml", true));
  EXPECT_TRUE(DocumentExists(kProduct, "19_0.xml", false));
}

TEST_F(CheckOutTest, PublishKeepsTheDocumentWhenBothCopiesHaveTheSameName) {
  CreateProductTree(20);
  CheckOut(kProduct, 20, "alice");
  AddNode(kProduct, 20, "alice", {.repType = storage::kRepCategory, .sd = "Edited"});
  // The manager document registered under the end-user document's name.
  DocumentStore()->Move(DocumentPath(kProduct, "20_1.xml", true), DocumentPath(kProduct, "20_0.xml", true));
  Execute("UPDATE DOCUMENTFILES SET FILENAME = '20_0.xml' WHERE ID = 20 AND CATEGORY = 8");

  Publish(kProduct, 20);
  EXPECT_EQ(DocumentName(kProduct, 20, false), "20_0.xml");
  ASSERT_TRUE(DocumentExists(kProduct, "20_0.xml", false));
  EXPECT_NE(Text(kProduct, "20_0.xml", false).find("Edited"), std::string::npos);
  ExpectTreeConsistent(kProduct, 20, "alice");
}

TEST_F(CheckOutTest, InAWebFarmCheckOutFetchesThePublishedDocumentOnlyWhenItIsMissing) {
  TestEnv::UseDocumentFiles();  // with the documents in the database nothing is fetched
  SetParameter("Webfarm Implemented", "1");
  SetParameter("FTPPath", env.DataDir() + "/shared");
  CreateProductTree(21, ";", "Shared");
  CreateProductTree(22, ";", "Shared too");
  std::filesystem::remove(DocumentPath(kProduct, "22_0.xml", false));

  RecordingFileHandling files;
  CheckOut(kProduct, 21, "alice");
  EXPECT_EQ(files.Calls(), (std::vector<std::string>{"GetFileNames(21,9)", "AddFile(21_1.xml,8)"}));
  files.Clear();
  CheckOut(kProduct, 22, "alice");
  EXPECT_EQ(files.Calls(),
            (std::vector<std::string>{"GetFileNames(22,9)", "FetchFile(22_0.xml,9)", "AddFile(22_1.xml,8)"}));
  EXPECT_EQ(LoadDocument(kProduct, 22, true).DocumentElement().ChildText("sd"), "Shared too");
}

}  // namespace
}  // namespace tsa::test
