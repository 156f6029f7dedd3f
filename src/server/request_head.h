// The head of an HTTP request as the service reads it: the parser's limits
// and the pieces of the request line and headers the service looks at (the
// route of a path, the host of a Host header, query values, cookies).
// Each takes what a peer sent, as it was sent.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsa::server {

// The most a request line and headers may take together.
inline constexpr uint32_t kMaxHeadBytes = 64 * 1024;

// Sets up a fresh request parser (Beast's http::request_parser) to read a head.
template <class Parser>
void PrepareHeadParser(Parser& parser) {
  parser.header_limit(kMaxHeadBytes);
  // The body's size is checked against the limit once the route and the
  // caller are known (Gate), and while a chunked body is read.
  // (No limit is the largest one: this release compares the length with an
  // empty limit as if the limit were below it.)
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
}

// The segments of a path after its leading '/': "/trees/1/7/json" ->
// {"trees", "1", "7", "json"}; empty ones are kept ("/a//" -> {"a", "", ""}).
std::vector<std::string_view> PathSegments(std::string_view path);

// The engine's endpoint a path belongs to: "/rpc", "/health", "/metrics",
// "/trees" (/trees/{type}/{id}/document, /json or /nodes/{nodeId}, by
// shape), "/auth", or "other" (the web app's, for GET and HEAD).
std::string Route(std::string_view path);

// The host part of a Host header: "[::1]:8470" -> "::1", "localhost:8470" -> "localhost";
// "" for anything that is not host[:port] with a port of 1 to 65535 (userinfo,
// a path, a second colon, characters no host name has).
std::string HostOf(std::string_view header);

// A decimal 32-bit integer, nothing else.
std::optional<int32_t> ParseInt32(std::string_view text);

// A query component with "%XX" and "+" decoded; nothing for a broken escape.
std::optional<std::string> DecodeQueryComponent(std::string_view text);

// The values a query gives a name, decoded (nothing for one that does not decode).
std::vector<std::optional<std::string>> QueryValues(std::string_view query, std::string_view name);

// The cookie `name` of a Cookie header, or "".
std::string CookieValue(std::string_view header, std::string_view name);

}  // namespace tsa::server
