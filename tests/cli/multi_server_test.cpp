// Three engine servers, each with a data folder of its own, on one
// PostgreSQL database holding the documents, driven round-robin as a load
// balancer would: in sequence, several trees at once, one tree from several
// clients, through kills of each server in turn and the web-farm mode
// switched on and off. Nothing a server acknowledged is lost, and every
// server serves the same documents, equal to the rows.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "cli/tool_process.h"
#include "runtime/error.h"
#include "server/rpc_client.h"
#include "storage/tree_types.h"
#include "support/consistency.h"
#include "support/test_env.h"
#include "support/tree_fixture.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace tsa {
namespace {

constexpr const char* kToken = "multi-server-test-token-0123456789";

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

struct Server {
  pid_t pid = -1;
  int port = 0;
  fs::path dataDir;
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port); }
};

// What the servers acknowledged: node -> short description, per tree.
struct Acknowledged {
  std::mutex mutex;
  std::map<int32_t, std::map<int32_t, std::string>> texts;
  std::atomic<int> answered{0};
  std::atomic<int> unanswered{0};  // the server died under the call
  void Add(int32_t tree, int32_t node, const std::string& text) {
    std::lock_guard lock(mutex);
    texts[tree][node] = text;
  }
};

class MultiServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::TestEnv::IsPostgres()) {
      GTEST_SKIP() << "several servers on one database with the documents in it need PostgreSQL; "
                      "on SQLite the documents are files of one machine";
    }
    for (int i = 0; i < 3; ++i) {
      Server s;
      s.dataDir = fs::path(testEnv_.DataDir()) / ("server" + std::to_string(i));
      fs::create_directories(s.dataDir);
      servers_.push_back(s);
      Start(i);
    }
  }

  void TearDown() override {
    for (Server& s : servers_) Stop(s, SIGTERM);
  }

  void Start(int i) {
    Server& s = servers_[static_cast<size_t>(i)];
    // A restarted server listens where it did: clients keep its address.
    if (s.port == 0) s.port = FreePort();
    ASSERT_GT(s.port, 0);
    s.pid = test::SpawnTool({"serve"}, s.dataDir.string(), testEnv_, s.dataDir / "out.txt", s.dataDir / "err.txt",
                            {"TSAUTHOR_PORT=" + std::to_string(s.port), std::string("TSAUTHOR_TOKEN=") + kToken,
                             "TSAUTHOR_THREADS=4"});
    ASSERT_GT(s.pid, 0);
    for (int attempt = 0; attempt < 200; ++attempt) {
      httplib::Client c("127.0.0.1", s.port);
      c.set_connection_timeout(1, 0);
      if (auto r = c.Get("/health/live"); r && r->status == 200) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FAIL() << "server " << i << " did not start: " << test::ReadAll(s.dataDir / "err.txt");
  }

  static void Stop(Server& s, int signal) {
    if (s.pid <= 0) return;
    ::kill(s.pid, signal);
    int status = 0;
    ::waitpid(s.pid, &status, 0);
    s.pid = -1;
  }

  json Call(int server, const std::string& method, const json& params) {
    server::RemoteOptions options;
    options.connectTimeoutSeconds = 2;
    options.timeoutSeconds = 60;
    return server::CallRemote(servers_[static_cast<size_t>(server)].Url(), method, params, kToken, options);
  }

  int32_t AddChild(int server, int32_t tree, int32_t parent, const std::string& text, const std::string& user) {
    json r = Call(server, "TSDOM.AddChildNew",
                  {{"i_lTreeType", 1}, {"i_lID", tree}, {"i_lCurrentNodeID", parent},
                   {"i_lRepType", parent == 0 ? storage::kRepCategory : storage::kRepQuestion},
                   {"i_sSDesc", text}, {"i_sLDesc", ""}, {"i_sVisibilities", ";"}, {"i_sFAQs", ";"},
                   {"i_lHyperlinkNodeID", -1}, {"i_sUserId", user}});
    return r.is_object() && r.contains("return") ? r["return"].get<int32_t>() : r.get<int32_t>();
  }

  void SaveText(int server, int32_t tree, int32_t node, const std::string& text, const std::string& user) {
    auto row = test::ReadRow(storage::kProductTree, tree, node, true);
    ASSERT_TRUE(row);
    Call(server, "TSDOM.SaveNode",
         {{"i_lTreeType", 1}, {"i_lID", tree}, {"i_lNodeID", node}, {"i_lRepID", row->repId}, {"i_sSDesc", text},
          {"i_sLDesc", ""}, {"i_bPropogateContent", false}, {"i_sVisibilities", ";"},
          {"i_bPropogateVisibDown", false}, {"i_sFAQs", ";"}, {"i_lHyperlinkNodeID", -1}, {"i_sUserId", user}});
  }

  // The document of a tree as `user` sees it, read through a server.
  std::string Document(int server, int32_t tree, const std::string& user) {
    httplib::Client c("127.0.0.1", servers_[static_cast<size_t>(server)].port);
    c.set_bearer_token_auth(kToken);
    auto r = c.Get("/trees/1/" + std::to_string(tree) + "/document?user=" + user);
    if (!r || r->status != 200) {
      ADD_FAILURE() << "server " << server << " did not answer the document of tree " << tree;
      return {};
    }
    return r->body;
  }

  // Every server serves the same copy of the tree, equal to its rows, with
  // every acknowledged node and its acknowledged text.
  void ExpectServedAlike(int32_t tree, const std::string& user, bool workingCopy) {
    ASSERT_TRUE(test::TreeCopyIsConsistent(storage::kProductTree, tree, workingCopy)) << "tree " << tree;
    const std::string first = Document(0, tree, user);
    for (int s = 1; s < 3; ++s) EXPECT_EQ(Document(s, tree, user), first) << "server " << s << ", tree " << tree;
    XmlDoc doc = test::LoadDocument(storage::kProductTree, tree, workingCopy);
    std::lock_guard lock(acknowledged_.mutex);
    for (const auto& [node, text] : acknowledged_.texts[tree]) {
      XmlElement e = doc.DocumentElement().SelectSingleNode(".//Node[@NID='" + std::to_string(node) + "']/sd");
      ASSERT_FALSE(e.IsNull()) << "tree " << tree << ": node " << node << " was acknowledged and is lost";
      EXPECT_EQ(e.Text(), text) << "tree " << tree << ", node " << node;
    }
  }

  test::TestEnv testEnv_;
  std::vector<Server> servers_;
  Acknowledged acknowledged_;
};

