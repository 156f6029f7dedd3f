// Parameters, connections and value formatting.
#include <gtest/gtest.h>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "runtime/context.h"
#include "support/recording_log.h"
#include "support/test_env.h"

namespace tsa {
namespace {

class UtilitiesTest : public ::testing::Test {
 protected:
  void Put(const std::string& name, const std::string& value) {
    auto c = GetHelvixConnection();
    c->Execute("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES (" + FormatSqlText(name) + ", " +
               FormatSqlText(value) + ", 'String')");
  }
  // The number of the error `body` raises, 0 for none.
  template <class Body>
  static int32_t ErrorNumber(Body&& body) {
    try {
      body();
    } catch (const Error& e) {
      return e.number();
    }
    return 0;
  }
  test::TestEnv env;
};

TEST_F(UtilitiesTest, ParameterLookups) {
  EXPECT_EQ(GetParamValue("DataFileRelativePath"), "documents");
  EXPECT_EQ(GetParamValue("absent"), "");
  Put("FTPPath", "/srv/shared");
  StringDict d = GetParameterValues({"Webfarm Implemented", "FTPPath"});
  EXPECT_EQ(d.Count(), 1u);
  EXPECT_EQ(d.Item("FTPPath"), "/srv/shared");
  EXPECT_EQ(d.Item("Webfarm Implemented"), "");
}

// A transaction reads each parameter once; the next one sees an operator's
// change, and both ways of asking agree on what is there.
TEST_F(UtilitiesTest, ParametersAreReadOncePerTransaction) {
  RunReadOnly([&] {
    EXPECT_EQ(GetParamValue("FTPPath"), "");
    EXPECT_EQ(GetParameterValues({"FTPPath", "DataFileRelativePath"}).Count(), 1u);
  });
  Put("FTPPath", "/srv/a");
  RunTransactional([&] {
    StringDict d = GetParameterValues({"Webfarm Implemented", "FTPPath"});
    EXPECT_EQ(d.Count(), 1u);
    EXPECT_EQ(d.Item("FTPPath"), "/srv/a");
    EXPECT_EQ(GetParamValue("FTPPath"), "/srv/a");
    EXPECT_EQ(GetParameterValues({"FTPPath", "Webfarm Implemented"}).Count(), 1u);
  });
  // A row without a value fails GetParamValue alike in a transaction and outside.
  GetHelvixConnection()->Execute(
      "INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES ('unset', NULL, 'String')");
  const int outside = ErrorNumber([] { GetParamValue("unset"); });
  EXPECT_NE(outside, 0);
  EXPECT_EQ(ErrorNumber([] { RunReadOnly([] { GetParamValue("unset"); }); }), outside);
  RunReadOnly([] { EXPECT_EQ(GetParameterValues({"unset"}).Item("unset"), ""); });
}

TEST_F(UtilitiesTest, AParameterWithoutAValueIsFoundAndEmpty) {
  // A row whose value is null is an entry like any other: the callers read
  // an unset "Webfarm Implemented" as no web farm, they do not fail on it.
  auto c = GetHelvixConnection();
  c->Execute("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES ('Webfarm Implemented', NULL, "
             "'Boolean')");
  CloseConnection(c);
  Put("FTPPath", "/srv/shared");
  StringDict d = GetParameterValues({"Webfarm Implemented", "FTPPath"});
  EXPECT_EQ(d.Count(), 2u);
  EXPECT_TRUE(d.Exists("Webfarm Implemented"));
  EXPECT_EQ(d.Item("Webfarm Implemented"), "");
  EXPECT_EQ(d.Item("FTPPath"), "/srv/shared");
}

TEST_F(UtilitiesTest, OneReadingOfTheWebFarmFlagForEveryCaller) {
  EXPECT_EQ(GetWebFarmLocation(), std::nullopt);  // no row at all
  Put("FTPPath", "/srv/shared");
  for (const char* off : {"", " \r\n", "False", "0"}) {
    Put("Webfarm Implemented", off);
    EXPECT_EQ(GetWebFarmLocation(), std::nullopt) << "'" << off << "'";
    GetHelvixConnection()->Execute("DELETE FROM PARAMETERS WHERE PARAM_NAME = 'Webfarm Implemented'");
  }
  for (const char* on : {"True", " true ", "-1", "1"}) {
    Put("Webfarm Implemented", on);
    EXPECT_EQ(GetWebFarmLocation(), std::optional<std::string>("/srv/shared")) << "'" << on << "'";
    GetHelvixConnection()->Execute("DELETE FROM PARAMETERS WHERE PARAM_NAME = 'Webfarm Implemented'");
  }
  Put("Webfarm Implemented", "yes");
  EXPECT_EQ(ErrorNumber([] { GetWebFarmLocation(); }), err::TypeMismatch);
  GetHelvixConnection()->Execute("UPDATE PARAMETERS SET PARAM_VALUE = 'True' WHERE PARAM_NAME = 'Webfarm Implemented'");
  GetHelvixConnection()->Execute("UPDATE PARAMETERS SET PARAM_VALUE = '' WHERE PARAM_NAME = 'FTPPath'");
  EXPECT_EQ(ErrorNumber([] { GetWebFarmLocation(); }), err::PathNotFound);
}

TEST_F(UtilitiesTest, QuotesInParameterNamesAreTextNotSql) {
  Put("it's", "quoted");
  EXPECT_EQ(GetParamValue("it's"), "quoted");
  EXPECT_EQ(GetParamValue("x' OR '1'='1"), "");
  EXPECT_EQ(GetParameterValues({"it's"}).Item("it's"), "quoted");
}

TEST_F(UtilitiesTest, EmptyNameListIsAReportedFailure) {
  test::RecordingLog log;
  try {
    GetParameterValues({});
    FAIL();
  } catch (const Error& e) {
    EXPECT_NE(e.description().find("METHOD: HelvixUtilities.GetParameterValues caught: "), std::string::npos);
  }
  EXPECT_EQ(log.Count(), 1u);
}

TEST_F(UtilitiesTest, CloseOnNothingOrClosedOnlyDropsTheReference) {
  ConnectionPtr none;
  EXPECT_NO_THROW(CloseConnection(none));
  auto c = GetHelvixConnection();
  c->Close();
  CloseConnection(c);
  EXPECT_EQ(c, nullptr);
  RecordsetPtr rs;
  EXPECT_NO_THROW(CloseRecordset(rs));
}

TEST_F(UtilitiesTest, CloseRecordsetDiscardsAPendingEdit) {
  auto c = GetHelvixConnection();
  RecordsetPtr rs = c->OpenRecordset("Select * from PARAMETERS where PARAM_NAME = 'DataFileRelativePath'",
                                     db::CursorType::Keyset, db::LockType::Optimistic);
  rs->SetField("PARAM_VALUE", std::string("changed"));
  CloseRecordset(rs);
  EXPECT_EQ(rs, nullptr);
  EXPECT_EQ(GetParamValue("DataFileRelativePath"), "documents");
}

TEST_F(UtilitiesTest, ValueFormatting) {
  EXPECT_EQ(FormatSqlNumber(-42), -42);
  EXPECT_EQ(FormatSqlText("O'Brien"), "'O''Brien'");
  EXPECT_EQ(FormatSqlValue(""), "''");
  EXPECT_THROW(FormatSqlText(std::string("a\0b", 3)), Error);
  std::string ts = FormatSqlTimestamp(2004, 3, 5, 7, 8, 9);
  EXPECT_NE(ts.find("'2004-03-05 07:08:09'"), std::string::npos);
  EXPECT_EQ(FormatSqlLikePattern(";0;5;*"), "';0;5;%'");
}

TEST_F(UtilitiesTest, NowTextRoundTripsThroughTheTimestampLiteral) {
  std::string now = FormatNowText();
  ASSERT_EQ(now.size(), 19u);
  EXPECT_EQ(now[4], '-');
  EXPECT_EQ(now[10], ' ');
  EXPECT_EQ(now[13], ':');
  std::string literal = FormatSqlTimestamp(ParseNowText(now));
  EXPECT_NE(literal.find("'" + now + "'"), std::string::npos);
  EXPECT_THROW(ParseNowText("07/12/2026"), Error);
}

TEST(PathTest, NormalizePath) {
  EXPECT_EQ(NormalizePath("a\\b\\"), "a/b");
  EXPECT_EQ(NormalizePath("a//"), "a/");
  EXPECT_EQ(NormalizePath(""), "");
  EXPECT_EQ(NormalizePath("data/files/"), "data/files");
}

}  // namespace
}  // namespace tsa
