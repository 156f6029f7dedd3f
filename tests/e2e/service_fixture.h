// The service as a front end meets it: a fresh engine environment with the
// demo catalog, the network service listening on a free loopback port with
// the tree read endpoints, and a client that speaks JSON-RPC and reads
// documents over real HTTP.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "runtime/error.h"
#include "server/http_server.h"
#include "storage/xml.h"
#include "support/tree_fixture.h"

namespace tsa::test {

// Products of the demo catalog: 7 "Laser printer L200" (categories 10 and
// 12: visibilities 1, 2, 3), 8 "Flatbed scanner F10" (category 11:
// visibility 2), 9 "Combined copier C5" (all three), 20 (no category).
inline constexpr int32_t kLaserPrinter = 7;
inline constexpr int32_t kScanner = 8;
inline constexpr int32_t kCopier = 9;

// A connection to the service; one per thread (it keeps its connection
// alive between calls).
class ServiceClient {
 public:
  // `token`: the bearer token every request carries.
  ServiceClient(int port, const std::string& token);

  // Posts one call and returns the whole answer (an object with "result" or
  // "error"). A transport failure or an answer that is not HTTP 200 with a
  // JSON body fails the test and gives null.
  nlohmann::json Call(std::string_view method, const nlohmann::json& params);

  // The result of a call that must succeed; a test failure (and null) when
  // it answers with an error.
  nlohmann::json Result(std::string_view method, const nlohmann::json& params);

  // The engine error a call must answer with (number, source, description
  // from the answer's data); a test failure when it succeeds or the error is
  // not well formed.
  ErrorInfo EngineError(std::string_view method, const nlohmann::json& params);

  // GET of a read endpoint: status and body; status 0 when there was no
  // answer.
  std::pair<int, std::string> Get(const std::string& path);

  // The document of a tree as `user` sees it, parsed; a test failure (and a
  // null document) when the read fails.
  XmlDoc Document(int32_t treeType, int32_t id, const std::string& user);
  // One node's properties as `user` sees them (JSON object), or null.
  nlohmann::json NodeInfo(int32_t treeType, int32_t id, int32_t nodeId, const std::string& user);

 private:
  httplib::Client http_;
  int64_t nextId_ = 1;
};

// Whether `answer` is a well-formed JSON-RPC error answer to the call with
// `id` that carries an engine error: "jsonrpc" "2.0", the id echoed, no
// result, an error object whose code is the engine's number (or -32000 for
// one in the reserved range), whose message is the description, and whose
// data holds number, source and description.
::testing::AssertionResult IsEngineErrorAnswer(const nlohmann::json& answer, const nlohmann::json& id);

// The children of an element that are Node elements, their NID in order.
std::vector<int32_t> ChildNodeIds(const XmlElement& element);
// The element of a node in a document (null when absent).
XmlElement NodeElement(const XmlDoc& document, int32_t nodeId);
// Every NID in a document.
std::vector<int32_t> AllNodeIds(const XmlDoc& document);

// The engine environment, the demo catalog and the service.
class ServiceTest : public TreeTest {
 protected:
  ServiceTest();
  ~ServiceTest() override;

  int Port() const { return service_->Port(); }
  // A client with the service token: the service account, which may act
  // for any login named in a call's user argument.
  ServiceClient& client() { return *client_; }
  const std::string& ServiceToken() const { return serviceToken_; }
  // A personal token of a new account with that login and role
  // ("reader", "author", "publisher" or "admin").
  std::string PersonalToken(const std::string& login, const std::string& role);

  // Adds products to the catalog (in category 10, visibilities 1 and 2).
  void AddProducts(int32_t first, int count);

 private:
  std::string serviceToken_ = "e2e-service-token";
  std::unique_ptr<server::HttpService> service_;
  std::unique_ptr<ServiceClient> client_;
};

}  // namespace tsa::test
