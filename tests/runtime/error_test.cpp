// The failure convention: composed descriptions, log entries, default
// source and description, mapping of foreign failures.
#include <gtest/gtest.h>

#include <stdexcept>

#include "runtime/error.h"
#include "support/recording_log.h"
#include "support/test_env.h"

namespace tsa {
namespace {

class ErrorTest : public ::testing::Test {
 protected:
  test::TestEnv env;
  test::RecordingLog log;
};

void Inner() {
  Trapped("Lib.Inner", [] { Raise(5, "Origin", "boom"); });
}
void Middle() {
  Trapped("Lib.Middle", [] { Inner(); });
}
void Outer() {
  Trapped("Lib.Outer", [] { Middle(); });
}

TEST_F(ErrorTest, ThreeLayersComposeOutermostFirstAndLogOncePerLayer) {
  try {
    Outer();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 5);
    EXPECT_EQ(e.source(), "Origin");
    const std::string inner = "\r\nMETHOD: Lib.Inner caught: boom(5).";
    const std::string middle = "\r\nMETHOD: Lib.Middle caught: " + inner + "(5).";
    const std::string outer = "\r\nMETHOD: Lib.Outer caught: " + middle + "(5).";
    EXPECT_EQ(e.description(), outer);
  }
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].source, "Origin");
  EXPECT_EQ(entries[0].text,
            "Lib.Inner caught: boom(5). Additional information: \r\nMETHOD: Lib.Inner caught: boom(5).");
  EXPECT_EQ(entries[2].text.rfind("Lib.Outer caught: \r\nMETHOD: Lib.Middle", 0), 0u);
}

TEST_F(ErrorTest, NegativeNumbersKeepTheirSign) {
  try {
    Trapped("Lib.Db", [] { Raise(err::DbStatementFailed, "db", "no such table: X"); });
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), "\r\nMETHOD: Lib.Db caught: no such table: X(-2147217900).");
  }
}

TEST_F(ErrorTest, AdditionalInformationOnceRaisedTwiceLogged) {
  try {
    try {
      Raise(7, "s", "d");
    } catch (...) {
      ReportError("Lib.Info", std::string("extra"));
    }
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), "\r\nMETHOD: Lib.Info caught: d(7). Additional information: extra");
  }
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].text,
            "Lib.Info caught: d(7). Additional information: \r\nMETHOD: Lib.Info caught: d(7). Additional "
            "information: extra");
}

TEST_F(ErrorTest, ReportWithoutPendingErrorLogsAndReturns) {
  EXPECT_NO_THROW(ReportError("Lib.NoError", std::string("note")));
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].text,
            "Lib.NoError caught: (0). Additional information:  Additional information: note");
}

TEST_F(ErrorTest, DefaultsAndEmptySource) {
  try {
    Raise(1003);
  } catch (const Error& e) {
    EXPECT_EQ(e.source(), "HXSvcTroubleShooting");
    EXPECT_EQ(e.description(), "Application-defined or object-defined error");
  }
  try {
    RaiseWithEmptySource(1011, "The tree or template is checked out by another user");
  } catch (const Error& e) {
    EXPECT_EQ(e.source(), "");
  }
}

TEST_F(ErrorTest, ForeignFailuresGetStableNumbers) {
  auto numberOf = [](auto thrower) {
    try {
      thrower();
    } catch (...) {
      return CurrentError().number;
    }
    return 0;
  };
  EXPECT_EQ(numberOf([] { throw std::out_of_range("x"); }), err::SubscriptOutOfRange);
  EXPECT_EQ(numberOf([] { throw std::overflow_error("x"); }), err::Overflow);
  EXPECT_EQ(numberOf([] { throw std::bad_alloc(); }), err::OutOfMemory);
  EXPECT_EQ(CurrentError().number, 0);  // outside any handler
}

TEST_F(ErrorTest, FailingCleanupReplacesTheError) {
  try {
    Trapped("Lib.Cleanup", [] { Raise(1, "a", "first"); }, [] { Raise(2, "b", "cleanup failed"); });
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 2);
  }
}

TEST_F(ErrorTest, AFailingLogKeepsTheReportedErrorAndIsCounted) {
  ScopedRegistration broken(progid::Log, [] { return std::shared_ptr<Component>(); });
  const uint64_t before = FailedLogWrites();
  try {
    Trapped("Lib.X", [] { Raise(9, "s", "d"); });
    ADD_FAILURE() << "nothing raised";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 9);
    EXPECT_NE(e.description().find("METHOD: Lib.X caught: d(9)."), std::string::npos) << e.description();
  }
  EXPECT_EQ(FailedLogWrites(), before + 1);
}

}  // namespace
}  // namespace tsa
