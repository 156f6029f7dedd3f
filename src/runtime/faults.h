// The fault seam: every system call of the document store and the log, and
// every statement and commit of the database sessions, asks here first
// whether it is to fail. Tests use it to make each of an operation's calls
// fail in turn (or to end the process at it, as a crash would) and check
// that nothing is lost or left half done.
//
// Switched off (always, outside tests) a check is one relaxed atomic load
// and a branch: no lock, no allocation.
//
// Armed, the seam counts the faultable calls of the whole process, from 1.
// At call `at` it injects the plan's fault: the call is not made, and the
// caller behaves as if the system or the database had answered with the
// error (a file call fails with `fileError`, a database call with the
// database's own failure or a lost connection). With `crash` the process
// ends right there instead (`_exit`, no clean-up, no buffers flushed).
//
// A plan with `record` also keeps the kind of each call counted, in order,
// so that a test can check that calls are made at all and in the order
// that durability needs (a sync the code never makes cannot be failed).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tsa::faults {

// The calls that go through the seam.
enum class Call : uint8_t {
  Open,        // opening (or creating) a file
  Read,        // reading a file
  Write,       // writing a file
  Sync,        // fsync of a file
  Rename,      // rename over a target
  Link,        // a hard link (a deletion's victim)
  Unlink,      // removing a file
  MakeFolder,  // mkdir
  SyncFolder,  // fsync of a folder
  Statement,   // one database statement (BEGIN included)
  Commit,      // a database commit
};
const char* CallName(Call call) noexcept;

// What a database call is made to meet.
enum class DbFault : uint8_t {
  None,
  Error,           // the statement or commit fails (the database's error)
  LostConnection,  // the connection goes; a commit is not made
  LostInCommit,    // the commit is made, then the connection goes before the answer
};

struct Plan {
  uint64_t at = 0;         // the call (from 1) that meets the fault; 0 counts only
  int fileError = 5;       // errno for a file call (EIO)
  DbFault dbFault = DbFault::Error;
  bool crash = false;      // end the process at call `at` instead of failing it
  bool onlyCommits = false;  // count database commits only (`at` = the at-th commit)
  bool record = false;     // keep the kinds of the calls counted, in order (Recorded())
};

// How many calls a recording keeps (the first ones); later calls are
// counted but not kept.
inline constexpr size_t kRecordedCalls = 4096;

// The exit status of a process the seam ended.
inline constexpr int kCrashExitStatus = 86;

namespace detail {
extern std::atomic<bool> g_armed;
int FileHit(Call call) noexcept;
DbFault DbHit(Call call) noexcept;
}  // namespace detail

// For a file call: 0 to go ahead, else the errno it fails with.
inline int CheckFile(Call call) noexcept {
  if (!detail::g_armed.load(std::memory_order_relaxed)) [[likely]] return 0;
  return detail::FileHit(call);
}

// For a database call: what it is to meet (None to go ahead).
inline DbFault CheckDatabase(Call call) noexcept {
  if (!detail::g_armed.load(std::memory_order_relaxed)) [[likely]] return DbFault::None;
  return detail::DbHit(call);
}

// --- for tests -------------------------------------------------------------

// Arms the seam with a plan; the count starts again from 0.
void Arm(const Plan& plan) noexcept;
// Switches the seam off; returns the number of calls counted while armed.
uint64_t Disarm() noexcept;
// Calls counted since the seam was armed.
uint64_t Counted() noexcept;
// Whether the plan's fault was injected.
bool Fired() noexcept;
// The kind of call that met the fault (meaningful once Fired()).
Call FiredCall() noexcept;
// The kinds of the calls counted under a plan with `record`, in the order
// they were counted (at most kRecordedCalls).
std::vector<Call> Recorded();

// Arms the seam for the scope's lifetime; disarms on leaving.
class ScopedPlan {
 public:
  explicit ScopedPlan(const Plan& plan) noexcept { Arm(plan); }
  ~ScopedPlan() { Disarm(); }
  ScopedPlan(const ScopedPlan&) = delete;
  ScopedPlan& operator=(const ScopedPlan&) = delete;
};

}  // namespace tsa::faults
