// Published versions: what each publication keeps, the diff between copies,
// restoring a version, and pruning by the retention setting.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "repository/repository.h"
#include "runtime/caller.h"
#include "runtime/settings.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"
#include "versions/version_errors.h"
#include "versions/tree_diff.h"
#include "versions/version_store.h"
#include "versions/versions.h"

namespace tsa::test {
namespace {

using nlohmann::json;

constexpr int32_t kLaser = 7;

class VersionsTest : public TreeTest {
 protected:
  VersionsTest() {
    LoadTestCatalog(env);
    dom->CreateEmptyTree(kProduct, kLaser);
  }

  void CheckOutAnn() {
    std::string owner;
    dom->CheckOut(kProduct, kLaser, "ann", owner);
    ASSERT_EQ(owner, "");
  }
  int32_t Add(int32_t parent, int32_t repType, const std::string& sd, const std::string& visibilities = ";1;") {
    return dom->AddChildNew(kProduct, kLaser, parent, repType, sd, sd + " in detail", visibilities, ";", -1, "ann");
  }
  std::string PublishedDocument() { return LoadDocument(kProduct, kLaser, false).Xml(); }
  // The changes of a diff as "node:change" in order.
  static std::vector<std::string> Kinds(const json& diff) {
    std::vector<std::string> out;
    for (const json& c : diff) out.push_back(std::to_string(c["node"].get<int>()) + ":" + c["change"].get<std::string>());
    return out;
  }

  // The entity a node of the working copy shows.
  static int32_t Rep(int32_t node) { return ReadRow(kProduct, kLaser, node, true)->repId; }

  TSDOMPtr dom = CreateTSDOMObject();
  Versions versions;
};

TEST_F(VersionsTest, EachPublicationIsAVersionWithItsPublisherAndComment) {
  const std::string born = PublishedDocument();
  CheckOutAnn();
  Add(0, storage::kRepCategory, "Paper");
  {
    CallerScope scope(Caller{"ann", "publisher", ""});
    dom->PublishWithComment(kProduct, kLaser, "first pages", false);  // warnings only
  }
  const std::string first = PublishedDocument();
  CheckOutAnn();
  Add(0, storage::kRepCategory, "Toner");
  dom->Publish(kProduct, kLaser);

  const json list = versions.List(kProduct, kLaser);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0]["version"], 3);
  EXPECT_EQ(list[0]["publishedBy"], "");  // no caller: an in-process call
  EXPECT_EQ(list[1]["version"], 2);
  EXPECT_EQ(list[1]["publishedBy"], "ann");
  EXPECT_EQ(list[1]["comment"], "first pages");
  EXPECT_EQ(list[1]["forced"], false);
  EXPECT_EQ(list[2]["version"], 1);     // the copy CreateEmptyTree made, kept by the first publication
  EXPECT_EQ(list[2]["publishedAt"], "");
  EXPECT_EQ(versions.Get(kProduct, kLaser, 1), born);
  EXPECT_EQ(versions.Get(kProduct, kLaser, 2), first);
  EXPECT_EQ(versions.Get(kProduct, kLaser, 3), PublishedDocument());
  EXPECT_EQ(RaisedBy([&] { versions.Get(kProduct, kLaser, 4); }).number, err::VersionNotFound);
  ExpectTreeConsistent(kProduct, kLaser, "ann");
}

