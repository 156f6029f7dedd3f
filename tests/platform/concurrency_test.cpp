// Transaction contexts of several threads on one service database, on
// every backend: key locks serialise writers of one tree, the check-out
// record admits one holder, and a failed statement never ends in a commit
// that silently lost writes.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/session.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "support/test_env.h"

namespace tsa {
namespace {

// Collects failures of worker threads for the test's own thread to report.
class Failures {
 public:
  template <class F>
  void Run(F&& f) {
    try {
      f();
    } catch (const Error& e) {
      Add(std::to_string(e.number()) + " " + e.description());
    } catch (const std::exception& e) {
      Add(e.what());
    }
  }
  void Add(std::string s) {
    std::lock_guard lock(mutex_);
    list_.push_back(std::move(s));
  }
  std::vector<std::string> List() {
    std::lock_guard lock(mutex_);
    return list_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> list_;
};

// A one-shot signal between two threads.
class Signal {
 public:
  void Raise() {
    std::lock_guard lock(mutex_);
    set_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

class ConcurrencyTest : public ::testing::Test {
 protected:
  void Exec(const std::string& sql) {
    auto c = GetHelvixConnection();
    c->Execute(sql);
    CloseConnection(c);
  }
  int64_t Count(const std::string& sql) {
    auto s = db::SessionPool::Instance().Acquire(env.HelvixUri());
    return s->Query(sql).rows.at(0).at(0).ToInt64();
  }
  // PostgreSQL: waits until some other session waits for a lock (or the
  // other thread is done), so that a commit that follows really releases a
  // waiter. Elsewhere nothing to do.
  void AwaitLockWaiter(const std::atomic<bool>& otherDone) {
    if (!test::TestEnv::IsPostgres()) return;
    while (!otherDone && Count("SELECT COUNT(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock'"
                               " AND datname = current_database()") == 0) {
      std::this_thread::yield();
    }
  }

  test::TestEnv env;
};

TEST_F(ConcurrencyTest, KeyLocksSerialiseReadModifyWrite) {
  Exec("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES ('counter', '0', 'Number')");
  constexpr int kRounds = 25;
  Failures failures;
  // Read, then write what was read plus one: without the lock two writers
  // that read the same value lose one increment.
  auto worker = [&] {
    failures.Run([&] {
      for (int i = 0; i < kRounds; ++i) {
        RunTransactional([&] {
          db::LockKey(*GetObjectContext(), env.HelvixUri(), 1, 4711);
          int n = std::stoi(GetParamValue("counter"));
          Exec("UPDATE PARAMETERS SET PARAM_VALUE = '" + std::to_string(n + 1) + "' WHERE PARAM_NAME = 'counter'");
        });
      }
    });
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_TRUE(failures.List().empty()) << failures.List().front();
  EXPECT_EQ(GetParamValue("counter"), std::to_string(2 * kRounds));
}

TEST_F(ConcurrencyTest, TheSecondLockHolderSeesTheFirstOnesCommit) {
  Failures failures;
  std::atomic<bool> secondDone{false};
  std::string seen;
  std::thread second;
  RunTransactional([&] {
    db::LockKey(*GetObjectContext(), env.HelvixUri(), 2, 9);
    Exec("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES ('first', 'done', 'String')");
    second = std::thread([&] {
      failures.Run([&] {
        RunTransactional([&] {
          db::LockKey(*GetObjectContext(), env.HelvixUri(), 2, 9);  // waits for the commit below
          seen = GetParamValue("first");
        });
      });
      secondDone = true;
    });
    AwaitLockWaiter(secondDone);
  });
  second.join();
  EXPECT_TRUE(failures.List().empty()) << failures.List().front();
  EXPECT_EQ(seen, "done");
}

TEST_F(ConcurrencyTest, SimultaneousCheckOutRecordsAdmitOneHolder) {
  Signal firstInserted;
  std::atomic<bool> secondDone{false};
  Failures failures;
  std::atomic<int> committed{0};
  std::atomic<int32_t> loserNumber{0};
  auto insert = [&](const std::string& login) {
    Exec("Insert into TSCHANGECONTROL (ID, TREETEM, LOGIN, TDATE, COMMENT) Values (7,1," + FormatSqlText(login) + "," +
         FormatSqlTimestamp(2024, 1, 2, 3, 4, 5) + ",'Checked out')");
  };
  auto attempt = [&](const std::string& login, bool first) {
    try {
      RunTransactional([&] {
        insert(login);
        if (first) {
          firstInserted.Raise();
          AwaitLockWaiter(secondDone);  // the other insert waits on this uncommitted row
        }
      });
      ++committed;
    } catch (const Error& e) {
      loserNumber = e.number();
    } catch (const std::exception& e) {
      failures.Add(e.what());
    }
  };
  std::thread a([&] { attempt("ann", true); });
  firstInserted.Wait();
  std::thread b([&] {
    attempt("bob", false);
    secondDone = true;
  });
  a.join();
  b.join();
  EXPECT_TRUE(failures.List().empty()) << failures.List().front();
  EXPECT_EQ(committed.load(), 1);
  EXPECT_EQ(loserNumber.load(), err::DbConstraintViolation);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM TSCHANGECONTROL WHERE ID = 7 AND TREETEM = 1 AND LOGIN = 'ann'"), 1);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM TSCHANGECONTROL"), 1);
}

TEST_F(ConcurrencyTest, ACaughtStatementFailureNeverEndsInASilentlyLostCommit) {
  auto insert = [&](const std::string& name) {
    Exec("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES (" + FormatSqlText(name) +
         ", 'v', 'String')");
  };
  bool returned = false;
  int32_t number = 0;
  std::string description;
  try {
    RunTransactional([&] {
      insert("kept");
      try {
        Exec("INSERT INTO NO_SUCH_TABLE VALUES (1)");
      } catch (const Error&) {
        // Swallowed: the body goes on and votes for a commit.
      }
      CompleteTransaction();
    });
    returned = true;
  } catch (const Error& e) {
    number = e.number();
    description = e.description();
  }
  EXPECT_EQ(GetObjectContext(), nullptr);
  // Either the commit happened with the row, or the call failed without it.
  EXPECT_EQ(returned, GetParamValue("kept") == "v");
  if (test::TestEnv::IsPostgres()) {
    // The failed statement ended the transaction on the server: the commit
    // is reported as the failure it is, naming the statement that failed.
    EXPECT_FALSE(returned);
    EXPECT_EQ(number, err::DbStatementFailed);
    EXPECT_NE(description.find("no_such_table"), std::string::npos) << description;
  }

  // The pooled session serves the next context normally.
  RunTransactional([&] { insert("next"); });
  EXPECT_EQ(GetParamValue("next"), "v");
}

TEST_F(ConcurrencyTest, AFailureAfterALockRollsBackAndFreesTheKey) {
  EXPECT_THROW(RunTransactional([&] {
                 db::LockKey(*GetObjectContext(), env.HelvixUri(), 1, 77);
                 Exec("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES ('gone', 'v', 'String')");
                 Exec("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES ('gone', 'v', 'String')");
               }),
               Error);
  EXPECT_EQ(GetParamValue("gone"), "");
  // Another thread takes the same key at once (it would wait for ever if
  // the failed context still held it).
  Failures failures;
  std::thread other([&] {
    failures.Run([&] {
      RunTransactional([&] {
        db::LockKey(*GetObjectContext(), env.HelvixUri(), 1, 77);
        Exec("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES ('gone', 'w', 'String')");
      });
    });
  });
  other.join();
  EXPECT_TRUE(failures.List().empty()) << failures.List().front();
  EXPECT_EQ(GetParamValue("gone"), "w");
}

}  // namespace
}  // namespace tsa
