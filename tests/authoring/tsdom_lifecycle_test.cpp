// Tree lifecycle through the facade: creating trees and templates,
// check-out, publishing, discarding a working copy and deleting trees.
#include <gtest/gtest.h>

#include <string>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

constexpr int32_t kLaser = 7;    // visibilities 1, 2, 3; categories 10, 12
constexpr int32_t kRetired = 20;  // no category

// A template's information row (what CreateNewTemplateInfo writes).
int32_t InsertTemplateInfo(const std::string& name, const std::string& comment) {
  auto connection = GetHelvixConnection();
  auto info = connection->OpenRecordset("SELECT * FROM TEMPLATEINFO WHERE (1=0)", db::CursorType::Keyset,
                                        db::LockType::Optimistic);
  info->AddNew();
  info->SetField("NAME", name);
  info->SetField("COMMENT", comment);
  info->SetField("PRODUCTCATEGORY", 10);
  info->Update();
  int32_t id = info->Field("TEMPLATEID").ToInt32();
  info->Close();
  CloseConnection(connection);
  return id;
}

NodeRow RootRow(int32_t id, const std::string& visibility) { return {id, 0, 0, 0, 0, 0, -1, ";", visibility, ";", -1}; }

// The snapshot without the repository tables (entities outlive the trees
// that showed them).
Stored WithoutEntities(Stored s) {
  for (const char* table : {"REPTSCATEGORY", "REPQUESTION", "REPANSWER", "REPACTION"}) s.rows.erase(table);
  return s;
}

class TSDOMLifecycleTest : public TreeTest {
 protected:
  TSDOMLifecycleTest() { LoadTestCatalog(env); }

  std::string CheckOutFor(int32_t treeType, int32_t id, const std::string& user) {
    std::string owner = "unset";
    dom->CheckOut(treeType, id, user, owner);
    return owner;
  }
  int32_t AddCategory(int32_t id, const std::string& user, const std::string& sd = "Paper") {
    return dom->AddChildNew(kProduct, id, 0, storage::kRepCategory, sd, sd + " in detail", ";1;", ";", -1, user);
  }

  TSDOMPtr dom = CreateTSDOMObject();
};

TEST_F(TSDOMLifecycleTest, CreateEmptyTreeBuildsAPublishedProductRoot) {
  dom->CreateEmptyTree(kProduct, kLaser);

  EXPECT_EQ(ReadRows(kProduct, kLaser, false), std::vector<NodeRow>{RootRow(kLaser, ";1;2;3;")});
  EXPECT_TRUE(ReadRows(kProduct, kLaser, true).empty());
  EXPECT_EQ(CheckOutRecords(kProduct, kLaser), 0);
  EXPECT_EQ(Snapshot(env).rows["DIAGNOSTICSINFO"],
            std::vector<std::string>{"PRODUCTID=7|CATEGORYLIST=;10;12;|VISIBILITY=;1;2;3;|NOTE1=|NOTE2=|"});

  EXPECT_EQ(DocumentName(kProduct, kLaser, false), "7_0.xml");
  EXPECT_EQ(DocumentName(kProduct, kLaser, true), std::nullopt);
  XmlDoc document = LoadDocument(kProduct, kLaser, false);
  ASSERT_FALSE(document.IsNull());
  XmlElement root = document.DocumentElement();
  EXPECT_EQ(root.GetAttribute("PRID"), "7");
  EXPECT_EQ(root.GetAttribute("VISB"), ";1;2;3;");
  EXPECT_EQ(root.ChildText("sd"), "Laser printer <L200> & co");
  EXPECT_EQ(root.ChildText("ld"), "");
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // A product without categories sees nobody.
  dom->CreateEmptyTree(kProduct, kRetired);
  EXPECT_EQ(ReadRows(kProduct, kRetired, false), std::vector<NodeRow>{RootRow(kRetired, ";")});
  EXPECT_EQ(ProductInfoVisibility(kRetired), ";");
  ExpectTreeConsistent(kProduct, kRetired, "alice");
}

TEST_F(TSDOMLifecycleTest, CreateEmptyTreeBuildsAPublishedTemplateRoot) {
  const int32_t id = InsertTemplateInfo("Paper jam", "When paper <jams> & stops");
  dom->CreateEmptyTree(kTemplate, id);

  EXPECT_EQ(ReadRows(kTemplate, id, false), std::vector<NodeRow>{RootRow(id, ";")});
  EXPECT_TRUE(Snapshot(env).rows["DIAGNOSTICSINFO"].empty());
  EXPECT_EQ(DocumentName(kTemplate, id, false), std::to_string(id) + "_0.xml");
  XmlDoc document = LoadDocument(kTemplate, id, false);
  ASSERT_FALSE(document.IsNull());
  EXPECT_EQ(document.DocumentElement().ChildText("sd"), "Paper jam");
  EXPECT_EQ(document.DocumentElement().ChildText("ld"), "When paper <jams> & stops");
  ExpectTreeConsistent(kTemplate, id, "alice");
}

