// Refused edits over HTTP: the caller gets the engine's number and the
// member's report in a JSON-RPC error, and nothing is written, neither rows
// nor documents.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "authoring/tsdom_edit_util.h"
#include "e2e/service_fixture.h"
#include "runtime/settings.h"

namespace tsa::test {
namespace {

using nlohmann::json;

constexpr const char* kAddChildNewReport = "\r\nMETHOD: HXSvcTroubleshooting.TSDOM.AddChildNew caught: ";

json AddQuestion(int32_t parent, const std::string& user, const std::string& visibilities = ";2;") {
  return {{"i_lTreeType", kProduct},   {"i_lID", kScanner},      {"i_lCurrentNodeID", parent},
          {"i_lRepType", storage::kRepQuestion}, {"i_sSDesc", "Lid open?"}, {"i_sLDesc", ""},
          {"i_sVisibilities", visibilities},     {"i_sFAQs", ";"},          {"i_lHyperlinkNodeID", -1},
          {"i_sUserId", user}};
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

class ErrorPathsTest : public ServiceTest {
 protected:
  ErrorPathsTest() {
    client().Result("TSDOM.CreateEmptyTree", {{"i_lTreeType", kProduct}, {"i_lID", kScanner}});
  }
  void CheckOut(const std::string& user) {
    client().Result("TSDOM.CheckOut",
                    {{"i_lTreeType", kProduct}, {"i_lID", kScanner}, {"i_sUserId", user}, {"o_sOwner", ""}});
  }
  int32_t AddCategory(const std::string& user) {
    return client()
        .Result("TSDOM.AddChildNew",
                {{"i_lTreeType", kProduct}, {"i_lID", kScanner}, {"i_lCurrentNodeID", 0},
                 {"i_lRepType", storage::kRepCategory}, {"i_sSDesc", "Scanning"}, {"i_sLDesc", ""},
                 {"i_sVisibilities", ";2;"}, {"i_sFAQs", ";"}, {"i_lHyperlinkNodeID", -1}, {"i_sUserId", user}})
        .get<int32_t>();
  }
};

TEST_F(ErrorPathsTest, EditsOfATreeTheCallerDoesNotHoldAreRefusedWith1003) {
  // Nobody holds the tree yet.
  Stored before = Snapshot(env);
  ErrorInfo e = client().EngineError("TSDOM.AddChildNew", AddQuestion(0, "carol"));
  EXPECT_EQ(e.number, err::NotCheckedOut);
  EXPECT_TRUE(StartsWith(e.description, kAddChildNewReport)) << e.description;
  EXPECT_NOTHING_CHANGED(env, before);

  // Another author holds it: none of the editing members touches it for carol.
  CheckOut("dave");
  const int32_t category = AddCategory("dave");
  before = Snapshot(env);
  EXPECT_EQ(client().EngineError("TSDOM.AddChildNew", AddQuestion(category, "carol")).number, err::NotCheckedOut);
  EXPECT_EQ(client()
                .EngineError("TSDOM.AddChildFromRep",
                             {{"i_lTreeType", kProduct}, {"i_lID", kScanner}, {"i_lCurrentNodeID", category},
                              {"i_lRepType", storage::kRepQuestion}, {"i_lRepID", 1}, {"i_sVisibilities", ";2;"},
                              {"i_sFAQs", ";"}, {"i_lHyperlinkNodeID", -1}, {"i_sUserId", "carol"}})
                .number,
            err::NotCheckedOut);
  EXPECT_EQ(client()
                .EngineError("TSDOM.SaveNode",
                             {{"i_lTreeType", kProduct}, {"i_lID", kScanner}, {"i_lNodeID", category},
                              {"i_lRepID", 0}, {"i_sSDesc", "Hijacked"}, {"i_sLDesc", ""},
                              {"i_bPropogateContent", true}, {"i_sVisibilities", ";2;"},
                              {"i_bPropogateVisibDown", true}, {"i_sFAQs", ";"}, {"i_lHyperlinkNodeID", -1},
                              {"i_sUserId", "carol"}})
                .number,
            err::NotCheckedOut);
  EXPECT_EQ(client()
                .EngineError("TSDOM.MoveNode", {{"i_lTreeType", kProduct}, {"i_lID", kScanner},
                                                {"i_lNodeID", category}, {"i_lDirection", 1}, {"i_sUserId", "carol"}})
                .number,
            err::NotCheckedOut);
  EXPECT_EQ(client()
                .EngineError("TSDOM.DeleteNode",
                             {{"i_lTreeType", kProduct}, {"i_lID", kScanner}, {"i_lNodeID", category},
                              {"i_sUserId", "carol"}})
                .number,
            err::NotCheckedOut);
  EXPECT_NOTHING_CHANGED(env, before);
  EXPECT_EQ(ChildNodeIds(client().Document(kProduct, kScanner, "dave").DocumentElement()),
            std::vector<int32_t>{category});
}

TEST_F(ErrorPathsTest, AChildOfAKindTheParentCannotHoldIsRefusedWith1005) {
  CheckOut("dave");
  const int32_t category = AddCategory("dave");
  const Stored before = Snapshot(env);

  // A product tree's root holds categories only; a category holds no category.
  ErrorInfo e = client().EngineError("TSDOM.AddChildNew", AddQuestion(0, "dave"));
  EXPECT_EQ(e.number, err::ChildTypeNotAllowed);
  EXPECT_TRUE(StartsWith(e.description, kAddChildNewReport)) << e.description;
  json nested = AddQuestion(category, "dave");
  nested["i_lRepType"] = storage::kRepCategory;
  EXPECT_EQ(client().EngineError("TSDOM.AddChildNew", nested).number, err::ChildTypeNotAllowed);

  EXPECT_NOTHING_CHANGED(env, before);
  ExpectTreeConsistent(kProduct, kScanner, "dave");
}

TEST_F(ErrorPathsTest, AMalformedVisibilityListIsRefusedWith1201NamingTheArgument) {
  CheckOut("dave");
  const int32_t category = AddCategory("dave");
  const Stored before = Snapshot(env);

  for (const std::string bad : {"2;", ";2", ";2;;3;", ";<b>;", ";1'; DROP TABLE DIAGNOSTICS;--;"}) {
    SCOPED_TRACE(bad);
    ErrorInfo e = client().EngineError("TSDOM.AddChildNew", AddQuestion(category, "dave", bad));
    EXPECT_EQ(e.number, err::InvalidVisibilityList);
    EXPECT_TRUE(StartsWith(e.description, kAddChildNewReport)) << e.description;
    EXPECT_NE(e.description.find("i_sVisibilities"), std::string::npos) << e.description;
  }
  ErrorInfo save = client().EngineError(
      "TSDOM.SaveNode", {{"i_lTreeType", kProduct}, {"i_lID", kScanner}, {"i_lNodeID", category}, {"i_lRepID", 0},
                         {"i_sSDesc", "Scanning"}, {"i_sLDesc", ""}, {"i_bPropogateContent", false},
                         {"i_sVisibilities", ";2;3"}, {"i_bPropogateVisibDown", true}, {"i_sFAQs", ";"},
                         {"i_lHyperlinkNodeID", -1}, {"i_sUserId", "dave"}});
  EXPECT_EQ(save.number, err::InvalidVisibilityList);
  EXPECT_NE(save.description.find("i_sVisibilities"), std::string::npos) << save.description;

  EXPECT_NOTHING_CHANGED(env, before);
}

TEST_F(ErrorPathsTest, ACallOnATreeThatDoesNotExistSaysSoWith1002) {
  json add = AddQuestion(0, "dave");
  add["i_lID"] = kLaserPrinter;  // in the catalog, but its tree was never created
  for (const auto& [method, params] :
       std::vector<std::pair<std::string, json>>{
           {"TSDOM.AddChildNew", add},
           {"TSDOM.CheckOut", {{"i_lTreeType", kProduct}, {"i_lID", kLaserPrinter}, {"i_sUserId", "dave"}, {"o_sOwner", ""}}}}) {
    SCOPED_TRACE(method);
    ErrorInfo e = client().EngineError(method, params);
    EXPECT_EQ(e.number, err::TreeLoadFailed) << e.description;
    EXPECT_NE(e.description.find("there is no product tree 7"), std::string::npos) << e.description;
    // The file-handling service's own report stays inside.
    EXPECT_NE(e.description.find("(9)"), std::string::npos) << e.description;
  }
}

TEST_F(ErrorPathsTest, EveryMemberTakingAVisibilityListRefusesTheSameLists) {
  CheckOut("dave");
  const int32_t category = AddCategory("dave");
  const Stored before = Snapshot(env);
  for (const std::string bad : {";99999999999;", ";a;", ";1;x;"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(client().EngineError("TSDOM.AddChildNew", AddQuestion(category, "dave", bad)).number,
              err::InvalidVisibilityList);
    EXPECT_EQ(client()
                  .EngineError("TSDOM.UpdateVisibilitiesForRootNode", {{"lproductId", kScanner}, {"i_sVisibilities", bad}})
                  .number,
              err::InvalidVisibilityList);
    EXPECT_EQ(client().EngineError("TSDOM.AppendVisibilityInOrder", {{"sTempArr", bad}, {"sVisibility", "1"}}).number,
              err::InvalidVisibilityList);
    EXPECT_EQ(client()
                  .EngineError("TSDOM.SaveNode",
                               {{"i_lTreeType", kProduct}, {"i_lID", kScanner}, {"i_lNodeID", category}, {"i_lRepID", 0},
                                {"i_sSDesc", "Scanning"}, {"i_sLDesc", ""}, {"i_bPropogateContent", false},
                                {"i_sVisibilities", bad}, {"i_bPropogateVisibDown", true}, {"i_sFAQs", ";"},
                                {"i_lHyperlinkNodeID", -1}, {"i_sUserId", "dave"}})
                  .number,
              err::InvalidVisibilityList);
  }
  EXPECT_NOTHING_CHANGED(env, before);
}

TEST_F(ErrorPathsTest, ALogThatCannotBeWrittenDoesNotChangeTheErrorReported) {
  CheckOut("dave");
  const Settings saved = CurrentSettings();
  // A log file on a full disk, and one in a folder that takes no new file
  // (for root, who may write anywhere, a folder nobody can create).
  const std::string readOnly = env.DataDir() + "/readonly-logs";
  std::filesystem::create_directories(readOnly);
  std::filesystem::permissions(readOnly, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  const std::string unwritable = ::geteuid() == 0 ? "/proc/tsauthor-logs/tsauthor.log" : readOnly + "/tsauthor.log";
  for (const std::string& logFile : {std::string("/dev/full"), unwritable}) {
    SCOPED_TRACE(logFile);
    Settings s = saved;
    s.logFile = logFile;
    SetCurrentSettings(s);
    const uint64_t failedBefore = FailedLogWrites();
    ErrorInfo e = client().EngineError("TSDOM.AddChildNew", AddQuestion(0, "carol"));
    EXPECT_EQ(e.number, err::NotCheckedOut) << e.description;
    EXPECT_TRUE(StartsWith(e.description, kAddChildNewReport)) << e.description;
    EXPECT_GT(FailedLogWrites(), failedBefore);
    auto [status, metrics] = client().Get("/metrics");
    EXPECT_NE(metrics.find("tsauthor_log_write_failures_total " + std::to_string(FailedLogWrites())),
              std::string::npos);
  }
  SetCurrentSettings(saved);
  std::filesystem::permissions(readOnly, std::filesystem::perms::owner_all);
}

}  // namespace
}  // namespace tsa::test
