#include "server/rpc_client.h"

#include <httplib.h>

#include "runtime/error.h"
#include "server/json_rpc.h"
#include "server/methods.h"

namespace tsa::server {

namespace {

using nlohmann::json;

constexpr const char* kSource = "tsauthor.rpc";
constexpr int kMaxResponseDepth = 512;

[[noreturn]] void Fail(int32_t number, const std::string& description) {
  ErrorInfo e;
  e.number = number;
  e.source = kSource;
  e.description = description;
  throw Error(std::move(e));
}

struct Endpoint {
  std::string base;  // scheme://host[:port]
  std::string path;  // "/rpc" unless the URL names another
};

Endpoint SplitUrl(const std::string& url) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos || (url.compare(0, scheme, "http") != 0 && url.compare(0, scheme, "https") != 0)) {
    RaiseInvalidArgument("url", "expected http://HOST:PORT or https://HOST:PORT, got '" + url + "'");
  }
  size_t slash = url.find('/', scheme + 3);
  Endpoint e;
  e.base = url.substr(0, slash);
  e.path = slash == std::string::npos ? std::string() : url.substr(slash);
  if (e.base.size() == scheme + 3) RaiseInvalidArgument("url", "no host in '" + url + "'");
  if (e.path.empty() || e.path == "/") e.path = "/rpc";
  return e;
}

std::string Snippet(const std::string& body) {
  constexpr size_t kMax = 300;
  return body.size() <= kMax ? body : body.substr(0, kMax) + "...";
}

}  // namespace

json CallRemote(const std::string& url, std::string_view method, const json& params, const std::string& token,
                const RemoteOptions& options) {
  Endpoint endpoint = SplitUrl(url);
  json request = {{"jsonrpc", "2.0"}, {"id", 1}, {"method", std::string(method)}};
  if (!params.is_null()) request["params"] = params;

  httplib::Client client(endpoint.base);
  client.set_tcp_nodelay(true);
  client.set_connection_timeout(options.connectTimeoutSeconds, 0);
  client.set_read_timeout(options.timeoutSeconds, 0);
  client.set_write_timeout(options.timeoutSeconds, 0);
  if (!token.empty()) client.set_bearer_token_auth(token);

  auto res = client.Post(endpoint.path, DumpJson(request), "application/json");
  if (!res) {
    Fail(rpcerr::Unreachable, "Cannot call " + std::string(method) + " at " + url + ": " + httplib::to_string(res.error()));
  }
  if (res->status == 401) {
    Fail(err::PermissionDenied, "The service at " + url +
                                    " refused the call: give a valid personal token (tsauthor user token LOGIN) "
                                    "with --token or $TSAUTHOR_TOKEN");
  }
  // A call refused for the caller's role or acting user comes as 403 with its JSON-RPC error.
  const bool refusedCall = res->status == 403 && res->body.find("\"jsonrpc\"") != std::string::npos;
  if (res->status != 200 && !refusedCall) {
    Fail(rpcerr::BadResponse, "The service at " + url + " answered HTTP " + std::to_string(res->status) + ": " +
                                  Snippet(res->body));
  }
  json answer;
  try {
    answer = ParseJsonLimited(res->body, kMaxResponseDepth, "response");
  } catch (const Error&) {
    Fail(rpcerr::BadResponse, "The service at " + url + " answered with something other than JSON: " +
                                  Snippet(res->body));
  }
  if (!answer.is_object() || (!answer.contains("result") && !answer.contains("error"))) {
    Fail(rpcerr::BadResponse, "The service at " + url + " answered with something other than a JSON-RPC response: " +
                                  Snippet(res->body));
  }
  if (auto it = answer.find("error"); it != answer.end() && !it->is_null()) {
    const json e = it->is_object() ? *it : json::object();
    auto data = e.find("data");
    if (data != e.end() && data->is_object() && data->contains("number") && (*data)["number"].is_number_integer()) {
      ErrorInfo info;
      info.number = (*data)["number"].get<int32_t>();
      info.source = data->value("source", std::string());
      info.description = data->value("description", std::string());
      throw Error(std::move(info));
    }
    auto code = e.find("code");
    auto message = e.find("message");
    Fail(code != e.end() && code->is_number_integer() ? code->get<int32_t>() : rpc::kInternalError,
         message != e.end() && message->is_string() ? message->get<std::string>()
                                                     : std::string("The call failed without a message"));
  }
  return answer["result"];
}

json CallLocal(std::string_view method, const json& params) { return InvokeByName(method, params, Audience::Local); }

json ParseParams(std::string_view text, int maxDepth) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return json();
  json params = ParseJsonLimited(text, maxDepth, "params");
  if (!params.is_object() && !params.is_array() && !params.is_null()) {
    RaiseInvalidArgument("params", "expected an object of named arguments or an array of positional ones");
  }
  return params;
}

}  // namespace tsa::server
