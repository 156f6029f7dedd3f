// The parsed-document cache: what it must never get wrong. A kept copy is
// used only while it is provably the file on disk, a rolled-back edit never
// reaches it, and it stays within its budget.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "model/tree.h"
#include "platform/files/document_store.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/document_cache.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

constexpr const char* kUser = "alice";

class DocumentCacheTest : public TreeTest {
 protected:
  DocumentCacheTest() { storage::ClearDocumentCache(); }
  ~DocumentCacheTest() override {
    SetCrashHookForTest({});
    storage::ClearDocumentCache();
  }

  int32_t Product(int32_t id) {
    CreateProductTree(id, ";1;");
    EXPECT_EQ(CheckOut(kProduct, id, kUser), "");
    return id;
  }

  // The working copy as the engine loads it (through the cache).
  static std::string EngineView(int32_t id) {
    return RunTransactional([&] {
      TreePtr tree = CreateTreeObject();
      tree->load(kProduct, id, kUser);
      return tree->TreeDOM().Xml();
    });
  }

  static std::string WorkingPath(int32_t id) {
    std::optional<std::string> name = DocumentName(kProduct, id, true);
    EXPECT_TRUE(name.has_value());
    return DocumentPath(kProduct, name.value_or(""), true);
  }

  static std::string AddChild(int32_t id, const std::string& sd) {
    NewNode n;
    n.sd = sd;
    AddNode(kProduct, id, kUser, n);
    return sd;
  }
};

TEST_F(DocumentCacheTest, RolledBackEditNeverReachesTheKeptCopy) {
  const int32_t id = Product(7101);
  AddChild(id, "kept question");
  const uint64_t hitsBefore = storage::DocumentCacheStatistics().hits;

  // The edit changes the loaded (kept) copy, saves it, then fails.
  EXPECT_THROW(RunTransactional([&] {
                 TreePtr tree = CreateTreeObject();
                 tree->load(kProduct, id, kUser);
                 NodePtr root = tree->getNode(0);
                 NodePtr ghost = tree->createNode(storage::kRepQuestion, "ghost question", "", ";", ";", -1);
                 root->AppendChild(*ghost);
                 tree->save();
                 Raise(err::InvalidArgument, {}, "the edit fails after its save");
               }),
               Error);

  const std::string view = EngineView(id);
  EXPECT_EQ(view.find("ghost question"), std::string::npos);
  EXPECT_NE(view.find("kept question"), std::string::npos);
  // The next edit starts from the document as it was, and the cache served it.
  AddChild(id, "after the failure");
  EXPECT_NE(EngineView(id).find("after the failure"), std::string::npos);
  EXPECT_GT(storage::DocumentCacheStatistics().hits, hitsBefore);
  EXPECT_TRUE(TreeCopyIsConsistent(kProduct, id, true));
}

TEST_F(DocumentCacheTest, ChangesMadeOutsideTheCacheAreSeenByTheNextLoad) {
  TestEnv::UseDocumentFiles();  // files edited by hand
  const int32_t id = Product(7102);
  AddChild(id, "first question");
  ASSERT_NE(EngineView(id).find("first question"), std::string::npos);  // kept now
  const std::string path = WorkingPath(id);
  const std::string original = DocumentStore()->Load(path);

  // Another process's commit: written through the store, not through this
  // cache, and left as a committed intent whose rename has not happened
  // yet. The next load must finish it and see the new file.
  std::string changed = original;
  changed.replace(changed.find("first question"), 14, "other process's text");
  SetCrashHookForTest([](const std::string& step) { return step == "after-db-commit"; });
  RunTransactional([&] { DocumentStore()->Save(path, changed); });
  SetCrashHookForTest({});
  EXPECT_NE(EngineView(id).find("other process's text"), std::string::npos);

  // A change behind the service's back: the file rewritten in place (same
  // inode, other size and time).
  std::string edited = DocumentStore()->Load(path);
  edited.replace(edited.find("other process's text"), 20, "edited in place, by hand");
  std::ofstream(path, std::ios::binary | std::ios::trunc) << edited;
  EXPECT_NE(EngineView(id).find("edited in place, by hand"), std::string::npos);
}

TEST_F(DocumentCacheTest, StaysWithinItsBudgetAndEvictsTheLeastRecentlyUsed) {
  const int32_t a = Product(7103);
  const int32_t b = Product(7104);
  AddChild(a, "question of a");
  AddChild(b, "question of b");
  const auto size = static_cast<size_t>(std::max(DocumentStore()->Load(WorkingPath(a)).size(),
                                                 DocumentStore()->Load(WorkingPath(b)).size()));
  Settings s = CurrentSettings();
  s.documentCacheBytes = 3 * size + 3 * size / 2;  // room for one document
  SetCurrentSettings(s);
  storage::ClearDocumentCache();
  const uint64_t evictionsBefore = storage::DocumentCacheStatistics().evictions;

  for (int round = 0; round < 3; ++round) {
    EXPECT_NE(EngineView(a).find("question of a"), std::string::npos);
    EXPECT_NE(EngineView(b).find("question of b"), std::string::npos);
    const storage::DocumentCacheStats now = storage::DocumentCacheStatistics();
    EXPECT_LE(now.entries, 1u);
    EXPECT_LE(now.bytes, s.documentCacheBytes);
  }
  EXPECT_GE(storage::DocumentCacheStatistics().evictions, evictionsBefore + 5);
  AddChild(a, "another for a");
  EXPECT_NE(EngineView(a).find("another for a"), std::string::npos);

  s.documentCacheBytes = 0;  // keeps nothing
  SetCurrentSettings(s);
  storage::ClearDocumentCache();
  AddChild(b, "another for b");
  EXPECT_NE(EngineView(b).find("another for b"), std::string::npos);
  EXPECT_EQ(storage::DocumentCacheStatistics().entries, 0u);
  EXPECT_TRUE(TreeCopyIsConsistent(kProduct, a, true));
  EXPECT_TRUE(TreeCopyIsConsistent(kProduct, b, true));
}

}  // namespace
}  // namespace tsa::test
