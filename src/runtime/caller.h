// Who is calling: the signed-in account on whose behalf the current thread
// works, set by whoever receives the call (the network service, the
// command-line tool) for the length of one call.
//
// Layers below the front ends read it to record people (who published a
// version, who changed what) and never decide access with it: access is
// decided where the call comes in. Outside any CallerScope there is no caller
// (tests, start-up work), and CurrentCaller() answers null.
#pragma once

#include <string>

namespace tsa {

struct Caller {
  std::string login;        // the account the call is made with
  std::string role;         // "reader", "author", "publisher" or "admin"
  std::string onBehalfOf;   // a service account acting for this login; else ""
  // The login that acts: onBehalfOf when set, else login.
  const std::string& ActingLogin() const { return onBehalfOf.empty() ? login : onBehalfOf; }
};

// The current thread's caller, or null.
const Caller* CurrentCaller();

// Makes `caller` the current thread's caller until the scope ends; scopes
// nest and restore the caller before them.
class CallerScope {
 public:
  explicit CallerScope(Caller caller);
  ~CallerScope();
  CallerScope(const CallerScope&) = delete;
  CallerScope& operator=(const CallerScope&) = delete;

 private:
  Caller caller_;
  const Caller* previous_;
};

}  // namespace tsa
