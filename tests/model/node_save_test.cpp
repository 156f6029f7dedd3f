// Node::save: change detection, texts and entities, visibility down a
// subtree, FAQs and hyperlinks, a template's root, and failures.
#include <gtest/gtest.h>

#include <functional>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "model/node.h"
#include "model/tree.h"
#include "model_test_util.h"
#include "repository/propagation.h"
#include "repository/repository.h"
#include "runtime/context.h"
#include "support/consistency.h"
#include "support/recording_log.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

// The arguments of save.
struct Edit {
  int32_t repId = 0;
  std::string sd;
  std::string ld;
  bool propagateContent = false;
  std::string visibilities;
  bool propagateDown = false;
  std::string faqs;
  int32_t hyperlink = -1;
};

class NodeSaveTest : public TreeTest {
 protected:
  int32_t Product(int32_t id, const std::string& visibilities = ";1;2;3;") {
    CreateProductTree(id, visibilities);
    EXPECT_EQ(CheckOut(kProduct, id, "alice"), "");
    return id;
  }
  int32_t Add(int32_t treeType, int32_t id, int32_t parent, const std::string& visibilities,
              int32_t repType = storage::kRepQuestion, const std::string& sd = "short") {
    NewNode n;
    n.parent = parent;
    n.repType = repType;
    n.visibilities = visibilities;
    n.sd = sd;
    return AddNode(treeType, id, "alice", n);
  }
  // A node showing an existing entity.
  int32_t AddFromRep(int32_t treeType, int32_t id, int32_t parent, int32_t repType, int32_t repId) {
    return RunTransactional([&] {
      TreePtr tree = CreateTreeObject();
      tree->load(treeType, id, "alice");
      NodePtr child = tree->createNodeFromRep(repType, repId, ";", ";", -1);
      tree->getNode(parent)->AppendChild(*child);
      tree->save();
      return child->NodeID;
    });
  }

  // An edit that changes nothing: the node's present values.
  static Edit Unchanged(int32_t treeType, int32_t id, int32_t nodeId) {
    NodeRow r = *ReadRow(treeType, id, nodeId, true);
    auto texts = *RepEntity(r.repType, r.repId);
    return {r.repId, texts.first, texts.second, false, r.visibility, false, r.faqs, r.hyperlink};
  }

  // As the authoring service saves a node: load, getNode, save, the tree's
  // save when something changed and, with propagated content, the texts
  // into every other document; one transaction. `before` runs on the node
  // first.
  bool Save(int32_t treeType, int32_t id, int32_t nodeId, const Edit& e,
            const std::function<void(Tree&, Node&)>& before = {}) {
    return RunTransactional([&] {
      tree_ = CreateTreeObject();
      tree_->load(treeType, id, "alice");
      node_ = tree_->getNode(nodeId);
      if (before) before(*tree_, *node_);
      bool saved = node_->save(e.repId, e.sd, e.ld, e.propagateContent, e.visibilities, e.propagateDown, e.faqs,
                               e.hyperlink);
      if (saved) {
        tree_->save();
        if (e.propagateContent) PropagateChanges(node_->RepType, node_->RepID, e.sd, e.ld);
      }
      return saved;
    });
  }

  static int EntityCount(int32_t repType) {
    auto c = GetHelvixConnection();
    auto rs = c->OpenRecordset("SELECT COUNT(*) AS N FROM " + storage::getRepTable(repType));
    int n = rs->Field("N").ToInt32();
    rs->Close();
    CloseConnection(c);
    return n;
  }
  static void Execute(const std::string& sql) {
    auto c = GetHelvixConnection();
    c->Execute(sql);
    CloseConnection(c);
  }
  static XmlElement Element(int32_t treeType, int32_t id, int32_t nodeId) {
    return LoadDocument(treeType, id, true).SelectSingleNode("//Node[@NID='" + std::to_string(nodeId) + "']");
  }

  TreePtr tree_;
  NodePtr node_;
};

