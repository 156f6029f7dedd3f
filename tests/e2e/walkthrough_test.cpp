// A product tree from an empty database to its publication, driven the way
// the front end drives it: every edit a JSON-RPC call over HTTP, every look at
// the tree a document read for the author holding it and for someone else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/service_fixture.h"
#include "support/consistency.h"

namespace tsa::test {
namespace {

using nlohmann::json;
using Ids = std::vector<int32_t>;

class WalkThroughTest : public ServiceTest {
 protected:
  XmlDoc HolderView() { return client().Document(kProduct, kLaserPrinter, "alice"); }
  XmlDoc ReaderView() { return client().Document(kProduct, kLaserPrinter, "bob"); }

  // The published copy, as everybody but the holder sees it, still holds the
  // root alone while alice edits.
  void ExpectPublishedUntouched() {
    XmlDoc published = ReaderView();
    EXPECT_EQ(AllNodeIds(published), Ids{0});
  }
};

TEST_F(WalkThroughTest, FromAnEmptyDatabaseToAPublishedTree) {
  // A new tree is born published, with its root only.
  client().Result("TSDOM.CreateEmptyTree", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}});
  {
    XmlDoc doc = ReaderView();
    XmlElement root = doc ? doc.DocumentElement() : XmlElement();
    ASSERT_FALSE(root.IsNull());
    EXPECT_EQ(root.GetAttribute("NID"), "0");
    EXPECT_EQ(root.GetAttribute("PRID"), "7");
    EXPECT_EQ(root.GetAttribute("VISB"), ";1;2;3;");
    EXPECT_EQ(root.ChildText("sd"), "Laser printer L200");
    EXPECT_EQ(root.ChildText("ld"), "");
    EXPECT_TRUE(ChildNodeIds(root).empty());
  }

  // alice takes it: the owner comes back empty.
  json checkOut = client().Result("TSDOM.CheckOut", {{"i_lTreeType", kProduct},
                                                     {"i_lID", kLaserPrinter},
                                                     {"i_sUserId", "alice"},
                                                     {"o_sOwner", ""}});
  EXPECT_EQ(checkOut.value("o_sOwner", json()), "");
  EXPECT_EQ(client().NodeInfo(kProduct, kLaserPrinter, 0, "alice").value("Checkedout", json()), true);
  EXPECT_EQ(client().NodeInfo(kProduct, kLaserPrinter, 0, "bob").value("Checkedout", json()), false);
  EXPECT_EQ(AllNodeIds(HolderView()), Ids{0});

