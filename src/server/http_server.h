// The network service: JSON-RPC 2.0 over HTTP on the callable classes, with
// health, metrics and the tree read endpoints.
//
//   POST /rpc                                   JSON-RPC calls and batches
//   GET  /health                                database reachable, data folder writable
//   GET  /metrics                               Prometheus text
//   GET  /trees/{type}/{id}/document?user=LOGIN        a tree's document as the user sees it
//   GET  /trees/{type}/{id}/nodes/{nodeId}?user=LOGIN  one node of it
//   POST /auth/login, /auth/logout, GET /auth/me, /auth/setup   sign-in (server/auth_endpoints.h)
//
// Every request but GET /health and the sign-in itself needs an identity
// (server/access.h): a personal token, the service token or a browser
// session.
//
// Safe by default: it listens on loopback unless told otherwise, refuses a
// non-loopback address without a bearer token, checks the token in constant
// time, bounds the request body before reading it and the JSON nesting before
// parsing it, and times out slow peers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/settings.h"

namespace tsa::server {

class Metrics;
class AccessControl;

// A validated read request: tree type 1 or 2, identifiers in 32-bit range, a
// non-empty user.
struct TreeReadRequest {
  int32_t treeType = 0;
  int32_t id = 0;
  std::optional<int32_t> nodeId;  // set for /nodes/{nodeId}, empty for /document
  std::string user;
};

struct HttpReply {
  int status = 200;
  std::string contentType = "application/xml";
  std::string body;
  // Set by the document read (server/tree_reads.h): a strong entity tag, the
  // content coding of the bytes ("gzip" or empty), and the stored bytes
  // themselves, shared and immutable (`body` is then empty).
  std::string etag{};
  std::string contentEncoding{};
  std::shared_ptr<const std::string> sharedBody{};
};

// Answers the read endpoints. An engine error it raises is answered as JSON
// with its number, source and description (404 for a missing tree or node,
// 400 for an invalid argument, 500 otherwise).
using TreeReadHandler = std::function<HttpReply(const TreeReadRequest&)>;

struct ServiceOptions {
  std::string listenAddress = "127.0.0.1";
  int port = 0;        // 0: a free port, see HttpService::Port()
  std::string token;   // bearer token; empty: none (loopback only)
  int threads = 8;     // worker threads; each serves one connection at a time
  size_t maxBodyBytes = 1 << 20;
  int maxJsonDepth = 64;
  size_t maxBatch = 1000;           // calls in one JSON-RPC batch
  int requestTimeoutSeconds = 30;   // reading one request, and each write
  int keepAliveTimeoutSeconds = 5;  // idle time between requests on a connection
  size_t keepAliveMaxRequests = 1000;
  std::string dataDir;  // checked by /health; empty: the current settings' data folder
  // Receives one JSON line per request; empty: the lines go to stderr.
  std::function<void(const std::string&)> accessLog;

  static ServiceOptions FromSettings(const Settings& settings);
};

// True for 127.0.0.0/8, ::1, an IPv4-mapped loopback and "localhost".
bool IsLoopbackAddress(std::string_view host);

// Why the service refuses to listen on `address` with `token`, or "" when it
// may: a non-loopback address needs a token.
std::string ListenRefusal(const std::string& address, const std::string& token);

class HttpService {
 public:
  explicit HttpService(ServiceOptions options);
  ~HttpService();  // stops
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  // Installs the handler of the read endpoints (before Start); until one is
  // installed they answer 501.
  void SetTreeReadHandler(TreeReadHandler handler);

  // Binds and starts serving on a background thread. Raises InvalidArgument
  // when the address is refused (ListenRefusal), PermissionDenied when it
  // cannot bind.
  void Start();
  // The bound port (after Start).
  int Port() const;
  // Stops accepting, lets the requests in flight finish and returns when
  // every worker has ended. Idempotent.
  void Stop();

  Metrics& metrics();
  // Identities, sign-in and the first-admin setup (server/access.h).
  AccessControl& access();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// `tsauthor serve`: serves until SIGINT or SIGTERM, then finishes the requests
// in flight and returns 0. Returns 2 when the address is refused, 1 when the
// service cannot start.
int RunServer(const Settings& settings);

}  // namespace tsa::server
