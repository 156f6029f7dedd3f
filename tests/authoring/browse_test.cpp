// Browse: the tree as JSON against its document and rows, who sees which
// copy, the state of products' and templates' trees, and the entity search
// with texts that look like patterns.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "authoring/browse.h"
#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "repository/repository.h"
#include "runtime/caller.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

using nlohmann::json;

constexpr int32_t kLaserForBrowse = 7;  // visibilities 1, 2, 3

const Caller kAlice{"alice", "author", ""};
const Caller kBob{"bob", "reader", ""};
const Caller kCarol{"carol", "author", ""};

void Collect(const json& node, std::vector<int>& ids) {
  ids.push_back(node["id"].get<int>());
  for (const json& child : node["children"]) Collect(child, ids);
}

std::vector<int> JsonOrder(const json& tree) {
  std::vector<int> ids;
  Collect(tree["root"], ids);
  return ids;
}

std::vector<int> DocumentOrder(int32_t treeType, int32_t id, bool manager) {
  std::vector<int> ids;
  for (const XmlElement& e : LoadDocument(treeType, id, manager).SelectNodes("//Node")) {
    ids.push_back(std::stoi(e.GetAttribute("NID").value_or("-1")));
  }
  return ids;
}

// Every node of the JSON by identifier.
void Index(const json& node, std::map<int, json>& out) {
  out[node["id"].get<int>()] = node;
  for (const json& child : node["children"]) Index(child, out);
}

class BrowseTest : public TreeTest {
 protected:
  BrowseTest() { LoadTestCatalog(env); }

  json TreeAs(const Caller& caller, int32_t treeType, int32_t id, const std::string& view) {
    CallerScope scope(caller);
    return browse.Tree(treeType, id, view);
  }
  ErrorInfo TreeRefused(const Caller& caller, int32_t treeType, int32_t id, const std::string& view) {
    CallerScope scope(caller);
    return RaisedBy([&] { browse.Tree(treeType, id, view); });
  }
  int32_t Add(int32_t id, int32_t parent, int32_t repType, const std::string& text, const std::string& faqs = ";") {
    return dom->AddChildNew(kProduct, id, parent, repType, text, text + " in detail", ";1;", faqs, -1, "alice");
  }

  TSDOMPtr dom = CreateTSDOMObject();
  Browse browse;
};

