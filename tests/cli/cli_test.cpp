// The tsauthor command as an operator meets it: exit statuses, where help
// and errors go, and configuration mistakes that must not go unnoticed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_env.h"

extern char** environ;

namespace fs = std::filesystem;

namespace tsa {
namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class CliTest : public ::testing::Test {
 protected:
  // Runs the tool with `args`, the test's data folder and databases in its
  // environment plus `extraEnv` ("NAME=value").
  Outcome Run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string v = *e;
      if (v.rfind("TSAUTHOR_", 0) == 0 && v.rfind("TSAUTHOR_TEST_", 0) != 0) continue;
      env.push_back(v);
    }
    env.push_back("TSAUTHOR_DATA_DIR=" + dataDir_.string());
    env.push_back("TSAUTHOR_HELVIX_URI=" + testEnv_.HelvixUri());
    env.push_back("TSAUTHOR_KCATALOG_URI=" + testEnv_.KCatalogUri());
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());

    std::vector<std::string> argv{TSAUTHOR_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    const fs::path out = scratch_ / "out", err = scratch_ / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    Outcome o;
    if (posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) == 0) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    o.out = ReadAll(out);
    o.err = ReadAll(err);
    return o;
  }

  test::TestEnv testEnv_;
  // A data folder the tool has not seen yet: the test environment's own
  // already holds the databases' files.
  fs::path scratch_ = fs::path(testEnv_.DataDir()) / "cli";
  fs::path dataDir_ = scratch_ / "data";

  void SetUp() override { fs::create_directories(scratch_); }
};

TEST_F(CliTest, HelpAfterACommandPrintsUsageAndDoesNothingElse) {
  // "init --help" used to create the data folder and the databases, and
  // "serve --help" to start the service.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"init", "--help"}, {"init", "-h"}, {"call", "--help"}, {"catalog", "--help"}, {"catalog", "load", "-h"},
           {"api-doc", "--help"}, {"version", "--help"}, {"serve", "--help"}}) {
    Outcome o = Run(args);
    EXPECT_EQ(o.status, 0) << args[0] << ": " << o.err;
    EXPECT_NE(o.out.find("usage: tsauthor"), std::string::npos) << args[0];
    EXPECT_EQ(o.err, "") << args[0];
  }
  EXPECT_FALSE(fs::exists(dataDir_));
}

TEST_F(CliTest, UsageMistakesExitWithTwoAndTellOnStandardError) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"bogus"}, {"--bogus"}, {"init", "extra"}, {"version", "extra"}, {"api-doc", "extra"},
           {"serve", "extra"}, {"catalog"}, {"catalog", "load"}, {"call"}, {"call", "TSDOM.CheckOut", "--url"}}) {
    Outcome o = Run(args);
    const std::string shown = args.empty() ? "(nothing)" : args[0] + (args.size() > 1 ? " " + args[1] : "");
    EXPECT_EQ(o.status, 2) << shown << ": " << o.out << o.err;
    EXPECT_EQ(o.out, "") << shown;
    EXPECT_NE(o.err, "") << shown;
  }
  EXPECT_FALSE(fs::exists(dataDir_));
}

TEST_F(CliTest, AConfigurationFileNamedButMissingIsAnError) {
  // Running on the defaults instead would put the data where nobody looks.
  const std::string missing = (scratch_ / "tsauthr.toml").string();
  Outcome o = Run({"--config", missing, "init"});
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_NE(o.err.find(missing), std::string::npos) << o.err;
  o = Run({"init"}, {"TSAUTHOR_CONFIG=" + missing});
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_NE(o.err.find(missing), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(dataDir_));
  // The default file in the data folder is optional.
  o = Run({"init"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("not present; defaults in use"), std::string::npos) << o.out;
}

TEST_F(CliTest, ABadConfigurationIsReportedWithFileAndKey) {
  const std::string file = (scratch_ / "bad.toml").string();
  std::ofstream(file) << "[server]\nport = \"8470\"\n";
  Outcome o = Run({"--config", file, "init"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find(file), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("server.port"), std::string::npos) << o.err;
  EXPECT_EQ(o.out, "");
}

TEST_F(CliTest, CallPrintsTheResultOrTheError) {
  ASSERT_EQ(Run({"init"}).status, 0);
  Outcome o = Run({"call", "Repository.Nope", "{}"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("error 438"), std::string::npos) << o.err;
  EXPECT_EQ(o.out, "");
  o = Run({"call", "TSDOM.CheckOut", "[1, 7"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("error 1200"), std::string::npos) << o.err;
  o = Run({"call", "Repository.AddRepEntity", R"({"i_lRepType":2,"i_sSDesc":"Is it on?","i_sLDesc":""})"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_NE(o.out.find_first_of("0123456789"), std::string::npos) << o.out;
}

}  // namespace
}  // namespace tsa
