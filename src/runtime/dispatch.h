// Members of a class reachable by name: the table the command-line tool and
// the network service use to call any exported method with named or
// positional arguments.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "runtime/dispatch_values.h"

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

// How a C++ type crosses the dispatch boundary: its ArgType, how a bound
// argument becomes the type (From) and how a value goes back (To). A class
// that returns its own objects specializes this for them next to its table.
// Arguments were type-checked by BindArguments before From sees them; an
// omitted optional argument arrives as null and becomes the type's default.
template <class T>
struct DispatchValue;  // no specialization: the type cannot be passed

template <>
struct DispatchValue<int32_t> {
  static constexpr ArgType type = ArgType::Long;
  static int32_t From(const nlohmann::json& v) { return dispatch::Long(v); }
  static nlohmann::json To(int32_t v) { return v; }
};
template <>
struct DispatchValue<std::string> {
  static constexpr ArgType type = ArgType::String;
  static std::string From(const nlohmann::json& v) { return dispatch::Text(v); }
  static nlohmann::json To(const std::string& v) { return v; }
};
template <>
struct DispatchValue<bool> {
  static constexpr ArgType type = ArgType::Bool;
  static bool From(const nlohmann::json& v) { return dispatch::Bool(v); }
  static nlohmann::json To(bool v) { return v; }
};
template <>
struct DispatchValue<StringDict> {
  static constexpr ArgType type = ArgType::Dict;
  static StringDict From(const nlohmann::json& v) { return dispatch::Dict(v); }
  static nlohmann::json To(const StringDict& v) { return dispatch::ToJson(v); }
};
template <>
struct DispatchValue<nlohmann::json> {
  static constexpr ArgType type = ArgType::Variant;
  static const nlohmann::json& From(const nlohmann::json& v) { return v; }
  static nlohmann::json To(nlohmann::json v) { return v; }
};

// One argument's name for Bind; Optional("name") marks one that may be left out.
struct BindName {
  BindName(const char* n) : name(n) {}  // NOLINT: a plain name is the common case
  BindName(const char* n, bool opt) : name(n), optional(opt) {}
  const char* name;
  bool optional = false;
};
inline BindName Optional(const char* name) { return {name, true}; }

namespace bind_detail {

template <class T>
concept Passable = requires { DispatchValue<T>::type; };

template <class F>
struct Member;
template <class C, class R, class... A>
struct Member<R (C::*)(A...)> {
  using Class = C;
  using Result = R;
  using Args = std::tuple<A...>;
};
template <class C, class R, class... A>
struct Member<R (C::*)(A...) const> : Member<R (C::*)(A...)> {};
// A static member or free function: called without the instance.
template <class R, class... A>
struct Member<R (*)(A...)> {
  using Class = void;
  using Result = R;
  using Args = std::tuple<A...>;
};

// A non-const lvalue reference is written back to the caller.
template <class A>
inline constexpr bool kIsOut = std::is_lvalue_reference_v<A> && !std::is_const_v<std::remove_reference_t<A>>;

template <class A>
using Plain = std::remove_cvref_t<A>;

// What holds an argument during the call: a value, except that a JSON value
// read only is not copied (it may be a whole file).
template <class A>
using Held = std::conditional_t<std::is_same_v<Plain<A>, nlohmann::json> && !kIsOut<A>, const nlohmann::json&, Plain<A>>;

template <auto F, class... A, size_t... I>
nlohmann::json Call([[maybe_unused]] Component& self, DispatchArgs& a, std::index_sequence<I...>) {
  using M = Member<decltype(F)>;
  using R = typename M::Result;
  std::tuple<Held<A>...> values{DispatchValue<Plain<A>>::From(a[I])...};
  auto call = [&]() -> decltype(auto) {
    if constexpr (std::is_void_v<typename M::Class>) {
      return F(std::get<I>(values)...);
    } else {
      return (dynamic_cast<typename M::Class&>(self).*F)(std::get<I>(values)...);
    }
  };
  nlohmann::json result;
  if constexpr (std::is_void_v<R>) {
    call();
  } else {
    result = DispatchValue<Plain<R>>::To(call());
  }
  ((kIsOut<A> ? void(a[I] = DispatchValue<Plain<A>>::To(std::get<I>(values))) : void()), ...);
  return result;
}

template <auto F, class... A>
Invoker MakeInvoker(std::tuple<A...>*) {
  return [](Component& self, DispatchArgs& a) { return Call<F, A...>(self, a, std::index_sequence_for<A...>{}); };
}

template <auto F, class... A>
std::vector<ParamSpec> MakeParams(const BindName* names, std::tuple<A...>*) {
  static_assert((Passable<Plain<A>> && ...),
                "Bind: a parameter of this member has a type with no DispatchValue conversion");
  std::vector<ParamSpec> params;
  [[maybe_unused]] size_t i = 0;
  ((params.push_back({names[i].name, DispatchValue<Plain<A>>::type, kIsOut<A>, names[i].optional}), ++i), ...);
  return params;
}

template <auto F, size_t N>
MethodSpec Bind(std::string name, const BindName* names, std::string summary) {
  using M = Member<decltype(F)>;
  using R = typename M::Result;
  static_assert(std::tuple_size_v<typename M::Args> == N,
                "Bind: the number of argument names differs from the member's number of parameters");
  MethodSpec m;
  m.name = std::move(name);
  m.params = MakeParams<F>(names, static_cast<typename M::Args*>(nullptr));
  if constexpr (std::is_void_v<R>) {
    m.result = ArgType::Variant;
    m.returnsNothing = true;
  } else {
    static_assert(Passable<Plain<R>>, "Bind: the member's result type has no DispatchValue conversion");
    m.result = DispatchValue<Plain<R>>::type;
  }
  m.invoke = MakeInvoker<F>(static_cast<typename M::Args*>(nullptr));
  m.summary = std::move(summary);
  return m;
}

}  // namespace bind_detail

// A table entry deduced from a member function: the argument types, which
// arguments are written back (non-const references) and the result's
// conversion come from the member's signature; only the names are given, one
// per parameter in declaration order. A member returning void returns nothing.
template <auto F, size_t N>
MethodSpec Bind(std::string name, const BindName (&names)[N], std::string summary) {
  return bind_detail::Bind<F, N>(std::move(name), names, std::move(summary));
}
template <auto F>
MethodSpec Bind(std::string name, std::string summary) {
  return bind_detail::Bind<F, 0>(std::move(name), nullptr, std::move(summary));
}

}  // namespace tsa