TEST_F(BrowseTest, TreeFollowsTheDocumentAfterMovesAndPastes) {
  // A published source tree to paste from.
  dom->CreateEmptyTree(kProduct, 8);
  std::string owner;
  dom->CheckOut(kProduct, 8, "alice", owner);
  const int32_t sourceCategory = dom->AddChildNew(kProduct, 8, 0, storage::kRepCategory, "Feed", "", ";2;", ";", -1,
                                                  "alice");
  const int32_t source =
      dom->AddChildNew(kProduct, 8, sourceCategory, storage::kRepQuestion, "Pasted", "", ";2;", ";9;", -1, "alice");
  dom->AddChildNew(kProduct, 8, source, storage::kRepAnswer, "Pasted answer", "", ";2;", ";", -1, "alice");
  dom->Publish(kProduct, 8);

  dom->CreateEmptyTree(kProduct, kLaserForBrowse);
  dom->CheckOut(kProduct, kLaserForBrowse, "alice", owner);
  const int32_t paper = Add(kLaserForBrowse, 0, storage::kRepCategory, "Paper");
  const int32_t power = Add(kLaserForBrowse, 0, storage::kRepCategory, "Power");
  const std::string odd = "Is it \"jammed\" <here> & \\ there?\n \xc3\xbc\t";
  const int32_t q1 = Add(kLaserForBrowse, paper, storage::kRepQuestion, "First");
  const int32_t q2 = Add(kLaserForBrowse, paper, storage::kRepQuestion, odd, ";4;5;");
  const int32_t q3 = Add(kLaserForBrowse, paper, storage::kRepQuestion, "Third");
  dom->MoveNode(kProduct, kLaserForBrowse, q3, 1, "alice");     // first, third, second
  dom->MoveNode(kProduct, kLaserForBrowse, power, 1, "alice");  // power before paper
  dom->Paste(kProduct, 8, source, kProduct, kLaserForBrowse, power, "", "alice");

  const json mine = TreeAs(kAlice, kProduct, kLaserForBrowse, "");
  EXPECT_EQ(mine["view"], "working");
  EXPECT_EQ(JsonOrder(mine), DocumentOrder(kProduct, kLaserForBrowse, true));
  EXPECT_EQ(mine["nodeCount"], ReadRows(kProduct, kLaserForBrowse, true).size());
  const std::vector<int> order = JsonOrder(mine);
  ASSERT_GE(order.size(), 6u);
  EXPECT_EQ(order[1], power);
  std::vector<int> underPaper;
  for (const json& child : mine["root"]["children"][1]["children"]) underPaper.push_back(child["id"].get<int>());
  EXPECT_EQ(underPaper, (std::vector<int>{q1, q3, q2}));

  // Every node's FAQ list and entity as its row has them; texts as stored.
  std::map<int, json> nodes;
  Index(mine["root"], nodes);
  for (const NodeRow& row : ReadRows(kProduct, kLaserForBrowse, true)) {
    ASSERT_TRUE(nodes.count(row.nodeId)) << row.nodeId;
    EXPECT_EQ(nodes[row.nodeId]["faqs"], row.faqs) << row.nodeId;
    EXPECT_EQ(nodes[row.nodeId]["repId"], row.repId) << row.nodeId;
    EXPECT_EQ(nodes[row.nodeId]["type"], row.repType) << row.nodeId;
  }
  EXPECT_EQ(nodes[q2]["short"], odd);
  EXPECT_EQ(nodes[q2]["faqs"], ";4;5;");
  EXPECT_EQ(nodes[q2]["visibilities"], json::array({"1"}));
  EXPECT_EQ(nodes[0]["short"], "Laser printer <L200> & co");
  EXPECT_EQ(nodes[0]["visibilities"], json::array({"1", "2", "3"}));
  EXPECT_EQ(nodes[0]["hyperlink"], -1);
  EXPECT_TRUE(mine["topType"].is_null());

  // The published copy still has the root alone; the state is the tree's.
  const json published = TreeAs(kAlice, kProduct, kLaserForBrowse, "published");
  EXPECT_EQ(published["view"], "published");
  EXPECT_EQ(published["nodeCount"], 1);
  EXPECT_EQ(published["checkedOutBy"], "alice");
  EXPECT_TRUE(std::regex_match(published["checkedOutSince"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
      << published["checkedOutSince"];

  // A FAQ edit shows at once (the kept text is not served again).
  const NodeRow row = *ReadRow(kProduct, kLaserForBrowse, q1, true);
  dom->SaveNode(kProduct, kLaserForBrowse, q1, row.repId, "First", "First in detail", false, ";1;", false, ";6;",
                -1, "alice");
  nodes.clear();
  Index(TreeAs(kAlice, kProduct, kLaserForBrowse, "")["root"], nodes);
  EXPECT_EQ(nodes[q1]["faqs"], ";6;");
}

// Texts with every character JSON must escape and bytes that are not UTF-8
// (which the engine refuses on the way in, but a document file may hold),
// each at every offset around an eight-byte run: the text as served must
// parse and give each text back, malformed bytes as U+FFFD.
TEST_F(BrowseTest, TreeTextsAreValidJsonWhateverTheDocumentHolds) {
  const std::string replacement = "\xef\xbf\xbd";
  const std::vector<std::pair<std::string, std::string>> cases = {
      // {in the document, as the parser gives it back}
      {"quote \" backslash \\ slash /", "quote \" backslash \\ slash /"},
      {std::string("\x01\x08\x0c\x1f\x7f", 5), std::string("\x01\x08\x0c\x1f\x7f", 5)},
      {"tab\tline\nend", "tab\tline\nend"},
      {"\xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80", "\xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80"},  // 2, 3 and 4 bytes
      {"lone \xff end", "lone " + replacement + " end"},
      {"cut \xe2\x82", "cut " + replacement + replacement},
      {"surrogate \xed\xa0\x80", "surrogate " + replacement + replacement + replacement},
      {"overlong \xc0\xaf", "overlong " + replacement + replacement},
      {"beyond \xf4\x90\x80\x80", "beyond " + replacement + replacement + replacement + replacement},
      {"continuation \x80\xbf", "continuation " + replacement + replacement},
  };
  TestEnv::UseDocumentFiles();  // the document file gets bytes the engine would refuse
  dom->CreateEmptyTree(kProduct, kLaserForBrowse);
  std::string owner;
  dom->CheckOut(kProduct, kLaserForBrowse, "alice", owner);
  // Nodes with placeholders, which the document file then gets the bytes for.
  std::map<std::string, std::string> placed;
  std::map<int32_t, std::string> expected;
  for (size_t c = 0; c < cases.size(); ++c) {
    for (size_t pad = 0; pad <= 9; ++pad) {
      const std::string mark = "@" + std::to_string(c) + "." + std::to_string(pad) + "@";
      const int32_t node =
          dom->AddChildNew(kProduct, kLaserForBrowse, 0, storage::kRepCategory, mark, "", ";1;", ";", -1, "alice");
      placed[mark] = std::string(pad, 'a') + cases[c].first + "0123456789abcdef";
      expected[node] = std::string(pad, 'a') + cases[c].second + "0123456789abcdef";
    }
  }
  const std::string path = DocumentPath(kProduct, *DocumentName(kProduct, kLaserForBrowse, true), true);
  std::string markup;
  {
    std::ifstream in(path, std::ios::binary);
    markup.assign(std::istreambuf_iterator<char>(in), {});
  }
  for (const auto& [mark, bytes] : placed) {
    const size_t at = markup.find(mark);
    ASSERT_NE(at, std::string::npos) << mark;
    markup.replace(at, mark.size(), bytes);
  }
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << markup;
  }

  const TreeJson served = RunReadOnly([&] { return RenderTreeJson(kProduct, kLaserForBrowse, "", "alice"); });
  ASSERT_TRUE(served.text);
  json parsed;
  ASSERT_NO_THROW(parsed = json::parse(*served.text)) << *served.text;
  EXPECT_EQ(parsed, TreeAs(kAlice, kProduct, kLaserForBrowse, ""));
  std::map<int, json> nodes;
  Index(parsed["root"], nodes);
  for (const auto& [node, shown] : expected) EXPECT_EQ(nodes[node]["short"], shown) << node;
}

TEST_F(BrowseTest, EachCallerSeesTheCopyTheyMay) {
  dom->CreateEmptyTree(kProduct, kLaserForBrowse);
  std::string owner;
  dom->CheckOut(kProduct, kLaserForBrowse, "alice", owner);
  Add(kLaserForBrowse, 0, storage::kRepCategory, "Paper");

  EXPECT_EQ(TreeAs(kAlice, kProduct, kLaserForBrowse, "")["nodeCount"], 2);
  const json bobs = TreeAs(kBob, kProduct, kLaserForBrowse, "");
  EXPECT_EQ(bobs["view"], "published");
  EXPECT_EQ(bobs["nodeCount"], 1);
  EXPECT_EQ(TreeRefused(kBob, kProduct, kLaserForBrowse, "working").number, err::WorkingCopyRefused);
  const json carols = TreeAs(kCarol, kProduct, kLaserForBrowse, "working");
  EXPECT_EQ(carols["view"], "working");
  EXPECT_EQ(carols["nodeCount"], 2);
  EXPECT_EQ(TreeRefused(kCarol, kProduct, kLaserForBrowse, "draft").number, err::InvalidArgument);
  EXPECT_EQ(TreeRefused(kCarol, 3, kLaserForBrowse, "").number, err::InvalidArgument);

  dom->UndoEditTree(kLaserForBrowse, kProduct, "alice");
  EXPECT_EQ(TreeRefused(kCarol, kProduct, kLaserForBrowse, "working").number, err::NoWorkingCopyToShow);
  const json after = TreeAs(kAlice, kProduct, kLaserForBrowse, "");
  EXPECT_EQ(after["view"], "published");
  EXPECT_TRUE(after["checkedOutBy"].is_null());
  EXPECT_EQ(TreeRefused(kAlice, kProduct, 99, "").number, err::TreeLoadFailed);

  // A template without a top-level node yet.
  const int32_t id = CreateTemplate("Paper jam", "Jams", 10);
  const json empty = TreeAs(kBob, kTemplate, id, "");
  EXPECT_EQ(empty["topType"], storage::kTopTypeEmpty);
  EXPECT_EQ(empty["root"]["short"], "Paper jam");
  EXPECT_EQ(empty["root"]["long"], "Jams");
}

TEST_F(BrowseTest, ProductsAndTemplatesWithTheStateOfTheirTrees) {
  dom->CreateEmptyTree(kProduct, kLaserForBrowse);
  dom->CreateEmptyTree(kProduct, 8);
  std::string owner;
  dom->CheckOut(kProduct, kLaserForBrowse, "alice", owner);
  const int32_t paper = Add(kLaserForBrowse, 0, storage::kRepCategory, "Paper");
  Add(kLaserForBrowse, paper, storage::kRepQuestion, "Jam?");

  const json products = browse.Products("");
  ASSERT_EQ(products.size(), 3u);
  EXPECT_EQ(products[0]["id"], kLaserForBrowse);
  const json& laser = products[0]["tree"];
  EXPECT_EQ(laser["nodes"], 1);
  EXPECT_EQ(laser["workingNodes"], 3);
  EXPECT_EQ(laser["checkedOutBy"], "alice");
  EXPECT_TRUE(laser["checkedOutSince"].is_string());
  EXPECT_EQ(products[1]["tree"], json({{"nodes", 1}, {"checkedOutBy", nullptr}, {"checkedOutSince", nullptr},
                                       {"workingNodes", nullptr}}));
  EXPECT_EQ(products[2]["id"], 20);
  EXPECT_TRUE(products[2]["tree"].is_null());

  auto ids = [&](const std::string& filter) {
    std::vector<int> out;
    for (const json& p : browse.Products(filter)) out.push_back(p["id"].get<int>());
    return out;
  };
  EXPECT_EQ(ids("PRINTER"), (std::vector<int>{7, 20}));
  EXPECT_EQ(ids("<l200> &"), (std::vector<int>{7}));
  EXPECT_EQ(ids("8"), (std::vector<int>{8}));
  EXPECT_EQ(ids("%"), std::vector<int>{});
  EXPECT_EQ(ids("_"), std::vector<int>{});
  EXPECT_EQ(ids("'"), std::vector<int>{});

  const int32_t withTree = CreateTemplate("Paper jam", "Jams", 10);
  const int32_t bare = dom->CreateNewTemplateInfo("No tree yet", "", 11);
  const json templates = browse.Templates();
  ASSERT_EQ(templates.size(), 2u);
  EXPECT_EQ(templates[0]["id"], withTree);
  EXPECT_EQ(templates[0]["name"], "Paper jam");
  EXPECT_EQ(templates[0]["comment"], "Jams");
  EXPECT_EQ(templates[0]["productCategory"], 10);
  EXPECT_EQ(templates[0]["tree"]["nodes"], 1);
  EXPECT_EQ(templates[1]["id"], bare);
  EXPECT_TRUE(templates[1]["tree"].is_null());

  const json catalog = browse.Catalog();
  EXPECT_EQ(catalog["visibilities"][1], json({{"id", "2"}, {"name", "Agents"}}));
  EXPECT_EQ(catalog["categories"][2], json({{"id", 12}, {"name", "Office"}, {"visibilities", {"1", "3"}}}));
  EXPECT_EQ(catalog["products"][0]["categories"], json::array({10, 12}));
  EXPECT_EQ(catalog["products"][0]["visibilities"], json::array({"1", "2", "3"}));
  EXPECT_EQ(catalog["products"][2]["visibilities"], json::array());
}

TEST_F(BrowseTest, SearchMatchesTheTextLiterallyAndPages) {
  RepositoryPtr repository = CreateRepositoryObject();
  struct Entity {
    int32_t type;
    std::string sd, ld;
  };
  const std::vector<Entity> entities = {{2, "100% sure", ""},     {2, "100 percent sure", ""},
                                        {3, "a_b", ""},           {3, "axb", "A_B in detail"},
                                        {4, "Say \"it's\"", ""}, {4, "Wow!", ""},
                                        {4, "Wow", "Paper"},      {1, "PAPER", ""}};
  for (const Entity& e : entities) repository->AddRepEntity(e.type, e.sd, e.ld);

  auto shorts = [&](const std::string& text, int32_t type) {
    std::vector<std::string> out;
    const json found = browse.SearchEntities(text, type, 0, 200);
    for (const json& item : found["items"]) out.push_back(item["short"]);
    EXPECT_EQ(found["total"], out.size()) << text;
    return out;
  };
  EXPECT_EQ(shorts("%", 0), std::vector<std::string>{"100% sure"});
  EXPECT_EQ(shorts("_", 0), (std::vector<std::string>{"a_b", "axb"}));  // axb by its long text
  EXPECT_EQ(shorts("ow!", 0), std::vector<std::string>{"Wow!"});
  EXPECT_EQ(shorts("\"it's\"", 0), std::vector<std::string>{"Say \"it's\""});
  EXPECT_EQ(shorts("paper", 0), (std::vector<std::string>{"PAPER", "Wow"}));  // by type, then id
  EXPECT_EQ(shorts("", 3), (std::vector<std::string>{"a_b", "axb"}));

  const json all = browse.SearchEntities("", 0, 0, 200);
  ASSERT_EQ(all["total"], entities.size());
  const json page = browse.SearchEntities("", 0, 2, 3);
  EXPECT_EQ(page["total"], entities.size());
  ASSERT_EQ(page["items"].size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(page["items"][i], all["items"][i + 2]);
  EXPECT_EQ(all["items"][0]["repType"], 1);
  EXPECT_EQ(browse.SearchEntities("", 0, 8, 5)["items"].size(), 0u);

  for (auto [type, offset, limit] : {std::tuple{0, 0, 0}, {0, 0, 201}, {0, -1, 10}, {5, 0, 10}, {-1, 0, 10}}) {
    EXPECT_EQ(RaisedBy([&] { browse.SearchEntities("", type, offset, limit); }).number, err::InvalidArgument)
        << type << " " << offset << " " << limit;
  }

  // A NUL would end the pattern early and match everything; a text beyond
  // 1000 characters is refused before it reaches the database.
  for (const std::string& text : {std::string("pa\0per", 6), std::string(1001, 'a'), std::string(1 << 20, 'x'),
                                  [] { std::string t; for (int i = 0; i < 1001; ++i) t += "\xc3\xbc"; return t; }()}) {
    const ErrorInfo e = RaisedBy([&] { browse.SearchEntities(text, 0, 0, 10); });
    EXPECT_EQ(e.number, err::InvalidArgument) << e.description;
    EXPECT_NE(e.description.find("i_sText"), std::string::npos) << e.description;
  }
  std::string longest;
  for (int i = 0; i < 1000; ++i) longest += "\xc3\xbc";  // 1000 characters in 2000 bytes
  EXPECT_EQ(browse.SearchEntities(longest, 0, 0, 10)["total"], 0);

  // Case is ignored beyond ASCII, as Unicode folds it, on either database.
  repository->AddRepEntity(2, "Stra\u00dfe gesperrt?", "");
  repository->AddRepEntity(3, "\u03c3\u03af\u03c3\u03c5\u03c6\u03bf\u03c2", "\u00dcBER");
  EXPECT_EQ(shorts("STRASSE", 0), std::vector<std::string>{"Stra\u00dfe gesperrt?"});
  EXPECT_EQ(shorts("\u03a3\u038a\u03a3\u03a5\u03a6\u039f\u03a3", 0),
            std::vector<std::string>{"\u03c3\u03af\u03c3\u03c5\u03c6\u03bf\u03c2"});
  EXPECT_EQ(shorts("\u00fcber", 3), std::vector<std::string>{"\u03c3\u03af\u03c3\u03c5\u03c6\u03bf\u03c2"});
  EXPECT_EQ(browse.SearchEntities("e", 0, 1, 2)["total"], browse.SearchEntities("E", 0, 0, 200)["items"].size());
}

}  // namespace
}  // namespace tsa::test
