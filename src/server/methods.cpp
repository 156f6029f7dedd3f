#include "server/methods.h"

#include "runtime/context.h"

#include <algorithm>
#include <cctype>

#include "accounts/admin_classes.h"
#include "accounts/call_guard.h"
#include "authoring/browse.h"
#include "authoring/tree_exchange.h"
#include "runtime/components.h"
#include "versions/versions.h"

namespace tsa::server {

namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

// Members of Tree reachable over the network; its other members work on a
// loaded tree or hand out Node objects and make no sense across a call.
constexpr std::string_view kNetworkTreeMembers[] = {"CheckOut", "Publish", "Validate"};

std::string Shown(std::string_view name) {
  // Names come from callers: keep what goes into a message short.
  constexpr size_t kMax = 120;
  if (name.size() <= kMax) return std::string(name);
  return std::string(name.substr(0, kMax)) + "...";
}

[[noreturn]] void Fail(LookupFailure reason, int32_t number, std::string description) {
  ErrorInfo e;
  e.number = number;
  e.source = std::string(kDefaultSource);
  e.description = std::move(description);
  throw MethodNotFound(reason, std::move(e));
}

bool TakesOrGivesObjects(const MethodSpec& m) {
  if (m.result == ArgType::Object) return true;
  return std::any_of(m.params.begin(), m.params.end(), [](const ParamSpec& p) { return p.type == ArgType::Object; });
}

}  // namespace

const std::vector<ClassEntry>& CallableClasses() {
  static const std::vector<ClassEntry> classes = {
      {"TSDOM", progid::TSDOM},
      {"Repository", progid::Repository},
      {"Tree", progid::Tree},
      {"Node", progid::Node},
      {"Audit", accounts::progid::Audit},
      {"Admin", accounts::progid::Admin},
      {"Versions", kVersionsProgId},
      {"Exchange", kExchangeProgId},
      {"Browse", kBrowseProgId},
  };
  return classes;
}

bool IsExposed(const ClassEntry& cls, const MethodSpec& method, Audience audience) {
  if (TakesOrGivesObjects(method)) return false;
  if (audience == Audience::Local) return true;
  if (cls.name == "TSDOM" || cls.name == "Repository" || cls.name == "Versions" || cls.name == "Exchange" ||
      cls.name == "Browse" || cls.name == "Audit" || cls.name == "Admin") {
    return true;
  }
  if (cls.name == "Tree") {
    return std::any_of(std::begin(kNetworkTreeMembers), std::end(kNetworkTreeMembers),
                       [&](std::string_view m) { return m == method.name; });
  }
  return false;
}

std::string ResolvedMethod::QualifiedName() const {
  return std::string(cls ? cls->name : "?") + "." + (method ? method->name : std::string("?"));
}

std::pair<const ClassEntry*, std::string> ParseMethodName(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) {
    Fail(LookupFailure::MalformedName, err::MethodNotSupported,
         "Method names take the form Class.Member (for instance TSDOM.AddChildNew): '" + Shown(name) + "'");
  }
  std::string_view prefix = name.substr(0, dot);
  std::string member(name.substr(dot + 1));
  for (const ClassEntry& c : CallableClasses()) {
    if (EqualsIgnoreCase(prefix, c.name) || EqualsIgnoreCase(prefix, c.progId)) return {&c, member};
  }
  Fail(LookupFailure::UnknownClass, err::CannotCreateObject,
       "Unknown class '" + Shown(prefix) + "' in method '" + Shown(name) +
           "': the classes are TSDOM, Repository, Tree, Node, Versions, Exchange, Browse, Audit and Admin");
}

ResolvedMethod ResolveMethod(std::string_view name, Audience audience) {
  auto [cls, member] = ParseMethodName(name);
  ResolvedMethod r;
  r.cls = cls;
  ComponentFactory factory = Registry::Instance().Find(cls->progId);
  if (factory) r.instance = factory();
  if (!r.instance) {
    Fail(LookupFailure::ClassUnavailable, err::CannotCreateObject,
         "The class " + std::string(cls->name) + " (" + std::string(cls->progId) + ") is not available");
  }
  const DispatchTable* table = r.instance->Dispatch();
  r.method = table ? table->Find(member) : nullptr;
  if (!r.method) {
    Fail(LookupFailure::UnknownMember, err::MethodNotSupported,
         "The class " + std::string(cls->name) + " has no member '" + Shown(member) + "'");
  }
  if (!IsExposed(*cls, *r.method, audience)) {
    Fail(LookupFailure::NotExposed, err::MethodNotSupported,
         "The member " + r.QualifiedName() +
             (audience == Audience::Network ? " cannot be called over the network"
                                            : " takes or returns objects and cannot be called by name"));
  }
  return r;
}

nlohmann::json Invoke(const ResolvedMethod& resolved, const nlohmann::json& params, Audience audience) {
  // --- accounts glue: role check, acting user and audit of every call (accounts/call_guard.h) ---
  return accounts::GuardedCall(
      resolved.QualifiedName(), *resolved.method, params, audience == Audience::Network,
      [&](const nlohmann::json& settled) {
        // Bind once beforehand so that an argument that does not fit is told
        // apart from an error the member raises itself; the call binds again.
        try {
          (void)BindArguments(*resolved.method, settled);
        } catch (const Error& e) {
          throw InvalidParams(e.info());
        }
        // Browse only reads, in read-only transactions of its own: a writing
        // one around it would make its reads wait for writers.
        if (std::dynamic_pointer_cast<Browse>(resolved.instance)) {
          return CallByName(*resolved.instance, resolved.method->name, settled);
        }
        // Every call from outside is one unit of work. The facade opens its
        // own transaction anyway; Tree and Repository members run several
        // statements and document changes (a check-out copies rows and a
        // document) that must not be left half done when one of them fails.
        return RunTransactional([&] { return CallByName(*resolved.instance, resolved.method->name, settled); });
      });
}

nlohmann::json InvokeByName(std::string_view name, const nlohmann::json& params, Audience audience) {
  return Invoke(ResolveMethod(name, audience), params, audience);
}

}  // namespace tsa::server
