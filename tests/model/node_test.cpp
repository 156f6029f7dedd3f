// Node: appending children (position, row, element, template root) and the
// visibility list a template root keeps.
#include <gtest/gtest.h>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "model/node.h"
#include "model/tree.h"
#include "model_test_util.h"
#include "platform/files/document_store.h"
#include "runtime/context.h"
#include "support/consistency.h"
#include "support/recording_log.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

class NodeTest : public TreeTest {
 protected:
  // A tree checked out by "alice".
  int32_t Product(int32_t id = 3, const std::string& visibilities = ";1;") {
    CreateProductTree(id, visibilities);
    EXPECT_EQ(CheckOut(kProduct, id, "alice"), "");
    return id;
  }
  int32_t Template() {
    int32_t id = CreateTemplate("T", "reusable");
    EXPECT_EQ(CheckOut(kTemplate, id, "alice"), "");
    return id;
  }
  static NewNode Child(int32_t parent, const std::string& visibilities = ";", int32_t repType = storage::kRepQuestion) {
    NewNode n;
    n.parent = parent;
    n.repType = repType;
    n.visibilities = visibilities;
    return n;
  }
  static void Execute(const std::string& sql) {
    auto c = GetHelvixConnection();
    c->Execute(sql);
    CloseConnection(c);
  }
  static std::string ManagerText(int32_t treeType, int32_t id) {
    return DocumentStore()->Load(DocumentPath(treeType, *DocumentName(treeType, id, true), true));
  }
};

TEST_F(NodeTest, AppendedChildrenTakeTheirPositionFromTheParent) {
  int32_t p = Product();
  std::vector<int32_t> top = AddChildren(kProduct, p, "alice", 0, 5, storage::kRepCategory);
  ASSERT_EQ(top, (std::vector<int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(*ReadRow(kProduct, p, 1, true), (NodeRow{p, 1, 1, ReadRow(kProduct, p, 1, true)->repId, 1, 1, 0, ";0;",
                                                      ";", ";", -1}));
  EXPECT_EQ(ReadRow(kProduct, p, 5, true)->sequence, 5);

  int32_t below5 = AddNode(kProduct, p, "alice", Child(5));
  int32_t deeper = AddNode(kProduct, p, "alice", Child(below5));
  NodeRow r = *ReadRow(kProduct, p, below5, true);
  EXPECT_EQ(r.preTree, ";0;5;");
  EXPECT_EQ(r.depth, 2);
  EXPECT_EQ(r.parentId, 5);
  EXPECT_EQ(r.sequence, 1);
  EXPECT_EQ(ReadRow(kProduct, p, deeper, true)->preTree, ";0;5;6;");

  // The new element is the parent's last child, after sd, ld and the others.
  XmlDoc doc = LoadDocument(kProduct, p, true);
  std::vector<XmlElement> children = doc.DocumentElement().ChildElements();
  ASSERT_EQ(children.size(), 7u);
  EXPECT_EQ(children[0].Name(), "sd");
  EXPECT_EQ(children[1].Name(), "ld");
  EXPECT_EQ(children[6].GetAttribute("NID"), "5");
  ExpectTreeConsistent(kProduct, p, "alice");
}

TEST_F(NodeTest, SequenceCountsTheChildElementsNotTheStoredNumbers) {
  int32_t p = Product();
  int32_t category = AddNode(kProduct, p, "alice", Child(0, ";", storage::kRepCategory));
  std::vector<int32_t> three = AddChildren(kProduct, p, "alice", category, 3);
  EXPECT_EQ(ReadRow(kProduct, p, three[2], true)->sequence, 3);
  Execute("UPDATE DIAGNOSTICS_TEMP SET SEQUENCE = SEQUENCE - 10 WHERE PRODUCTID = 3 AND PNODEID = " +
          std::to_string(category));
  int32_t fourth = AddNode(kProduct, p, "alice", Child(category));
  EXPECT_EQ(ReadRow(kProduct, p, fourth, true)->sequence, 4);
  ExpectTreeConsistent(kProduct, p, "alice");
}

TEST_F(NodeTest, AppendingBelowATemplateRootAddsTheChildsEntriesToTheRoot) {
  int32_t t = Template();
  int32_t first = AddNode(kTemplate, t, "alice", Child(0, ";1;2;"));
  EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";1;2;");

  RunTransactional([&] {
    TreePtr tree = CreateTreeObject();
    tree->load(kTemplate, t, "alice");
    NodePtr root = tree->getNode(0);
    NodePtr child = tree->createNode(storage::kRepQuestion, "q", "", ";2;3;", ";", -1);
    root->AppendChild(*child);
    EXPECT_EQ(root->Visibilities, ";1;2;3;");
    EXPECT_EQ(root->NodeDOM.GetAttribute("VISB"), ";1;2;3;");
    tree->save();
  });
  EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";1;2;3;");
  EXPECT_EQ(ReadRow(kTemplate, t, 0, false)->visibility, ";") << "the published root stays as it is";

  // Below a node that is not the root nothing but the insert happens.
  AddNode(kTemplate, t, "alice", Child(first, ";9;"));
  EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";1;2;3;");
  EXPECT_EQ(ReadRow(kTemplate, t, first, true)->visibility, ";1;2;");
  ExpectTreeConsistent(kTemplate, t, "alice");

  // A product tree's root keeps the product's list.
  int32_t p = Product(4, ";1;");
  AddNode(kProduct, p, "alice", Child(0, ";5;", storage::kRepCategory));
  EXPECT_EQ(ReadRow(kProduct, p, 0, true)->visibility, ";1;");
  ExpectTreeConsistent(kProduct, p, "alice");
}