  // A category under the root.
  const json categoryResult = client().Result(
      "TSDOM.AddChildNew", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}, {"i_lCurrentNodeID", 0},
                            {"i_lRepType", storage::kRepCategory}, {"i_sSDesc", "Paper handling"},
                            {"i_sLDesc", "Feeding & output"}, {"i_sVisibilities", ";1;2;"}, {"i_sFAQs", ";"},
                            {"i_lHyperlinkNodeID", -1}, {"i_sUserId", "alice"}});
  ASSERT_TRUE(categoryResult.is_number_integer()) << categoryResult;
  const int32_t category = categoryResult.get<int32_t>();
  {
    XmlDoc doc = HolderView();
    EXPECT_EQ(ChildNodeIds(doc.DocumentElement()), Ids{category});
    XmlElement e = NodeElement(doc, category);
    ASSERT_FALSE(e.IsNull());
    EXPECT_EQ(e.GetAttribute("RTP"), "1");
    EXPECT_EQ(e.GetAttribute("VISB"), ";1;2;");
    EXPECT_EQ(e.ChildText("sd"), "Paper handling");
    EXPECT_EQ(e.ChildText("ld"), "Feeding & output");
  }
  ExpectPublishedUntouched();

  // A question under it, with texts that need escaping in markup and SQL.
  const std::string questionText = "Is the paper <jammed> & 'torn'?";
  const int32_t question =
      client()
          .Result("TSDOM.AddChildNew",
                  {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}, {"i_lCurrentNodeID", category},
                   {"i_lRepType", storage::kRepQuestion}, {"i_sSDesc", questionText},
                   {"i_sLDesc", "Open tray 2; look \"inside\""}, {"i_sVisibilities", ";1;2;"}, {"i_sFAQs", ";"},
                   {"i_lHyperlinkNodeID", -1}, {"i_sUserId", "alice"}})
          .get<int32_t>();
  EXPECT_NE(question, category);
  {
    XmlDoc doc = HolderView();
    EXPECT_EQ(ChildNodeIds(NodeElement(doc, category)), Ids{question});
    XmlElement e = NodeElement(doc, question);
    ASSERT_FALSE(e.IsNull());
    EXPECT_EQ(e.GetAttribute("RTP"), "2");
    EXPECT_EQ(e.ChildText("sd"), questionText);
    EXPECT_EQ(e.ChildText("ld"), "Open tray 2; look \"inside\"");
  }
  const json questionInfo = client().NodeInfo(kProduct, kLaserPrinter, question, "alice");
  EXPECT_EQ(questionInfo.value("PreTree", json()), ";0;" + std::to_string(category) + ";");
  EXPECT_EQ(questionInfo.value("Depth", json()), 2);
  const int32_t entity = questionInfo.value("RepID", -1);
  ASSERT_GT(entity, 0);

  // The same question entity shown a second time, for agents only, linking
  // to the first.
  const int32_t twin = client()
                           .Result("TSDOM.AddChildFromRep",
                                   {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter},
                                    {"i_lCurrentNodeID", category}, {"i_lRepType", storage::kRepQuestion},
                                    {"i_lRepID", entity}, {"i_sVisibilities", ";2;"}, {"i_sFAQs", ";"},
                                    {"i_lHyperlinkNodeID", question}, {"i_sUserId", "alice"}})
                           .get<int32_t>();
  {
    XmlDoc doc = HolderView();
    EXPECT_EQ(ChildNodeIds(NodeElement(doc, category)), (Ids{question, twin}));
    XmlElement e = NodeElement(doc, twin);
    ASSERT_FALSE(e.IsNull());
    EXPECT_EQ(e.GetAttribute("RID"), std::to_string(entity));
    EXPECT_EQ(e.GetAttribute("HYP"), std::to_string(question));
    EXPECT_EQ(e.GetAttribute("VISB"), ";2;");
    EXPECT_EQ(e.ChildText("sd"), questionText);
  }

  // New texts and audience for the twin, not carried to the first node.
  client().Result("TSDOM.SaveNode", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}, {"i_lNodeID", twin},
                                     {"i_lRepID", entity}, {"i_sSDesc", "Is the paper stuck?"},
                                     {"i_sLDesc", "Agents: check the rollers"}, {"i_bPropogateContent", false},
                                     {"i_sVisibilities", ";1;2;"}, {"i_bPropogateVisibDown", false},
                                     {"i_sFAQs", ";"}, {"i_lHyperlinkNodeID", -1}, {"i_sUserId", "alice"}});
  {
    XmlDoc doc = HolderView();
    XmlElement saved = NodeElement(doc, twin);
    ASSERT_FALSE(saved.IsNull());
    EXPECT_EQ(saved.ChildText("sd"), "Is the paper stuck?");
    EXPECT_EQ(saved.ChildText("ld"), "Agents: check the rollers");
    EXPECT_EQ(saved.GetAttribute("VISB"), ";1;2;");
    EXPECT_NE(saved.GetAttribute("RID"), std::to_string(entity));
    EXPECT_EQ(NodeElement(doc, question).ChildText("sd"), questionText);
  }
  ExpectTreeConsistent(kProduct, kLaserPrinter, "alice");

  // The twin moves in front of the first question.
  client().Result("TSDOM.MoveNode", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}, {"i_lNodeID", twin},
                                     {"i_lDirection", 1}, {"i_sUserId", "alice"}});
  EXPECT_EQ(ChildNodeIds(NodeElement(HolderView(), category)), (Ids{twin, question}));

  // The first question goes; the call answers with its parent.
  const json parent = client().Result(
      "TSDOM.DeleteNode",
      {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}, {"i_lNodeID", question}, {"i_sUserId", "alice"}});
  EXPECT_EQ(parent, category);
  XmlDoc lastEdit = HolderView();
  EXPECT_EQ(ChildNodeIds(NodeElement(lastEdit, category)), Ids{twin});
  EXPECT_TRUE(NodeElement(lastEdit, question).IsNull());
  ExpectPublishedUntouched();
  ExpectTreeConsistent(kProduct, kLaserPrinter, "alice");

  // Publication: everybody now sees what alice last saw, and nobody holds
  // the tree any more.
  client().Result("TSDOM.Publish", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}});
  XmlDoc published = ReaderView();
  ASSERT_FALSE(published.IsNull());
  ASSERT_FALSE(lastEdit.IsNull());
  EXPECT_EQ(published.Xml(), lastEdit.Xml());
  EXPECT_EQ(HolderView().Xml(), published.Xml());
  EXPECT_EQ(client().NodeInfo(kProduct, kLaserPrinter, twin, "bob").value("sd", json()), "Is the paper stuck?");
  EXPECT_EQ(client().NodeInfo(kProduct, kLaserPrinter, 0, "alice").value("Checkedout", json()), false);

  Ids rows;
  for (const NodeRow& r : ReadRows(kProduct, kLaserPrinter, false)) rows.push_back(r.nodeId);
  EXPECT_EQ(rows, (Ids{0, category, twin}));
  EXPECT_TRUE(ReadRows(kProduct, kLaserPrinter, true).empty());
  ExpectTreeConsistent(kProduct, kLaserPrinter, "bob");
}

