// Node::Paste: the copied rows (identifiers, positions, paths, visibility,
// hyperlinks), the moved elements, the copy of the source that is read, the
// template root, and what a refused or failed paste leaves behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "model/node.h"
#include "model/tree.h"
#include "model_test_util.h"
#include "runtime/context.h"
#include "support/consistency.h"
#include "support/recording_log.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

class PasteTest : public TreeTest {
 protected:
  static NewNode Child(int32_t parent, const std::string& visibilities = ";",
                       int32_t repType = storage::kRepQuestion) {
    NewNode n;
    n.parent = parent;
    n.repType = repType;
    n.visibilities = visibilities;
    return n;
  }

  // Pastes the way the authoring service does: source and destination
  // loaded as two trees for `user`, only the destination saved.
  static void Paste(int32_t srcType, int32_t srcId, int32_t srcNode, int32_t dstType, int32_t dstId, int32_t dstNode,
                    const std::string& chosen, const std::string& user) {
    RunTransactional([&] {
      TreePtr source = CreateTreeObject();
      source->load(srcType, srcId, user);
      TreePtr destination = CreateTreeObject();
      destination->load(dstType, dstId, user);
      destination->getNode(dstNode)->Paste(*source->getNode(srcNode), chosen, user);
      destination->save();
    });
  }

  static XmlElement Element(const XmlDoc& document, int32_t nodeId) {
    return document.SelectSingleNode("//Node[@NID='" + std::to_string(nodeId) + "']");
  }
  // The NIDs of an element's child Node elements, in order.
  static std::vector<std::string> ChildIds(const XmlElement& element) {
    std::vector<std::string> ids;
    for (const XmlElement& child : element.ChildElements("Node")) ids.push_back(*child.GetAttribute("NID"));
    return ids;
  }
  static std::string Visibility(int32_t treeType, int32_t id, int32_t nodeId) {
    return ReadRow(treeType, id, nodeId, true).value_or(NodeRow{}).visibility;
  }
  static void Execute(const std::string& sql) {
    auto c = GetHelvixConnection();
    c->Execute(sql);
    CloseConnection(c);
  }
};

