// Tree: which copy a user sees, nodes looked up and created, the document
// written back.
#include <gtest/gtest.h>

#include <filesystem>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "model/tree.h"
#include "model_test_util.h"
#include "platform/files/document_store.h"
#include "runtime/context.h"
#include "runtime/dispatch.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

class TreeObjectTest : public TreeTest {
 protected:
  TreePtr Load(int32_t treeType, int32_t id, const std::string& user) {
    TreePtr tree = CreateTreeObject();
    tree->load(treeType, id, user);
    return tree;
  }
  static void Execute(const std::string& sql) {
    auto c = GetHelvixConnection();
    c->Execute(sql);
    CloseConnection(c);
  }
};

TEST_F(TreeObjectTest, TheHolderSeesTheWorkingCopyEveryoneElseThePublishedOne) {
  CreateProductTree(5, ";1;", "Printer");
  CheckOut(kProduct, 5, "alice");
  int32_t added = AddNode(kProduct, 5, "alice", {.repType = storage::kRepCategory, .sd = "Paper jam"});

  TreePtr holder = Load(kProduct, 5, "alice");
  EXPECT_TRUE(holder->Checkedout());
  EXPECT_EQ(holder->ID(), 5);
  EXPECT_EQ(holder->TreeType(), kProduct);
  EXPECT_EQ(holder->TemplateTopType(), 0);
  NodePtr node = holder->getNode(added);
  EXPECT_EQ(node->NodeDOM.ChildText("sd"), "Paper jam");
  EXPECT_EQ(node->PreTree, ";0;");
  EXPECT_EQ(node->TreeType, kProduct);

  TreePtr other = Load(kProduct, 5, "bob");
  EXPECT_FALSE(other->Checkedout());
  EXPECT_TRUE(other->TreeDOM().DocumentElement().ChildElements("Node").empty());
  ErrorInfo e = Caught([&] { other->getNode(added); });
  EXPECT_EQ(e.number, err::NodeNotFound);
  EXPECT_NE(e.description.find("METHOD: HXSvcTroubleshooting.Tree.getNode caught: "), std::string::npos);

  // Check-out records are told apart by tree type and user.
  EXPECT_TRUE(IsCheckedOut(kProduct, 5, "alice"));
  EXPECT_FALSE(IsCheckedOut(kProduct, 5, "bob"));
  EXPECT_FALSE(IsCheckedOut(kTemplate, 5, "alice"));
  EXPECT_FALSE(IsCheckedOut(kProduct, 5, "alice' OR '1'='1"));
}

TEST_F(TreeObjectTest, GetNodeBindsTheRootToTheDocumentElementAndToleratesAMissingElement) {
  CreateProductTree(6);
  CheckOut(kProduct, 6, "alice");
  TreePtr tree = Load(kProduct, 6, "alice");
  NodePtr root = tree->getNode(0);
  EXPECT_EQ(root->NodeDOM, tree->TreeDOM().DocumentElement());
  EXPECT_EQ(root->ParentNodeID, -1);
  EXPECT_EQ(root->PreTree, ";");

  // A row whose element is not in the document gives a node without one.
  Execute("INSERT INTO DIAGNOSTICS_TEMP VALUES (6, 9, 1, 1, 1, 1, 0, ';0;', ';', ';', -1)");
  NodePtr orphan = tree->getNode(9);
  EXPECT_TRUE(orphan->NodeDOM.IsNull());
  EXPECT_EQ(orphan->NodeID, 9);
  EXPECT_EQ(Caught([&] { tree->getNode(10); }).number, err::NodeNotFound);
}