TEST_F(NodeTest, ATemplateRootWithoutEntriesTakesTheChildsEntriesWhateverItsEmptyListLooksLike) {
  // The root's list as stored: "" (a root saved with the empty text) or a
  // blank, both the empty list.
  for (const std::string& rootList : {std::string(""), std::string(" ")}) {
    SCOPED_TRACE("root list \"" + rootList + "\"");
    int32_t t = Template();
    SetWorkingList(kTemplate, t, 0, rootList);
    AddNode(kTemplate, t, "alice", Child(0, ";2;3;"));
    EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";2;3;");
    ExpectTreeConsistent(kTemplate, t, "alice");
  }
  // A child whose list is blank adds nothing and leaves the root a list.
  int32_t t = Template();
  AddNode(kTemplate, t, "alice", Child(0, ";1;"));
  RunTransactional([&] {
    TreePtr tree = CreateTreeObject();
    tree->load(kTemplate, t, "alice");
    NodePtr root = tree->getNode(0);
    NodePtr child = tree->createNode(storage::kRepQuestion, "q", "", " ", ";", -1);
    root->AppendChild(*child);
    tree->save();
  });
  EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";1;");
  ExpectTreeConsistent(kTemplate, t, "alice");
}

TEST_F(NodeTest, AFailedAppendInsideATransactionLeavesRowsAndDocumentAsTheyWere) {
  int32_t t = Template();
  AddNode(kTemplate, t, "alice", Child(0, ";1;"));
  const std::vector<NodeRow> rowsBefore = ReadRows(kTemplate, t, true);
  const std::string documentBefore = ManagerText(kTemplate, t);
  RecordingLog log;

  int32_t newEntity = 0;
  ErrorInfo e = Caught([&] {
    RunTransactional([&] {
      TreePtr tree = CreateTreeObject();
      tree->load(kTemplate, t, "alice");
      NodePtr root = tree->getNode(0);
      NodePtr child = tree->createNode(storage::kRepQuestion, "q", "", ";7;", ";", -1);
      newEntity = child->RepID;
      child->NodeID = 1;  // taken: the insert fails
      root->AppendChild(*child);
      tree->save();
    });
  });
  EXPECT_NE(e.number, 0);
  // Reported by CreateNewNodeinDB first, then by AppendChild.
  EXPECT_EQ(e.description.rfind("\r\nMETHOD: HXSvcTroubleshooting.Node.AppendChild caught: \r\nMETHOD: "
                                "HXSvcTroubleshooting.Node.CreateNewNodeinDB caught: ",
                                0),
            0u)
      << e.description;
  std::vector<std::string> labels;
  for (const LogEntry& entry : log.Entries()) labels.push_back(entry.text.substr(0, entry.text.find(' ')));
  EXPECT_EQ(labels, (std::vector<std::string>{"HXSvcTroubleshooting.Node.CreateNewNodeinDB",
                                              "HXSvcTroubleshooting.Node.AppendChild"}));

  EXPECT_EQ(ReadRows(kTemplate, t, true), rowsBefore);
  EXPECT_EQ(ManagerText(kTemplate, t), documentBefore);
  EXPECT_FALSE(RepEntity(storage::kRepQuestion, newEntity)) << "the new entity goes with the rollback";
  ExpectTreeConsistent(kTemplate, t, "alice");
}

