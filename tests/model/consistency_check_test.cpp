// The consistency check every suite ends with must notice when rows and
// document disagree.
#include <gtest/gtest.h>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/files/document_store.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

class ConsistencyCheckTest : public TreeTest {
 protected:
  // Product `id` checked out by alice: category 1 with questions 2 and 3.
  void Build(int32_t id) {
    CreateProductTree(id, ";1;");
    CheckOut(kProduct, id, "alice");
    AddNode(kProduct, id, "alice", {.repType = storage::kRepCategory, .sd = "category"});
    AddChildren(kProduct, id, "alice", 1, 2);
    ASSERT_TRUE(TreeIsConsistent(kProduct, id, "alice"));
  }
  void Rows(const std::string& sql) {
    auto c = GetHelvixConnection();
    c->Execute(sql);
    CloseConnection(c);
  }
  template <class Change>
  void Document(int32_t id, Change&& change) {
    XmlDoc doc = LoadDocument(kProduct, id, true);
    change(doc);
    DocumentStore()->Save(DocumentPath(kProduct, *DocumentName(kProduct, id, true), true), doc.Xml());
  }
  void ExpectProblem(int32_t id, const std::string& text) {
    ::testing::AssertionResult r = TreeIsConsistent(kProduct, id, "alice");
    EXPECT_FALSE(r) << "tree " << id;
    EXPECT_NE(std::string(r.message()).find(text), std::string::npos) << r.message();
  }
};

TEST_F(ConsistencyCheckTest, NoticesRowsThatDisagreeWithTheDocument) {
  Build(1);
  Rows("UPDATE DIAGNOSTICS_TEMP SET SEQUENCE = 3 - SEQUENCE WHERE PRODUCTID = 1 AND PNODEID = 1");
  ExpectProblem(1, "node 1: its child 3 (SEQUENCE 1) follows child 2 (SEQUENCE 2)");

  Build(2);
  Rows("UPDATE DIAGNOSTICS_TEMP SET VISIBILITY = ';4;' WHERE PRODUCTID = 2 AND NODEID = 3");
  ExpectProblem(2, "node 3: VISB is \";\" but VISIBILITY is \";4;\"");

  Build(3);
  Rows("UPDATE DIAGNOSTICS_TEMP SET PNODEID = 0, PRETREE = ';0;5;' WHERE PRODUCTID = 3 AND NODEID = 2");
  ExpectProblem(3, "node 2: its element lies below node 1 but PNODEID is 0");
  ExpectProblem(3, "node 2: PRETREE is \";0;5;\" but the element's ancestry is \";0;1;\"");

  Build(4);
  Rows("INSERT INTO DIAGNOSTICS_TEMP VALUES (4, 9, 2, 1, 2, 3, 1, ';0;1;', ';', ';', -1)");
  ExpectProblem(4, "row 9 has no element in the document");

  Build(5);
  Rows("UPDATE DIAGNOSTICS_TEMP SET FAQS = ';8;' WHERE PRODUCTID = 5 AND NODEID = 2");
  ExpectProblem(5, "node 2: FAQ is \"0\" but the flag of FAQS is \"1\"");
}

TEST_F(ConsistencyCheckTest, NoticesADocumentThatDisagreesWithTheRows) {
  Build(6);
  Document(6, [](XmlDoc& d) { d.SelectSingleNode("//Node[@NID='2']/sd").SetText("edited"); });
  ExpectProblem(6, "node 2: sd is \"edited\" but the entity's NAME is \"child 1\"");

  Build(7);
  Document(7, [](XmlDoc& d) {
    XmlElement two = d.SelectSingleNode("//Node[@NID='2']");
    two.Parent().RemoveChild(two);
  });
  ExpectProblem(7, "row 2 has no element in the document");

  Build(8);
  Document(8, [](XmlDoc& d) { d.DocumentElement().SetAttribute("VISB", ";"); });
  ExpectProblem(8, "node 0: VISB is \";\" but VISIBILITY is \";1;\"");

  // The copy a user sees: bob sees the published copy, which is still fine.
  EXPECT_TRUE(TreeIsConsistent(kProduct, 8, "bob"));
}

}  // namespace
}  // namespace tsa::test
