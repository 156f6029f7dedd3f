// Tree: deleting a node with its subtree and moving a node among its
// siblings, in the working copy's rows and in the manager document.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "model/tree.h"
#include "model_test_util.h"
#include "runtime/context.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

constexpr const char* kUser = "alice";

class TreeEditTest : public TreeTest {
 protected:
  int32_t Product(int32_t id, const std::string& visibilities = ";1;") {
    CreateProductTree(id, visibilities);
    EXPECT_EQ(CheckOut(kProduct, id, kUser), "");
    return id;
  }
  int32_t Template() {
    int32_t id = CreateTemplate("T", "reusable");
    EXPECT_EQ(CheckOut(kTemplate, id, kUser), "");
    return id;
  }

  // `count` new children below `parent`, created and appended the engine's
  // way in one transaction.
  static std::vector<int32_t> AddUnder(int32_t treeType, int32_t id, int32_t parent, int count) {
    return RunTransactional([&] {
      TreePtr tree = CreateTreeObject();
      tree->load(treeType, id, kUser);
      NodePtr p = tree->getNode(parent);
      std::vector<int32_t> ids;
      for (int i = 0; i < count; ++i) {
        NodePtr child = tree->createNode(storage::kRepQuestion, "q" + std::to_string(i), "", ";", ";", -1);
        p->AppendChild(*child);
        ids.push_back(child->NodeID);
      }
      tree->save();
      return ids;
    });
  }
  static int32_t Add(int32_t treeType, int32_t id, int32_t parent, const std::string& visibilities = ";",
                     int32_t hyperlink = -1) {
    NewNode n;
    n.parent = parent;
    n.visibilities = visibilities;
    n.hyperlink = hyperlink;
    return AddNode(treeType, id, kUser, n);
  }

  // The service's way: load for the holder, change, save, one transaction.
  static int32_t Delete(int32_t treeType, int32_t id, int32_t nodeId) {
    return RunTransactional([&] {
      TreePtr tree = CreateTreeObject();
      tree->load(treeType, id, kUser);
      int32_t parent = tree->DeleteNode(nodeId);
      tree->save();
      return parent;
    });
  }
  static void Move(int32_t treeType, int32_t id, int32_t nodeId, int32_t direction) {
    RunTransactional([&] {
      TreePtr tree = CreateTreeObject();
      tree->load(treeType, id, kUser);
      tree->MoveNode(nodeId, direction);
      tree->save();
    });
  }

  // NODEID -> SEQUENCE of the working-copy children of `parent`.
  static std::map<int32_t, int32_t> Sequences(int32_t treeType, int32_t id, int32_t parent) {
    std::map<int32_t, int32_t> out;
    for (const NodeRow& r : ReadRows(treeType, id, true)) {
      if (r.parentId == parent && r.nodeId != 0) out[r.nodeId] = r.sequence;
    }
    return out;
  }
  // The NIDs of the child elements of `parent` in the saved manager document.
  static std::vector<std::string> Children(int32_t treeType, int32_t id, int32_t parent) {
    XmlDoc doc = LoadDocument(treeType, id, true);
    std::vector<std::string> out;
    if (doc.IsNull()) return out;
    XmlElement p = doc.SelectSingleNode("//Node[@NID='" + std::to_string(parent) + "']");
    if (p.IsNull()) return out;
    for (const XmlElement& c : p.ChildElements("Node")) out.push_back(*c.GetAttribute("NID"));
    return out;
  }
  static XmlElement Element(const XmlDoc& doc, int32_t nodeId) {
    return doc.SelectSingleNode("//Node[@NID='" + std::to_string(nodeId) + "']");
  }
  static std::vector<int32_t> RowIds(int32_t treeType, int32_t id) {
    std::vector<int32_t> ids;
    for (const NodeRow& r : ReadRows(treeType, id, true)) ids.push_back(r.nodeId);
    return ids;
  }
  static void Execute(const std::string& sql) {
    auto c = GetHelvixConnection();
    c->Execute(sql);
    CloseConnection(c);
  }
};