TEST_F(TreeObjectTest, CreateNodeMakesAnEntityAndAnUnattachedElement) {
  CreateProductTree(7);
  CheckOut(kProduct, 7, "alice");
  Execute("INSERT INTO DIAGNOSTICS_TEMP VALUES (7, 7, 1, 1, 1, 1, 0, ';0;', ';', ';', -1)");
  TreePtr tree = Load(kProduct, 7, "alice");

  const std::string awkward = "Tom's <b>\"fix\"</b> & more";
  NodePtr node = tree->createNode(storage::kRepQuestion, awkward, "line 1\nline 2", ";4;", ";", 3);
  EXPECT_EQ(node->NodeID, 8) << "one above the highest identifier of the working copy";
  EXPECT_EQ(node->ID, 7);
  EXPECT_EQ(RepEntity(storage::kRepQuestion, node->RepID), std::make_pair(awkward, std::string("line 1\nline 2")));
  EXPECT_NE(node->NodeDOM.OwnerDocument(), tree->TreeDOM()) << "not attached until AppendChild";
  EXPECT_EQ(node->NodeDOM.ChildText("sd"), awkward);
  EXPECT_EQ(node->NodeDOM.GetAttribute("RID"), std::to_string(node->RepID));
  EXPECT_EQ(node->NodeDOM.GetAttribute("HYP"), "3");
  EXPECT_FALSE(node->NodeDOM.HasAttribute("PRID"));
  EXPECT_EQ(ReadRows(kProduct, 7, true).size(), 2u) << "no row yet";

  auto flag = [&](const std::string& faqs) {
    return tree->createNode(storage::kRepAnswer, "a", "", ";", faqs, -1)->NodeDOM.GetAttribute("FAQ");
  };
  EXPECT_EQ(flag(";"), "0");
  EXPECT_EQ(flag(" ; "), "0");
  EXPECT_EQ(flag(""), "1");
  EXPECT_EQ(flag(";12;"), "1");
}

TEST_F(TreeObjectTest, CreateNodeFromRepShowsAnExistingEntity) {
  int32_t t = CreateTemplate();
  CheckOut(kTemplate, t, "alice");
  int32_t first = AddNode(kTemplate, t, "alice", {.repType = storage::kRepAction, .sd = "Restart", .ld = "Power off"});
  int32_t entity = ReadRow(kTemplate, t, first, true)->repId;

  TreePtr tree = Load(kTemplate, t, "alice");
  EXPECT_EQ(tree->TemplateTopType(), storage::kRepAction);
  NodePtr node = tree->createNodeFromRep(storage::kRepAction, entity, ";", ";", -1);
  EXPECT_EQ(node->RepID, entity);
  EXPECT_EQ(node->TemplateTopType, storage::kRepAction);
  EXPECT_EQ(node->NodeDOM.ChildText("sd"), "Restart");
  EXPECT_EQ(node->NodeDOM.ChildText("ld"), "Power off");

  const auto rowsBefore = ReadRows(kTemplate, t, true);
  ErrorInfo e = Caught([&] { tree->createNodeFromRep(storage::kRepAction, entity + 100, ";", ";", -1); });
  EXPECT_EQ(e.number, err::RepEntityNotFound);
  EXPECT_NE(e.description.find("METHOD: HXSvcTroubleshooting.Tree.CreateNodeFromRep caught: "), std::string::npos);
  EXPECT_EQ(ReadRows(kTemplate, t, true), rowsBefore);
}

TEST_F(TreeObjectTest, TemplateTopTypeFollowsTheTopLevelNodesOfTheCopySeen) {
  int32_t t = CreateTemplate();
  EXPECT_EQ(Load(kTemplate, t, "alice")->TemplateTopType(), storage::kTopTypeEmpty);
  CheckOut(kTemplate, t, "alice");
  EXPECT_EQ(Load(kTemplate, t, "alice")->TemplateTopType(), storage::kTopTypeEmpty);
  AddNode(kTemplate, t, "alice", {.repType = storage::kRepQuestion});
  EXPECT_EQ(Load(kTemplate, t, "alice")->TemplateTopType(), storage::kRepQuestion);
  EXPECT_EQ(Load(kTemplate, t, "bob")->TemplateTopType(), storage::kTopTypeEmpty);
}

