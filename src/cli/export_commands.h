// `tsauthor export` and `tsauthor import`: a tree as a JSON file and back,
// through the Exchange class in process.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tsa::cli {

// Each returns the exit status: 0 done, 2 a usage mistake (printed); engine
// errors are raised. `configure` loads the settings and registers the engine
// before the first call.
int CmdExport(const std::vector<std::string>& args, const std::function<void()>& configure);
int CmdImport(const std::vector<std::string>& args, const std::function<void()>& configure);

}  // namespace tsa::cli
