// The read endpoints over HTTP: the document and a node as a user sees them.
#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "server/http_server.h"
#include "server/tree_reads.h"
#include "platform/db/session.h"
#include "support/tree_fixture.h"

namespace tsa::server {
namespace {

class TreeReadsTest : public test::TreeTest {
 protected:
  void SetUp() override {
    ServiceOptions o;
    o.accessLog = [](const std::string&) {};
    o.token = "reads-token";  // the service account, which reads every user's view
    service = std::make_unique<HttpService>(std::move(o));
    service->SetTreeReadHandler(ReadTree);
    service->Start();
  }
  void TearDown() override { service->Stop(); }
  httplib::Result Get(const std::string& path) {
    httplib::Client c("127.0.0.1", service->Port());
    c.set_bearer_token_auth("reads-token");
    return c.Get(path.c_str());
  }
  std::unique_ptr<HttpService> service;
};

TEST_F(TreeReadsTest, EachUserSeesTheirCopy) {
  test::CreateProductTree(7, ";1;", "Printer");
  ASSERT_EQ(test::CheckOut(test::kProduct, 7, "ann"), "");
  test::NewNode q;
  q.repType = 1;
  q.sd = "Paper jam <tray 2>";
  int32_t id = test::AddNode(test::kProduct, 7, "ann", q);

  auto holder = Get("/trees/1/7/document?user=ann");
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->status, 200);
  EXPECT_NE(holder->body.find("Paper jam &lt;tray 2&gt;"), std::string::npos);
  auto other = Get("/trees/1/7/document?user=bob");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 200);
  EXPECT_EQ(other->body.find("Paper jam"), std::string::npos);  // published copy

  auto node = Get("/trees/1/7/nodes/" + std::to_string(id) + "?user=ann");
  ASSERT_TRUE(node);
  ASSERT_EQ(node->status, 200);
  auto j = nlohmann::json::parse(node->body);
  EXPECT_EQ(j["NodeID"], id);
  EXPECT_EQ(j["PreTree"], ";0;");
  EXPECT_EQ(j["sd"], "Paper jam <tray 2>");
  EXPECT_EQ(j["Checkedout"], true);
}

TEST_F(TreeReadsTest, MissingTreesAndNodesAreNotFound) {
  test::CreateProductTree(8);
  auto node = Get("/trees/1/8/nodes/42?user=ann");
  ASSERT_TRUE(node);
  EXPECT_EQ(node->status, 404);
  EXPECT_NE(node->body.find("1006"), std::string::npos);
  auto tree = Get("/trees/1/99/document?user=ann");
  ASSERT_TRUE(tree);
  EXPECT_NE(tree->status, 200);
  // A tree that was never created is not a fault of the service.
  EXPECT_EQ(tree->status, 404) << tree->body;
  EXPECT_NE(tree->body.find("1002"), std::string::npos) << tree->body;
  auto template_ = Get("/trees/2/8/nodes/0?user=ann");
  ASSERT_TRUE(template_);
  EXPECT_EQ(template_->status, 404) << template_->body;
}

TEST_F(TreeReadsTest, ReadsDoNotWaitForAWriter) {
  test::CreateProductTree(7, ";1;", "Printer");
  ASSERT_EQ(test::CheckOut(test::kProduct, 7, "ann"), "");
  // Another connection is in the middle of a write: it holds the database's
  // write lock (SQLite) or the tree's lock and changed rows (PostgreSQL).
  auto writer = db::OpenSession(env.HelvixUri());
  writer->Begin();
  writer->LockKey(test::kProduct, 7);
  writer->Execute("UPDATE DIAGNOSTICS_TEMP SET SEQUENCE = SEQUENCE WHERE PRODUCTID = 7");

  httplib::Client c("127.0.0.1", service->Port());
  c.set_bearer_token_auth("reads-token");
  c.set_read_timeout(5, 0);  // a read that waited for the writer would not answer in time
  auto document = c.Get("/trees/1/7/document?user=ann");
  ASSERT_TRUE(document) << httplib::to_string(document.error());
  EXPECT_EQ(document->status, 200) << document->body;
  EXPECT_NE(document->body.find("<Node"), std::string::npos);
  auto node = c.Get("/trees/1/7/nodes/0?user=bob");
  ASSERT_TRUE(node) << httplib::to_string(node.error());
  EXPECT_EQ(node->status, 200) << node->body;
  writer->Rollback();
}

}  // namespace
}  // namespace tsa::server
