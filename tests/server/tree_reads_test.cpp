// The read endpoints over HTTP: the document and a node as a user sees them.
#include <gtest/gtest.h>

#include <httplib.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include "accounts/accounts.h"
#include "accounts/tokens.h"
#include "authoring/browse.h"
#include "authoring/tsdom.h"
#include "platform/files/document_store.h"
#include "runtime/settings.h"
#include "storage/document_cache.h"

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
    // As the service serves them: the request's conditions reach the read.
    service->SetTreeReadHandler(
        [](const TreeReadRequest& r) { return ReadTreeFor(r, {r.ifNoneMatch, r.acceptEncoding}); });
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
  auto tree = c.Get("/trees/1/7/json?user=ann");
  ASSERT_TRUE(tree) << httplib::to_string(tree.error());
  EXPECT_EQ(tree->status, 200) << tree->body;
  // Browse's members read in read-only transactions of their own.
  auto rpc = c.Post("/rpc", R"({"jsonrpc":"2.0","id":1,"method":"Browse.Products","params":{}})", "application/json");
  ASSERT_TRUE(rpc) << httplib::to_string(rpc.error());
  EXPECT_NE(rpc->body.find("\"result\""), std::string::npos) << rpc->body;
  writer->Rollback();
}

// Over the wire: the tag in ETag, 304 with no body for a client that has it,
// the compressed bytes for one that asks.
TEST_F(TreeReadsTest, DocumentTagsAndCompressionReachTheClient) {
  test::CreateProductTree(8, ";1;", "Scanner");
  httplib::Client c("127.0.0.1", service->Port());
  c.set_bearer_token_auth("reads-token");
  auto first = c.Get("/trees/1/8/document?user=ann");
  ASSERT_TRUE(first);
  ASSERT_EQ(first->status, 200) << first->body;
  const std::string etag = first->get_header_value("ETag");
  ASSERT_FALSE(etag.empty());
  EXPECT_EQ(first->get_header_value("Cache-Control"), "no-cache");
  EXPECT_NE(first->body.find("<Node"), std::string::npos);

  auto again = c.Get("/trees/1/8/document?user=ann", {{"If-None-Match", etag}});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 304);
  EXPECT_TRUE(again->body.empty());
  EXPECT_EQ(again->get_header_value("ETag"), etag);

  auto gz = c.Get("/trees/1/8/document?user=ann", {{"Accept-Encoding", "gzip"}});
  ASSERT_TRUE(gz);
  EXPECT_EQ(gz->status, 200);
  EXPECT_EQ(gz->get_header_value("Content-Encoding"), "gzip");
  EXPECT_NE(gz->get_header_value("ETag"), etag);
  EXPECT_EQ(gz->body, first->body);  // the client library inflated it
}

// The tree as JSON: its tag, 304, gzip, and a new tag whenever the answer
// changes, also when only the check-out record does; a reader over the wire
// gets the Browse methods and the published copy, never another's working copy.
TEST_F(TreeReadsTest, TreeJsonHasATagThatFollowsEveryChange) {
  TSDOMPtr dom = CreateTSDOMObject();
  test::CreateProductTree(9, ";1;", "Printer");
  ASSERT_EQ(test::CheckOut(test::kProduct, 9, "ann"), "");
  test::NewNode q;
  q.repType = storage::kRepCategory;
  q.sd = "Lid";
  const int32_t node = test::AddNode(test::kProduct, 9, "ann", q);
  httplib::Client c("127.0.0.1", service->Port());
  c.set_bearer_token_auth("reads-token");

  auto first = c.Get("/trees/1/9/json?user=ann");
  ASSERT_TRUE(first);
  ASSERT_EQ(first->status, 200) << first->body;
  EXPECT_EQ(first->get_header_value("Content-Type"), "application/json");
  const nlohmann::json tree = nlohmann::json::parse(first->body);
  EXPECT_EQ(tree["view"], "working");
  EXPECT_EQ(tree["root"]["children"][0]["short"], "Lid");
  const std::string etag = first->get_header_value("ETag");
  ASSERT_FALSE(etag.empty());
  auto again = c.Get("/trees/1/9/json?user=ann", {{"If-None-Match", etag}});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 304);
  EXPECT_TRUE(again->body.empty());

  TreeReadRequest request;
  request.treeType = 1;
  request.id = 9;
  request.user = "ann";
  request.json = true;
  HttpReply gz = ReadTreeFor(request, {"", "gzip"});
  ASSERT_EQ(gz.contentEncoding, "gzip");
  ASSERT_TRUE(gz.sharedBody);
  EXPECT_EQ(Gunzip(*gz.sharedBody), first->body);
  EXPECT_NE(gz.etag, etag);
  EXPECT_EQ(ReadTreeFor(request, {gz.etag, "gzip"}).status, 304);

  auto published = c.Get("/trees/1/9/json?user=ann&view=published");
  ASSERT_TRUE(published);
  EXPECT_EQ(nlohmann::json::parse(published->body)["view"], "published");
  const std::string publishedTag = published->get_header_value("ETag");
  EXPECT_NE(publishedTag, etag);

  // A FAQ list is kept in the rows only, and the save writes the document anew.
  const int32_t repId = test::ReadRow(test::kProduct, 9, node, true)->repId;
  dom->SaveNode(test::kProduct, 9, node, repId, "Lid", "long", false, ";1;", false, ";3;", -1, "ann");
  auto edited = c.Get("/trees/1/9/json?user=ann", {{"If-None-Match", etag}});
  ASSERT_TRUE(edited);
  EXPECT_EQ(edited->status, 200);
  EXPECT_EQ(nlohmann::json::parse(edited->body)["root"]["children"][0]["faqs"], ";3;");

  // Undoing the edit leaves the published file as it was, but not the answer.
  dom->UndoEditTree(9, test::kProduct, "ann");
  auto undone = c.Get("/trees/1/9/json?user=ann&view=published", {{"If-None-Match", publishedTag}});
  ASSERT_TRUE(undone);
  EXPECT_EQ(undone->status, 200);
  EXPECT_TRUE(nlohmann::json::parse(undone->body)["checkedOutBy"].is_null());
  auto none = c.Get("/trees/1/9/json?view=working");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 404) << none->body;
  EXPECT_NE(none->body.find("1600"), std::string::npos);
  auto bad = c.Get("/trees/1/9/json?view=draft");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);

  // A reader: the methods over JSON-RPC, and no working copy of somebody else.
  ASSERT_EQ(test::CheckOut(test::kProduct, 9, "ann"), "");
  accounts::CreateAccount("rita", "Rita", accounts::Role::Reader, "");
  httplib::Client reader("127.0.0.1", service->Port());
  reader.set_bearer_token_auth(accounts::CreateToken("rita", "tests").token);
  auto refused = reader.Get("/trees/1/9/json?view=working");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 403) << refused->body;
  EXPECT_NE(refused->body.find("1601"), std::string::npos);
  auto mine = reader.Get("/trees/1/9/json");
  ASSERT_TRUE(mine);
  EXPECT_EQ(nlohmann::json::parse(mine->body)["view"], "published");
  auto rpc = reader.Post("/rpc",
                         R"({"jsonrpc":"2.0","id":1,"method":"Browse.Tree","params":{"i_lTreeType":1,"i_lID":9}})",
                         "application/json");
  ASSERT_TRUE(rpc);
  const nlohmann::json answer = nlohmann::json::parse(rpc->body);
  ASSERT_TRUE(answer.contains("result")) << rpc->body;
  EXPECT_EQ(answer["result"]["checkedOutBy"], "ann");
  EXPECT_EQ(answer["result"]["view"], "published");
}

}  // namespace
}  // namespace tsa::server

