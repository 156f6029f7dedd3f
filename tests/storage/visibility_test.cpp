#include "storage/visibility.h"

#include <gtest/gtest.h>

#include "components/catalog.h"
#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "runtime/error.h"
#include "support/recording_log.h"
#include "support/test_env.h"

namespace tsa::storage {
namespace {

std::pair<std::string, std::string> Delta(const std::string& oldList, const std::string& newList) {
  StringDict d = getDeltaVisibility(oldList, newList);
  EXPECT_EQ(d.Keys(), (std::vector<std::string>{"Add", "Remove"}));
  return {d.Item("Add"), d.Item("Remove")};
}

using P = std::pair<std::string, std::string>;

TEST(VisibilityTest, Delta) {
  EXPECT_EQ(Delta(";1;2;", ";2;3;"), P(";3;", ";1;"));
  EXPECT_EQ(Delta(";1;2;", ";2;1;"), P(";", ""));
  EXPECT_EQ(Delta(";", ";4;"), P(";4;", ""));
  EXPECT_EQ(Delta(";4;", ";"), P("", ";4;"));
  EXPECT_EQ(Delta(";4;", ";4;"), P("", ""));
  EXPECT_EQ(Delta(";1;", ";11;"), P(";11;", ";1;"));
  EXPECT_EQ(Delta(";11;", ";1;"), P(";1;", ";11;"));
  // Comparisons are on trimmed lists; the items are not trimmed.
  EXPECT_EQ(Delta(" ;4; ", ";4;"), P("", ""));
  EXPECT_EQ(Delta(" ; ", ";4; "), P(";4; ", ""));
  EXPECT_EQ(Delta("", ";4;"), P(";4;", ""));  // "" has no entries: all is new
  EXPECT_EQ(Delta(";4;", ""), P("", ";4;"));
}

TEST(VisibilityTest, MergeRemoveAppend) {
  EXPECT_EQ(MergeVisibilities(";1;2;", ";2;5;"), ";1;2;5;");
  EXPECT_EQ(MergeVisibilities(";", ";5;"), ";5;");
  EXPECT_EQ(MergeVisibilities(";5;", ";5;"), ";5;");
  EXPECT_EQ(MergeVisibilities(";5;", ";"), ";5;");
  EXPECT_EQ(MergeVisibilities(";5;", ""), ";5;");
  {
    test::RecordingLog log;
    try {
      MergeVisibilities("", ";5;");
      ADD_FAILURE() << "merging into \"\" must fail";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), err::InvalidProcedureCall);
    }
  }

  EXPECT_EQ(RemoveVisibilities(";1;2;3;", ";2;"), ";1;3;");
  EXPECT_EQ(RemoveVisibilities(";1;2;3;", ""), ";1;2;3;");
  EXPECT_EQ(RemoveVisibilities(";1;2;3;", ";"), ";1;2;3;");
  EXPECT_EQ(RemoveVisibilities(";1;12;21;", ";1;2;"), ";12;21;");
  EXPECT_EQ(RemoveVisibilities(";1;2;3;", ";3;1;9;"), ";2;");

  EXPECT_EQ(AppendVisibilities(";1;", ";2;3;"), ";1;2;3;");
  EXPECT_EQ(AppendVisibilities(";1;", "  "), ";1;");
  EXPECT_EQ(AppendVisibilities(";1;", ""), ";1;");
  EXPECT_EQ(AppendVisibilities(";1;", ";"), ";1;");
  EXPECT_EQ(AppendVisibilities(";", ";4;"), ";4;");
  EXPECT_EQ(AppendVisibilities("", ";4;"), ";4;");  // the empty list keeps its leading ";"
}