// Export a tree and import it under another product id, over the network:
// the file travels as a JSON object, and a refusal comes back as an engine
// error with its number.
TEST_F(WalkThroughTest, ExportATreeAndImportItUnderAnotherProductId) {
  client().Result("TSDOM.CreateEmptyTree", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}});
  client().Result("TSDOM.CheckOut", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}, {"i_sUserId", "alice"}});
  client().Result("TSDOM.AddChildNew", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}, {"i_lCurrentNodeID", 0},
                                        {"i_lRepType", storage::kRepCategory}, {"i_sSDesc", "Paper <jams>"},
                                        {"i_sLDesc", ""}, {"i_sVisibilities", ";2;"}, {"i_sFAQs", ";"},
                                        {"i_lHyperlinkNodeID", -1}, {"i_sUserId", "alice"}});
  client().Result("TSDOM.Publish", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}});

  const json file = client().Result(
      "Exchange.Export", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}, {"i_bWorking", false}});
  ASSERT_EQ(file.value("nodes", json()).size(), 1u) << file;
  const json imported = client().Result(
      "Exchange.Import", {{"i_vFile", file}, {"i_lTreeType", kProduct}, {"i_lID", kScanner}, {"i_bReuseTexts", true}});
  EXPECT_EQ(imported.value("entitiesReused", -1), 1) << imported;
  XmlDoc doc = client().Document(kProduct, kScanner, "bob");
  ASSERT_TRUE(doc);
  EXPECT_EQ(ChildNodeIds(doc.DocumentElement()), Ids{1});
  EXPECT_EQ(NodeElement(doc, 1).ChildText("sd"), "Paper <jams>");
  ExpectTreeConsistent(kProduct, kScanner, "bob");

  json broken = file;
  broken["nodes"][0]["parent"] = 5;
  const ErrorInfo e = client().EngineError(
      "Exchange.Import", {{"i_vFile", broken}, {"i_lTreeType", kProduct}, {"i_lID", kCopier}, {"i_bReuseTexts", false}});
  EXPECT_EQ(e.number, 1413);
  EXPECT_NE(e.description.find("$.nodes[0].parent"), std::string::npos) << e.description;
}

}  // namespace
}  // namespace tsa::test
