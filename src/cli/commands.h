// Commands of the tool beyond main.cpp's own, each given its arguments after
// the command's name and `open`, which loads the settings and prepares the
// databases once the arguments are found valid. Each returns the
// exit status (0 done, 2 a usage mistake, reported on standard error) and
// raises engine errors for main to report (status 1).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tsa::cli {

// tsauthor user add|passwd|role|disable|enable|list|token|tokens|revoke ...
int CmdUser(const std::vector<std::string>& args, const std::function<void()>& open);
// tsauthor audit [--tree TYPE/ID] [--login L] [--method M] [--since T] [--until T] [--limit N] [--json]
int CmdAudit(const std::vector<std::string>& args, const std::function<void()>& open);

// The usage lines of these commands, for the tool's help text.
extern const char* const kUserUsage;
extern const char* const kAuditUsage;

}  // namespace tsa::cli
