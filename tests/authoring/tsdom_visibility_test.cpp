// Visibility synchronisation through the facade: the list helpers, and a
// product tree's working copy (rows and manager document) following the
// catalog.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "components/file_handling.h"
#include "platform/files/document_store.h"
#include "runtime/dispatch.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

constexpr int32_t kLaser = 7;    // visibilities 1, 2, 3
constexpr int32_t kRetired = 20;  // no visibility
constexpr const char* kSyncTreeLabel = "HXSvcTroubleshooting.Tree.SynchronizeVisibilitiesforTree";
constexpr const char* kSyncXmlLabel = "HXSvcTroubleshooting.Tree.AddVisibilitiestoXML";
constexpr const char* kRootLabel = "HXSvcTroubleshooting.Tree.UpdateVisibilitiesForRootNode";

StringDict Dict(std::initializer_list<std::pair<std::string, std::string>> entries) {
  StringDict d;
  for (const auto& [key, item] : entries) d.Add(key, item);
  return d;
}

class TSDOMVisibilityTest : public TreeTest {
 protected:
  TSDOMVisibilityTest() { LoadTestCatalog(env); }

  // Product 7 checked out by alice: the root (;1;2;3;), a category (;1;2;),
  // a question below it without a list (;) and an answer below that
  // (;2;3;).
  void BuildLaser() {
    dom->CreateEmptyTree(kProduct, kLaser);
    std::string owner;
    dom->CheckOut(kProduct, kLaser, "alice", owner);
    category = dom->AddChildNew(kProduct, kLaser, 0, storage::kRepCategory, "Paper", "", ";1;2;", ";", -1, "alice");
    question =
        dom->AddChildNew(kProduct, kLaser, category, storage::kRepQuestion, "Jammed?", "", ";", ";", -1, "alice");
    answer = dom->AddChildNew(kProduct, kLaser, question, storage::kRepAnswer, "Yes", "", ";2;3;", ";", -1, "alice");
  }

  // Node -> list, in the working rows and in the manager document; both
  // must agree.
  std::map<int32_t, std::string> Lists(int32_t id) {
    std::map<int32_t, std::string> rows;
    for (const NodeRow& row : ReadRows(kProduct, id, true)) rows[row.nodeId] = row.visibility;
    std::map<int32_t, std::string> elements;
    XmlDoc document = LoadDocument(kProduct, id, true);
    if (!document.IsNull()) {
      for (const XmlElement& e : document.SelectNodes("//Node")) {
        elements[std::stoi(*e.GetAttribute("NID"))] = e.GetAttribute("VISB").value_or("(none)");
      }
    }
    EXPECT_EQ(rows, elements) << "rows and document disagree";
    return rows;
  }

  TSDOMPtr dom = CreateTSDOMObject();
  int32_t category = 0;
  int32_t question = 0;
  int32_t answer = 0;
};

