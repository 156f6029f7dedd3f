// Remote calls answer like local ones: the same results and the same errors.
#include <gtest/gtest.h>

#include "fake_classes.h"
#include "server/http_server.h"
#include "server/methods.h"
#include "server/rpc_client.h"
#include "support/test_env.h"

namespace tsa::server {
namespace {

using nlohmann::json;

class RpcClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServiceOptions o;
    o.dataDir = env.DataDir();
    o.token = "tok";
    o.accessLog = [](const std::string&) {};
    service = std::make_unique<HttpService>(o);
    service->Start();
    url = "http://127.0.0.1:" + std::to_string(service->Port());
  }

  static ErrorInfo ErrorOf(const std::function<void()>& call) {
    try {
      call();
    } catch (const Error& e) {
      return e.info();
    }
    ADD_FAILURE() << "no error";
    return {};
  }

  test::TestEnv env;
  test::FakeClasses fakes;
  std::unique_ptr<HttpService> service;
  std::string url;
};

TEST_F(RpcClientTest, RemoteResultsMatchLocalOnes) {
  for (const auto& [method, params] : std::vector<std::pair<std::string, json>>{
           {"TSDOM.Add", json{{"i_lA", 4}, {"i_lB", 5}}},
           {"TSDOM.Rename", json::array({3, "n", 1})},
           {"TSDOM.Nothing", nullptr},
           {"Tree.CheckOut", json{{"i_lTreeType", 1}, {"i_lID", 9}, {"i_sUserId", "ann"}}}}) {
    EXPECT_EQ(CallRemote(url, method, params, "tok"), CallLocal(method, params)) << method;
  }
  EXPECT_EQ(CallRemote(url + "/rpc", "TSDOM.Add", json::array({1, 1}), "tok"), 2);
}

TEST_F(RpcClientTest, RemoteErrorsAreRaisedAsTheEngineRaisedThem) {
  for (const auto& [method, params] : std::vector<std::pair<std::string, json>>{
           {"TSDOM.Fail", json::array({1011})},
           {"TSDOM.Add", json{{"i_lA", "x"}, {"i_lB", 1}}},
           {"TSDOM.Subtract", nullptr},
           {"Bogus.Add", nullptr}}) {
    ErrorInfo remote = ErrorOf([&] { CallRemote(url, method, params, "tok"); });
    ErrorInfo local = ErrorOf([&] { CallLocal(method, params); });
    EXPECT_EQ(remote.number, local.number) << method;
    EXPECT_EQ(remote.source, local.source) << method;
    EXPECT_EQ(remote.description, local.description) << method;
  }
  // What the network does not reach, the command line does.
  EXPECT_EQ(ErrorOf([&] { CallRemote(url, "Tree.load", json::array({1, 2, "x"}), "tok"); }).number,
            err::MethodNotSupported);
  EXPECT_NO_THROW(CallLocal("Tree.load", json::array({1, 2, "x"})));
}

TEST_F(RpcClientTest, TransportFailuresHaveTheirOwnNumbers) {
  EXPECT_EQ(ErrorOf([&] { CallRemote(url, "TSDOM.Add", json::array({1, 1}), "wrong"); }).number,
            err::PermissionDenied);
  EXPECT_EQ(ErrorOf([&] { CallRemote(url + "/elsewhere", "TSDOM.Add", json::array({1, 1}), "tok"); }).number,
            rpcerr::BadResponse);
  EXPECT_EQ(ErrorOf([&] { CallRemote("ftp://127.0.0.1", "TSDOM.Add", nullptr); }).number, err::InvalidArgument);
  service->Stop();
  EXPECT_EQ(ErrorOf([&] { CallRemote(url, "TSDOM.Add", json::array({1, 1}), "tok"); }).number, rpcerr::Unreachable);
}

}  // namespace
}  // namespace tsa::server