TEST_F(NodeSaveTest, NothingChangedWritesNothing) {
  int32_t p = Product(3);
  int32_t n = Add(kProduct, p, 0, ";1;2;", storage::kRepCategory, "Printer");
  Add(kProduct, p, n, ";1;");
  const std::vector<NodeRow> rows = ReadRows(kProduct, p, true);
  const int entities = EntityCount(storage::kRepCategory);

  // Texts equal after trimming, the same lists and hyperlink, with either
  // choice of propagation.
  Edit e = Unchanged(kProduct, p, n);
  e.sd = "  Printer ";
  e.ld += " ";
  std::string before;
  for (bool propagate : {false, true}) {
    e.propagateContent = e.propagateDown = propagate;
    EXPECT_FALSE(Save(kProduct, p, n, e, [&](Tree& t, Node&) { before = t.TreeDOM().Xml(); }));
    EXPECT_EQ(tree_->TreeDOM().Xml(), before) << "no element may change";
  }
  EXPECT_EQ(ReadRows(kProduct, p, true), rows);
  EXPECT_EQ(EntityCount(storage::kRepCategory), entities);
  EXPECT_EQ(RepEntity(storage::kRepCategory, rows[1].repId)->first, "Printer");

  // Letter case counts.
  e.sd = "printer";
  EXPECT_TRUE(Save(kProduct, p, n, e));
  EXPECT_EQ(RepEntity(storage::kRepCategory, rows[1].repId)->first, "printer");
  ExpectTreeConsistent(kProduct, p, "alice");
}

TEST_F(NodeSaveTest, PropagatedContentChangesTheSharedEntityInEveryTree) {
  int32_t p = Product(3);
  int32_t other = Product(4);
  int32_t n = Add(kProduct, p, 0, ";1;", storage::kRepCategory, "Printer");
  const NodeRow row = *ReadRow(kProduct, p, n, true);
  int32_t shown = AddFromRep(kProduct, other, 0, storage::kRepCategory, row.repId);

  Edit e = Unchanged(kProduct, p, n);
  e.sd = "Laser printer";
  e.ld = "Any laser printer";
  e.propagateContent = true;
  EXPECT_TRUE(Save(kProduct, p, n, e));

  EXPECT_EQ(*RepEntity(storage::kRepCategory, row.repId), std::make_pair(e.sd, e.ld));
  EXPECT_EQ(*ReadRow(kProduct, p, n, true), row) << "only texts changed: no node statement";
  XmlElement element = Element(kProduct, p, n);
  EXPECT_EQ(element.GetAttribute("RID"), std::to_string(row.repId));
  EXPECT_EQ(element.ChildText("sd"), "Laser printer");
  EXPECT_EQ(Element(kProduct, other, shown).ChildText("ld"), "Any laser printer");
  ExpectTreeConsistent(kProduct, p, "alice");
  ExpectTreeConsistent(kProduct, other, "alice");
}

TEST_F(NodeSaveTest, UnpropagatedContentGivesTheNodeAnEntityOfItsOwn) {
  int32_t p = Product(3);
  int32_t other = Product(4);
  int32_t n = Add(kProduct, p, 0, ";1;", storage::kRepCategory, "Printer");
  const NodeRow row = *ReadRow(kProduct, p, n, true);
  const auto oldTexts = *RepEntity(storage::kRepCategory, row.repId);
  int32_t shown = AddFromRep(kProduct, other, 0, storage::kRepCategory, row.repId);

  Edit e = Unchanged(kProduct, p, n);
  e.sd = "Scanner";
  e.ld = "It's a scanner";
  EXPECT_TRUE(Save(kProduct, p, n, e));
  EXPECT_EQ(node_->RepID, row.repId) << "save changes no property of the node";

  NodeRow now = *ReadRow(kProduct, p, n, true);
  EXPECT_NE(now.repId, row.repId);
  EXPECT_EQ(*RepEntity(storage::kRepCategory, now.repId), std::make_pair(e.sd, e.ld));
  EXPECT_EQ(*RepEntity(storage::kRepCategory, row.repId), oldTexts);
  EXPECT_EQ(Element(kProduct, p, n).GetAttribute("RID"), std::to_string(now.repId));
  EXPECT_EQ(Element(kProduct, other, shown).ChildText("sd"), "Printer");
  ExpectTreeConsistent(kProduct, p, "alice");
  ExpectTreeConsistent(kProduct, other, "alice");
}

