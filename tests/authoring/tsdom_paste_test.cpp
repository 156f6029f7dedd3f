// Cross-tree paste through the facade: within one tree, across trees, from
// a source the user holds (its working copy) and from one the user does not
// (its published copy); the visibilities offered for a paste; and pastes
// that must change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

constexpr int32_t kLaser = 7;    // visibilities 1, 2, 3
constexpr int32_t kScanner = 8;  // visibility 2

constexpr const char* kPasteLabel = "HXSvcTroubleshooting.TSDOM.Paste";
constexpr const char* kCompareLabel = "HXSvcTroubleshooting.TSDOM.CompareVisibilities";

// The sd texts of a node's child elements, in document order.
std::vector<std::string> ChildTexts(int32_t treeType, int32_t id, bool manager, int32_t nodeId) {
  std::vector<std::string> texts;
  XmlDoc document = LoadDocument(treeType, id, manager);
  if (document.IsNull()) return texts;
  XmlElement parent = document.SelectSingleNode("//Node[@NID='" + std::to_string(nodeId) + "']");
  if (parent.IsNull()) return texts;
  for (const XmlElement& child : parent.SelectNodes("./Node")) texts.push_back(child.ChildText("sd"));
  return texts;
}

class TSDOMPasteTest : public TreeTest {
 protected:
  TSDOMPasteTest() { LoadTestCatalog(env); }

  void CreateAndCheckOut(int32_t id, const std::string& user) {
    dom->CreateEmptyTree(kProduct, id);
    std::string owner = "unset";
    dom->CheckOut(kProduct, id, user, owner);
    ASSERT_EQ(owner, "");
  }
  int32_t Add(int32_t id, int32_t parent, int32_t repType, const std::string& sd, const std::string& visibilities,
              const std::string& user) {
    return dom->AddChildNew(kProduct, id, parent, repType, sd, sd + " in detail", visibilities, ";", -1, user);
  }
  static void ExpectReported(const ErrorInfo& e, int32_t number, const std::string& label) {
    EXPECT_EQ(e.number, number) << e.description;
    EXPECT_EQ(e.description.rfind(ReportedPrefix(label), 0), 0u) << e.description;
  }

  TSDOMPtr dom = CreateTSDOMObject();
};

TEST_F(TSDOMPasteTest, WithinOneTree) {
  CreateAndCheckOut(kLaser, "alice");
  const int32_t paper = Add(kLaser, 0, storage::kRepCategory, "Paper", ";1;2;", "alice");
  const int32_t jammed = Add(kLaser, paper, storage::kRepQuestion, "Jammed?", ";1;", "alice");
  Add(kLaser, jammed, storage::kRepAnswer, "Yes", ";1;", "alice");
  const int32_t toner = Add(kLaser, 0, storage::kRepCategory, "Toner", ";1;3;", "alice");
  const std::vector<NodeRow> before = ReadRows(kProduct, kLaser, true);

  EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kLaser, jammed, kProduct, kLaser, toner, "alice"), ";3;");
  dom->Paste(kProduct, kLaser, jammed, kProduct, kLaser, toner, ";3;", "alice");

  // The copy is the last child of Toner, with the chosen entry; the
  // original stays where it was.
  const std::vector<NodeRow> after = ReadRows(kProduct, kLaser, true);
  ASSERT_EQ(after.size(), before.size() + 2);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
  const NodeRow copy = after[before.size()];
  EXPECT_EQ(copy, (NodeRow{kLaser, copy.nodeId, storage::kRepQuestion, ReadRow(kProduct, kLaser, jammed, true)->repId,
                           2, 1, toner, ";0;" + std::to_string(toner) + ";", ";1;3;", ";", -1}));
  EXPECT_EQ(after.back().parentId, copy.nodeId);
  EXPECT_EQ(after.back().visibility, ";1;3;");
  EXPECT_EQ(ChildTexts(kProduct, kLaser, true, toner), std::vector<std::string>{"Jammed?"});
  EXPECT_EQ(ChildTexts(kProduct, kLaser, true, paper), std::vector<std::string>{"Jammed?"});
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // A node pasted below its own descendant is copied, not moved.
  dom->Paste(kProduct, kLaser, paper, kProduct, kLaser, jammed, ";", "alice");
  EXPECT_EQ(ChildTexts(kProduct, kLaser, true, jammed), (std::vector<std::string>{"Yes", "Paper"}));
  ExpectTreeConsistent(kProduct, kLaser, "alice");
  EXPECT_TRUE(StagedLeftovers(env).empty());
}

