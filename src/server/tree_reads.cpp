#include "server/tree_reads.h"

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "authoring/browse.h"
#include "components/connections.h"
#include "components/file_handling.h"
#include "model/tree.h"
#include "platform/files/database_store.h"
#include "platform/files/document_store.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "storage/document_cache.h"
#include "storage/tree_types.h"

namespace tsa::server {

namespace {

constexpr const char* kSource = "tsauthor.http";

std::string ETagOf(const FileIdentity& id, bool gzip) {
  char text[96];
  std::snprintf(text, sizeof text, "\"%llx-%llx-%llx-%llx%s\"", static_cast<unsigned long long>(id.device),
                static_cast<unsigned long long>(id.inode), static_cast<unsigned long long>(id.size),
                static_cast<unsigned long long>(id.modifiedNs), gzip ? "-gz" : "");
  return text;
}

}  // namespace

std::shared_ptr<const std::string> Gzip(const std::string& data, int level) {
  z_stream z{};
  // 15 + 16: a gzip wrapper.
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    Raise(err::OutOfMemory, kSource, "Out of memory compressing a document");
  }
  auto out = std::make_shared<std::string>();
  out->resize(deflateBound(&z, static_cast<uLong>(data.size())));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out->data());
  z.avail_out = static_cast<uInt>(out->size());
  const int rc = deflate(&z, Z_FINISH);
  out->resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) Raise(err::InternalError, kSource, "A document could not be compressed");
  return out;
}

namespace {

// The document at `path` as stored, with its tag; nothing parsed. Each
// version's bytes and gzip copy are held once, in the document cache
// (storage/document_cache.h), and every reader is sent that copy. A file
// that is not there (a publication replaced it meanwhile) is a tree that
// could not be loaded, which the caller tries again.
void AnswerDocument(const std::string& path, const ReadConditions& conditions, HttpReply& reply) try {
  reply.contentType = "application/xml";
  auto store = DocumentStore();
  auto files = std::dynamic_pointer_cast<IdentifiedDocumentStore>(store);
  if (!files) {
    reply.sharedBody = std::make_shared<const std::string>(store->Load(path));
    return;
  }
  const bool gzip = AcceptsGzip(conditions.acceptEncoding);
  const std::string plainKey = path + "\n(plain)";
  const std::string key = gzip ? path + "\n(gzip)" : plainKey;
  // The tag first: an unchanged version is answered 304, or from the copy
  // kept, without reading it again.
  if (std::optional<FileIdentity> identity = files->CurrentIdentity(path)) {
    reply.etag = ETagOf(*identity, gzip);
    if (IfNoneMatchNames(conditions.ifNoneMatch, reply.etag)) {
      reply.status = 304;
      return;
    }
    if (auto kept = storage::FindRendition(key, reply.etag)) {
      reply.sharedBody = std::move(kept);
      if (gzip) reply.contentEncoding = "gzip";
      return;
    }
  }
  std::optional<FileIdentity> read;
  auto bytes = std::make_shared<const std::string>(files->LoadIdentified(path, read));
  if (!read) {  // staged in this transaction: not a stored file
    reply.etag.clear();
    reply.sharedBody = std::move(bytes);
    return;
  }
  bytes = storage::KeepRendition(plainKey, ETagOf(*read, false), std::move(bytes));
  reply.etag = ETagOf(*read, gzip);
  if (gzip) {
    reply.sharedBody = storage::KeepRendition(key, reply.etag, Gzip(*bytes));
    reply.contentEncoding = "gzip";
  } else {
    reply.sharedBody = std::move(bytes);
  }
} catch (const Error& e) {
  // Any other failure (a database error, a file the service may not read)
  // is the service's, and keeps its own number.
  if (e.number() != err::FileNotFound && e.number() != err::PathNotFound) throw;
  Raise(err::TreeLoadFailed, kSource, "The tree document could not be read: " + e.description());
}

// The tree as JSON (authoring/browse.h) with the rendering's tag; the
// compressed form kept per tree, view and reader in the document cache like
// a document's.
HttpReply AnswerTreeJson(const TreeReadRequest& request, const ReadConditions& conditions) {
  HttpReply reply;
  reply.contentType = "application/json";
  const bool gzip = AcceptsGzip(conditions.acceptEncoding);
  auto tagOf = [gzip](const std::string& tag) { return gzip ? tag.substr(0, tag.size() - 1) + "-gz\"" : tag; };
  TreeJson rendered =
      RenderTreeJson(request.treeType, request.id, request.view, request.user, [&](const std::string& tag) {
        return IfNoneMatchNames(conditions.ifNoneMatch, tagOf(tag));
      });
  if (!rendered.tag.empty()) reply.etag = tagOf(rendered.tag);
  if (!rendered.text) {
    reply.status = 304;
    return reply;
  }
  if (!gzip) {
    reply.sharedBody = std::move(rendered.text);
    return reply;
  }
  reply.contentEncoding = "gzip";
  const std::string key = "json " + std::to_string(request.treeType) + " " + std::to_string(request.id) + " " +
                          request.view + " " + (request.view.empty() ? request.user : std::string());
  if (!reply.etag.empty()) {
    if (auto kept = storage::FindRendition(key, reply.etag)) {
      reply.sharedBody = std::move(kept);
      return reply;
    }
  }
  reply.sharedBody = Gzip(*rendered.text);
  if (!reply.etag.empty()) reply.sharedBody = storage::KeepRendition(key, reply.etag, std::move(reply.sharedBody));
  return reply;
}

}  // namespace

