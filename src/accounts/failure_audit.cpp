#include "accounts/failure_audit.h"

#include <algorithm>
#include <vector>

#include <nlohmann/json.hpp>

#include "accounts/audit.h"
#include "accounts/errors.h"
#include "runtime/components.h"
#include "runtime/error.h"

namespace tsa::accounts {

namespace {

// The address of a count that stands for every failure not itemised.
constexpr const char* kFolded = "*";

int64_t MillisOf(FailureAudit::Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

FailureAudit::Clock::time_point FromMillis(int64_t ms) {
  return FailureAudit::Clock::time_point(std::chrono::milliseconds(ms));
}

}  // namespace

FailureAudit& FailureAudit::Instance() {
  static FailureAudit instance;
  return instance;
}

void FailureAudit::Note(const std::string& method, const std::string& outcome, int32_t number,
                        const std::string& login, const std::string& address, Clock::time_point now) {
  noted_.fetch_add(1, std::memory_order_relaxed);
  const int64_t ms = MillisOf(now);
  const int64_t minute = ms / 60000;
  std::lock_guard lock(mutex_);
  ++totals_[{method, outcome}];
  Key key{minute, method, outcome, number, login.substr(0, 64), address.substr(0, 64)};
  auto it = counts_.find(key);
  if (it == counts_.end() && counts_.size() >= limits_.maxKeys) {
    // Full: the minute's folded count takes it (one per minute and kind, so still bounded).
    key = Key{minute, method, outcome, number, std::string(), kFolded};
    it = counts_.find(key);
  }
  if (it == counts_.end()) it = counts_.emplace(std::move(key), Tally{0, ms, ms}).first;
  ++it->second.attempts;
  it->second.lastMs = std::max(it->second.lastMs, ms);
}

size_t FailureAudit::Pending() const {
  std::lock_guard lock(mutex_);
  return counts_.size();
}

std::map<std::pair<std::string, std::string>, uint64_t> FailureAudit::Totals() const {
  std::lock_guard lock(mutex_);
  return totals_;
}

int FailureAudit::Flush(bool everything, Clock::time_point now) {
  const int64_t minuteNow = MillisOf(now) / 60000;
  std::map<Key, Tally> due;
  {
    std::lock_guard lock(mutex_);
    for (auto it = counts_.begin(); it != counts_.end();) {
      if (everything || std::get<0>(it->first) < minuteNow) {
        due.insert(counts_.extract(it++));
      } else {
        ++it;
      }
    }
  }
  if (due.empty()) return 0;

  // Known logins first, then the largest counts, up to the cap; the rest folds.
  std::vector<std::map<Key, Tally>::const_iterator> order;
  for (auto it = due.cbegin(); it != due.cend(); ++it)
    if (std::get<5>(it->first) != kFolded) order.push_back(it);
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    const bool knownA = !std::get<4>(a->first).empty(), knownB = !std::get<4>(b->first).empty();
    if (knownA != knownB) return knownA;
    return a->second.attempts > b->second.attempts;
  });
  std::map<Key, Tally> folded;
  for (auto it = due.cbegin(); it != due.cend(); ++it)
    if (std::get<5>(it->first) == kFolded) folded.insert(*it);
  uint64_t foldedNow = 0;
  for (size_t i = limits_.maxRows; i < order.size(); ++i) {
    const auto& [k, t] = *order[i];
    Tally& f = folded[Key{std::get<0>(k), std::get<1>(k), std::get<2>(k), std::get<3>(k), std::string(), kFolded}];
    if (f.attempts == 0) f.firstMs = t.firstMs;
    f.attempts += t.attempts;
    f.firstMs = std::min(f.firstMs, t.firstMs);
    f.lastMs = std::max(f.lastMs, t.lastMs);
  }
  for (const auto& [k, t] : folded) foldedNow += t.attempts;
  if (order.size() > limits_.maxRows) order.resize(limits_.maxRows);

  auto entry = [](const Key& k, const Tally& t, bool isFolded) {
    AuditEntry e;
    e.at = FormatUtcMicros(FromMillis(std::get<0>(k) * 60000));
    e.login = std::get<4>(k).empty() ? kAnonymous : std::get<4>(k);
    e.method = std::get<1>(k);
    e.outcome = std::get<2>(k);
    e.errorNumber = std::get<3>(k);
    nlohmann::json args = {{"attempts", t.attempts},
                           {"first", FormatUtcMicros(FromMillis(t.firstMs))},
                           {"last", FormatUtcMicros(FromMillis(t.lastMs))}};
    if (!isFolded) args["address"] = std::get<5>(k);
    e.args = args.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    e.detail = isFolded ? std::to_string(t.attempts) + " attempts in this minute not itemised"
                        : std::to_string(t.attempts) + " attempts from " + std::get<5>(k) + " in this minute";
    return e;
  };
  std::vector<AuditEntry> rows;
  for (const auto& it : order) rows.push_back(entry(it->first, it->second, false));
  for (const auto& [k, t] : folded) rows.push_back(entry(k, t, true));
  try {
    WriteAuditRows(std::move(rows));
  } catch (...) {
    const ErrorInfo e = CurrentError();
    try {
      CreateObject<ILog>(progid::Log)->WriteEntry(
          kSource, "Could not write the audit rows of failed requests (kept for the next try): " + e.description, 1);
    } catch (...) {
    }
    std::lock_guard lock(mutex_);
    for (auto& [k, t] : due) {
      auto [at, fresh] = counts_.try_emplace(k, t);
      if (!fresh) {
        at->second.attempts += t.attempts;
        at->second.firstMs = std::min(at->second.firstMs, t.firstMs);
        at->second.lastMs = std::max(at->second.lastMs, t.lastMs);
      }
    }
    return 0;
  }
  const int written = static_cast<int>(order.size() + folded.size());
  rowsWritten_.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
  folded_.fetch_add(foldedNow, std::memory_order_relaxed);
  return written;
}

}  // namespace tsa::accounts
