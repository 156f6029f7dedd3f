// The audit of failures that come without a valid identity (wrong or
// throttled sign-ins, refused CSRF proofs, unknown bearer tokens).
//
// Anybody can cause them at any rate, so they are never written one row per
// request: each is counted in memory under its minute, method, outcome,
// error number, login and address, and a flush writes one row per count
// (ARGS {"address", "attempts", "first", "last"}), in one short transaction.
// A flush writes at most `maxRows` itemised rows, the counts with a known
// login first and then the largest; the rest of each minute and method is
// folded into one row without a login or address. The keys held in memory
// are capped too: past the cap a failure only adds to its minute's folded
// count. So a flood costs a bounded number of rows per minute, and no
// request waits for the database to count it.
//
// Only a login that names an account is kept: a wrong login is often a
// password typed into the wrong field.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

namespace tsa::accounts {

class FailureAudit {
 public:
  using Clock = std::chrono::system_clock;
  struct Limits {
    size_t maxKeys = 10000;  // counts held between flushes
    size_t maxRows = 50;     // itemised rows per flush
  };
  FailureAudit() = default;
  explicit FailureAudit(Limits limits) : limits_(limits) {}

  // The process's own, which the service counts into and /metrics reads.
  static FailureAudit& Instance();

  // Counts one failure. `login`: a login that names an account, else "".
  void Note(const std::string& method, const std::string& outcome, int32_t number, const std::string& login,
            const std::string& address, Clock::time_point now = Clock::now());

  // Writes the counts of minutes before `now`'s (all of them with `everything`)
  // and forgets them; returns the rows written. A failure to write is logged
  // and the counts kept for the next flush (up to the cap).
  int Flush(bool everything, Clock::time_point now = Clock::now());

  uint64_t Noted() const { return noted_.load(std::memory_order_relaxed); }
  uint64_t RowsWritten() const { return rowsWritten_.load(std::memory_order_relaxed); }
  // Failures written in a folded row instead of their own.
  uint64_t Folded() const { return folded_.load(std::memory_order_relaxed); }
  size_t Pending() const;
  // Every failure counted since the start, by method and outcome.
  std::map<std::pair<std::string, std::string>, uint64_t> Totals() const;

 private:
  // minute, method, outcome, number, login, address
  using Key = std::tuple<int64_t, std::string, std::string, int32_t, std::string, std::string>;
  struct Tally {
    uint64_t attempts = 0;
    int64_t firstMs = 0, lastMs = 0;
  };

  const Limits limits_{};
  mutable std::mutex mutex_;
  std::map<Key, Tally> counts_;
  std::map<std::pair<std::string, std::string>, uint64_t> totals_;  // bounded: methods are ours, not the caller's
  std::atomic<uint64_t> noted_{0}, rowsWritten_{0}, folded_{0};
};

}  // namespace tsa::accounts