bool IfNoneMatchNames(const std::string& ifNoneMatch, const std::string& etag) {
  if (etag.empty()) return false;
  std::string_view opaque = etag;
  if (opaque.substr(0, 2) == "W/") opaque.remove_prefix(2);
  size_t pos = 0;
  while (pos < ifNoneMatch.size()) {
    size_t end = ifNoneMatch.find(',', pos);
    if (end == std::string::npos) end = ifNoneMatch.size();
    std::string_view item = std::string_view(ifNoneMatch).substr(pos, end - pos);
    while (!item.empty() && std::isspace(static_cast<unsigned char>(item.front()))) item.remove_prefix(1);
    while (!item.empty() && std::isspace(static_cast<unsigned char>(item.back()))) item.remove_suffix(1);
    if (item.substr(0, 2) == "W/") item.remove_prefix(2);
    if (item == "*" || item == opaque) return true;
    pos = end + 1;
  }
  return false;
}

bool AcceptsGzip(const std::string& acceptEncoding) {
  size_t pos = 0;
  while (pos < acceptEncoding.size()) {
    size_t end = acceptEncoding.find(',', pos);
    if (end == std::string::npos) end = acceptEncoding.size();
    std::string item = acceptEncoding.substr(pos, end - pos);
    pos = end + 1;
    for (char& c : item) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string name = item.substr(0, item.find(';'));
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.front()))) name.erase(0, 1);
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
    if (name != "gzip" && name != "x-gzip") continue;
    // "q=0", "q=0.0", "q=0.000" refuse it.
    size_t q = item.find("q=");
    if (q == std::string::npos) return true;
    std::string value = item.substr(q + 2);
    return value.find_first_of("123456789") != std::string::npos;
  }
  return false;
}

namespace {

// One read in the calling context: the document as stored (or 304), the
// tree as JSON, or one node as JSON.
HttpReply ReadOnce(const TreeReadRequest& request, const ReadConditions& conditions) {
  HttpReply reply;
  if (!request.json && !request.nodeId) {
    // Locating fails with 1002 for a tree that was never created.
    AnswerDocument(LocateTreeDocument(request.treeType, request.id, request.user).path, conditions, reply);
    return reply;
  }
  // A tree that was never created has no published document; loading it
  // would fail on the missing file name like a damaged tree would.
  const int32_t category = storage::DocumentCategory(request.treeType, false);
  FileNameDict names =
      CreateInContext<IFileHandling>(progid::FileHandling)->GetFileNames(request.id, {category});
  const auto* current = names.Find(category);
  if (!current || current->empty()) {
    Raise(err::TreeLoadFailed, kSource,
          "There is no " + std::string(request.treeType == 1 ? "product tree " : "template ") +
              std::to_string(request.id));
  }
  if (request.json) return AnswerTreeJson(request, conditions);
  TreePtr tree = CreateTreeObject();
  tree->load(request.treeType, request.id, request.user);
  NodePtr node = tree->getNode(*request.nodeId);
  nlohmann::json j;
  j["NodeID"] = node->NodeID;
  j["RepType"] = node->RepType;
  j["RepID"] = node->RepID;
  j["Visibilities"] = node->Visibilities;
  j["ParentNodeID"] = node->ParentNodeID;
  j["Depth"] = node->Depth;
  j["Sequence"] = node->Sequence;
  j["PreTree"] = node->PreTree;
  j["ID"] = node->ID;
  j["TreeType"] = node->TreeType;
  j["TemplateTopType"] = node->TemplateTopType;
  j["FAQs"] = node->FAQs;
  j["HyperlinkNodeID"] = node->HyperlinkNodeID;
  j["Checkedout"] = tree->Checkedout();
  if (!node->NodeDOM.IsNull()) {
    j["sd"] = node->NodeDOM.ChildText("sd");
    j["ld"] = node->NodeDOM.ChildText("ld");
  } else {
    j["sd"] = nullptr;
    j["ld"] = nullptr;
  }
  reply.contentType = "application/json";
  reply.body = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return reply;
}

}  // namespace

HttpReply ReadTreeFor(const TreeReadRequest& request, const ReadConditions& conditions) {
  // A read transaction: the rows of one committed state, no write lock and
  // no tree lock, so a read never waits for a writer. A writer that
  // commits meanwhile may remove the document file the rows name (a
  // publish replaces it): the next attempt sees the new state.
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    try {
      std::optional<HttpReply> reply = RunReadOnly([&]() -> std::optional<HttpReply> {
        // In web-farm mode loading a tree may first fetch its document from
        // the shared folder, which writes: that takes a writing transaction.
        if (GetWebFarmLocation()) return std::nullopt;
        return ReadOnce(request, conditions);
      });
      if (reply) return std::move(*reply);
      return RunTransactional([&] { return ReadOnce(request, conditions); });
    } catch (const Error& e) {
      if (e.number() != err::TreeLoadFailed || attempt == kAttempts) throw;
    }
  }
}

HttpReply ReadTree(const TreeReadRequest& request) {
  HttpReply reply = ReadTreeFor(request, {});
  if (reply.sharedBody) {
    reply.body = *reply.sharedBody;
    reply.sharedBody.reset();
  }
  return reply;
}

}  // namespace tsa::server