TEST_F(NodeSaveTest, AnotherEntityIsTakenOnlyWhenContentIsNotPropagated) {
  int32_t p = Product(3);
  int32_t n = Add(kProduct, p, 0, ";1;", storage::kRepCategory, "Printer");
  const NodeRow row = *ReadRow(kProduct, p, n, true);
  const int32_t picked = RunTransactional(
      [] { return CreateRepositoryObject()->AddRepEntity(storage::kRepCategory, "Copier", "A copier"); });
  const int entities = EntityCount(storage::kRepCategory);

  // Propagating content never switches the entity: the texts are those of
  // the node's own entity, so nothing has changed.
  Edit e = Unchanged(kProduct, p, n);
  e.repId = picked;
  e.propagateContent = true;
  EXPECT_FALSE(Save(kProduct, p, n, e));
  EXPECT_EQ(*ReadRow(kProduct, p, n, true), row);

  // An entity that does not exist is refused before anything is written.
  e.propagateContent = false;
  e.repId = picked + 100;
  EXPECT_EQ(Caught([&] { Save(kProduct, p, n, e); }).number, err::RepEntityNotFound);
  EXPECT_EQ(*ReadRow(kProduct, p, n, true), row);

  e.repId = picked;
  e.sd = "Copier";
  e.ld = "A copier";
  EXPECT_TRUE(Save(kProduct, p, n, e));
  EXPECT_EQ(ReadRow(kProduct, p, n, true)->repId, picked);
  XmlElement element = Element(kProduct, p, n);
  EXPECT_EQ(element.GetAttribute("RID"), std::to_string(picked));
  EXPECT_EQ(element.ChildText("sd"), "Copier");
  EXPECT_EQ(EntityCount(storage::kRepCategory), entities) << "no entity is created";
  EXPECT_EQ(RepEntity(storage::kRepCategory, row.repId)->first, "Printer") << "nor updated";
  ExpectTreeConsistent(kProduct, p, "alice");

  // Texts other than the entity's do not reach the element: it shows what
  // the entity holds, and the entity keeps its texts.
  e = Unchanged(kProduct, p, n);
  e.repId = row.repId;
  e.sd = "Something else";
  e.ld = "entirely";
  EXPECT_TRUE(Save(kProduct, p, n, e));
  EXPECT_EQ(ReadRow(kProduct, p, n, true)->repId, row.repId);
  element = Element(kProduct, p, n);
  EXPECT_EQ(element.ChildText("sd"), "Printer");
  EXPECT_EQ(*RepEntity(storage::kRepCategory, row.repId), std::make_pair(element.ChildText("sd"), element.ChildText("ld")));
  EXPECT_EQ(RepEntity(storage::kRepCategory, picked)->first, "Copier");
  EXPECT_EQ(EntityCount(storage::kRepCategory), entities);
  ExpectTreeConsistent(kProduct, p, "alice");
}

TEST_F(NodeSaveTest, VisibilityPropagatedDownChangesTheWholeSubtreeOnly) {
  int32_t p = Product(3);
  int32_t n = Add(kProduct, p, 0, ";1;2;", storage::kRepCategory);
  int32_t q = Add(kProduct, p, n, ";1;2;");
  int32_t a = Add(kProduct, p, q, ";1;3;", storage::kRepAnswer);  // already shows 3
  // Node 10 and its child: their paths (;0; and ;0;10;) begin with the
  // digits of ;0;1 but lie outside the subtree.
  AddChildren(kProduct, p, "alice", 0, 6, storage::kRepCategory);
  int32_t sibling = Add(kProduct, p, 0, ";1;2;", storage::kRepCategory);
  int32_t cousin = Add(kProduct, p, sibling, ";1;2;");
  ASSERT_EQ(n, 1);
  ASSERT_EQ(sibling, 10);

  Edit e = Unchanged(kProduct, p, n);
  e.visibilities = ";2;3;";
  e.propagateDown = true;
  EXPECT_TRUE(Save(kProduct, p, n, e));
  EXPECT_EQ(ReadRow(kProduct, p, n, true)->visibility, ";2;3;");
  EXPECT_EQ(ReadRow(kProduct, p, q, true)->visibility, ";2;3;");
  EXPECT_EQ(ReadRow(kProduct, p, a, true)->visibility, ";3;") << "an entry is never listed twice";
  EXPECT_EQ(ReadRow(kProduct, p, sibling, true)->visibility, ";1;2;");
  EXPECT_EQ(ReadRow(kProduct, p, cousin, true)->visibility, ";1;2;");
  ExpectTreeConsistent(kProduct, p, "alice");

  // The same entries in another order: a change of the node alone.
  e.visibilities = ";3;2;";
  EXPECT_TRUE(Save(kProduct, p, n, e));
  EXPECT_EQ(ReadRow(kProduct, p, n, true)->visibility, ";3;2;");
  EXPECT_EQ(ReadRow(kProduct, p, q, true)->visibility, ";2;3;");
  ExpectTreeConsistent(kProduct, p, "alice");
}

