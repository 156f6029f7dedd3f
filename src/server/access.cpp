#include "server/access.h"

#include <algorithm>
#include <cctype>

#include "accounts/accounts.h"
#include "accounts/audit.h"
#include "accounts/call_guard.h"
#include "accounts/errors.h"
#include "accounts/failure_audit.h"
#include "accounts/roles.h"
#include "accounts/secrets.h"
#include "accounts/tokens.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "server/header_text.h"
#include "server/json_rpc.h"

namespace tsa::server {

namespace {

using nlohmann::json;


WebReply Refusal(int status, int32_t number, const std::string& message) {
  WebReply r;
  r.status = status;
  r.body = DumpJson(json{{"error", json{{"status", status}, {"number", number}, {"message", message}}}});
  return r;
}

// "http://host:port" -> "host:port".
std::string AuthorityOf(std::string_view origin) {
  size_t scheme = origin.find("://");
  std::string_view rest = scheme == std::string_view::npos ? origin : origin.substr(scheme + 3);
  return std::string(rest.substr(0, rest.find('/')));
}

// The method of an audit row and metric about a refused request: "HTTP POST
// /rpc". From a fixed set, whatever method and path the peer made up.
std::string FailureMethod(const RequestView& request) {
  const std::string& m = request.method;
  const bool known = m == "GET" || m == "HEAD" || m == "POST" || m == "PUT" || m == "DELETE" || m == "PATCH";
  return "HTTP " + (known ? m : std::string("OTHER")) + " " + Route(request.path);
}

}  // namespace

AccessControl::AccessControl(std::string serviceToken, Settings::Auth auth)
    : serviceToken_(std::move(serviceToken)),
      auth_(std::move(auth)),
      limits_{std::chrono::minutes(auth_.sessionIdleMinutes), std::chrono::hours(auth_.sessionMaxHours)},
      throttle_(accounts::ThrottlePolicy{auth_.signInFailuresBeforeDelay, auth_.signInAddressFailuresBeforeDelay,
                                         std::chrono::seconds(auth_.signInDelaySeconds),
                                         std::chrono::seconds(std::max(auth_.signInDelaySeconds,
                                                                       auth_.signInDelayMaxSeconds))},
                /*shared=*/true) {}

AccessControl::~AccessControl() {
  {
    std::lock_guard lock(houseMutex_);
    stopping_ = true;
  }
  houseWake_.notify_all();
  if (house_.joinable()) house_.join();
  accounts::FailureAudit::Instance().Flush(true);
}

std::optional<Caller> AccessControl::FromBearer(const std::string& token) {
  if (!serviceToken_.empty() && accounts::SecretsEqual(accounts::HashSecret(token), accounts::HashSecret(serviceToken_))) {
    return accounts::ServiceCaller();
  }
  if (auto account = accounts::AccountForToken(token)) return Caller{account->login, account->role, ""};
  return std::nullopt;
}

Admission AccessControl::Admit(const RequestView& request) {
  Admission a;
  const std::string& path = request.path;
  const bool safe = request.method == "GET" || request.method == "HEAD";
  // The app's files are the same for everybody and change nothing.
  if (request.appFile && safe) return a;
  const bool open = path == "/health" || path == "/health/live" || path == "/auth/login" || path == "/auth/setup" ||
                    (path == "/metrics" && !auth_.metricsNeedIdentity);
  if (!safe) {
    // A page of another site may post forms and fetches here: what it sends
    // names its own origin.
    const std::string origin = Trim(request.header("Origin"));
    if (!origin.empty() && (origin == "null" || !EqualsIgnoreCase(AuthorityOf(origin), Trim(request.header("Host"))))) {
      accounts::FailureAudit::Instance().Note(FailureMethod(request), accounts::kOutcomeRefused,
                                              accounts::err::CsrfProofMissing, std::string(), request.peer);
      a.refusal = Refusal(403, accounts::err::CsrfProofMissing,
                          origin == "null" ? "Requests from a page without an origin (\"Origin: null\") are refused"
                                           : "Requests from another site are refused");
      return a;
    }
  }
  try {
    const std::string authorization = Trim(request.header("Authorization"));
    if (!authorization.empty()) {
      constexpr std::string_view kScheme = "Bearer ";
      if (authorization.size() > kScheme.size() &&
          EqualsIgnoreCase(std::string_view(authorization).substr(0, kScheme.size()), kScheme)) {
        a.caller = FromBearer(Trim(std::string_view(authorization).substr(kScheme.size())));
      }
      if (!a.caller && !open) {
        accounts::FailureAudit::Instance().Note(FailureMethod(request), accounts::kOutcomeRefused,
                                                accounts::err::NotSignedIn, std::string(), request.peer);
        a.refusal = Refusal(401, accounts::err::NotSignedIn, "The bearer token is not valid (any more): sign in again");
        a.refusal->headers.emplace_back("WWW-Authenticate", "Bearer");
      }
      return a;
    }
    const std::string cookie = CookieValue(request.header("Cookie"), accounts::kSessionCookie);
    if (!cookie.empty()) {
      if (auto account = accounts::SessionAccount(cookie, limits_, accounts::EpochSeconds())) {
        if (!safe && !accounts::SecretsEqual(Trim(request.header(accounts::kCsrfHeader)), accounts::CsrfProof(cookie))) {
          accounts::FailureAudit::Instance().Note(FailureMethod(request),
                                                  accounts::kOutcomeRefused, accounts::err::CsrfProofMissing,
                                                  account->login, request.peer);
          a.refusal = Refusal(403, accounts::err::CsrfProofMissing,
                              std::string("A change made with a browser session needs the header ") +
                                  accounts::kCsrfHeader + " from GET /auth/me");
          return a;
        }
        a.caller = Caller{account->login, account->role, ""};
        return a;
      }
      if (!open) a.refusal = Refusal(401, accounts::err::NotSignedIn, "The session has ended: sign in again");
      return a;
    }
  } catch (...) {
    const ErrorInfo e = CurrentError();
    a.caller.reset();
    // An open endpoint (/health above all) still answers without the database.
    if (!open) a.refusal = Refusal(503, e.number, "The identity could not be checked: the service database does not answer");
    return a;
  }
  if (!open) {
    a.refusal = Refusal(401, accounts::err::NotSignedIn,
                        "Sign in first: send Authorization: Bearer <token>, or sign in at POST /auth/login");
    a.refusal->headers.emplace_back("WWW-Authenticate", "Bearer");
  }
  return a;
}

std::optional<WebReply> AccessControl::CheckReadUser(const Caller& caller, std::string& user, const std::string& what,
                                                     int32_t treeType, int32_t treeId) {
  if (user.empty() || user == caller.login) {
    user = caller.login;
    return std::nullopt;
  }
  if (accounts::RoleAllows(caller.role, accounts::Role::Publisher) || accounts::MayActForOthers(caller)) {
    return std::nullopt;
  }
  accounts::AuditEntry e;
  e.login = caller.login;
  e.method = "GET " + what;
  e.treeType = treeType;
  e.treeId = treeId;
  e.args = accounts::SummariseArguments(json{{"user", user}});
  e.outcome = accounts::kOutcomeRefused;
  e.errorNumber = accounts::err::ActingForOther;
  e.detail = "read another user's view";
  accounts::WriteAuditAlone(std::move(e));
  return Refusal(403, accounts::err::ActingForOther,
                 "?user= may name only yourself ('" + caller.login + "') unless you are a publisher or an admin");
}

int AccessControl::RpcHttpStatus(std::string_view body) {
  if (body.empty() || body.front() != '{' || body.find("\"number\":130") == std::string_view::npos) return 200;
  const json answer = json::parse(body, nullptr, false);
  if (!answer.is_object() || !answer.contains("error")) return 200;
  const int number = answer["error"].value("data", json::object()).value("number", 0);
  return number == accounts::err::RoleRefused || number == accounts::err::ActingForOther ? 403 : 200;
}

void AccessControl::StartHousekeeping() {
  std::lock_guard lock(houseMutex_);
  if (house_.joinable() || stopping_) return;
  house_ = std::thread([this] { Housekeeping(); });
}

void AccessControl::Prune() {
  constexpr int kBatch = 500;
  try {
    RunTransactional([&] { accounts::PruneSessions(limits_, accounts::EpochSeconds()); });
    throttle_.Prune(accounts::SignInThrottle::Clock::now());
    if (auth_.auditRetentionDays > 0) {
      const std::string before = accounts::DaysAgo(auth_.auditRetentionDays);
      // Small batches, each its own transaction, so writers are never held up long.
      for (int i = 0; i < 100; ++i) {
        if (RunTransactional([&] { return accounts::PruneAudit(before, kBatch); }) < kBatch) break;
        std::lock_guard check(houseMutex_);
        if (stopping_) break;
      }
    }
  } catch (...) {
    LogError("tsauthor.accounts housekeeping");
  }
}

void AccessControl::Housekeeping() {
  constexpr auto kPrunePeriod = std::chrono::minutes(10);
  // Failures are counted per minute: a minute's rows are written within
  // half a minute of its end.
  constexpr auto kFlushPeriod = std::chrono::seconds(30);
  auto nextPrune = std::chrono::steady_clock::now();
  std::unique_lock lock(houseMutex_);
  for (auto wait = std::chrono::seconds(5); !houseWake_.wait_for(lock, wait, [&] { return stopping_; });
       wait = kFlushPeriod) {
    lock.unlock();
    accounts::FailureAudit::Instance().Flush(false);
    if (std::chrono::steady_clock::now() >= nextPrune) {
      Prune();
      nextPrune = std::chrono::steady_clock::now() + kPrunePeriod;
    }
    lock.lock();
  }
}

}  // namespace tsa::server