TEST(VisibilityTest, SqlExpressions) {
  EXPECT_EQ(GetRemoveVisibilitySQL(";3;7;"), "Replace(Replace(VISIBILITY,';3;',';'),';7;',';')");
  EXPECT_EQ(GetRemoveVisibilitySQL(""), "VISIBILITY");
  EXPECT_EQ(GetRemoveVisibilitySQL(";"), "VISIBILITY");
  const std::string concat(HelvixDialect().Concat());
  EXPECT_EQ(GetAddVisibilitySQL(";8;9;"), concat + "'8;9;'");
  EXPECT_EQ(GetAddVisibilitySQL(""), "");
  EXPECT_EQ(GetAddVisibilitySQL("  "), "");
  EXPECT_EQ(GetAddVisibilitySQL(";"), concat + "''");
  EXPECT_EQ(GetRemoveVisibilitySQL(";3;") + GetAddVisibilitySQL(";8;"), "Replace(VISIBILITY,';3;',';')" + concat + "'8;'");
  // Apostrophes never end the literal.
  EXPECT_EQ(GetRemoveVisibilitySQL(";a'b;"), "Replace(VISIBILITY,';a''b;',';')");
  EXPECT_EQ(GetAddVisibilitySQL(";a'b;"), concat + "'a''b;'");
}

TEST(VisibilityTest, ValidateVisibilityList) {
  for (const char* ok : {"", ";", ";1;", ";12;40;7;", ";007;-3;", ";2147483647;"}) {
    EXPECT_NO_THROW(ValidateVisibilityList("i_sVisibilities", ok)) << ok;
  }
  struct Case {
    std::string list;
    std::string problem;
  };
  for (const Case& c : std::vector<Case>{
           {"1;", "it does not start with \";\""},
           {";1", "it does not end with \";\""},
           {"1", "it does not start with \";\""},
           {";;", "it holds an empty entry"},
           {";1;;2;", "it holds an empty entry"},
           {";1;a b;", "entry \"a b\" holds a blank"},
           {";\"1;", "entry \"\"1\" holds a quote"},
           {";1';", "entry \"1'\" holds an apostrophe"},
           {";<x>;", "entry \"<x>\" holds \"<\""},
           {";x>;", "entry \"x>\" holds \">\""},
           {";a&b;", "entry \"a&b\" holds \"&\""},
           {";a\tb;", "entry \"a\\x09b\" holds a control character"},
           {std::string(";a\0b;", 5), "entry \"a\\x00b\" holds a control character"},
           // Not identifiers: refused by every member alike.
           {";abc;", "entry \"abc\" is not a 32-bit integer in decimal"},
           {";x-y_z.1;", "entry \"x-y_z.1\" is not a 32-bit integer in decimal"},
           {";\xC3\xA9;", "is not a 32-bit integer in decimal"},
           {";99999999999;", "entry \"99999999999\" is not a 32-bit integer in decimal"},
           {";+5;", "entry \"+5\" is not a 32-bit integer in decimal"},
           // Digits first, then something else: the whole entry must be the number.
           {";12x;", "entry \"12x\" is not a 32-bit integer in decimal"},
           {";1.5;", "entry \"1.5\" is not a 32-bit integer in decimal"},
       }) {
    try {
      ValidateVisibilityList("i_sVisibilities", c.list);
      ADD_FAILURE() << "accepted: " << c.list;
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), err::InvalidVisibilityList);
      EXPECT_NE(e.description().find("Invalid argument i_sVisibilities: "), std::string::npos) << e.description();
      EXPECT_NE(e.description().find(c.problem), std::string::npos) << e.description();
    }
  }
  try {
    ValidateVisibilityList("i_sVisibilities", ";1;a b;");
  } catch (const Error& e) {
    EXPECT_EQ(e.description(),
              "Invalid argument i_sVisibilities: \";1;a b;\" is not a visibility list (entry \"a b\" holds a blank)");
  }
}

// --- with the databases ---

void Exec(const std::string& uri, const std::string& sql) { db::Connection::Open(uri)->Execute(sql); }

