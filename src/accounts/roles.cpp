#include "accounts/roles.h"

#include <algorithm>
#include <cctype>

#include "runtime/error.h"

namespace tsa::accounts {

namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

struct Entry {
  std::string_view member;
  Role role;
  bool changes;
};

constexpr bool kChanges = true;
constexpr bool kReads = false;

// One line per callable member. Add new members here.
constexpr Entry kRules[] = {
    // Reads.
    {"TSDOM.GetVisibilitiesToAdd", Role::Reader, kReads},
    {"TSDOM.SearchVisibilityandUpdate", Role::Reader, kReads},
    {"TSDOM.AppendVisibilityInOrder", Role::Reader, kReads},
    {"Repository.getRepEntityDetails", Role::Reader, kReads},
    {"Versions.List", Role::Reader, kReads},
    {"Versions.Get", Role::Reader, kReads},
    {"Browse.Catalog", Role::Reader, kReads},
    {"Browse.Products", Role::Reader, kReads},
    {"Browse.Templates", Role::Reader, kReads},
    {"Browse.Tree", Role::Reader, kReads},
    {"Browse.SearchEntities", Role::Reader, kReads},
    // Authoring: trees, check-out, edits of one's own working copy, templates' descriptions, texts.
    {"TSDOM.CreateEmptyTree", Role::Author, kChanges},
    {"TSDOM.createTreeFromTree", Role::Author, kChanges},
    {"TSDOM.CheckOut", Role::Author, kChanges},
    {"Tree.CheckOut", Role::Author, kChanges},
    {"TSDOM.UndoEditTree", Role::Author, kChanges},
    {"TSDOM.AddChildNew", Role::Author, kChanges},
    {"TSDOM.AddChildFromRep", Role::Author, kChanges},
    {"TSDOM.AddTemplateToNode", Role::Author, kChanges},
    {"TSDOM.SaveNode", Role::Author, kChanges},
    {"TSDOM.DeleteNode", Role::Author, kChanges},
    {"TSDOM.MoveNode", Role::Author, kChanges},
    {"TSDOM.Paste", Role::Author, kChanges},
    {"TSDOM.CreateNewTemplateInfo", Role::Author, kChanges},
    {"TSDOM.UpdateTemplateInfo", Role::Author, kChanges},
    {"Repository.AddRepEntity", Role::Author, kChanges},
    {"Repository.UpdateRepEntityOnlyDB", Role::Author, kChanges},
    {"Repository.UpdateRepEntity", Role::Author, kChanges},
    // Reads that show working copies or help before an edit.
    {"Versions.Diff", Role::Author, kReads},
    {"Tree.Validate", Role::Author, kReads},
    {"Repository.WhereUsed", Role::Author, kReads},
    {"Exchange.Export", Role::Author, kReads},
    // A restore only replaces the caller's own working copy; publishing it is the review step.
    {"Versions.Restore", Role::Author, kChanges},
    // Review and removal.
    {"TSDOM.Publish", Role::Publisher, kChanges},
    {"Tree.Publish", Role::Publisher, kChanges},
    {"TSDOM.PublishWithComment", Role::Publisher, kChanges},
    // An import creates a published tree at once, without a review.
    {"Exchange.Import", Role::Publisher, kChanges},
    {"TSDOM.deleteTree", Role::Publisher, kChanges},
    {"TSDOM.deleteTemplateInfo", Role::Publisher, kChanges},
    {"Repository.DeleteRepEntity", Role::Publisher, kChanges},
    {"Audit.List", Role::Publisher, kReads},
    // Administration.
    {"TSDOM.SynchronizeVisibilitiesforTree", Role::Admin, kChanges},
    {"TSDOM.SynchronizeVisibilitiesInXML", Role::Admin, kChanges},
    {"TSDOM.UpdateVisibilitiesForRootNode", Role::Admin, kChanges},
    {"Admin.ReleaseCheckOut", Role::Admin, kChanges},
};

constexpr const char* kNames[] = {"reader", "author", "publisher", "admin"};

}  // namespace

const char* RoleName(Role role) { return kNames[static_cast<int>(role)]; }

std::optional<Role> ParseRole(std::string_view name) {
  for (int i = 0; i < 4; ++i)
    if (EqualsIgnoreCase(name, kNames[i])) return static_cast<Role>(i);
  return std::nullopt;
}

Role RequireRole(std::string_view name, std::string_view what) {
  if (auto r = ParseRole(name)) return *r;
  RaiseInvalidArgument(what, "expected reader, author, publisher or admin, got '" + std::string(name.substr(0, 40)) + "'");
}

bool RoleAllows(std::string_view held, Role needed) {
  auto r = ParseRole(held);
  return r && static_cast<int>(*r) >= static_cast<int>(needed);
}

MemberRule RuleFor(std::string_view qualifiedMember) {
  for (const Entry& e : kRules)
    if (EqualsIgnoreCase(e.member, qualifiedMember)) return {e.role, e.changes};
  return {};
}

}  // namespace tsa::accounts
