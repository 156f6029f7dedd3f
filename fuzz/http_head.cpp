// Request heads as a connection reads them: Beast's parser set up as the
// service sets it up, then the pieces the service takes from the head (the
// route, the Host header, a tree read's path and query, the session cookie).
#include <cstdint>
#include <string>
#include <string_view>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "accounts/sessions.h"
#include "fuzz_support.h"
#include "server/request_head.h"

using namespace tsa;
using namespace tsa::server;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

void CheckQuery(std::string_view query) {
  for (const char* name : {"user", "view"}) {
    for (const auto& value : QueryValues(query, name)) {
      if (value && value->size() > query.size()) fuzz::Finding("a decoded value longer than its query", *value);
    }
  }
}

void CheckPath(std::string_view path) {
  const std::string route = Route(path);
  if (route != "/trees") return;
  const std::vector<std::string_view> parts = PathSegments(path);
  for (std::string_view part : parts) {
    if (auto n = ParseInt32(part); n && ParseInt32(std::to_string(*n)) != n) {
      fuzz::Finding("an identifier that does not read back", std::string(part));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietTheLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  http::request_parser<http::string_body> parser;
  PrepareHeadParser(parser);
  beast::error_code ec;
  parser.put(boost::asio::buffer(data, size), ec);
  if (ec || !parser.is_header_done()) return 0;

  const auto& req = parser.get();
  (void)req.keep_alive();
  (void)req.method_string();
  const std::string_view target = req.target();
  const size_t q = target.find('?');
  CheckPath(target.substr(0, q));
  if (q != std::string_view::npos) CheckQuery(target.substr(q + 1));
  if (auto host = req.find(http::field::host); host != req.end()) {
    if (HostOf(host->value()).size() > host->value().size()) fuzz::Finding("a host longer than its header", "");
  }
  for (const auto& field : req) {
    if (field.name() != http::field::cookie) continue;
    const std::string cookie = CookieValue(field.value(), accounts::kSessionCookie);
    if (cookie.find(';') != std::string::npos) fuzz::Finding("a cookie value across a separator", cookie);
  }
  return 0;
}