TEST(VisibilityDbTest, NodeVisibilitiesFromTheDatabase) {
  test::TestEnv env;
  Exec(env.HelvixUri(), "INSERT INTO TEMPLATE_TEMP VALUES (4, 0, 0, 0, 0, 0, -1, ';', ';1;2;', ';', -1)");
  Exec(env.HelvixUri(), "INSERT INTO TEMPLATE_TEMP VALUES (4, 3, 2, 9, 1, 1, 0, ';0;', NULL, ';', -1)");
  TableAndKey tableAndKey = GetTreeTableAndKey(2, true);
  EXPECT_EQ(GetNOdeVisibilitiesFromDB(tableAndKey, 4, 0), ";1;2;");

  auto failure = [&](const std::function<void()>& f) -> Error {
    try {
      f();
    } catch (const Error& e) {
      return e;
    }
    ADD_FAILURE() << "no error";
    return Error(ErrorInfo{});
  };
  const std::string label = "METHOD: HXSvcTroubleshooting.TSUtilities.GetNOdeVisibilitiesFromDB caught: ";
  Error missing = failure([&] { GetNOdeVisibilitiesFromDB(tableAndKey, 4, 8); });
  EXPECT_EQ(missing.number(), err::NodeNotFound);
  EXPECT_NE(missing.description().find(label), std::string::npos);
  EXPECT_EQ(failure([&] { GetNOdeVisibilitiesFromDB(tableAndKey, 5, 0); }).number(), err::NodeNotFound);
  EXPECT_EQ(failure([&] { GetNOdeVisibilitiesFromDB(tableAndKey, 4, 3); }).number(), err::InvalidUseOfNull);
  // Only node tables are read.
  TableAndKey other{"PARAMETERS", "PARAM_NAME"};
  EXPECT_EQ(failure([&] { GetNOdeVisibilitiesFromDB(other, 4, 0); }).number(), err::InvalidArgument);
  TableAndKey none = GetTreeTableAndKey(3, true);
  EXPECT_EQ(failure([&] { GetNOdeVisibilitiesFromDB(none, 4, 0); }).number(), err::InvalidArgument);
}

TEST(VisibilityDbTest, ProductListsFromTheCatalog) {
  test::TestEnv env;
  RegisterCatalogComponents();
  for (const char* sql : {
           "INSERT INTO PRODUCTS VALUES (7, 'Laser printer 5')",
           "INSERT INTO PRODUCTS VALUES (8, 'Bare product')",
           "INSERT INTO CATEGORIES VALUES (10, 'Printers')",
           "INSERT INTO CATEGORIES VALUES (3, 'Office')",
           "INSERT INTO CATEGORIES VALUES (20, 'Unseen')",
           "INSERT INTO VISIBILITIES VALUES (1, 'Customers')",
           "INSERT INTO VISIBILITIES VALUES (2, 'Agents')",
           "INSERT INTO VISIBILITIES VALUES (12, 'Partners')",
           "INSERT INTO PRODUCTSBYCATEGORY VALUES (10, 7)",
           "INSERT INTO PRODUCTSBYCATEGORY VALUES (3, 7)",
           "INSERT INTO PRODUCTSBYCATEGORY VALUES (20, 9)",
           "INSERT INTO CATEGORYVISIBILITIES VALUES (10, 12)",
           "INSERT INTO CATEGORYVISIBILITIES VALUES (10, 1)",
           "INSERT INTO CATEGORYVISIBILITIES VALUES (3, 2)",
           "INSERT INTO CATEGORYVISIBILITIES VALUES (3, 1)",
       }) {
    Exec(env.KCatalogUri(), sql);
  }
  EXPECT_EQ(GetProductDesc(7), "Laser printer 5");
  EXPECT_EQ(GetProductCategoriesForProduct(7).Keys(), (std::vector<std::string>{"3", "10"}));
  EXPECT_EQ(GetProductCategoryList(7), ";3;10;");
  EXPECT_EQ(GetVisibilitiesofProduct(7), ";1;2;12;");

  // A product without categories (and one the catalog lacks entirely).
  EXPECT_EQ(GetProductCategoryList(8), ";");
  EXPECT_EQ(GetVisibilitiesofProduct(8), ";");
  EXPECT_EQ(GetVisibilitiesofProduct(99), ";");
  try {
    GetProductDesc(99);
    ADD_FAILURE() << "no error for a missing product";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::ProductNotFound);
    EXPECT_NE(e.description().find("METHOD: HXSvcTroubleshooting.TSUtilities.GetProductDesc caught: "),
              std::string::npos);
    EXPECT_NE(e.description().find("METHOD: KCatalog.Product.GetProductDescription caught: "), std::string::npos);
  }
}

}  // namespace
}  // namespace tsa::storage