TEST_F(TreeEditTest, DeleteTakesTheSubtreeByItsPathAndNoSiblingWhosePathOnlyBeginsAlike) {
  int32_t p = Product(40, ";1;");
  ASSERT_EQ(AddUnder(kProduct, p, 0, 5).back(), 5);
  std::vector<int32_t> belowFive = AddUnder(kProduct, p, 5, 85);  // 6 .. 90
  ASSERT_EQ(belowFive.back(), 90);
  ASSERT_EQ(AddUnder(kProduct, p, 9, 2), (std::vector<int32_t>{91, 92}));
  ASSERT_EQ(AddUnder(kProduct, p, 90, 2), (std::vector<int32_t>{93, 94}));
  ASSERT_EQ(AddUnder(kProduct, p, 91, 1), (std::vector<int32_t>{95}));
  ASSERT_EQ(ReadRow(kProduct, p, 95, true)->preTree, ";0;5;9;91;");

  EXPECT_EQ(Delete(kProduct, p, 9), 5);

  for (int32_t gone : {9, 91, 92, 95}) EXPECT_FALSE(ReadRow(kProduct, p, gone, true)) << gone;
  for (int32_t kept : {5, 8, 10, 90, 93, 94}) EXPECT_TRUE(ReadRow(kProduct, p, kept, true)) << kept;
  EXPECT_EQ(ReadRows(kProduct, p, true).size(), 1u + 5u + 85u + 2u - 1u);
  XmlDoc doc = LoadDocument(kProduct, p, true);
  EXPECT_TRUE(Element(doc, 9).IsNull());
  EXPECT_TRUE(Element(doc, 95).IsNull());
  EXPECT_EQ(Children(kProduct, p, 90), (std::vector<std::string>{"93", "94"}));
  // The siblings after it close up, so the numbers run without a gap.
  EXPECT_EQ(ReadRow(kProduct, p, 8, true)->sequence, 3);
  EXPECT_EQ(ReadRow(kProduct, p, 10, true)->sequence, 4);
  // The published copy is not touched.
  EXPECT_EQ(ReadRows(kProduct, p, false).size(), 1u);
  ExpectTreeConsistent(kProduct, p, kUser);

  // A top-level node of a product tree: its parent is the root, whose
  // visibility stays.
  int32_t added = Add(kProduct, p, 0, ";1;7;");
  EXPECT_EQ(Delete(kProduct, p, 5), 0);
  EXPECT_EQ(RowIds(kProduct, p), (std::vector<int32_t>{0, 1, 2, 3, 4, added}));
  EXPECT_EQ(ReadRow(kProduct, p, 0, true)->visibility, ";1;");
  EXPECT_EQ(Children(kProduct, p, 0), (std::vector<std::string>{"1", "2", "3", "4", std::to_string(added)}));
  ExpectTreeConsistent(kProduct, p, kUser);
}

TEST_F(TreeEditTest, LinksToAnyDeletedNodeAreClearedInRowsAndElements) {
  int32_t p = Product(41);
  int32_t a = Add(kProduct, p, 0);
  int32_t b = Add(kProduct, p, 0);
  int32_t c = Add(kProduct, p, a);
  int32_t d = Add(kProduct, p, c, ";", b);  // inside the subtree, links out
  int32_t toA = Add(kProduct, p, 0, ";", a);
  int32_t toC = Add(kProduct, p, b, ";", c);  // links into the subtree
  int32_t toB = Add(kProduct, p, b, ";", b);

  EXPECT_EQ(Delete(kProduct, p, a), 0);

  EXPECT_FALSE(ReadRow(kProduct, p, d, true));
  EXPECT_EQ(ReadRow(kProduct, p, toA, true)->hyperlink, -1);
  EXPECT_EQ(ReadRow(kProduct, p, toC, true)->hyperlink, -1);
  EXPECT_EQ(ReadRow(kProduct, p, toB, true)->hyperlink, b);
  XmlDoc doc = LoadDocument(kProduct, p, true);
  EXPECT_EQ(Element(doc, toA).GetAttribute("HYP"), "-1");
  EXPECT_EQ(Element(doc, toC).GetAttribute("HYP"), "-1");
  EXPECT_EQ(Element(doc, toB).GetAttribute("HYP"), std::to_string(b));
  ExpectTreeConsistent(kProduct, p, kUser);
}