TEST_F(MultiServerTest, RoundRobinEditsKillsAndWebFarmSwitchesLoseNothingAndEveryServerServesTheRows) {
  const std::vector<int32_t> trees{7, 8, 9};
  for (int32_t t : trees) test::CreateProductTree(t);
  int next = 0;  // the server the next call goes to
  auto rr = [&] { return next++ % 3; };
  for (size_t i = 0; i < trees.size(); ++i) {
    json r = Call(rr(), "TSDOM.CheckOut", {{"i_lTreeType", 1}, {"i_lID", trees[i]}, {"i_sUserId", "ann"}});
    ASSERT_EQ(r["o_sOwner"], "") << r.dump();
  }

  // In sequence: each call on the next server, which must see the last
  // one's document (a stale copy would lose nodes or fail on a parent it
  // does not know).
  std::vector<int32_t> nodes;
  for (int i = 0; i < 45; ++i) {
    const int32_t parent = nodes.empty() || i % 3 == 0 ? 0 : nodes[static_cast<size_t>(i) % nodes.size()];
    const std::string text = "seq" + std::to_string(i);
    int32_t node = AddChild(rr(), 7, parent, text, "ann");
    acknowledged_.Add(7, node, text);
    nodes.push_back(node);
    if (i % 5 == 4) {
      const int32_t changed = nodes[static_cast<size_t>(i) / 2];
      SaveText(rr(), 7, changed, "changed" + std::to_string(i), "ann");
      acknowledged_.Add(7, changed, "changed" + std::to_string(i));
      Call(rr(), "TSDOM.MoveNode",
           {{"i_lTreeType", 1}, {"i_lID", 7}, {"i_lNodeID", node}, {"i_lDirection", 1}, {"i_sUserId", "ann"}});
    }
  }
  ExpectServedAlike(7, "ann", true);

  // Several trees at once, and then one tree from several clients; each
  // client sends its calls round-robin from its own starting server.
  auto burst = [&](const std::vector<int32_t>& treeOfClient, int calls, const std::string& tag) {
    std::vector<std::thread> clients;
    std::atomic<int> failures{0};
    for (size_t c = 0; c < treeOfClient.size(); ++c) {
      clients.emplace_back([&, c] {
        for (int i = 0; i < calls; ++i) {
          const std::string text = tag + "-c" + std::to_string(c) + "-" + std::to_string(i);
          try {
            int32_t node = AddChild(static_cast<int>((c + static_cast<size_t>(i)) % 3), treeOfClient[c], 0, text,
                                    "ann");
            acknowledged_.Add(treeOfClient[c], node, text);
            ++acknowledged_.answered;
          } catch (const Error& e) {
            ++failures;
            ADD_FAILURE() << text << ": " << e.number() << " " << e.description();
          }
        }
      });
    }
    for (auto& t : clients) t.join();
    return failures.load();
  };
  EXPECT_EQ(burst(trees, 20, "trees"), 0);
  EXPECT_EQ(burst({8, 8, 8}, 20, "one"), 0);
  for (int32_t t : trees) ExpectServedAlike(t, "ann", true);

  // Kill -9 of each server in turn in the middle of a burst: the calls it
  // held are not acknowledged; everything acknowledged stays.
  for (int round = 0; round < 3; ++round) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 3; ++c) {
      clients.emplace_back([&, c] {
        for (int i = 0; !stop; ++i) {
          const std::string text = "kill" + std::to_string(round) + "-c" + std::to_string(c) + "-" + std::to_string(i);
          const int32_t tree = trees[static_cast<size_t>(c)];
          try {
            int32_t node = AddChild((c + i) % 3, tree, 0, text, "ann");
            acknowledged_.Add(tree, node, text);
            ++acknowledged_.answered;
          } catch (const Error&) {
            ++acknowledged_.unanswered;
          }
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    Stop(servers_[static_cast<size_t>(round)], SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Start(round);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    for (auto& t : clients) t.join();
    for (int32_t t : trees) ExpectServedAlike(t, "ann", true);
  }
  EXPECT_GT(acknowledged_.unanswered.load(), 0) << "no call was under way when the servers were killed";
  std::printf("kill -9 rounds: %d calls answered, %d calls cut off by a kill, 0 acknowledged calls lost\n",
              acknowledged_.answered.load(), acknowledged_.unanswered.load());

  // The web-farm mode switched on and off between calls: the shared folder
  // is written, never read over the database's newer documents.
  const fs::path shared = fs::path(testEnv_.DataDir()) / "shared";
  fs::create_directories(shared);
  test::SetParameter("FTPPath", shared.string());
  for (int phase = 0; phase < 4; ++phase) {
    test::SetParameter("Webfarm Implemented", phase % 2 == 0 ? "True" : "False");
    for (int i = 0; i < 6; ++i) {
      const std::string text = "farm" + std::to_string(phase) + "-" + std::to_string(i);
      int32_t node = AddChild(rr(), 9, 0, text, "ann");
      acknowledged_.Add(9, node, text);
      if (i % 2 == 1) {
        Call(rr(), "TSDOM.MoveNode",
             {{"i_lTreeType", 1}, {"i_lID", 9}, {"i_lNodeID", node}, {"i_lDirection", 1}, {"i_sUserId", "ann"}});
      }
    }
    ExpectServedAlike(9, "ann", true);
  }

  // Published through one server, read through each.
  for (int32_t t : trees) Call(rr(), "TSDOM.Publish", {{"i_lTreeType", 1}, {"i_lID", t}});
  for (int32_t t : trees) ExpectServedAlike(t, "ann", false);
}

}  // namespace
}  // namespace tsa
