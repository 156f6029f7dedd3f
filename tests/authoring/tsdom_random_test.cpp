// Random sequences of facade calls over three product trees and a template,
// by two users, from a fixed set of seeds. After every step each tree must
// be consistent (rows against document) as both users see it, a call that
// failed must have changed nothing, and the errors raised must be the
// library's own refusals. A failure names the seed and the step, so that it
// can be replayed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

constexpr int32_t kLaser = 7;
constexpr int32_t kScanner = 8;
constexpr int32_t kCopy = 20;  // made and deleted again by createTreeFromTree / deleteTree

const std::vector<std::string> kUsers = {"alice", "bob"};

const std::vector<std::string> kTexts = {
    "Paper jam",   "It's \"stuck\"",   "a < b && c > d", "&amp; is not &",   "Ünïcödé – ☃ 中文",
    "",            "  padded  ",       "line\nbreak",    "<Node NID=\"1\"/>", "'; DROP TABLE REPQUESTION; --",
    "]]> <![CDATA[", "100% _done_ \\ *", "tab\there",    "emoji 😀",      "bell\x07 and \x1f",
};

const std::vector<std::string> kLists = {";",    "",      ";1;",   ";2;",    ";1;2;", ";3;",   ";1;3;",
                                         ";2;3;", ";7;",   ";1;2;3;", ";2;1;", ";1;1;", ";01;", " "};
const std::vector<std::string> kBadLists = {"1;2", ";a;", ";1", "x"};

// The library's refusals: any of these may answer a random call.
const std::set<int32_t> kExpected = {err::TreeLoadFailed,     err::NotCheckedOut,       err::CannotDeleteRoot,
                                     err::ChildTypeNotAllowed, err::NodeNotFound,        err::CheckedOutByOther,
                                     err::RepEntityNotFound,   err::RepEntityInUse,      err::InvalidArgument,
                                     err::InvalidVisibilityList, err::NothingToPublish,  err::TreeAlreadyExists,
                                     err::ProductNotFound};

struct TreeRef {
  int32_t type;
  int32_t id;
  bool operator<(const TreeRef& o) const { return std::tie(type, id) < std::tie(o.type, o.id); }
  bool operator==(const TreeRef& o) const = default;
};

std::string Name(const TreeRef& t) {
  return (t.type == kProduct ? "product " : "template ") + std::to_string(t.id);
}

class TSDOMRandomTest : public TreeTest {
 protected:
  TSDOMRandomTest() { LoadTestCatalog(env); }

  void Run(uint32_t seed, int steps);

  // --- the model ---
  std::map<TreeRef, std::optional<std::string>> holder;  // trees that exist, and who holds them
  TSDOMPtr dom = CreateTSDOMObject();
  std::mt19937 rng;

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  bool Chance(int percent) { return Pick(100) < percent; }
  template <class T>
  const T& OneOf(const std::vector<T>& v) {
    return v[Pick(static_cast<int>(v.size()))];
  }

  std::vector<TreeRef> Trees() const {
    std::vector<TreeRef> v;
    for (const auto& [t, h] : holder) v.push_back(t);
    return v;
  }
  // The rows of the copy the user sees.
  std::vector<NodeRow> Seen(const TreeRef& t, const std::string& user) {
    const auto h = holder.find(t);
    const bool working = h != holder.end() && h->second == user;
    return ReadRows(t.type, t.id, working);
  }
  // A user: most often the holder of the tree, so that edits get through.
  std::string UserFor(const TreeRef& t) {
    const auto h = holder.find(t);
    if (h != holder.end() && h->second && Chance(85)) return *h->second;
    return OneOf(kUsers);
  }
  // A node identifier of the rows, now and then one that is not there.
  int32_t NodeOf(const std::vector<NodeRow>& rows) {
    if (rows.empty() || Chance(4)) return 987654;
    if (rows.size() > 1 && Chance(85)) return rows[1 + Pick(static_cast<int>(rows.size()) - 1)].nodeId;
    return rows[Pick(static_cast<int>(rows.size()))].nodeId;
  }
  std::string List() { return Chance(5) ? OneOf(kBadLists) : OneOf(kLists); }

