// What one client holding a resource leaves the others: a lock held on the
// database by another connection, and connections held open from one
// address. Through real HTTP and the real classes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "accounts/accounts.h"
#include "accounts/tokens.h"
#include "platform/db/lock_wait.h"
#include "platform/db/session.h"
#include "runtime/settings.h"
#include "server/http_server.h"
#include "support/test_env.h"
#include "support/tree_fixture.h"

namespace tsa::server {
namespace {

using nlohmann::json;

std::string Call(const std::string& method, const json& params, int id = 1) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
}

// Holds the write lock of the service database the way another process
// would: SQLite's lock through a connection of its own, on PostgreSQL the
// lock of one tree.
class LockHolder {
 public:
  LockHolder(const std::string& uri, int32_t treeType, int32_t id) {
    if (test::TestEnv::IsPostgres()) {
      session_ = db::OpenSession(uri);
      session_->Begin();
      session_->LockKey(treeType, id);
      return;
    }
    const std::string path = uri.substr(uri.find(':') + 1);
    if (sqlite3_open_v2(path.c_str(), &sqlite_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "cannot open " << path;
      return;
    }
    EXPECT_EQ(sqlite3_exec(sqlite_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  ~LockHolder() { Release(); }
  void Release() {
    if (session_) session_->Rollback();
    session_.reset();
    if (sqlite_) {
      sqlite3_exec(sqlite_, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close_v2(sqlite_);
      sqlite_ = nullptr;
    }
  }

 private:
  std::unique_ptr<db::Session> session_;
  sqlite3* sqlite_ = nullptr;
};

class CapacityTest : public ::testing::Test {
 protected:
  CapacityTest() : saved(CurrentSettings()) {
    accounts::CreateAccount("ann", "Ann", accounts::Role::Admin, "");
    token = accounts::CreateToken("ann", "tests").token;
  }
  ~CapacityTest() override {
    service.reset();
    db::LimitWaiters(0);
    SetCurrentSettings(saved);
  }

  void Start(ServiceOptions o) {
    o.listenAddress = "127.0.0.1";
    o.port = 0;
    o.dataDir = env.DataDir();
    o.accessLog = [](const std::string&) {};
    service = std::make_unique<HttpService>(std::move(o));
    service->Start();
  }

  httplib::Result Post(const std::string& body) {
    httplib::Client c("127.0.0.1", service->Port());
    c.set_read_timeout(120, 0);
    c.set_bearer_token_auth(token);
    return c.Post("/rpc", body, "application/json");
  }

  test::TestEnv env;
  Settings saved;
  std::string token;
  std::unique_ptr<HttpService> service;
};

TEST_F(CapacityTest, AStalledWriteLockHoldsOnlyTheWritersAndTheyAreAnsweredBusy) {
  Settings s = CurrentSettings();
  s.lockWaitSeconds = 4;
  SetCurrentSettings(s);
  ServiceOptions o;
  o.threads = 4;  // at most 2 writers wait out the lock
  Start(o);
  test::CreateProductTree(7);

  auto holder = std::make_unique<LockHolder>(env.HelvixUri(), 1, 7);
  constexpr int kWriters = 8;  // twice the workers
  std::atomic<int> pending{kWriters};
  std::atomic<int> answeredBusy{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i) {
    writers.emplace_back([&, i] {
      auto res = Post(Call("Tree.CheckOut", {1, 7, "ann", ""}, i));
      if (res && res->status == 503 && res->get_header_value("Retry-After") == "1" &&
          json::parse(res->body)["error"]["code"] == err::DatabaseBusy) {
        ++answeredBusy;
      } else {
        ADD_FAILURE() << (res ? std::to_string(res->status) + " " + res->body : std::string("no answer"));
      }
      --pending;
    });
  }
  // Wait until the writers that may wait out the deadline are waiting.
  for (int i = 0; i < 2000 && db::WaitingNow() < db::Waiters(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_GE(db::WaitingNow(), db::Waiters());

  // A call that needs no database is answered while they still wait.
  auto res = Post(Call("TSDOM.AppendVisibilityInOrder", {{"sTempArr", ";1;3;"}, {"sVisibility", "2"}}));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200) << res->body;
  EXPECT_TRUE(json::parse(res->body).contains("result")) << res->body;
  EXPECT_GE(pending.load(), db::Waiters()) << "the call waited for the writers";

  for (auto& t : writers) t.join();
  EXPECT_EQ(answeredBusy.load(), kWriters);

  // Once the lock is free, writing works again at once.
  holder->Release();
  auto written = Post(Call("Tree.CheckOut", {1, 7, "ann", ""}));
  ASSERT_TRUE(written);
  EXPECT_EQ(written->status, 200) << written->body;
  EXPECT_FALSE(json::parse(written->body).contains("error")) << written->body;
}

}  // namespace
}  // namespace tsa::server
