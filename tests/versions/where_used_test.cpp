// Where an entity is shown, across product trees and templates, published
// and working copies, page by page.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "repository/repository.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

using nlohmann::json;

class WhereUsedTest : public TreeTest {
 protected:
  WhereUsedTest() { LoadTestCatalog(env); }
  TSDOMPtr dom = CreateTSDOMObject();
};

TEST_F(WhereUsedTest, ListsEveryCopyOfEveryTreeAndTemplatePageByPage) {
  std::string owner;
  dom->CreateEmptyTree(kProduct, 7);
  dom->CheckOut(kProduct, 7, "ann", owner);
  const int32_t first = dom->AddChildNew(kProduct, 7, 0, storage::kRepCategory, "Paper", "", ";1;", ";", -1, "ann");
  const int32_t repId = ReadRow(kProduct, 7, first, true)->repId;
  const int32_t second = dom->AddChildFromRep(kProduct, 7, 0, storage::kRepCategory, repId, ";1;", ";", -1, "ann");
  dom->Publish(kProduct, 7);
  dom->CheckOut(kProduct, 7, "ann", owner);  // working copy: both nodes again

  dom->CreateEmptyTree(kProduct, 8);
  dom->CheckOut(kProduct, 8, "ann", owner);
  const int32_t inScanner = dom->AddChildFromRep(kProduct, 8, 0, storage::kRepCategory, repId, ";2;", ";", -1, "ann");

  const int32_t tmpl = CreateTemplate("Shared");
  dom->CheckOut(kTemplate, tmpl, "ann", owner);
  const int32_t inTemplate =
      dom->AddChildFromRep(kTemplate, tmpl, 0, storage::kRepCategory, repId, ";", ";", -1, "ann");
  dom->Publish(kTemplate, tmpl);

  auto repository = CreateRepositoryObject();
  const json all = repository->WhereUsed(storage::kRepCategory, repId, 0, 0);
  const json expected = json::array({
      {{"treeType", 1}, {"id", 7}, {"copy", "published"}, {"node", first}},
      {{"treeType", 1}, {"id", 7}, {"copy", "published"}, {"node", second}},
      {{"treeType", 1}, {"id", 7}, {"copy", "working"}, {"node", first}},
      {{"treeType", 1}, {"id", 7}, {"copy", "working"}, {"node", second}},
      {{"treeType", 1}, {"id", 8}, {"copy", "working"}, {"node", inScanner}},
      {{"treeType", 2}, {"id", tmpl}, {"copy", "published"}, {"node", inTemplate}},
  });
  EXPECT_EQ(all["total"], 6);
  EXPECT_EQ(all["items"], expected);

  const json page = repository->WhereUsed(storage::kRepCategory, repId, 4, 3);
  EXPECT_EQ(page["total"], 6);
  EXPECT_EQ(page["items"], json::array({expected[4], expected[5]}));
  EXPECT_EQ(repository->WhereUsed(storage::kRepQuestion, repId, 0, 0)["total"], 0);
  EXPECT_EQ(RaisedBy([&] { repository->WhereUsed(storage::kRepCategory, repId, -1, 0); }).number, err::InvalidArgument);
  EXPECT_EQ(RaisedBy([&] { repository->WhereUsed(storage::kRepCategory, repId, 0, 1001); }).number,
            err::InvalidArgument);
  ExpectTreeConsistent(kProduct, 7, "ann");
  ExpectTreeConsistent(kProduct, 8, "ann");
}

}  // namespace
}  // namespace tsa::test
