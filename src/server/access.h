// Who is calling the service, decided once per request before its body is
// read, from a view of the request that does not depend on the HTTP library.
//
//   GET /health, POST /auth/login and /auth/setup   open to everybody
//   GET and HEAD of the web app's files             open to everybody, no identity looked up
//                                                   (the sign-in page must load before sign-in)
//   GET /metrics                                    open when [auth] metrics_need_identity = false
//   everything else                                 needs an identity:
//     Authorization: Bearer <personal token>        that token's account
//     Authorization: Bearer <[server] token>        the service account (may act for other logins)
//     Cookie: tsa_session=...                       a browser session; a request that may change
//                                                   something (anything but GET and HEAD) must also
//                                                   carry X-CSRF-Token (from /auth/me) and, when it
//                                                   has an Origin, come from the service's own host
//                                                   (a request that may change something with
//                                                   "Origin: null", sent by sandboxed pages and
//                                                   file: URLs, is refused whatever it carries)
//
// Refusals: 401 without a valid identity, 403 for a missing CSRF proof. Unknown
// bearer tokens, refused CSRF proofs and failed or throttled sign-ins are
// counted in accounts::FailureAudit (failure_audit.h), which the housekeeping
// writes to the trail as rows per minute and shows in /metrics. The
// identity becomes the request's Caller (runtime/caller.h); the role check,
// the acting user and the audit of each call happen in accounts/call_guard.h.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "accounts/sessions.h"
#include "accounts/throttle.h"
#include "runtime/caller.h"
#include "runtime/settings.h"
#include "server/request_head.h"

namespace tsa::server {

// The parts of a request that access control reads.
struct RequestView {
  std::string method;  // "GET", "POST", ...
  std::string path;    // without the query
  std::function<std::string(std::string_view)> header;  // a header's value, "" when absent
  std::function<std::string(std::string_view)> query;   // a query parameter's value, "" when absent
  std::string peer;    // the peer's address
  // The HTTP layer routed the request to the web app's files (any path
  // that is none of the engine's endpoints).
  bool appFile = false;
};

// An answer of access control: a refusal or an /auth/* reply.
struct WebReply {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

struct Admission {
  std::optional<Caller> caller;     // the identity, when the request carried a valid one
  std::optional<WebReply> refusal;  // set: answer this and do nothing else
};

class AccessControl {
 public:
  // `serviceToken`: the [server] token ("" for none); the rest from `auth`.
  AccessControl(std::string serviceToken, Settings::Auth auth);
  ~AccessControl();  // stops the housekeeping
  AccessControl(const AccessControl&) = delete;
  AccessControl& operator=(const AccessControl&) = delete;

  Admission Admit(const RequestView& request);

  // The ?user= of a read endpoint: filled in with the caller's login when
  // empty; another login only for a publisher or admin (403 otherwise,
  // audited).
  std::optional<WebReply> CheckReadUser(const Caller& caller, std::string& user, const std::string& what,
                                        int32_t treeType, int32_t treeId);

  // Answers /auth/login, /auth/logout, /auth/me and /auth/setup.
  WebReply AnswerAuth(const RequestView& request, const std::string& body, const std::optional<Caller>& caller);

  // When no account exists: opens the first-admin setup and returns its
  // secret (for the link /auth/setup?secret=...); else "".
  std::string OpenFirstAdminSetup();

  // Starts removing expired sessions, sign-in counts and audit rows past the
  // retention, in small batches, and writing the counted failures every
  // half minute, on a background thread (the service does; tests need not).
  // The failures still counted are written when the object is destroyed.
  void StartHousekeeping();

  // The HTTP status of a JSON-RPC answer: 403 for a single call refused for
  // its role or its acting user, else 200.
  static int RpcHttpStatus(std::string_view body);

 private:
  std::optional<Caller> FromBearer(const std::string& token);
  WebReply SignIn(const RequestView& request, const nlohmann::json& body);
  WebReply SignOut(const RequestView& request, const Caller& caller);
  WebReply Me(const RequestView& request, const Caller& caller);
  WebReply Setup(const RequestView& request, const std::string& body);
  std::string SessionCookie(const std::string& value, int maxAgeSeconds) const;
  void Housekeeping();
  void Prune();

  const std::string serviceToken_;
  const Settings::Auth auth_;
  const accounts::SessionLimits limits_;
  accounts::SignInThrottle throttle_;
  std::mutex setupMutex_;
  std::string setupHash_;  // hash of the open setup secret; "" when closed
  std::mutex houseMutex_;
  std::condition_variable houseWake_;
  bool stopping_ = false;
  std::thread house_;
};

}  // namespace tsa::server
