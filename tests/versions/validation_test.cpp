// Checks before publishing: each rule with a tree that breaks it and one
// that does not, and publishing with a comment refused or forced.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "model/tree.h"
#include "model/tree_validation.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"
#include "versions/version_errors.h"
#include "versions/versions.h"

namespace tsa::test {
namespace {

using nlohmann::json;

constexpr int32_t kLaser = 7;  // visibilities 1, 2, 3

class ValidationTest : public TreeTest {
 protected:
  ValidationTest() {
    LoadTestCatalog(env);
    dom->CreateEmptyTree(kProduct, kLaser);
    std::string owner;
    dom->CheckOut(kProduct, kLaser, "ann", owner);
    // A sound tree: category > question > answer.
    category = Add(0, storage::kRepCategory, "Paper");
    question = Add(category, storage::kRepQuestion, "Jammed?");
    answer = Add(question, storage::kRepAnswer, "Yes");
  }
  int32_t Add(int32_t parent, int32_t repType, const std::string& sd, const std::string& visibilities = ";1;",
              int32_t hyperlink = -1) {
    return dom->AddChildNew(kProduct, kLaser, parent, repType, sd, "", visibilities, ";", hyperlink, "ann");
  }
  // The findings ann sees, as "rule@node".
  std::vector<std::string> Findings() {
    std::vector<std::string> out;
    for (const json& f : CreateTreeObject()->Validate(kProduct, kLaser, "ann")) {
      out.push_back(f["rule"].get<std::string>() + "@" + std::to_string(f["node"].get<int>()));
    }
    return out;
  }
  void Sql(const std::string& statement) {
    auto connection = GetHelvixConnection();
    connection->Execute(statement);
    CloseConnection(connection);
  }

  // The entity a node of the working copy shows.
  static int32_t Rep(int32_t node) { return ReadRow(kProduct, kLaser, node, true)->repId; }

  TSDOMPtr dom = CreateTSDOMObject();
  int32_t category = 0, question = 0, answer = 0;
};

using Strings = std::vector<std::string>;

TEST_F(ValidationTest, ASoundTreeHasNoFindings) {
  EXPECT_EQ(Findings(), Strings{});
  ExpectTreeConsistent(kProduct, kLaser, "ann");
}

TEST_F(ValidationTest, StructureRules) {
  const int32_t empty = Add(0, storage::kRepCategory, "Nothing below");
  const int32_t open = Add(category, storage::kRepQuestion, "Open?");
  Add(open, storage::kRepAction, "Not an answer");
  EXPECT_EQ(Findings(), (Strings{"empty-category@" + std::to_string(empty), "unanswered-question@" + std::to_string(open)}));
  Add(empty, storage::kRepQuestion, "Now?");
  Add(open, storage::kRepAnswer, "Answered");
  const auto now = Findings();
  EXPECT_EQ(std::count(now.begin(), now.end(), "empty-category@" + std::to_string(empty)), 0);
  EXPECT_EQ(std::count(now.begin(), now.end(), "unanswered-question@" + std::to_string(open)), 0);
  ExpectTreeConsistent(kProduct, kLaser, "ann");
}

TEST_F(ValidationTest, AudienceAndTextRules) {
  const int32_t hidden = Add(category, storage::kRepAnswer, "Hidden", ";");
  const int32_t foreign = Add(category, storage::kRepAnswer, "Foreign", ";1;9;");
  const int32_t blank = Add(category, storage::kRepAnswer, "  ");
  EXPECT_EQ(Findings(), (Strings{"no-audience@" + std::to_string(hidden), "unknown-visibility@" + std::to_string(foreign),
                                 "empty-short-text@" + std::to_string(blank)}));
  for (int32_t node : {hidden, foreign, blank}) {
    dom->SaveNode(kProduct, kLaser, node, Rep(node), "Fine", "", false, ";2;", false, ";", -1, "ann");
  }
  EXPECT_EQ(Findings(), Strings{});
  ExpectTreeConsistent(kProduct, kLaser, "ann");
}

TEST_F(ValidationTest, LinkSequenceAndRowsDocumentRules) {
  const int32_t target = Add(category, storage::kRepAnswer, "Target");
  const int32_t link = Add(category, storage::kRepAnswer, "Link", ";1;", target);
  EXPECT_EQ(Findings(), Strings{});
  dom->SaveNode(kProduct, kLaser, link, Rep(link), "Link", "", false, ";1;", false, ";", 99, "ann");
  EXPECT_EQ(Findings(), Strings{"broken-hyperlink@" + std::to_string(link)});
  dom->SaveNode(kProduct, kLaser, link, Rep(link), "Link", "", false, ";1;", false, ";", -1, "ann");
  EXPECT_EQ(Findings(), Strings{});

  // Stored data that the engine's calls never write.
  Sql("UPDATE DIAGNOSTICS_TEMP SET SEQUENCE = 5 WHERE PRODUCTID = 7 AND NODEID = " + std::to_string(link));
  Sql("UPDATE DIAGNOSTICS_TEMP SET VISIBILITY = ';2;' WHERE PRODUCTID = 7 AND NODEID = " + std::to_string(answer));
  EXPECT_EQ(Findings(), (Strings{"sequence@" + std::to_string(category), "rows-document@" + std::to_string(answer)}));

  // Whoever does not hold the tree sees the published copy: the root only.
  json published = CreateTreeObject()->Validate(kProduct, kLaser, "bob");
  EXPECT_TRUE(published.empty()) << published.dump();
}

TEST_F(ValidationTest, PublishingWithACommentIsRefusedOnErrorsUnlessForced) {
  const Stored clean = Snapshot(env);
  Add(category, storage::kRepAnswer, "", ";1;");
  const Stored broken = Snapshot(env);
  const ErrorInfo refused = RaisedBy([&] { dom->PublishWithComment(kProduct, kLaser, "try", false); });
  EXPECT_EQ(refused.number, err::PublishRefused);
  EXPECT_NE(refused.description.find("empty-short-text"), std::string::npos) << refused.description;
  EXPECT_EQ(Snapshot(env), broken);
  EXPECT_NE(clean, broken);

  dom->PublishWithComment(kProduct, kLaser, "anyway", true);
  const json list = Versions().List(kProduct, kLaser);
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list[0]["comment"], "anyway");
  EXPECT_EQ(list[0]["forced"], true);
  ExpectTreeConsistent(kProduct, kLaser, "ann");
}

}  // namespace
}  // namespace tsa::test
