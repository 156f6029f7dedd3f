#include "server/tree_reads.h"

#include <nlohmann/json.hpp>

#include "model/tree.h"
#include "service/context.h"

namespace tsa::server {

HttpReply ReadTree(const TreeReadRequest& request) {
  // One read transaction, so the document and the rows agree.
  return RunTransactional([&] {
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
  });
}

}  // namespace tsa::server
