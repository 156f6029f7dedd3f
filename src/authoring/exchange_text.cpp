// The text of an exchange file, parsed. Kept apart from the import so that
// it stands on its own (authoring/tree_exchange.h).
#include "authoring/tree_exchange.h"

#include <set>
#include <vector>

#include "runtime/error.h"
#include "versions/version_errors.h"

namespace tsa {

namespace {

using nlohmann::json;

constexpr int kMaxDepth = 64;

[[noreturn]] void Refuse(int32_t number, const std::string& path, const std::string& problem) {
  Raise(number, {}, "The tree file cannot be imported: " + path + " " + problem);
}

}  // namespace

json ParseExchangeText(std::string_view text) {
  // Keys seen per open object, to refuse a key given twice (the parser
  // would keep the last one silently).
  std::vector<std::set<std::string>> open;
  std::vector<std::string> where{"$"};
  int depth = 0;
  auto callback = [&](int level, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
      case json::parse_event_t::array_start:
        if (++depth > kMaxDepth) Refuse(err::ExchangeMalformed, "$", "is nested deeper than 64");
        if (event == json::parse_event_t::object_start) open.emplace_back();
        break;
      case json::parse_event_t::object_end:
        open.pop_back();
        --depth;
        break;
      case json::parse_event_t::array_end:
        --depth;
        break;
      case json::parse_event_t::key:
        if (!open.back().insert(parsed.get<std::string>()).second) {
          Refuse(err::ExchangeMalformed, "member " + json(parsed.get<std::string>()).dump(),
                 "is given twice in one object (at nesting level " + std::to_string(level) + ")");
        }
        break;
      default:
        break;
    }
    return true;
  };
  // The parser would end the text at a NUL character and ignore the rest.
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
    Refuse(err::ExchangeMalformed, "$", "is not JSON: it holds a NUL character at byte " + std::to_string(nul + 1));
  }
  try {
    return json::parse(text.begin(), text.end(), callback);
  } catch (const json::exception& e) {
    // Malformed text, or a number no type can hold (1e400).
    Refuse(err::ExchangeMalformed, "$", std::string("is not JSON: ") + e.what());
  }
}

}  // namespace tsa
