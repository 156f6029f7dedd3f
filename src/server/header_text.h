// Small text helpers for HTTP header values, shared by the HTTP layer and
// access control.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace tsa::server {

// ASCII case-insensitive equality, as header names and tokens compare.
inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

// A header value without the spaces and tabs around it.
inline std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

}  // namespace tsa::server