TEST_F(VersionsTest, DiffDescribesKnownEdits) {
  CheckOutAnn();
  const int32_t paper = Add(0, storage::kRepCategory, "Paper");
  const int32_t a = Add(paper, storage::kRepQuestion, "A");
  const int32_t b = Add(paper, storage::kRepQuestion, "B");
  const int32_t c = Add(paper, storage::kRepQuestion, "C");
  const int32_t gone = Add(0, storage::kRepCategory, "Gone");
  dom->Publish(kProduct, kLaser);

  CheckOutAnn();
  // Added before the deletion: a freed node identifier is given again.
  const int32_t added = Add(paper, storage::kRepAnswer, "New");
  dom->DeleteNode(kProduct, kLaser, gone, "ann");
  dom->MoveNode(kProduct, kLaser, c, 1, "ann");  // A, C, B: one of B and C reads as moved
  dom->SaveNode(kProduct, kLaser, a, Rep(a), "A2", "A in detail", false, ";1;2;", false, ";5;", b, "ann");

  const json diff = versions.Diff(kProduct, kLaser, "published", "working");
  std::vector<std::string> kinds = Kinds(diff);
  const std::vector<std::string> expected = {
      std::to_string(a) + ":texts",     std::to_string(a) + ":entity",    std::to_string(a) + ":visibility",
      std::to_string(a) + ":faqs",      std::to_string(a) + ":hyperlink", "moved",
      std::to_string(gone) + ":removed", std::to_string(added) + ":added"};
  std::vector<std::string> sortedKinds = kinds, sortedExpected = expected;
  for (std::string& k : sortedKinds) {
    if (k == std::to_string(b) + ":moved" || k == std::to_string(c) + ":moved") k = "moved";
  }
  std::sort(sortedKinds.begin(), sortedKinds.end());
  std::sort(sortedExpected.begin(), sortedExpected.end());
  EXPECT_EQ(sortedKinds, sortedExpected) << diff.dump(1);
  for (const json& change : diff) {
    if (change["change"] == "texts") {
      EXPECT_EQ(change["before"]["sd"], "A");
      EXPECT_EQ(change["after"]["sd"], "A2");
    } else if (change["change"] == "moved") {
      const bool isC = change["node"] == c;
      EXPECT_EQ(change["before"], (json{{"parent", paper}, {"position", isC ? 3 : 2}}));
      EXPECT_EQ(change["after"], (json{{"parent", paper}, {"position", isC ? 2 : 3}}));
    } else if (change["change"] == "visibility") {
      EXPECT_EQ(change["before"], ";1;");
      EXPECT_EQ(change["after"], ";1;2;");
    } else if (change["change"] == "hyperlink") {
      EXPECT_EQ(change["after"], b);
    } else if (change["change"] == "added") {
      EXPECT_EQ(change["after"]["sd"], "New");
      EXPECT_EQ(change["after"]["position"], 4);
    }
  }
  // The same copies named by version; a copy to itself has no changes.
  dom->Publish(kProduct, kLaser);
  EXPECT_EQ(Kinds(versions.Diff(kProduct, kLaser, "2", "3")), kinds);
  EXPECT_TRUE(versions.Diff(kProduct, kLaser, "3", "published").empty());
  EXPECT_EQ(RaisedBy([&] { versions.Diff(kProduct, kLaser, "published", "working"); }).number, err::NoSuchCopy);
  EXPECT_EQ(RaisedBy([&] { versions.Diff(kProduct, kLaser, "2x", "3"); }).number, err::InvalidArgument);
  ExpectTreeConsistent(kProduct, kLaser, "ann");
}

// The long text is compared on its own: a save that changes it alone is a
// texts change (and, unpropagated, an entity of the node's own).
TEST_F(VersionsTest, DiffShowsALongTextChangedAlone) {
  CheckOutAnn();
  const int32_t paper = Add(0, storage::kRepCategory, "Paper");
  const int32_t q = Add(paper, storage::kRepQuestion, "Jammed?");
  dom->Publish(kProduct, kLaser);
  CheckOutAnn();
  dom->SaveNode(kProduct, kLaser, q, Rep(q), "Jammed?", "Open the front cover", false, ";1;", false, ";", -1, "ann");

  const json diff = versions.Diff(kProduct, kLaser, "published", "working");
  EXPECT_EQ(Kinds(diff), (std::vector<std::string>{std::to_string(q) + ":texts", std::to_string(q) + ":entity"}))
      << diff.dump(1);
  for (const json& change : diff) {
    if (change["change"] != "texts") continue;
    EXPECT_EQ(change["before"], (json{{"sd", "Jammed?"}, {"ld", "Jammed? in detail"}}));
    EXPECT_EQ(change["after"], (json{{"sd", "Jammed?"}, {"ld", "Open the front cover"}}));
  }
}