TEST_F(TreeObjectTest, AMissingDocumentFailsTheLoadAfterTheCheckOutTestWasMade) {
  TestEnv::UseDocumentFiles();  // the file is removed behind the store's back
  CreateProductTree(8);
  CheckOut(kProduct, 8, "alice");
  std::filesystem::remove(DocumentPath(kProduct, *DocumentName(kProduct, 8, true), true));

  Tree tree;
  ErrorInfo e = Caught([&] { tree.load(kProduct, 8, "alice"); });
  EXPECT_EQ(e.number, err::TreeLoadFailed);
  EXPECT_EQ(e.description.rfind("\r\nMETHOD: HXSvcTroubleshooting.Tree.load caught: ", 0), 0u);
  EXPECT_TRUE(tree.Checkedout());
  EXPECT_EQ(tree.ID(), 0);
  EXPECT_EQ(tree.TreeType(), 0);

  // A document that does not parse fails the same way.
  DocumentStore()->Save(DocumentPath(kProduct, *DocumentName(kProduct, 8, false), false), "<Node NID=\"0\">");
  EXPECT_EQ(Caught([&] { Load(kProduct, 8, "bob"); }).number, err::TreeLoadFailed);
}

TEST_F(TreeObjectTest, SaveWritesTheCopyTheUserSeesAndRegistersItAgain) {
  CreateProductTree(9, ";", "Old name");
  RecordingFileHandling files;
  TreePtr published = Load(kProduct, 9, "bob");
  published->TreeDOM().DocumentElement().SetChildText("sd", "New name");
  files.Clear();
  published->save();
  EXPECT_EQ(files.Calls(), (std::vector<std::string>{"GetFileNames(9,9)", "RemoveFile(9_0.xml,9)",
                                                     "AddFile(9_0.xml,9)"}));
  EXPECT_EQ(LoadDocument(kProduct, 9, false).DocumentElement().ChildText("sd"), "New name");

  // A tree without a document is not written over the file.
  Tree empty;
  EXPECT_EQ(Caught([&] { empty.save(); }).number, err::ObjectNotSet);
  EXPECT_EQ(LoadDocument(kProduct, 9, false).DocumentElement().ChildText("sd"), "New name");
}

TEST_F(TreeObjectTest, InAWebFarmLoadFetchesTheDocumentsOfTheCopySeen) {
  const std::string shared = env.DataDir() + "/shared";
  SetParameter("Webfarm Implemented", "True");
  SetParameter("FTPPath", shared);
  CreateProductTree(10, ";", "Farm");  // AddFile places a copy in the shared location
  CheckOut(kProduct, 10, "alice");
  // This server lacks the published document: the shared copy is fetched.
  std::filesystem::remove(DocumentPath(kProduct, "10_0.xml", false));

  RecordingFileHandling files;
  TreePtr published = Load(kProduct, 10, "bob");
  EXPECT_EQ(published->TreeDOM().DocumentElement().ChildText("sd"), "Farm");
  EXPECT_EQ(files.Calls(), (std::vector<std::string>{"GetFileNames(10,9,8)", "FetchFile(10_0.xml,9)"}));
  files.Clear();
  Load(kProduct, 10, "alice");
  EXPECT_EQ(files.Calls(), (std::vector<std::string>{"GetFileNames(10,9,8)", "FetchFile(10_1.xml,8)",
                                                     "FetchFile(10_0.xml,9)"}));
}

TEST_F(TreeObjectTest, CheckOutByNameReturnsTheOwnerThroughItsInOutArgument) {
  CreateProductTree(11);
  Tree tree;
  nlohmann::json first = CallByName(tree, "CheckOut", {{"i_lTreeType", 1}, {"i_lID", 11}, {"i_sUserId", "alice"}});
  EXPECT_EQ(first["o_sOwner"], "");
  nlohmann::json second = CallByName(tree, "checkout", nlohmann::json::array({1, 11, "bob", "ignored"}));
  EXPECT_EQ(second["o_sOwner"], "alice");
  EXPECT_THROW(CallByName(tree, "getNode", nlohmann::json::array({0})), Error) << "needs a loaded tree";
}

}  // namespace
}  // namespace tsa::test
