#include "e2e/service_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "accounts/accounts.h"
#include "accounts/tokens.h"
#include "components/catalog.h"
#include "server/json_rpc.h"
#include "server/tree_reads.h"

namespace tsa::test {

namespace {

using nlohmann::json;

// The suite makes thousands of commits, each of which syncs its documents
// and its database to disk. On a memory file system those syncs cost
// nothing and the suite stays quick; an explicit TMPDIR is left alone.
[[maybe_unused]] const bool kTemporariesInMemory = [] {
  std::error_code ec;
  if (!std::getenv("TMPDIR") && std::filesystem::is_directory("/dev/shm", ec)) ::setenv("TMPDIR", "/dev/shm", 0);
  return true;
}();

// The demo catalog shipped with the sources.
std::string DemoCatalogPath() {
  return (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "examples" / "catalog.json")
      .string();
}

}  // namespace

ServiceClient::ServiceClient(int port, const std::string& token) : http_("127.0.0.1", port) {
  http_.set_bearer_token_auth(token);
  http_.set_keep_alive(true);
  http_.set_tcp_nodelay(true);
  // A hung service fails the test instead of hanging it.
  http_.set_connection_timeout(10, 0);
  http_.set_read_timeout(60, 0);
  http_.set_write_timeout(60, 0);
}

json ServiceClient::Call(std::string_view method, const json& params) {
  const json id = nextId_++;
  json request = {{"jsonrpc", "2.0"}, {"id", id}, {"method", std::string(method)}};
  if (!params.is_null()) request["params"] = params;
  auto res = http_.Post("/rpc", request.dump(), "application/json");
  if (!res) {
    ADD_FAILURE() << method << ": no answer: " << httplib::to_string(res.error());
    return json();
  }
  if (res->status != 200) {
    ADD_FAILURE() << method << ": HTTP " << res->status << ": " << res->body;
    return json();
  }
  json answer = json::parse(res->body, nullptr, false);
  if (answer.is_discarded() || !answer.is_object()) {
    ADD_FAILURE() << method << ": not a JSON object: " << res->body;
    return json();
  }
  EXPECT_EQ(answer.value("jsonrpc", json()), "2.0") << res->body;
  EXPECT_EQ(answer.value("id", json()), id) << res->body;
  return answer;
}

json ServiceClient::Result(std::string_view method, const json& params) {
  json answer = Call(method, params);
  if (answer.contains("error")) {
    ADD_FAILURE() << method << " " << params.dump() << " failed: " << answer["error"].dump();
    return json();
  }
  if (!answer.contains("result")) {
    if (!answer.is_null()) ADD_FAILURE() << method << ": an answer without a result: " << answer.dump();
    return json();
  }
  return answer["result"];
}

ErrorInfo ServiceClient::EngineError(std::string_view method, const json& params) {
  json answer = Call(method, params);
  if (answer.is_null()) return {};
  if (!answer.contains("error")) {
    ADD_FAILURE() << method << " " << params.dump() << " succeeded: " << answer.dump();
    return {};
  }
  EXPECT_TRUE(IsEngineErrorAnswer(answer, answer["id"]));
  ErrorInfo e;
  const json& data = answer["error"].value("data", json::object());
  e.number = data.value("number", 0);
  e.source = data.value("source", std::string());
  e.description = data.value("description", std::string());
  return e;
}

std::pair<int, std::string> ServiceClient::Get(const std::string& path) {
  auto res = http_.Get(path);
  if (!res) return {0, httplib::to_string(res.error())};
  return {res->status, res->body};
}

XmlDoc ServiceClient::Document(int32_t treeType, int32_t id, const std::string& user) {
  auto [status, body] = Get("/trees/" + std::to_string(treeType) + "/" + std::to_string(id) +
                            "/document?user=" + httplib::detail::encode_query_param(user));
  if (status != 200) {
    ADD_FAILURE() << "reading the document of " << treeType << "/" << id << " for " << user << ": " << status
                  << " " << body;
    return {};
  }
  XmlDoc document = XmlDoc::Create();
  if (!document.LoadXml(body)) {
    ADD_FAILURE() << "the document of " << treeType << "/" << id << " does not parse: " << document.LastError();
    return {};
  }
  return document;
}

json ServiceClient::NodeInfo(int32_t treeType, int32_t id, int32_t nodeId, const std::string& user) {
  auto [status, body] = Get("/trees/" + std::to_string(treeType) + "/" + std::to_string(id) + "/nodes/" +
                            std::to_string(nodeId) + "?user=" + httplib::detail::encode_query_param(user));
  if (status != 200) {
    ADD_FAILURE() << "reading node " << nodeId << " of " << treeType << "/" << id << ": " << status << " " << body;
    return json();
  }
  return json::parse(body, nullptr, false);
}

::testing::AssertionResult IsEngineErrorAnswer(const json& answer, const json& id) {
  auto fail = [&](const std::string& why) { return ::testing::AssertionFailure() << why << ": " << answer.dump(); };
  if (!answer.is_object()) return fail("not an object");
  if (answer.value("jsonrpc", json()) != "2.0") return fail("\"jsonrpc\" is not \"2.0\"");
  if (!answer.contains("id") || answer["id"] != id) return fail("the id is not echoed");
  if (answer.contains("result")) return fail("an error answer with a result");
  if (!answer.contains("error") || !answer["error"].is_object()) return fail("no error object");
  const json& e = answer["error"];
  if (!e.contains("code") || !e["code"].is_number_integer()) return fail("no integer code");
  if (!e.contains("message") || !e["message"].is_string()) return fail("no message text");
  if (!e.contains("data") || !e["data"].is_object()) return fail("no data object");
  const json& data = e["data"];
  if (!data.contains("number") || !data["number"].is_number_integer()) return fail("no error number");
  if (!data.contains("source") || !data["source"].is_string()) return fail("no source text");
  if (!data.contains("description") || !data["description"].is_string()) return fail("no description text");
  if (e["code"].get<int>() != server::EngineErrorCode(data["number"].get<int32_t>())) {
    return fail("the code is not the error's number");
  }
  if (e["message"] != data["description"]) return fail("the message is not the description");
  return ::testing::AssertionSuccess();
}

std::vector<int32_t> ChildNodeIds(const XmlElement& element) {
  std::vector<int32_t> ids;
  if (element.IsNull()) return ids;
  for (const XmlElement& child : element.ChildElements("Node")) {
    ids.push_back(std::stoi(child.GetAttribute("NID").value_or("-1")));
  }
  return ids;
}

XmlElement NodeElement(const XmlDoc& document, int32_t nodeId) {
  if (document.IsNull()) return {};
  return document.SelectSingleNode("//Node[@NID='" + std::to_string(nodeId) + "']");
}

std::vector<int32_t> AllNodeIds(const XmlDoc& document) {
  std::vector<int32_t> ids;
  if (document.IsNull()) return ids;
  for (const XmlElement& e : document.SelectNodes("//Node")) {
    ids.push_back(std::stoi(e.GetAttribute("NID").value_or("-1")));
  }
  return ids;
}

ServiceTest::ServiceTest() {
  LoadCatalogFile(DemoCatalogPath());
  server::ServiceOptions o;
  o.listenAddress = "127.0.0.1";
  o.port = 0;
  o.dataDir = env.DataDir();
  // More workers than the tests' clients, each of which keeps a connection.
  o.threads = 16;
  o.accessLog = [](const std::string&) {};
  o.token = serviceToken_;
  service_ = std::make_unique<server::HttpService>(std::move(o));
  service_->SetTreeReadHandler(server::ReadTree);
  service_->Start();
  client_ = std::make_unique<ServiceClient>(service_->Port(), serviceToken_);
}

std::string ServiceTest::PersonalToken(const std::string& login, const std::string& role) {
  accounts::CreateAccount(login, login, accounts::RequireRole(role), "");
  return accounts::CreateToken(login, "e2e").token;
}

ServiceTest::~ServiceTest() {
  client_.reset();
  service_->Stop();
}

void ServiceTest::AddProducts(int32_t first, int count) {
  json products = json::array();
  for (int i = 0; i < count; ++i) {
    products.push_back({{"id", first + i}, {"description", "Test product " + std::to_string(first + i)},
                        {"categories", {10}}});
  }
  const std::string path = (std::filesystem::path(env.DataDir()) / "more-products.json").string();
  std::ofstream(path) << json{{"products", products}}.dump();
  LoadCatalogFile(path);
}

}  // namespace tsa::test
