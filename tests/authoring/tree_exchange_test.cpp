// Trees as JSON files: export, import under another identifier and export
// again gives the same file but for identifiers; every refusal names the
// JSON path and leaves rows and documents as they were.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "authoring/tree_exchange.h"
#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"
#include "versions/version_errors.h"

namespace tsa::test {
namespace {

using nlohmann::json;

constexpr int32_t kLaser = 7;    // visibilities 1, 2, 3
constexpr int32_t kScanner = 8;  // visibility 2
constexpr int32_t kRetired = 20;

// The file with what only identifies things in one database taken out:
// the product or template identifier and name, node identifiers and
// entities renumbered by first appearance.
json WithoutIdentifiers(json file) {
  std::map<int, int> node{{0, 0}};
  std::map<std::pair<std::string, int>, int> entity;  // entities are numbered per type
  for (json& n : file["nodes"]) node.emplace(n["id"].get<int>(), static_cast<int>(node.size()));
  for (json& n : file["nodes"]) {
    n["id"] = node.at(n["id"].get<int>());
    n["parent"] = node.at(n["parent"].get<int>());
    if (!n["hyperlink"].is_null()) n["hyperlink"] = node.at(n["hyperlink"].get<int>());
    const auto key = std::make_pair(n["type"].get<std::string>(), n["entity"].get<int>());
    n["entity"] = entity.emplace(key, static_cast<int>(entity.size())).first->second;
  }
  file.erase("product");
  if (file.contains("template")) file["template"].erase("id");
  return file;
}

class ExchangeTest : public TreeTest {
 protected:
  ExchangeTest() {
    LoadTestCatalog(env);
    dom->CreateEmptyTree(kProduct, kLaser);
    std::string owner;
    dom->CheckOut(kProduct, kLaser, "ann", owner);
    // category > question > {answer, action}, a second category with a
    // question sharing the first question's entity, a hyperlink and texts
    // that need escaping in markup.
    category = Add(kProduct, kLaser, 0, storage::kRepCategory, "Paper <jams> & \"co\"", ";1;2;");
    question = Add(kProduct, kLaser, category, storage::kRepQuestion, "Tray 2?", ";1;");
    Add(kProduct, kLaser, question, storage::kRepAnswer, "Yes", ";3;1;", ";4;5;");
    Add(kProduct, kLaser, question, storage::kRepAction, "Open the tray", ";", ";", category);
    const int32_t second = Add(kProduct, kLaser, 0, storage::kRepCategory, "Toner", ";2;");
    dom->AddChildFromRep(kProduct, kLaser, second, storage::kRepQuestion, ReadRow(kProduct, kLaser, question, true)->repId,
                         ";2;", ";", -1, "ann");
    dom->Publish(kProduct, kLaser);
  }

  int32_t Add(int32_t type, int32_t id, int32_t parent, int32_t repType, const std::string& sd,
              const std::string& visibilities, const std::string& faqs = ";", int32_t hyperlink = -1) {
    return dom->AddChildNew(type, id, parent, repType, sd, sd + " (long)\nline 2", visibilities, faqs, hyperlink,
                            "ann");
  }

  ErrorInfo RefusedWithNothingWritten(const json& file, int32_t type = kProduct, int32_t id = kScanner) {
    const Stored before = Snapshot(env);
    const ErrorInfo e = RaisedBy([&] { exchange.Import(file, type, id, false); });
    EXPECT_NOTHING_CHANGED(env, before);
    return e;
  }

