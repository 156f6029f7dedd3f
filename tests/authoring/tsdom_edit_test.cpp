// Node editing through the facade: the whole cycle of a product tree, the
// check-out and child-type rules, content propagation and its failure, and
// argument checks. Every refused or failed call leaves rows and documents
// exactly as they were.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "repository/repository.h"
#include "runtime/components.h"
#include "runtime/registry.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

constexpr int32_t kLaser = 7;    // visibilities 1, 2, 3
constexpr int32_t kScanner = 8;  // visibility 2

constexpr const char* kAddChildNewLabel = "HXSvcTroubleshooting.TSDOM.AddChildNew";
constexpr const char* kAddChildFromRepLabel = "HXSvcTroubleshooting.TSDOM.AddChildFromRep";
constexpr const char* kSaveNodeLabel = "HXSvcTroubleshooting.TSDOM.SaveNode";
constexpr const char* kDeleteNodeLabel = "HXSvcTroubleshooting.TSDOM.DeleteNode";
constexpr const char* kMoveNodeLabel = "HXSvcTroubleshooting.TSDOM.MoveNode";

// The file-handling service, except that it cannot name the documents of one
// tree.
class FileHandlingFailingFor : public FileHandling {
 public:
  explicit FileHandlingFailingFor(int32_t id) : id_(id) {}
  FileNameDict GetFileNames(int32_t id, const std::vector<int32_t>& categories) override {
    if (id == id_) Raise(err::PermissionDenied, "test", "the documents of this tree cannot be named");
    return FileHandling::GetFileNames(id, categories);
  }

 private:
  int32_t id_;
};

// The element of a node in a document.
XmlElement ElementOf(const XmlDoc& document, int32_t nodeId) {
  return document.SelectSingleNode("//Node[@NID='" + std::to_string(nodeId) + "']");
}

class TSDOMEditTest : public TreeTest {
 protected:
  TSDOMEditTest() { LoadTestCatalog(env); }

  // A product tree created and checked out by the facade.
  void CreateAndCheckOut(int32_t id, const std::string& user) {
    dom->CreateEmptyTree(kProduct, id);
    std::string owner = "unset";
    dom->CheckOut(kProduct, id, user, owner);
    ASSERT_EQ(owner, "");
  }
  int32_t AddCategory(int32_t id, const std::string& user) {
    return dom->AddChildNew(kProduct, id, 0, storage::kRepCategory, "Paper", "Paper problems", ";1;2;", ";", -1,
                            user);
  }
  // The description of an error as the member's handler reports it.
  static void ExpectReported(const ErrorInfo& e, int32_t number, const std::string& label) {
    EXPECT_EQ(e.number, number) << e.description;
    EXPECT_EQ(e.description.rfind(ReportedPrefix(label), 0), 0u) << e.description;
  }

  TSDOMPtr dom = CreateTSDOMObject();
};