TEST_F(TSDOMVisibilityTest, ListHelpersCompareEntriesAsNumbers) {
  // Removing one entry: the argument's own text goes, every occurrence.
  EXPECT_EQ(dom->SearchVisibilityandUpdate(";3;5;8;", "5"), ";3;8;");
  EXPECT_EQ(dom->SearchVisibilityandUpdate(";", "5"), ";");
  EXPECT_EQ(dom->SearchVisibilityandUpdate(";3;8;", "5"), ";3;8;");
  EXPECT_EQ(dom->SearchVisibilityandUpdate(";05;8;", "5"), ";05;8;");  // equal in value, but ";5;" is not there
  EXPECT_EQ(dom->SearchVisibilityandUpdate(";05;8;", "05"), ";8;");
  EXPECT_EQ(dom->SearchVisibilityandUpdate(";5;5;5;", "5"), ";");
  EXPECT_EQ(dom->SearchVisibilityandUpdate("", "5"), "");

  // Adding one entry: always sorted by value, never de-duplicated.
  EXPECT_EQ(dom->AppendVisibilityInOrder(";8;3;", "5"), ";3;5;8;");
  EXPECT_EQ(dom->AppendVisibilityInOrder(";", "5"), ";5;");
  EXPECT_EQ(dom->AppendVisibilityInOrder(";5;", "5"), ";5;5;");
  EXPECT_EQ(dom->AppendVisibilityInOrder("", "5"), ";");
  EXPECT_EQ(dom->AppendVisibilityInOrder(";10;9;", "2"), ";2;9;10;");

  // Entries and arguments that are not 32-bit integers are refused by name.
  struct Bad {
    std::function<void()> call;
    int32_t number;
    const char* argument;
  };
  for (const Bad& bad : {
           Bad{[&] { dom->SearchVisibilityandUpdate(";3;", "x"); }, err::InvalidArgument, "sVisibility"},
           Bad{[&] { dom->SearchVisibilityandUpdate(";a;", "3"); }, err::InvalidVisibilityList, "sVisArray"},
           Bad{[&] { dom->AppendVisibilityInOrder(";3;", "5;6"); }, err::InvalidArgument, "sVisibility"},
           Bad{[&] { dom->AppendVisibilityInOrder(";3;", "2147483648"); }, err::InvalidArgument, "sVisibility"},
           Bad{[&] { dom->AppendVisibilityInOrder(";99999999999;", "1"); }, err::InvalidVisibilityList, "sTempArr"},
       }) {
    ErrorInfo e = RaisedBy(bad.call);
    EXPECT_EQ(e.number, bad.number) << e.description;
    EXPECT_NE(e.description.find(bad.argument), std::string::npos) << e.description;
  }
}

TEST_F(TSDOMVisibilityTest, AdditionsGoToTheRootOrToEveryNode) {
  BuildLaser();

  // Only the root, in its row and its element; an unknown item is ignored.
  dom->SynchronizeVisibilitiesforTree(0, kLaser, Dict({{"7", "Root"}, {"9", "Branch"}}), {});
  EXPECT_EQ(Lists(kLaser), (std::map<int32_t, std::string>{
                               {0, ";1;2;3;7;"}, {category, ";1;2;"}, {question, ";"}, {answer, ";2;3;"}}));
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // Every node, also the one without a list, each list kept in order.
  dom->SynchronizeVisibilitiesforTree(0, kLaser, Dict({{"7", "Tree"}}), {});
  EXPECT_EQ(Lists(kLaser), (std::map<int32_t, std::string>{
                               {0, ";1;2;3;7;7;"}, {category, ";1;2;7;"}, {question, ";7;"}, {answer, ";2;3;7;"}}));
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // The published copy is not the catalog's concern here.
  EXPECT_EQ(ReadRow(kProduct, kLaser, 0, false)->visibility, ";1;2;3;");
  EXPECT_TRUE(StagedLeftovers(env).empty());
}