TEST_F(NodeSaveTest, VisibilityNotPropagatedDownOnlyRemovesBelowTheNode) {
  int32_t p = Product(3);
  int32_t n = Add(kProduct, p, 0, ";1;2;", storage::kRepCategory);
  int32_t q = Add(kProduct, p, n, ";1;2;");
  int32_t a = Add(kProduct, p, q, ";2;1;", storage::kRepAnswer);

  Edit e = Unchanged(kProduct, p, n);
  e.visibilities = ";2;3;";
  EXPECT_TRUE(Save(kProduct, p, n, e));
  EXPECT_EQ(ReadRow(kProduct, p, n, true)->visibility, ";2;3;");
  EXPECT_EQ(ReadRow(kProduct, p, q, true)->visibility, ";2;");
  EXPECT_EQ(ReadRow(kProduct, p, a, true)->visibility, ";2;");
  ExpectTreeConsistent(kProduct, p, "alice");

  // Only additions: nothing below the node changes.
  e.visibilities = ";2;3;4;";
  EXPECT_TRUE(Save(kProduct, p, n, e));
  EXPECT_EQ(ReadRow(kProduct, p, n, true)->visibility, ";2;3;4;");
  EXPECT_EQ(ReadRow(kProduct, p, q, true)->visibility, ";2;");
  ExpectTreeConsistent(kProduct, p, "alice");
}

TEST_F(NodeSaveTest, EntriesPropagatedDownToAnEmptyListFormAWellFormedList) {
  int32_t p = Product(3);
  int32_t n = Add(kProduct, p, 0, ";1;2;", storage::kRepCategory);
  int32_t blank = Add(kProduct, p, n, "");  // the empty list written as empty text
  int32_t spaces = Add(kProduct, p, n, " ");
  int32_t below = Add(kProduct, p, blank, "", storage::kRepAnswer);

  // Only a removal: rows and elements still agree.
  Edit e = Unchanged(kProduct, p, n);
  e.visibilities = ";1;";
  e.propagateDown = true;
  EXPECT_TRUE(Save(kProduct, p, n, e));
  ExpectTreeConsistent(kProduct, p, "alice");

  // An addition: the entries land in a list that begins with its separator.
  e.visibilities = ";1;3;4;";
  EXPECT_TRUE(Save(kProduct, p, n, e));
  for (int32_t id : {blank, spaces, below}) {
    EXPECT_EQ(ReadRow(kProduct, p, id, true)->visibility, ";3;4;") << id;
    EXPECT_EQ(Element(kProduct, p, id).GetAttribute("VISB"), ";3;4;") << id;
  }
  ExpectTreeConsistent(kProduct, p, "alice");
}

TEST_F(NodeSaveTest, FaqsAndHyperlinkReachRowAndElement) {
  int32_t p = Product(3);
  int32_t n = Add(kProduct, p, 0, ";1;", storage::kRepCategory);
  int32_t target = Add(kProduct, p, n, ";1;");

  Edit e = Unchanged(kProduct, p, n);
  e.faqs = ";it's;12;";  // the text travels escaped
  e.hyperlink = target;
  EXPECT_TRUE(Save(kProduct, p, n, e));
  NodeRow row = *ReadRow(kProduct, p, n, true);
  EXPECT_EQ(row.faqs, ";it's;12;");
  EXPECT_EQ(row.hyperlink, target);
  EXPECT_EQ(Element(kProduct, p, n).GetAttribute("FAQ"), "1");
  EXPECT_EQ(Element(kProduct, p, n).GetAttribute("HYP"), std::to_string(target));
  ExpectTreeConsistent(kProduct, p, "alice");

  // Another order of the same FAQs is a change too.
  e.faqs = ";12;it's;";
  EXPECT_TRUE(Save(kProduct, p, n, e));
  EXPECT_EQ(ReadRow(kProduct, p, n, true)->faqs, ";12;it's;");

  e.faqs = " ; ";
  e.hyperlink = -1;
  EXPECT_TRUE(Save(kProduct, p, n, e));
  row = *ReadRow(kProduct, p, n, true);
  EXPECT_EQ(row.faqs, " ; ");
  EXPECT_EQ(row.hyperlink, -1);
  EXPECT_EQ(Element(kProduct, p, n).GetAttribute("FAQ"), "0");
  ExpectTreeConsistent(kProduct, p, "alice");
}

