#include "server/request_head.h"

#include <cctype>

#include "server/header_text.h"

namespace tsa::server {

namespace {

// /trees/{type}/{id}/document or /trees/{type}/{id}/nodes/{nodeId}, by shape
// (the parts are checked later); any other /trees/... is a page of the app.
bool IsTreeReadPath(std::string_view path) {
  if (path.rfind("/trees/", 0) != 0) return false;
  const std::vector<std::string_view> parts = PathSegments(path);
  return (parts.size() == 4 && (parts[3] == "document" || parts[3] == "json")) || (parts.size() == 5 && parts[3] == "nodes");
}

}  // namespace

std::vector<std::string_view> PathSegments(std::string_view path) {
  std::vector<std::string_view> parts;
  for (size_t start = 1; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string Route(std::string_view path) {
  if (path == "/rpc") return "/rpc";
  if (path == "/health" || path == "/health/live") return "/health";
  if (path == "/metrics") return "/metrics";
  if (IsTreeReadPath(path)) return "/trees";
  if (path.rfind("/auth/", 0) == 0) return "/auth";
  return "other";
}

std::string HostOf(std::string_view header) {
  const std::string h = Trim(header);
  // authority = host [ ":" port ]; host = "[" IPv6 "]" / IPv4 / name. No
  // userinfo ("127.0.0.1:80@evil.example" names evil.example), no path.
  std::string host;
  std::string_view rest;
  if (!h.empty() && h.front() == '[') {
    const size_t close = h.find(']');
    if (close == std::string::npos || close == 1) return {};
    host = h.substr(1, close - 1);
    for (char c : host)
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return {};
    rest = std::string_view(h).substr(close + 1);
  } else {
    const size_t colon = h.find(':');
    host = h.substr(0, colon);
    if (host.empty()) return {};
    for (char c : host)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_' && c != '~') return {};
    rest = colon == std::string::npos ? std::string_view() : std::string_view(h).substr(colon);
  }
  if (!rest.empty()) {
    const std::string_view port = rest.substr(1);
    if (rest.front() != ':' || port.empty() || port.size() > 5) return {};
    uint32_t value = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return {};
      value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return {};
  }
  return host;
}

std::optional<int32_t> ParseInt32(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == text.size() || text.size() - i > 10) return std::nullopt;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    v = v * 10 + (text[i] - '0');
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

std::optional<std::string> DecodeQueryComponent(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      int h = hex(text[i + 1]), l = hex(text[i + 2]);
      if (h < 0 || l < 0) return std::nullopt;
      out += static_cast<char>(h * 16 + l);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::optional<std::string>> QueryValues(std::string_view query, std::string_view name) {
  std::vector<std::optional<std::string>> values;
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    std::string_view pair = query.substr(start, end - start);
    size_t eq = pair.find('=');
    std::string_view key = pair.substr(0, eq);
    if (DecodeQueryComponent(key) == std::optional<std::string>(std::string(name)))
      values.push_back(eq == std::string_view::npos ? std::optional<std::string>(std::string())
                                                      : DecodeQueryComponent(pair.substr(eq + 1)));
    start = end + 1;
  }
  return values;
}

std::string CookieValue(std::string_view header, std::string_view name) {
  size_t at = 0;
  while (at < header.size()) {
    size_t end = header.find(';', at);
    if (end == std::string_view::npos) end = header.size();
    std::string item = Trim(header.substr(at, end - at));
    size_t eq = item.find('=');
    if (eq != std::string::npos && item.compare(0, eq, name) == 0 && eq == name.size()) return item.substr(eq + 1);
    at = end + 1;
  }
  return {};
}

}  // namespace tsa::server
