#include "server/auth_endpoints.h"

#include "accounts/accounts.h"
#include "accounts/audit.h"
#include "accounts/call_guard.h"
#include "accounts/errors.h"
#include "accounts/failure_audit.h"
#include "accounts/roles.h"
#include "accounts/secrets.h"
#include "platform/db/lock_wait.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/registry.h"
#include "server/json_rpc.h"

namespace tsa::server {

namespace {

using nlohmann::json;
constexpr size_t kMaxField = 1024;

WebReply Json(int status, const json& body) {
  WebReply r;
  r.status = status;
  r.body = DumpJson(body);
  return r;
}

WebReply Error(int status, int32_t number, const std::string& message) {
  return Json(status, json{{"error", json{{"status", status}, {"number", number}, {"message", message}}}});
}

// A request body as a JSON object of at most four levels, read strictly (no
// NUL cutting it short, no key named twice); nothing when it is not one.
std::optional<json> BodyObject(const std::string& body) {
  if (body.empty()) return json::object();
  if (JsonNestingDepth(body, 4) > 4) return std::nullopt;
  try {
    json parsed = ParseJsonStrict(body);
    if (parsed.is_object()) return parsed;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

// A text field of a JSON body, or nothing.
std::optional<std::string> Field(const json& body, const char* name) {
  auto it = body.find(name);
  if (it == body.end() || !it->is_string() || it->get_ref<const std::string&>().size() > kMaxField) return std::nullopt;
  return it->get<std::string>();
}

void Log(const std::string& text) {
  try {
    CreateObject<ILog>(progid::Log)->WriteEntry(accounts::kSource, text, 1);
  } catch (...) {
  }
}

json Identity(const accounts::Account& a) { return json{{"login", a.login}, {"name", a.name}, {"role", a.role}}; }

}  // namespace

std::string AccessControl::SessionCookie(const std::string& value, int maxAgeSeconds) const {
  return std::string(accounts::kSessionCookie) + "=" + value + "; HttpOnly; SameSite=Strict; Path=/; Max-Age=" +
         std::to_string(maxAgeSeconds) + (auth_.secureCookies ? "; Secure" : "");
}

WebReply AccessControl::AnswerAuth(const RequestView& request, const std::string& body,
                                   const std::optional<Caller>& caller) {
  try {
    const bool post = request.method == "POST";
    json parsed;
    if (post) {
      std::optional<json> object = BodyObject(body);
      if (!object) return Error(400, tsa::err::InvalidArgument, "The body must be a JSON object");
      parsed = std::move(*object);
    }
    if (request.path == "/auth/login" && post) return SignIn(request, parsed);
    if (request.path == "/auth/setup") return Setup(request, post ? body : std::string());
    if (!caller) return Error(401, accounts::err::NotSignedIn, "Sign in first");
    if (request.path == "/auth/logout" && post) return SignOut(request, *caller);
    if (request.path == "/auth/me" && !post) return Me(request, *caller);
    return Error(404, tsa::err::MethodNotSupported, "No such resource");
  } catch (...) {
    const ErrorInfo e = CurrentError();
    if (e.number == err::DatabaseBusy) {
      // Another connection holds the write lock: nothing was done, and the
      // browser may simply try again (as the RPC endpoint answers it).
      WebReply r = Error(503, e.number, e.description);
      r.headers.emplace_back("Retry-After", "1");
      return r;
    }
    return Error(e.number >= 1200 && e.number < 1350 ? 400 : 500, e.number, e.description);
  }
}

WebReply AccessControl::SignIn(const RequestView& request, const json& body) {
  const auto login = Field(body, "login");
  const auto password = Field(body, "password");
  if (!login || !password) return Error(400, tsa::err::InvalidArgument, "Give \"login\" and \"password\" as texts");
  const auto now = accounts::SignInThrottle::Clock::now();
  if (auto wait = throttle_.Wait(*login, request.peer, now); wait.count() > 0) {
    // Not even the login is looked up: a paused guesser costs no database work.
    accounts::FailureAudit::Instance().Note("Auth.SignIn", accounts::kOutcomeRefused, accounts::err::SignInThrottled,
                                            std::string(), request.peer, now);
    WebReply r = Error(429, accounts::err::SignInThrottled,
                       "Too many failed sign-ins from this address: try again in " + std::to_string(wait.count()) +
                           " seconds");
    r.headers.emplace_back("Retry-After", std::to_string(wait.count()));
    return r;
  }
  bool known = false;
  const auto account = accounts::CheckPassword(*login, *password, &known);
  if (!account) {
    throttle_.Failed(*login, request.peer, now);
    // Only a login that exists is written down: a wrong one is often a
    // password typed into the wrong field. A paused address writes no more lines.
    Log("Sign-in failed for " + (known ? "login '" + *login + "'" : std::string("an unknown login")) + " from " +
        request.peer);
    accounts::FailureAudit::Instance().Note("Auth.SignIn", accounts::kOutcomeFailed, accounts::err::SignInFailed,
                                            known ? *login : std::string(), request.peer, now);
    return Error(401, accounts::err::SignInFailed, "The login or the password is wrong");
  }
  throttle_.Succeeded(*login, request.peer);
  const std::string cookie = RunTransactional([&] {
    std::string value = accounts::StartSession(account->login);
    accounts::RecordSignIn(account->login);
    accounts::AuditEntry e;
    e.login = account->login;
    e.method = "Auth.SignIn";
    e.detail = "from " + request.peer;
    accounts::WriteAudit(std::move(e));
    return value;
  });
  json answer = Identity(*account);
  answer["csrfToken"] = accounts::CsrfProof(cookie);
  WebReply r = Json(200, answer);
  r.headers.emplace_back("Set-Cookie", SessionCookie(cookie, static_cast<int>(limits_.max.count())));
  return r;
}

WebReply AccessControl::SignOut(const RequestView& request, const Caller& caller) {
  const std::string cookie = CookieValue(request.header("Cookie"), accounts::kSessionCookie);
  const bool ended = RunTransactional([&] {
    const bool any = accounts::EndSession(cookie);
    accounts::AuditEntry e;
    e.login = caller.login;
    e.method = "Auth.SignOut";
    e.detail = any ? std::string() : "no browser session";
    accounts::WriteAudit(std::move(e));
    return any;
  });
  WebReply r = Json(200, json{{"signedOut", ended}});
  r.headers.emplace_back("Set-Cookie", SessionCookie("", 0));
  return r;
}

WebReply AccessControl::Me(const RequestView& request, const Caller& caller) {
  json answer = {{"login", caller.login}, {"name", caller.login}, {"role", caller.role}};
  const std::string cookie = CookieValue(request.header("Cookie"), accounts::kSessionCookie);
  const bool bearer = !request.header("Authorization").empty();
  if (auto account = accounts::FindAccount(caller.login)) answer["name"] = account->name;
  answer["via"] = bearer ? (accounts::MayActForOthers(caller) ? "service token" : "personal token") : "session";
  if (!bearer && !cookie.empty()) answer["csrfToken"] = accounts::CsrfProof(cookie);
  return Json(200, answer);
}

std::string AccessControl::OpenFirstAdminSetup() {
  if (accounts::CountAccounts() > 0) return {};
  const std::string secret = accounts::RandomSecret(32);
  std::lock_guard lock(setupMutex_);
  setupHash_ = accounts::HashSecret(secret);
  return secret;
}

WebReply AccessControl::Setup(const RequestView& request, const std::string& body) {
  const std::string secret = request.query("secret");
  bool valid = false;
  {
    std::lock_guard lock(setupMutex_);
    valid = !setupHash_.empty() && !secret.empty() &&
            accounts::SecretsEqual(accounts::HashSecret(secret), setupHash_);
  }
  if (!valid || accounts::CountAccounts() > 0) {
    return Error(404, accounts::err::SetupClosed,
                 "This setup link is not valid: it works once, while no account exists, with the link "
                 "`tsauthor serve` printed");
  }
  if (request.method != "POST") {
    return Json(200, json{{"setup", "open"},
                          {"how", "POST this URL with Content-Type: application/json and "
                                  "{\"login\": ..., \"name\": ..., \"password\": ...} to create the first administrator"}});
  }
  const json parsed = BodyObject(body).value_or(json::object());
  const auto login = Field(parsed, "login");
  const auto password = Field(parsed, "password");
  const std::string name = Field(parsed, "name").value_or(std::string());
  if (!login || !password) return Error(400, tsa::err::InvalidArgument, "Give \"login\" and \"password\" as texts");
  {
    CallerScope scope(Caller{*login, accounts::RoleName(accounts::Role::Admin), ""});
    accounts::CreateFirstAdmin(*login, name, *password);
  }
  {
    std::lock_guard lock(setupMutex_);
    setupHash_.clear();
  }
  WebReply r = SignIn(request, json{{"login", *login}, {"password", *password}});
  if (r.status == 200) r.status = 201;
  return r;
}

}  // namespace tsa::server
