// Removing the repository entities nothing refers to: what a node of any
// copy of any tree shows is kept, what none shows goes, and a dry run
// changes nothing.
#include "repository/unused_entities.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "model/tree.h"
#include "repository/repository.h"
#include "runtime/context.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

constexpr const char* kUser = "ann";

int32_t NewEntity(int32_t repType, const std::string& name) {
  return RunTransactional([&] { return CreateRepositoryObject()->AddRepEntity(repType, name, ""); });
}

bool Lists(const UnusedEntities& r, int32_t repType, int32_t id) {
  for (const auto& t : r.tables) {
    if (t.repType == repType && std::find(t.ids.begin(), t.ids.end(), id) != t.ids.end()) return true;
  }
  return false;
}

class UnusedEntitiesTest : public TreeTest {};

TEST_F(UnusedEntitiesTest, RemovesOnlyWhatNoNodeShows) {
  CreateProductTree(7301, ";1;");
  ASSERT_EQ(CheckOut(kProduct, 7301, kUser), "");
  NewNode published;
  published.repType = storage::kRepCategory;
  published.sd = "published category";
  const int32_t publishedNode = AddNode(kProduct, 7301, kUser, published);
  Publish(kProduct, 7301);
  ASSERT_EQ(CheckOut(kProduct, 7301, kUser), "");
  NewNode working;
  working.parent = publishedNode;
  working.sd = "working question";
  const int32_t workingNode = AddNode(kProduct, 7301, kUser, working);
  const int32_t publishedEntity = ReadRow(kProduct, 7301, publishedNode, false)->repId;
  const int32_t workingEntity = ReadRow(kProduct, 7301, workingNode, true)->repId;
  const int32_t orphanQuestion = NewEntity(storage::kRepQuestion, "orphan question");
  const int32_t orphanAction = NewEntity(storage::kRepAction, "orphan action");

  UnusedEntities dry = RemoveUnusedEntities(true);
  EXPECT_TRUE(dry.dryRun);
  EXPECT_TRUE(Lists(dry, storage::kRepQuestion, orphanQuestion));
  EXPECT_TRUE(Lists(dry, storage::kRepAction, orphanAction));
  EXPECT_TRUE(RepEntity(storage::kRepQuestion, orphanQuestion).has_value());  // nothing removed

  UnusedEntities removed = RemoveUnusedEntities(false);
  EXPECT_EQ(removed.Total(), dry.Total());
  EXPECT_FALSE(RepEntity(storage::kRepQuestion, orphanQuestion).has_value());
  EXPECT_FALSE(RepEntity(storage::kRepAction, orphanAction).has_value());
  EXPECT_FALSE(Lists(removed, storage::kRepCategory, publishedEntity));
  EXPECT_FALSE(Lists(removed, storage::kRepQuestion, workingEntity));
  EXPECT_TRUE(RepEntity(storage::kRepCategory, publishedEntity).has_value());
  EXPECT_TRUE(RepEntity(storage::kRepQuestion, workingEntity).has_value());
  EXPECT_EQ(RemoveUnusedEntities(false).Total(), 0);
  EXPECT_TRUE(TreeCopyIsConsistent(kProduct, 7301, true));
  EXPECT_TRUE(TreeCopyIsConsistent(kProduct, 7301, false));
}

}  // namespace
}  // namespace tsa::test
