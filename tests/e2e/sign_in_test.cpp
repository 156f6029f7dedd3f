// Signing in over HTTP as a front end does: tokens, browser sessions with
// their CSRF proof, throttled guessing, the first-admin setup link, the read
// endpoints' ?user=, and secrets that never reach the log or the trail.
#include <gtest/gtest.h>

#include <string>

#include "accounts/accounts.h"
#include "accounts/audit.h"
#include "accounts/errors.h"
#include "accounts/failure_audit.h"
#include "accounts/tokens.h"
#include "e2e/service_fixture.h"
#include "server/access.h"

namespace tsa::test {
namespace {

using nlohmann::json;

class SignInTest : public ServiceTest {
 protected:
  httplib::Client Http() {
    httplib::Client c("127.0.0.1", Port());
    c.set_read_timeout(30, 0);
    return c;
  }
  static std::string Rpc(const std::string& method, const json& params) {
    return json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", params}}.dump();
  }
  // Signs in; returns the cookie header and the CSRF proof.
  std::pair<std::string, std::string> SignIn(const std::string& login, const std::string& password) {
    auto res = Http().Post("/auth/login", json{{"login", login}, {"password", password}}.dump(), "application/json");
    EXPECT_TRUE(res);
    if (!res || res->status != 200) return {};
    const std::string setCookie = res->get_header_value("Set-Cookie");
    EXPECT_NE(setCookie.find("HttpOnly; SameSite=Strict; Path=/"), std::string::npos) << setCookie;
    return {setCookie.substr(0, setCookie.find(';')), json::parse(res->body)["csrfToken"].get<std::string>()};
  }
  std::vector<accounts::AuditEntry> Trail() {
    accounts::AuditFilter f;
    f.pageSize = 1000;
    return accounts::ListAudit(f).rows;
  }
};

TEST_F(SignInTest, EveryEndpointButHealthNeedsAnIdentity) {
  httplib::Client c = Http();
  EXPECT_EQ(c.Get("/health")->status, 200);
  EXPECT_EQ(c.Get("/metrics")->status, 401);
  EXPECT_EQ(c.Get("/trees/1/7/document?user=ann")->status, 401);
  EXPECT_EQ(c.Get("/auth/me")->status, 401);
  auto res = c.Post("/rpc", Rpc("TSDOM.CreateEmptyTree", {{"i_lTreeType", 1}, {"i_lID", 7}}), "application/json");
  EXPECT_EQ(res->status, 401);
  EXPECT_EQ(json::parse(res->body)["error"]["number"], accounts::err::NotSignedIn);
  EXPECT_FALSE(DocumentName(kProduct, 7, false));

  // A role that does not allow the call: 403 with the JSON-RPC error naming the role.
  const std::string reader = PersonalToken("rita", "reader");
  c.set_bearer_token_auth(reader);
  res = c.Post("/rpc", Rpc("TSDOM.CreateEmptyTree", {{"i_lTreeType", 1}, {"i_lID", 7}}), "application/json");
  EXPECT_EQ(res->status, 403);
  EXPECT_NE(json::parse(res->body)["error"]["message"].get<std::string>().find("author"), std::string::npos);
  EXPECT_EQ(c.Get("/metrics")->status, 200);

  // A revoked token stops at once.
  const std::string id = accounts::ListTokens("rita").at(0).id;
  accounts::RevokeToken(id);
  EXPECT_EQ(c.Get("/metrics")->status, 401);
}

TEST_F(SignInTest, ABrowserSessionChangesThingsOnlyWithItsProofAndEndsAtSignOut) {
  accounts::CreateAccount("ann", "Ann Author", accounts::Role::Author, "correct horse");
  auto [cookie, csrf] = SignIn("ann", "correct horse");
  ASSERT_FALSE(cookie.empty());
  httplib::Client c = Http();
  auto me = c.Get("/auth/me", {{"Cookie", cookie}});
  ASSERT_EQ(me->status, 200);
  EXPECT_EQ(json::parse(me->body)["name"], "Ann Author");
  EXPECT_EQ(json::parse(me->body)["csrfToken"], csrf);

  const std::string create = Rpc("TSDOM.CreateEmptyTree", {{"i_lTreeType", 1}, {"i_lID", 7}});
  // A form of another site cannot add the header; a script of another site is told by its Origin.
  EXPECT_EQ(c.Post("/rpc", {{"Cookie", cookie}}, create, "application/json")->status, 403);
  EXPECT_EQ(c.Post("/rpc", {{"Cookie", cookie}, {"X-CSRF-Token", (csrf[0] == '0' ? "1" : "0") + csrf.substr(1)}}, create, "application/json")
                ->status,
            403);
  EXPECT_EQ(c.Post("/rpc", {{"Cookie", cookie}, {"X-CSRF-Token", csrf}, {"Origin", "http://evil.example"}}, create,
                   "application/json")
                ->status,
            403);
  EXPECT_FALSE(DocumentName(kProduct, 7, false));
  auto res = c.Post("/rpc", {{"Cookie", cookie}, {"X-CSRF-Token", csrf}}, create, "application/json");
  ASSERT_EQ(res->status, 200);
  EXPECT_TRUE(json::parse(res->body).contains("result")) << res->body;

  res = c.Post("/auth/logout", {{"Cookie", cookie}, {"X-CSRF-Token", csrf}}, "{}", "application/json");
  EXPECT_EQ(res->status, 200);
  EXPECT_NE(res->get_header_value("Set-Cookie").find("Max-Age=0"), std::string::npos);
  EXPECT_EQ(c.Get("/auth/me", {{"Cookie", cookie}})->status, 401);
  const auto trail = Trail();
  EXPECT_EQ(trail[0].method, "Auth.SignOut");
  EXPECT_EQ(trail[1].method, "TSDOM.CreateEmptyTree");
}

TEST_F(SignInTest, FailedSignInsTellNothingAreThrottledAndNeverRecordThePassword) {
  accounts::CreateAccount("ann", "Ann", accounts::Role::Author, "correct horse");
  httplib::Client c = Http();
  auto attempt = [&](const std::string& login, const std::string& password) {
    return c.Post("/auth/login", json{{"login", login}, {"password", password}}.dump(), "application/json");
  };
  auto wrong = attempt("ann", "guess-one-1");
  auto unknown = attempt("nobody", "guess-two-2");
  EXPECT_EQ(wrong->status, 401);
  EXPECT_EQ(wrong->body, unknown->body);
  for (int i = 0; i < 4; ++i) attempt("ann", "guess-more-" + std::to_string(i));
  auto throttled = attempt("ann", "correct horse");
  EXPECT_EQ(throttled->status, 429);
  EXPECT_FALSE(throttled->get_header_value("Retry-After").empty());
  // A form post is not JSON: refused before anything is looked at.
  EXPECT_EQ(c.Post("/auth/login", "login=ann&password=x", "application/x-www-form-urlencoded")->status, 415);
  // Bodies that read two ways: a key named twice, text after a NUL.
  EXPECT_EQ(c.Post("/auth/login", R"({"login": "ann", "login": "bob", "password": "x"})", "application/json")->status,
            400);
  EXPECT_EQ(c.Post("/auth/login", std::string(R"({"login": "ann", "password": "x"})") + '\0' + "junk",
                   "application/json")
                ->status,
            400);

  for (const std::string& line : env.LogLines()) {
    EXPECT_EQ(line.find("guess-"), std::string::npos) << line;
    EXPECT_EQ(line.find("correct horse"), std::string::npos) << line;
  }
  // Failures are written as counts per minute, login and address; ann's
  // under her login, the unknown one without it.
  accounts::FailureAudit::Instance().Flush(true);
  int failures = 0, anns = 0, throttledRows = 0;
  for (const auto& e : Trail()) {
    EXPECT_EQ(e.args.find("guess-"), std::string::npos);
    EXPECT_EQ(e.detail.find("guess-"), std::string::npos);
    EXPECT_EQ(e.login.find("nobody"), std::string::npos);
    if (e.method != "Auth.SignIn" || e.outcome == accounts::kOutcomeOk) continue;
    const int attempts = json::parse(e.args)["attempts"].get<int>();
    if (e.errorNumber == accounts::err::SignInFailed) failures += attempts;
    if (e.errorNumber == accounts::err::SignInFailed && e.login == "ann") anns += attempts;
    if (e.errorNumber == accounts::err::SignInThrottled) throttledRows += attempts;
  }
  EXPECT_EQ(failures, 6);
  EXPECT_EQ(anns, 5);
  EXPECT_EQ(throttledRows, 1);
}

TEST_F(SignInTest, TheReadEndpointsShowOthersViewsOnlyToPublishers) {
  client().Result("TSDOM.CreateEmptyTree", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}});
  const std::string bob = PersonalToken("bob", "author");
  const std::string pat = PersonalToken("pat", "publisher");
  httplib::Client c = Http();
  c.set_bearer_token_auth(bob);
  EXPECT_EQ(c.Get("/trees/1/7/document")->status, 200);
  EXPECT_EQ(c.Get("/trees/1/7/document?user=bob")->status, 200);
  auto refused = c.Get("/trees/1/7/document?user=ann");
  EXPECT_EQ(refused->status, 403);
  const auto trail = Trail();
  ASSERT_FALSE(trail.empty());
  EXPECT_EQ(trail[0].login, "bob");
  EXPECT_EQ(trail[0].outcome, accounts::kOutcomeRefused);
  EXPECT_EQ(trail[0].treeId, 7);
  c.set_bearer_token_auth(pat);
  EXPECT_EQ(c.Get("/trees/1/7/document?user=ann")->status, 200);
}

TEST_F(SignInTest, TheSetupLinkMakesTheFirstAdministratorOnce) {
  server::AccessControl access("", CurrentSettings().auth);
  server::RequestView view;
  view.method = "POST";
  view.path = "/auth/setup";
  view.header = [](std::string_view) { return std::string(); };
  view.peer = "127.0.0.1";
  const std::string secret = access.OpenFirstAdminSetup();
  ASSERT_FALSE(secret.empty());
  const std::string body = json{{"login", "root"}, {"name", "Root"}, {"password", "correct horse"}}.dump();
  view.query = [](std::string_view) { return std::string("wrong"); };
  EXPECT_EQ(access.AnswerAuth(view, body, std::nullopt).status, 404);
  view.query = [&](std::string_view) { return secret; };
  server::WebReply made = access.AnswerAuth(view, body, std::nullopt);
  EXPECT_EQ(made.status, 201) << made.body;
  EXPECT_EQ(accounts::FindAccount("root")->role, "admin");
  EXPECT_EQ(access.AnswerAuth(view, body, std::nullopt).status, 404);
  EXPECT_TRUE(access.OpenFirstAdminSetup().empty());
}

}  // namespace
}  // namespace tsa::test