TEST_F(PasteTest, RowsAndElementsAreRenumberedAndRepositionedBelowTheDestination) {
  const int32_t p = CreateProductTree(7);
  CheckOut(kProduct, p, "alice");
  auto add = [&](const NewNode& n) { return AddNode(kProduct, p, "alice", n); };
  // Fillers below node 1 take the identifiers the shape does not need.
  const int32_t filler = add(Child(0, ";", storage::kRepCategory));
  add(Child(filler));
  ASSERT_EQ(add(Child(0, ";", storage::kRepCategory)), 3);
  add(Child(3));
  ASSERT_EQ(add(Child(0, ";", storage::kRepCategory)), 5);
  ASSERT_EQ(add(Child(3)), 6);
  AddChildren(kProduct, p, "alice", filler, 2);
  ASSERT_EQ(add(Child(5)), 9);
  AddChildren(kProduct, p, "alice", filler, 2);
  NewNode first = Child(9, ";", storage::kRepAnswer);
  first.faqs = ";O'Brien;";
  first.hyperlink = 9;
  ASSERT_EQ(add(first), 12);
  AddChildren(kProduct, p, "alice", filler, 2);
  NewNode second = Child(9, ";", storage::kRepAnswer);
  second.hyperlink = 12;  // into the pasted subtree: lost all the same
  ASSERT_EQ(add(second), 15);
  ASSERT_EQ(add(Child(12, ";", storage::kRepAction)), 16);
  AddChildren(kProduct, p, "alice", filler, 73);
  // A sibling whose identifier begins like the source's, with a child.
  ASSERT_EQ(add(Child(5)), 90);
  add(Child(90));
  ASSERT_EQ(AddChildren(kProduct, p, "alice", filler, 8).back(), 99);
  const std::vector<NodeRow> before = ReadRows(kProduct, p, true);

  RunTransactional([&] {
    TreePtr sourceTree = CreateTreeObject();
    sourceTree->load(kProduct, p, "alice");
    TreePtr tree = CreateTreeObject();
    tree->load(kProduct, p, "alice");
    NodePtr source = sourceTree->getNode(9);
    NodePtr destination = tree->getNode(3);
    destination->Paste(*source, "", "alice");
    // The handles follow the moved element; the properties stay.
    EXPECT_EQ(source->NodeDOM.OwnerDocument(), tree->TreeDOM());
    EXPECT_EQ(source->NodeDOM.GetAttribute("NID"), "100");
    EXPECT_TRUE(sourceTree->TreeDOM().SelectSingleNode("//Node[@NID='12']").IsNull());
    EXPECT_EQ(source->NodeID, 9);
    EXPECT_EQ(source->PreTree, ";0;5;");
    tree->save();
  });

  std::vector<NodeRow> rows = ReadRows(kProduct, p, true);
  ASSERT_EQ(rows.size(), before.size() + 4);
  EXPECT_EQ(std::vector<NodeRow>(rows.begin(), rows.begin() + before.size()), before);
  auto repId = [&](int32_t nodeId) { return before[nodeId].repId; };
  EXPECT_EQ(rows[100], (NodeRow{p, 100, storage::kRepQuestion, repId(9), 2, 3, 3, ";0;3;", ";", ";", -1}));
  EXPECT_EQ(rows[101], (NodeRow{p, 103, storage::kRepAnswer, repId(12), 3, 1, 100, ";0;3;100;", ";", ";O'Brien;", -1}));
  EXPECT_EQ(rows[102], (NodeRow{p, 106, storage::kRepAnswer, repId(15), 3, 2, 100, ";0;3;100;", ";", ";", -1}));
  EXPECT_EQ(rows[103], (NodeRow{p, 107, storage::kRepAction, repId(16), 4, 1, 103, ";0;3;100;103;", ";", ";", -1}));

  XmlDoc document = LoadDocument(kProduct, p, true);
  EXPECT_EQ(ChildIds(Element(document, 3)), (std::vector<std::string>{"4", "6", "100"}));
  EXPECT_EQ(ChildIds(Element(document, 100)), (std::vector<std::string>{"103", "106"}));
  EXPECT_EQ(ChildIds(Element(document, 103)), (std::vector<std::string>{"107"}));
  EXPECT_EQ(ChildIds(Element(document, 9)), (std::vector<std::string>{"12", "15"})) << "the original stays";
  for (int32_t id : {100, 103, 106, 107}) EXPECT_EQ(Element(document, id).GetAttribute("HYP"), "-1") << id;
  EXPECT_EQ(Element(document, 12).GetAttribute("HYP"), "9");
  EXPECT_EQ(Element(document, 103).GetAttribute("FAQ"), "1");
  ExpectTreeConsistent(kProduct, p, "alice");
}

TEST_F(PasteTest, EntriesTheDestinationLacksGoAndChosenEntriesAreAddedEverywhere) {
  const int32_t src = CreateProductTree(11, ";1;2;3;4;");
  CheckOut(kProduct, src, "alice");
  const int32_t s = AddNode(kProduct, src, "alice", Child(0, ";1;2;3;", storage::kRepCategory));
  const int32_t c1 = AddNode(kProduct, src, "alice", Child(s, ";1;2;"));
  const int32_t c2 = AddNode(kProduct, src, "alice", Child(s, ";2;4;"));
  const int32_t g = AddNode(kProduct, src, "alice", Child(c1, ";3;", storage::kRepAnswer));
  const int32_t contained = AddNode(kProduct, src, "alice", Child(0, ";1;3;", storage::kRepCategory));
  AddNode(kProduct, src, "alice", Child(contained, ";1;"));

  const int32_t dst = CreateProductTree(12, ";1;3;4;");
  CheckOut(kProduct, dst, "alice");
  const int32_t d = AddNode(kProduct, dst, "alice", Child(0, ";1;3;4;", storage::kRepCategory));

  Paste(kProduct, src, s, kProduct, dst, d, ";4;", "alice");
  const int32_t top = d + 1;  // the destination's highest identifier was d
  EXPECT_EQ(Visibility(kProduct, dst, top), ";1;3;4;");
  EXPECT_EQ(Visibility(kProduct, dst, top + (c1 - s)), ";1;4;");
  EXPECT_EQ(Visibility(kProduct, dst, top + (c2 - s)), ";4;") << "an entry a node shows already is not repeated";
  EXPECT_EQ(Visibility(kProduct, dst, top + (g - s)), ";3;4;");
  XmlDoc document = LoadDocument(kProduct, dst, true);
  EXPECT_EQ(Element(document, top + (c1 - s)).GetAttribute("VISB"), ";1;4;");
  EXPECT_EQ(Element(document, top + (c2 - s)).GetAttribute("VISB"), ";4;");

  // Nothing chosen, nothing the destination lacks: the lists stay.
  const int32_t next = top + (g - s) + 1;
  Paste(kProduct, src, contained, kProduct, dst, d, ";", "alice");
  EXPECT_EQ(Visibility(kProduct, dst, next), ";1;3;");
  EXPECT_EQ(Visibility(kProduct, dst, next + 1), ";1;");
  EXPECT_EQ(ReadRow(kProduct, dst, next, true)->sequence, 2);
  ExpectTreeConsistent(kProduct, dst, "alice");
  // The source is only read.
  EXPECT_EQ(Visibility(kProduct, src, c2), ";2;4;");
  ExpectTreeConsistent(kProduct, src, "alice");
}