  static size_t SubtreeSize(const std::vector<NodeRow>& rows, int32_t nodeId) {
    size_t n = 0;
    for (const NodeRow& r : rows) {
      if (r.nodeId == nodeId || r.preTree.find(";" + std::to_string(nodeId) + ";") != std::string::npos) ++n;
    }
    return n;
  }

  void CheckAll(const std::string& where) {
    for (const auto& [t, h] : holder) {
      for (const std::string& user : kUsers) {
        EXPECT_TRUE(TreeIsConsistent(t.type, t.id, user)) << where << ": " << Name(t) << " as " << user << " sees it";
      }
      EXPECT_EQ(CheckOutHolder(t.type, t.id), h) << where << ": holder of " << Name(t);
      EXPECT_LE(CheckOutRecords(t.type, t.id), 1) << where;
    }
    EXPECT_TRUE(StagedLeftovers(env).empty()) << where;
  }
};

void TSDOMRandomTest::Run(uint32_t seed, int steps) {
  rng.seed(seed);
  for (int32_t id : {kLaser, kScanner}) {
    dom->CreateEmptyTree(kProduct, id);
    holder[{kProduct, id}] = std::nullopt;
  }
  const int32_t templateId = dom->CreateNewTemplateInfo("Paper jam", "For every printer", 10);
  dom->CreateEmptyTree(kTemplate, templateId);
  holder[{kTemplate, templateId}] = std::nullopt;
  const TreeRef tmpl{kTemplate, templateId};

  std::vector<std::string> history;
  Stored before;
  for (int step = 0; step < steps; ++step) {
    auto what = std::make_shared<std::ostringstream>();
    *what << "seed " << seed << " step " << step << ": ";
    const std::vector<TreeRef> trees = Trees();
    const TreeRef t = OneOf(trees);
    const std::string user = UserFor(t);
    const std::vector<NodeRow> rows = Seen(t, user);
    const bool holds = holder[t] == user;

    // What the call does, and what the model expects of it when it succeeds.
    std::function<void()> call;
    std::function<void()> onSuccess = [] {};
    // A tree nobody holds is mostly checked out first, so that edits happen.
    const int op = !holder[t] && Chance(50) ? 0 : Pick(17);
    switch (op) {
      case 0:
      case 1: {  // check-out
        *what << "CheckOut(" << Name(t) << ", " << user << ")";
        auto owner = std::make_shared<std::string>("unset");
        call = [=, this] { dom->CheckOut(t.type, t.id, user, *owner); };
        onSuccess = [=, this] {
          const auto before = holder[t];
          EXPECT_EQ(*owner, before.value_or("")) << what->str();
          if (!before) {
            holder[t] = user;
            EXPECT_EQ(ReadRows(t.type, t.id, true), ReadRows(t.type, t.id, false)) << what->str();
          }
        };
        break;
      }
      case 2:
      case 3:
      case 4: {  // a new child
        const int32_t parent = NodeOf(rows);
        const int32_t repType = Chance(15) ? Pick(6) : 1 + Pick(4);
        const std::string sd = OneOf(kTexts), ld = OneOf(kTexts), list = List();
        const int32_t hyperlink = Chance(10) ? NodeOf(rows) : -1;
        *what << "AddChildNew(" << Name(t) << ", parent " << parent << ", type " << repType << ", \"" << sd
             << "\", list \"" << list << "\", hyperlink " << hyperlink << ", " << user << ")";
        auto added = std::make_shared<int32_t>(-1);
        call = [=, this] {
          *added = dom->AddChildNew(t.type, t.id, parent, repType, sd, ld, list, Chance(50) ? ";" : ";1;", hyperlink,
                                    user);
        };
        onSuccess = [=, this] {
          EXPECT_TRUE(holds) << what->str();
          const auto after = ReadRows(t.type, t.id, true);
          EXPECT_EQ(after.size(), rows.size() + 1) << what->str();
          const auto row = ReadRow(t.type, t.id, *added, true);
          if (!row) {
            ADD_FAILURE() << what->str() << ": no row for the new node " << *added;
            return;
          }
          EXPECT_EQ(row->parentId, parent) << what->str();
          EXPECT_EQ(row->repType, repType) << what->str();
          EXPECT_EQ(row->visibility, list) << what->str();
          EXPECT_EQ(RepEntity(repType, row->repId), std::make_pair(sd, ld)) << what->str();
        };
        break;
      }
      case 5: {  // a child showing an entity some tree already shows
        std::vector<NodeRow> all;
        for (const TreeRef& other : trees) {
          for (const NodeRow& r : ReadRows(other.type, other.id, false)) {
            if (r.nodeId != 0) all.push_back(r);
          }
        }
        const int32_t parent = NodeOf(rows);
        int32_t repType = 1 + Pick(4), repId = 424242;
        if (!all.empty() && !Chance(10)) {
          const NodeRow& r = OneOf(all);
          repType = r.repType;
          repId = r.repId;
        }
        const std::string list = List();
        *what << "AddChildFromRep(" << Name(t) << ", parent " << parent << ", type " << repType << ", entity " << repId
             << ", list \"" << list << "\", " << user << ")";
        call = [=, this] { dom->AddChildFromRep(t.type, t.id, parent, repType, repId, list, ";", -1, user); };
        onSuccess = [=, this] {
          EXPECT_TRUE(holds) << what->str();
          EXPECT_EQ(ReadRows(t.type, t.id, true).size(), rows.size() + 1) << what->str();
        };
        break;
      }
      case 6:
      case 7: {  // saving a node
        const int32_t nodeId = NodeOf(rows);
        int32_t repId = 0, repType = 0;
        for (const NodeRow& r : rows) {
          if (r.nodeId == nodeId) repId = r.repId, repType = r.repType;
        }
        const int32_t ownRepId = repId;
        if (Chance(5)) {
          repId = 535353;
        } else if (Chance(10)) {
          for (const NodeRow& r : rows) {  // another entity of the same type
            if (r.repType == repType && r.repId != ownRepId) repId = r.repId;
          }
        }
        const std::string sd = OneOf(kTexts), ld = OneOf(kTexts), list = List();
        const bool content = Chance(50), down = Chance(50);
        *what << "SaveNode(" << Name(t) << ", node " << nodeId << ", entity " << repId << ", \"" << sd << "\", list \""
             << list << "\", content " << content << ", down " << down << ", " << user << ")";
        call = [=, this] {
          dom->SaveNode(t.type, t.id, nodeId, repId, sd, ld, content, list, down, ";", -1, user);
        };
        onSuccess = [=, this] {
          EXPECT_TRUE(holds) << what->str();
          const auto after = ReadRows(t.type, t.id, true);
          EXPECT_EQ(after.size(), rows.size()) << what->str();
          const auto row = ReadRow(t.type, t.id, nodeId, true);
          if (nodeId != 0 && row) {
            // Propagated, the node's own entity takes the texts; else the
            // node shows the entity asked for, or a new one with the texts.
            EXPECT_EQ(row->repId, content ? ownRepId : (repId != ownRepId ? repId : row->repId)) << what->str();
            if (content || repId == ownRepId) {
              EXPECT_EQ(RepEntity(repType, row->repId), std::make_pair(sd, ld)) << what->str();
            }
          }
        };
        break;
      }
      case 8: {  // moving a node
        const int32_t nodeId = NodeOf(rows);
        const int32_t direction = Chance(10) ? 5 : (Chance(50) ? 1 : -1);
        *what << "MoveNode(" << Name(t) << ", node " << nodeId << ", direction " << direction << ", " << user << ")";
        call = [=, this] { dom->MoveNode(t.type, t.id, nodeId, direction, user); };
        onSuccess = [=, this] {
          EXPECT_TRUE(holds) << what->str();
          EXPECT_EQ(ReadRows(t.type, t.id, true).size(), rows.size()) << what->str();
        };
        break;
      }
      case 9: {  // deleting a node
        const int32_t nodeId = NodeOf(rows);
        *what << "DeleteNode(" << Name(t) << ", node " << nodeId << ", " << user << ")";
        call = [=, this] { dom->DeleteNode(t.type, t.id, nodeId, user); };
        onSuccess = [=, this] {
          EXPECT_TRUE(holds) << what->str();
          EXPECT_EQ(ReadRows(t.type, t.id, true).size(), rows.size() - SubtreeSize(rows, nodeId)) << what->str();
          EXPECT_FALSE(ReadRow(t.type, t.id, nodeId, true).has_value()) << what->str();
        };
        break;
      }
      case 10:
      case 11: {  // pasting, within the tree or from another
        const TreeRef src = Chance(50) ? t : OneOf(trees);
        const std::vector<NodeRow> srcRows = Seen(src, user);
        const int32_t srcNode = NodeOf(srcRows), dstNode = NodeOf(rows);
        std::string list = List();
        if (Chance(50)) {
          try {
            list = dom->GetVisibilitiesToAdd(src.type, src.id, srcNode, t.type, t.id, dstNode, user);
          } catch (const Error& e) {
            EXPECT_TRUE(kExpected.count(e.number())) << what->str() << "GetVisibilitiesToAdd: " << e.what();
          }
        }
        *what << "Paste(" << Name(src) << " node " << srcNode << " -> " << Name(t) << " node " << dstNode << ", list \""
             << list << "\", " << user << ")";
        call = [=, this] { dom->Paste(src.type, src.id, srcNode, t.type, t.id, dstNode, list, user); };
        onSuccess = [=, &before, this] {
          // Not an error for a user who does not hold the tree: nothing happens.
          if (!holds) {
            EXPECT_EQ(before, Snapshot(env)) << what->str();
            return;
          }
          EXPECT_EQ(ReadRows(t.type, t.id, true).size(), rows.size() + SubtreeSize(srcRows, srcNode)) << what->str();
        };
        break;
      }
      case 12: {  // grafting the template
        const int32_t nodeId = NodeOf(rows);
        const std::string list = List();
        *what << "AddTemplateToNode(" << Name(tmpl) << " -> " << Name(t) << " node " << nodeId << ", list \"" << list
             << "\", " << user << ")";
        auto reason = std::make_shared<int32_t>(-7);
        call = [=, this] { dom->AddTemplateToNode(tmpl.id, t.type, t.id, nodeId, list, user, *reason); };
        onSuccess = [=, &before, this] {
          EXPECT_EQ(*reason, -7) << what->str();
          // Not an error for a user who does not hold the tree: nothing happens.
          if (!holds) {
            EXPECT_EQ(before, Snapshot(env)) << what->str();
          }
        };
        break;
      }
      case 13: {  // publishing
        *what << "Publish(" << Name(t) << ")";
        const auto working = ReadRows(t.type, t.id, true);
        call = [=, this] { dom->Publish(t.type, t.id); };
        onSuccess = [=, this] {
          EXPECT_TRUE(holder[t].has_value()) << what->str();
          EXPECT_EQ(ReadRows(t.type, t.id, false), working) << what->str();
          EXPECT_TRUE(ReadRows(t.type, t.id, true).empty()) << what->str();
          holder[t] = std::nullopt;
        };
        break;
      }
      case 14: {  // undoing the edits
        *what << "UndoEditTree(" << Name(t) << ", " << user << ")";
        const auto published = ReadRows(t.type, t.id, false);
        call = [=, this] { dom->UndoEditTree(t.id, t.type, user); };
        onSuccess = [=, this] {
          EXPECT_TRUE(holder[t] == user || !holder[t]) << what->str();
          EXPECT_EQ(ReadRows(t.type, t.id, false), published) << what->str();
          EXPECT_TRUE(ReadRows(t.type, t.id, true).empty()) << what->str();
          holder[t] = std::nullopt;
        };
        break;
      }
      case 15: {  // copying a tree to product 20, or deleting that copy
        const TreeRef dst{kProduct, kCopy};
        if (holder.count(dst) && Chance(50)) {
          const std::string u = UserFor(dst);
          *what << "deleteTree(" << Name(dst) << ", " << u << ")";
          call = [=, this] { dom->deleteTree(dst.id, dst.type, u); };
          onSuccess = [=, this] {
            EXPECT_TRUE(!holder[dst] || holder[dst] == u) << what->str();
            EXPECT_TRUE(ReadRows(dst.type, dst.id, false).empty()) << what->str();
            EXPECT_TRUE(ReadRows(dst.type, dst.id, true).empty()) << what->str();
            holder.erase(dst);
          };
        } else {
          *what << "createTreeFromTree(" << Name(t) << " -> " << Name(dst) << ", " << user << ")";
          call = [=, this] { dom->createTreeFromTree(t.type, t.id, dst.type, dst.id, user); };
          onSuccess = [=, this] {
            EXPECT_FALSE(holder.count(dst)) << what->str();
            holder[dst] = user;
            EXPECT_EQ(ReadRows(dst.type, dst.id, true).size(), rows.size()) << what->str();
          };
        }
        break;
      }
      default: {  // catalog changes reaching a product tree
        StringDict add, del;
        const std::vector<std::string> ids = {"1", "2", "3", "7", "9"};
        for (int i = Pick(3); i > 0; --i) {
          const std::string& k = OneOf(ids);
          if (!add.Exists(k)) add.Add(k, Chance(50) ? "Root" : "Tree");
        }
        for (int i = Pick(3); i > 0; --i) {
          const std::string& k = OneOf(ids);
          if (!del.Exists(k)) del.Add(k, "");
        }
        const TreeRef p = t.type == kProduct ? t : TreeRef{kProduct, kLaser};
        const auto working = ReadRows(p.type, p.id, true);
        *what << "SynchronizeVisibilitiesforTree(" << Name(p) << ")";
        call = [=, this] { dom->SynchronizeVisibilitiesforTree(0, p.id, add, del); };
        onSuccess = [=, this] { EXPECT_EQ(ReadRows(p.type, p.id, true).size(), working.size()) << what->str(); };
        break;
      }
    }

    before = Snapshot(env);
    bool failed = false;
    try {
      call();
    } catch (const Error& e) {
      failed = true;
      EXPECT_TRUE(kExpected.count(e.number())) << what->str() << ": unexpected error " << e.number() << " "
                                                << e.what();
      *what << " -> " << e.number();
      if (std::getenv("TSA_RANDOM_VERBOSE")) *what << " " << e.what();
    } catch (const std::exception& e) {
      failed = true;
      ADD_FAILURE() << what->str() << ": foreign exception " << e.what();
    }
    if (failed) {
      EXPECT_EQ(before, Snapshot(env)) << what->str() << ": a refused call changed something";
    } else {
      onSuccess();
    }
    CheckAll(what->str());
    history.push_back(what->str() + (failed ? " (refused)" : ""));
    if (HasFailure()) {
      std::string replay;
      for (const std::string& h : history) replay += "\n  " + h;
      ADD_FAILURE() << "steps so far:" << replay;
      return;
    }
  }
  if (std::getenv("TSA_RANDOM_VERBOSE")) {
    for (const std::string& h : history) std::cout << h << "\n";
  }
}

TEST_F(TSDOMRandomTest, Seed1) { Run(1, 110); }
TEST_F(TSDOMRandomTest, Seed2) { Run(2, 110); }
TEST_F(TSDOMRandomTest, Seed3) { Run(3, 110); }

// Replays or explores one seed: TSA_RANDOM_SEED (and TSA_RANDOM_STEPS).
TEST_F(TSDOMRandomTest, SeedFromTheEnvironment) {
  const char* seed = std::getenv("TSA_RANDOM_SEED");
  if (!seed) GTEST_SKIP() << "TSA_RANDOM_SEED is not set";
  const char* steps = std::getenv("TSA_RANDOM_STEPS");
  Run(static_cast<uint32_t>(std::stoul(seed)), steps ? std::stoi(steps) : 200);
}

}  // namespace
}  // namespace tsa::test
