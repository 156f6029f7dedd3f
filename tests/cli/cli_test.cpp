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

#include <nlohmann/json.hpp>

#include "cli/tool_process.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace tsa {
namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class CliTest : public ::testing::Test {
 protected:
  // Runs the tool with `args`, the test's data folder and databases in its
  // environment plus `extraEnv` ("NAME=value").
  Outcome Run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {},
              const std::string& input = {}) {
    const fs::path out = scratch_ / "out", err = scratch_ / "err", in = scratch_ / "in";
    std::ofstream(in, std::ios::trunc) << input;
    Outcome o;
    const pid_t pid = test::SpawnTool(args, dataDir_.string(), testEnv_, out, err, extraEnv, in);
    if (pid > 0) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    o.out = test::ReadAll(out);
    o.err = test::ReadAll(err);
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
           {"serve", "extra"}, {"catalog"}, {"catalog", "load"}, {"call"}, {"call", "TSDOM.CheckOut", "--url"},
           {"export"}, {"export", "3/7"}, {"export", "1/7", "--output"}, {"import", "tree.json"},
           {"import", "tree.json", "--as", "1/x"}, {"import", "--as", "1/8"}, {"documents"}, {"documents", "move"},
           {"documents", "import", "extra"}}) {
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
  // A text no XML document can hold is refused by name, in process as on the service.
  o = Run({"call", "Repository.AddRepEntity", R"({"i_lRepType":2,"i_sSDesc":"ok","i_sLDesc":"a\uFFFEb"})"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("error 1216"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("i_sLDesc"), std::string::npos) << o.err;
}

TEST_F(CliTest, AccountsAreManagedWithoutAServiceAndInProcessCallsActAsTheirAccount) {
  // Usage mistakes change nothing.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"user"}, {"user", "bogus"}, {"user", "add", "ann"}, {"audit", "--tree", "x"}, {"audit", "--bogus", "1"},
           {"call", "TSDOM.Publish", "--as", "ann", "--url", "http://127.0.0.1:1"}}) {
    Outcome o = Run(args);
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    EXPECT_EQ(o.status, 2) << shown << ": " << o.err;
  }
  EXPECT_FALSE(fs::exists(dataDir_));
  Outcome bad = Run({"audit", "--until", "2026-02-30"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--until"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("no such day"), std::string::npos) << bad.err;
  EXPECT_FALSE(fs::exists(dataDir_));
  // No terminal and no --password-stdin: nothing to read the password from.
  EXPECT_EQ(Run({"user", "add", "ann", "--role", "author"}).status, 2);

  Outcome o = Run({"user", "add", "ann", "--role", "author", "--name", "Ann Author", "--password-stdin"}, {},
                  "correct horse\n");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(Run({"user", "add", "ann", "--role", "author", "--password-stdin"}, {}, "correct horse\n").status, 1);
  EXPECT_EQ(Run({"user", "add", "rita", "--role", "reader", "--password-stdin"}, {}, "reader pass 1\n").status, 0);
  EXPECT_EQ(Run({"user", "role", "rita", "boss"}).status, 1);
  o = Run({"user", "list"});
  EXPECT_NE(o.out.find("ann"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("Ann Author"), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find("correct horse"), std::string::npos);

  o = Run({"user", "token", "ann", "--label", "ci"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("tsa_", 0), 0u) << o.out;
  EXPECT_NE(Run({"user", "tokens", "ann"}).out.find("ci"), std::string::npos);

  // The reader may not create a tree; the author may, as herself.
  o = Run({"call", "--as", "rita", "TSDOM.CreateEmptyTree", R"({"i_lTreeType":1,"i_lID":7})"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("error 1301"), std::string::npos) << o.err;
  EXPECT_EQ(Run({"call", "--as", "nobody", "TSDOM.CreateEmptyTree", "[1, 7]"}).status, 1);
  o = Run({"call", "--as", "ann", "Repository.AddRepEntity", R"({"i_lRepType":2,"i_sSDesc":"On?","i_sLDesc":""})"});
  EXPECT_EQ(o.status, 0) << o.err;
  o = Run({"call", "--as", "ann", "TSDOM.CheckOut", R"({"i_lTreeType":1,"i_lID":7,"i_sUserId":"rita"})"});
  EXPECT_NE(o.err.find("error 1302"), std::string::npos) << o.err;

  o = Run({"audit", "--login", "rita"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("TSDOM.CreateEmptyTree"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("refused"), std::string::npos) << o.out;
  o = Run({"audit", "--json", "--method", "Repository.AddRepEntity"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(nlohmann::json::parse(o.out).at(0).at("login"), "ann");
}

TEST_F(CliTest, ExportWritesAFileThatImportMakesIntoAnotherTree) {
  ASSERT_EQ(Run({"init"}).status, 0);
  const fs::path catalog = scratch_ / "catalog.json";
  std::ofstream(catalog) << R"({"visibilities": [{"id": 1, "name": "Customers"}],
    "categories": [{"id": 10, "name": "Printers", "visibilities": [1]}],
    "products": [{"id": 7, "description": "L200", "categories": [10]},
                 {"id": 8, "description": "L300", "categories": [10]}]})";
  ASSERT_EQ(Run({"catalog", "load", catalog.string()}).status, 0);
  ASSERT_EQ(Run({"call", "TSDOM.CreateEmptyTree", "[1, 7]"}).status, 0);
  ASSERT_EQ(Run({"call", "TSDOM.CheckOut", R"([1, 7, "ann"])"}).status, 0);
  ASSERT_EQ(Run({"call", "TSDOM.AddChildNew", R"([1, 7, 0, 1, "Jams", "", ";1;", ";", -1, "ann"])"}).status, 0);
  ASSERT_EQ(Run({"call", "TSDOM.Publish", "[1, 7]"}).status, 0);

  const fs::path file = scratch_ / "tree.json";
  Outcome o = Run({"export", "product/7", "--output", file.string()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "");
  const std::string exported = test::ReadAll(file);
  EXPECT_NE(exported.find(R"("short": "Jams")"), std::string::npos) << exported;

  o = Run({"import", file.string(), "--as", "1/8"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find(R"("nodes": 1)"), std::string::npos) << o.out;
  o = Run({"export", "1/8"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find(R"("short": "Jams")"), std::string::npos) << o.out;

  // A second import under the same identifier and a file of a later format
  // are refused with their numbers.
  o = Run({"import", file.string(), "--as", "1/8"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("error 1204"), std::string::npos) << o.err;
  std::string later = exported;
  later.replace(later.find(R"("formatVersion": 1)"), 18, R"("formatVersion": 2)");
  std::ofstream(file, std::ios::trunc) << later;
  o = Run({"import", file.string(), "--as", "1/9"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("error 1411"), std::string::npos) << o.err;
}

}  // namespace
}  // namespace tsa