TEST_F(TSDOMPasteTest, AcrossTreesTheSourceAsTheUserSeesIt) {
  // The scanner tree: published with one question, then bob checks it out
  // and adds an unpublished answer.
  CreateAndCheckOut(kScanner, "bob");
  const int32_t feeder = Add(kScanner, 0, storage::kRepCategory, "Feeder", ";2;", "bob");
  const int32_t skewed = Add(kScanner, feeder, storage::kRepQuestion, "Skewed?", ";2;", "bob");
  dom->Publish(kProduct, kScanner);
  std::string owner;
  dom->CheckOut(kProduct, kScanner, "bob", owner);
  Add(kScanner, skewed, storage::kRepAnswer, "Unpublished", ";2;", "bob");

  CreateAndCheckOut(kLaser, "alice");
  const int32_t paper = Add(kLaser, 0, storage::kRepCategory, "Paper", ";1;2;", "alice");

  // alice does not hold the scanner tree: the published copy, without the
  // answer.
  EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kScanner, skewed, kProduct, kLaser, paper, "alice"), ";1;");
  dom->Paste(kProduct, kScanner, skewed, kProduct, kLaser, paper, ";1;", "alice");
  ASSERT_EQ(ChildTexts(kProduct, kLaser, true, paper), std::vector<std::string>{"Skewed?"});
  const int32_t pasted = ReadRows(kProduct, kLaser, true).back().nodeId;
  EXPECT_EQ(ReadRow(kProduct, kLaser, pasted, true)->visibility, ";2;1;");
  EXPECT_TRUE(ChildTexts(kProduct, kLaser, true, pasted).empty());
  ExpectTreeConsistent(kProduct, kLaser, "alice");
  ExpectTreeConsistent(kProduct, kScanner, "bob");
  ExpectTreeConsistent(kProduct, kScanner, "alice");

  // bob holds it: his working copy, with the answer; entries the
  // destination lacks are dropped ("1" here).
  CreateAndCheckOut(20, "bob");
  const int32_t retired = Add(20, 0, storage::kRepCategory, "Retired", ";2;", "bob");
  dom->SaveNode(kProduct, kScanner, skewed, ReadRow(kProduct, kScanner, skewed, true)->repId, "Skewed?",
                "Skewed? in detail", false, ";1;2;", true, ";", -1, "bob");
  EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kScanner, skewed, kProduct, 20, retired, "bob"), ";");
  dom->Paste(kProduct, kScanner, skewed, kProduct, 20, retired, ";", "bob");
  const std::vector<NodeRow> rows = ReadRows(kProduct, 20, true);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[2].visibility, ";2;");
  EXPECT_EQ(rows[3].visibility, ";2;");
  EXPECT_EQ(ChildTexts(kProduct, 20, true, rows[2].nodeId), std::vector<std::string>{"Unpublished"});
  ExpectTreeConsistent(kProduct, 20, "bob");
  ExpectTreeConsistent(kProduct, kScanner, "bob");
  EXPECT_TRUE(StagedLeftovers(env).empty());
}