// A document that holds a node twice is damaged: the diff refuses it
// rather than comparing sibling lists of different lengths.
TEST(TreeDiffTest, ADocumentHoldingANodeTwiceIsDamaged) {
  auto document = [](const std::string& children) {
    return "<Node NID=\"0\" RTP=\"0\" RID=\"0\"><sd/><ld/>" + children + "</Node>";
  };
  const std::string node = "<Node NID=\"5\" RTP=\"2\" RID=\"3\"><sd>A</sd><ld/></Node>";
  const versions::TreeCopy once{{}, document(node)}, twice{{}, document(node + node)};
  EXPECT_TRUE(versions::DiffCopies(once, once).empty());
  EXPECT_EQ(RaisedBy([&] { versions::DiffCopies(twice, once); }).number, err::VersionDamaged);
  EXPECT_EQ(RaisedBy([&] { versions::DiffCopies(once, twice); }).number, err::VersionDamaged);
}

TEST_F(VersionsTest, RestoredVersionPublishesTheSameDocument) {
  CheckOutAnn();
  const int32_t paper = Add(0, storage::kRepCategory, "Paper");
  const int32_t q = Add(paper, storage::kRepQuestion, "Jammed?");
  Add(q, storage::kRepAnswer, "Yes");
  dom->Publish(kProduct, kLaser);
  const std::string first = PublishedDocument();
  const auto firstRows = ReadRows(kProduct, kLaser, false);

  CheckOutAnn();
  dom->DeleteNode(kProduct, kLaser, q, "ann");
  dom->SaveNode(kProduct, kLaser, paper, Rep(paper), "Paper!", "", false, ";1;2;", false, ";", -1, "ann");
  Add(0, storage::kRepCategory, "Call us");
  dom->Publish(kProduct, kLaser);

  EXPECT_EQ(RaisedBy([&] { versions.Restore(kProduct, kLaser, 2, "ann"); }).number, err::NotCheckedOut);
  CheckOutAnn();
  EXPECT_EQ(RaisedBy([&] { versions.Restore(kProduct, kLaser, 2, "bob"); }).number, err::NotCheckedOut);
  EXPECT_EQ(RaisedBy([&] { versions.Restore(kProduct, kLaser, 9, "ann"); }).number, err::VersionNotFound);
  versions.Restore(kProduct, kLaser, 2, "ann");
  ExpectTreeConsistent(kProduct, kLaser, "ann");
  EXPECT_TRUE(versions.Diff(kProduct, kLaser, "2", "working").empty());
  dom->Publish(kProduct, kLaser);
  EXPECT_EQ(PublishedDocument(), first);
  EXPECT_EQ(ReadRows(kProduct, kLaser, false), firstRows);
  ExpectTreeConsistent(kProduct, kLaser, "ann");
}

TEST_F(VersionsTest, RestoreGivesChangedOrDeletedEntitiesNewOnesAndLeavesOtherTreesAlone) {
  CheckOutAnn();
  const int32_t paper = Add(0, storage::kRepCategory, "Paper");
  const int32_t gone = Add(0, storage::kRepCategory, "Gone");
  const int32_t kept = Add(0, storage::kRepCategory, "Kept");
  dom->Publish(kProduct, kLaser);
  const auto v2 = ReadRows(kProduct, kLaser, false);
  auto repOf = [&](int32_t node) {
    for (const NodeRow& r : v2) {
      if (r.nodeId == node) return r.repId;
    }
    return -1;
  };

  // Another tree shows the same entity as "Paper".
  dom->CreateEmptyTree(kProduct, 8);
  std::string owner;
  dom->CheckOut(kProduct, 8, "ann", owner);
  const int32_t shared =
      dom->AddChildFromRep(kProduct, 8, 0, storage::kRepCategory, repOf(paper), ";2;", ";", -1, "ann");
  dom->Publish(kProduct, 8);

  CheckOutAnn();
  // Texts changed everywhere, an entity deleted with its node.
  dom->SaveNode(kProduct, kLaser, paper, Rep(paper), "Paper (new)", "", true, ";1;", false, ";", -1, "ann");
  dom->DeleteNode(kProduct, kLaser, gone, "ann");
  dom->Publish(kProduct, kLaser);
  CreateRepositoryObject()->DeleteRepEntity(storage::kRepCategory, repOf(gone));

  CheckOutAnn();
  versions.Restore(kProduct, kLaser, 2, "ann");
  ExpectTreeConsistent(kProduct, kLaser, "ann");
  const auto restored = ReadRows(kProduct, kLaser, true);
  for (const NodeRow& r : restored) {
    if (r.nodeId == paper || r.nodeId == gone) {
      EXPECT_NE(r.repId, repOf(r.nodeId)) << r.nodeId;
    }
    if (r.nodeId == kept) {
      EXPECT_EQ(r.repId, repOf(kept));
    }
  }
  EXPECT_EQ(RepEntity(storage::kRepCategory, repOf(paper))->first, "Paper (new)");
  EXPECT_EQ(ReadRow(kProduct, 8, shared, false)->repId, repOf(paper));
  ExpectTreeConsistent(kProduct, 8, "ann");
}

