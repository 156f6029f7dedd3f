#include "accounts/throttle.h"

#include <algorithm>

namespace tsa::accounts {

namespace {
// Past this many tracked keys the ones whose pause is over are forgotten,
// so that guessing many logins cannot grow the maps without end.
constexpr size_t kMaxKeys = 10000;
}  // namespace

std::chrono::seconds SignInThrottle::WaitFor(const std::map<std::string, Count>& counts, const std::string& key,
                                             Clock::time_point now) const {
  auto it = counts.find(key);
  if (it == counts.end() || it->second.failures < failures_) return std::chrono::seconds(0);
  auto left = std::chrono::duration_cast<std::chrono::seconds>(it->second.last + delay_ - now);
  return left.count() > 0 ? left + std::chrono::seconds(1) : std::chrono::seconds(0);
}

std::chrono::seconds SignInThrottle::Wait(const std::string& login, const std::string& address,
                                          Clock::time_point now) {
  std::lock_guard lock(mutex_);
  return std::max(WaitFor(byLogin_, login, now), WaitFor(byAddress_, address, now));
}

void SignInThrottle::Note(std::map<std::string, Count>& counts, const std::string& key, Clock::time_point now) {
  if (counts.size() >= kMaxKeys) {
    std::erase_if(counts, [&](const auto& item) { return now - item.second.last > delay_; });
  }
  Count& c = counts[key];
  // A pause that is over starts a new count.
  if (c.failures >= failures_ && now - c.last > delay_) c.failures = 0;
  ++c.failures;
  c.last = now;
}

void SignInThrottle::Failed(const std::string& login, const std::string& address, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  Note(byLogin_, login, now);
  Note(byAddress_, address, now);
}

void SignInThrottle::Succeeded(const std::string& login, const std::string& address) {
  std::lock_guard lock(mutex_);
  byLogin_.erase(login);
  byAddress_.erase(address);
}

}  // namespace tsa::accounts
