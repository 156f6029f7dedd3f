#include "components/catalog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/db/connection.h"
#include "runtime/error.h"
#include "storage/visibility.h"
#include "support/test_env.h"

namespace tsa {
namespace {

namespace fs = std::filesystem;

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterCatalogComponents(); }
  std::string WriteFile(const std::string& name, const std::string& content) {
    fs::path path = fs::path(env_.DataDir()) / name;
    std::ofstream(path) << content;
    return path.string();
  }
  int64_t Count(const std::string& table) {
    auto rs = db::Connection::Open(env_.KCatalogUri())->OpenRecordset("SELECT COUNT(*) AS N FROM " + table);
    return rs->Field("N").ToInt64();
  }
  Error Failure(const std::function<void()>& f) {
    try {
      f();
    } catch (const Error& e) {
      return e;
    }
    ADD_FAILURE() << "no error raised";
    return Error(ErrorInfo{});
  }

  test::TestEnv env_;
  CatalogProduct product_;
  Catalog catalog_;
};

std::string ExampleFile() {
  return (fs::path(__FILE__).parent_path().parent_path().parent_path() / "examples" / "catalog.json").string();
}

TEST_F(CatalogTest, ExampleFileLoadsAndAnswers) {
  CatalogLoadResult r = LoadCatalogFile(ExampleFile());
  EXPECT_EQ(r.visibilities, 3);
  EXPECT_EQ(r.categories, 4);
  EXPECT_EQ(r.products, 4);

  EXPECT_EQ(product_.GetProductDescription(7), "Laser printer L200");
  EXPECT_EQ(product_.GetProductCategoriesForProduct(9).Keys(), (std::vector<std::string>{"10", "11", "12"}));
  StringDict v = catalog_.GetVisibilitiesForCategories({"12", "10"});
  EXPECT_EQ(v.Keys(), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(v.Item("3"), "Partners");
  EXPECT_EQ(catalog_.GetVisibilitiesForCategories({}).Count(), 0u);
  EXPECT_EQ(catalog_.GetVisibilitiesForCategories({"13"}).Count(), 0u);
  EXPECT_EQ(storage::GetVisibilitiesofProduct(8), ";2;");
  EXPECT_EQ(storage::GetProductCategoryList(20), ";");
  EXPECT_EQ(storage::GetVisibilitiesofProduct(20), ";");

  // Loading the same file again changes nothing.
  LoadCatalogFile(ExampleFile());
  EXPECT_EQ(Count("PRODUCTS"), 4);
  EXPECT_EQ(Count("PRODUCTSBYCATEGORY"), 6);
  EXPECT_EQ(Count("CATEGORYVISIBILITIES"), 5);
}

TEST_F(CatalogTest, ReloadUpdatesListedEntitiesOnly) {
  LoadCatalogFile(ExampleFile());
  LoadCatalogFile(WriteFile("update.json", R"({
    "categories": [{"id": 11, "name": "Scanners", "visibilities": [1, 3]}],
    "products": [{"id": 7, "description": "Laser printer L200 \"Pro\" <new> & co", "categories": [11]},
                 {"id": 30, "description": "Wall scanner W1"}]})"));
  EXPECT_EQ(product_.GetProductDescription(7), "Laser printer L200 \"Pro\" <new> & co");
  EXPECT_EQ(storage::GetProductCategoryList(7), ";11;");
  EXPECT_EQ(storage::GetVisibilitiesofProduct(7), ";1;3;");
  EXPECT_EQ(storage::GetVisibilitiesofProduct(8), ";1;3;");  // category 11 changed for every product in it
  EXPECT_EQ(storage::GetProductCategoryList(9), ";10;11;12;");  // not listed: untouched
  EXPECT_EQ(storage::GetProductCategoryList(30), ";");
}

TEST_F(CatalogTest, InvalidFilesAreRefusedWholly) {
  struct Case {
    std::string json;
    std::string expected;  // part of the description
  };
  const std::vector<Case> cases{
      {"[1]", "the file must hold one JSON object"},
      // The parser would stop at the NUL and load the part before it.
      {std::string("{\"visibilities\": []}\0{\"products\": 5}", 36), "a NUL character at byte 21"},
      {"{\"visibilities\": " + std::string(70, '[') + std::string(70, ']') + "}", "nested deeper than 64 levels"},
      {"{\"visibilities\": [", "not valid JSON"},
      {"{\"product\": []}", "unknown section \"product\""},
      {"{\"visibilities\": {}}", "visibilities: must be an array"},
      {"{\"visibilities\": [{\"name\": \"x\"}]}", "visibilities[0]: \"id\" is missing"},
      {"{\"visibilities\": [{\"id\": -1, \"name\": \"x\"}]}", "visibilities[0]: \"id\" must be between 0 and 2147483647"},
      {"{\"visibilities\": [{\"id\": 4294967296, \"name\": \"x\"}]}", "must be between 0 and 2147483647"},
      {"{\"visibilities\": [{\"id\": \"1\", \"name\": \"x\"}]}", "\"id\" must be an integer"},
      {"{\"visibilities\": [{\"id\": 1, \"name\": \" \"}]}", "visibilities[0] (id 1): \"name\" must not be empty"},
      {"{\"visibilities\": [{\"id\": 1, \"name\": \"a\", \"colour\": 2}]}", "visibilities[0]: unknown key \"colour\""},
      {"{\"visibilities\": [{\"id\": 1, \"name\": \"a\"}, {\"id\": 1, \"name\": \"b\"}]}",
       "visibilities[1] (id 1): the id appears twice"},
      {"{\"categories\": [{\"id\": 5, \"name\": \"c\", \"visibilities\": [1, 1]}]}", "\"visibilities\" lists 1 twice"},
      {"{\"products\": [{\"id\": 7, \"name\": \"p\"}]}", "products[0]: unknown key \"name\""},
      // Names end up in tree documents: characters XML cannot hold are refused.
      {"{\"visibilities\": [{\"id\": 1, \"name\": \"ok\"}, {\"id\": 2, \"name\": \"a\\uFFFEb\"}]}",
       "visibilities[1] (id 2): \"name\" holds the character U+FFFE at character 2"},
      {"{\"categories\": [{\"id\": 5, \"name\": \"\\u0001\"}]}",
       "categories[0] (id 5): \"name\" holds the control character U+0001"},
      {"{\"products\": [{\"id\": 7, \"description\": \"p\\uFFFF\"}]}",
       "products[0] (id 7): \"description\" holds the character U+FFFF"},
      // A valid entry before a bad reference: nothing of the file is kept.
      {"{\"visibilities\": [{\"id\": 1, \"name\": \"a\"}],"
       " \"categories\": [{\"id\": 5, \"name\": \"c\", \"visibilities\": [1, 9]}]}",
       "categories[0] (id 5): visibility 9 is neither in the file nor in the catalog"},
      {"{\"products\": [{\"id\": 7, \"description\": \"p\", \"categories\": [44]}]}",
       "products[0] (id 7): category 44 is neither in the file nor in the catalog"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string path = WriteFile("bad" + std::to_string(i) + ".json", cases[i].json);
    Error e = Failure([&] { LoadCatalogFile(path); });
    EXPECT_EQ(e.number(), err::InvalidCatalogFile) << cases[i].json;
    EXPECT_NE(e.description().find(cases[i].expected), std::string::npos) << e.description();
    EXPECT_NE(e.description().find("METHOD: KCatalog.Catalog.LoadCatalogFile caught: "), std::string::npos);
  }
  EXPECT_EQ(Count("VISIBILITIES"), 0);
  EXPECT_EQ(Count("CATEGORIES"), 0);
  EXPECT_EQ(Count("PRODUCTS"), 0);
  EXPECT_EQ(Failure([&] { LoadCatalogFile((fs::path(env_.DataDir()) / "missing.json").string()); }).number(),
            err::FileNotFound);
}

TEST_F(CatalogTest, ReferencesToEntitiesAlreadyInTheCatalog) {
  LoadCatalogFile(ExampleFile());
  LoadCatalogFile(WriteFile("more.json", R"({"products": [{"id": 40, "description": "Tiny printer", "categories": [12]}]})"));
  EXPECT_EQ(storage::GetVisibilitiesofProduct(40), ";1;3;");
}

TEST_F(CatalogTest, UnknownProductAndBadCategoryIdentifiers) {
  Error e = Failure([&] { product_.GetProductDescription(5); });
  EXPECT_EQ(e.number(), err::ProductNotFound);
  EXPECT_NE(e.description().find("The catalog has no product 5"), std::string::npos);
  EXPECT_EQ(product_.GetProductCategoriesForProduct(5).Count(), 0u);
  for (const char* bad : {"1 OR 1=1", "", "x", "99999999999"}) {
    EXPECT_EQ(Failure([&] { catalog_.GetVisibilitiesForCategories({"1", bad}); }).number(), err::InvalidArgument) << bad;
  }
}

}  // namespace
}  // namespace tsa
