// Every call by name under a caller: each role against each kind of member,
// the acting user, the service account, and an audit row exactly when the
// change committed. Refused calls change nothing.
#include <gtest/gtest.h>

#include "accounts/accounts.h"
#include "accounts/audit.h"
#include "accounts/call_guard.h"
#include "accounts/errors.h"
#include "authoring/tsdom_edit_util.h"
#include "platform/files/document_store.h"
#include "runtime/caller.h"
#include "server/methods.h"

namespace tsa::accounts {
namespace {

using nlohmann::json;
using server::Audience;
using server::InvokeByName;

// The built-in store, except that copying fails (the check-out's document copy).
class CopyFails : public FileDocumentStore {
 public:
  void Copy(const std::string&, const std::string&) override { Raise(tsa::err::PermissionDenied, "test", "copy refused"); }
};

class CallGuardTest : public test::TreeTest {
 protected:
  CallGuardTest() { test::LoadTestCatalog(env); }

  json CallAs(const std::string& login, const std::string& role, const std::string& method, const json& params) {
    CallerScope scope(Caller{login, role, ""});
    return InvokeByName(method, params, Audience::Network);
  }
  ErrorInfo RefusedAs(const std::string& login, const std::string& role, const std::string& method,
                      const json& params) {
    return test::RaisedBy([&] { CallAs(login, role, method, params); });
  }
  std::vector<AuditEntry> Trail() {
    AuditFilter f;
    f.pageSize = 1000;
    return ListAudit(f).rows;
  }
  static json Tree7() { return json{{"i_lTreeType", 1}, {"i_lID", 7}}; }
  static json AddChild(json extra = json::object()) {
    json p = {{"i_lTreeType", 1}, {"i_lID", 7}, {"i_lCurrentNodeID", 0}, {"i_lRepType", 1}, {"i_sSDesc", "Jams"},
              {"i_sLDesc", ""}, {"i_sVisibilities", ";1;"}, {"i_sFAQs", ";"}, {"i_lHyperlinkNodeID", -1}};
    p.update(extra);
    return p;
  }
};

TEST_F(CallGuardTest, EachRoleReachesItsMembersAndIsRefusedTheOthersWithoutChange) {
  // A reader reads, but creates nothing.
  EXPECT_EQ(CallAs("rita", "reader", "TSDOM.AppendVisibilityInOrder", json{{"sTempArr", ";1;"}, {"sVisibility", "2"}}),
            ";1;2;");
  test::Stored before = test::Snapshot(env);
  ErrorInfo e = RefusedAs("rita", "reader", "TSDOM.CreateEmptyTree", Tree7());
  EXPECT_EQ(e.number, err::RoleRefused);
  EXPECT_NE(e.description.find("needs the role author"), std::string::npos) << e.description;
  EXPECT_NOTHING_CHANGED(env, before);

  // An author creates, checks out and edits (as themselves), but does not publish.
  CallAs("ann", "author", "TSDOM.CreateEmptyTree", Tree7());
  EXPECT_EQ(CallAs("ann", "author", "TSDOM.CheckOut", Tree7())["o_sOwner"], "");
  EXPECT_EQ(test::CheckOutHolder(test::kProduct, 7), "ann");
  const int32_t node = CallAs("ann", "author", "TSDOM.AddChildNew", AddChild()).get<int32_t>();
  before = test::Snapshot(env);
  EXPECT_EQ(RefusedAs("ann", "author", "TSDOM.Publish", Tree7()).number, err::RoleRefused);
  EXPECT_EQ(RefusedAs("ann", "author", "TSDOM.deleteTree", json{{"i_lPrID", 7}, {"i_lTreeType", 1}}).number,
            err::RoleRefused);
  EXPECT_EQ(RefusedAs("pat", "publisher", "TSDOM.UpdateVisibilitiesForRootNode",
                      json{{"lproductId", 7}, {"i_sVisibilities", ";1;"}})
                .number,
            err::RoleRefused);
  EXPECT_EQ(RefusedAs("pat", "publisher", "Admin.ReleaseCheckOut", Tree7()).number, err::RoleRefused);
  EXPECT_NOTHING_CHANGED(env, before);

  // A publisher publishes anybody's working copy.
  CallAs("pat", "publisher", "TSDOM.Publish", Tree7());
  EXPECT_FALSE(test::CheckOutHolder(test::kProduct, 7));
  EXPECT_TRUE(test::ReadRow(test::kProduct, 7, node, false));
  test::ExpectTreeConsistent(test::kProduct, 7, "ann");

  const auto trail = Trail();
  ASSERT_GE(trail.size(), 9u);
  EXPECT_EQ(trail[0].method, "TSDOM.Publish");
  EXPECT_EQ(trail[0].login, "pat");
  EXPECT_EQ(trail[0].outcome, kOutcomeOk);
  EXPECT_EQ(trail[0].treeId, 7);
  EXPECT_EQ(trail[1].outcome, kOutcomeRefused);
  EXPECT_EQ(trail[1].errorNumber, err::RoleRefused);
  // Reads leave no row; the reader's refusal does.
  EXPECT_EQ(trail.back().login, "rita");
  EXPECT_EQ(trail.back().outcome, kOutcomeRefused);
}

TEST_F(CallGuardTest, AUserArgumentNamingSomebodyElseIsRefusedUnlessAServiceAccountActs) {
  CallAs("ann", "author", "TSDOM.CreateEmptyTree", Tree7());
  test::Stored before = test::Snapshot(env);
  json forAnn = Tree7();
  forAnn["i_sUserId"] = "ann";
  EXPECT_EQ(RefusedAs("bob", "admin", "TSDOM.CheckOut", forAnn).number, err::ActingForOther);
  EXPECT_EQ(RefusedAs("bob", "author", "TSDOM.CheckOut", json::array({1, 7, "ann"})).number, err::ActingForOther);
  EXPECT_NOTHING_CHANGED(env, before);
  AuditEntry refused = Trail()[0];
  EXPECT_EQ(refused.login, "bob");
  EXPECT_EQ(refused.outcome, kOutcomeRefused);
  EXPECT_NE(refused.args.find("\"ann\""), std::string::npos) << refused.args;

  // Positional arguments without the user get the caller's login.
  EXPECT_EQ(CallAs("bob", "author", "TSDOM.CheckOut", json::array({1, 7}))["o_sOwner"], "");
  EXPECT_EQ(test::CheckOutHolder(test::kProduct, 7), "bob");
  CallAs("bob", "author", "TSDOM.UndoEditTree", json{{"i_lPrID", 7}, {"i_lTreeType", 1}});

  // The service account acts for ann, and is recorded so.
  {
    CallerScope scope(ServiceCaller());
    EXPECT_EQ(InvokeByName("TSDOM.CheckOut", forAnn, Audience::Network)["o_sOwner"], "");
  }
  EXPECT_EQ(test::CheckOutHolder(test::kProduct, 7), "ann");
  const AuditEntry acted = Trail()[0];
  EXPECT_EQ(acted.login, "service");
  EXPECT_EQ(acted.forLogin, "ann");
  EXPECT_EQ(Who(acted), "service for ann");
}

TEST_F(CallGuardTest, AnAuditRowIsThereExactlyWhenTheChangeCommitted) {
  CallAs("ann", "author", "TSDOM.CreateEmptyTree", Tree7());
  {
    ScopedRegistration failing(progid::DocumentStore, [] { return std::make_shared<CopyFails>(); });
    EXPECT_EQ(RefusedAs("ann", "author", "TSDOM.CheckOut", Tree7()).number, tsa::err::PermissionDenied);
  }
  EXPECT_FALSE(test::CheckOutHolder(test::kProduct, 7));
  AuditEntry failed = Trail()[0];
  EXPECT_EQ(failed.method, "TSDOM.CheckOut");
  EXPECT_EQ(failed.outcome, kOutcomeFailed);
  EXPECT_EQ(failed.errorNumber, tsa::err::PermissionDenied);
  EXPECT_EQ(Trail().size(), 2u);

  CallAs("ann", "author", "TSDOM.CheckOut", Tree7());
  EXPECT_EQ(Trail()[0].outcome, kOutcomeOk);
  test::ExpectTreeConsistent(test::kProduct, 7, "ann");
}

TEST_F(CallGuardTest, AnAdminReleasesAnotherUsersCheckOutAndTheTrailNamesTheHolder) {
  CallAs("ann", "author", "TSDOM.CreateEmptyTree", Tree7());
  CallAs("ann", "author", "TSDOM.CheckOut", Tree7());
  CallAs("ann", "author", "TSDOM.AddChildNew", AddChild());
  // Not even an admin discards ann's copy through the user argument.
  EXPECT_EQ(RefusedAs("root", "admin", "TSDOM.UndoEditTree", json{{"i_lPrID", 7}, {"i_lTreeType", 1}}).number,
            tsa::err::CheckedOutByOther);
  EXPECT_EQ(CallAs("root", "admin", "Admin.ReleaseCheckOut", Tree7()), "ann");
  EXPECT_FALSE(test::CheckOutHolder(test::kProduct, 7));
  EXPECT_TRUE(test::ReadRows(test::kProduct, 7, true).empty());
  const AuditEntry released = Trail()[0];
  EXPECT_EQ(released.method, "Admin.ReleaseCheckOut");
  EXPECT_NE(released.detail.find("ann"), std::string::npos) << released.detail;
  EXPECT_EQ(RefusedAs("root", "admin", "Admin.ReleaseCheckOut", Tree7()).number, tsa::err::NotCheckedOut);
  test::ExpectTreeConsistent(test::kProduct, 7, "ann");
}

TEST_F(CallGuardTest, ANetworkCallWithoutACallerIsRefused) {
  EXPECT_EQ(test::RaisedBy([] { InvokeByName("TSDOM.CreateEmptyTree", Tree7(), Audience::Network); }).number,
            err::NotSignedIn);
  EXPECT_FALSE(test::DocumentName(test::kProduct, 7, false));
}

}  // namespace
}  // namespace tsa::accounts
