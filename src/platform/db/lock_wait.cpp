#include "platform/db/lock_wait.h"

#include <algorithm>
#include <atomic>

#include "runtime/error.h"
#include "runtime/settings.h"

namespace tsa::db {

namespace {

std::atomic<int> g_waiting{0};  // writers within the bound, waiting
std::atomic<int> g_overflow{0};  // writers beyond it, waiting briefly
std::atomic<int> g_bound{0};
thread_local bool t_refused = false;  // this thread's last lock wait ended in 1622
thread_local bool t_brief = false;    // within a BriefLockWaits

}  // namespace

std::chrono::milliseconds LockWait() {
  return std::chrono::milliseconds(int64_t{std::max(0, CurrentSettings().lockWaitSeconds)} * 1000);
}

BriefLockWaits::BriefLockWaits() : outer_(t_brief) { t_brief = true; }
BriefLockWaits::~BriefLockWaits() { t_brief = outer_; }
bool BriefLockWaits::Here() { return t_brief; }

void LimitWaiters(int waiters) { g_bound = std::max(0, waiters); }

int Waiters() { return g_bound.load(); }

int WaitingNow() { return g_waiting.load() + g_overflow.load(); }

LockWaitSlot::LockWaitSlot() {
  const auto now = std::chrono::steady_clock::now();
  const auto full = LockWait();
  const int bound = Waiters();
  int waiting = g_waiting.load();
  if (!t_refused) {
    while ((bound == 0 || waiting < bound) && !g_waiting.compare_exchange_weak(waiting, waiting + 1)) {
    }
  }
  overflow_ = t_refused || (bound != 0 && waiting >= bound);
  if (overflow_) ++g_overflow;
  counted_ = true;
  deadline_ = now + (overflow_ ? std::min(full, std::chrono::milliseconds(kOverflowWait)) : full);
}

LockWaitSlot::~LockWaitSlot() { Leave(); }

void LockWaitSlot::Granted() {
  Leave();
  t_refused = false;
}

void LockWaitSlot::Leave() {
  if (!counted_) return;
  counted_ = false;
  --(overflow_ ? g_overflow : g_waiting);
}

std::chrono::milliseconds LockWaitSlot::Remaining() const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

void RaiseBusy(const std::string& what, std::chrono::milliseconds waited) {
  t_refused = true;
  Raise(err::DatabaseBusy, {},
        "The database is busy: " + what + " was not granted within " + std::to_string(waited.count()) +
            " ms (another connection holds it); nothing was changed, try again shortly");
}

}  // namespace tsa::db
