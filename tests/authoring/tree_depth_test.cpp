// How deep a tree may grow: every operation that gives a node a depth stops
// at [trees] max_depth with 1218 and writes nothing; trees at the limit (and
// stored trees beyond it) are read, edited and checked without recursion.
#include <gtest/gtest.h>

#include <pthread.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "authoring/tree_exchange.h"
#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "model/tree_validation.h"
#include "runtime/settings.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

using nlohmann::json;

constexpr int32_t kLaser = 7;
constexpr int32_t kScanner = 8;

void SetMaxDepth(int depth) {
  Settings s = CurrentSettings();
  s.maxTreeDepth = depth;
  SetCurrentSettings(s);
}

// A product tree file: a category, then questions each below the last,
// `levels` nodes deep.
json ChainFile(int levels) {
  json nodes = json::array();
  for (int i = 1; i <= levels; ++i) {
    nodes.push_back({{"id", i}, {"parent", i - 1}, {"type", i == 1 ? "category" : "question"}, {"entity", nullptr},
                     {"short", "level " + std::to_string(i)}, {"long", ""}, {"visibilities", json::array({1})},
                     {"faqs", ";"}, {"hyperlink", nullptr}});
  }
  return {{"format", "tsauthor-tree"}, {"formatVersion", 1}, {"treeType", "product"},
          {"visibilities", json::array({{{"id", 1}, {"name", "Customers"}}})}, {"nodes", nodes}};
}

