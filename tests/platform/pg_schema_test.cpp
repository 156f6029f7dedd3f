// The storage schema on PostgreSQL: created twice without harm, generated
// identifiers, and subtree selection by PreTree prefix served by the index.
#include <gtest/gtest.h>

#include "platform/db/dialect.h"
#include "platform/db/pg_session.h"
#include "platform/pg_scratch.h"
#include "runtime/error.h"
#include "storage/schema.h"

namespace tsa::db {
namespace {

using test::PgScratch;

class PgSchemaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TSA_REQUIRE_PG_BACKEND();
    scratch_ = std::make_unique<PgScratch>();
    storage::CreateSchema(scratch_->Uri(), scratch_->Uri());
    session_ = scratch_->Open();
  }
  void TearDown() override {
    session_.reset();
    scratch_.reset();
  }

  // The plan of a query, all lines joined.
  std::string Plan(const std::string& sql) {
    std::string plan;
    for (const auto& row : session_->Query("EXPLAIN " + sql).rows) plan += row[0].ToText() + "\n";
    return plan;
  }

  std::unique_ptr<PgScratch> scratch_;
  std::unique_ptr<PgSession> session_;
};

TEST_F(PgSchemaTest, CreatingTheSchemaAgainChangesNothing) {
  session_->Execute("UPDATE PARAMETERS SET PARAM_VALUE = 'elsewhere' WHERE PARAM_NAME = 'DataFileRelativePath'");
  session_->Execute("INSERT INTO DIAGNOSTICS VALUES (1, 0, 0, 0, 0, 0, -1, ';', ';', ';', -1)");
  storage::CreateSchema(scratch_->Uri(), scratch_->Uri());
  storage::CreateSchema(scratch_->Uri(), scratch_->Uri());
  auto rows =
      session_->Query("SELECT PARAM_VALUE, PARAM_TYPE FROM PARAMETERS WHERE PARAM_NAME = 'DataFileRelativePath'");
  ASSERT_EQ(rows.rows.size(), 1u);
  EXPECT_EQ(rows.rows[0][0], Value("elsewhere"));
  EXPECT_EQ(rows.rows[0][1], Value("String"));
  EXPECT_EQ(session_->Query("SELECT COUNT(*) FROM DIAGNOSTICS").rows[0][0], Value(int64_t{1}));

  // The preset takes the default when the row is missing.
  session_->Execute("DELETE FROM PARAMETERS");
  storage::CreateSchema(scratch_->Uri(), "");
  EXPECT_EQ(session_->Query("SELECT PARAM_VALUE FROM PARAMETERS WHERE PARAM_NAME = 'DataFileRelativePath'").rows[0][0],
            Value(storage::kDefaultDataFileRelativePath));
}

// The documents' compression: lz4 where the server offers it, since its
// default one cost most of an edit of a large tree.
TEST_F(PgSchemaTest, DocumentsAreCompressedWithLz4WhereTheServerHasIt) {
  const bool offered = !session_->Query("SELECT 1 FROM pg_settings WHERE name = 'default_toast_compression'"
                                        " AND array_to_string(enumvals, ',') LIKE '%lz4%'")
                            .rows.empty();
  if (!offered) GTEST_SKIP() << "this server has no lz4";
  auto method = [&] {
    return session_->Query("SELECT a.attcompression::text FROM pg_catalog.pg_attribute a"
                           " WHERE a.attrelid = to_regclass('documents') AND a.attname = 'content'")
        .rows.at(0)[0]
        .ToText();
  };
  EXPECT_EQ(method(), "l");
  // A database made before keeps its documents and gets the setting.
  session_->Execute("ALTER TABLE DOCUMENTS ALTER COLUMN CONTENT SET COMPRESSION pglz");
  session_->Execute("INSERT INTO DOCUMENTS (PATH, VERSION, SIZE, STAMP, CONTENT) VALUES ('a.xml', 1, 3, 7, '<a/>')");
  storage::CreateSchema(scratch_->Uri(), scratch_->Uri());
  EXPECT_EQ(method(), "l");
  EXPECT_EQ(session_->Query("SELECT CONTENT FROM DOCUMENTS").rows.at(0)[0], Value("<a/>"));
}

TEST_F(PgSchemaTest, ARoleThatMayNotCreateTablesFindsTheSchemaInPlace) {
  // The service role has no CREATE on the schema; "serve" and "catalog load"
  // make sure of the schema at start-up and must then change nothing. A
  // read-only session stands in for such a role: PostgreSQL refuses even
  // CREATE TABLE IF NOT EXISTS for a table that exists.
  const std::string readOnly = scratch_->Uri() + "%20-c%20default_transaction_read_only%3Don";
  EXPECT_NO_THROW(storage::CreateSchema(readOnly, readOnly));
  // A missing table is still created by a role that may (here: the owner).
  session_->Execute("DROP TABLE DOCUMENTINTENTS");
  EXPECT_THROW(storage::CreateSchema(readOnly, readOnly), Error);
  storage::CreateSchema(scratch_->Uri(), scratch_->Uri());
  EXPECT_EQ(session_->Query("SELECT COUNT(*) FROM DOCUMENTINTENTS").rows[0][0], Value(int64_t{0}));
}