TEST_F(TSDOMLifecycleTest, CreateEmptyTreeRefusesWithoutWriting) {
  dom->CreateEmptyTree(kProduct, kLaser);
  const Stored before = Snapshot(env);
  const std::string prefix = ReportedPrefix("HXSvcTroubleshooting.TSDOM.CreateEmptyTree");

  // The same product again.
  ErrorInfo e = RaisedBy([&] { dom->CreateEmptyTree(kProduct, kLaser); });
  EXPECT_EQ(e.number, err::TreeAlreadyExists);
  EXPECT_EQ(e.description.rfind(prefix, 0), 0u) << e.description;
  EXPECT_NE(e.description.find("product tree 7"), std::string::npos) << e.description;

  // A product the catalog does not know, a template without its
  // information row, a tree type without tables.
  EXPECT_EQ(RaisedBy([&] { dom->CreateEmptyTree(kProduct, 99); }).number, err::ProductNotFound);
  EXPECT_EQ(RaisedBy([&] { dom->CreateEmptyTree(kTemplate, 999); }).number, err::TemplateInfoNotFound);
  e = RaisedBy([&] { dom->CreateEmptyTree(7, kLaser); });
  EXPECT_EQ(e.number, err::InvalidArgument);
  EXPECT_NE(e.description.find("i_lTreeType"), std::string::npos) << e.description;
  EXPECT_NOTHING_CHANGED(env, before);
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

// Row and document details of both are the tree's own business; here: what
// the caller gets back, and what a refused call leaves.
TEST_F(TSDOMLifecycleTest, CheckOutAndPublishGoThroughTheTree) {
  dom->CreateEmptyTree(kProduct, kLaser);
  EXPECT_EQ(CheckOutFor(kProduct, kLaser, "alice"), "");
  AddCategory(kLaser, "alice");
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  Stored before = Snapshot(env);
  EXPECT_EQ(CheckOutFor(kProduct, kLaser, "bob"), "alice");
  EXPECT_EQ(RaisedBy([&] { CheckOutFor(kProduct, kLaser, " "); }).number, err::InvalidArgument);
  EXPECT_NOTHING_CHANGED(env, before);

  const std::vector<NodeRow> working = ReadRows(kProduct, kLaser, true);
  dom->Publish(kProduct, kLaser);
  EXPECT_EQ(ReadRows(kProduct, kLaser, false), working);
  EXPECT_EQ(CheckOutRecords(kProduct, kLaser), 0);
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // Nothing to publish any more; the published copy stays.
  before = Snapshot(env);
  ErrorInfo e = RaisedBy([&] { dom->Publish(kProduct, kLaser); });
  EXPECT_EQ(e.number, err::NothingToPublish);
  EXPECT_EQ(e.description.rfind(ReportedPrefix("HXSvcTroubleshooting.TSDOM.Publish"), 0), 0u) << e.description;
  EXPECT_EQ(RaisedBy([&] { dom->Publish(0, kLaser); }).number, err::InvalidArgument);
  EXPECT_NOTHING_CHANGED(env, before);
}

TEST_F(TSDOMLifecycleTest, UndoEditTreeRestoresThePublishedState) {
  dom->CreateEmptyTree(kProduct, kLaser);
  const Stored published = WithoutEntities(Snapshot(env));

  CheckOutFor(kProduct, kLaser, "alice");
  const int32_t category = AddCategory(kLaser, "alice");
  dom->AddChildNew(kProduct, kLaser, category, storage::kRepQuestion, "Jammed?", "", ";1;", ";", -1, "alice");

  dom->UndoEditTree(kLaser, kProduct, "alice");
  EXPECT_EQ(WithoutEntities(Snapshot(env)), published);
  EXPECT_TRUE(StagedLeftovers(env).empty());
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // The tree can be checked out afresh.
  EXPECT_EQ(CheckOutFor(kProduct, kLaser, "alice"), "");
  EXPECT_EQ(ReadRows(kProduct, kLaser, true), ReadRows(kProduct, kLaser, false));
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMLifecycleTest, UndoEditTreeLeavesAnotherUsersWorkingCopyAlone) {
  dom->CreateEmptyTree(kProduct, kLaser);
  CheckOutFor(kProduct, kLaser, "alice");
  AddCategory(kLaser, "alice");
  const Stored before = Snapshot(env);

  ErrorInfo e = RaisedBy([&] { dom->UndoEditTree(kLaser, kProduct, "bob"); });
  EXPECT_EQ(e.number, err::CheckedOutByOther);
  EXPECT_NE(e.description.find("checked out by another user"), std::string::npos) << e.description;
  EXPECT_EQ(RaisedBy([&] { dom->UndoEditTree(kLaser, 3, "alice"); }).number, err::InvalidArgument);
  EXPECT_NOTHING_CHANGED(env, before);
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMLifecycleTest, UndoEditTreeOfATreeNobodyHoldsIsRefusedAsNotCheckedOut) {
  dom->CreateEmptyTree(kProduct, kLaser);
  const int32_t templateId = dom->CreateNewTemplateInfo("Paper jam", "", 0);
  dom->CreateEmptyTree(kTemplate, templateId);
  const Stored before = Snapshot(env);

  // No working copy to discard: the library's refusal, not a lookup failure.
  EXPECT_EQ(RaisedBy([&] { dom->UndoEditTree(kLaser, kProduct, "alice"); }).number, err::NotCheckedOut);
  EXPECT_EQ(RaisedBy([&] { dom->UndoEditTree(templateId, kTemplate, "alice"); }).number, err::NotCheckedOut);
  EXPECT_NOTHING_CHANGED(env, before);
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMLifecycleTest, DeleteTreeByTheHolderRemovesEverything) {
  dom->CreateEmptyTree(kProduct, kLaser);
  dom->CreateEmptyTree(kProduct, 8);
  const Stored other = Snapshot(env);
  CheckOutFor(kProduct, kLaser, "alice");
  AddCategory(kLaser, "alice");

  dom->deleteTree(kLaser, kProduct, "alice");
  EXPECT_TRUE(ReadRows(kProduct, kLaser, false).empty());
  EXPECT_TRUE(ReadRows(kProduct, kLaser, true).empty());
  EXPECT_EQ(CheckOutRecords(kProduct, kLaser), 0);
  EXPECT_EQ(ProductInfoVisibility(kLaser), std::nullopt);
  EXPECT_EQ(DocumentName(kProduct, kLaser, false), std::nullopt);
  EXPECT_EQ(DocumentName(kProduct, kLaser, true), std::nullopt);
  EXPECT_FALSE(DocumentExists(kProduct, "7_0.xml", false));
  EXPECT_FALSE(DocumentExists(kProduct, "7_1.xml", true));
  EXPECT_TRUE(StagedLeftovers(env).empty());
  // Product 8 is untouched: its document is all that is left.
  const std::string scanner = "TS/Enduser/Trees/8_0.xml";
  EXPECT_EQ(Snapshot(env).files, (std::map<std::string, std::string>{{scanner, other.files.at(scanner)}}));
  ExpectTreeConsistent(kProduct, 8, "alice");

  // Gone means gone: it can be created again.
  dom->CreateEmptyTree(kProduct, kLaser);
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMLifecycleTest, DeleteTreeOfAPublishedTemplate) {
  const int32_t id = InsertTemplateInfo("Paper jam", "");
  dom->CreateEmptyTree(kTemplate, id);
  const std::string name = std::to_string(id) + "_0.xml";
  ASSERT_TRUE(DocumentExists(kTemplate, name, false));

  // Nobody holds it: anybody may delete it; only the end-user document is
  // there to go.
  dom->deleteTree(id, kTemplate, "bob");
  EXPECT_TRUE(ReadRows(kTemplate, id, false).empty());
  EXPECT_EQ(DocumentName(kTemplate, id, false), std::nullopt);
  EXPECT_FALSE(DocumentExists(kTemplate, name, false));
  EXPECT_EQ(Snapshot(env).rows["TEMPLATEINFO"].size(), 1u);  // the template itself stays
  EXPECT_TRUE(StagedLeftovers(env).empty());
}

TEST_F(TSDOMLifecycleTest, DeleteTreeHeldByAnotherUserIsRefused) {
  dom->CreateEmptyTree(kProduct, kLaser);
  CheckOutFor(kProduct, kLaser, "alice");
  AddCategory(kLaser, "alice");
  const Stored before = Snapshot(env);

  ErrorInfo e = RaisedBy([&] { dom->deleteTree(kLaser, kProduct, "bob"); });
  EXPECT_EQ(e.number, err::CheckedOutByOther);
  EXPECT_EQ(e.source, "");
  EXPECT_EQ(e.description, "The tree or template is checked out by another user");

  e = RaisedBy([&] { dom->deleteTree(kLaser, 9, "alice"); });
  EXPECT_EQ(e.number, err::InvalidArgument);
  EXPECT_EQ(e.description.rfind(ReportedPrefix("HXSvcTroubleShooting.TSDOM.deletetree"), 0), 0u) << e.description;
  EXPECT_EQ(RaisedBy([&] { dom->deleteTree(kLaser, kProduct, ""); }).number, err::InvalidArgument);
  EXPECT_NOTHING_CHANGED(env, before);
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

}  // namespace
}  // namespace tsa::test
