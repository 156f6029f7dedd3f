// Texts no XML document can hold: refused at the call binding with nothing
// written, and, where older stores hold them, reported by the checks and
// never written out again.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "model/tree.h"
#include "model/tree_validation.h"
#include "platform/files/document_store.h"
#include "runtime/dispatch.h"
#include "runtime/xml_chars.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

using nlohmann::json;

constexpr int32_t kLaser = 7;

class XmlTextsTest : public TreeTest {
 protected:
  XmlTextsTest() {
    LoadTestCatalog(env);
    dom->CreateEmptyTree(kProduct, kLaser);
    std::string owner;
    dom->CheckOut(kProduct, kLaser, "ann", owner);
    category = dom->AddChildNew(kProduct, kLaser, 0, storage::kRepCategory, "Paper", "", ";1;", ";", -1, "ann");
  }
  TSDOMPtr dom = CreateTSDOMObject();
  int32_t category = 0;
};

TEST_F(XmlTextsTest, EveryTextArgumentIsRefusedByNameAndNothingIsWritten) {
  const Stored before = Snapshot(env);
  const json add{{"i_lTreeType", 1}, {"i_lID", kLaser},         {"i_lCurrentNodeID", category}, {"i_lRepType", 2},
                 {"i_sSDesc", "q"},  {"i_sLDesc", ""},          {"i_sVisibilities", ";1;"},     {"i_sFAQs", ";"},
                 {"i_lHyperlinkNodeID", -1}, {"i_sUserId", "ann"}};
  for (const std::string bad : {"a\uFFFEb", "\uFFFF", "\xED\xA0\x80", "\x0c"}) {
    for (const char* argument : {"i_sSDesc", "i_sLDesc", "i_sVisibilities", "i_sFAQs", "i_sUserId"}) {
      SCOPED_TRACE(std::string(argument) + " " + json(bad).dump(-1, ' ', false, json::error_handler_t::replace));
      json params = add;
      params[argument] = bad;
      const ErrorInfo e = RaisedBy([&] { CallByName(*dom, "AddChildNew", params); });
      EXPECT_EQ(e.number, err::TextNotXml) << e.description;
      EXPECT_NE(e.description.find(argument), std::string::npos) << e.description;
    }
    const ErrorInfo e = RaisedBy([&] {
      CallByName(*dom, "SaveNode", json::array({1, kLaser, category, 0, "Paper", bad, false, ";1;", false, ";", -1, "ann"}));
    });
    EXPECT_EQ(e.number, err::TextNotXml) << e.description;
    EXPECT_NE(e.description.find("i_sLDesc"), std::string::npos) << e.description;
  }
  EXPECT_NOTHING_CHANGED(env, before);

  // Called directly, the document refuses the text itself.
  EXPECT_EQ(RaisedBy([&] {
              dom->AddChildNew(kProduct, kLaser, category, 2, "a\uFFFEb", "", ";1;", ";", -1, "ann");
            }).number,
            err::InvalidProcedureCall);
  EXPECT_NOTHING_CHANGED(env, before);

  // Characters a document can hold go through and read back.
  const std::string fine = "\uFFFD \U0010FFFF \uE000 tab\t😀";
  json params = add;
  params["i_sSDesc"] = fine;
  const json id = CallByName(*dom, "AddChildNew", params);
  XmlDoc doc = LoadDocument(kProduct, kLaser, true);
  ASSERT_FALSE(doc.IsNull());
  EXPECT_EQ(doc.SelectSingleNode("//Node[@NID='" + std::to_string(id.get<int32_t>()) + "']/sd").Text(), fine);
  ExpectTreeConsistent(kProduct, kLaser, "ann");
}

// A document written before these characters were refused: the checks name
// the node, no write puts the document out again, and editing the node's
// texts repairs the tree.
TEST_F(XmlTextsTest, AStoredDocumentHoldingThemIsReportedAndNotWrittenAgain) {
  const int32_t question =
      dom->AddChildNew(kProduct, kLaser, category, 2, "MARK", "", ";1;", ";", -1, "ann");
  const std::string path = DocumentPath(kProduct, *DocumentName(kProduct, kLaser, true), true);
  std::string markup = DocumentStore()->Load(path);
  markup.replace(markup.find("MARK"), 4, "a&#xFFFE;b");
  DocumentStore()->Save(path, markup);

  const ::testing::AssertionResult checked = TreeCopyIsConsistent(kProduct, kLaser, true);
  EXPECT_FALSE(checked);
  EXPECT_NE(std::string(checked.message()).find("node " + std::to_string(question) + ": sd holds the character U+FFFE"),
            std::string::npos)
      << checked.message();
  bool reported = false;
  for (const Finding& f : ValidateTreeCopy(kProduct, kLaser, true)) {
    if (f.rule == "xml-characters") {
      EXPECT_EQ(f.node, question);
      EXPECT_EQ(f.severity, "error");
      reported = true;
    }
  }
  EXPECT_TRUE(reported);

  // Any other edit would write the document out again: refused, nothing changed.
  const Stored before = Snapshot(env);
  EXPECT_EQ(RaisedBy([&] {
              dom->AddChildNew(kProduct, kLaser, category, 2, "other", "", ";1;", ";", -1, "ann");
            }).number,
            err::DocumentNotWritable);
  EXPECT_NOTHING_CHANGED(env, before);

  // The author edits the node's texts; then the tree is whole again.
  dom->SaveNode(kProduct, kLaser, question, ReadRow(kProduct, kLaser, question, true)->repId, "ab", "", false, ";1;",
                false, ";", -1, "ann");
  ExpectTreeConsistent(kProduct, kLaser, "ann");
  dom->AddChildNew(kProduct, kLaser, category, 2, "other", "", ";1;", ";", -1, "ann");
  for (const Finding& f : ValidateTreeCopy(kProduct, kLaser, true)) EXPECT_NE(f.rule, "xml-characters") << f.message;
}

}  // namespace
}  // namespace tsa::test
