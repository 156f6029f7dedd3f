// Conversions between dispatch arguments (JSON) and the engine's types.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "runtime/dictionary.h"

namespace tsa::dispatch {

// The arguments were type-checked when they were bound.
inline int32_t Long(const nlohmann::json& v) { return v.is_null() ? 0 : v.get<int32_t>(); }
inline std::string Text(const nlohmann::json& v) { return v.is_null() ? std::string() : v.get<std::string>(); }
inline bool Bool(const nlohmann::json& v) { return v.is_null() ? false : v.get<bool>(); }

// A JSON object as a dictionary: keys as they stand, items as text.
inline StringDict Dict(const nlohmann::json& v) {
  StringDict d;
  if (!v.is_object()) return d;
  for (auto it = v.begin(); it != v.end(); ++it) {
    d.Add(it.key(), it.value().is_string() ? it.value().get<std::string>()
                                           : (it.value().is_null() ? std::string() : it.value().dump()));
  }
  return d;
}

inline nlohmann::json ToJson(const StringDict& d) {
  nlohmann::json j = nlohmann::json::object();
  for (const auto& [k, v] : d) j[k] = v;
  return j;
}

}  // namespace tsa::dispatch
