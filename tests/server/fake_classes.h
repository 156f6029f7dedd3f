// Small stand-ins for the callable classes, registered under their ProgIDs
// for one test: members with plain, in/out and object arguments, members
// that fail, and one that waits until the test lets it go.
#pragma once

#include <condition_variable>
#include <mutex>

#include "runtime/dispatch.h"
#include "runtime/registry.h"

namespace tsa::test {

// Holds calls of TSDOM.Wait until released.
class WaitGate {
 public:
  void Enter();                  // called by the member: counts, then blocks until released
  void WaitForEntered(int count);
  void Release();
  int Finished();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int entered_ = 0;
  int finished_ = 0;
  bool released_ = false;
};

// TSDOM:  Add(i_lA, i_lB) -> i_lA + i_lB
//         Echo(i_sText, i_bFlag optional) -> {"text", "flag"}
//         Rename(i_lID, io_sName in/out, io_lCount in/out) -> "renamed"
//         Fail(i_lNumber): raises that number through the handler convention
//         RejectUser(i_sUserId): raises InvalidArgument from inside the member
//         Nothing() -> nothing
//         Wait() -> "finished", after the gate is released
//         Attach(i_oNode: object)
// Tree:   CheckOut(i_lTreeType, i_lID, i_sUserId, o_sOwner in/out), Publish(i_lTreeType, i_lID),
//         load(i_lTreeType, i_lID, i_sUserId), getNode(i_lNodeID) -> object
// Node:   save()
class FakeClasses {
 public:
  FakeClasses();
  WaitGate& gate() { return gate_; }

 private:
  WaitGate gate_;
  DispatchTable tsdomTable_;  // its Wait member holds this object's gate
  ScopedRegistration tsdom_;
  ScopedRegistration tree_;
  ScopedRegistration node_;
};

}  // namespace tsa::test
