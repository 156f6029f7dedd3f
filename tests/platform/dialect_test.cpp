#include <gtest/gtest.h>

#include <algorithm>

#include "db_fixture.h"
#include "platform/db/dialect.h"

namespace tsa::db {
namespace {

using test::Raised;

TEST(Dialect, FirstRowConcatTimestampPlaceholders) {
  EXPECT_EQ(kSQLite.SelectTop1("REPTYPE FROM TEMPLATE WHERE TEMPLATEID = 3 AND PNODEID = 0"),
            "SELECT REPTYPE FROM TEMPLATE WHERE TEMPLATEID = 3 AND PNODEID = 0 LIMIT 1");
  EXPECT_EQ(kPostgreSQL.SelectTop1("NODEID FROM DIAGNOSTICS ORDER BY NODEID DESC "),
            "SELECT NODEID FROM DIAGNOSTICS ORDER BY NODEID DESC LIMIT 1");
  EXPECT_EQ(kSQLite.SelectTop1("1 FROM T;"), "SELECT 1 FROM T LIMIT 1");
  EXPECT_EQ(kSQLite.Concat(), " || ");
  EXPECT_EQ(kPostgreSQL.Concat(), " || ");

  EXPECT_EQ(kSQLite.Timestamp(2004, 3, 5, 7, 8, 9), "'2004-03-05 07:08:09'");
  EXPECT_EQ(kPostgreSQL.Timestamp(2004, 3, 5, 7, 8, 9), "TIMESTAMP '2004-03-05 07:08:09'");
  EXPECT_EQ(kSQLite.Timestamp(1999, 12, 31, 23, 59, 59), "'1999-12-31 23:59:59'");
  EXPECT_EQ(Raised([] { kSQLite.Timestamp(2004, 13, 1, 0, 0, 0); }).first, err::InvalidProcedureCall);

  EXPECT_EQ(kSQLite.Placeholder(1), "?");
  EXPECT_EQ(kSQLite.Placeholder(7), "?");
  EXPECT_EQ(kPostgreSQL.Placeholder(1), "$1");
  EXPECT_EQ(kPostgreSQL.Placeholder(12), "$12");
  EXPECT_EQ(kSQLite.NullSafeEquals(), " IS ");
  EXPECT_EQ(kPostgreSQL.NullSafeEquals(), " IS NOT DISTINCT FROM ");
}

TEST(Dialect, TextLiterals) {
  for (const Dialect* d : {&kSQLite, &kPostgreSQL}) {
    EXPECT_EQ(d->TextLiteral(""), "''");
    EXPECT_EQ(d->TextLiteral("plain"), "'plain'");
    EXPECT_EQ(d->TextLiteral("it's"), "'it''s'");
    EXPECT_EQ(d->TextLiteral("''"), "''''''");
    EXPECT_EQ(d->TextLiteral("a\\b"), "'a\\b'");  // backslashes are ordinary characters
    EXPECT_EQ(d->TextLiteral("x'; DROP TABLE T; --"), "'x''; DROP TABLE T; --'");
    auto [number, description] = Raised([&] { d->TextLiteral(std::string("a\0b", 3)); });
    EXPECT_EQ(number, err::InvalidProcedureCall);
    EXPECT_NE(description.find("NUL"), std::string::npos) << description;
  }
}

TEST(Dialect, LikePatterns) {
  // Nothing to escape: no ESCAPE clause (SQLite then uses an index).
  EXPECT_EQ(kSQLite.LikePattern(";0;5;*"), "';0;5;%'");
  EXPECT_EQ(kPostgreSQL.LikePattern(";0;5;*"), "';0;5;%'");
  EXPECT_EQ(kSQLite.LikePattern("a!b*"), "'a!b%'");
  // Wildcards of the prefix match themselves.
  EXPECT_EQ(kSQLite.LikePattern("a%b*"), "'a!%b%' ESCAPE '!'");
  EXPECT_EQ(kSQLite.LikePattern("a_b!*"), "'a!_b!!%' ESCAPE '!'");
  EXPECT_EQ(kPostgreSQL.LikePattern("a%b*"), "'a!%b%' ESCAPE '!'");
  // PostgreSQL reads a backslash as an escape unless told otherwise.
  EXPECT_EQ(kSQLite.LikePattern("a\\b*"), "'a\\b%'");
  EXPECT_EQ(kPostgreSQL.LikePattern("a\\b*"), "'a!\\b%' ESCAPE '!'");
  // Quotes doubled; only a trailing star is a wildcard.
  EXPECT_EQ(kSQLite.LikePattern("o'k*"), "'o''k%'");
  EXPECT_EQ(kSQLite.LikePattern("a*b*"), "'a*b%'");
  EXPECT_EQ(kSQLite.LikePattern("exact"), "'exact'");
  EXPECT_EQ(kSQLite.LikePattern("*"), "'%'");
  EXPECT_EQ(Raised([] { kSQLite.LikePattern(std::string("a\0*", 3)); }).first, err::InvalidProcedureCall);
}

// The patterns select what they promise on the backend under test.
class LikeOnDatabase : public test::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped()) return;
    Exec("CREATE TABLE NODES (PRODUCTID INTEGER NOT NULL, NODEID INTEGER NOT NULL, PRETREE TEXT NOT NULL,"
         " PRIMARY KEY (PRODUCTID, NODEID))");
    Exec(std::string("CREATE INDEX IX_NODES_PRETREE ON NODES (PRODUCTID, PRETREE") +
         (IsSQLite() ? ")" : " text_pattern_ops)"));
    int id = 0;
    for (const char* p : {";", ";0;", ";0;5;", ";0;5;7;", ";0;50;", "a%b", "a%bc", "axb", "axbc", "a_b", "a!b",
                          "A!B", "o'k", "o'kay", "a\\b", "a\\bc", "ab"}) {
      Exec("INSERT INTO NODES (PRODUCTID, NODEID, PRETREE) VALUES (1, " + std::to_string(id++) + ", " +
           D().TextLiteral(p) + ")");
    }
  }

  std::vector<std::string> Matching(const std::string& pattern) {
    auto rows = Read("SELECT PRETREE FROM NODES WHERE PRODUCTID = 1 AND PRETREE LIKE " + D().LikePattern(pattern));
    std::vector<std::string> out;
    for (auto& r : rows.rows) out.push_back(r[0].ToText());
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST_F(LikeOnDatabase, PrefixesMatchLiterally) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Matching(";0;5;*"), (V{";0;5;", ";0;5;7;"}));
  EXPECT_EQ(Matching("a%b*"), (V{"a%b", "a%bc"}));
  EXPECT_EQ(Matching("a_b*"), (V{"a_b"}));
  EXPECT_EQ(Matching("a!b*"), (V{"a!b"}));  // and case-sensitively
  EXPECT_EQ(Matching("o'k*"), (V{"o'k", "o'kay"}));
  EXPECT_EQ(Matching("a\\b*"), (V{"a\\b", "a\\bc"}));
  EXPECT_EQ(Matching("a%b"), (V{"a%b"}));
}

TEST_F(LikeOnDatabase, SubtreeSearchUsesTheIndex) {
  if (!IsSQLite()) GTEST_SKIP() << "query plans are checked on SQLite";
  auto plan = Read("EXPLAIN QUERY PLAN SELECT * FROM NODES WHERE PRODUCTID = 1 AND (NODEID = 5 OR PRETREE LIKE " +
                   D().LikePattern(";0;5;*") + ")");
  std::string details;
  for (auto& r : plan.rows) details += r.back().ToText() + "\n";
  EXPECT_NE(details.find("IX_NODES_PRETREE"), std::string::npos) << details;
  EXPECT_NE(details.find("PRETREE>?"), std::string::npos) << details;

  plan = Read("EXPLAIN QUERY PLAN SELECT * FROM NODES WHERE PRODUCTID = 1 AND PRETREE LIKE " +
              D().LikePattern(";0;5;*"));
  details.clear();
  for (auto& r : plan.rows) details += r.back().ToText() + "\n";
  EXPECT_NE(details.find("USING INDEX IX_NODES_PRETREE (PRODUCTID=? AND PRETREE>? AND PRETREE<?)"),
            std::string::npos)
      << details;
}

}  // namespace
}  // namespace tsa::db