TEST_F(TSDOMEditTest, TheWholeCycleKeepsRowsAndDocumentsTogether) {
  CreateAndCheckOut(kLaser, "alice");
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  const int32_t category = AddCategory(kLaser, "alice");
  EXPECT_EQ(category, 1);
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  const int32_t question = dom->AddChildNew(kProduct, kLaser, category, storage::kRepQuestion, "Is paper <jammed>?",
                                            "Look & see", ";1;", ";5;", -1, "alice");
  EXPECT_EQ(question, 2);
  const int32_t entity = ReadRow(kProduct, kLaser, question, true)->repId;
  EXPECT_EQ(ReadRow(kProduct, kLaser, question, true),
            (NodeRow{kLaser, question, storage::kRepQuestion, entity, 2, 1, category, ";0;1;", ";1;", ";5;", -1}));
  EXPECT_EQ(RepEntity(storage::kRepQuestion, entity), std::make_pair(std::string("Is paper <jammed>?"),
                                                                     std::string("Look & see")));
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // A second node showing the same entity, linking to the first.
  const int32_t twin =
      dom->AddChildFromRep(kProduct, kLaser, category, storage::kRepQuestion, entity, ";2;", ";", question, "alice");
  EXPECT_EQ(twin, 3);
  EXPECT_EQ(ReadRow(kProduct, kLaser, twin, true)->repId, entity);
  EXPECT_EQ(ReadRow(kProduct, kLaser, twin, true)->hyperlink, question);
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // Another product, published, shows the entity too.
  CreateAndCheckOut(kScanner, "alice");
  const int32_t scannerCategory = AddCategory(kScanner, "alice");
  const int32_t scannerQuestion = dom->AddChildFromRep(kProduct, kScanner, scannerCategory, storage::kRepQuestion,
                                                       entity, ";2;", ";", -1, "alice");
  dom->Publish(kProduct, kScanner);
  ExpectTreeConsistent(kProduct, kScanner, "alice");

  // Without propagation the node gets an entity of its own; the others keep
  // the old texts.
  dom->SaveNode(kProduct, kLaser, twin, entity, "Is paper stuck?", "Look & see", false, ";2;", false, ";", question,
                "alice");
  const int32_t ownEntity = ReadRow(kProduct, kLaser, twin, true)->repId;
  EXPECT_NE(ownEntity, entity);
  EXPECT_EQ(RepEntity(storage::kRepQuestion, entity)->first, "Is paper <jammed>?");
  EXPECT_EQ(RepEntity(storage::kRepQuestion, ownEntity)->first, "Is paper stuck?");
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // With propagation the entity changes, and so does every document that
  // shows it, the published scanner tree included.
  dom->SaveNode(kProduct, kLaser, question, entity, "Is the paper jammed?", "Open the tray", true, ";1;2;", true,
                ";5;", -1, "alice");
  EXPECT_EQ(RepEntity(storage::kRepQuestion, entity),
            std::make_pair(std::string("Is the paper jammed?"), std::string("Open the tray")));
  EXPECT_EQ(ReadRow(kProduct, kLaser, question, true)->visibility, ";1;2;");
  ExpectTreeConsistent(kProduct, kLaser, "alice");
  XmlDoc scanner = LoadDocument(kProduct, kScanner, false);
  ASSERT_FALSE(scanner.IsNull());
  EXPECT_EQ(ElementOf(scanner, scannerQuestion).ChildText("sd"), "Is the paper jammed?");
  ExpectTreeConsistent(kProduct, kScanner, "alice");

  // The twin moves up, before the question.
  dom->MoveNode(kProduct, kLaser, twin, 1, "alice");
  EXPECT_EQ(ReadRow(kProduct, kLaser, twin, true)->sequence, 1);
  EXPECT_EQ(ReadRow(kProduct, kLaser, question, true)->sequence, 2);
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // Deleting the question answers its parent; the twin's link goes.
  EXPECT_EQ(dom->DeleteNode(kProduct, kLaser, question, "alice"), category);
  EXPECT_EQ(ReadRow(kProduct, kLaser, question, true), std::nullopt);
  EXPECT_EQ(ReadRow(kProduct, kLaser, twin, true)->hyperlink, -1);
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  const std::vector<NodeRow> working = ReadRows(kProduct, kLaser, true);
  dom->Publish(kProduct, kLaser);
  EXPECT_EQ(ReadRows(kProduct, kLaser, false), working);
  EXPECT_EQ(CheckOutRecords(kProduct, kLaser), 0);
  ExpectTreeConsistent(kProduct, kLaser, "alice");
  EXPECT_TRUE(StagedLeftovers(env).empty());
}

