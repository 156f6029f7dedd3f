// The diff between two versions against random edits made in between:
// nodes added, texts and visibilities saved, siblings moved. Whatever the
// sequence, the diff names exactly the nodes added, exactly the nodes whose
// short or long texts (and so entities) and visibility lists end different,
// with the texts they end with, and as moved only nodes among the siblings
// that were reordered. A failure names the seed.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"
#include "versions/versions.h"

namespace tsa::test {
namespace {

using nlohmann::json;

constexpr int32_t kLaser = 7;

struct Shown {
  std::string sd;
  std::string ld;
  std::string visibility;
  int32_t parent = 0;
};

class DiffRandomTest : public TreeTest {
 protected:
  DiffRandomTest() { LoadTestCatalog(env); }
  TSDOMPtr dom = CreateTSDOMObject();
};

TEST_F(DiffRandomTest, TheDiffNamesWhatTheEditsChanged) {
  dom->CreateEmptyTree(kProduct, kLaser);
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    std::string owner;
    dom->CheckOut(kProduct, kLaser, "ann", owner);
    // A long text or none.
    auto detail = [&](const std::string& sd) { return pick(2) ? sd + " in detail" : std::string(); };
    // A starting tree: categories with questions below.
    std::map<int32_t, Shown> before;
    for (int c = 0; c < 3; ++c) {
      const std::string name = "C" + std::to_string(c), text = detail(name);
      const int32_t category =
          dom->AddChildNew(kProduct, kLaser, 0, storage::kRepCategory, name, text, ";1;", ";", -1, "ann");
      before[category] = {name, text, ";1;", 0};
      for (int q = 0; q < 3; ++q) {
        const std::string sd = "Q" + std::to_string(c) + std::to_string(q), ld = detail(sd);
        const int32_t node =
            dom->AddChildNew(kProduct, kLaser, category, storage::kRepQuestion, sd, ld, ";1;", ";", -1, "ann");
        before[node] = {sd, ld, ";1;", category};
      }
    }
    dom->Publish(kProduct, kLaser);
    const int32_t from = Versions().List(kProduct, kLaser)[0]["version"];

    dom->CheckOut(kProduct, kLaser, "ann", owner);
    std::map<int32_t, Shown> now = before;
    std::set<int32_t> added, reorderedParents, newEntities;
    for (int step = 0; step < 25; ++step) {
      std::vector<int32_t> nodes;
      for (const auto& [id, shown] : now) nodes.push_back(id);
      const int32_t node = nodes[pick(nodes.size())];
      const int32_t repId = ReadRow(kProduct, kLaser, node, true)->repId;
      switch (pick(4)) {
        case 0: {  // a child below a category
          if (now[node].parent != 0) break;
          const std::string sd = "N" + std::to_string(step), ld = detail(sd);
          const int32_t child =
              dom->AddChildNew(kProduct, kLaser, node, storage::kRepQuestion, sd, ld, ";2;", ";", -1, "ann");
          now[child] = {sd, ld, ";2;", node};
          added.insert(child);
          break;
        }
        case 1: {  // a new short text, long text, both, or the same ones again
          const size_t which = pick(4);
          const std::string sd = which & 1 ? "T" + std::to_string(step) : now[node].sd;
          const std::string ld = which & 2 ? "L" + std::to_string(step) : now[node].ld;
          dom->SaveNode(kProduct, kLaser, node, repId, sd, ld, false, now[node].visibility, false, ";", -1, "ann");
          // Other texts without propagation: an entity of the node's own,
          // also when a later save brings the old texts back.
          if ((sd != now[node].sd || ld != now[node].ld) && !added.count(node)) newEntities.insert(node);
          now[node].sd = sd;
          now[node].ld = ld;
          break;
        }
        case 2: {  // another visibility list
          const std::string visibility = pick(2) ? ";1;2;" : ";1;";
          dom->SaveNode(kProduct, kLaser, node, repId, now[node].sd, now[node].ld, false, visibility, false, ";", -1,
                        "ann");
          now[node].visibility = visibility;
          break;
        }
        case 3:  // one place up or down
          dom->MoveNode(kProduct, kLaser, node, pick(2) ? 1 : 2, "ann");
          reorderedParents.insert(now[node].parent);
          break;
      }
    }
    ExpectTreeConsistent(kProduct, kLaser, "ann");
    // A narrower list is carried down to the node's descendants: the lists
    // the engine kept are the ones the diff must report.
    for (const NodeRow& row : ReadRows(kProduct, kLaser, true)) {
      if (now.count(row.nodeId)) now[row.nodeId].visibility = row.visibility;
    }
    dom->Publish(kProduct, kLaser);
    const int32_t to = Versions().List(kProduct, kLaser)[0]["version"];

    std::set<int32_t> texts, visibilities;
    for (const auto& [id, shown] : before) {
      if (now[id].sd != shown.sd || now[id].ld != shown.ld) texts.insert(id);
      if (now[id].visibility != shown.visibility) visibilities.insert(id);
    }
    std::map<std::string, std::set<int32_t>> reported;
    for (const json& change : Versions().Diff(kProduct, kLaser, std::to_string(from), std::to_string(to))) {
      const int32_t id = change["node"].get<int32_t>();
      reported[change["change"]].insert(id);
      if (change["change"] == "texts") {
        EXPECT_EQ(change["before"], (json{{"sd", before[id].sd}, {"ld", before[id].ld}})) << id;
        EXPECT_EQ(change["after"], (json{{"sd", now[id].sd}, {"ld", now[id].ld}})) << id;
      }
    }
    EXPECT_EQ(reported["added"], added);
    EXPECT_EQ(reported["removed"], std::set<int32_t>{});
    EXPECT_EQ(reported["texts"], texts);
    EXPECT_EQ(reported["entity"], newEntities);
    EXPECT_EQ(reported["visibility"], visibilities);

    for (int32_t moved : reported["moved"]) {
      EXPECT_TRUE(reorderedParents.count(now[moved].parent)) << moved;
    }
  }
}

}  // namespace
}  // namespace tsa::test
