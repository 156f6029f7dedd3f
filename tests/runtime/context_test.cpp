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

}  // namespace
}  // namespace tsa
