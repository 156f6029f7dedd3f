// Members of a class reachable by name: the table the command-line tool and
// the network service use to call any exported method with named or
// positional arguments.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tsa {

class Component;

enum class ArgType {
  Long,    // 32-bit signed integer
  String,  // text
  Bool,    // Boolean
  Dict,    // dictionary, a JSON object at this boundary
  Object,  // an object reference (not reachable from outside)
  Variant  // anything
};

// The type with its article, for messages and documentation: "a 32-bit integer".
const char* ArgTypeName(ArgType type);

struct ParamSpec {
  std::string name;
  ArgType type = ArgType::Variant;
  bool out = false;       // passed by reference and written back (in/out)
  bool optional = false;  // may be omitted
};

// Arguments in declaration order; out-arguments are written back in place.
using DispatchArgs = std::vector<nlohmann::json>;
using Invoker = std::function<nlohmann::json(Component& self, DispatchArgs& args)>;

struct MethodSpec {
  std::string name;  // the member's exact letters and case
  std::vector<ParamSpec> params;
  ArgType result = ArgType::Variant;  // Variant with a null result means "nothing"
  bool returnsNothing = false;
  Invoker invoke;
  std::string summary;  // one line for generated documentation
};

class DispatchTable {
 public:
  DispatchTable& Add(MethodSpec method);
  // Finds a member by name, ignoring case; null when there is none.
  const MethodSpec* Find(std::string_view name) const;
  const std::vector<MethodSpec>& Methods() const { return methods_; }

 private:
  std::vector<MethodSpec> methods_;
};

// Binds a JSON request's arguments (an object keyed by parameter name, an
// array in declaration order, or null for none) to the declaration order,
// checking types: 32-bit integers, texts and Booleans. Raises an
// InvalidArgument error naming the argument when one does not fit.
DispatchArgs BindArguments(const MethodSpec& method, const nlohmann::json& params);

// Calls a member by name on an instance; error 438 when it has no such member.
// Returns the result; when the member has out-arguments the result is an
// object with "return" and each out-argument by name.
nlohmann::json CallByName(Component& target, std::string_view member, const nlohmann::json& params);

}  // namespace tsa
