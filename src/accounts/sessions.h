// Browser sessions: a cookie holding 256 random bits, kept on the server as
// its hash with the login, the sign-in time and the time last used.
//
// A session ends at sign-out, after `idle` unused, after `max` from sign-in,
// and when its account is disabled or given a new password. Requests that
// change something and are signed by the cookie must also carry the
// session's CSRF proof, a value derived from the cookie that a page of
// another site cannot read.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/accounts.h"

namespace tsa::accounts {

inline constexpr const char* kSessionCookie = "tsa_session";
inline constexpr const char* kCsrfHeader = "X-CSRF-Token";

struct SessionLimits {
  std::chrono::seconds idle{30 * 60};
  std::chrono::seconds max{12 * 3600};
};

// Starts a session for the login; returns the cookie's value.
std::string StartSession(const std::string& login);
// The enabled account of a live session; nothing for an unknown, expired
// or ended one (an expired one is removed). `now` is seconds since the epoch.
std::optional<Account> SessionAccount(std::string_view cookie, const SessionLimits& limits, int64_t now);
// Ends a session; false when there was none.
bool EndSession(std::string_view cookie);
// The CSRF proof of a session.
std::string CsrfProof(std::string_view cookie);
// Removes sessions past their limits; returns how many.
int PruneSessions(const SessionLimits& limits, int64_t now);

int64_t EpochSeconds();

}  // namespace tsa::accounts