TEST_F(TreeEditTest, DeletingTemplateTopLevelNodesRecomputesTheRootsVisibility) {
  int32_t t = Template();
  int32_t first = Add(kTemplate, t, 0, ";4;2;");
  int32_t second = Add(kTemplate, t, 0, ";2;a'b;");
  int32_t deeper = Add(kTemplate, t, second, ";9;");
  ASSERT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";4;2;a'b;");

  // Below the top level nothing changes at the root.
  EXPECT_EQ(Delete(kTemplate, t, deeper), second);
  EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";4;2;a'b;");

  // What another top-level node shows stays; the statement carries the
  // apostrophe safely.
  EXPECT_EQ(Delete(kTemplate, t, first), 0);
  EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";2;a'b;");
  EXPECT_EQ(LoadDocument(kTemplate, t, true).DocumentElement().GetAttribute("VISB"), ";2;a'b;");
  ExpectTreeConsistent(kTemplate, t, kUser);

  // The only top-level node goes: the root shows nothing.
  EXPECT_EQ(Delete(kTemplate, t, second), 0);
  EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";");
  EXPECT_EQ(LoadDocument(kTemplate, t, true).DocumentElement().GetAttribute("VISB"), ";");
  EXPECT_EQ(RowIds(kTemplate, t), (std::vector<int32_t>{0}));
  ExpectTreeConsistent(kTemplate, t, kUser);
}

TEST_F(TreeEditTest, RefusedDeletesAndMovesChangeNothing) {
  int32_t p = Product(42);
  int32_t a = Add(kProduct, p, 0);
  int32_t b = Add(kProduct, p, a);
  const std::vector<NodeRow> rows = ReadRows(kProduct, p, true);

  ErrorInfo e = Caught([&] { Delete(kProduct, p, 0); });
  EXPECT_EQ(e.number, err::CannotDeleteRoot);
  EXPECT_NE(e.description.find("METHOD: HXSvcTroubleshooting.Tree.DeleteNode caught: "), std::string::npos);
  e = Caught([&] { Delete(kProduct, p, 77); });
  EXPECT_EQ(e.number, err::NodeNotFound);
  EXPECT_NE(e.description.find("METHOD: HXSvcTroubleshooting.Tree.getNode caught: "), std::string::npos);
  EXPECT_NE(e.description.find("METHOD: HXSvcTroubleshooting.Tree.DeleteNode caught: "), std::string::npos);
  e = Caught([&] { Move(kProduct, p, 77, 1); });
  EXPECT_EQ(e.number, err::NodeNotFound);
  EXPECT_NE(e.description.find("METHOD: HXSvcTroubleshooting.Tree.MoveNode caught: "), std::string::npos);

  // A tree loaded by someone who does not hold it shows the end-user
  // document; its rows are not the ones it sees.
  TreePtr other = CreateTreeObject();
  other->load(kProduct, p, "bob");
  EXPECT_EQ(Caught([&] { other->DeleteNode(a); }).number, err::NotCheckedOut);
  EXPECT_EQ(Caught([&] { other->MoveNode(a, 2); }).number, err::NotCheckedOut);

  // A row without its element is refused before any statement runs, even
  // without a transaction to undo them.
  Execute("INSERT INTO DIAGNOSTICS_TEMP VALUES (42, 50, 2, 1, 1, 2, 0, ';0;', ';', ';', -1)");
  Execute("UPDATE DIAGNOSTICS_TEMP SET HYPERLINK = 50 WHERE PRODUCTID = 42 AND NODEID = " + std::to_string(b));
  TreePtr holder = CreateTreeObject();
  holder->load(kProduct, p, kUser);
  EXPECT_EQ(Caught([&] { holder->DeleteNode(50); }).number, err::ObjectNotSet);
  EXPECT_TRUE(ReadRow(kProduct, p, 50, true));
  EXPECT_EQ(ReadRow(kProduct, p, b, true)->hyperlink, 50);
  Execute("DELETE FROM DIAGNOSTICS_TEMP WHERE PRODUCTID = 42 AND NODEID = 50");
  Execute("UPDATE DIAGNOSTICS_TEMP SET HYPERLINK = -1 WHERE PRODUCTID = 42");

  EXPECT_EQ(ReadRows(kProduct, p, true), rows);
  ExpectTreeConsistent(kProduct, p, kUser);
}

