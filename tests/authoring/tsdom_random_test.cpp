// Random sequences of facade calls, from seeds, checked after every step.
//
// The short run (in every test run) works on three product trees and a
// template, by two users, for three fixed seeds. The long run
// (TSAUTHOR_SOAK_OPS steps for each seed of TSAUTHOR_SOAK_SEEDS; `make soak`)
// works on six products, three templates and three users, and also
// restores published versions and publishes with a comment.
//
// After every step the trees must be consistent (rows against document), a
// call that failed must have changed nothing, the errors raised must be the
// library's own refusals, and every tree must hold what the calls that
// succeeded made of it: a model of each copy (nodes, their parents, order,
// entities, lists), of the check-out holders and of the published versions
// is kept beside the engine and compared with its rows. A failure names the
// seed and the step, so that it can be replayed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "authoring/tree_model.h"
#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"
#include "versions/version_errors.h"
#include "versions/versions.h"

namespace tsa::test {
namespace {

constexpr int32_t kLaser = 7;
constexpr int32_t kScanner = 8;
constexpr int32_t kCopy = 20;  // made and deleted again by createTreeFromTree / deleteTree

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
                                     err::ProductNotFound,     err::VersionNotFound,     err::PublishRefused};

// Versions kept per tree unless configured otherwise.
constexpr int32_t kVersionsKept = 50;

// What a run works on, and how closely it looks.
struct Mode {
  bool soak = false;
  std::vector<int32_t> products;     // product trees made at the start
  std::vector<int32_t> copyTargets;  // products that createTreeFromTree makes and deleteTree removes
  int templates = 1;
  std::vector<std::string> users;
  // Long run: copies a step did not touch are checked against their
  // documents every this many steps (their rows against the model every step).
  int fullCheckEvery = 1;
  // Long run: a copy of this many nodes is pruned instead of grown.
  size_t maxNodes = 0;
};

Mode ShortMode() { return {false, {kLaser, kScanner}, {kCopy}, 1, {"alice", "bob"}, 1, 0}; }
// A login with a quote, a blank and a letter beyond ASCII among the users.
Mode SoakMode() { return {true, {kLaser, kScanner, 22, 23}, {kCopy, 21}, 3, {"alice", "bob", "Zoë O'Brien"}, 25, 60}; }

// The test catalog and three products more for the long run: 21 (category
// 12: visibilities 1, 3), 22 (category 10: 1, 2) and 23 (categories 11, 12).
void LoadSoakCatalog(const TestEnv& env) {
  LoadTestCatalog(env, R"({"id": 21, "description": "Label printer", "categories": [12]},
                 {"id": 22, "description": "Ink printer", "categories": [10]},
                 {"id": 23, "description": "Copier", "categories": [11, 12]})");
}

struct TreeRef {
  int32_t type;
  int32_t id;
  bool operator<(const TreeRef& o) const { return std::tie(type, id) < std::tie(o.type, o.id); }
  bool operator==(const TreeRef& o) const = default;
};

std::string Name(const TreeRef& t) {
  return (t.type == kProduct ? "product " : "template ") + std::to_string(t.id);
}

// What a tree should hold.
struct TreeModel {
  std::optional<std::string> holder;
  Shape published;
  std::optional<Shape> working;  // while someone holds the tree
  std::map<int32_t, Shape> versions;
  int32_t lastVersion = 0;
};

using EntityKey = std::pair<int32_t, int32_t>;  // type, identifier
using Texts = std::pair<std::string, std::string>;

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

class RandomRun {
 public:
  explicit RandomRun(Mode m) : mode(std::move(m)) {
    EnsureTreeComponents();
    if (mode.soak) {
      LoadSoakCatalog(env);
    } else {
      LoadTestCatalog(env);
    }
    dom = CreateTSDOMObject();
  }

  // Runs `steps` steps; false when a check failed (the failure names seed and step).
  bool Run(uint32_t seed, int steps);

