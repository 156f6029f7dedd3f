// The read endpoints over HTTP: the document and a node as a user sees them.
#include <gtest/gtest.h>

#include <httplib.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include "platform/files/document_store.h"

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

std::string Gunzip(const std::string& data) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
  std::string out;
  char buffer[65536];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - z.avail_out);
  }
  inflateEnd(&z);
  EXPECT_EQ(rc, Z_STREAM_END);
  return out;
}

// The stored bytes, their tag, 304 for a client that has them, gzip for one
// that asks, and a new tag after every change.
TEST_F(TreeReadsTest, DocumentIsTheStoredFileWithItsTag) {
  test::CreateProductTree(9, ";1;", "Printer");
  ASSERT_EQ(test::CheckOut(test::kProduct, 9, "ann"), "");
  test::NewNode q;
  q.sd = "Is the lid closed?";
  test::AddNode(test::kProduct, 9, "ann", q);
  const std::string path =
      test::DocumentPath(test::kProduct, test::DocumentName(test::kProduct, 9, true).value_or(""), true);
  TreeReadRequest request;
  request.treeType = 1;
  request.id = 9;
  request.user = "ann";

  HttpReply plain = ReadTreeFor(request, {});
  ASSERT_EQ(plain.status, 200);
  ASSERT_TRUE(plain.sharedBody);
  EXPECT_EQ(*plain.sharedBody, DocumentStore()->Load(path));
  EXPECT_TRUE(plain.contentEncoding.empty());
  ASSERT_FALSE(plain.etag.empty());
  EXPECT_EQ(ReadTree(request).body, *plain.sharedBody);

  for (const std::string& held : {plain.etag, "W/" + plain.etag, "\"x\", " + plain.etag, std::string("*")}) {
    HttpReply again = ReadTreeFor(request, {held, ""});
    EXPECT_EQ(again.status, 304) << held;
    EXPECT_FALSE(again.sharedBody) << held;
    EXPECT_EQ(again.etag, plain.etag);
  }
  EXPECT_EQ(ReadTreeFor(request, {"\"other\"", ""}).status, 200);

  HttpReply gz = ReadTreeFor(request, {"", "deflate, gzip;q=0.8"});
  ASSERT_EQ(gz.contentEncoding, "gzip");
  ASSERT_TRUE(gz.sharedBody);
  EXPECT_EQ(Gunzip(*gz.sharedBody), *plain.sharedBody);
  EXPECT_NE(gz.etag, plain.etag);  // another representation
  EXPECT_EQ(ReadTreeFor(request, {gz.etag, "gzip"}).status, 304);
  EXPECT_EQ(ReadTreeFor(request, {gz.etag, ""}).status, 200);
  EXPECT_TRUE(ReadTreeFor(request, {"", "gzip;q=0, br"}).contentEncoding.empty());

  q.sd = "Is the tray in?";
  test::AddNode(test::kProduct, 9, "ann", q);
  HttpReply changed = ReadTreeFor(request, {plain.etag, "gzip"});
  EXPECT_EQ(changed.status, 200);
  EXPECT_NE(changed.etag, gz.etag);
  ASSERT_TRUE(changed.sharedBody);
  EXPECT_NE(Gunzip(*changed.sharedBody).find("Is the tray in?"), std::string::npos);
  EXPECT_EQ(ReadTreeFor(request, {plain.etag, ""}).status, 200);
}

}  // namespace
}  // namespace tsa::server
