// Who waits how long for a lock: the bounded waiters the full deadline,
// writers beyond them and a thread just refused a short while.
#include <gtest/gtest.h>

#include "platform/db/lock_wait.h"
#include "runtime/error.h"
#include "runtime/settings.h"

namespace tsa::db {
namespace {

class LockWaitTest : public ::testing::Test {
 protected:
  LockWaitTest() : saved_(CurrentSettings()) {
    Settings s = saved_;
    s.lockWaitSeconds = 30;
    SetCurrentSettings(s);
  }
  ~LockWaitTest() override {
    LimitWaiters(0);
    SetCurrentSettings(saved_);
  }
  static bool Full(const LockWaitSlot& slot) { return slot.Remaining() > std::chrono::seconds(20); }

 private:
  Settings saved_;
};

TEST_F(LockWaitTest, OnlyTheBoundedWaitersWaitTheDeadline) {
  LimitWaiters(2);
  {
    LockWaitSlot a, b;
    EXPECT_TRUE(Full(a) && Full(b));
    LockWaitSlot c;
    EXPECT_TRUE(c.Overflow());
    EXPECT_LE(c.Remaining(), kOverflowWait);
    EXPECT_EQ(WaitingNow(), 3);
    a.Granted();
    LockWaitSlot d;  // a's place is free again
    EXPECT_TRUE(Full(d));
  }
  EXPECT_EQ(WaitingNow(), 0);
  // Without a bound everybody waits the deadline.
  LimitWaiters(0);
  LockWaitSlot e, f, g;
  EXPECT_TRUE(Full(e) && Full(f) && Full(g));
}

TEST_F(LockWaitTest, AThreadRefusedWaitsBrieflyUntilItIsGrantedALock) {
  try {
    RaiseBusy("the test's lock", std::chrono::milliseconds(30000));
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::DatabaseBusy);
    EXPECT_NE(e.description().find("the test's lock"), std::string::npos);
  }
  {
    LockWaitSlot next;  // e.g. the audit row of the refused call
    EXPECT_FALSE(Full(next));
    next.Granted();
  }
  LockWaitSlot after;
  EXPECT_TRUE(Full(after));
  // The deadline is the setting.
  Settings s = CurrentSettings();
  s.lockWaitSeconds = 0;
  SetCurrentSettings(s);
  LockWaitSlot none;
  EXPECT_EQ(none.Remaining().count(), 0);
}

}  // namespace
}  // namespace tsa::db
