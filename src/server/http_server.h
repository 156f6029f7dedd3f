// The network service: JSON-RPC 2.0 over HTTP on the callable classes, with
// health, metrics and the tree read endpoints.
//
//   POST /rpc                                   JSON-RPC calls and batches
//   GET  /health                                ready: a write can begin, documents can be written
//   GET  /health/live                           the process answers HTTP
//   GET  /metrics                               Prometheus text
//   GET  /trees/{type}/{id}/document?user=LOGIN        a tree's document as the user sees it
//   GET  /trees/{type}/{id}/nodes/{nodeId}?user=LOGIN  one node of it
//   POST /auth/login, /auth/logout, GET /auth/me, /auth/setup   sign-in (server/auth_endpoints.h)
//   GET  any other path                         the web app's files (server/web_app.h)
//
// Every request but GET /health, the sign-in itself and the app's files needs an identity
// (server/access.h): a personal token, the service token or a browser
// session.
//
// Safe by default: it listens on loopback unless told otherwise, refuses a
// non-loopback address without a bearer token, checks the token in constant
// time, bounds the request body before reading it and the JSON nesting before
// parsing it, and holds no connection longer than its deadlines allow:
// the request head and the whole request are timed from the moment the
// request began to arrive, an idle kept-alive connection from the end of its
// last answer, and an answer must leave at a minimum rate. Connections are
// capped in total, and those that have not signed in per peer address and
// in all, so that connections held open by one address keep out nobody who
// signs in (see ServiceOptions).
//
// Networking runs on a few I/O threads that never block; engine calls run on
// a separate pool of worker threads, so a slow peer holds a socket, never a
// worker.
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
class WebApp;

// A validated read request: tree type 1 or 2, identifiers in 32-bit range, a
// non-empty user.
struct TreeReadRequest {
  int32_t treeType = 0;
  int32_t id = 0;
  std::optional<int32_t> nodeId;  // set for /nodes/{nodeId}, empty for /document and /json
  bool json = false;              // /json: the tree as JSON (authoring/browse.h)
  std::string view;               // /json?view=: "", "published" or "working"
  std::string user;
  // The request's If-None-Match and Accept-Encoding headers, as sent.
  std::string ifNoneMatch;
  std::string acceptEncoding;
};

struct HttpReply {
  int status = 200;
  std::string contentType = "application/xml";
  std::string body;
  // Set by the document read (server/tree_reads.h): a strong entity tag, the
  // content coding of the bytes ("gzip" or empty), and the stored bytes
  // themselves, shared and immutable (`body` is then empty). The HTTP layer
  // sends `sharedBody` when set, never copying it per client.
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
  int threads = 8;     // worker threads: engine calls answered at once
  int ioThreads = 0;   // threads for the sockets; 0: one per core, at most 4
  size_t maxBodyBytes = 1 << 20;
  int maxJsonDepth = 64;
  size_t maxBatch = 1000;           // calls in one JSON-RPC batch
  // Deadlines, each counted from the moment the request began to arrive
  // (for the first request: the moment the connection was accepted).
  int headerTimeoutSeconds = 10;    // the request line and headers
  int requestTimeoutSeconds = 30;   // the whole request, body included
  int keepAliveTimeoutSeconds = 5;  // idle time between requests on a connection
  // Sending an answer may take sendTimeoutSeconds plus its size divided by
  // minSendBytesPerSecond.
  int sendTimeoutSeconds = 10;
  size_t minSendBytesPerSecond = 64 * 1024;
  size_t keepAliveMaxRequests = 1000;
  // Open connections at most in total, and connections that have not
  // signed in from one peer address (a quarter of the total is kept for
  // connections that sign in). 0: from the open-file limit (CapsForFileLimit).
  // A connection beyond the total is answered 503 with Retry-After and
  // closed; one beyond the caps on connections not signed in must sign in
  // with its first request, within 2 seconds, or is answered so.
  size_t maxConnections = 0;
  size_t maxConnectionsPerAddress = 0;
  // /health: how long beginning a write transaction may take.
  int readinessTimeoutMs = 1000;
  std::string dataDir;  // checked by /health; empty: the current settings' data folder
  // The built web app (server/web_app.h), read once by Start; empty: none,
  // and the app's paths answer that it is not built.
  std::string webRoot;
  // Receives one JSON line per request; empty: the lines go to stderr.
  std::function<void(const std::string&)> accessLog;

  static ServiceOptions FromSettings(const Settings& settings);
};

// Raises the soft limit on open files to the hard limit where allowed;
// returns the limit in force.
size_t RaiseFileLimit();

// The connection caps that fit `files` open files (besides the files the
// service keeps for its databases, documents and logs); a cap given as 0
// is derived, a total that does not fit is lowered.
struct ConnectionCaps {
  size_t total = 0;
  size_t perAddress = 0;       // not signed in, from one address
  size_t unauthenticated = 0;  // not signed in, from all addresses
  size_t probation = 0;        // beyond those, waiting to sign in
  size_t refusing = 0;         // being answered 503
};
ConnectionCaps CapsForFileLimit(size_t files, size_t maxConnections, size_t maxConnectionsPerAddress);

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
  // Stops accepting, closes every connection that has no call running (a
  // queued request is dropped unanswered and unapplied), lets the running
  // calls finish and answers them (an answer still being
  // sent gets a few seconds), and returns when every thread has ended.
  // Idempotent.
  void Stop();

  Metrics& metrics();
  // Identities, sign-in and the first-admin setup (server/access.h).
  AccessControl& access();
  // The web app read by Start (server/web_app.h).
  const WebApp& webApp() const;

  class Impl;  // the connections, threads and handlers (http_server.cpp)

 private:
  std::unique_ptr<Impl> impl_;
};

// `tsauthor serve`: serves until SIGINT or SIGTERM, then finishes the calls
// in flight (see HttpService::Stop) and returns 0. Returns 2 when the address is refused, 1 when the
// service cannot start.
int RunServer(const Settings& settings);

}  // namespace tsa::server
