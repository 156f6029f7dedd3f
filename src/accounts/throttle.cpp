#include "accounts/throttle.h"

#include <arpa/inet.h>

#include <algorithm>
#include <iterator>

#include "accounts/errors.h"
#include "platform/db/session.h"
#include "runtime/components.h"
#include "runtime/error.h"
#include "runtime/settings.h"

namespace tsa::accounts {

namespace {

// Past this many remembered keys the ones no longer pausing anybody are
// forgotten, so that guessing many logins cannot grow the copy without end.
constexpr size_t kMaxKeys = 10000;

// Whoever has one IPv6 address usually has its whole /64: counted per
// address, each of its 2^64 addresses would start afresh. IPv4 (also mapped
// into IPv6) is counted per address.
std::string Counted(const std::string& address) {
  in6_addr v6{};
  if (address.find(':') == std::string::npos || ::inet_pton(AF_INET6, address.c_str(), &v6) != 1 ||
      IN6_IS_ADDR_V4MAPPED(&v6))
    return address;
  std::fill(std::begin(v6.s6_addr) + 8, std::end(v6.s6_addr), 0);
  char text[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET6, &v6, text, sizeof text);
  return std::string(text) + "/64";
}

std::string AddressKey(const std::string& address) { return "a|" + Counted(address); }
// An address holds no '|', so the login after it cannot change where the address ends.
std::string LoginKey(const std::string& login, const std::string& address) {
  return "la|" + Counted(address) + "|" + login;
}

int64_t Millis(SignInThrottle::Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::shared_ptr<db::Session> OwnSession() {
  // A session of its own: sign-in runs outside any transaction context.
  return db::SessionPool::Instance().Acquire(CurrentSettings().HelvixUri());
}

void LogTrouble(const std::string& what) noexcept {
  try {
    CreateObject<ILog>(progid::Log)->WriteEntry(kSource, what + ": " + CurrentError().description, 1);
  } catch (...) {
  }
}

}  // namespace

SignInThrottle::SignInThrottle(ThrottlePolicy policy, bool shared) : policy_(policy), shared_(shared) {}

std::chrono::milliseconds SignInThrottle::DelayAfter(int failures, int threshold) const {
  if (failures < threshold) return std::chrono::milliseconds(0);
  const int doublings = std::min(failures - threshold, 30);
  const auto delay = std::chrono::milliseconds(policy_.firstDelay) * (int64_t{1} << doublings);
  return std::min<std::chrono::milliseconds>(delay, policy_.maxDelay);
}

std::chrono::milliseconds SignInThrottle::ForgetAfter() const {
  return std::max<std::chrono::milliseconds>(std::chrono::hours(1), policy_.maxDelay * 2);
}

std::chrono::milliseconds SignInThrottle::Left(const std::optional<Count>& c, int threshold, int64_t nowMs) const {
  if (!c) return std::chrono::milliseconds(0);
  const int64_t until = c->lastMs + DelayAfter(c->failures, threshold).count();
  return std::chrono::milliseconds(std::max<int64_t>(0, until - nowMs));
}

std::optional<SignInThrottle::Count> SignInThrottle::Cached(const std::string& key) const {
  auto it = counts_.find(key);
  if (it == counts_.end()) return std::nullopt;
  return it->second;
}

void SignInThrottle::Remember(const std::string& key, std::optional<Count> c) {
  if (!c) {
    counts_.erase(key);
    return;
  }
  if (counts_.size() >= kMaxKeys && !counts_.contains(key)) {
    const int64_t now = Millis(Clock::now());
    std::erase_if(counts_, [&](const auto& item) {
      return Left(item.second, std::min(policy_.loginFailures, policy_.addressFailures), now).count() == 0;
    });
    if (counts_.size() >= kMaxKeys) return;  // the shared count still holds it
  }
  counts_[key] = *c;
}

bool SignInThrottle::Refresh(const std::string& a, const std::string& b) {
  if (!shared_) return true;
  std::map<std::string, Count> found;
  try {
    auto session = OwnSession();
    const db::Dialect& d = session->dialect();
    const db::ResultSet rs = session->Query("SELECT THROTTLEKEY, FAILURES, LASTFAILURE FROM SIGNINTHROTTLE WHERE "
                                            "THROTTLEKEY IN (" + d.Placeholder(1) + ", " + d.Placeholder(2) + ")",
                                            {db::Value(a), db::Value(b)});
    for (const auto& r : rs.rows) found[r[0].ToText()] = Count{r[1].ToInt32(), r[2].ToInt64()};
  } catch (...) {
    LogTrouble("The sign-in counts could not be read; this server's own are used");
    return false;
  }
  std::lock_guard lock(mutex_);
  for (const std::string& key : {a, b}) {
    auto it = found.find(key);
    Remember(key, it == found.end() ? std::nullopt : std::optional<Count>(it->second));
  }
  return true;
}

std::chrono::seconds SignInThrottle::Wait(const std::string& login, const std::string& address,
                                          Clock::time_point now) {
  const std::string byAddress = AddressKey(address);
  const std::string byLogin = LoginKey(login, address);
  const int64_t nowMs = Millis(now);
  auto left = [&] {
    std::lock_guard lock(mutex_);
    return std::max(Left(Cached(byAddress), policy_.addressFailures, nowMs),
                    Left(Cached(byLogin), policy_.loginFailures, nowMs));
  };
  auto wait = left();
  // Paused by what this server saw: no need to ask the others.
  if (wait.count() == 0) {
    Refresh(byAddress, byLogin);
    wait = left();
  }
  if (wait.count() == 0) return std::chrono::seconds(0);
  // Rounded up: a client that waits exactly this long is let in.
  return std::chrono::duration_cast<std::chrono::seconds>(wait + std::chrono::milliseconds(999));
}

void SignInThrottle::Failed(const std::string& login, const std::string& address, Clock::time_point now) {
  const std::string keys[] = {AddressKey(address), LoginKey(login, address)};
  const int64_t nowMs = Millis(now);
  const int64_t forgetMs = ForgetAfter().count();
  if (shared_) {
    try {
      auto session = OwnSession();
      const db::Dialect& d = session->dialect();
      // One statement per count, so that two servers counting at once both count.
      const std::string sql = "INSERT INTO SIGNINTHROTTLE (THROTTLEKEY, FAILURES, LASTFAILURE) VALUES (" +
                              d.Placeholder(1) + ", 1, " + d.Placeholder(2) +
                              ") ON CONFLICT (THROTTLEKEY) DO UPDATE SET FAILURES = CASE WHEN "
                              "SIGNINTHROTTLE.LASTFAILURE < " + d.Placeholder(3) +
                              " THEN 1 ELSE SIGNINTHROTTLE.FAILURES + 1 END, LASTFAILURE = excluded.LASTFAILURE";
      for (const std::string& key : keys)
        session->Execute(sql, {db::Value(key), db::Value(nowMs), db::Value(nowMs - forgetMs)});
      if (Refresh(keys[0], keys[1])) return;
    } catch (...) {
      LogTrouble("A failed sign-in could not be counted in the database; this server counts it alone");
    }
  }
  std::lock_guard lock(mutex_);
  for (const std::string& key : keys) {
    Count c = Cached(key).value_or(Count{});
    c.failures = c.lastMs < nowMs - forgetMs ? 1 : c.failures + 1;
    c.lastMs = nowMs;
    Remember(key, c);
  }
}

void SignInThrottle::Succeeded(const std::string& login, const std::string& address) {
  const std::string key = LoginKey(login, address);
  {
    std::lock_guard lock(mutex_);
    // Wait read the shared count just before: nothing to clear, nothing to write.
    if (!counts_.erase(key)) return;
  }
  if (!shared_) return;
  try {
    auto session = OwnSession();
    session->Execute("DELETE FROM SIGNINTHROTTLE WHERE THROTTLEKEY = " + session->dialect().Placeholder(1),
                     {db::Value(key)});
  } catch (...) {
    LogTrouble("A sign-in count could not be cleared");
  }
}

int SignInThrottle::Prune(Clock::time_point now) {
  const int64_t before = Millis(now) - ForgetAfter().count();
  {
    std::lock_guard lock(mutex_);
    std::erase_if(counts_, [&](const auto& item) { return item.second.lastMs < before; });
  }
  if (!shared_) return 0;
  auto session = OwnSession();
  return static_cast<int>(session->Execute(
      "DELETE FROM SIGNINTHROTTLE WHERE LASTFAILURE < " + session->dialect().Placeholder(1), {db::Value(before)}));
}

}  // namespace tsa::accounts
