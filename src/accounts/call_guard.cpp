#include "accounts/call_guard.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "accounts/accounts.h"
#include "accounts/audit.h"
#include "accounts/errors.h"
#include "accounts/roles.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/settings.h"

namespace tsa::accounts {

namespace {

using nlohmann::json;

constexpr std::string_view kLocalPrefix = "local:";

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

bool EndsWithIgnoreCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && EqualsIgnoreCase(s.substr(s.size() - suffix.size()), suffix);
}

// The index of the member's user argument, or -1.
int UserParam(const MethodSpec& m) {
  for (size_t i = 0; i < m.params.size(); ++i) {
    if (m.params[i].type == ArgType::String && EndsWithIgnoreCase(m.params[i].name, "UserId")) return static_cast<int>(i);
  }
  return -1;
}

// The argument `name` of a call (case ignored), or null.
const json* Argument(const json& params, const MethodSpec& m, std::string_view name) {
  for (size_t i = 0; i < m.params.size(); ++i) {
    if (!EqualsIgnoreCase(m.params[i].name, name)) continue;
    if (params.is_array()) return i < params.size() ? &params[i] : nullptr;
    if (params.is_object()) {
      for (auto it = params.begin(); it != params.end(); ++it)
        if (EqualsIgnoreCase(it.key(), name)) return &it.value();
    }
    return nullptr;
  }
  return nullptr;
}

std::optional<int32_t> IntArgument(const json& params, const MethodSpec& m, std::string_view name) {
  const json* v = Argument(params, m, name);
  if (v && v->is_number_integer()) {
    const int64_t n = v->get<int64_t>();
    if (n >= INT32_MIN && n <= INT32_MAX) return static_cast<int32_t>(n);
  }
  return std::nullopt;
}

// Fills in or checks the user argument; returns the login acted for when the
// caller names another one and may do so, else "".
std::string SettleActingUser(json& params, const MethodSpec& m, const Caller& caller) {
  const int index = UserParam(m);
  if (index < 0) return {};
  const std::string& name = m.params[index].name;
  json* given = nullptr;
  if (params.is_null()) params = json::object();
  if (params.is_object()) {
    for (auto it = params.begin(); it != params.end(); ++it)
      if (EqualsIgnoreCase(it.key(), name)) given = &it.value();
    if (!given) given = &(params[name] = "");
  } else if (params.is_array()) {
    if (static_cast<size_t>(index) == params.size()) params.push_back("");
    if (static_cast<size_t>(index) < params.size()) given = &params[index];
  }
  if (!given || !given->is_string()) return {};  // binding reports it
  const std::string named = given->get<std::string>();
  if (named.empty() || named == caller.login) {
    *given = caller.login;
    return {};
  }
  if (MayActForOthers(caller)) return named;
  Raise(err::ActingForOther, kSource,
        "The argument " + name + " names '" + named.substr(0, 64) + "', but the call is made by '" + caller.login +
            "': a call may act only for the signed-in account");
}

AuditEntry EntryFor(std::string_view name, const Caller& caller, const json& params, const MethodSpec& m) {
  AuditEntry e;
  e.login = caller.login;
  e.method = std::string(name);
  const CallTarget t = TargetOf(params, m);
  e.treeType = t.treeType;
  e.treeId = t.treeId;
  e.nodeId = t.nodeId;
  e.args = SummariseArguments(params);
  return e;
}

std::string FirstLine(const std::string& description) {
  std::string text = description;
  // Reports of the layers begin with CR LF "METHOD: ..."; keep the innermost cause short.
  size_t caught = text.rfind(" caught: ");
  if (caught != std::string::npos) text = text.substr(caught + 9);
  return text.substr(0, 200);
}

}  // namespace

bool MayActForOthers(const Caller& caller) {
  return caller.login == CurrentSettings().auth.serviceLogin ||
         caller.login.compare(0, kLocalPrefix.size(), kLocalPrefix) == 0;
}

