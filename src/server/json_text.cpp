// The JSON texts of the service: parsing with a depth limit and without
// duplicate keys, error objects and compact output. Declared in
// server/json_rpc.h; kept apart from the endpoint so that they stand alone.
#include "server/json_rpc.h"

#include <unordered_set>
#include <vector>

namespace tsa::server {

using nlohmann::json;

int JsonNestingDepth(std::string_view text, int stopAbove) {
  int depth = 0;
  int deepest = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) {
        deepest = depth;
        if (deepest > stopAbove) return deepest;
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

json ParseJsonStrict(std::string_view text) {
  // The parser takes a NUL character for the end of the text and would
  // quietly ignore whatever follows it. No JSON text holds one (inside a
  // string it must be written \u0000), so such a text is malformed.
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
    throw json::parse_error::create(101, nul + 1, "syntax error: a NUL character, which no JSON text holds", nullptr);
  }
  // The keys seen so far in each object being parsed, innermost last.
  std::vector<std::unordered_set<std::string>> open;
  auto check = [&open](int, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
        open.emplace_back();
        break;
      case json::parse_event_t::object_end:
        if (!open.empty()) open.pop_back();
        break;
      case json::parse_event_t::key:
        if (!open.empty() && !open.back().insert(parsed.get<std::string>()).second)
          throw DuplicateKey(parsed.get<std::string>());
        break;
      default:
        break;
    }
    return true;
  };
  return json::parse(text, check);
}

json ParseJsonLimited(std::string_view text, int maxDepth, std::string_view what) {
  if (JsonNestingDepth(text, maxDepth) > maxDepth) {
    RaiseInvalidArgument(what, "nested deeper than " + std::to_string(maxDepth) + " levels");
  }
  try {
    return ParseJsonStrict(text);
  } catch (const json::exception& e) {
    // Malformed text, or a number no type can hold (1e400).
    RaiseInvalidArgument(what, std::string("not valid JSON: ") + e.what());
  } catch (const DuplicateKey& e) {
    RaiseInvalidArgument(what, e.what());
  }
}

int EngineErrorCode(int32_t number) {
  if (number == 0 || (number >= -32768 && number <= -32000)) return rpc::kServerError;
  return number;
}

json EngineErrorObject(const ErrorInfo& e) {
  return json{{"code", EngineErrorCode(e.number)},
              {"message", e.description},
              {"data", json{{"number", e.number}, {"source", e.source}, {"description", e.description}}}};
}

std::string DumpJson(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace tsa::server
