// Starting the built tool from a test: the test's own data folder and
// databases in its environment (the caller's TSAUTHOR_ settings left out,
// the harness's TSAUTHOR_TEST_ ones kept), standard input from /dev/null,
// standard output and error to files.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_env.h"

extern char** environ;

namespace tsa::test {

inline std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Starts the tool with `args`; `dataDir` and the databases of `testEnv` in
// its environment, plus `extraEnv` ("NAME=value"). An empty `err` sends
// standard error to /dev/null; standard input comes from `in`. Returns the
// process id, or -1.
inline pid_t SpawnTool(const std::vector<std::string>& args, const std::string& dataDir, const TestEnv& testEnv,
                       const std::filesystem::path& out, const std::filesystem::path& err,
                       const std::vector<std::string>& extraEnv = {},
                       const std::filesystem::path& in = "/dev/null") {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string v = *e;
    if (v.rfind("TSAUTHOR_", 0) == 0 && v.rfind("TSAUTHOR_TEST_", 0) != 0) continue;
    env.push_back(v);
  }
  env.push_back("TSAUTHOR_DATA_DIR=" + dataDir);
  env.push_back("TSAUTHOR_HELVIX_URI=" + testEnv.HelvixUri());
  env.push_back("TSAUTHOR_KCATALOG_URI=" + testEnv.KCatalogUri());
  env.push_back("TSAUTHOR_PASSWORD_HASH_COST=test-minimum");
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());

  std::vector<std::string> argv{TSAUTHOR_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv, cenv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  for (auto& e : env) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (err.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  pid_t pid = -1;
  if (posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace tsa::test
