#include "runtime/faults.h"

#include <unistd.h>

#include <algorithm>
#include <array>

namespace tsa::faults {

namespace detail {
std::atomic<bool> g_armed{false};
}  // namespace detail

namespace {

// Written by Arm before the armed flag is set (release), read after it was
// seen set; the plan itself does not change while armed.
Plan g_plan;
std::atomic<uint64_t> g_count{0};
std::atomic<bool> g_fired{false};
std::atomic<uint8_t> g_firedCall{0};
// The kinds of the first calls of a recording plan: the call counted n-th
// is kept at n - 1.
std::array<std::atomic<uint8_t>, kRecordedCalls> g_recorded{};

// Counts the call; true when it is the one that meets the fault. A crash
// ends the process here.
bool Hit(Call call) noexcept {
  if (!detail::g_armed.load(std::memory_order_acquire)) return false;
  if (g_plan.onlyCommits && call != Call::Commit) return false;
  const uint64_t n = g_count.fetch_add(1, std::memory_order_relaxed) + 1;
  if (g_plan.record && n <= kRecordedCalls) {
    g_recorded[n - 1].store(static_cast<uint8_t>(call), std::memory_order_relaxed);
  }
  if (n != g_plan.at) return false;
  if (g_plan.crash) ::_exit(kCrashExitStatus);
  g_fired.store(true, std::memory_order_relaxed);
  g_firedCall.store(static_cast<uint8_t>(call), std::memory_order_relaxed);
  return true;
}

}  // namespace

int detail::FileHit(Call call) noexcept { return Hit(call) ? g_plan.fileError : 0; }

DbFault detail::DbHit(Call call) noexcept { return Hit(call) ? g_plan.dbFault : DbFault::None; }

const char* CallName(Call call) noexcept {
  switch (call) {
    case Call::Open: return "open";
    case Call::Read: return "read";
    case Call::Write: return "write";
    case Call::Sync: return "fsync";
    case Call::Rename: return "rename";
    case Call::Link: return "link";
    case Call::Unlink: return "unlink";
    case Call::MakeFolder: return "mkdir";
    case Call::SyncFolder: return "folder sync";
    case Call::Statement: return "statement";
    case Call::Commit: return "commit";
  }
  return "?";
}

void Arm(const Plan& plan) noexcept {
  detail::g_armed.store(false, std::memory_order_release);
  g_plan = plan;
  g_count.store(0, std::memory_order_relaxed);
  g_fired.store(false, std::memory_order_relaxed);
  detail::g_armed.store(true, std::memory_order_release);
}

uint64_t Disarm() noexcept {
  detail::g_armed.store(false, std::memory_order_release);
  return g_count.load(std::memory_order_relaxed);
}

uint64_t Counted() noexcept { return g_count.load(std::memory_order_relaxed); }

bool Fired() noexcept { return g_fired.load(std::memory_order_relaxed); }

Call FiredCall() noexcept { return static_cast<Call>(g_firedCall.load(std::memory_order_relaxed)); }

std::vector<Call> Recorded() {
  std::vector<Call> calls;
  if (!g_plan.record) return calls;
  const uint64_t n = std::min<uint64_t>(g_count.load(std::memory_order_relaxed), kRecordedCalls);
  calls.reserve(n);
  for (uint64_t i = 0; i < n; ++i) calls.push_back(static_cast<Call>(g_recorded[i].load(std::memory_order_relaxed)));
  return calls;
}

}  // namespace tsa::faults
