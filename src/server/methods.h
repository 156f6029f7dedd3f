// Method names of the callable classes and how a call by name is made.
//
// A method is named "Class.Member" ("TSDOM.AddChildNew", "Repository.AddRepEntity")
// or "ProgID.Member" ("HXSvcTroubleShooting.TSDOM.AddChildNew"); class names
// and ProgIDs are matched without regard to case, members as the dispatch
// table finds them. Each call creates a fresh instance of the class by ProgID,
// finds the member in its dispatch table, binds the JSON arguments and calls.
// The network service and the command line share this.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "runtime/registry.h"

namespace tsa::server {

// Who is calling. Over the network only the front end's operations are
// reachable: every member of TSDOM and Repository, and Tree.CheckOut and
// Tree.Publish. The in-process command line reaches every member of the four
// classes whose arguments and result are plain values.
enum class Audience { Network, Local };

struct ClassEntry {
  std::string_view name;    // "TSDOM"
  std::string_view progId;  // "HXSvcTroubleShooting.TSDOM"
};

// The four creatable classes: TSDOM, Repository, Tree, Node.
const std::vector<ClassEntry>& CallableClasses();

// Why a name does not lead to a callable member.
enum class LookupFailure {
  MalformedName,     // not "Class.Member"
  UnknownClass,      // no such class
  ClassUnavailable,  // a known class that is not registered in this process
  UnknownMember,     // the class has no such member
  NotExposed         // the member exists but is not reachable for this audience
};

// Raised when a name does not resolve. Numbers: 429 for UnknownClass and
// ClassUnavailable, 438 otherwise; the description names the method.
class MethodNotFound : public Error {
 public:
  MethodNotFound(LookupFailure reason, ErrorInfo info) : Error(std::move(info)), reason_(reason) {}
  LookupFailure reason() const noexcept { return reason_; }

 private:
  LookupFailure reason_;
};

// Raised when the arguments do not bind to the member (missing, unknown, of
// the wrong type or beyond 32 bits); the member was not called. Carries the
// binding error's number (1200 or 1201) and description, which names the
// argument.
class InvalidParams : public Error {
 public:
  explicit InvalidParams(ErrorInfo info) : Error(std::move(info)) {}
};

// Whether a member of a class is reachable for an audience.
bool IsExposed(const ClassEntry& cls, const MethodSpec& method, Audience audience);

// A member found on a fresh instance of its class.
struct ResolvedMethod {
  const ClassEntry* cls = nullptr;
  std::shared_ptr<Component> instance;
  const MethodSpec* method = nullptr;  // in the instance's dispatch table

  // "Class.Member" with the member's exact letters.
  std::string QualifiedName() const;
};

// Splits a method name into its class and member; raises MethodNotFound
// (MalformedName, UnknownClass).
std::pair<const ClassEntry*, std::string> ParseMethodName(std::string_view name);

// Resolves a method name for an audience: creates the instance and finds the
// member. Raises MethodNotFound.
ResolvedMethod ResolveMethod(std::string_view name, Audience audience);

// Calls a resolved member with JSON arguments (an object by name, an array by
// position, or null). Raises InvalidParams when they do not bind; anything the
// member raises passes through unchanged. The result is the member's return
// value (null for none), or, for a member with in/out arguments, an object
// with "return" and each in/out argument by name.
//
// Around the call, for the caller of the current CallerScope: the role
// check, the acting user and the audit row (accounts/call_guard.h). Network
// calls without a caller are refused (1300).
nlohmann::json Invoke(const ResolvedMethod& resolved, const nlohmann::json& params,
                      Audience audience = Audience::Network);

// ResolveMethod and Invoke in one.
nlohmann::json InvokeByName(std::string_view name, const nlohmann::json& params, Audience audience);

}  // namespace tsa::server