TEST_F(TSDOMEditTest, OnlyTheHolderEdits) {
  dom->CreateEmptyTree(kProduct, kLaser);
  const Stored published = Snapshot(env);

  // Nobody holds the tree, then bob does: alice edits nothing either way.
  for (int round = 0; round < 2; ++round) {
    const Stored before = Snapshot(env);
    ExpectReported(RaisedBy([&] {
                     dom->AddChildNew(kProduct, kLaser, 0, storage::kRepCategory, "x", "", ";", ";", -1, "alice");
                   }),
                   err::NotCheckedOut, kAddChildNewLabel);
    ExpectReported(RaisedBy([&] {
                     dom->AddChildFromRep(kProduct, kLaser, 0, storage::kRepCategory, 1, ";", ";", -1, "alice");
                   }),
                   err::NotCheckedOut, kAddChildFromRepLabel);
    ExpectReported(RaisedBy([&] {
                     dom->SaveNode(kProduct, kLaser, 0, 0, "x", "", false, ";", false, ";", -1, "alice");
                   }),
                   err::NotCheckedOut, kSaveNodeLabel);
    ExpectReported(RaisedBy([&] { dom->DeleteNode(kProduct, kLaser, 1, "alice"); }), err::NotCheckedOut,
                   kDeleteNodeLabel);
    ExpectReported(RaisedBy([&] { dom->MoveNode(kProduct, kLaser, 1, 1, "alice"); }), err::NotCheckedOut,
                   kMoveNodeLabel);
    EXPECT_NOTHING_CHANGED(env, before);

    std::string owner;
    dom->CheckOut(kProduct, kLaser, "bob", owner);
    AddCategory(kLaser, "bob");
  }
  EXPECT_EQ(published.rows.at("DIAGNOSTICS"), Snapshot(env).rows.at("DIAGNOSTICS"));
  ExpectTreeConsistent(kProduct, kLaser, "bob");
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMEditTest, ChildTypeRule) {
  CreateAndCheckOut(kLaser, "alice");
  const int32_t category = AddCategory(kLaser, "alice");
  const Stored before = Snapshot(env);

  // Questions do not stand directly under a product's root, categories only
  // there.
  ExpectReported(RaisedBy([&] {
                   dom->AddChildNew(kProduct, kLaser, 0, storage::kRepQuestion, "q", "", ";", ";", -1, "alice");
                 }),
                 err::ChildTypeNotAllowed, kAddChildNewLabel);
  ExpectReported(RaisedBy([&] {
                   dom->AddChildFromRep(kProduct, kLaser, category, storage::kRepCategory,
                                        ReadRow(kProduct, kLaser, category, true)->repId, ";", ";", -1, "alice");
                 }),
                 err::ChildTypeNotAllowed, kAddChildFromRepLabel);
  ExpectReported(RaisedBy([&] {
                   dom->AddChildNew(kProduct, kLaser, category, 9, "q", "", ";", ";", -1, "alice");
                 }),
                 err::ChildTypeNotAllowed, kAddChildNewLabel);
  EXPECT_NOTHING_CHANGED(env, before);

  // A template's top level takes the kind of its first node.
  const int32_t templateId = CreateTemplate("Paper jam", "");
  std::string owner;
  dom->CheckOut(kTemplate, templateId, "alice", owner);
  const int32_t top = dom->AddChildNew(kTemplate, templateId, 0, storage::kRepQuestion, "Jammed?", "", ";1;", ";",
                                       -1, "alice");
  const Stored withTop = Snapshot(env);
  ExpectReported(RaisedBy([&] {
                   dom->AddChildNew(kTemplate, templateId, 0, storage::kRepCategory, "c", "", ";", ";", -1, "alice");
                 }),
                 err::ChildTypeNotAllowed, kAddChildNewLabel);
  EXPECT_NOTHING_CHANGED(env, withTop);
  dom->AddChildNew(kTemplate, templateId, 0, storage::kRepAction, "Open the tray", "", ";3;", ";", -1, "alice");
  dom->AddChildNew(kTemplate, templateId, top, storage::kRepAnswer, "Yes", "", ";1;", ";", -1, "alice");
  EXPECT_EQ(ReadRow(kTemplate, templateId, 0, true)->visibility, ";1;3;");
  ExpectTreeConsistent(kTemplate, templateId, "alice");
}

TEST_F(TSDOMEditTest, SaveNodeWithoutChangesWritesNothing) {
  CreateAndCheckOut(kLaser, "alice");
  const int32_t category = AddCategory(kLaser, "alice");
  const int32_t entity = ReadRow(kProduct, kLaser, category, true)->repId;
  const Stored before = Snapshot(env);

  // The same values (texts compared without surrounding blanks).
  dom->SaveNode(kProduct, kLaser, category, entity, " Paper ", "Paper problems", true, ";1;2;", true, ";", -1,
                "alice");
  EXPECT_NOTHING_CHANGED(env, before);
}