TEST_F(NodeSaveTest, ATemplateTopLevelNodeRewritesTheRoot) {
  int32_t t = CreateTemplate("T");
  ASSERT_EQ(CheckOut(kTemplate, t, "alice"), "");
  int32_t a = Add(kTemplate, t, 0, ";1;2;");
  Add(kTemplate, t, 0, ";2;");
  int32_t below = Add(kTemplate, t, a, ";1;");
  ASSERT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";1;2;");

  // Only the FAQs change, yet the root row is written again (with its
  // list as it was).
  Execute("UPDATE TEMPLATE_TEMP SET VISIBILITY = ';9;' WHERE TEMPLATEID = " + std::to_string(t) +
          " AND NODEID = 0");
  Edit e = Unchanged(kTemplate, t, a);
  e.faqs = ";7;";
  EXPECT_TRUE(Save(kTemplate, t, a, e));
  EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";1;2;");
  ExpectTreeConsistent(kTemplate, t, "alice");

  // An entry another top-level node shows stays; one nobody shows goes.
  e.visibilities = ";5;";
  EXPECT_TRUE(Save(kTemplate, t, a, e));
  EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";2;5;");
  EXPECT_EQ(LoadDocument(kTemplate, t, true).DocumentElement().GetAttribute("VISB"), ";2;5;");
  EXPECT_EQ(ReadRow(kTemplate, t, below, true)->visibility, ";");
  EXPECT_EQ(ReadRow(kTemplate, t, 0, false)->visibility, ";") << "the published root stays";
  ExpectTreeConsistent(kTemplate, t, "alice");

  // Below the top level the root is left alone.
  Execute("UPDATE TEMPLATE_TEMP SET VISIBILITY = ';2;5;8;' WHERE TEMPLATEID = " + std::to_string(t) +
          " AND NODEID = 0");
  e = Unchanged(kTemplate, t, below);
  e.faqs = ";3;";
  EXPECT_TRUE(Save(kTemplate, t, below, e));
  EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";2;5;8;");
}

TEST_F(NodeSaveTest, AFailureUndoesEverythingTheSaveWrote) {
  int32_t p = Product(3);
  int32_t n = Add(kProduct, p, 0, ";1;", storage::kRepCategory);
  Add(kProduct, p, n, ";1;");
  const std::vector<NodeRow> rows = ReadRows(kProduct, p, true);
  const int entities = EntityCount(storage::kRepCategory);
  RecordingLog log;

  // The new entity is made before the element turns out to lack its ld.
  Edit e = Unchanged(kProduct, p, n);
  e.sd = "new text";
  e.visibilities = ";";
  e.propagateDown = true;
  ErrorInfo error = Caught([&] {
    Save(kProduct, p, n, e, [](Tree&, Node& node) { node.NodeDOM.RemoveChild(node.NodeDOM.SelectSingleNode("./ld")); });
  });
  EXPECT_EQ(error.number, err::ObjectNotSet);
  EXPECT_EQ(error.description.rfind("\r\nMETHOD: HXSvcTroubleshooting.Node.Save caught: ", 0), 0u)
      << error.description;
  ASSERT_FALSE(log.Entries().empty());
  EXPECT_EQ(log.Entries().back().text.rfind("HXSvcTroubleshooting.Node.Save ", 0), 0u);
  EXPECT_EQ(ReadRows(kProduct, p, true), rows);
  EXPECT_EQ(EntityCount(storage::kRepCategory), entities) << "the new entity goes with the rollback";

  // A list that is not one is refused at once.
  e = Unchanged(kProduct, p, n);
  e.visibilities = ";1';";
  EXPECT_EQ(Caught([&] { Save(kProduct, p, n, e); }).number, err::InvalidVisibilityList);
  EXPECT_EQ(ReadRows(kProduct, p, true), rows);
  ExpectTreeConsistent(kProduct, p, "alice");
}

}  // namespace
}  // namespace tsa::test