TEST_F(PasteTest, TheSourceIsReadFromTheCopyThePastingUserSees) {
  const int32_t src = CreateProductTree(20);
  CheckOut(kProduct, src, "alice");
  const int32_t s = AddNode(kProduct, src, "alice", Child(0, ";", storage::kRepCategory));
  const int32_t published = AddNode(kProduct, src, "alice", Child(s));
  Publish(kProduct, src);
  CheckOut(kProduct, src, "alice");
  const int32_t unpublished = AddNode(kProduct, src, "alice", Child(s));

  const int32_t mine = CreateProductTree(21);
  CheckOut(kProduct, mine, "alice");
  const int32_t theirs = CreateProductTree(22);
  CheckOut(kProduct, theirs, "bob");

  // alice holds the source: her working copy, with the unpublished child.
  Paste(kProduct, src, s, kProduct, mine, 0, "", "alice");
  std::vector<NodeRow> rows = ReadRows(kProduct, mine, true);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[2].nodeId, published);
  EXPECT_EQ(rows[3].nodeId, unpublished);
  ExpectTreeConsistent(kProduct, mine, "alice");

  // bob does not: the published copy.
  Paste(kProduct, src, s, kProduct, theirs, 0, "", "bob");
  rows = ReadRows(kProduct, theirs, true);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].nodeId, published);
  EXPECT_EQ(rows[2].repId, ReadRow(kProduct, src, published, false)->repId);
  ExpectTreeConsistent(kProduct, theirs, "bob");
}

TEST_F(PasteTest, PastingBelowATemplateRootMergesIntoTheRootList) {
  const int32_t t = CreateTemplate("T");
  CheckOut(kTemplate, t, "alice");
  const int32_t existing = AddNode(kTemplate, t, "alice", Child(0, ";1;", storage::kRepCategory));
  ASSERT_EQ(Visibility(kTemplate, t, 0), ";1;");

  const int32_t src = CreateProductTree(30, ";1;");
  CheckOut(kProduct, src, "alice");
  const int32_t s = AddNode(kProduct, src, "alice", Child(0, ";1;", storage::kRepCategory));
  AddNode(kProduct, src, "alice", Child(s, ";1;"));

  RunTransactional([&] {
    TreePtr source = CreateTreeObject();
    source->load(kProduct, src, "alice");
    TreePtr tree = CreateTreeObject();
    tree->load(kTemplate, t, "alice");
    NodePtr root = tree->getNode(0);
    root->Paste(*source->getNode(s), ";5;", "alice");
    EXPECT_EQ(root->NodeDOM.GetAttribute("VISB"), ";1;5;");
    EXPECT_EQ(root->Visibilities, ";1;") << "the property keeps its value";
    tree->save();
  });
  EXPECT_EQ(Visibility(kTemplate, t, 0), ";1;5;");
  EXPECT_EQ(Visibility(kTemplate, t, existing + 1), ";1;5;");
  EXPECT_EQ(Visibility(kTemplate, t, existing + 2), ";1;5;");
  EXPECT_EQ(ReadRow(kTemplate, t, 0, false)->visibility, ";") << "the published root stays as it is";
  ExpectTreeConsistent(kTemplate, t, "alice");

  // Below any other node of the template the root is left alone.
  Paste(kProduct, src, s, kTemplate, t, existing, ";", "alice");
  EXPECT_EQ(Visibility(kTemplate, t, 0), ";1;5;");
  ExpectTreeConsistent(kTemplate, t, "alice");
}