TEST_F(TSDOMEditTest, FailedPropagationTakesTheSaveBack) {
  CreateAndCheckOut(kScanner, "alice");
  const int32_t scannerCategory = AddCategory(kScanner, "alice");
  const int32_t scannerQuestion = dom->AddChildNew(kProduct, kScanner, scannerCategory, storage::kRepQuestion,
                                                   "Lid closed?", "", ";2;", ";", -1, "alice");
  const int32_t entity = ReadRow(kProduct, kScanner, scannerQuestion, true)->repId;
  dom->Publish(kProduct, kScanner);

  CreateAndCheckOut(kLaser, "alice");
  const int32_t category = AddCategory(kLaser, "alice");
  const int32_t question = dom->AddChildFromRep(kProduct, kLaser, category, storage::kRepQuestion, entity, ";1;",
                                                ";", -1, "alice");
  const Stored before = Snapshot(env);

  {
    // The scanner's documents cannot be reached while the texts propagate.
    ScopedRegistration failing(progid::FileHandling,
                               [] { return std::make_shared<FileHandlingFailingFor>(kScanner); });
    ErrorInfo e = RaisedBy([&] {
      dom->SaveNode(kProduct, kLaser, question, entity, "Is the lid closed?", "Press it down", true, ";1;2;", false,
                    ";", -1, "alice");
    });
    ExpectReported(e, err::PropagationFailed, kSaveNodeLabel);
  }
  EXPECT_NOTHING_CHANGED(env, before);
  EXPECT_EQ(RepEntity(storage::kRepQuestion, entity)->first, "Lid closed?");
  ExpectTreeConsistent(kProduct, kLaser, "alice");
  ExpectTreeConsistent(kProduct, kScanner, "alice");

  // Without propagation the failing service is never asked about the
  // scanner.
  ScopedRegistration failing(progid::FileHandling, [] { return std::make_shared<FileHandlingFailingFor>(kScanner); });
  dom->SaveNode(kProduct, kLaser, question, entity, "Is the lid closed?", "Press it down", false, ";1;", false, ";",
                -1, "alice");
  EXPECT_NE(ReadRow(kProduct, kLaser, question, true)->repId, entity);
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMEditTest, FailuresBelowRollEverythingBack) {
  CreateAndCheckOut(kLaser, "alice");
  const int32_t category = AddCategory(kLaser, "alice");
  const Stored before = Snapshot(env);

  // No such parent: the tree's error, reported once more by the member.
  ErrorInfo e = RaisedBy(
      [&] { dom->AddChildNew(kProduct, kLaser, 99, storage::kRepQuestion, "q", "", ";", ";", -1, "alice"); });
  ExpectReported(e, err::NodeNotFound, kAddChildNewLabel);
  EXPECT_NE(e.description.find("METHOD: HXSvcTroubleshooting.Tree.getNode caught: "), std::string::npos);
  // No such entity, and the root cannot go.
  ExpectReported(RaisedBy([&] {
                   dom->AddChildFromRep(kProduct, kLaser, category, storage::kRepQuestion, 999, ";", ";", -1,
                                        "alice");
                 }),
                 err::RepEntityNotFound, kAddChildFromRepLabel);
  ExpectReported(RaisedBy([&] { dom->DeleteNode(kProduct, kLaser, 0, "alice"); }), err::CannotDeleteRoot,
                 kDeleteNodeLabel);
  EXPECT_NOTHING_CHANGED(env, before);
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMEditTest, ArgumentsAreCheckedBeforeAnythingIsWritten) {
  CreateAndCheckOut(kLaser, "alice");
  const int32_t category = AddCategory(kLaser, "alice");
  const Stored before = Snapshot(env);

  auto expectNamed = [](const ErrorInfo& e, int32_t number, const std::string& argument) {
    EXPECT_EQ(e.number, number) << e.description;
    EXPECT_NE(e.description.find(argument), std::string::npos) << e.description;
  };
  // A tree type without tables.
  expectNamed(RaisedBy([&] {
                dom->AddChildNew(7, kLaser, category, storage::kRepQuestion, "q", "", ";", ";", -1, "alice");
              }),
              err::InvalidArgument, "i_lTreeType");
  expectNamed(RaisedBy([&] { dom->AddChildFromRep(0, kLaser, category, 2, 1, ";", ";", -1, "alice"); }),
              err::InvalidArgument, "i_lTreeType");
  expectNamed(RaisedBy([&] { dom->SaveNode(3, kLaser, category, 1, "x", "", false, ";", false, ";", -1, "alice"); }),
              err::InvalidArgument, "i_lTreeType");
  expectNamed(RaisedBy([&] { dom->DeleteNode(-1, kLaser, category, "alice"); }), err::InvalidArgument, "i_lTreeType");
  expectNamed(RaisedBy([&] { dom->MoveNode(5, kLaser, category, 1, "alice"); }), err::InvalidArgument, "i_lTreeType");
  // Visibility lists that are not lists (an apostrophe would reach SQL).
  expectNamed(RaisedBy([&] {
                dom->AddChildNew(kProduct, kLaser, category, 2, "q", "", "1;2", ";", -1, "alice");
              }),
              err::InvalidVisibilityList, "i_sVisibilities");
  expectNamed(RaisedBy([&] {
                dom->SaveNode(kProduct, kLaser, category, 1, "x", "", false, ";1';", false, ";", -1, "alice");
              }),
              err::InvalidVisibilityList, "i_sVisibilities");
  // No user.
  expectNamed(RaisedBy([&] {
                dom->AddChildNew(kProduct, kLaser, category, 2, "q", "", ";", ";", -1, "");
              }),
              err::InvalidArgument, "i_sUserId");
  expectNamed(RaisedBy([&] { dom->MoveNode(kProduct, kLaser, category, 1, std::string("al\nice")); }),
              err::InvalidArgument, "i_sUserId");
  EXPECT_NOTHING_CHANGED(env, before);
}

}  // namespace
}  // namespace tsa::test