TEST_F(PgSchemaTest, NodeRowsKeepTheirColumnOrderAndCopyWithSelectStar) {
  session_->Execute("INSERT INTO TEMPLATE VALUES (3, 0, 0, 0, 0, 0, -1, ';', ';1;', ';', -1)");
  session_->Execute("INSERT INTO TEMPLATE VALUES (3, 1, 2, 17, 1, 1, 0, ';0;', ';1;', ';4;', -1)");
  session_->Execute("INSERT INTO TEMPLATE_TEMP SELECT * FROM TEMPLATE WHERE TEMPLATEID = 3");
  auto rows = session_->Query("SELECT * FROM TEMPLATE_TEMP WHERE TEMPLATEID = 3 AND NODEID = 1");
  ASSERT_EQ(rows.rows.size(), 1u);
  const std::vector<std::string> names = {"templateid", "nodeid",  "reptype",    "repid", "depth",    "sequence",
                                          "pnodeid",    "pretree", "visibility", "faqs",  "hyperlink"};
  EXPECT_EQ(rows.columns, names);
  EXPECT_EQ(rows.rows[0][3], Value(int64_t{17}));
  EXPECT_EQ(rows.rows[0][7], Value(";0;"));
  EXPECT_EQ(rows.rows[0][9], Value(";4;"));

  // A tree's node identifiers are unique; a second check-out record for a
  // tree is refused.
  EXPECT_THROW(session_->Execute("INSERT INTO TEMPLATE VALUES (3, 1, 2, 18, 1, 2, 0, ';0;', ';', ';', -1)"), Error);
  session_->Execute("INSERT INTO TSCHANGECONTROL (ID, TREETEM, LOGIN, TDATE, COMMENT) VALUES (3, 2, 'ann', " +
                    kPostgreSQL.Timestamp(2024, 5, 6, 7, 8, 9) + ", 'Checked out')");
  try {
    session_->Execute(
        "INSERT INTO TSCHANGECONTROL (ID, TREETEM, LOGIN, TDATE, COMMENT) VALUES (3, 2, 'bob', '2024-05-06 07:08:10', "
        "'Checked out')");
    FAIL() << "second holder accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::DbConstraintViolation);
  }
  EXPECT_EQ(session_->Query("SELECT TDATE FROM TSCHANGECONTROL").rows[0][0], Value("2024-05-06 07:08:09"));
}

TEST_F(PgSchemaTest, IdentifiersAreGeneratedOnInsert) {
  for (const char* table : {"REPQUESTION", "REPANSWER", "REPACTION", "REPTSCATEGORY"}) {
    auto a = session_->Query(std::string("INSERT INTO ") + table + " (NAME, DETAIL) VALUES ($1, $2) RETURNING ID",
                             {"short", "long"});
    auto b = session_->Query(std::string("INSERT INTO ") + table + " (NAME, DETAIL) VALUES ($1, $2) RETURNING *",
                             {"short", "long"});
    ASSERT_EQ(a.rows.size(), 1u) << table;
    EXPECT_EQ(a.rows[0][0], Value(int64_t{1})) << table;
    EXPECT_EQ(b.rows[0][0], Value(int64_t{2})) << table;
    EXPECT_EQ(b.columns[0], "id");
  }
  auto t = session_->Query(
      "INSERT INTO TEMPLATEINFO (NAME, COMMENT, PRODUCTCATEGORY) VALUES ('n', 'c', 4) RETURNING TEMPLATEID");
  EXPECT_EQ(t.rows[0][0], Value(int64_t{1}));
}

TEST_F(PgSchemaTest, SubtreeSelectionByPreTreeUsesTheIndex) {
  // Many trees of a realistic shape: a few hundred nodes each.
  session_->Execute(
      "INSERT INTO DIAGNOSTICS SELECT p, n, 2, n, 2, n, n / 10, ';0;' || (n / 10) || ';', ';', ';', -1"
      " FROM generate_series(1, 200) AS p, generate_series(1, 300) AS n");
  session_->Execute("INSERT INTO DIAGNOSTICS_TEMP SELECT * FROM DIAGNOSTICS");
  session_->Execute("ANALYZE DIAGNOSTICS");
  session_->Execute("ANALYZE DIAGNOSTICS_TEMP");

  for (const char* table : {"DIAGNOSTICS", "DIAGNOSTICS_TEMP"}) {
    std::string lower = table;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // The prefix search as the engine writes it, and with a pattern whose
    // prefix needs escaping.
    for (const std::string& pattern : {kPostgreSQL.LikePattern(";0;5;*"), kPostgreSQL.LikePattern(";0;5_;*")}) {
      std::string plan =
          Plan(std::string("SELECT * FROM ") + table + " WHERE PRODUCTID = 1 AND PRETREE LIKE " + pattern);
      EXPECT_NE(plan.find("ix_" + lower + "_pretree"), std::string::npos) << pattern << "\n" << plan;
      // The prefix bounds the index range; it is not merely a filter.
      EXPECT_NE(plan.find("~>=~"), std::string::npos) << pattern << "\n" << plan;
    }
  }
  EXPECT_EQ(session_
                ->Query("SELECT COUNT(*) FROM DIAGNOSTICS WHERE PRODUCTID = 1 AND PRETREE LIKE " +
                        kPostgreSQL.LikePattern(";0;5;*"))
                .rows[0][0],
            Value(int64_t{10}));

  // The template tables, with sequential scans ruled out so that a small
  // table still shows which index could serve.
  session_->Execute("SET enable_seqscan = off");
  for (const char* table : {"TEMPLATE", "TEMPLATE_TEMP"}) {
    std::string lower = table;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string plan = Plan(std::string("SELECT * FROM ") + table + " WHERE TEMPLATEID = 1 AND PRETREE LIKE ';0;5;%'");
    EXPECT_NE(plan.find("ix_" + lower + "_pretree"), std::string::npos) << plan;
    EXPECT_NE(plan.find("~>=~"), std::string::npos) << plan;
  }
}

}  // namespace
}  // namespace tsa::db
