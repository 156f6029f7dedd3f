#include "storage/tree_lookups.h"

#include <gtest/gtest.h>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "runtime/context.h"
#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "support/test_env.h"

namespace tsa {
namespace {

class NonMtsTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterNonMtsComponent(); }
  void Exec(const std::string& sql) { db::Connection::Open(env_.HelvixUri())->Execute(sql); }
  int32_t ErrorNumber(const std::function<void()>& f) {
    try {
      f();
    } catch (const Error& e) {
      return e.number();
    }
    return 0;
  }

  test::TestEnv env_;
};

TEST_F(NonMtsTest, TemplateInfo) {
  Exec("INSERT INTO TEMPLATEINFO (TEMPLATEID, NAME, COMMENT, PRODUCTCATEGORY) VALUES (3, 'Paper jam', 'Any printer', 10)");
  Exec("INSERT INTO TEMPLATEINFO (TEMPLATEID, NAME, COMMENT, PRODUCTCATEGORY) VALUES (4, 'No comment', NULL, 10)");
  auto component = CreateObject<INonMtsTSDOM>(progid::NonMtsTSDOM);
  StringDict info = component->getTemplateInfo(3);
  EXPECT_EQ(info.Keys(), (std::vector<std::string>{"Name", "Comment"}));
  EXPECT_EQ(info.Item("Name"), "Paper jam");
  EXPECT_EQ(info.Item("Comment"), "Any printer");
  EXPECT_EQ(component->getTemplateInfo(4).Item("Comment"), "");
  EXPECT_EQ(ErrorNumber([&] { component->getTemplateInfo(5); }), err::TemplateInfoNotFound);

  // Called by member name, as the authoring service does.
  nlohmann::json byName = CallByName(*component, "getTemplateInfo", nlohmann::json::array({3}));
  EXPECT_EQ(byName, (nlohmann::json{{"Name", "Paper jam"}, {"Comment", "Any printer"}}));
}

TEST_F(NonMtsTest, TreeExists) {
  auto component = CreateObject<INonMtsTSDOM>(progid::NonMtsTSDOM);
  EXPECT_FALSE(component->TreeExists(3, 2));
  Exec("INSERT INTO TEMPLATE_TEMP VALUES (3, 0, 0, 0, 0, 0, -1, ';', ';', ';', -1)");
  EXPECT_TRUE(component->TreeExists(3, 2));
  EXPECT_FALSE(component->TreeExists(3, 1));
  Exec("INSERT INTO DIAGNOSTICS VALUES (3, 0, 0, 0, 0, 0, -1, ';', ';', ';', -1)");
  EXPECT_TRUE(component->TreeExists(3, 1));
  EXPECT_FALSE(component->TreeExists(3, 7));
  EXPECT_EQ(CallByName(*component, "TreeExists", nlohmann::json::array({3, 2})), nlohmann::json(true));
}

TEST_F(NonMtsTest, ReadsOutsideTheCallersTransaction) {
  auto component = CreateObject<INonMtsTSDOM>(progid::NonMtsTSDOM);
  RunTransactional([&] {
    auto connection = GetHelvixConnection();
    connection->Execute(
        "INSERT INTO TEMPLATEINFO (TEMPLATEID, NAME, COMMENT, PRODUCTCATEGORY) VALUES (6, 'Pending', '', 1)");
    connection->Execute("INSERT INTO TEMPLATE VALUES (6, 0, 0, 0, 0, 0, -1, ';', ';', ';', -1)");
    // Not committed yet: the component does not see it.
    EXPECT_EQ(ErrorNumber([&] { component->getTemplateInfo(6); }), err::TemplateInfoNotFound);
    EXPECT_FALSE(component->TreeExists(6, 2));
    CloseConnection(connection);
  });
  EXPECT_EQ(component->getTemplateInfo(6).Item("Name"), "Pending");
  EXPECT_TRUE(component->TreeExists(6, 2));
}

}  // namespace
}  // namespace tsa
