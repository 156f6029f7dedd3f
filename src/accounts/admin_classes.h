// Callable classes of the accounts layer, registered with the engine's own:
//
//   Audit.List            the audit trail, filtered and paged, newest first
//   Admin.ReleaseCheckOut ends another user's check-out, discarding the
//                         holder's working copy; the audit row names the holder
#pragma once

#include <string_view>

namespace tsa::accounts {

namespace progid {
inline constexpr std::string_view Audit = "tsauthor.Audit";
inline constexpr std::string_view Admin = "tsauthor.Admin";
}  // namespace progid

void RegisterAccountsClasses();

}  // namespace tsa::accounts
