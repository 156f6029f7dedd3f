// How long a writer may wait for a lock another connection holds, and how
// many may wait at once.
//
// A write transaction needs locks that another connection (another process
// on SQLite's database-wide write lock, or another transaction on a tree's
// key lock) may hold for as long as it likes. Every such wait ends at a
// deadline ([database] lock_wait_seconds) with error 1622, which callers
// answer as "busy, try again" (HTTP 503 with Retry-After): the call did
// nothing.
//
// Waiting occupies the caller's thread. So that one stalled lock cannot take
// every worker of the service, the service bounds the writers that wait the
// full deadline (LimitWaiters: half its worker threads); a writer that finds
// them all waiting gets a short wait (kOverflowWait), long enough for a lock
// that is merely changing hands, then 1622. The workers left over keep
// answering calls that need no write. Without a bound (the command line,
// tests) every writer waits the full deadline.
//
// A thread that was just refused a lock waits briefly too, until it is
// granted one again: a call that failed for want of the lock and then
// records its failure (the audit row) must not wait out the deadline twice.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tsa {
namespace err {
inline constexpr int32_t DatabaseBusy = 1622;  // a lock was not granted within [database] lock_wait_seconds
}  // namespace err

namespace db {

// A writer beyond the bound waits this long at most.
inline constexpr std::chrono::milliseconds kOverflowWait{200};

// The full wait ([database] lock_wait_seconds).
std::chrono::milliseconds LockWait();

// How many writers may wait the full deadline at once; 0: no bound.
void LimitWaiters(int waiters);
int Waiters();

// Writers waiting for a lock right now (for tests and metrics).
int WaitingNow();

// One writer's wait: holds a place among the waiters (or counts as beyond
// them) until it is destroyed or Granted().
class LockWaitSlot {
 public:
  LockWaitSlot();
  ~LockWaitSlot();
  LockWaitSlot(const LockWaitSlot&) = delete;
  LockWaitSlot& operator=(const LockWaitSlot&) = delete;

  std::chrono::steady_clock::time_point Deadline() const { return deadline_; }
  // What is left of the wait, never negative.
  std::chrono::milliseconds Remaining() const;
  bool Overflow() const { return overflow_; }
  // The lock was granted: no longer a waiter.
  void Granted();

 private:
  void Leave();

  std::chrono::steady_clock::time_point deadline_;
  bool overflow_ = false;
  bool counted_ = false;
};

// Within its scope the calling thread's statements outside a transaction
// wait for another connection's lock at most kOverflowWait, then fail with
// 1622: for writes that may be skipped while the database is busy, made on
// a thread that must not stall (a network thread refreshing a browser
// session's last-seen time serves every connection).
class BriefLockWaits {
 public:
  BriefLockWaits();
  ~BriefLockWaits();
  BriefLockWaits(const BriefLockWaits&) = delete;
  BriefLockWaits& operator=(const BriefLockWaits&) = delete;

  static bool Here();

 private:
  bool outer_;
};

// Raises 1622 for the lock `what` ("the database's write lock", "the lock on
// tree 1/7") after waiting `waited`.
[[noreturn]] void RaiseBusy(const std::string& what, std::chrono::milliseconds waited);

}  // namespace db
}  // namespace tsa