TEST_F(PasteTest, PastingBelowATemplateRootKeepsTheRootAListWhateverTheEmptyListsLookLike) {
  const int32_t src = CreateProductTree(30, ";1;");
  CheckOut(kProduct, src, "alice");
  const int32_t s = AddNode(kProduct, src, "alice", Child(0, ";1;", storage::kRepCategory));
  const int32_t blank = AddNode(kProduct, src, "alice", Child(0, ";1;", storage::kRepCategory));
  SetWorkingList(kProduct, src, blank, " ");

  // A root saved with "" for its list.
  const int32_t t = CreateTemplate("T");
  CheckOut(kTemplate, t, "alice");
  SetWorkingList(kTemplate, t, 0, "");
  Paste(kProduct, src, s, kTemplate, t, 0, ";5;", "alice");
  EXPECT_EQ(Visibility(kTemplate, t, 0), ";5;");
  ExpectTreeConsistent(kTemplate, t, "alice");

  // A pasted node whose list is blank adds nothing to the root's list.
  const int32_t u = CreateTemplate("U");
  CheckOut(kTemplate, u, "alice");
  AddNode(kTemplate, u, "alice", Child(0, ";1;", storage::kRepCategory));
  Paste(kProduct, src, blank, kTemplate, u, 0, ";", "alice");
  EXPECT_EQ(Visibility(kTemplate, u, 0), ";1;");
  ExpectTreeConsistent(kTemplate, u, "alice");
}

TEST_F(PasteTest, ANodePastedIntoItsOwnSubtreeIsCopiedFromTheSeparatelyLoadedTree) {
  const int32_t p = CreateProductTree(40);
  CheckOut(kProduct, p, "alice");
  const int32_t a = AddNode(kProduct, p, "alice", Child(0, ";", storage::kRepCategory));
  const int32_t b = AddNode(kProduct, p, "alice", Child(a));
  const int32_t c = AddNode(kProduct, p, "alice", Child(b, ";", storage::kRepAnswer));
  ASSERT_EQ(c, 3);

  Paste(kProduct, p, a, kProduct, p, c, "", "alice");
  std::vector<NodeRow> rows = ReadRows(kProduct, p, true);
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[4].nodeId, 4);
  EXPECT_EQ(rows[4].parentId, 3);
  EXPECT_EQ(rows[4].depth, 4);
  EXPECT_EQ(rows[4].preTree, ";0;1;2;3;");
  EXPECT_EQ(rows[6].preTree, ";0;1;2;3;4;5;");
  EXPECT_EQ(rows[6].depth, 6);
  ExpectTreeConsistent(kProduct, p, "alice");
}

TEST_F(PasteTest, ARootOrANodeOfTheSameDocumentIsRefusedBeforeAnythingIsWritten) {
  const int32_t p = CreateProductTree(41);
  CheckOut(kProduct, p, "alice");
  const int32_t a = AddNode(kProduct, p, "alice", Child(0, ";", storage::kRepCategory));
  const int32_t b = AddNode(kProduct, p, "alice", Child(0, ";", storage::kRepCategory));
  const std::vector<NodeRow> before = ReadRows(kProduct, p, true);

  TreePtr tree = CreateTreeObject();
  tree->load(kProduct, p, "alice");
  const std::string markup = tree->TreeDOM().Xml();
  NodePtr destination = tree->getNode(b);
  // Outside any transaction: a refusal must come before the first insert.
  ErrorInfo e = Caught([&] { destination->Paste(*tree->getNode(a), "", "alice"); });
  EXPECT_EQ(e.number, err::InvalidArgument);
  EXPECT_NE(e.description.find("METHOD: HXSvcTroubleshooting.Node.Paste caught: "), std::string::npos);

  TreePtr other = CreateTreeObject();
  other->load(kProduct, p, "alice");
  e = Caught([&] { destination->Paste(*other->getNode(0), "", "alice"); });
  EXPECT_EQ(e.number, err::InvalidArgument);
  e = Caught([&] { destination->Paste(*other->getNode(a), ";1;'", "alice"); });
  EXPECT_EQ(e.number, err::InvalidVisibilityList);

  EXPECT_EQ(ReadRows(kProduct, p, true), before);
  EXPECT_EQ(tree->TreeDOM().Xml(), markup);
}

