// Votes and the outcome of a transaction context; handles of the service
// database inside and outside a context.
#include <gtest/gtest.h>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "runtime/context.h"
#include "support/test_env.h"

namespace tsa {
namespace {

class ContextTest : public ::testing::Test {
 protected:
  void Insert(const std::string& name) {
    auto c = GetHelvixConnection();
    c->Execute("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES (" + FormatSqlText(name) +
               ", 'v', 'String')");
    CloseConnection(c);
  }
  bool Exists(const std::string& name) { return GetParameterValues({name}).Exists(name); }

  test::TestEnv env;
};

TEST_F(ContextTest, OutsideAContextVotesDoNothingAndWritesCommitAtOnce) {
  EXPECT_EQ(GetObjectContext(), nullptr);
  CompleteTransaction();
  AbortTransaction();
  Insert("plain");
  EXPECT_TRUE(Exists("plain"));
}

TEST_F(ContextTest, OutcomeFollowsTheLastVote) {
  RunTransactional([&] { Insert("novote"); });
  RunTransactional([&] {
    Insert("complete");
    CompleteTransaction();
  });
  RunTransactional([&] {
    Insert("abort");
    AbortTransaction();
  });
  RunTransactional([&] {
    Insert("abort-then-complete");
    AbortTransaction();
    CompleteTransaction();
  });
  RunTransactional([&] {
    Insert("complete-then-abort");
    CompleteTransaction();
    AbortTransaction();
  });
  EXPECT_TRUE(Exists("novote"));
  EXPECT_TRUE(Exists("complete"));
  EXPECT_FALSE(Exists("abort"));
  EXPECT_TRUE(Exists("abort-then-complete"));
  EXPECT_FALSE(Exists("complete-then-abort"));
}

TEST_F(ContextTest, AnErrorWithoutAVoteRollsBack) {
  EXPECT_THROW(RunTransactional([&] {
                 Insert("half");
                 Raise(1, "t", "failure after a write");
               }),
               Error);
  EXPECT_FALSE(Exists("half"));
  EXPECT_EQ(GetObjectContext(), nullptr);
}

TEST_F(ContextTest, NestedCallsJoinAndTheLastVoteWins) {
  RunTransactional([&] {
    Insert("outer");
    RunTransactional([&] {
      Insert("inner");
      AbortTransaction();
    });
    // A nested call that completes after another aborted decides the outcome.
    RunTransactional([&] { CompleteTransaction(); });
  });
  EXPECT_TRUE(Exists("outer"));
  EXPECT_TRUE(Exists("inner"));
}

TEST_F(ContextTest, AFailedStatementRollsTheWholeContextBack) {
  EXPECT_THROW(RunTransactional([&] {
                 Insert("before");
                 auto c = GetHelvixConnection();
                 c->Execute("INSERT INTO NO_SUCH_TABLE VALUES (1)");
               }),
               Error);
  EXPECT_FALSE(Exists("before"));
}

TEST_F(ContextTest, HandlesInsideAContextShareOneTransaction) {
  RunTransactional([&] {
    Insert("shared");
    // A second handle sees the uncommitted row; closing it ends nothing.
    auto c = GetHelvixConnection();
    auto rs = c->OpenRecordset("select PARAM_NAME from PARAMETERS where PARAM_NAME = 'shared'");
    EXPECT_FALSE(rs->IsEOF());
    CloseConnection(c);
    EXPECT_TRUE(Exists("shared"));
    AbortTransaction();
  });
  EXPECT_FALSE(Exists("shared"));
}

class Recorder : public Enlistment {
 public:
  std::string* trail;
  explicit Recorder(std::string* t) : trail(t) {}
  void Prepare(ObjectContext&) override { *trail += "P"; }
  void Committed() noexcept override { *trail += "C"; }
  void RolledBack() noexcept override { *trail += "R"; }
  void InDoubt() noexcept override { *trail += "D"; }
};

// A database session that records its commit ("c" + name) and can fail it.
class FakeSession : public TransactionalSession {
 public:
  FakeSession(std::string* trail, std::string name, bool fails, bool inDoubt = false)
      : trail_(trail), name_(std::move(name)), fails_(fails), inDoubt_(inDoubt) {}
  void Commit() override {
    if (fails_) Raise(err::DbConnectionFailed, "test", "the commit of " + name_ + " fails");
    *trail_ += "c" + name_;
  }
  void Rollback() noexcept override {}
  bool CommitInDoubt() const noexcept override { return fails_ && inDoubt_; }

 private:
  std::string* trail_;
  std::string name_;
  bool fails_, inDoubt_;
};

TEST_F(ContextTest, EnlistedResourcesLearnTheOutcome) {
  std::string trail;
  RunTransactional([&] { GetObjectContext()->Enlist("r", std::make_shared<Recorder>(&trail)); });
  EXPECT_EQ(trail, "PC");
  trail.clear();
  RunTransactional([&] {
    GetObjectContext()->Enlist("r", std::make_shared<Recorder>(&trail));
    AbortTransaction();
  });
  EXPECT_EQ(trail, "R");
}

// The first database a call joins (the service database, where its rows and
// document intents go) commits last; a resource hears "in doubt" whenever
// some database may hold the commit, and only then.
TEST_F(ContextTest, TheFirstJoinedDatabaseCommitsLastAndAPartialCommitIsInDoubt) {
  struct Case {
    bool firstFails, secondFails, inDoubt;
    std::string trail;
  };
  for (const Case& c : {Case{false, false, false, "Pcsecondcfirst" "C"}, Case{false, true, false, "PR"},
                        Case{true, false, false, "PcsecondD"}, Case{true, false, true, "PcsecondD"},
                        Case{false, true, true, "PD"}}) {
    std::string trail;
    auto run = [&] {
      RunTransactional([&] {
        ObjectContext& context = *GetObjectContext();
        context.Join("first", [&] { return std::make_shared<FakeSession>(&trail, "first", c.firstFails, c.inDoubt); });
        context.Join("second", [&] { return std::make_shared<FakeSession>(&trail, "second", c.secondFails, c.inDoubt); });
        context.Enlist("r", std::make_shared<Recorder>(&trail));
      });
    };
    if (c.firstFails || c.secondFails) {
      EXPECT_THROW(run(), Error);
    } else {
      run();
    }
    EXPECT_EQ(trail, c.trail) << c.firstFails << c.secondFails << c.inDoubt;
  }
}

}  // namespace
}  // namespace tsa
