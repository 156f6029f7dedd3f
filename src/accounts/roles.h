// Roles and the one table that says which role each callable member needs.
//
// Roles include the ones before them: reader < author < publisher < admin.
// The table is keyed by "Class.Member" (case ignored). A member it does not
// list needs admin and counts as a change, so a method added elsewhere is
// refused to everybody else until a line here says otherwise.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tsa::accounts {

enum class Role { Reader = 0, Author = 1, Publisher = 2, Admin = 3 };

// "reader", "author", "publisher", "admin".
const char* RoleName(Role role);
// The role of a name (case ignored), or nothing.
std::optional<Role> ParseRole(std::string_view name);
// The role of a name; raises InvalidArgument (1200) naming `what` otherwise.
Role RequireRole(std::string_view name, std::string_view what = "role");
// Whether `held` includes `needed`. An unknown held name includes nothing.
bool RoleAllows(std::string_view held, Role needed);

struct MemberRule {
  Role role = Role::Admin;
  bool changes = true;  // the call changes stored data: it is audited
};

// The rule of "Class.Member".
MemberRule RuleFor(std::string_view qualifiedMember);

}  // namespace tsa::accounts
