#include "cli/maintenance_commands.h"

#include <cstdio>

#include "versions/version_store.h"

namespace tsa::cli {

namespace {

constexpr const char* kUsage =
    "usage: tsauthor maintenance remove-unused-entities [--dry-run]\n"
    "  removes the repository entities that no node of any tree or of a kept\n"
    "  version refers to\n"
    "  and lists them; with --dry-run only lists them\n";

int RemoveUnused(bool dryRun) {
  UnusedEntities r = versions::RemoveUnusedEntities(dryRun);
  for (const auto& t : r.tables) {
    std::printf("%s (type %d): %zu %s", t.table.c_str(), t.repType, t.ids.size(),
                dryRun ? "unused" : "removed");
    const char* separator = ": ";
    for (int32_t id : t.ids) {
      std::printf("%s%d", separator, id);
      separator = ", ";
    }
    std::printf("\n");
  }
  std::printf("%lld unused entities %s\n", static_cast<long long>(r.Total()), dryRun ? "found (dry run)" : "removed");
  return 0;
}

}  // namespace

int RunMaintenance(const std::vector<std::string>& args) {
  if (args.empty() || args[0] != "remove-unused-entities" || args.size() > 2 ||
      (args.size() == 2 && args[1] != "--dry-run")) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return RemoveUnused(args.size() == 2);
}

}  // namespace tsa::cli
