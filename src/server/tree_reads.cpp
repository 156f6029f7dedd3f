#include "server/tree_reads.h"

#include <nlohmann/json.hpp>

#include "components/file_handling.h"
#include "model/tree.h"
#include "components/connections.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "storage/tree_types.h"

namespace tsa::server {

namespace {

HttpReply ReadOnce(const TreeReadRequest& request) {
  // A tree that was never created has no published document; loading it
  // would fail on the missing file name like a damaged tree would.
  const int32_t category = storage::DocumentCategory(request.treeType, false);
  FileNameDict names =
      CreateInContext<IFileHandling>(progid::FileHandling)->GetFileNames(request.id, {category});
  const auto* current = names.Find(category);
  if (!current || current->empty()) {
    Raise(err::TreeLoadFailed, "tsauthor.http",
          "There is no " + std::string(request.treeType == 1 ? "product tree " : "template ") +
              std::to_string(request.id));
  }
  TreePtr tree = CreateTreeObject();
  tree->load(request.treeType, request.id, request.user);
  HttpReply reply;
  if (!request.nodeId) {
    reply.contentType = "application/xml";
    reply.body = tree->TreeDOM().Xml();
    return reply;
  }
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

HttpReply ReadTree(const TreeReadRequest& request) {
  // In web-farm mode loading a tree may first fetch its document from the
  // shared folder, which writes: that takes a writing transaction.
  if (RunReadOnly([] { return GetWebFarmLocation().has_value(); })) {
    return RunTransactional([&] { return ReadOnce(request); });
  }
  // A read transaction: the rows of one committed state, no write lock and
  // no tree lock, so a read never waits for a writer. A writer that
  // commits meanwhile may remove the document file the rows name (a
  // publish replaces it): the next attempt sees the new state.
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    try {
      return RunReadOnly([&] { return ReadOnce(request); });
    } catch (const Error& e) {
      if (e.number() != err::TreeLoadFailed || attempt == kAttempts) throw;
    }
  }
}

}  // namespace tsa::server