TEST_F(NodeTest, AChildWithoutAnElementIsRefusedBeforeAnythingIsWritten) {
  int32_t p = Product();
  const std::vector<NodeRow> rowsBefore = ReadRows(kProduct, p, true);
  TreePtr tree = CreateTreeObject();
  tree->load(kProduct, p, "alice");
  NodePtr root = tree->getNode(0);
  NodePtr child = CreateNodeObject();
  child->NodeID = 1;
  child->RepType = storage::kRepCategory;
  child->Visibilities = ";";
  child->FAQs = ";";
  ErrorInfo e = Caught([&] { root->AppendChild(*child); });  // outside any transaction
  EXPECT_EQ(e.number, err::ObjectNotSet);
  EXPECT_EQ(ReadRows(kProduct, p, true), rowsBefore);
}

TEST_F(NodeTest, TemplateRootVisibilityAddsAndRemovesOnlyWhatNoOtherTopLevelNodeShows) {
  int32_t t = Template();
  int32_t a = AddNode(kTemplate, t, "alice", Child(0, ";1;"));
  AddNode(kTemplate, t, "alice", Child(0, ";2;"));
  int32_t lone = CreateTemplate("lone");
  CheckOut(kTemplate, lone, "alice");
  int32_t only = AddNode(kTemplate, lone, "alice", Child(0, ";1;2;"));

  TreePtr tree = CreateTreeObject();
  tree->load(kTemplate, t, "alice");
  NodePtr node = tree->getNode(a);
  ASSERT_EQ(node->NodeDOM.Parent().GetAttribute("VISB"), ";1;2;");
  EXPECT_EQ(node->GetTemplateRootVisib("", ""), ";1;2;");
  EXPECT_EQ(node->GetTemplateRootVisib("", ";1;2;"), ";2;");
  EXPECT_EQ(node->GetTemplateRootVisib("", ";2;1;"), ";2;");
  EXPECT_EQ(node->GetTemplateRootVisib(";2;5;", ""), ";1;2;5;");
  EXPECT_EQ(node->GetTemplateRootVisib(";5;", ";1;"), ";2;5;");
  // It computes only: neither the element nor the row changes.
  EXPECT_EQ(node->NodeDOM.Parent().GetAttribute("VISB"), ";1;2;");
  EXPECT_EQ(ReadRow(kTemplate, t, 0, true)->visibility, ";1;2;");

  TreePtr loneTree = CreateTreeObject();
  loneTree->load(kTemplate, lone, "alice");
  EXPECT_EQ(loneTree->getNode(only)->GetTemplateRootVisib("", ";1;2;"), ";");

  // The root itself has no parent element to read.
  ErrorInfo e = Caught([&] { tree->getNode(0)->GetTemplateRootVisib("", ";1;"); });
  EXPECT_EQ(e.number, err::ObjectNotSet);
  EXPECT_NE(e.description.find("METHOD: HXSvcTroubleshooting.Node.GetTemplateRootVisib caught: "), std::string::npos);
}

TEST_F(NodeTest, TemplateRootVisibilityComparesOtherNodesWithoutRegardToCase) {
  int32_t t = Template();
  int32_t a = AddNode(kTemplate, t, "alice", Child(0, ";ab;"));
  AddNode(kTemplate, t, "alice", Child(0, ";AB;"));
  TreePtr tree = CreateTreeObject();
  tree->load(kTemplate, t, "alice");
  EXPECT_EQ(tree->getNode(a)->GetTemplateRootVisib("", ";ab;"), ";ab;AB;");
}

}  // namespace
}  // namespace tsa::test
