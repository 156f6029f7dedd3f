// `tsauthor documents import|export`: an installation's current documents
// moved from its files into the database store, or written back to files.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tsa::cli {

extern const char* const kDocumentsUsage;

// Returns the exit status: 0 done, 2 a usage mistake (printed); engine
// errors are raised. `configure` loads the settings and prepares the
// databases before the work begins.
int CmdDocuments(const std::vector<std::string>& args, const std::function<void()>& configure);

}  // namespace tsa::cli
