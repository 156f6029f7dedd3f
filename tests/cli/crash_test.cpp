// The tool killed at random moments while it edits a tree, several copies
// of it at once on one data folder: what a call reported as done stays,
// nothing is half done, and recovery finishes what a killed call committed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/tool_process.h"
#include "platform/files/document_store.h"
#include "runtime/context.h"
#include "storage/tree_types.h"
#include "support/consistency.h"
#include "support/test_env.h"
#include "support/tree_fixture.h"

namespace fs = std::filesystem;

namespace tsa {
namespace {

// One run of the tool on the test's own data folder and databases.
struct Child {
  pid_t pid = -1;
  fs::path out;
  std::string text;  // the short description it adds
};

class CliCrashTest : public ::testing::Test {
 protected:
  Child Spawn(const std::vector<std::string>& args, const std::string& text) {
    Child c;
    c.text = text;
    c.out = scratch_ / ("out-" + std::to_string(++spawned_));
    c.pid = test::SpawnTool(args, testEnv_.DataDir(), testEnv_, c.out, {});
    return c;
  }

  test::TestEnv testEnv_;
  fs::path scratch_ = fs::path(testEnv_.DataDir()) / "crash";
  int spawned_ = 0;

  void SetUp() override { fs::create_directories(scratch_); }
};

TEST_F(CliCrashTest, CallsKilledAtRandomMomentsLoseNothingCommittedAndLeaveNothingHalfDone) {
  constexpr int32_t kTree = 7;
  constexpr int kRounds = 12, kAtOnce = 3;
  test::CreateProductTree(kTree);
  ASSERT_EQ(test::CheckOut(storage::kProductTree, kTree, "ann"), "");

  std::mt19937 rng(std::random_device{}());
  std::map<int32_t, std::string> answered;  // node -> short description
  int killed = 0;
  // How long a call lives on this machine, so that the kills land inside
  // it rather than after it.
  int lifetimeMs = 0;
  {
    const auto started = std::chrono::steady_clock::now();
    Child probe = Spawn({"call", "TSDOM.AddChildNew",
                         R"({"i_lTreeType":1,"i_lID":7,"i_lCurrentNodeID":0,"i_lRepType":1,"i_sSDesc":"probe",)"
                         R"("i_sLDesc":"","i_sVisibilities":";","i_sFAQs":";","i_lHyperlinkNodeID":-1,"i_sUserId":"ann"})"},
                        "probe");
    ASSERT_GT(probe.pid, 0);
    int status = 0;
    ::waitpid(probe.pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << test::ReadAll(probe.out);
    answered[std::stoi(test::ReadAll(probe.out))] = probe.text;
    lifetimeMs = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
  }
  for (int round = 0; round < kRounds; ++round) {
    std::vector<Child> children;
    for (int i = 0; i < kAtOnce; ++i) {
      std::string text = "r" + std::to_string(round) + "c" + std::to_string(i);
      children.push_back(Spawn({"call", "TSDOM.AddChildNew",
                                R"({"i_lTreeType":1,"i_lID":7,"i_lCurrentNodeID":0,"i_lRepType":1,"i_sSDesc":")" +
                                    text +
                                    R"(","i_sLDesc":"","i_sVisibilities":";","i_sFAQs":";","i_lHyperlinkNodeID":-1,"i_sUserId":"ann"})"},
                               text));
      ASSERT_GT(children.back().pid, 0);
    }
    // Most of a call's time goes to starting up; the kills land anywhere
    // from there to the commit and the files put in place after it.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(1, std::max(2, lifetimeMs))(rng)));
    for (size_t i = 0; i < children.size(); ++i) {
      if (i % 2 == static_cast<size_t>(round % 2)) ::kill(children[i].pid, SIGKILL);
    }
    for (const Child& c : children) {
      int status = 0;
      ::waitpid(c.pid, &status, 0);
      if (WIFSIGNALED(status)) {
        ++killed;
        continue;
      }
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ": " << test::ReadAll(c.out);
      answered[std::stoi(test::ReadAll(c.out))] = c.text;
    }
    // A killed call may have committed without putting its files in
    // place: recovery, or the next transaction that uses the document,
    // finishes that.
    if (round % 3 == 2) {
      RecoverDocumentStore();
      ASSERT_TRUE(test::TreeIsConsistent(storage::kProductTree, kTree, "ann")) << "after round " << round;
    } else {
      ::testing::AssertionResult consistent = ::testing::AssertionSuccess();
      RunTransactional([&] { consistent = test::TreeIsConsistent(storage::kProductTree, kTree, "ann"); });
      ASSERT_TRUE(consistent) << "after round " << round;
    }
  }
  RecoverDocumentStore();
  test::ExpectTreeConsistent(storage::kProductTree, kTree, "ann");
  EXPECT_GT(killed, 0);
  XmlDoc doc = test::LoadDocument(storage::kProductTree, kTree, true);
  for (const auto& [node, text] : answered) {
    XmlElement e = doc.DocumentElement().SelectSingleNode("./Node[@NID='" + std::to_string(node) + "']/sd");
    ASSERT_FALSE(e.IsNull()) << "node " << node << " (" << text << ") was answered but is lost";
    EXPECT_EQ(e.Text(), text);
  }
}

}  // namespace
}  // namespace tsa
