// Operators' maintenance commands: `tsauthor maintenance ...`.
#pragma once

#include <string>
#include <vector>

namespace tsa::cli {

// Runs `maintenance <subcommand> [options]` with the settings in force;
// returns the process's exit status (2 for a usage error).
int RunMaintenance(const std::vector<std::string>& args);

}  // namespace tsa::cli
