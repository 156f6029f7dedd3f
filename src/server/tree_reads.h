// The read endpoints a front end needs: a tree's document and one node's
// properties, as a given user sees them.
#pragma once

#include "server/http_server.h"

namespace tsa::server {

// Answers GET /trees/{type}/{id}/document and /trees/{type}/{id}/nodes/{n}.
HttpReply ReadTree(const TreeReadRequest& request);

}  // namespace tsa::server