TEST_F(TreeEditTest, MovingExchangesANodeWithItsNeighbourAndStopsAtTheEnds) {
  int32_t p = Product(43);
  std::vector<int32_t> ids = AddUnder(kProduct, p, 0, 3);
  const int32_t a = ids[0], b = ids[1], c = ids[2];
  int32_t onlyChild = Add(kProduct, p, b);
  AddUnder(kProduct, p, onlyChild, 2);

  // Up: the second of three becomes the first, with its subtree.
  Move(kProduct, p, b, 1);
  EXPECT_EQ(Sequences(kProduct, p, 0), (std::map<int32_t, int32_t>{{a, 2}, {b, 1}, {c, 3}}));
  EXPECT_EQ(Children(kProduct, p, 0), (std::vector<std::string>{std::to_string(b), std::to_string(a),
                                                                 std::to_string(c)}));
  ExpectTreeConsistent(kProduct, p, kUser);

  // Down: back again.
  Move(kProduct, p, b, 2);
  EXPECT_EQ(Sequences(kProduct, p, 0), (std::map<int32_t, int32_t>{{a, 1}, {b, 2}, {c, 3}}));
  EXPECT_EQ(Children(kProduct, p, 0), (std::vector<std::string>{std::to_string(a), std::to_string(b),
                                                                 std::to_string(c)}));

  // The first up, the last down, an only child either way, the root, and
  // any other direction: nothing changes.
  const std::vector<NodeRow> rows = ReadRows(kProduct, p, true);
  const std::string before = LoadDocument(kProduct, p, true).Xml();
  Move(kProduct, p, a, 1);
  Move(kProduct, p, c, 2);
  Move(kProduct, p, onlyChild, 1);
  Move(kProduct, p, onlyChild, 2);
  Move(kProduct, p, 0, 1);
  Move(kProduct, p, b, 3);
  Move(kProduct, p, b, 0);
  EXPECT_EQ(ReadRows(kProduct, p, true), rows);
  EXPECT_EQ(LoadDocument(kProduct, p, true).Xml(), before);
  ExpectTreeConsistent(kProduct, p, kUser);
}

TEST_F(TreeEditTest, DeletingCloseUpTheSiblingsSoAnAppendedChildComesLast) {
  int32_t p = Product(45);
  std::vector<int32_t> ids = AddUnder(kProduct, p, 0, 3);
  Delete(kProduct, p, ids[1]);
  EXPECT_EQ(Sequences(kProduct, p, 0), (std::map<int32_t, int32_t>{{ids[0], 1}, {ids[2], 2}}));
  int32_t added = AddUnder(kProduct, p, 0, 1)[0];
  EXPECT_EQ(Sequences(kProduct, p, 0), (std::map<int32_t, int32_t>{{ids[0], 1}, {ids[2], 2}, {added, 3}}));
  ExpectTreeConsistent(kProduct, p, kUser);
}

TEST_F(TreeEditTest, MovingAcrossAGapInStoredSequencesKeepsTheOrder) {
  int32_t p = Product(44);
  std::vector<int32_t> ids = AddUnder(kProduct, p, 0, 3);
  const int32_t a = ids[0], b = ids[1], d = ids[2];
  // Sequences stored with a gap (1, 2, 4), as older data may hold them.
  {
    auto c = GetHelvixConnection();
    c->Execute("UPDATE DIAGNOSTICS_TEMP SET SEQUENCE = 4 WHERE PRODUCTID = " + std::to_string(p) +
               " AND NODEID = " + std::to_string(d));
  }
  ASSERT_EQ(Sequences(kProduct, p, 0), (std::map<int32_t, int32_t>{{a, 1}, {b, 2}, {d, 4}}));

  // Stored 2 and 4: moved by one each they would both be 3 and no longer say
  // which comes first. They exchange their numbers.
  Move(kProduct, p, b, 2);
  EXPECT_EQ(Sequences(kProduct, p, 0), (std::map<int32_t, int32_t>{{a, 1}, {b, 4}, {d, 2}}));
  EXPECT_EQ(Children(kProduct, p, 0), (std::vector<std::string>{std::to_string(a), std::to_string(d),
                                                                 std::to_string(b)}));
  ExpectTreeConsistent(kProduct, p, kUser);

  Move(kProduct, p, d, 1);
  EXPECT_EQ(Sequences(kProduct, p, 0), (std::map<int32_t, int32_t>{{a, 2}, {b, 4}, {d, 1}}));
  EXPECT_EQ(Children(kProduct, p, 0), (std::vector<std::string>{std::to_string(d), std::to_string(a),
                                                                 std::to_string(b)}));
  ExpectTreeConsistent(kProduct, p, kUser);
}

}  // namespace
}  // namespace tsa::test
