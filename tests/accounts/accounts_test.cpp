// Accounts, tokens, sessions, sign-in throttling and the audit trail's own
// rules, on the database under test.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "accounts/accounts.h"
#include "accounts/audit.h"
#include "accounts/errors.h"
#include "accounts/failure_audit.h"
#include "accounts/roles.h"
#include "accounts/secrets.h"
#include "accounts/service_db.h"
#include "accounts/sessions.h"
#include "accounts/throttle.h"
#include "accounts/tokens.h"
#include "runtime/context.h"
#include "runtime/settings.h"
#include "storage/schema.h"
#include "support/test_env.h"

namespace tsa::accounts {
namespace {

class AccountsTest : public ::testing::Test {
 protected:
  std::vector<AuditEntry> Trail(const std::string& method = {}) {
    AuditFilter f;
    f.method = method;
    f.pageSize = 1000;
    return ListAudit(f).rows;
  }
  test::TestEnv env;
};

int64_t ServiceDbCount(const std::string& sql) {
  ServiceDb db;
  return db.Query(sql).rows.at(0).at(0).ToInt64();
}

int32_t NumberOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

TEST_F(AccountsTest, PasswordsAreHashedVerifiedAndRehashedAtANewCost) {
  CreateAccount("ann", "Ann", Role::Author, "correct horse");
  EXPECT_EQ(CheckPassword("ann", "correct horse")->role, "author");
  EXPECT_FALSE(CheckPassword("ann", "correct horsE"));
  EXPECT_FALSE(CheckPassword("nobody", "correct horse"));
  EXPECT_EQ(NumberOf([] { CreateAccount("ann", "", Role::Reader, "another one"); }), err::AccountExists);
  EXPECT_EQ(NumberOf([] { CreateAccount("x y", "", Role::Reader, "another one"); }), tsa::err::InvalidArgument);
  EXPECT_EQ(NumberOf([] { CreateAccount("service", "", Role::Reader, "another one"); }), tsa::err::InvalidArgument);
  EXPECT_EQ(NumberOf([] { CreateAccount("carl", "", Role::Reader, "short"); }), tsa::err::InvalidArgument);
  const std::string hash = HashPassword("correct horse");
  EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;
  EXPECT_FALSE(PasswordNeedsRehash(hash));

  // A stronger cost applies to the next sign-in; the old hash still verifies.
  Settings s = CurrentSettings();
  s.auth.passwordHashCost = "interactive";
  SetCurrentSettings(s);
  EXPECT_TRUE(PasswordNeedsRehash(hash));
  EXPECT_TRUE(CheckPassword("ann", "correct horse"));
  s.auth.passwordHashCost = "bogus";
  SetCurrentSettings(s);
  EXPECT_EQ(NumberOf([] { HashPassword("whatever it is"); }), tsa::err::InvalidArgument);
  s.auth.passwordHashCost = "test-minimum";
  SetCurrentSettings(s);

  SetDisabled("ann", true);
  EXPECT_FALSE(CheckPassword("ann", "correct horse"));
  SetDisabled("ann", false);
  SetPassword("ann", "battery staple");
  EXPECT_FALSE(CheckPassword("ann", "correct horse"));
  EXPECT_TRUE(CheckPassword("ann", "battery staple"));
  EXPECT_EQ(NumberOf([] { SetRole("nobody", Role::Admin); }), err::AccountNotFound);
}

TEST_F(AccountsTest, TokensWorkUntilRevokedOrTheAccountIsDisabled) {
  CreateAccount("ann", "Ann", Role::Author, "");
  const NewToken t = CreateToken("ann", "laptop");
  const NewToken u = CreateToken("ann", "ci");
  EXPECT_NE(t.token, u.token);
  EXPECT_GE(t.token.size(), 4 + 16 + 1 + 43u);
  EXPECT_EQ(AccountForToken(t.token)->login, "ann");
  // A token that differs anywhere, or has no such identifier, is nothing.
  std::string changed = t.token;
  changed.back() = changed.back() == 'A' ? 'B' : 'A';
  EXPECT_FALSE(AccountForToken(changed));
  EXPECT_FALSE(AccountForToken("tsa_0000000000000000_" + t.token.substr(22)));
  EXPECT_FALSE(AccountForToken("garbage"));

  RevokeToken(t.id);
  EXPECT_FALSE(AccountForToken(t.token));
  EXPECT_EQ(NumberOf([&] { RevokeToken(t.id); }), err::TokenNotFound);
  EXPECT_TRUE(AccountForToken(u.token));
  SetDisabled("ann", true);
  EXPECT_FALSE(AccountForToken(u.token));
  // Enabled again, the account's old tokens stay dead; new ones work, and
  // enabling an enabled account ends none.
  SetDisabled("ann", false);
  EXPECT_FALSE(AccountForToken(u.token));
  const NewToken v = CreateToken("ann", "new laptop");
  SetDisabled("ann", false);
  EXPECT_EQ(AccountForToken(v.token)->login, "ann");
  // An account disabled by an older release kept its tokens: enabling it ends them.
  const NewToken w = CreateToken("ann", "old release");
  ServiceDb().Execute("UPDATE ACCOUNTS SET DISABLED = 1 WHERE LOGIN = 'ann'");
  SetDisabled("ann", false);
  EXPECT_FALSE(AccountForToken(w.token));

  const auto tokens = ListTokens("ann");
  ASSERT_EQ(tokens.size(), 4u);
  // Only hashes are stored: no row holds a token's secret.
  for (const AuditEntry& e : Trail()) {
    EXPECT_EQ(e.args.find(t.token.substr(22)), std::string::npos);
    EXPECT_EQ(e.detail.find(t.token.substr(22)), std::string::npos);
  }
  EXPECT_EQ(Trail("Tokens.Create").size(), 4u);
  EXPECT_EQ(Trail("Tokens.Revoke").size(), 2u);  // the second one failed
  EXPECT_EQ(Trail("Tokens.Revoke")[0].outcome, kOutcomeFailed);
}

TEST_F(AccountsTest, SessionsEndWhenIdleWhenOldAtSignOutAndWithANewPassword) {
  CreateAccount("ann", "Ann", Role::Author, "correct horse");
  const SessionLimits limits{std::chrono::seconds(600), std::chrono::seconds(3600)};
  const int64_t now = EpochSeconds();
  const std::string cookie = StartSession("ann");
  EXPECT_EQ(SessionAccount(cookie, limits, now)->login, "ann");
  EXPECT_FALSE(SessionAccount(cookie + "x", limits, now));
  // Used within the idle time, it lives on up to the absolute limit.
  EXPECT_TRUE(SessionAccount(cookie, limits, now + 500));
  EXPECT_TRUE(SessionAccount(cookie, limits, now + 1000));
  EXPECT_FALSE(SessionAccount(cookie, limits, now + 3700));
  EXPECT_FALSE(SessionAccount(cookie, limits, now)) << "an expired session was removed";

  const std::string idle = StartSession("ann");
  EXPECT_FALSE(SessionAccount(idle, limits, now + 700));

  const std::string ended = StartSession("ann");
  EXPECT_TRUE(EndSession(ended));
  EXPECT_FALSE(SessionAccount(ended, limits, now));

  const std::string before = StartSession("ann");
  SetPassword("ann", "battery staple");
  EXPECT_FALSE(SessionAccount(before, limits, now));
  EXPECT_NE(CsrfProof(before), CsrfProof(cookie));
}

TEST(SignInThrottle, FailuresPauseTheLoginFromThatAddressOnlyWithDoublingPauses) {
  SignInThrottle t(ThrottlePolicy{3, 6, std::chrono::seconds(60), std::chrono::seconds(240)}, false);
  const auto now = SignInThrottle::Clock::now();
  const auto at = [&](int seconds) { return now + std::chrono::seconds(seconds); };
  for (int i = 0; i < 2; ++i) t.Failed("ann", "10.0.0.1", now);
  EXPECT_EQ(t.Wait("ann", "10.0.0.1", now).count(), 0);
  t.Failed("ann", "10.0.0.1", now);
  EXPECT_EQ(t.Wait("ann", "10.0.0.1", now).count(), 60);
  // Nobody else is kept out: not ann elsewhere, not others from there.
  EXPECT_EQ(t.Wait("ann", "10.0.0.9", now).count(), 0);
  EXPECT_EQ(t.Wait("bob", "10.0.0.1", now).count(), 0);

  // Each failure past the threshold doubles the pause, up to the cap.
  EXPECT_EQ(t.Wait("ann", "10.0.0.1", at(60)).count(), 0);
  t.Failed("ann", "10.0.0.1", at(60));
  EXPECT_EQ(t.Wait("ann", "10.0.0.1", at(60)).count(), 120);
  EXPECT_EQ(t.Wait("ann", "10.0.0.1", at(150)).count(), 30);
  t.Failed("ann", "10.0.0.1", at(180));
  EXPECT_EQ(t.Wait("ann", "10.0.0.1", at(180)).count(), 240);
  t.Failed("ann", "10.0.0.1", at(420));
  EXPECT_EQ(t.Wait("ann", "10.0.0.1", at(420)).count(), 240);

  // Many logins from one address pause the address.
  for (const char* login : {"b1", "b2"}) t.Failed(login, "10.0.0.1", at(420));
  EXPECT_GT(t.Wait("carl", "10.0.0.1", at(420)).count(), 0);
  EXPECT_EQ(t.Wait("carl", "10.0.0.2", at(420)).count(), 0);

  // A success clears the login's count there, not the address's.
  t.Succeeded("ann", "10.0.0.9");
  EXPECT_EQ(t.Wait("ann", "10.0.0.1", at(500)).count(), 160);
  t.Succeeded("ann", "10.0.0.1");
  EXPECT_GT(t.Wait("ann", "10.0.0.1", at(500)).count(), 0) << "the address is still paused";
  // An IPv6 address counts as its /64: moving within it starts nothing afresh.
  for (int i = 1; i <= 3; ++i) t.Failed("eve", "2001:db8::" + std::to_string(i), now);
  EXPECT_GT(t.Wait("eve", "2001:db8::ffff", now).count(), 0);
  EXPECT_EQ(t.Wait("eve", "2001:db8:0:1::1", now).count(), 0);
  for (int i = 1; i <= 3; ++i) t.Failed("fay", "::ffff:10.0.0." + std::to_string(i), now);
  EXPECT_EQ(t.Wait("fay", "::ffff:10.0.0.4", now).count(), 0) << "IPv4 mapped into IPv6 is counted per address";

  // Long quiet: forgotten, and the next failure counts from one again.
  const int quiet = 420 + static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(t.ForgetAfter()).count()) + 1;
  for (int i = 0; i < 2; ++i) t.Failed("dan", "10.0.0.1", at(quiet));
  EXPECT_EQ(t.Wait("dan", "10.0.0.1", at(quiet)).count(), 0);
}

TEST_F(AccountsTest, SignInCountsAreSharedByEveryServerOnTheDatabase) {
  const ThrottlePolicy policy{3, 100, std::chrono::seconds(60), std::chrono::seconds(600)};
  SignInThrottle one(policy, true), two(policy, true);
  const auto now = SignInThrottle::Clock::now();
  one.Failed("ann", "10.0.0.1", now);
  two.Failed("ann", "10.0.0.1", now);
  one.Failed("ann", "10.0.0.1", now);
  EXPECT_EQ(two.Wait("ann", "10.0.0.1", now).count(), 60) << "the other server's failures count";
  EXPECT_EQ(two.Wait("ann", "10.0.0.2", now).count(), 0);
  two.Failed("ann", "10.0.0.1", now + std::chrono::seconds(60));
  EXPECT_EQ(one.Wait("ann", "10.0.0.1", now + std::chrono::seconds(60)).count(), 120);

  // A success on one server clears the count for both.
  two.Failed("bob", "10.0.0.3", now);
  two.Failed("bob", "10.0.0.3", now);
  EXPECT_EQ(one.Wait("bob", "10.0.0.3", now).count(), 0);
  one.Succeeded("bob", "10.0.0.3");
  two.Failed("bob", "10.0.0.3", now);
  EXPECT_EQ(one.Wait("bob", "10.0.0.3", now).count(), 0) << "counted from one again after the success";

  // Counts nobody remembers are removed; the others stay.
  const auto later = now + std::chrono::seconds(60) + one.ForgetAfter() + std::chrono::seconds(1);
  two.Failed("carl", "10.0.0.4", later);
  EXPECT_EQ(one.Prune(later), 4);  // ann's and bob's, each by address and by login there
  EXPECT_EQ(ServiceDbCount("SELECT COUNT(*) FROM SIGNINTHROTTLE"), 2);
}

TEST_F(AccountsTest, ADatabaseMadeBeforeSharedCountsGetsTheirTableAtStart) {
  {
    ServiceDb db;
    db.Execute("DROP TABLE SIGNINTHROTTLE");
  }
  storage::CreateSchema(env.HelvixUri(), env.KCatalogUri());  // as "serve" does at start
  SignInThrottle one(ThrottlePolicy{1, 100, std::chrono::seconds(60), std::chrono::seconds(600)}, true);
  const auto now = SignInThrottle::Clock::now();
  one.Failed("ann", "10.0.0.1", now);
  EXPECT_EQ(ServiceDbCount("SELECT COUNT(*) FROM SIGNINTHROTTLE"), 2);
  EXPECT_EQ(one.Wait("ann", "10.0.0.1", now).count(), 60);
}

TEST_F(AccountsTest, FailuresWithoutAnIdentityAreWrittenAsCappedRowsPerMinute) {
  FailureAudit audit(FailureAudit::Limits{100, 3});
  const auto minute = std::chrono::floor<std::chrono::minutes>(FailureAudit::Clock::now());
  const auto at = [&](int seconds) { return minute + std::chrono::seconds(seconds); };
  for (int i = 0; i < 40; ++i) audit.Note("Auth.SignIn", kOutcomeFailed, err::SignInFailed, "", "10.0.0.1", at(i));
  for (int i = 0; i < 7; ++i) audit.Note("Auth.SignIn", kOutcomeFailed, err::SignInFailed, "ann", "10.0.0.2", at(i));
  for (int a = 0; a < 10; ++a)
    audit.Note("Auth.SignIn", kOutcomeRefused, err::SignInThrottled, "", "10.0.1." + std::to_string(a), at(a));
  audit.Note("Auth.SignIn", kOutcomeFailed, err::SignInFailed, "ann", "10.0.0.2", at(61));
  EXPECT_EQ(audit.Noted(), 58u);

  // The minute still running stays in memory.
  EXPECT_EQ(audit.Flush(false, at(30)), 0);
  EXPECT_TRUE(Trail().empty());
  // Three itemised rows (the known login first, then the largest), and the
  // rest of each kind folded into one.
  EXPECT_EQ(audit.Flush(false, at(61)), 4);
  auto rows = Trail("Auth.SignIn");
  ASSERT_EQ(rows.size(), 4u);
  uint64_t attempts = 0;
  bool annSeen = false;
  for (const AuditEntry& e : rows) {
    const auto args = nlohmann::json::parse(e.args);
    attempts += args["attempts"].get<uint64_t>();
    EXPECT_EQ(e.at, FormatUtcMicros(minute));
    if (e.login == "ann") {
      annSeen = true;
      EXPECT_EQ(args["attempts"], 7);
      EXPECT_EQ(args["address"], "10.0.0.2");
      EXPECT_EQ(e.errorNumber, err::SignInFailed);
    } else {
      EXPECT_EQ(e.login, kAnonymous);
    }
  }
  EXPECT_TRUE(annSeen);
  EXPECT_EQ(attempts, 57u) << "every failure of the minute is in some row";
  EXPECT_EQ(audit.Folded(), 9u);

  // Past the cap on keys, failures still count, in the folded row.
  FailureAudit small(FailureAudit::Limits{2, 50});
  for (int a = 0; a < 1000; ++a)
    small.Note("HTTP POST /rpc", kOutcomeRefused, err::NotSignedIn, "", "10.1." + std::to_string(a), at(1));
  EXPECT_EQ(small.Pending(), 3u);
  EXPECT_EQ(small.Flush(true, at(1)), 3);
  // Everything left is written at the end.
  EXPECT_EQ(audit.Flush(true, at(61)), 1);
  EXPECT_EQ(audit.Pending(), 0u);
}

TEST(Roles, TheTableIsCaseBlindAndRefusesUnlistedMembersToAllButAdmins) {
  EXPECT_EQ(RuleFor("tsdom.publish").role, Role::Publisher);
  EXPECT_EQ(RuleFor("TSDOM.CheckOut").role, Role::Author);
  EXPECT_FALSE(RuleFor("Repository.getRepEntityDetails").changes);
  const MemberRule unknown = RuleFor("Versions.Unlisted");
  EXPECT_EQ(unknown.role, Role::Admin);
  EXPECT_TRUE(unknown.changes);
  EXPECT_TRUE(RoleAllows("publisher", Role::Author));
  EXPECT_FALSE(RoleAllows("author", Role::Publisher));
  EXPECT_FALSE(RoleAllows("superuser", Role::Reader));
}

TEST_F(AccountsTest, TheTrailIsFilteredPagedNewestFirstAndPrunedInBatches) {
  for (int i = 0; i < 7; ++i) {
    AuditEntry e;
    e.at = "2020-01-0" + std::to_string(i + 1) + "T00:00:00.000000Z";
    e.login = i % 2 ? "ann" : "bob";
    e.method = "TSDOM.SaveNode";
    e.treeType = 1;
    e.treeId = i < 4 ? 7 : 8;
    e.args = SummariseArguments(nlohmann::json{{"i_sSDesc", std::string(300, 'x')}});
    WriteAudit(e);
  }
  AuditFilter f;
  f.treeType = 1;
  f.treeId = 7;
  f.pageSize = 3;
  AuditPage p = ListAudit(f);
  ASSERT_EQ(p.rows.size(), 3u);
  EXPECT_TRUE(p.more);
  EXPECT_EQ(p.rows[0].at.substr(0, 10), "2020-01-04");
  EXPECT_LT(p.rows[0].args.size(), 120u) << "texts are cut short";
  f.page = 2;
  p = ListAudit(f);
  ASSERT_EQ(p.rows.size(), 1u);
  EXPECT_FALSE(p.more);
  AuditFilter byLogin;
  byLogin.login = "ann";
  byLogin.since = "2020-01-03";
  byLogin.until = "2020-01-07";
  EXPECT_EQ(ListAudit(byLogin).rows.size(), 2u);  // days 4 and 6

  EXPECT_EQ(RunTransactional([] { return PruneAudit("2020-01-06", 2); }), 2);
  EXPECT_EQ(RunTransactional([] { return PruneAudit("2020-01-06", 2); }), 2);
  EXPECT_EQ(RunTransactional([] { return PruneAudit("2020-01-06", 2); }), 1);
  EXPECT_EQ(ListAudit(AuditFilter{}).rows.size(), 2u);

  // Bounds are UTC times, whole fields only: anything else would compare as
  // text to a wrong answer (no rows, or all of them).
  for (const auto& [since, until] : std::vector<std::pair<std::string, std::string>>{
           {"not a date", ""}, {"2026-13-45", ""}, {"' OR 1=1--", ""}, {"", "2026-02-30"}, {"2026-12-08T1", ""},
           {"2026-12-08T24:00", ""}, {"", "2026-12-08T10:00:00."}, {"20261208", ""}, {"2026-12-08T10:60", ""}}) {
    AuditFilter bad;
    bad.since = since;
    bad.until = until;
    Error e = [&] {
      try {
        ListAudit(bad);
      } catch (const Error& raised) {
        return raised;
      }
      return Error(ErrorInfo{});
    }();
    EXPECT_EQ(e.number(), tsa::err::InvalidArgument) << since << " / " << until;
    EXPECT_NE(e.description().find(since.empty() ? "i_sUntil" : "i_sSince"), std::string::npos) << e.description();
  }
  AuditFilter spaced;
  spaced.since = "2020-01-06 00:00Z";  // a space for the T, a final Z
  EXPECT_EQ(ListAudit(spaced).rows.size(), 2u);
  spaced.since = "2020-01-07T00:00:00.5";
  EXPECT_EQ(ListAudit(spaced).rows.size(), 0u);
  spaced.since = "2020-02-29";  // a leap day
  EXPECT_EQ(ListAudit(spaced).rows.size(), 0u);
}

TEST_F(AccountsTest, TheFirstAdministratorCanBeMadeOnlyOnce) {
  CreateFirstAdmin("root", "Root", "correct horse");
  EXPECT_EQ(FindAccount("root")->role, "admin");
  EXPECT_EQ(NumberOf([] { CreateFirstAdmin("eve", "Eve", "correct horse"); }), err::SetupClosed);
  EXPECT_FALSE(FindAccount("eve"));
}

}  // namespace
}  // namespace tsa::accounts