TEST_F(PasteTest, ASourceWithoutRowInTheUsersCopyRaises1006AndWritesNothing) {
  const int32_t src = CreateProductTree(50);
  CheckOut(kProduct, src, "alice");
  const int32_t s = AddNode(kProduct, src, "alice", Child(0, ";", storage::kRepCategory));  // never published
  const int32_t dst = CreateProductTree(51);
  CheckOut(kProduct, dst, "bob");
  const std::vector<NodeRow> before = ReadRows(kProduct, dst, true);

  TreePtr source = CreateTreeObject();
  source->load(kProduct, src, "alice");
  NodePtr node = source->getNode(s);
  TreePtr destination = CreateTreeObject();
  destination->load(kProduct, dst, "bob");
  // bob sees the published copy, which does not have the node. Outside any
  // transaction: the failure must come before the first insert.
  ErrorInfo e = Caught([&] { destination->getNode(0)->Paste(*node, "", "bob"); });
  EXPECT_EQ(e.number, err::NodeNotFound);
  EXPECT_NE(e.description.find("METHOD: HXSvcTroubleshooting.Node.Paste caught: "), std::string::npos);
  EXPECT_EQ(ReadRows(kProduct, dst, true), before);
  EXPECT_EQ(node->NodeDOM.OwnerDocument(), source->TreeDOM()) << "the element is not moved";
  EXPECT_TRUE(destination->getNode(0)->NodeDOM.ChildElements("Node").empty());
}

TEST_F(PasteTest, ABrokenPathFailsInCalculatePreTreeAndTheCallerRollsBackTheRowsAlreadyInserted) {
  const int32_t src = CreateProductTree(60);
  CheckOut(kProduct, src, "alice");
  const int32_t s = AddNode(kProduct, src, "alice", Child(0, ";", storage::kRepCategory));
  const int32_t child = AddNode(kProduct, src, "alice", Child(s));
  Execute("UPDATE DIAGNOSTICS_TEMP SET PRETREE = ';0;" + std::to_string(s) + ";x;' WHERE PRODUCTID = 60 AND NODEID = " +
          std::to_string(child));
  const int32_t dst = CreateProductTree(61);
  CheckOut(kProduct, dst, "alice");
  const std::vector<NodeRow> before = ReadRows(kProduct, dst, true);
  RecordingLog log;

  ErrorInfo e = Caught([&] { Paste(kProduct, src, s, kProduct, dst, 0, "", "alice"); });
  EXPECT_EQ(e.number, err::TypeMismatch);
  EXPECT_EQ(e.description.rfind("\r\nMETHOD: HXSvcTroubleshooting.Node.Paste caught: \r\nMETHOD: "
                                "HXSvcTroubleshooting.Node.CalculatePreTree caught: ",
                                0),
            0u)
      << e.description;
  std::vector<std::string> labels;
  for (const LogEntry& entry : log.Entries()) labels.push_back(entry.text.substr(0, entry.text.find(' ')));
  EXPECT_EQ(labels, (std::vector<std::string>{"HXSvcTroubleshooting.Node.CalculatePreTree",
                                              "HXSvcTroubleshooting.Node.Paste"}));
  EXPECT_EQ(ReadRows(kProduct, dst, true), before);
  ExpectTreeConsistent(kProduct, dst, "alice");
}

}  // namespace
}  // namespace tsa::test
