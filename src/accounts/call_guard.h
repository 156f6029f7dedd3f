// What happens around every call of a member by name, for the caller of the
// current CallerScope: the role check, the acting user, and the audit row.
//
//  1. The acting user. A member's user argument (a text argument whose name
//     ends in "UserId", e.g. i_sUserId) is filled in with the caller's login
//     when it is absent or empty. When it names somebody else the call is
//     refused (1302), unless the caller may act for others (the service
//     account, the in-process command line): then the call runs with
//     Caller::onBehalfOf set to that login and is recorded "service for LOGIN".
//  2. The role: RuleFor("Class.Member") names the role needed; a caller
//     whose role does not include it is refused (1301), naming that role.
//  3. The audit: a member that changes something runs in one transaction
//     with its audit row; a failed or refused call leaves a row of its own
//     with the error's number, written after the change rolled back.
//
// A refused call runs nothing. Without a caller, network calls are refused
// (1300) and in-process ones (tests, start-up work) run unchecked.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "runtime/caller.h"
#include "runtime/dispatch.h"

namespace tsa::accounts {

// Runs `call` (which binds the arguments it is given and calls the member in
// a transaction of its own or the guard's) as described above.
nlohmann::json GuardedCall(std::string_view qualifiedName, const MethodSpec& method, const nlohmann::json& params,
                           bool fromNetwork, const std::function<nlohmann::json(const nlohmann::json&)>& call);

// Whether a caller may name other logins in user arguments.
bool MayActForOthers(const Caller& caller);

// The caller of the configured service token ([server] token).
Caller ServiceCaller();

// The caller of an in-process `tsauthor call`: the account `asLogin` (it must
// exist and be enabled; 1306 otherwise) or, without one, the local operator
// "local:<OS user>" as admin, who may act for other logins: whoever can run
// the tool in process holds the database files or credentials anyway.
Caller InProcessCaller(const std::string& asLogin);

// The tree and node a call is about, read from its arguments by name.
struct CallTarget {
  std::optional<int32_t> treeType, treeId, nodeId;
};
CallTarget TargetOf(const nlohmann::json& params, const MethodSpec& method);

}  // namespace tsa::accounts