// Runs `body` on a thread with a small stack: a walk that recurses once per
// level overflows it long before the deepest tree here.
void OnSmallStack(const std::function<void()>& body) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  auto run = [](void* f) -> void* {
    (*static_cast<const std::function<void()>*>(f))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

class TreeDepthTest : public TreeTest {
 protected:
  TreeDepthTest() { LoadTestCatalog(env); }
  int32_t Add(int32_t id, int32_t parent, const std::string& sd) {
    return dom->AddChildNew(kProduct, id, parent, parent == 0 ? storage::kRepCategory : storage::kRepQuestion, sd, "",
                            ";1;", ";", -1, "ann");
  }
  TSDOMPtr dom = CreateTSDOMObject();
  Exchange exchange;
};

TEST_F(TreeDepthTest, AddPasteGraftAndImportStopAtTheLimitAndWriteNothing) {
  SetMaxDepth(5);
  dom->CreateEmptyTree(kProduct, kLaser);
  std::string owner;
  dom->CheckOut(kProduct, kLaser, "ann", owner);
  std::vector<int32_t> chain{0};
  for (int depth = 1; depth <= 5; ++depth) chain.push_back(Add(kLaser, chain.back(), "d" + std::to_string(depth)));
  // A second branch of two levels, to paste.
  const int32_t branch = Add(kLaser, chain[1], "branch");
  Add(kLaser, branch, "below the branch");

  const Stored before = Snapshot(env);
  auto expectTooDeep = [&](const std::function<void()>& call, const char* what) {
    SCOPED_TRACE(what);
    const ErrorInfo e = RaisedBy(call);
    EXPECT_EQ(e.number, err::TreeTooDeep) << e.description;
    EXPECT_NE(e.description.find("at most 5 levels deep"), std::string::npos) << e.description;
    EXPECT_NOTHING_CHANGED(env, before);
  };
  expectTooDeep([&] { Add(kLaser, chain[5], "d6"); }, "add");
  expectTooDeep([&] { dom->AddChildFromRep(kProduct, kLaser, chain[5], 2, ReadRow(kProduct, kLaser, branch, true)->repId,
                                           ";1;", ";", -1, "ann"); },
                "add from the repository");
  // The branch (two levels) below depth 4 would reach depth 6.
  expectTooDeep([&] { dom->Paste(kProduct, kLaser, branch, kProduct, kLaser, chain[4], ";", "ann"); }, "paste");

  // A template of two levels grafted below depth 4.
  const int32_t templateId = dom->CreateNewTemplateInfo("two levels", "", 0);
  dom->CreateEmptyTree(kTemplate, templateId);
  dom->CheckOut(kTemplate, templateId, "ann", owner);
  const int32_t top = dom->AddChildNew(kTemplate, templateId, 0, 2, "top", "", ";1;", ";", -1, "ann");
  dom->AddChildNew(kTemplate, templateId, top, 3, "under", "", ";1;", ";", -1, "ann");
  dom->Publish(kTemplate, templateId);
  const Stored withTemplate = Snapshot(env);
  int32_t reason = 0;
  {
    const ErrorInfo e = RaisedBy([&] { dom->AddTemplateToNode(templateId, kProduct, kLaser, chain[4], ";", "ann", reason); });
    EXPECT_EQ(e.number, err::TreeTooDeep) << e.description;
    EXPECT_NOTHING_CHANGED(env, withTemplate);
  }
  // One level higher, paste and graft fit exactly.
  dom->Paste(kProduct, kLaser, branch, kProduct, kLaser, chain[3], ";", "ann");
  dom->AddTemplateToNode(templateId, kProduct, kLaser, chain[3], ";", "ann", reason);
  ExpectTreeConsistent(kProduct, kLaser, "ann");

  // Import: a file six levels deep names the node that goes too deep.
  const Stored beforeImport = Snapshot(env);
  const ErrorInfo e = RaisedBy([&] { exchange.Import(ChainFile(6), kProduct, kScanner, false); });
  EXPECT_EQ(e.number, err::TreeTooDeep) << e.description;
  EXPECT_NE(e.description.find("$.nodes[5].parent"), std::string::npos) << e.description;
  EXPECT_NOTHING_CHANGED(env, beforeImport);
  exchange.Import(ChainFile(5), kProduct, kScanner, false);
  EXPECT_TRUE(TreeCopyIsConsistent(kProduct, kScanner, false));
}

// Far below the thousand levels where a lookup by an XPath of one step per
// level stopped compiling: nodes are found, edited and checked, and the
// checks run on a small stack.
TEST_F(TreeDepthTest, ADeepChainIsEditedAndCheckedWithoutRecursion) {
  // PostgreSQL's index on PRETREE takes an ancestry of at most about 2,700
  // bytes: some 400 levels of short identifiers.
  const int kLevels = TestEnv::IsPostgres() ? 350 : 1500;
  SetMaxDepth(kLevels + 1);
  exchange.Import(ChainFile(kLevels), kProduct, kLaser, false);
  std::string owner;
  dom->CheckOut(kProduct, kLaser, "ann", owner);
  const int32_t deepest = Add(kLaser, kLevels, "one more");
  dom->SaveNode(kProduct, kLaser, kLevels, ReadRow(kProduct, kLaser, kLevels, true)->repId, "renamed", "", true,
                ";1;", false, ";", -1, "ann");
  EXPECT_EQ(ReadRow(kProduct, kLaser, deepest, true)->depth, kLevels + 1);
  EXPECT_EQ(RaisedBy([&] { Add(kLaser, deepest, "too deep"); }).number, err::TreeTooDeep);

  // A stored tree deeper than the limit (lowered after it was built) is
  // still read and checked.
  SetMaxDepth(256);
  ::testing::AssertionResult checked = ::testing::AssertionFailure();
  std::vector<Finding> findings;
  bool finished = false;
  OnSmallStack([&] {
    try {
      checked = TreeCopyIsConsistent(kProduct, kLaser, true);
      findings = ValidateTreeCopy(kProduct, kLaser, true);
      finished = true;
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
  });
  ASSERT_TRUE(finished);
  EXPECT_TRUE(checked) << checked.message();
  for (const Finding& f : findings) EXPECT_EQ(f.severity, "warning") << f.rule << ": " << f.message;
}

}  // namespace
}  // namespace tsa::test