TEST_F(TSDOMVisibilityTest, AnEmptyTextListTakesAdditionsLikeTheEmptyList) {
  BuildLaser();
  // A node saved with "" for its list.
  const int32_t action =
      dom->AddChildNew(kProduct, kLaser, answer, storage::kRepAction, "Open the lid", "", "", ";", -1, "alice");
  ASSERT_EQ(ReadRow(kProduct, kLaser, action, true)->visibility, "");

  // Removing leaves it as it is; adding to every node reaches it too.
  dom->SynchronizeVisibilitiesforTree(0, kLaser, Dict({{"7", "Tree"}}), Dict({{"2", ""}}));
  EXPECT_EQ(Lists(kLaser), (std::map<int32_t, std::string>{{0, ";1;3;7;"},
                                                           {category, ";1;7;"},
                                                           {question, ";7;"},
                                                           {answer, ";3;7;"},
                                                           {action, ";7;"}}));
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMVisibilityTest, ABlankListTakesAdditionsAndDeletionsLikeTheEmptyList) {
  BuildLaser();
  SetWorkingList(kProduct, kLaser, question, " ");

  // Nothing to remove from it; every addition reaches it as a list.
  dom->SynchronizeVisibilitiesforTree(0, kLaser, Dict({{"7", "Tree"}}), Dict({{"2", ""}}));
  EXPECT_EQ(Lists(kLaser), (std::map<int32_t, std::string>{
                               {0, ";1;3;7;"}, {category, ";1;7;"}, {question, ";7;"}, {answer, ";3;7;"}}));
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // Deletions alone leave it as it was.
  SetWorkingList(kProduct, kLaser, question, " ");
  dom->SynchronizeVisibilitiesforTree(0, kLaser, {}, Dict({{"7", ""}}));
  EXPECT_EQ(Lists(kLaser), (std::map<int32_t, std::string>{
                               {0, ";1;3;"}, {category, ";1;"}, {question, " "}, {answer, ";3;"}}));
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMVisibilityTest, DeletionsLeaveNodesWithoutAList) {
  BuildLaser();

  dom->SynchronizeVisibilitiesforTree(0, kLaser, {}, Dict({{"2", ""}}));
  EXPECT_EQ(Lists(kLaser), (std::map<int32_t, std::string>{
                               {0, ";1;3;"}, {category, ";1;"}, {question, ";"}, {answer, ";3;"}}));
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // Deletions first, then additions, in one call; through the interface by
  // name, with the dictionaries as objects.
  nlohmann::json result = CallByName(
      *dom, "SynchronizeVisibilitiesforTree",
      {{"lProductCat", 10}, {"lproductId", kLaser}, {"oAddVisibility", {{"4", "Tree"}, {"3", "Root"}}},
       {"oDeletevisibility", {{"3", ""}, {"1", ""}}}});
  EXPECT_TRUE(result.is_null());
  EXPECT_EQ(Lists(kLaser), (std::map<int32_t, std::string>{
                               {0, ";3;4;"}, {category, ";4;"}, {question, ";4;"}, {answer, ";4;"}}));
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMVisibilityTest, ATreeThatIsNotCheckedOutIsLeftAlone) {
  dom->CreateEmptyTree(kProduct, kLaser);
  const Stored before = Snapshot(env);

  dom->SynchronizeVisibilitiesforTree(0, kLaser, Dict({{"7", "Tree"}}), Dict({{"1", ""}}));
  EXPECT_EQ(CallByName(*dom, "UpdateVisibilitiesForRootNode", {{"lproductId", kLaser}, {"i_sVisibilities", ";5;"}}),
            nlohmann::json(false));
  EXPECT_NOTHING_CHANGED(env, before);
}

TEST_F(TSDOMVisibilityTest, ANewRootListReplacesEveryList) {
  BuildLaser();

  // The root and every node that had a list carry exactly the new list.
  EXPECT_EQ(CallByName(*dom, "UpdateVisibilitiesForRootNode", {{"lproductId", kLaser}, {"i_sVisibilities", ";1;4;"}}),
            nlohmann::json(false));
  EXPECT_EQ(Lists(kLaser), (std::map<int32_t, std::string>{
                               {0, ";1;4;"}, {category, ";1;4;"}, {question, ";"}, {answer, ";1;4;"}}));
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // A root without a list gets one too, in its row as in its element.
  dom->CreateEmptyTree(kProduct, kRetired);
  std::string owner;
  dom->CheckOut(kProduct, kRetired, "bob", owner);
  const int32_t node =
      dom->AddChildNew(kProduct, kRetired, 0, storage::kRepCategory, "Desk", "", ";", ";", -1, "bob");
  dom->UpdateVisibilitiesForRootNode(kRetired, ";2;");
  EXPECT_EQ(Lists(kRetired), (std::map<int32_t, std::string>{{0, ";2;"}, {node, ";"}}));
  ExpectTreeConsistent(kProduct, kRetired, "bob");
}