  int acknowledged = 0;
  int refused = 0;
  std::map<std::string, std::pair<int, int>> byCall;  // call -> (done, refused)

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  bool Chance(int percent) { return Pick(100) < percent; }
  template <class T>
  const T& OneOf(const std::vector<T>& v) {
    return v[Pick(static_cast<int>(v.size()))];
  }

  std::vector<TreeRef> Trees() const {
    std::vector<TreeRef> v;
    for (const auto& [t, m] : model) v.push_back(t);
    return v;
  }
  const std::optional<std::string>& Holder(const TreeRef& t) { return model.at(t).holder; }
  // The rows of the copy the user sees.
  std::vector<NodeRow> Seen(const TreeRef& t, const std::string& user) {
    const auto m = model.find(t);
    const bool working = m != model.end() && m->second.holder == user;
    return ReadRows(t.type, t.id, working);
  }
  // A user: most often the holder of the tree, so that edits get through.
  std::string UserFor(const TreeRef& t) {
    const auto& h = Holder(t);
    if (h && Chance(85)) return *h;
    return OneOf(mode.users);
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

  // --- the model ---
  void Created(const TreeRef& t) {
    TreeModel m;
    m.published = ShapeOf(ReadRows(t.type, t.id, false));
    model[t] = std::move(m);
  }
  Shape ReadShape(const TreeRef& t, bool working) { return ShapeOf(ReadRows(t.type, t.id, working)); }
  // `expected` must be what the copy holds; the model takes it.
  void ExpectCopy(const TreeRef& t, bool working, const Shape& expected, const std::string& what,
                  Ignoring ignoring = {}) {
    const Shape actual = ReadShape(t, working);
    Shape want = expected;
    // A template's root shows what its top-level nodes show (rules tested apart).
    if (t.type == kTemplate && want.count(0) && actual.count(0)) want[0].visibility = actual.at(0).visibility;
    const std::string diff = ShapeDifferences(want, actual, ignoring);
    EXPECT_TRUE(diff.empty()) << what << ": the " << (working ? "working" : "published") << " copy of " << Name(t)
                              << " is not what the call should have made of it:" << diff;
    // Whatever the comparison left out is taken as the engine has it.
    if (working) {
      model.at(t).working = actual;
    } else {
      model.at(t).published = actual;
    }
  }
  void Published(TreeModel& m) {
    if (m.lastVersion == 0) m.versions[m.lastVersion = 1] = m.published;  // the copy the tree had before
    m.published = *m.working;
    m.working.reset();
    m.holder.reset();
    m.versions[++m.lastVersion] = m.published;
    while (!m.versions.empty() && m.versions.begin()->first <= m.lastVersion - kVersionsKept) {
      m.versions.erase(m.versions.begin());
    }
  }
  // Records the texts of every entity the shape shows that the model does not know yet.
  void LearnEntities(const Shape& shape) {
    for (const auto& [id, n] : shape) {
      if (n.repType == 0 || entities.count({n.repType, n.repId})) continue;
      if (auto e = RepEntity(n.repType, n.repId)) entities[{n.repType, n.repId}] = *e;
    }
  }

  // --- checks ---
  void CheckAll(const std::string& where);
  void CheckCopies(const std::set<TreeRef>& trees, const std::string& where);
  void CheckModel(const std::string& where);
  void CheckEntities(const std::string& where);
  void CheckVersions(const std::string& where);

  Mode mode;
  TestEnv env;
  TSDOMPtr dom;
  Versions versions;
  std::mt19937 rng;
  std::map<TreeRef, TreeModel> model;  // the trees that exist
  std::map<EntityKey, Texts> entities;
  std::vector<TreeRef> templates;
};

// Every tree as every user sees it (the short run).
void RandomRun::CheckAll(const std::string& where) {
  for (const auto& [t, m] : model) {
    for (const std::string& user : mode.users) {
      EXPECT_TRUE(TreeIsConsistent(t.type, t.id, user)) << where << ": " << Name(t) << " as " << user << " sees it";
    }
  }
  EXPECT_TRUE(StagedLeftovers(env).empty()) << where;
}

// The copies of the trees (the published one, and the working one while
// held): rows against documents. Every user sees one of these.
void RandomRun::CheckCopies(const std::set<TreeRef>& trees, const std::string& where) {
  for (const TreeRef& t : trees) {
    const auto m = model.find(t);
    if (m == model.end()) continue;
    EXPECT_TRUE(TreeCopyIsConsistent(t.type, t.id, false)) << where;
    if (m->second.holder) {
      EXPECT_TRUE(TreeCopyIsConsistent(t.type, t.id, true)) << where;
    }
  }
}

// Rows and check-out records against the model, for every tree.
void RandomRun::CheckModel(const std::string& where) {
  for (const auto& [t, m] : model) {
    EXPECT_EQ(CheckOutHolder(t.type, t.id), m.holder) << where << ": holder of " << Name(t);
    EXPECT_LE(CheckOutRecords(t.type, t.id), 1) << where;
    const std::string published = ShapeDifferences(m.published, ReadShape(t, false));
    EXPECT_TRUE(published.empty()) << where << ": the published copy of " << Name(t) << " differs:" << published;
    const std::string working = ShapeDifferences(m.working.value_or(Shape{}), ReadShape(t, true));
    EXPECT_TRUE(working.empty()) << where << ": the working copy of " << Name(t) << " differs:" << working;
  }
  for (int32_t id : mode.copyTargets) {
    const TreeRef t{kProduct, id};
    if (model.count(t)) continue;
    EXPECT_TRUE(ReadRows(t.type, t.id, false).empty() && ReadRows(t.type, t.id, true).empty())
        << where << ": " << Name(t) << " was deleted but has rows";
    EXPECT_EQ(CheckOutRecords(t.type, t.id), 0) << where << ": " << Name(t) << " was deleted";
  }
}

// The texts of every entity a copy shows, as the calls left them.
void RandomRun::CheckEntities(const std::string& where) {
  std::set<EntityKey> shown;
  for (const auto& [t, m] : model) {
    for (const Shape* s : {&m.published, m.working ? &*m.working : nullptr}) {
      if (!s) continue;
      for (const auto& [id, n] : *s) {
        if (n.repType != 0) shown.insert({n.repType, n.repId});
      }
    }
  }
  for (const EntityKey& key : shown) {
    const auto want = entities.find(key);
    if (want == entities.end()) {
      ADD_FAILURE() << where << ": the model does not know entity " << key.second << " of type " << key.first;
      continue;
    }
    EXPECT_EQ(RepEntity(key.first, key.second), std::optional<Texts>(want->second))
        << where << ": entity " << key.second << " of type " << key.first;
  }
}

// The versions each tree keeps: one per publication (and the copy the tree
// had before its first), the newest ones only.
void RandomRun::CheckVersions(const std::string& where) {
  auto listed = [&](const TreeRef& t) {
    std::vector<int32_t> numbers;
    for (const auto& v : versions.List(t.type, t.id)) numbers.push_back(v["version"].get<int32_t>());
    return numbers;
  };
  for (const auto& [t, m] : model) {
    std::vector<int32_t> kept;
    for (auto v = m.versions.rbegin(); v != m.versions.rend(); ++v) kept.push_back(v->first);
    EXPECT_EQ(listed(t), kept) << where << ": the versions of " << Name(t);
  }
  for (int32_t id : mode.copyTargets) {
    if (!model.count({kProduct, id})) {
      EXPECT_TRUE(listed({kProduct, id}).empty()) << where << ": product " << id << " was deleted";
    }
  }
}

bool RandomRun::Run(uint32_t seed, int steps) {
  rng.seed(seed);
  for (int32_t id : mode.products) {
    dom->CreateEmptyTree(kProduct, id);
    Created({kProduct, id});
  }
  for (int i = 0; i < mode.templates; ++i) {
    const int32_t templateId = dom->CreateNewTemplateInfo(i == 0 ? "Paper jam" : "Template " + std::to_string(i),
                                                          "For every printer", 10 + i);
    dom->CreateEmptyTree(kTemplate, templateId);
    Created({kTemplate, templateId});
    templates.push_back({kTemplate, templateId});
  }

  const std::string backend = TestEnv::Backend();
  std::deque<std::string> history;  // the long run keeps the last steps only
  Stored before;
  for (int step = 0; step < steps; ++step) {
    auto what = std::make_shared<std::ostringstream>();
    *what << "seed " << seed << " step " << step << ": ";
    const std::vector<TreeRef> trees = Trees();
    const TreeRef t = OneOf(trees);
    const std::string user = UserFor(t);
    const std::vector<NodeRow> rows = Seen(t, user);
    const bool holds = Holder(t) == user;
    std::set<TreeRef> touched = {t};
    bool touchesAll = false;

    // What the call does, and what the model expects of it when it succeeds.
    std::function<void()> call;
    std::function<void()> onSuccess = [] {};
    // A tree nobody holds is mostly checked out first, so that edits happen.
    int op = !Holder(t) && Chance(50) ? 0 : Pick(mode.soak ? 19 : 17);
    // The long run keeps its trees small enough to check at every step.
    if (mode.soak && rows.size() >= mode.maxNodes && ((op >= 2 && op <= 5) || op == 10 || op == 11 || op == 12)) {
      op = 9;
    }
    switch (op) {
      case 0:
      case 1: {  // check-out
        *what << "CheckOut(" << Name(t) << ", " << user << ")";
        auto owner = std::make_shared<std::string>("unset");
        call = [=, this] { dom->CheckOut(t.type, t.id, user, *owner); };
        onSuccess = [=, this] {
          TreeModel& m = model.at(t);
          EXPECT_EQ(*owner, m.holder.value_or("")) << what->str();
          if (!m.holder) {
            m.holder = user;
            m.working = m.published;
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
        auto faqs = std::make_shared<std::string>();
        call = [=, this] {
          *faqs = Chance(50) ? ";" : ";1;";
          *added = dom->AddChildNew(t.type, t.id, parent, repType, sd, ld, list, *faqs, hyperlink, user);
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
          EXPECT_FALSE(entities.count({repType, row->repId})) << what->str() << ": a new entity reuses an identifier";
          entities[{repType, row->repId}] = {sd, ld};
          Shape expected = *model.at(t).working;
          expected[*added] = ModelNode{parent, repType, row->repId, list, *faqs, hyperlink, {}};
          expected[parent].children.push_back(*added);
          ExpectCopy(t, true, expected, what->str());
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
        auto added = std::make_shared<int32_t>(-1);
        call = [=, this] { *added = dom->AddChildFromRep(t.type, t.id, parent, repType, repId, list, ";", -1, user); };
        onSuccess = [=, this] {
          EXPECT_TRUE(holds) << what->str();
          EXPECT_EQ(ReadRows(t.type, t.id, true).size(), rows.size() + 1) << what->str();
          Shape expected = *model.at(t).working;
          expected[*added] = ModelNode{parent, repType, repId, list, ";", -1, {}};
          expected[parent].children.push_back(*added);
          ExpectCopy(t, true, expected, what->str());
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
        // Propagated texts reach every tree that shows the entity.
        if (content) touchesAll = true;
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
          if (!model.at(t).working->count(nodeId)) return;  // found by the size check above
          // The lists of the node and its descendants follow rules of their
          // own (tested apart); everything else is what was sent.
          Shape expected = *model.at(t).working;
          ModelNode& node = expected[nodeId];
          const Texts old = entities.count({node.repType, node.repId}) ? entities[{node.repType, node.repId}] : Texts{};
          const bool textsChanged = Trimmed(old.first) != Trimmed(sd) || Trimmed(old.second) != Trimmed(ld);
          if (nodeId != 0 && row) {
            if (content) {
              if (textsChanged) entities[{repType, ownRepId}] = {sd, ld};
            } else if (repId != ownRepId) {
              node.repId = repId;
            } else if (textsChanged) {
              node.repId = row->repId;
              entities[{repType, row->repId}] = {sd, ld};
            }
          }
          node.faqs = ";";
          node.hyperlink = -1;
          const Shape actual = ReadShape(t, true);
          for (int32_t n : Subtree(expected, nodeId)) {
            if (actual.count(n)) expected[n].visibility = actual.at(n).visibility;
          }
          ExpectCopy(t, true, expected, what->str());
        };
        break;
      }
      case 8: {  // moving a node
        const int32_t nodeId = NodeOf(rows);
        const int32_t direction = Chance(10) ? 5 : (Chance(50) ? 1 : (mode.soak && Chance(50) ? 2 : -1));
        *what << "MoveNode(" << Name(t) << ", node " << nodeId << ", direction " << direction << ", " << user << ")";
        call = [=, this] { dom->MoveNode(t.type, t.id, nodeId, direction, user); };
        onSuccess = [=, this] {
          EXPECT_TRUE(holds) << what->str();
          EXPECT_EQ(ReadRows(t.type, t.id, true).size(), rows.size()) << what->str();
          // Up (1) and down (2) exchange the node with its neighbour, where
          // there is one; other directions move nothing.
          Shape expected = *model.at(t).working;
          const auto node = expected.find(nodeId);
          if (node != expected.end() && node->second.parent >= 0) {
            std::vector<int32_t>& siblings = expected[node->second.parent].children;
            const auto place = std::find(siblings.begin(), siblings.end(), nodeId);
            if (direction == 1 && place != siblings.begin()) std::iter_swap(place, place - 1);
            if (direction == 2 && place + 1 != siblings.end()) std::iter_swap(place, place + 1);
          }
          ExpectCopy(t, true, expected, what->str());
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
          // Hyperlinks into the deleted nodes are cleared.
          Shape expected = *model.at(t).working;
          const std::vector<int32_t> gone = Subtree(expected, nodeId);
          RemoveSubtree(expected, nodeId);
          for (auto& [id, n] : expected) {
            if (std::find(gone.begin(), gone.end(), n.hyperlink) != gone.end()) n.hyperlink = -1;
          }
          ExpectCopy(t, true, expected, what->str());
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
            if (!mode.soak) {
              EXPECT_EQ(before, Snapshot(env)) << what->str();
            }
            return;
          }
          EXPECT_EQ(ReadRows(t.type, t.id, true).size(), rows.size() + SubtreeSize(srcRows, srcNode)) << what->str();
          // The copy lands as the destination's last child, the same shape
          // as its source, with entities and lists of its own kind; the
          // nodes that were there stay where they were.
          const Shape source = ShapeOf(srcRows);
          const Shape actual = ReadShape(t, true);
          Shape expected = *model.at(t).working;
          const auto dst = actual.find(dstNode);
          if (dst == actual.end() || !expected.count(dstNode)) return;  // found by the size check
          const size_t had = expected[dstNode].children.size();
          if (dst->second.children.size() != had + 1) {
            ADD_FAILURE() << what->str() << ": node " << dstNode << " has " << dst->second.children.size()
                          << " children after the paste, " << had << " before";
            return;
          }
          const int32_t top = dst->second.children.back();
          EXPECT_FALSE(expected.count(top)) << what->str() << ": the pasted node has an identifier in use";
          std::vector<std::pair<int32_t, int32_t>> pending = {{srcNode, top}};
          while (!pending.empty()) {
            const auto [from, to] = pending.back();
            pending.pop_back();
            if (!source.count(from) || !actual.count(to)) continue;
            const ModelNode& a = source.at(from);
            const ModelNode& b = actual.at(to);
            EXPECT_EQ(std::make_tuple(a.repType, a.repId, a.children.size()),
                      std::make_tuple(b.repType, b.repId, b.children.size()))
                << what->str() << ": node " << to << " does not copy node " << from;
            for (size_t i = 0; i < std::min(a.children.size(), b.children.size()); ++i) {
              pending.push_back({a.children[i], b.children[i]});
            }
          }
          for (int32_t n : Subtree(actual, top)) expected[n] = actual.at(n);
          expected[dstNode].children.push_back(top);
          ExpectCopy(t, true, expected, what->str(), {.visibility = true});
        };
        break;
      }
      case 12: {  // grafting a template
        const TreeRef tmpl = mode.soak ? OneOf(templates) : templates.front();
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
            if (!mode.soak) {
              EXPECT_EQ(before, Snapshot(env)) << what->str();
            }
            return;
          }
          // The template's nodes come as the last children of the node; the
          // nodes that were there stay where they were.
          const Shape actual = ReadShape(t, true);
          Shape expected = *model.at(t).working;
          if (!actual.count(nodeId) || !expected.count(nodeId)) {
            ADD_FAILURE() << what->str() << ": node " << nodeId << " is gone";
            return;
          }
          std::vector<int32_t>& children = expected[nodeId].children;
          const std::vector<int32_t>& now = actual.at(nodeId).children;
          if (now.size() < children.size()) {
            ADD_FAILURE() << what->str() << ": node " << nodeId << " lost children";
            return;
          }
          for (size_t i = children.size(); i < now.size(); ++i) {
            EXPECT_FALSE(expected.count(now[i])) << what->str() << ": a grafted node has an identifier in use";
            for (int32_t n : Subtree(actual, now[i])) expected[n] = actual.at(n);
            children.push_back(now[i]);
          }
          ExpectCopy(t, true, expected, what->str(), {.visibility = true});
          LearnEntities(expected);
        };
        break;
      }
      case 13:
      case 18: {  // publishing
        const bool withComment = op == 18;
        const bool force = withComment && Chance(50);
        const std::string comment = withComment ? OneOf(kTexts) : "";
        *what << (withComment ? "PublishWithComment(" : "Publish(") << Name(t) << (force ? ", forced" : "");
        if (withComment) *what << ", \"" << comment << "\"";
        *what << ")";
        const auto working = ReadRows(t.type, t.id, true);
        call = [=, this] {
          if (withComment) {
            dom->PublishWithComment(t.type, t.id, comment, force);
          } else {
            dom->Publish(t.type, t.id);
          }
        };
        onSuccess = [=, this] {
          EXPECT_TRUE(Holder(t).has_value()) << what->str();
          EXPECT_EQ(ReadRows(t.type, t.id, false), working) << what->str();
          EXPECT_TRUE(ReadRows(t.type, t.id, true).empty()) << what->str();
          if (Holder(t)) Published(model.at(t));
          if (withComment) {
            const auto list = versions.List(t.type, t.id);
            EXPECT_TRUE(!list.empty() && list[0]["comment"] == comment) << what->str() << ": " << list.dump();
          }
        };
        break;
      }
      case 14: {  // undoing the edits
        *what << "UndoEditTree(" << Name(t) << ", " << user << ")";
        const auto published = ReadRows(t.type, t.id, false);
        call = [=, this] { dom->UndoEditTree(t.id, t.type, user); };
        onSuccess = [=, this] {
          TreeModel& m = model.at(t);
          EXPECT_TRUE(m.holder == user || !m.holder) << what->str();
          EXPECT_EQ(ReadRows(t.type, t.id, false), published) << what->str();
          EXPECT_TRUE(ReadRows(t.type, t.id, true).empty()) << what->str();
          m.holder.reset();
          m.working.reset();
        };
        break;
      }
      case 15: {  // copying a tree to a product of its own, or deleting that copy
        const TreeRef dst{kProduct, mode.soak ? OneOf(mode.copyTargets) : mode.copyTargets.front()};
        touched.insert(dst);
        if (model.count(dst) && Chance(50)) {
          const std::string u = UserFor(dst);
          *what << "deleteTree(" << Name(dst) << ", " << u << ")";
          call = [=, this] { dom->deleteTree(dst.id, dst.type, u); };
          onSuccess = [=, this] {
            EXPECT_TRUE(!Holder(dst) || Holder(dst) == u) << what->str();
            EXPECT_TRUE(ReadRows(dst.type, dst.id, false).empty()) << what->str();
            EXPECT_TRUE(ReadRows(dst.type, dst.id, true).empty()) << what->str();
            model.erase(dst);
          };
        } else {
          *what << "createTreeFromTree(" << Name(t) << " -> " << Name(dst) << ", " << user << ")";
          call = [=, this] { dom->createTreeFromTree(t.type, t.id, dst.type, dst.id, user); };
          onSuccess = [=, this] {
            EXPECT_FALSE(model.count(dst)) << what->str();
            EXPECT_EQ(ReadRows(dst.type, dst.id, true).size(), rows.size()) << what->str();
            // The copy is the user's working copy of the new tree: the
            // source as the user saw it, lists fitted to the product and
            // hyperlinks cleared.
            Created(dst);
            TreeModel& m = model.at(dst);
            m.holder = user;
            Shape expected = ShapeOf(rows);
            for (auto& [id, n] : expected) n.hyperlink = -1;
            m.working = expected;
            ExpectCopy(dst, true, expected, what->str(), {.visibility = true});
          };
        }
        break;
      }
      case 17: {  // restoring a published version
        const TreeModel& m = model.at(t);
        const int32_t version = 1 + Pick(std::max(m.lastVersion, 1) + 1);
        *what << "Restore(" << Name(t) << ", version " << version << ", " << user << ")";
        call = [=, this] { versions.Restore(t.type, t.id, version, user); };
        onSuccess = [=, this] {
          TreeModel& m = model.at(t);
          EXPECT_TRUE(holds) << what->str();
          const auto kept = m.versions.find(version);
          if (kept == m.versions.end()) {
            ADD_FAILURE() << what->str() << ": restored a version that should not be kept";
            return;
          }
          // The nodes as the version had them; an entity changed since is
          // replaced by a new one with the version's texts.
          ExpectCopy(t, true, kept->second, what->str(), {.repId = true});
          LearnEntities(*m.working);
        };
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
        const TreeRef p = t.type == kProduct ? t : TreeRef{kProduct, mode.soak ? OneOf(mode.products) : kLaser};
        touched.insert(p);
        const auto working = ReadRows(p.type, p.id, true);
        *what << "SynchronizeVisibilitiesforTree(" << Name(p) << ")";
        call = [=, this] { dom->SynchronizeVisibilitiesforTree(0, p.id, add, del); };
        onSuccess = [=, this] {
          EXPECT_EQ(ReadRows(p.type, p.id, true).size(), working.size()) << what->str();
          // Only lists change.
          const TreeModel& m = model.at(p);
          const Shape published = m.published;
          ExpectCopy(p, false, published, what->str(), {.visibility = true});
          if (m.working) ExpectCopy(p, true, Shape(*m.working), what->str(), {.visibility = true});
        };
        break;
      }
    }

    if (!mode.soak) before = Snapshot(env);
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
    const std::string text = what->str();
    const size_t name = text.find(": ") + 2;
    auto& tally = byCall[text.substr(name, text.find('(', name) - name)];
    ++(failed ? tally.second : tally.first);
    if (failed) {
      // The long run finds a change by comparing with the model below.
      if (!mode.soak) {
        EXPECT_EQ(before, Snapshot(env)) << what->str() << ": a refused call changed something";
      }
      ++refused;
    } else {
      onSuccess();
      ++acknowledged;
    }
    if (mode.soak) {
      const bool full = touchesAll || (step + 1) % mode.fullCheckEvery == 0 || step + 1 == steps;
      CheckCopies(full ? std::set<TreeRef>(trees.begin(), trees.end()) : touched, what->str());
      CheckModel(what->str());
      if (full) {
        CheckEntities(what->str());
        CheckVersions(what->str());
        EXPECT_TRUE(StagedLeftovers(env).empty()) << what->str();
      }
    } else {
      CheckAll(what->str());
      CheckModel(what->str());
      if (!failed) {  // a refused call is compared with the snapshot above
        CheckEntities(what->str());
        CheckVersions(what->str());
      }
    }
    history.push_back(what->str() + (failed ? " (refused)" : ""));
    if (mode.soak && history.size() > 40) history.pop_front();
    if (::testing::Test::HasFailure()) {
      std::string replay;
      for (const std::string& h : history) replay += "\n  " + h;
      ADD_FAILURE() << (mode.soak ? "the last steps:" : "steps so far:") << replay;
      if (mode.soak) {
        ADD_FAILURE() << "replay with: TSAUTHOR_TEST_BACKEND=" << backend << " TSAUTHOR_SOAK_SEEDS=" << seed
                      << " TSAUTHOR_SOAK_OPS=" << (step + 1)
                      << " test_authoring --gtest_filter='TSDOMSoak.*'"
                      << (backend == "postgresql" ? " (under scripts/with-test-postgres)" : "");
      }
      return false;
    }
  }
  if (std::getenv("TSA_RANDOM_VERBOSE")) {
    for (const std::string& h : history) std::cout << h << "\n";
  }
  return true;
}

TEST(TSDOMRandomTest, Seed1) { RandomRun(ShortMode()).Run(1, 110); }
TEST(TSDOMRandomTest, Seed2) { RandomRun(ShortMode()).Run(2, 110); }
TEST(TSDOMRandomTest, Seed3) { RandomRun(ShortMode()).Run(3, 110); }

// Replays or explores one seed of the short run: TSA_RANDOM_SEED (and TSA_RANDOM_STEPS).
TEST(TSDOMRandomTest, SeedFromTheEnvironment) {
  const char* seed = std::getenv("TSA_RANDOM_SEED");
  if (!seed) GTEST_SKIP() << "TSA_RANDOM_SEED is not set";
  const char* steps = std::getenv("TSA_RANDOM_STEPS");
  RandomRun(ShortMode()).Run(static_cast<uint32_t>(std::stoul(seed)), steps ? std::stoi(steps) : 200);
}

// The long run: TSAUTHOR_SOAK_OPS steps for each seed of TSAUTHOR_SOAK_SEEDS
// (comma-separated, default 1), each seed in a fresh environment.
TEST(TSDOMSoak, LongRun) {
  const char* ops = std::getenv("TSAUTHOR_SOAK_OPS");
  if (!ops) GTEST_SKIP() << "TSAUTHOR_SOAK_OPS is not set (make soak sets it)";
  const int steps = std::stoi(ops);
  const char* seedList = std::getenv("TSAUTHOR_SOAK_SEEDS");
  std::stringstream seeds(seedList ? seedList : "1");
  for (std::string seed; std::getline(seeds, seed, ',');) {
    if (seed.empty()) continue;
    const auto started = std::chrono::steady_clock::now();
    RandomRun run(SoakMode());
    const bool passed = run.Run(static_cast<uint32_t>(std::stoul(seed)), steps);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
    std::cout << "soak " << TestEnv::Backend() << " seed " << seed << ": " << (run.acknowledged + run.refused)
              << " steps (" << run.acknowledged << " done, " << run.refused << " refused), " << seconds << " s"
              << (passed ? "" : ", FAILED") << "\n  done/refused:";
    for (const auto& [call, counts] : run.byCall) {
      std::cout << " " << call << " " << counts.first << "/" << counts.second;
    }
    std::cout << std::endl;
  }
}

}  // namespace
}  // namespace tsa::test
