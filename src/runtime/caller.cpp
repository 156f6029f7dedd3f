#include "runtime/caller.h"

#include <utility>

namespace tsa {

namespace {
thread_local const Caller* t_caller = nullptr;
}

const Caller* CurrentCaller() { return t_caller; }

CallerScope::CallerScope(Caller caller) : caller_(std::move(caller)), previous_(t_caller) { t_caller = &caller_; }

CallerScope::~CallerScope() { t_caller = previous_; }

}  // namespace tsa
