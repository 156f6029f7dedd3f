// Slowing down guessed passwords without letting a guesser lock a user out.
//
// Failures are counted per login-and-address and per address (any login),
// never per login alone: five wrong passwords for ann from one address
// delay ann's attempts from that address only, and her correct password
// from anywhere else still signs her in. Past a count's threshold every
// further failure doubles the pause before the next attempt is looked at,
// from `firstDelay` up to `maxDelay`. A count is forgotten once it saw no
// failure for the longer of an hour and twice `maxDelay`; a success clears
// the login-and-address count (not the address's, which the guesser's own
// account could otherwise reset). An IPv6 address counts as its /64.
//
// With a database the counts live in SIGNINTHROTTLE, so every server on one
// database throttles alike; each process keeps a copy of the counts it saw,
// and an attempt its copy already pauses costs no database work at all.
// Only a failure that was not paused writes (one upsert per count), so a
// flood from one address writes a bounded number of rows.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tsa::accounts {

struct ThrottlePolicy {
  int loginFailures = 5;     // failures of one login from one address before a pause
  int addressFailures = 20;  // failures from one address, whatever the logins
  std::chrono::seconds firstDelay{60};
  std::chrono::seconds maxDelay{900};
};

class SignInThrottle {
 public:
  // Wall time: servers sharing the counts must agree on it.
  using Clock = std::chrono::system_clock;
  // `shared`: counts in the service database; else in this process only.
  SignInThrottle(ThrottlePolicy policy, bool shared);

  // How long an attempt for the login from the address must still wait; zero when it may try.
  std::chrono::seconds Wait(const std::string& login, const std::string& address, Clock::time_point now);
  void Failed(const std::string& login, const std::string& address, Clock::time_point now);
  void Succeeded(const std::string& login, const std::string& address);
  // Removes the shared counts nobody remembers any more; returns how many.
  int Prune(Clock::time_point now);

  // The pause after `failures` failures of a count whose threshold is `threshold`.
  std::chrono::milliseconds DelayAfter(int failures, int threshold) const;
  std::chrono::milliseconds ForgetAfter() const;

 private:
  struct Count {
    int failures = 0;
    int64_t lastMs = 0;  // the last failure, milliseconds since the epoch
  };
  std::chrono::milliseconds Left(const std::optional<Count>& c, int threshold, int64_t nowMs) const;
  std::optional<Count> Cached(const std::string& key) const;
  // Reads the keys' shared counts into the copy; false when the database did not answer.
  bool Refresh(const std::string& a, const std::string& b);
  void Remember(const std::string& key, std::optional<Count> c);

  const ThrottlePolicy policy_;
  const bool shared_;
  mutable std::mutex mutex_;
  std::map<std::string, Count> counts_;  // by key: "a|<address>", "la|<address>|<login>"
};

}  // namespace tsa::accounts
