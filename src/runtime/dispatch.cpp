#include "runtime/dispatch.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "runtime/error.h"
#include "runtime/registry.h"
#include "runtime/xml_chars.h"

namespace tsa {

namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

}  // namespace

const char* ArgTypeName(ArgType t) {
  switch (t) {
    case ArgType::Long:
      return "a 32-bit integer";
    case ArgType::String:
      return "a string";
    case ArgType::Bool:
      return "a Boolean";
    case ArgType::Dict:
      return "an object";
    case ArgType::Object:
      return "an object reference";
    case ArgType::Variant:
      return "a value";
  }
  return "a value";
}

namespace {

// Every text a caller sends may end up in a tree document, a log line or an
// answer another program parses as XML: one that holds a character no XML
// document can hold is refused here, before any member sees it, so that a
// member added later is covered too. Texts inside objects (dictionaries,
// variants) are checked as well, keys included, without recursion.
void CheckTexts(const ParamSpec& p, const nlohmann::json& v) {
  auto refuse = [&](const std::string& where, const XmlCharFault& fault) {
    RaiseInvalidArgument(p.name, where + DescribeXmlCharFault(fault), err::TextNotXml);
  };
  if (v.is_string()) {
    if (auto fault = FindCharacterXmlCannotHold(v.get_ref<const std::string&>())) refuse("", *fault);
    return;
  }
  if (!v.is_structured()) return;
  // Where a text stands is given as a JSON path ("$.nodes[3].short").
  std::vector<std::pair<const nlohmann::json*, std::string>> pending{{&v, "$"}};
  while (!pending.empty()) {
    auto [item, path] = std::move(pending.back());
    pending.pop_back();
    if (item->is_string()) {
      if (auto fault = FindCharacterXmlCannotHold(item->get_ref<const std::string&>())) refuse("the text at " + path + " ", *fault);
    } else if (item->is_object()) {
      for (auto it = item->begin(); it != item->end(); ++it) {
        if (auto fault = FindCharacterXmlCannotHold(it.key())) refuse("a key in " + path + " ", *fault);
        pending.emplace_back(&it.value(), path + "." + it.key());
      }
    } else if (item->is_array()) {
      for (size_t i = 0; i < item->size(); ++i) pending.emplace_back(&(*item)[i], path + "[" + std::to_string(i) + "]");
    }
  }
}

void Check(const ParamSpec& p, const nlohmann::json& v) {
  auto fail = [&](const std::string& got) {
    RaiseInvalidArgument(p.name, std::string("expected ") + ArgTypeName(p.type) + ", got " + got);
  };
  switch (p.type) {
    case ArgType::Long:
      if (v.is_number_integer()) {
        if (v.is_number_unsigned()) {
          if (v.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
            fail("a number beyond 32 bits: " + v.dump());
        } else {
          auto n = v.get<int64_t>();
          if (n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max())
            fail("a number beyond 32 bits: " + v.dump());
        }
        return;
      }
      if (v.is_number_float()) fail("a fraction: " + v.dump());
      fail(std::string(v.type_name()));
      return;
    case ArgType::String:
      if (!v.is_string()) fail(std::string(v.type_name()));
      CheckTexts(p, v);
      return;
    case ArgType::Bool:
      if (!v.is_boolean()) fail(std::string(v.type_name()));
      return;
    case ArgType::Dict:
      if (!v.is_object()) fail(std::string(v.type_name()));
      CheckTexts(p, v);
      return;
    case ArgType::Object:
      RaiseInvalidArgument(p.name, "object references cannot be passed from outside the engine");
    case ArgType::Variant:
      CheckTexts(p, v);
      return;
  }
}

}  // namespace

DispatchTable& DispatchTable::Add(MethodSpec method) {
  methods_.push_back(std::move(method));
  return *this;
}

const MethodSpec* DispatchTable::Find(std::string_view name) const {
  for (const auto& m : methods_)
    if (m.name == name) return &m;
  for (const auto& m : methods_)
    if (EqualsIgnoreCase(m.name, name)) return &m;
  return nullptr;
}

DispatchArgs BindArguments(const MethodSpec& method, const nlohmann::json& params) {
  DispatchArgs args(method.params.size());
  std::vector<bool> given(method.params.size(), false);
  if (params.is_null()) {
    // no arguments
  } else if (params.is_array()) {
    if (params.size() > method.params.size()) {
      RaiseInvalidArgument("params", method.name + " takes " + std::to_string(method.params.size()) +
                                         " arguments, got " + std::to_string(params.size()));
    }
    for (size_t i = 0; i < params.size(); ++i) {
      args[i] = params[i];
      given[i] = true;
    }
  } else if (params.is_object()) {
    for (auto it = params.begin(); it != params.end(); ++it) {
      size_t i = 0;
      for (; i < method.params.size(); ++i)
        if (EqualsIgnoreCase(method.params[i].name, it.key())) break;
      if (i == method.params.size()) RaiseInvalidArgument(it.key(), method.name + " has no such argument");
      args[i] = it.value();
      given[i] = true;
    }
  } else {
    RaiseInvalidArgument("params", "expected an object of named arguments or an array of positional ones");
  }
  for (size_t i = 0; i < method.params.size(); ++i) {
    const ParamSpec& p = method.params[i];
    if (!given[i]) {
      if (p.optional) continue;
      if (p.out) {  // an in/out argument may be omitted: it starts empty
        args[i] = p.type == ArgType::Long ? nlohmann::json(0) : nlohmann::json("");
        continue;
      }
      RaiseInvalidArgument(p.name, "missing");
    }
    Check(p, args[i]);
  }
  return args;
}

nlohmann::json CallByName(Component& target, std::string_view member, const nlohmann::json& params) {
  const DispatchTable* table = target.Dispatch();
  const MethodSpec* method = table ? table->Find(member) : nullptr;
  if (!method) Raise(err::MethodNotSupported, {}, "Object doesn't support this property or method: " + std::string(member));
  DispatchArgs args = BindArguments(*method, params);
  nlohmann::json result = method->invoke(target, args);
  bool hasOut = std::any_of(method->params.begin(), method->params.end(), [](const ParamSpec& p) { return p.out; });
  if (!hasOut) return result;
  nlohmann::json wrapped = nlohmann::json::object();
  wrapped["return"] = result;
  for (size_t i = 0; i < method->params.size(); ++i)
    if (method->params[i].out) wrapped[method->params[i].name] = args[i];
  return wrapped;
}

}  // namespace tsa