TEST_F(TSDOMPasteTest, VisibilitiesToAdd) {
  CreateAndCheckOut(kLaser, "alice");
  const int32_t a = Add(kLaser, 0, storage::kRepCategory, "A", ";1;2;", "alice");
  const int32_t b = Add(kLaser, 0, storage::kRepCategory, "B", ";2;3;", "alice");
  const int32_t c = Add(kLaser, 0, storage::kRepCategory, "C", ";2;1;", "alice");
  dom->Publish(kProduct, kLaser);

  EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kLaser, a, kProduct, kLaser, b, "alice"), ";3;");
  EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kLaser, a, kProduct, kLaser, c, "alice"), ";");
  EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kLaser, a, kProduct, kLaser, a, "alice"), ";");
  EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kLaser, b, kProduct, kLaser, 0, "alice"), ";1;");

  // Held by alice with B changed in the working copy: she is answered from
  // it, bob from the published copy.
  std::string owner;
  dom->CheckOut(kProduct, kLaser, "alice", owner);
  dom->SaveNode(kProduct, kLaser, b, ReadRow(kProduct, kLaser, b, true)->repId, "B", "B in detail", false, ";2;",
                false, ";", -1, "alice");
  EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kLaser, b, kProduct, kLaser, 0, "alice"), ";1;3;");
  EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kLaser, b, kProduct, kLaser, 0, "bob"), ";1;");
  EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kLaser, a, kProduct, kLaser, b, "alice"), ";");
  EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kLaser, a, kProduct, kLaser, b, "bob"), ";3;");
  // A destination whose list is empty, whatever it looks like, shows nothing
  // the source lacks: the answer is the empty list, fit to be passed on.
  for (const std::string& empty : {std::string(""), std::string(" ")}) {
    SetWorkingList(kProduct, kLaser, b, empty);
    EXPECT_EQ(dom->GetVisibilitiesToAdd(kProduct, kLaser, a, kProduct, kLaser, b, "alice"), ";") << '"' << empty << '"';
  }

  ExpectReported(RaisedBy([&] { dom->GetVisibilitiesToAdd(kProduct, kLaser, 99, kProduct, kLaser, a, "alice"); }),
                 err::NodeNotFound, kCompareLabel);
  ExpectReported(RaisedBy([&] { dom->GetVisibilitiesToAdd(kProduct, kLaser, a, 0, kLaser, a, "alice"); }),
                 err::InvalidArgument, kCompareLabel);
}

TEST_F(TSDOMPasteTest, PastesThatChangeNothing) {
  CreateAndCheckOut(kLaser, "bob");
  const int32_t paper = Add(kLaser, 0, storage::kRepCategory, "Paper", ";1;2;", "bob");
  const int32_t jammed = Add(kLaser, paper, storage::kRepQuestion, "Jammed?", ";1;", "bob");
  const int32_t toner = Add(kLaser, 0, storage::kRepCategory, "Toner", ";1;3;", "bob");
  const Stored before = Snapshot(env);

  // alice does not hold the destination: no error, no change.
  dom->Paste(kProduct, kLaser, jammed, kProduct, kLaser, toner, ";", "alice");
  EXPECT_NOTHING_CHANGED(env, before);

  // Failures and refusals of the holder leave everything as it was.
  ExpectReported(RaisedBy([&] { dom->Paste(kProduct, kLaser, 99, kProduct, kLaser, toner, ";", "bob"); }),
                 err::NodeNotFound, kPasteLabel);
  ExpectReported(RaisedBy([&] { dom->Paste(kProduct, kLaser, jammed, kProduct, kLaser, 99, ";", "bob"); }),
                 err::NodeNotFound, kPasteLabel);
  ExpectReported(RaisedBy([&] { dom->Paste(kProduct, kLaser, 0, kProduct, kLaser, toner, ";", "bob"); }),
                 err::InvalidArgument, kPasteLabel);
  ExpectReported(RaisedBy([&] { dom->Paste(kProduct, kLaser, jammed, 5, kLaser, toner, ";", "bob"); }),
                 err::InvalidArgument, kPasteLabel);
  ExpectReported(RaisedBy([&] { dom->Paste(kProduct, kLaser, jammed, kProduct, kLaser, toner, "3;", "bob"); }),
                 err::InvalidVisibilityList, kPasteLabel);
  ExpectReported(RaisedBy([&] { dom->Paste(kProduct, kLaser, jammed, kProduct, kLaser, toner, ";", ""); }),
                 err::InvalidArgument, kPasteLabel);
  EXPECT_NOTHING_CHANGED(env, before);
  ExpectTreeConsistent(kProduct, kLaser, "bob");
}

}  // namespace
}  // namespace tsa::test
