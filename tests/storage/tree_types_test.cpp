// Tree and repository types, the child-type rule, identifier allocation and
// a template's top type.
#include <gtest/gtest.h>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "storage/tree_types.h"
#include "support/recording_log.h"
#include "support/test_env.h"

namespace tsa::storage {
namespace {

using Types = std::vector<std::string>;

TEST(ChildTypes, RuleTable) {
  EXPECT_EQ(GetValidChildTypes(0), Types{"1"});
  EXPECT_EQ(GetValidChildTypes(0, 10), (Types{"1", "2", "3", "4"}));
  EXPECT_EQ(GetValidChildTypes(0, 1), Types{"1"});
  EXPECT_EQ(GetValidChildTypes(0, 3), (Types{"2", "3", "4"}));
  EXPECT_EQ(GetValidChildTypes(4, 1), (Types{"2", "3", "4"}));
  EXPECT_TRUE(TypeMatch(0, 1));
  EXPECT_FALSE(TypeMatch(0, 2));
  EXPECT_TRUE(TypeMatch(0, 2, 10));
  EXPECT_FALSE(TypeMatch(1, 1));
  EXPECT_TRUE(TypeMatch(2, 4));
  EXPECT_FALSE(TypeMatch(1, 0));
}

TEST(TreeTables, Selection) {
  EXPECT_EQ(GetTreeTableAndKey(1, true), (TableAndKey{"DIAGNOSTICS_TEMP", "PRODUCTID"}));
  EXPECT_EQ(GetTreeTableAndKey(2, false), (TableAndKey{"TEMPLATE", "TEMPLATEID"}));
  EXPECT_EQ(GetTreeTableAndKey(3, false), (TableAndKey{"", ""}));
}

class TreeTypesDb : public ::testing::Test {
 protected:
  void Row(const std::string& table, int id, int node, int repType, int parent) {
    auto c = GetHelvixConnection();
    c->Execute("INSERT INTO " + table + " VALUES (" + std::to_string(id) + ", " + std::to_string(node) + ", " +
               std::to_string(repType) + ", 0, 0, 0, " + std::to_string(parent) + ", ';', ';', ';', -1)");
  }
  test::TestEnv env;
};

TEST_F(TreeTypesDb, RepositoryTableOfUnknownTypeLogsOnceAndGivesEmpty) {
  test::RecordingLog log;
  EXPECT_EQ(getRepTable(2), "REPQUESTION");
  EXPECT_EQ(getRepTable(0), "");
  EXPECT_EQ(getRepTable(5), "");
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_NE(entries[0].text.find("Wrong repository type information passed to function"), std::string::npos);
  EXPECT_NE(entries[0].text.find("HXSvcTroubleshooting.TSUtilities.getRepTable"), std::string::npos);
}

TEST_F(TreeTypesDb, MaxNodeIdOfAWorkingCopy) {
  Row("DIAGNOSTICS_TEMP", 12, 0, 0, -1);
  EXPECT_EQ(getMaxNodeID(1, 12), 0);
  Row("DIAGNOSTICS_TEMP", 12, 7, 1, 0);
  Row("DIAGNOSTICS_TEMP", 13, 40, 1, 0);  // another tree
  EXPECT_EQ(getMaxNodeID(1, 12), 7);
  // A tree without a working copy has no maximum: a reported failure.
  test::RecordingLog log;
  try {
    getMaxNodeID(1, 99);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::InvalidUseOfNull);
    EXPECT_NE(e.description().find("HXSvcTroubleshooting.TSUtilities.getMaxNodeID"), std::string::npos);
  }
}

TEST_F(TreeTypesDb, TemplateTopType) {
  Row("TEMPLATE_TEMP", 7, 0, 0, -1);
  EXPECT_EQ(GetTemplateTopType(7, true), 10);
  Row("TEMPLATE_TEMP", 7, 1, 2, 0);
  Row("TEMPLATE_TEMP", 7, 2, 3, 1);
  EXPECT_EQ(GetTemplateTopType(7, true), 2);
  EXPECT_EQ(GetTemplateTopType(7, false), 10);  // the published copy has none
}

}  // namespace
}  // namespace tsa::storage