namespace tsa::server {
namespace {

// Every reader of one version of a document is sent the one copy the
// document cache holds: the bytes, their gzip copy and the tree as JSON.
class SharedCopiesTest : public test::TreeTest {
 protected:
  SharedCopiesTest() : saved_(CurrentSettings()) { storage::ClearDocumentCache(); }
  ~SharedCopiesTest() override {
    SetCurrentSettings(saved_);
    storage::ClearDocumentCache();
  }
  static TreeReadRequest Request(bool json = false) {
    TreeReadRequest r;
    r.treeType = 1;
    r.id = 7;
    r.user = "bob";
    r.json = json;
    return r;
  }
  static std::shared_ptr<const std::string> Read(bool gzip, bool json = false) {
    HttpReply reply = ReadTreeFor(Request(json), {"", gzip ? "gzip" : ""});
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.sharedBody);
    return reply.sharedBody;
  }

 private:
  Settings saved_;
};

TEST_F(SharedCopiesTest, ReadersOfOneVersionShareOneCopyAndANewVersionGetsItsOwn) {
  test::CreateProductTree(7, ";1;", "Printer");
  for (bool gzip : {false, true}) {
    auto first = Read(gzip);
    auto second = Read(gzip);
    EXPECT_EQ(first.get(), second.get()) << "gzip " << gzip;
  }
  auto json = Read(false, true);
  EXPECT_EQ(json.get(), Read(false, true).get());
  EXPECT_EQ(Read(true, true).get(), Read(true, true).get());

  // A publication makes a new version: a new copy, the old one still whole
  // for whoever is sending it.
  auto old = Read(false);
  const std::string oldText = *old;
  ASSERT_EQ(test::CheckOut(test::kProduct, 7, "ann"), "");
  test::NewNode q;
  q.repType = 1;
  q.sd = "Toner low";
  test::AddNode(test::kProduct, 7, "ann", q);
  test::Publish(test::kProduct, 7);
  auto now = Read(false);
  EXPECT_NE(now.get(), old.get());
  EXPECT_NE(now->find("Toner low"), std::string::npos);
  EXPECT_EQ(*old, oldText);
}

TEST_F(SharedCopiesTest, ACopyPushedOutOfTheBudgetIsStillSharedWhileItIsBeingSent) {
  test::CreateProductTree(7, ";1;", "Printer");
  Settings s = CurrentSettings();
  s.documentCacheBytes = 64;  // nothing fits
  SetCurrentSettings(s);
  auto sending = Read(false);
  EXPECT_EQ(Read(false).get(), sending.get());
  EXPECT_LE(storage::DocumentCacheStatistics().bytes, 64u);
  // Once nobody holds it, it is gone.
  std::weak_ptr<const std::string> watch = sending;
  sending.reset();
  EXPECT_TRUE(watch.expired());

  // Within the budget the copy stays kept between readers.
  s.documentCacheBytes = size_t{64} << 20;
  SetCurrentSettings(s);
  auto kept = Read(false);
  std::weak_ptr<const std::string> keptWatch = kept;
  kept.reset();
  EXPECT_FALSE(keptWatch.expired());
  EXPECT_EQ(Read(false).get(), keptWatch.lock().get());
  EXPECT_GE(storage::DocumentCacheStatistics().renditions, 1u);
}

}  // namespace
}  // namespace tsa::server