  TSDOMPtr dom = CreateTSDOMObject();
  Exchange exchange;
  int32_t category = 0, question = 0;
};

TEST_F(ExchangeTest, ExportImportExportGivesTheSameFileButForIdentifiers) {
  const json file = exchange.Export(kProduct, kLaser, false);
  ASSERT_EQ(file["nodes"].size(), 6u);
  EXPECT_EQ(file["visibilities"], json::parse(R"([{"id":1,"name":"Customers"},{"id":2,"name":"Agents"},
                                                    {"id":3,"name":"Partners"}])"));
  EXPECT_EQ(file["nodes"][0]["short"], "Paper <jams> & \"co\"");
  EXPECT_EQ(file["nodes"][2]["visibilities"], json::parse("[3, 1]"));
  EXPECT_EQ(file["nodes"][2]["faqs"], ";4;5;");

  // Through the text, as the command line and a file hand it over.
  const json result = exchange.Import(file.dump(), kProduct, kScanner, false);
  EXPECT_EQ(result["nodes"], 6);
  EXPECT_EQ(result["entitiesCreated"], 5);  // the two questions share one
  EXPECT_TRUE(TreeCopyIsConsistent(kProduct, kScanner, false));
  const json again = exchange.Export(kProduct, kScanner, false);
  EXPECT_EQ(WithoutIdentifiers(again), WithoutIdentifiers(file));
  EXPECT_EQ(again["product"]["id"], kScanner);
  EXPECT_NE(again["nodes"][0]["entity"], file["nodes"][0]["entity"]);  // new entities

  // The imported tree is published and editable like any other.
  std::string owner;
  dom->CheckOut(kProduct, kScanner, "bob", owner);
  EXPECT_EQ(owner, "");
  ExpectTreeConsistent(kProduct, kScanner, "bob");
}

TEST_F(ExchangeTest, WorkingCopyAndReusedTexts) {
  std::string owner;
  dom->CheckOut(kProduct, kLaser, "ann", owner);
  Add(kProduct, kLaser, category, storage::kRepQuestion, "Draft", ";1;");
  EXPECT_EQ(exchange.Export(kProduct, kLaser, true)["nodes"].size(), 7u);
  EXPECT_EQ(exchange.Export(kProduct, kLaser, false)["nodes"].size(), 6u);
  EXPECT_EQ(RaisedBy([&] { exchange.Export(kProduct, kScanner, true); }).number, err::NoSuchCopy);

  // Reusing texts: every entity of the published file exists with its texts.
  const json file = exchange.Export(kProduct, kLaser, false);
  const json result = exchange.Import(file, kProduct, kRetired, true);
  EXPECT_EQ(result["entitiesCreated"], 0);
  EXPECT_EQ(result["entitiesReused"], 5);
  const json imported = exchange.Export(kProduct, kRetired, false);
  for (size_t i = 0; i < file["nodes"].size(); ++i) {
    EXPECT_EQ(imported["nodes"][i]["entity"], file["nodes"][i]["entity"]) << i;
  }
  EXPECT_TRUE(TreeCopyIsConsistent(kProduct, kRetired, false));
}

TEST_F(ExchangeTest, TemplateRoundTripTakesNameCommentAndCategory) {
  const int32_t source = dom->CreateNewTemplateInfo("Jams", "for printers", 10);
  dom->CreateEmptyTree(kTemplate, source);
  std::string owner;
  dom->CheckOut(kTemplate, source, "ann", owner);
  const int32_t q = Add(kTemplate, source, 0, storage::kRepQuestion, "Jammed?", ";1;");
  Add(kTemplate, source, q, storage::kRepAnswer, "Yes", ";1;");
  Add(kTemplate, source, 0, storage::kRepAction, "Call us", ";");
  dom->Publish(kTemplate, source);

  const json file = exchange.Export(kTemplate, source, false);
  EXPECT_EQ(file["template"], json::parse(R"({"id":)" + std::to_string(source) +
                                           R"(,"name":"Jams","comment":"for printers","productCategory":10})"));
  const int32_t target = dom->CreateNewTemplateInfo("placeholder", "", 0);
  exchange.Import(file, kTemplate, target, false);
  const json again = exchange.Export(kTemplate, target, false);
  EXPECT_EQ(WithoutIdentifiers(again), WithoutIdentifiers(file));
  EXPECT_TRUE(TreeCopyIsConsistent(kTemplate, target, false));

  // A template that has its tree already: refused, and its information row
  // (changed before the tree is created) is rolled back with the rest.
  json renamed = file;
  renamed["template"]["name"] = "Renamed";
  EXPECT_EQ(RefusedWithNothingWritten(renamed, kTemplate, target).number, err::TreeAlreadyExists);
  // Categories under a template's question-level top are refused.
  json mixed = file;
  mixed["nodes"].push_back(json::parse(R"({"id":99,"parent":0,"type":"category","entity":null,"short":"c",
                                            "long":"","visibilities":[],"faqs":";","hyperlink":null})"));
  const int32_t third = dom->CreateNewTemplateInfo("third", "", 0);
  const ErrorInfo e = RefusedWithNothingWritten(mixed, kTemplate, third);
  EXPECT_EQ(e.number, err::ExchangeChildType);
  EXPECT_NE(e.description.find("$.nodes[3].type"), std::string::npos) << e.description;
}

TEST_F(ExchangeTest, RefusalsNameThePathAndWriteNothing) {
  const json file = exchange.Export(kProduct, kLaser, false);
  struct Case {
    const char* what;
    std::function<void(json&)> change;
    int32_t number;
    const char* path;
  };
  const std::vector<Case> cases = {
      {"unknown visibility", [](json& f) { f["visibilities"][2]["id"] = 44; f["nodes"][2]["visibilities"] = {44}; },
       err::ExchangeNotInCatalog, "$.visibilities[2]"},
      {"visibility under another name", [](json& f) { f["visibilities"][1]["name"] = "Dealers"; },
       err::ExchangeNotInCatalog, "$.visibilities[1]"},
      {"visibility not listed", [](json& f) { f["nodes"][4]["visibilities"] = {3, 9}; }, err::ExchangeMalformed,
       "$.nodes[4].visibilities[1]"},
      {"product category", [](json& f) { f["template"] = {{"id", 1}, {"name", "t"}, {"comment", ""}, {"productCategory", 77}}; },
       err::ExchangeNotInCatalog, "$.template.productCategory"},
      {"hyperlink outside", [](json& f) { f["nodes"][3]["hyperlink"] = 600; }, err::ExchangeDanglingNode,
       "$.nodes[3].hyperlink"},
      {"parent outside", [](json& f) { f["nodes"][5]["parent"] = 600; }, err::ExchangeDanglingNode,
       "$.nodes[5].parent"},
      {"cycle", [](json& f) { f["nodes"][0]["parent"] = f["nodes"][1]["id"]; }, err::ExchangeCycle,
       "$.nodes[0].parent"},
      {"category below a question", [](json& f) { f["nodes"][4]["parent"] = f["nodes"][1]["id"]; },
       err::ExchangeChildType, "$.nodes[4].type"},
      {"format version", [](json& f) { f["formatVersion"] = 2; }, err::ExchangeFormatVersion, "$.formatVersion"},
      {"format", [](json& f) { f["format"] = "other"; }, err::ExchangeFormatVersion, "$.format"},
      {"missing member", [](json& f) { f["nodes"][1].erase("short"); }, err::ExchangeMalformed, "$.nodes[1].short"},
      {"wrong kind", [](json& f) { f["nodes"][1]["long"] = 5; }, err::ExchangeMalformed, "$.nodes[1].long"},
      {"unknown member", [](json& f) { f["nodes"][1]["hyperlnk"] = 1; }, err::ExchangeMalformed,
       "$.nodes[1].hyperlnk"},
      {"repeated node", [](json& f) { f["nodes"][1]["id"] = f["nodes"][0]["id"]; }, err::ExchangeMalformed,
       "$.nodes[1].id"},
      {"out of range", [](json& f) { f["nodes"][1]["id"] = 1LL << 40; }, err::ExchangeMalformed, "$.nodes[1].id"},
      {"control character", [](json& f) { f["nodes"][1]["short"] = std::string("a\x01"); }, err::ExchangeMalformed,
       "$.nodes[1].short"},
      // Characters XML cannot hold, in every kind of text the file gives.
      {"U+FFFE", [](json& f) { f["nodes"][1]["short"] = "a\uFFFEb"; }, err::ExchangeMalformed, "$.nodes[1].short"},
      {"U+FFFF", [](json& f) { f["nodes"][2]["long"] = "\uFFFF"; }, err::ExchangeMalformed, "$.nodes[2].long"},
      {"lone surrogate", [](json& f) { f["nodes"][3]["faqs"] = std::string(";\xED\xA0\x80;"); },
       err::ExchangeMalformed, "$.nodes[3].faqs"},
      {"not UTF-8", [](json& f) { f["nodes"][0]["short"] = std::string("caf\xE9"); }, err::ExchangeMalformed,
       "$.nodes[0].short"},
      {"visibility name", [](json& f) { f["visibilities"][0]["name"] = "Cust\uFFFFomers"; }, err::ExchangeMalformed,
       "$.visibilities[0].name"},
      {"product name", [](json& f) { f["product"]["name"] = std::string("\x0b"); }, err::ExchangeMalformed,
       "$.product.name"},
      {"shared entity, other texts", [](json& f) { f["nodes"][5]["short"] = "Other"; }, err::ExchangeMalformed,
       "$.nodes[5].entity"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    json changed = file;
    c.change(changed);
    const ErrorInfo e = RefusedWithNothingWritten(changed);
    EXPECT_EQ(e.number, c.number) << e.description;
    EXPECT_NE(e.description.find(c.path), std::string::npos) << e.description;
  }

  // Texts that are not a file.
  for (const std::string& text : {std::string("{\"format\":"), file.dump().substr(0, file.dump().size() - 1),
                                 std::string(R"({"format":"tsauthor-tree","format":"x"})"), std::string(""),
                                 file.dump() + std::string(1, '\0') + "junk", std::string(R"({"format":1e400})")}) {
    SCOPED_TRACE(text.substr(0, 60));
    EXPECT_EQ(RefusedWithNothingWritten(text).number, err::ExchangeMalformed);
  }
  const ErrorInfo twice = RaisedBy([] { ParseExchangeText(R"({"a":{"b":1,"b":2}})"); });
  EXPECT_NE(twice.description.find("\"b\" is given twice"), std::string::npos) << twice.description;
  EXPECT_EQ(RaisedBy([] { ParseExchangeText(std::string(100, '[') + std::string(100, ']')); }).number,
            err::ExchangeMalformed);

  // A product the catalog lacks is refused by the creation of the tree.
  EXPECT_EQ(RefusedWithNothingWritten(file, kProduct, 4242).number, err::ProductNotFound);

  // A tree whose rows hold a node its document lacks is not exported
  // without it.
  auto connection = GetHelvixConnection();
  connection->Execute("INSERT INTO DIAGNOSTICS VALUES (7, 99, 2, 1, 1, 9, 0, ';0;', ';', ';', -1)");
  CloseConnection(connection);
  EXPECT_EQ(RaisedBy([&] { exchange.Export(kProduct, kLaser, false); }).number, err::TreeLoadFailed);
}

}  // namespace
}  // namespace tsa::test