TEST_F(TSDOMVisibilityTest, RefusalsAndFailuresChangeNothing) {
  BuildLaser();
  const Stored before = Snapshot(env);

  // Keys that are no visibility identifiers, a list that is no list.
  ErrorInfo e = RaisedBy([&] { dom->SynchronizeVisibilitiesforTree(0, kLaser, Dict({{"7';--", "Tree"}}), {}); });
  EXPECT_EQ(e.number, err::InvalidArgument);
  EXPECT_EQ(e.description.rfind(ReportedPrefix(kSyncTreeLabel), 0), 0u) << e.description;
  EXPECT_NE(e.description.find("oAddVisibility"), std::string::npos) << e.description;
  e = RaisedBy([&] { dom->SynchronizeVisibilitiesInXML(kLaser, Dict({{"x", ""}}), {}); });
  EXPECT_EQ(e.number, err::InvalidArgument);
  EXPECT_NE(e.description.find("oDeletevisibility"), std::string::npos) << e.description;
  e = RaisedBy([&] { dom->UpdateVisibilitiesForRootNode(kLaser, ";1;<2>;"); });
  EXPECT_EQ(e.number, err::InvalidVisibilityList);
  EXPECT_EQ(e.description.rfind(ReportedPrefix(kRootLabel), 0), 0u) << e.description;
  EXPECT_NOTHING_CHANGED(env, before);

  // The manager document is gone: the rows were changed first, and roll
  // back with the failure.
  const std::string path = DocumentPath(kProduct, *DocumentName(kProduct, kLaser, true), true);
  const std::string markup = DocumentStore()->Load(path);
  DocumentStore()->Delete(path);
  const Stored withoutDocument = Snapshot(env);
  e = RaisedBy([&] { dom->SynchronizeVisibilitiesforTree(0, kLaser, Dict({{"5", "Tree"}}), Dict({{"1", ""}})); });
  EXPECT_EQ(e.number, err::TreeLoadFailed);
  EXPECT_EQ(e.description.rfind(ReportedPrefix(kSyncTreeLabel), 0), 0u) << e.description;
  EXPECT_NE(e.description.find(ReportedPrefix(kSyncXmlLabel)), std::string::npos) << e.description;
  EXPECT_NE(e.description.find("Additional information: "), std::string::npos) << e.description;
  EXPECT_EQ(RaisedBy([&] { dom->UpdateVisibilitiesForRootNode(kLaser, ";1;"); }).number, err::TreeLoadFailed);
  EXPECT_NOTHING_CHANGED(env, withoutDocument);

  DocumentStore()->Save(path, markup);
  EXPECT_NOTHING_CHANGED(env, before);
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMVisibilityTest, WebFarmStartsFromTheSharedCopyAndUpdatesIt) {
  TestEnv::UseDocumentFiles();  // with the documents in the database the shared copy is never read
  BuildLaser();
  const std::string shared = env.DataDir() + "/shared";
  const std::string name = *DocumentName(kProduct, kLaser, true);
  const std::string sharedPath = SharedDocumentPath(shared, name, storage::kCategoryProductManager, kProduct);
  // The document is only in the shared location: it must be fetched first.
  const std::string localPath = DocumentPath(kProduct, name, true);
  DocumentStore()->Save(sharedPath, DocumentStore()->Load(localPath));
  DocumentStore()->Delete(localPath);
  SetParameter("Webfarm Implemented", "True");
  SetParameter("FTPPath", shared);

  dom->SynchronizeVisibilitiesforTree(0, kLaser, Dict({{"6", "Root"}}), {});
  EXPECT_EQ(Lists(kLaser)[0], ";1;2;3;6;");
  // The change is in the shared copy as well, so the next load there keeps it.
  ASSERT_TRUE(DocumentStore()->Exists(sharedPath));
  EXPECT_EQ(DocumentStore()->Load(sharedPath), DocumentStore()->Load(localPath));

  dom->UpdateVisibilitiesForRootNode(kLaser, ";2;");
  EXPECT_EQ(Lists(kLaser)[0], ";2;");
  EXPECT_EQ(DocumentStore()->Load(sharedPath), DocumentStore()->Load(localPath));
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

}  // namespace
}  // namespace tsa::test