TEST_F(VersionsTest, OnlyTheNewestVersionsAreKept) {
  Settings s = CurrentSettings();
  const Settings before = s;
  s.versionsKept = 2;
  SetCurrentSettings(s);
  for (int i = 0; i < 4; ++i) {
    CheckOutAnn();
    Add(0, storage::kRepCategory, "Round " + std::to_string(i));
    dom->Publish(kProduct, kLaser);
  }
  SetCurrentSettings(before);
  const json list = versions.List(kProduct, kLaser);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["version"], 5);
  EXPECT_EQ(list[1]["version"], 4);
  EXPECT_EQ(RaisedBy([&] { versions.Get(kProduct, kLaser, 3); }).number, err::VersionNotFound);

  // A deleted tree takes its versions along.
  dom->deleteTree(kLaser, kProduct, "ann");
  EXPECT_TRUE(versions.List(kProduct, kLaser).empty());
}

// An entity only a kept version shows survives the removal of unused
// entities (also for versions kept before their entities were recorded),
// and goes once that version is pruned.
TEST_F(VersionsTest, UnusedEntityRemovalKeepsWhatKeptVersionsShow) {
  Settings s = CurrentSettings();
  const Settings before = s;
  s.versionsKept = 2;
  SetCurrentSettings(s);
  CheckOutAnn();
  const int32_t node = Add(0, storage::kRepCategory, "First words");
  dom->Publish(kProduct, kLaser);  // version 2 shows the first entity
  const int32_t first = ReadRow(kProduct, kLaser, node, false)->repId;
  CheckOutAnn();
  dom->SaveNode(kProduct, kLaser, node, Rep(node), "Second words", "", false, ";1;", false, ";", -1, "ann");
  dom->Publish(kProduct, kLaser);  // version 3 shows a new one
  ASSERT_NE(ReadRow(kProduct, kLaser, node, false)->repId, first);

  // As if kept by an engine that did not record entities.
  RunTransactional([] {
    auto connection = GetHelvixConnection();
    connection->Execute("DELETE FROM TREEVERSIONENTITIES");
    CloseConnection(connection);
  });
  const UnusedEntities kept = versions::RemoveUnusedEntities(false);
  EXPECT_TRUE(RepEntity(storage::kRepCategory, first).has_value()) << kept.Total() << " removed";
  CheckOutAnn();
  versions.Restore(kProduct, kLaser, 2, "ann");  // shows the very entity it showed
  EXPECT_EQ(Rep(node), first);
  ExpectTreeConsistent(kProduct, kLaser, "ann");
  dom->UndoEditTree(kLaser, kProduct, "ann");

  CheckOutAnn();
  Add(0, storage::kRepCategory, "More");
  dom->Publish(kProduct, kLaser);  // version 2 pruned
  SetCurrentSettings(before);
  const UnusedEntities removed = versions::RemoveUnusedEntities(false);
  EXPECT_EQ(removed.Total(), 1);
  EXPECT_FALSE(RepEntity(storage::kRepCategory, first).has_value());
}

}  // namespace
}  // namespace tsa::test
