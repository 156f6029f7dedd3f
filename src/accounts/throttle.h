// Slowing down guessed passwords: after `failures` failed sign-ins in a row
// for one login, or from one address, further attempts for it are refused
// for `delay` without looking at the password. A success clears the login's
// and the address's count. Kept in memory, per service process.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace tsa::accounts {

class SignInThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  SignInThrottle(int failures, std::chrono::seconds delay) : failures_(failures), delay_(delay) {}

  // How long the login or the address must still wait; zero when it may try.
  std::chrono::seconds Wait(const std::string& login, const std::string& address, Clock::time_point now);
  void Failed(const std::string& login, const std::string& address, Clock::time_point now);
  void Succeeded(const std::string& login, const std::string& address);

 private:
  struct Count {
    int failures = 0;
    Clock::time_point last{};
  };
  std::chrono::seconds WaitFor(const std::map<std::string, Count>& counts, const std::string& key,
                               Clock::time_point now) const;
  void Note(std::map<std::string, Count>& counts, const std::string& key, Clock::time_point now);

  const int failures_;
  const std::chrono::seconds delay_;
  std::mutex mutex_;
  std::map<std::string, Count> byLogin_;
  std::map<std::string, Count> byAddress_;
};

}  // namespace tsa::accounts