Caller ServiceCaller() {
  const Settings::Auth& a = CurrentSettings().auth;
  return Caller{a.serviceLogin, RoleName(RequireRole(a.serviceRole, "auth.service_role")), ""};
}

Caller InProcessCaller(const std::string& asLogin) {
  if (!asLogin.empty()) {
    auto account = std::optional<Account>(RequireAccount(asLogin));
    if (account->disabled) Raise(err::NotSignedIn, kSource, "The account '" + asLogin + "' is disabled");
    return Caller{account->login, account->role, ""};
  }
  std::string user;
  if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name) user = pw->pw_name;
  if (user.empty()) user = std::to_string(::geteuid());
  return Caller{std::string(kLocalPrefix) + user, RoleName(Role::Admin), ""};
}

CallTarget TargetOf(const json& params, const MethodSpec& m) {
  CallTarget t;
  auto first = [&](std::initializer_list<std::string_view> names) -> std::optional<int32_t> {
    for (auto n : names)
      if (auto v = IntArgument(params, m, n)) return v;
    return std::nullopt;
  };
  t.treeType = first({"i_lTreeType", "i_lDstTreeType", "i_lDestTreeType"});
  t.treeId = first({"i_lID", "i_lPrID", "i_lDstID", "i_lDestID", "lproductId"});
  if (!t.treeId) {
    if ((t.treeId = first({"i_lTemplateID"}))) t.treeType = 2;
  } else if (!t.treeType && IntArgument(params, m, "lproductId")) {
    t.treeType = 1;
  }
  t.nodeId = first({"i_lNodeID", "i_lCurrentNodeID", "i_lDstNodeID"});
  return t;
}

json GuardedCall(std::string_view name, const MethodSpec& method, const json& params, bool fromNetwork,
                 const std::function<json(const json&)>& call) {
  const Caller* caller = CurrentCaller();
  if (!caller) {
    if (fromNetwork) Raise(err::NotSignedIn, kSource, "Sign in first: the call " + std::string(name) + " has no caller");
    return call(params);
  }
  const MemberRule rule = RuleFor(name);
  json settled = params;
  std::string forLogin;
  AuditEntry entry = EntryFor(name, *caller, params, method);
  try {
    forLogin = SettleActingUser(settled, method, *caller);
    entry.forLogin = forLogin;
    if (!RoleAllows(caller->role, rule.role)) {
      Raise(err::RoleRefused, kSource,
            "The call " + std::string(name) + " needs the role " + RoleName(rule.role) + "; '" + caller->login +
                "' has the role " + caller->role);
    }
  } catch (const Error& e) {
    entry.outcome = kOutcomeRefused;
    entry.errorNumber = e.number();
    entry.detail = e.description().substr(0, 200);
    WriteAuditAlone(std::move(entry));
    throw;
  }
  entry.args = SummariseArguments(settled);

  Caller acting = *caller;
  acting.onBehalfOf = forLogin;
  CallerScope scope(acting);
  if (!rule.changes) return call(settled);
  bool rolledBack = false;
  json result;
  try {
    TakeAuditNote();
    result = RunTransactional([&] {
      json r = call(settled);
      entry.detail = TakeAuditNote();
      if (ObjectContext* context = GetObjectContext(); context && context->LastVote() == Vote::Abort) {
        rolledBack = true;  // the member voted to roll back without raising: nothing is kept
      } else {
        WriteAudit(entry);
      }
      return r;
    });
  } catch (...) {
    const ErrorInfo e = CurrentError();
    entry.outcome = kOutcomeFailed;
    entry.errorNumber = e.number;
    entry.detail = FirstLine(e.description);
    WriteAuditAlone(std::move(entry));
    throw;
  }
  if (rolledBack) {
    entry.outcome = kOutcomeFailed;
    entry.detail = "rolled back by the member";
    WriteAuditAlone(std::move(entry));
  }
  return result;
}

}  // namespace tsa::accounts
