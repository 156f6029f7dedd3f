// Updatable recordsets on PostgreSQL through the engine's own patterns:
// rows added with a generated identifier read back, rows changed and
// deleted by where they were read from, also inside a transaction context.
#include <gtest/gtest.h>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "platform/pg_scratch.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "support/test_env.h"

namespace tsa {
namespace {

class PgRecordsetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TSA_REQUIRE_PG_BACKEND();
    env_ = std::make_unique<test::TestEnv>();
  }
  void TearDown() override { env_.reset(); }

  int32_t AddTemplateInfo(const std::string& name) {
    auto c = GetHelvixConnection();
    auto rs =
        c->OpenRecordset("Select * from TEMPLATEINFO where (1=0)", db::CursorType::Keyset, db::LockType::Optimistic);
    rs->AddNew();
    rs->SetField("NAME", name);
    rs->SetField("COMMENT", "c");
    rs->SetField("PRODUCTCATEGORY", 4);
    rs->Update();
    int32_t id = rs->Field("TEMPLATEID").ToInt32();
    rs->Close();
    CloseConnection(c);
    return id;
  }
  std::string NameOf(int32_t id) {
    auto c = GetHelvixConnection();
    auto rs = c->OpenRecordset("select NAME from TEMPLATEINFO where TEMPLATEID = " + std::to_string(id));
    return rs->IsEOF() ? std::string("<none>") : rs->Field("NAME").ToText();
  }

  std::unique_ptr<test::TestEnv> env_;
};

TEST_F(PgRecordsetTest, AddedRowsReadBackTheirGeneratedIdentifier) {
  int32_t first = AddTemplateInfo("one");
  int32_t second = RunTransactional([&] { return AddTemplateInfo("two's"); });
  EXPECT_GT(first, 0);
  EXPECT_EQ(second, first + 1);
  EXPECT_EQ(NameOf(second), "two's");
  // Rolled back: the row is gone (the identifier is not handed out again).
  int32_t third = RunTransactional([&] {
    int32_t id = AddTemplateInfo("three");
    AbortTransaction();
    return id;
  });
  EXPECT_EQ(NameOf(third), "<none>");
  EXPECT_GT(AddTemplateInfo("four"), third);
}

TEST_F(PgRecordsetTest, ChangesFindTheRowAgainAfterEveryUpdate) {
  int32_t id = AddTemplateInfo("a");
  AddTemplateInfo("a");
  auto c = GetHelvixConnection();
  auto rs = c->OpenRecordset("select * from TEMPLATEINFO where TEMPLATEID = " + std::to_string(id),
                             db::CursorType::Keyset, db::LockType::Optimistic);
  // The row moves on disk with every update; the recordset follows it.
  rs->SetField("NAME", "b");
  rs->Update();
  rs->SetField("NAME", "c");
  rs->Update();
  EXPECT_EQ(NameOf(id), "c");
  EXPECT_EQ(NameOf(id + 1), "a");

  // Changed behind its back: the optimistic update finds nothing.
  auto other = GetHelvixConnection();
  other->Execute("UPDATE TEMPLATEINFO SET COMMENT = 'x' WHERE TEMPLATEID = " + std::to_string(id));
  rs->SetField("NAME", "d");
  try {
    rs->Update();
    FAIL() << "update of a changed row accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::DbRowNotFound);
  }
  rs->CancelUpdate();
  EXPECT_EQ(NameOf(id), "c");
  rs->Close();

  // Deleted through a recordset inside a context.
  RunTransactional([&] {
    auto tc = GetHelvixConnection();
    auto del = tc->OpenRecordset("select TEMPLATEID from TEMPLATEINFO where TEMPLATEID = " + std::to_string(id),
                                 db::CursorType::Keyset, db::LockType::Optimistic);
    del->Delete();
    del->Close();
  });
  EXPECT_EQ(NameOf(id), "<none>");
  EXPECT_EQ(NameOf(id + 1), "a");
}

}  // namespace
}  // namespace tsa
