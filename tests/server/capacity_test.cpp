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
#include "accounts/service_db.h"
#include "accounts/tokens.h"
#include "platform/db/lock_wait.h"
#include "platform/db/session.h"
#include "runtime/settings.h"
#include "server/http_server.h"
#include "support/loopback.h"
#include "support/test_env.h"
#include "support/tree_fixture.h"

namespace tsa::server {
namespace {

using nlohmann::json;

std::string Call(const std::string& method, const json& params, int id = 1) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
}

using test::Connect;

// Sends one request and reads one answer with its body (Content-Length framed).
std::string Exchange(int fd, const std::string& request) {
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string out;
  char buf[8192];
  for (;;) {
    const size_t head = out.find("\r\n\r\n");
    if (head != std::string::npos) {
      const size_t at = out.find("Content-Length: ");
      const size_t length = at == std::string::npos ? 0 : std::stoul(out.substr(at + 16));
      if (out.size() >= head + 4 + length) return out;
    }
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
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
  s.lockWaitSeconds = 60;
  SetCurrentSettings(s);
  ServiceOptions o;
  o.threads = 4;  // at most 2 writers wait out the lock
  Start(o);
  test::CreateProductTree(7);

  auto holder = std::make_unique<LockHolder>(env.HelvixUri(), 1, 7);
  constexpr int kWriters = 8;  // twice the workers
  std::atomic<int> busy{0};
  std::atomic<int> done{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i) {
    writers.emplace_back([&, i] {
      auto res = Post(Call("Tree.CheckOut", {1, 7, "ann", ""}, i));
      if (res && res->status == 503 && res->get_header_value("Retry-After") == "1" &&
          json::parse(res->body)["error"]["code"] == err::DatabaseBusy) {
        ++busy;
      } else if (res && res->status == 200 && !json::parse(res->body).contains("error")) {
        ++done;
      } else {
        ADD_FAILURE() << (res ? std::to_string(res->status) + " " + res->body : std::string("no answer"));
      }
    });
  }
  for (int i = 0; i < 2000 && db::WaitingNow() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_GE(db::WaitingNow(), 2);
  // The other writers' requests arrive meanwhile and queue before the call below.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  // A call that needs no database is answered while the lock is still held
  // (with every worker waiting it would come after the 60 s deadline).
  httplib::Client c("127.0.0.1", service->Port());
  c.set_read_timeout(20, 0);
  c.set_bearer_token_auth(token);
  auto res = c.Post("/rpc", Call("TSDOM.AppendVisibilityInOrder", {{"sTempArr", ";1;3;"}, {"sVisibility", "2"}}),
                    "application/json");
  ASSERT_TRUE(res) << "no answer while the lock was held";
  EXPECT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(json::parse(res->body)["result"], ";1;2;3;") << res->body;

  // The writers beyond the two were answered busy; the two get the lock once it is free.
  holder->Release();
  for (auto& t : writers) t.join();
  EXPECT_EQ(busy.load(), kWriters - 2);
  EXPECT_EQ(done.load(), 2);

  // A writer that waits out the deadline is answered busy too.
  s.lockWaitSeconds = 1;
  SetCurrentSettings(s);
  holder = std::make_unique<LockHolder>(env.HelvixUri(), 1, 7);
  auto late = Post(Call("Tree.CheckOut", {1, 7, "ann", ""}));
  ASSERT_TRUE(late);
  EXPECT_EQ(late->status, 503) << late->body;
  EXPECT_EQ(late->get_header_value("Retry-After"), "1");
  EXPECT_EQ(json::parse(late->body)["error"]["code"], err::DatabaseBusy) << late->body;
  holder->Release();
}

TEST(ConnectionCaps, DerivedCapsFitTheFileLimitAndKeepRoomForSignedInClients) {
  for (size_t files : {size_t{256}, size_t{1024}, size_t{4096}, size_t{1} << 20}) {
    const ConnectionCaps c = CapsForFileLimit(files, 0, 0);
    EXPECT_LE(c.total + c.probation + c.refusing + 128, std::max<size_t>(files, 192)) << files;
    EXPECT_LT(c.unauthenticated, c.total) << files;
    EXPECT_GE(c.perAddress, 8u) << files;
    EXPECT_LE(c.perAddress, c.unauthenticated) << files;
  }
  EXPECT_EQ(CapsForFileLimit(size_t{1} << 20, 0, 0).total, 16384u);
  EXPECT_EQ(CapsForFileLimit(size_t{1} << 20, 0, 0).perAddress, 256u);
  // Given caps are kept, unless the total does not fit.
  EXPECT_EQ(CapsForFileLimit(size_t{1} << 20, 100, 7).total, 100u);
  EXPECT_EQ(CapsForFileLimit(size_t{1} << 20, 100, 7).perAddress, 7u);
  EXPECT_LT(CapsForFileLimit(1024, 2048, 0).total, 1024u);
}

TEST_F(CapacityTest, ConnectionsHeldOpenFromOneAddressDoNotKeepOutAClientThatSignsIn) {
  ServiceOptions o;
  o.maxConnections = 2048;
  o.maxConnectionsPerAddress = 256;
  o.headerTimeoutSeconds = 3600;  // the held connections stay until closed here
  o.requestTimeoutSeconds = 3600;
  o.keepAliveTimeoutSeconds = 3600;
  Start(o);
  const int port = service->Port();
  const std::string call = Call("TSDOM.AppendVisibilityInOrder", {{"sTempArr", ";1;"}, {"sVisibility", "2"}});
  const std::string signedIn = "POST /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token +
                               "\r\nContent-Type: application/json\r\nContent-Length: " +
                               std::to_string(call.size()) + "\r\n\r\n" + call;

  // A kept-alive connection that signed in before the others came.
  const int early = Connect(port, "127.0.0.2");
  EXPECT_EQ(Exchange(early, signedIn).rfind("HTTP/1.1 200", 0), 0u);

  std::vector<int> held;
  for (int i = 0; i < 256; ++i) held.push_back(Connect(port, "127.0.0.2"));
  // (The service accepts in order: those are in before the next one is.)

  // A new connection from the same address that signs in is served, ...
  const int late = Connect(port, "127.0.0.2");
  std::string answer = Exchange(late, signedIn);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  EXPECT_NE(answer.find(";1;2;"), std::string::npos) << answer;
  // ... and stays served.
  answer = Exchange(late, signedIn);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  EXPECT_EQ(Exchange(early, signedIn).rfind("HTTP/1.1 200", 0), 0u);

  // One that does not sign in is refused, and so is one that sends nothing.
  const int anonymous = Connect(port, "127.0.0.2");
  answer = Exchange(anonymous, "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.1 503", 0), 0u) << answer;
  EXPECT_NE(answer.find("Retry-After: 1"), std::string::npos) << answer;
  const int silent = Connect(port, "127.0.0.2");
  answer = Exchange(silent, "");
  EXPECT_EQ(answer.rfind("HTTP/1.1 503", 0), 0u) << answer;

  // Other addresses are not held up.
  const int other = Connect(port, "127.0.0.3");
  answer = Exchange(other, "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;

  for (int fd : held) ::close(fd);
  for (int fd : {early, late, anonymous, silent, other}) ::close(fd);
}

// Signing in writes a session row; with the write lock held elsewhere the
// browser is told to try again, not that the server failed.
TEST_F(CapacityTest, ASignInThatCannotGetTheWriteLockIsAnsweredBusy) {
  if (test::TestEnv::IsPostgres()) GTEST_SKIP() << "PostgreSQL has no database-wide write lock to hold";
  accounts::CreateAccount("bob", "Bob", accounts::Role::Author, "bobs password");
  Settings s = CurrentSettings();
  s.lockWaitSeconds = 1;
  SetCurrentSettings(s);
  Start(ServiceOptions{});
  httplib::Client c("127.0.0.1", service->Port());
  c.set_read_timeout(30, 0);
  const std::string body = R"({"login":"bob","password":"bobs password"})";

  auto holder = std::make_unique<LockHolder>(env.HelvixUri(), 1, 7);
  auto busy = c.Post("/auth/login", body, "application/json");
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->status, 503) << busy->body;
  EXPECT_EQ(busy->get_header_value("Retry-After"), "1");
  EXPECT_EQ(json::parse(busy->body)["error"]["number"], err::DatabaseBusy) << busy->body;

  holder->Release();
  auto signedIn = c.Post("/auth/login", body, "application/json");
  ASSERT_TRUE(signedIn);
  EXPECT_EQ(signedIn->status, 200) << signedIn->body;
}

// A session's last-seen time is refreshed on a thread that serves every
// connection: while another connection holds the write lock the refresh is
// skipped, not waited for.
TEST_F(CapacityTest, ASessionCheckDoesNotWaitForTheWriteLock) {
  if (test::TestEnv::IsPostgres()) GTEST_SKIP() << "PostgreSQL has no database-wide write lock to hold";
  accounts::CreateAccount("bob", "Bob", accounts::Role::Author, "bobs password");
  Settings s = CurrentSettings();
  s.lockWaitSeconds = 60;
  SetCurrentSettings(s);
  Start(ServiceOptions{});
  httplib::Client c("127.0.0.1", service->Port());
  c.set_read_timeout(15, 0);
  auto signedIn = c.Post("/auth/login", R"({"login":"bob","password":"bobs password"})", "application/json");
  ASSERT_TRUE(signedIn);
  ASSERT_EQ(signedIn->status, 200) << signedIn->body;
  const std::string setCookie = signedIn->get_header_value("Set-Cookie");
  const std::string cookie = setCookie.substr(0, setCookie.find(';'));
  auto lastSeen = [] {
    accounts::ServiceDb db;
    return db.Query("SELECT LASTSEEN FROM AUTHSESSIONS").rows.at(0).at(0).ToInt64();
  };
  {
    accounts::ServiceDb db;
    db.Execute("UPDATE AUTHSESSIONS SET LASTSEEN = LASTSEEN - 120");
  }
  const int64_t stale = lastSeen();
  auto holder = std::make_unique<LockHolder>(env.HelvixUri(), 1, 7);
  auto me = c.Get("/auth/me", {{"Cookie", cookie}});
  ASSERT_TRUE(me) << "no answer while another connection held the write lock";
  EXPECT_EQ(me->status, 200) << me->body;
  holder->Release();
  EXPECT_EQ(lastSeen(), stale);
  me = c.Get("/auth/me", {{"Cookie", cookie}});
  ASSERT_TRUE(me);
  EXPECT_EQ(me->status, 200) << me->body;
  EXPECT_GE(lastSeen(), stale + 100) << "refreshed once the lock is free";
}

}  // namespace
}  // namespace tsa::server
