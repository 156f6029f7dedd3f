#include "server/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>  // before Asio: its coroutine support uses std::exchange without it
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include "authoring/browse.h"
#include "platform/db/lock_wait.h"
#include "runtime/error.h"
#include "runtime/log.h"
#include "server/access.h"
#include "server/header_text.h"
#include "server/json_rpc.h"
#include "server/metrics.h"
#include "server/readiness.h"
#include "server/request_head.h"
#include "server/tree_reads.h"
#include "server/web_app.h"
#include "server/worker_pool.h"

namespace tsa::server {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kSource = "tsauthor.http";
constexpr size_t kMaxUserLength = 256;
constexpr size_t kMaxLoggedPath = 200;
// After refusing a request whose body was not read: how long and how much to
// drain before closing, so that the peer reads the refusal instead of a reset.
constexpr auto kLingerTime = std::chrono::milliseconds(1000);
constexpr size_t kLingerBytes = 256 * 1024;
// How often the deadlines of all connections are looked at.
constexpr auto kSweepInterval = std::chrono::milliseconds(50);
// On stop: how long an answer already being sent, or the answer to a call
// in flight, may still take to leave.
constexpr auto kStopSendGrace = std::chrono::seconds(2);
// What a 503 for a full service asks the client to wait.
constexpr int kRetryAfterSeconds = 1;
// A connection beyond the caps on connections not signed in is let in on
// probation: its first request head must arrive this soon and carry an
// identity, or it is answered 503.
constexpr auto kProbationHeadTimeout = std::chrono::seconds(2);
// Files the process keeps for other things than connections: databases,
// documents, logs, the listening socket.
constexpr size_t kReservedFiles = 128;
// The most connections the defaults allow, however many files the process may open.
constexpr size_t kMaxDerivedConnections = 16384;


// Compares in time that depends only on the expected text's length.
bool ConstantTimeEquals(std::string_view presented, std::string_view expected) {
  unsigned char diff = presented.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < expected.size(); ++i) {
    unsigned char p = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
    diff |= static_cast<unsigned char>(p ^ static_cast<unsigned char>(expected[i]));
  }
  return diff == 0;
}

// One answer, ready to be sent.
struct Answer {
  int status = 200;
  std::string contentType = "application/json";
  std::shared_ptr<const std::string> body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool close = false;       // close the connection after it
  bool bodyUnread = false;  // the request's body was not read: drain before closing
  std::string rpcMethods;   // for the access log
};


std::shared_ptr<const std::string> Text(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

// An answer of access control as an answer of the service.
Answer FromWebReply(const WebReply& reply) {
  Answer a;
  a.status = reply.status;
  a.contentType = reply.contentType;
  a.body = Text(reply.body);
  a.headers = reply.headers;
  return a;
}

Answer JsonError(int status, const std::string& message) {
  Answer a;
  a.status = status;
  a.body = Text(DumpJson(json{{"error", json{{"status", status}, {"message", message}}}}));
  return a;
}

// A refusal of a request that cannot be followed by another on its
// connection: its rest is still on the way or cannot be told from a next one.
Answer Final(Answer a, bool bodyUnread) {
  a.close = true;
  a.bodyUnread = bodyUnread;
  return a;
}

int64_t Ticks(Clock::time_point t) { return t.time_since_epoch().count(); }

}  // namespace

bool IsLoopbackAddress(std::string_view host) {
  if (EqualsIgnoreCase(host, "localhost")) return true;
  std::string h(host);
  in_addr v4{};
  if (::inet_pton(AF_INET, h.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, h.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return v6.s6_addr[12] == 127;
  }
  return false;
}

std::string ListenRefusal(const std::string& address, const std::string& token) {
  if (IsLoopbackAddress(address) || !token.empty()) return {};
  return "refusing to listen on " + address +
         " without a token: set server.token in the configuration file or TSAUTHOR_TOKEN, "
         "or listen on 127.0.0.1";
}

size_t RaiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return std::numeric_limits<size_t>::max() / 2;
  return static_cast<size_t>(limit.rlim_cur);
}

ConnectionCaps CapsForFileLimit(size_t files, size_t maxConnections, size_t maxConnectionsPerAddress) {
  const size_t usable = files > kReservedFiles + 64 ? files - kReservedFiles : 64;
  ConnectionCaps c;
  c.refusing = std::clamp<size_t>(usable / 8, 4, 256);
  c.probation = c.refusing;
  const size_t fits = usable - c.refusing - c.probation;
  c.total = maxConnections == 0 ? std::min(fits, kMaxDerivedConnections) : std::min(maxConnections, fits);
  c.perAddress = maxConnectionsPerAddress == 0 ? std::clamp<size_t>(c.total / 16, 8, 256) : maxConnectionsPerAddress;
  // A quarter of the connections stays for clients that sign in.
  c.unauthenticated = std::max<size_t>(1, c.total - c.total / 4);
  return c;
}

ServiceOptions ServiceOptions::FromSettings(const Settings& s) {
  ServiceOptions o;
  o.listenAddress = s.listenAddress;
  o.port = s.port;
  o.token = s.token;
  o.threads = std::max(1, s.threads);
  o.maxBodyBytes = s.maxBodyBytes;
  o.maxJsonDepth = std::max(1, s.maxJsonDepth);
  o.headerTimeoutSeconds = std::max(1, s.headerTimeoutSeconds);
  o.requestTimeoutSeconds = std::max(1, s.requestTimeoutSeconds);
  o.keepAliveTimeoutSeconds = std::max(1, s.keepAliveTimeoutSeconds);
  o.sendTimeoutSeconds = std::max(1, s.sendTimeoutSeconds);
  o.minSendBytesPerSecond = std::max<size_t>(1, s.minSendBytesPerSecond);
  o.maxConnections = s.maxConnections;
  o.maxConnectionsPerAddress = s.maxConnectionsPerAddress;
  o.dataDir = s.dataDir;
  o.webRoot = s.webRoot;
  return o;
}

class Session;

class HttpService::Impl {
 public:
  explicit Impl(ServiceOptions o)
      : options(std::move(o)),
        rpc(RpcEndpoint::Limits{options.maxJsonDepth, options.maxBatch}, &metrics),
        access(options.token, CurrentSettings().auth) {}

  ServiceOptions options;
  Metrics metrics;
  RpcEndpoint rpc;
  AccessControl access;  // accounts glue: identities and /auth/* (server/access.h)
  TreeReadHandler treeRead;
  WebApp web;        // read by Start, then only read
  std::mutex mutex;  // Start and Stop
  bool started = false;
  bool stopped = false;
  int port = -1;
  std::atomic<bool> stopping{false};
  std::mutex logMutex;

  // Every open connection, and how many that have not signed in each peer
  // address holds. Declared before the I/O context: connections still
  // queued in it unregister here when it is destroyed.
  std::mutex registryMutex;
  std::condition_variable registryChanged;
  std::unordered_map<Session*, std::weak_ptr<Session>> sessions;
  std::unordered_map<std::string, size_t> perAddress;  // connections not signed in
  size_t counted = 0;          // connections that count against the total cap
  size_t unauthenticated = 0;  // of those, not signed in and not on probation
  size_t onProbation = 0;      // beyond the caps on connections not signed in
  size_t refusing = 0;         // connections being answered 503
  // Set by Start from the options and the open-file limit.
  size_t maxUnauthenticated = 0;  // not signed in, from all addresses
  size_t maxProbation = 0;
  size_t maxRefusing = 0;
  std::deque<std::weak_ptr<Session>> probation;  // oldest first; may hold some no longer on probation

  std::unique_ptr<WorkerPool> workers;  // JSON-RPC calls
  std::unique_ptr<WorkerPool> readers;  // tree reads: a flood of them never queues a call behind it
  std::unique_ptr<ReadinessProbe> readiness;
  asio::io_context ioc;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::optional<tcp::acceptor> acceptor;
  std::optional<asio::steady_timer> sweeper;
  std::optional<asio::steady_timer> acceptRetry;
  std::vector<std::thread> ioThreads;

  void Listen();
  void Accept();
  void OnAccept(beast::error_code ec, tcp::socket socket);
  void Sweep();
  void Unregister(Session* s);
  // The connection's request carried an identity: it no longer counts
  // against the caps on connections not signed in.
  void SignedIn(Session* s);
  std::vector<std::shared_ptr<Session>> LiveSessions();
  void StopAll();

  bool Authorized(const http::request<http::string_body>& req) const;
  // accounts glue: the neutral view of a request that access control reads.
  static RequestView View(const http::request<http::string_body>& req, const std::string& peer);
  // Every request passes here after its head and before its body is read:
  // its route, and the answer that refuses it, if any.
  std::optional<Answer> Gate(const http::request<http::string_body>& req, bool chunked, std::string& route,
                             const std::string& peer, std::optional<Caller>& caller);
  Answer ServeRpc(const std::string& body, const std::optional<Caller>& caller);
  Answer ServeTreeRead(TreeReadRequest r, const std::optional<Caller>& caller);
  // The read request a /trees path asks for, or the answer that refuses it.
  std::optional<Answer> ParseTreeRead(std::string_view path, std::string_view query, TreeReadRequest& r);
  Answer HealthAnswer(const ReadinessReport& report, bool detailed) const;
  void WriteAccessLog(const std::string& method, std::string_view path, int status, double ms,
                      const std::string& peer, const std::string& rpcMethods, const std::optional<Caller>& caller);

  Clock::duration HeadTimeout() const {
    return std::chrono::seconds(std::min(options.headerTimeoutSeconds, options.requestTimeoutSeconds));
  }
  Clock::duration SendTime(size_t bytes) const {
    const double seconds = options.sendTimeoutSeconds +
                           static_cast<double>(bytes) / static_cast<double>(std::max<size_t>(1, options.minSendBytesPerSecond));
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }
};

// One connection. Its handlers run on its strand, one at a time; the only
// state touched from elsewhere is the deadline, which the sweeper reads.
class Session : public std::enable_shared_from_this<Session> {
 public:
  enum class Phase { Head, Body, Working, Writing, Idle, Lingering, Closed };
  // What the connection counts against. Changed under the registry's lock
  // (on the connection's strand, or by the acceptor when it gives way on
  // probation), read there and on the strand.
  enum class Standing {
    Unauthenticated,  // counts against its address's cap and the total
    Probation,        // beyond those caps: its first request must sign in
    SignedIn,         // counts against the total cap only
    Evicted,          // was on probation, made room for a newer one; counts against the total
    Refused,          // being answered 503; counts against nothing
  };

  Session(HttpService::Impl& server, tcp::socket socket, std::string peer, Standing standing, Clock::time_point arrival)
      : standing(standing), server_(server), socket_(std::move(socket)), peer_(std::move(peer)), arrival_(arrival) {}

  ~Session() { server_.Unregister(this); }

  std::atomic<Standing> standing;

  const std::string& Peer() const { return peer_; }
  int64_t Deadline() const { return deadline_.load(std::memory_order_relaxed); }
  auto Executor() { return socket_.get_executor(); }

  // The first request's head is due from the moment of the accept.
  void Start() {
    SetDeadline(arrival_ + (standing == Standing::Probation ? std::min<Clock::duration>(server_.HeadTimeout(),
                                                                                         kProbationHeadTimeout)
                                                            : server_.HeadTimeout()));
    ReadHead();
  }

  // A connection beyond a cap: 503 at once, then closed.
  void Refuse(const std::string& why) {
    Answer a = JsonError(503, why);
    a.headers.emplace_back("Retry-After", std::to_string(kRetryAfterSeconds));
    quiet_ = true;
    Respond(Final(std::move(a), true));
  }

  // The sweeper found the deadline passed.
  void OnDeadline() {
    const int64_t d = Deadline();
    if (phase_ == Phase::Closed || d == 0 || Ticks(Clock::now()) < d) return;
    timedOut_ = true;
    beast::error_code ec;
    socket_.cancel(ec);
  }

  // The service stops: a connection without a call in flight goes at once;
  // an answer being sent gets a short grace.
  void OnStop() {
    switch (phase_) {
      case Phase::Working:
        break;  // its answer says Connection: close
      case Phase::Writing: {
        const int64_t grace = Ticks(Clock::now() + kStopSendGrace);
        if (Deadline() == 0 || Deadline() > grace) deadline_.store(grace, std::memory_order_relaxed);
        break;
      }
      default:
        Close();
    }
  }

  void Close() {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Closed;
    deadline_.store(0, std::memory_order_relaxed);
    beast::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
  }

  // Sends an answer (on the strand).
  void Respond(Answer a);

  // Made room on probation for a newer connection: refused unless its
  // request came in meanwhile.
  void OnEvicted() {
    if (phase_ == Phase::Head) RefuseProbation();
  }

  // On a worker, before the engine work of a queued request: once the
  // service stops, work that has not begun is dropped (unanswered and
  // unapplied) and the connection closed, so that stopping waits only for
  // the calls already running.
  bool NotBegunBeforeStop() {
    if (!server_.stopping.load()) return false;
    asio::post(Executor(), [self = shared_from_this()] { self->Close(); });
    return true;
  }

 private:
  void SetDeadline(Clock::time_point t) {
    timedOut_ = false;
    deadline_.store(Ticks(t), std::memory_order_relaxed);
  }
  void ClearDeadline() {
    timedOut_ = false;
    deadline_.store(0, std::memory_order_relaxed);
  }

  void ReadHead();
  void OnHead(beast::error_code ec);
  void OnHeadRead();
  void ReadBody();
  void OnBody(beast::error_code ec);
  void Dispatch();
  void AwaitNextRequest();
  void OnWritten(beast::error_code ec);
  void Linger();
  void OnLinger(beast::error_code ec, size_t n);
  // Answers a request that went wrong and ends the connection.
  void Fail(int status, const std::string& message, bool bodyUnread) {
    Respond(Final(JsonError(status, message), bodyUnread));
  }

  // A connection on probation whose first request did not sign in.
  void RefuseProbation() {
    server_.metrics.RecordConnectionRefused();
    closeAfter_ = true;
    Answer a = JsonError(503, "This address holds its most connections that have not signed in (" +
                                  std::to_string(server_.options.maxConnectionsPerAddress) +
                                  "); sign in, or try again");
    a.headers.emplace_back("Retry-After", std::to_string(kRetryAfterSeconds));
    Respond(Final(std::move(a), true));
  }

  HttpService::Impl& server_;
  tcp::socket socket_;
  std::string peer_;
  Clock::time_point arrival_;  // the current request began to arrive
  std::atomic<int64_t> deadline_{0};
  bool timedOut_ = false;
  Phase phase_ = Phase::Head;
  beast::flat_buffer buffer_{2 * kMaxHeadBytes};
  std::optional<http::request_parser<http::string_body>> parser_;
  size_t served_ = 0;

  // The request being answered.
  std::string method_;
  std::string path_;
  std::string route_ = "other";
  unsigned version_ = 11;
  bool head_ = false;        // HEAD: the answer without its body
  bool closeAfter_ = false;  // the client asked to close, or the request cannot be followed
  bool keepAlive10_ = false; // HTTP/1.0 with Connection: keep-alive
  bool quiet_ = false;       // no access log line (connections refused for a cap)
  std::optional<Caller> caller_;  // accounts glue: who is calling (server/access.h)

  // The answer being sent.
  std::string head_text_;
  std::shared_ptr<const std::string> body_;
  bool closing_ = false;
  bool lingering_ = false;
  std::array<char, 16 * 1024> scratch_{};
  size_t drained_ = 0;
};

void Session::ReadHead() {
  phase_ = Phase::Head;
  parser_.emplace();
  PrepareHeadParser(*parser_);
  method_.clear();
  path_.clear();
  route_ = "other";
  version_ = 11;
  head_ = closeAfter_ = keepAlive10_ = false;
  caller_.reset();
  http::async_read_header(socket_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHead(ec); });
}

void Session::OnHead(beast::error_code ec) {
  if (phase_ == Phase::Closed) return;
  if (ec) {
    const bool gotSome = parser_->got_some() || buffer_.size() > 0;
    if (timedOut_) {
      server_.metrics.RecordDeadline("head");
      if (standing == Standing::Probation || standing == Standing::Evicted) return RefuseProbation();
      if (!gotSome) return Close();
      return Fail(408, "The request line and headers did not arrive within " +
                           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(server_.HeadTimeout()).count()) +
                           " seconds",
                  true);
    }
    if (ec == http::error::header_limit)
      return Fail(431, "The request line and headers exceed " + std::to_string(kMaxHeadBytes) + " bytes", true);
    if (ec == http::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset ||
        ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor || !gotSome)
      return Close();
    // Where a request that cannot be parsed ends is unknown: nothing after
    // it on this connection can be trusted to be a request.
    return Fail(400, "The request could not be parsed: " + ec.message(), true);
  }
  OnHeadRead();
}

void Session::OnHeadRead() {
  const auto& req = parser_->get();
  method_ = std::string(req.method_string());
  std::string_view target = req.target();
  path_ = std::string(target.substr(0, target.find('?')));
  version_ = req.version();
  head_ = req.method() == http::verb::head;
  if (version_ != 10 && version_ != 11) return Fail(400, "Only HTTP/1.0 and HTTP/1.1 are spoken here", true);
  // HTTP/1.1 keeps the connection unless told to close, HTTP/1.0 closes
  // unless told to keep it.
  closeAfter_ = !req.keep_alive();
  keepAlive10_ = version_ == 10 && req.keep_alive();
  if (req.count(http::field::host) > 1) return Fail(400, "More than one Host header", true);

  std::optional<Answer> refusal = server_.Gate(req, parser_->chunked(), route_, peer_, caller_);
  if (caller_ && (standing == Standing::Unauthenticated || standing == Standing::Probation)) {
    server_.SignedIn(this);
  }
  if (standing == Standing::Probation || (standing == Standing::Evicted && !caller_)) return RefuseProbation();
  if (refusal) return Respond(std::move(*refusal));
  if (parser_->is_done()) return Dispatch();

  parser_->body_limit(server_.options.maxBodyBytes);
  SetDeadline(arrival_ + std::chrono::seconds(server_.options.requestTimeoutSeconds));
  auto expect = req.find(http::field::expect);
  if (expect != req.end() && EqualsIgnoreCase(Trim(expect->value()), "100-continue")) {
    static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    phase_ = Phase::Body;
    asio::async_write(socket_, asio::buffer(kContinue), [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->OnBody(ec);
      self->ReadBody();
    });
    return;
  }
  ReadBody();
}

void Session::ReadBody() {
  if (phase_ == Phase::Closed) return;
  phase_ = Phase::Body;
  http::async_read(socket_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, size_t) { self->OnBody(ec); });
}

void Session::OnBody(beast::error_code ec) {
  if (phase_ == Phase::Closed) return;
  if (ec) {
    if (timedOut_) {
      server_.metrics.RecordDeadline("body");
      return Fail(408, "The request did not arrive within " + std::to_string(server_.options.requestTimeoutSeconds) +
                           " seconds",
                  true);
    }
    if (ec == http::error::body_limit)
      return Fail(413, "The request body exceeds " + std::to_string(server_.options.maxBodyBytes) + " bytes", true);
    return Fail(400, "The request body could not be read", true);
  }
  Dispatch();
}

void Session::Dispatch() {
  // Once the service stops no call is begun: the request goes unanswered
  // and unapplied.
  if (server_.stopping.load()) return Close();
  ClearDeadline();
  phase_ = Phase::Working;
  auto& req = parser_->get();
  auto self = shared_from_this();
  auto answer = [self](Answer a) {
    asio::post(self->Executor(), [self, a = std::move(a)]() mutable { self->Respond(std::move(a)); });
  };

  if (route_ == "/app") {
    // From memory, on this thread: nothing here waits.
    WebAppAnswer w = server_.web.Answer(path_, std::string(req[http::field::if_none_match]),
                                        std::string(req[http::field::accept_encoding]));
    Answer a;
    a.status = w.status;
    a.contentType = std::move(w.contentType);
    a.body = std::move(w.body);
    a.headers = std::move(w.headers);
    return Respond(std::move(a));
  }
  if (route_ == "/metrics") {
    Answer a;
    a.contentType = "text/plain; version=0.0.4; charset=utf-8";
    a.body = Text(server_.metrics.Render());
    return Respond(std::move(a));
  }
  if (route_ == "/health") {
    if (path_ == "/health/live") {
      Answer a;
      a.body = Text(R"({"status":"live"})");
      return Respond(std::move(a));
    }
    const bool detailed = server_.Authorized(req);
    server_.readiness->Check([self, detailed, answer](const ReadinessReport& report) {
      answer(self->server_.HealthAnswer(report, detailed));
    });
    return;
  }
  if (route_ == "/rpc") {
    server_.workers->Post([self, answer, body = std::move(req.body())] {
      if (self->NotBegunBeforeStop()) return;
      Answer a;
      try {
        a = self->server_.ServeRpc(body, self->caller_);
      } catch (...) {
        a = JsonError(500, "Internal error: " + CurrentError().description);
      }
      answer(std::move(a));
    });
    return;
  }
  if (route_ == "/auth") {
    // accounts glue: /auth/login, /auth/logout, /auth/me, /auth/setup (server/auth_endpoints.h).
    // Sign-in hashes passwords and writes sessions: on a worker.
    auto request = std::make_shared<http::request<http::string_body>>(std::move(req));
    server_.workers->Post([self, answer, request] {
      if (self->NotBegunBeforeStop()) return;
      Answer a;
      try {
        a = FromWebReply(self->server_.access.AnswerAuth(self->server_.View(*request, self->peer_), request->body(),
                                                         self->caller_));
      } catch (...) {
        a = JsonError(500, "Internal error: " + CurrentError().description);
      }
      answer(std::move(a));
    });
    return;
  }
  // /trees/{type}/{id}/document, /trees/{type}/{id}/nodes/{node}
  std::string_view target = req.target();
  const size_t q = target.find('?');
  TreeReadRequest r;
  r.ifNoneMatch = std::string(req[http::field::if_none_match]);
  r.acceptEncoding = std::string(req[http::field::accept_encoding]);
  std::optional<Answer> refusal =
      server_.ParseTreeRead(path_, q == std::string_view::npos ? std::string_view() : target.substr(q + 1), r);
  if (refusal) return Respond(std::move(*refusal));
  server_.readers->Post([self, answer, r = std::move(r)] {
    if (self->NotBegunBeforeStop()) return;
    Answer a;
    try {
      a = self->server_.ServeTreeRead(r, self->caller_);
    } catch (...) {
      a = JsonError(500, "Internal error: " + CurrentError().description);
    }
    answer(std::move(a));
  });
}

void Session::Respond(Answer a) {
  if (phase_ == Phase::Closed) return;
  ++served_;
  closing_ = a.close || closeAfter_ || server_.stopping.load() || served_ >= server_.options.keepAliveMaxRequests;
  lingering_ = a.bodyUnread;
  const std::string_view version = version_ == 10 ? "HTTP/1.0 " : "HTTP/1.1 ";
  const size_t bodySize = a.body ? a.body->size() : 0;
  std::string& h = head_text_;
  h.clear();
  h.reserve(192);
  h += version;
  h += std::to_string(a.status);
  h += ' ';
  h += http::obsolete_reason(static_cast<http::status>(a.status));
  h += "\r\n";
  if (a.status != 204 && a.status != 304 && a.status >= 200) {
    if (a.body) {
      h += "Content-Type: ";
      h += a.contentType;
      h += "\r\n";
    }
    h += "Content-Length: ";
    h += std::to_string(bodySize);
    h += "\r\n";
  }
  for (const auto& [name, value] : a.headers) {
    h += name;
    h += ": ";
    h += value;
    h += "\r\n";
  }
  if (route_ != "/app") h += kApiSecurityHeaders;  // the app's pages carry their own policy
  if (closing_) {
    h += "Connection: close\r\n";
  } else if (keepAlive10_) {
    h += "Connection: keep-alive\r\n";
  }
  h += "\r\n";
  body_ = head_ ? nullptr : std::move(a.body);

  if (!quiet_) {
    // Counted and logged before it is sent, so that a client that has its
    // answer finds it there.
    server_.metrics.RecordHttp(route_, a.status);
    std::chrono::duration<double, std::milli> took = Clock::now() - arrival_;
    server_.WriteAccessLog(method_, path_, a.status, took.count(), peer_, a.rpcMethods, caller_);
  }

  phase_ = Phase::Writing;
  const size_t total = h.size() + (body_ ? body_->size() : 0);
  auto due = Clock::now() + server_.SendTime(total);
  if (server_.stopping.load()) due = std::min(due, Clock::now() + kStopSendGrace);
  SetDeadline(due);
  std::array<asio::const_buffer, 2> buffers{asio::buffer(h),
                                            body_ ? asio::buffer(*body_) : asio::const_buffer()};
  asio::async_write(socket_, buffers,
                    [self = shared_from_this()](beast::error_code ec, size_t) { self->OnWritten(ec); });
}

void Session::OnWritten(beast::error_code ec) {
  if (phase_ == Phase::Closed) return;
  body_.reset();
  if (ec) {
    if (timedOut_) server_.metrics.RecordDeadline("send");
    return Close();
  }
  if (closing_) {
    if (lingering_) return Linger();
    return Close();
  }
  AwaitNextRequest();
}

void Session::AwaitNextRequest() {
  if (server_.stopping.load()) return Close();
  if (buffer_.size() > 0) {
    // The next request is here already.
    arrival_ = Clock::now();
    SetDeadline(arrival_ + server_.HeadTimeout());
    return ReadHead();
  }
  phase_ = Phase::Idle;
  SetDeadline(Clock::now() + std::chrono::seconds(server_.options.keepAliveTimeoutSeconds));
  auto space = buffer_.prepare(4096);
  socket_.async_read_some(space, [self = shared_from_this()](beast::error_code ec, size_t n) {
    if (self->phase_ == Phase::Closed) return;
    if (ec) {
      if (self->timedOut_) self->server_.metrics.RecordDeadline("idle");
      return self->Close();
    }
    self->buffer_.commit(n);
    self->arrival_ = Clock::now();
    self->SetDeadline(self->arrival_ + self->server_.HeadTimeout());
    self->ReadHead();
  });
}

void Session::Linger() {
  // Half-closes and reads what the peer still sends, so that it reads the
  // answer instead of a reset.
  phase_ = Phase::Lingering;
  beast::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_send, ignored);
  SetDeadline(Clock::now() + kLingerTime);
  drained_ = 0;
  socket_.async_read_some(asio::buffer(scratch_),
                          [self = shared_from_this()](beast::error_code ec, size_t n) { self->OnLinger(ec, n); });
}

void Session::OnLinger(beast::error_code ec, size_t n) {
  if (phase_ == Phase::Closed) return;
  drained_ += n;
  if (ec || drained_ >= kLingerBytes) return Close();
  socket_.async_read_some(asio::buffer(scratch_),
                          [self = shared_from_this()](beast::error_code ec, size_t n) { self->OnLinger(ec, n); });
}

// --- the service ----------------------------------------------------------------

void HttpService::Impl::Unregister(Session* s) {
  {
    std::lock_guard lock(registryMutex);
    sessions.erase(s);
    switch (s->standing) {
      case Session::Standing::Unauthenticated: {
        --unauthenticated;
        auto it = perAddress.find(s->Peer());
        if (it != perAddress.end() && --it->second == 0) perAddress.erase(it);
        --counted;
        break;
      }
      case Session::Standing::Probation:
        --onProbation;
        --counted;
        break;
      case Session::Standing::SignedIn:
      case Session::Standing::Evicted:
        --counted;
        break;
      case Session::Standing::Refused:
        --refusing;
        break;
    }
    metrics.SetConnectionsOpen(static_cast<int64_t>(counted));
  }
  registryChanged.notify_all();
}

void HttpService::Impl::SignedIn(Session* s) {
  std::lock_guard lock(registryMutex);
  if (s->standing == Session::Standing::Unauthenticated) {
    --unauthenticated;
    auto it = perAddress.find(s->Peer());
    if (it != perAddress.end() && --it->second == 0) perAddress.erase(it);
  } else if (s->standing == Session::Standing::Probation) {
    --onProbation;
  } else {
    return;
  }
  s->standing = Session::Standing::SignedIn;
}

std::vector<std::shared_ptr<Session>> HttpService::Impl::LiveSessions() {
  std::vector<std::shared_ptr<Session>> live;
  std::lock_guard lock(registryMutex);
  live.reserve(sessions.size());
  for (auto& [raw, weak] : sessions)
    if (auto s = weak.lock()) live.push_back(std::move(s));
  return live;
}

void HttpService::Impl::Accept() {
  acceptor->async_accept(asio::make_strand(ioc),
                         [this](beast::error_code ec, tcp::socket socket) { OnAccept(ec, std::move(socket)); });
}

void HttpService::Impl::OnAccept(beast::error_code ec, tcp::socket socket) {
  if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
  if (ec) {
    // Out of file descriptors, say: try again shortly instead of spinning.
    acceptRetry->expires_after(std::chrono::milliseconds(50));
    acceptRetry->async_wait([this](beast::error_code e) {
      if (!e && acceptor->is_open()) Accept();
    });
    return;
  }
  const auto arrival = Clock::now();
  if (stopping.load()) {
    beast::error_code ignored;
    socket.close(ignored);
    return;
  }
  beast::error_code peerError;
  auto remote = socket.remote_endpoint(peerError);
  std::string peer = peerError ? std::string() : remote.address().to_string();
  socket.set_option(tcp::no_delay(true), peerError);

  // The caps bound connections that have not signed in, per address and in
  // all; one beyond them gets a short chance to sign in with its first
  // request (probation). Signed-in connections count against the total only,
  // so that connections held open from one address cannot keep out a client
  // that signs in, from there or elsewhere.
  std::string refusal;
  Session::Standing standing = Session::Standing::Unauthenticated;
  std::shared_ptr<Session> session;
  std::shared_ptr<Session> evicted;
  {
    std::lock_guard lock(registryMutex);
    size_t& fromPeer = perAddress[peer];
    if (counted >= options.maxConnections) {
      refusal = "The service holds its most connections (" + std::to_string(options.maxConnections) + "); try again";
    } else if (fromPeer >= options.maxConnectionsPerAddress || unauthenticated >= maxUnauthenticated) {
      // With every place on probation taken, the oldest gives way: one that
      // has not signed in by now holds its place for nothing, and a client
      // that does sign in gets in however fast others reconnect.
      while (onProbation >= maxProbation && !probation.empty() && !evicted) {
        evicted = probation.front().lock();
        probation.pop_front();
        if (evicted && evicted->standing != Session::Standing::Probation) evicted.reset();
      }
      if (evicted) {
        evicted->standing = Session::Standing::Evicted;
        --onProbation;
      }
      if (onProbation < maxProbation) {
        standing = Session::Standing::Probation;
      } else {
        refusal = "This address holds its most connections that have not signed in (" +
                  std::to_string(options.maxConnectionsPerAddress) + "); try again";
      }
    }
    if (!refusal.empty()) standing = Session::Standing::Refused;
    switch (standing) {
      case Session::Standing::Unauthenticated:
        ++fromPeer;
        ++unauthenticated;
        ++counted;
        break;
      case Session::Standing::Probation:
        ++onProbation;
        ++counted;
        break;
      default:
        break;
    }
    if (fromPeer == 0) perAddress.erase(peer);
    if (standing == Session::Standing::Refused) {
      if (refusing >= maxRefusing) {
        beast::error_code ignored;
        socket.close(ignored);
        socket = tcp::socket(ioc);
      } else {
        ++refusing;
      }
    }
    if (socket.is_open()) {
      session = std::make_shared<Session>(*this, std::move(socket), peer, standing, arrival);
      sessions.emplace(session.get(), session);
      if (standing == Session::Standing::Probation) {
        while (!probation.empty() && probation.front().expired()) probation.pop_front();
        probation.push_back(session);
      }
    }
    metrics.SetConnectionsOpen(static_cast<int64_t>(counted));
  }
  if (!refusal.empty()) metrics.RecordConnectionRefused();
  if (evicted) asio::post(evicted->Executor(), [evicted] { evicted->OnEvicted(); });
  if (session) {
    asio::dispatch(session->Executor(), [session, refusal] {
      if (refusal.empty()) {
        session->Start();
      } else {
        session->Refuse(refusal);
      }
    });
  }
  Accept();
}

void HttpService::Impl::Sweep() {
  const int64_t now = Ticks(Clock::now());
  std::vector<std::shared_ptr<Session>> due;
  {
    std::lock_guard lock(registryMutex);
    for (auto& [raw, weak] : sessions) {
      const int64_t d = raw->Deadline();
      if (d != 0 && d <= now)
        if (auto s = weak.lock()) due.push_back(std::move(s));
    }
  }
  for (auto& s : due) asio::post(s->Executor(), [s] { s->OnDeadline(); });
  sweeper->expires_after(kSweepInterval);
  sweeper->async_wait([this](beast::error_code ec) {
    if (!ec) Sweep();
  });
}

bool HttpService::Impl::Authorized(const http::request<http::string_body>& req) const {
  if (options.token.empty()) return true;
  auto it = req.find(http::field::authorization);
  if (it == req.end()) return false;
  std::string header = Trim(it->value());
  constexpr std::string_view kScheme = "Bearer ";
  if (header.size() < kScheme.size() || !EqualsIgnoreCase(std::string_view(header).substr(0, kScheme.size()), kScheme))
    return false;
  return ConstantTimeEquals(Trim(std::string_view(header).substr(kScheme.size())), options.token);
}

RequestView HttpService::Impl::View(const http::request<http::string_body>& req, const std::string& peer) {
  RequestView v;
  v.method = std::string(req.method_string());
  std::string_view target = req.target();
  const size_t q = target.find('?');
  v.path = std::string(target.substr(0, q));
  v.header = [&req](std::string_view name) { return std::string(req[name]); };
  std::string query = q == std::string_view::npos ? std::string() : std::string(target.substr(q + 1));
  v.query = [query](std::string_view name) {
    auto values = QueryValues(query, name);
    return values.empty() || !values[0] ? std::string() : *values[0];
  };
  v.peer = peer;
  return v;
}

// Every request passes here after its head and before its body is read.
std::optional<Answer> HttpService::Impl::Gate(const http::request<http::string_body>& req, bool chunked,
                                              std::string& route, const std::string& peer,
                                              std::optional<Caller>& caller) {
  std::string_view target = req.target();
  std::string_view path = target.substr(0, target.find('?'));
  route = Route(path);

  const bool hasLength = req.count(http::field::content_length) > 0;
  const std::string lengthText = hasLength ? Trim(req[http::field::content_length]) : std::string();
  const bool hasBody = chunked || (hasLength && lengthText != "0");
  auto refuse = [&](int status, const std::string& message) {
    Answer a = JsonError(status, message);
    // The body was not read: the connection cannot carry another request.
    if (hasBody) a = Final(std::move(a), true);
    return a;
  };

  const bool isGet = req.method() == http::verb::get || req.method() == http::verb::head;
  if (route == "other" && isGet) route = "/app";
  if (route == "other") return refuse(404, "No such resource");
  if (route == "/rpc" && req.method() != http::verb::post) {
    Answer a = refuse(405, "Use POST for /rpc");
    a.headers.emplace_back("Allow", "POST");
    return a;
  }
  if (route != "/rpc" && route != "/auth" && !isGet) {
    Answer a = refuse(405, "Use GET for " + route);
    a.headers.emplace_back("Allow", "GET, HEAD");
    return a;
  }
  if (options.token.empty()) {
    // Without a token only loopback clients are served; a page in a browser
    // that rebinds its own name to this address must not get through.
    auto host = req.find(http::field::host);
    if (host != req.end() && !IsLoopbackAddress(HostOf(host->value())))
      return refuse(403, "Requests to this service must name a loopback host");
  }
  {
    // accounts glue: the request's identity, or its refusal (server/access.h).
    RequestView view = View(req, peer);
    view.appFile = route == "/app";
    Admission admission = access.Admit(view);
    if (admission.refusal) {
      Answer a = FromWebReply(*admission.refusal);
      if (hasBody) a = Final(std::move(a), true);
      return a;
    }
    caller = std::move(admission.caller);
  }

  if (chunked && hasLength) return refuse(400, "Both Content-Length and Transfer-Encoding given");
  if (hasLength) {
    if (lengthText.empty() || lengthText.size() > 19 ||
        !std::all_of(lengthText.begin(), lengthText.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        req.count(http::field::content_length) > 1)
      return refuse(400, "Invalid Content-Length");
    if (std::stoull(lengthText) > options.maxBodyBytes)
      return refuse(413, "The request body exceeds " + std::to_string(options.maxBodyBytes) + " bytes");
  }
  if (isGet && hasBody) return refuse(400, "A GET request carries no body");
  if (req.count(http::field::transfer_encoding) > 0 &&
      (req.count(http::field::transfer_encoding) > 1 ||
       !EqualsIgnoreCase(Trim(req[http::field::transfer_encoding]), "chunked")))
    return Final(JsonError(400, "Unsupported Transfer-Encoding"), true);
  const bool posted = route == "/rpc" || (route == "/auth" && !isGet);
  if (posted && !chunked && !hasLength) {
    // Without either the body would run to the end of the connection; what
    // the peer sent after the head cannot be told from a next request.
    return Final(JsonError(411, "A Content-Length or a chunked body is required"), true);
  }
  if (posted) {
    std::string type(req[http::field::content_type]);
    type = Trim(type.substr(0, type.find(';')));
    // Browsers send other types across origins without asking first.
    if (!EqualsIgnoreCase(type, "application/json")) return refuse(415, "The request body must be application/json");
  }
  return std::nullopt;
}

Answer HttpService::Impl::ServeRpc(const std::string& body, const std::optional<Caller>& caller) {
  std::optional<CallerScope> scope;  // accounts glue
  if (caller) scope.emplace(*caller);
  RpcReply reply = rpc.Handle(body);
  Answer a;
  a.rpcMethods = std::move(reply.methods);
  if (!reply.body) {
    a.status = reply.busy ? 503 : 204;
    if (reply.busy) a.headers.emplace_back("Retry-After", std::to_string(kRetryAfterSeconds));
    return a;
  }
  a.status = AccessControl::RpcHttpStatus(*reply.body);  // accounts glue: 403 for a refused call
  if (reply.busy) {
    // Nothing was done: the client may send the same request again.
    a.status = 503;
    a.headers.emplace_back("Retry-After", std::to_string(kRetryAfterSeconds));
  }
  a.body = Text(std::move(*reply.body));
  return a;
}

std::optional<Answer> HttpService::Impl::ParseTreeRead(std::string_view path, std::string_view query,
                                                       TreeReadRequest& r) {
  const std::vector<std::string_view> parts = PathSegments(path);
  const bool node = parts.size() == 5 && parts[3] == "nodes";
  r.json = parts.size() == 4 && parts[3] == "json";
  if (!node && !r.json && !(parts.size() == 4 && parts[3] == "document")) return JsonError(404, "No such resource");
  const std::string_view type = parts[1];
  if (type != "1" && type != "2") return JsonError(400, "The tree type must be 1 or 2");
  r.treeType = type == "1" ? 1 : 2;
  auto id = ParseInt32(parts[2]);
  if (!id) return JsonError(400, "The tree identifier must be a 32-bit integer");
  r.id = *id;
  if (node) {
    auto nodeId = ParseInt32(parts[4]);
    if (!nodeId) return JsonError(400, "The node identifier must be a 32-bit integer");
    r.nodeId = *nodeId;
  }
  auto users = QueryValues(query, "user");
  if (users.size() > 1 || (users.size() == 1 && !users[0])) return JsonError(400, "Give the user once: ?user=LOGIN");
  r.user = users.empty() ? std::string() : *users[0];
  if (r.json) {
    auto views = QueryValues(query, "view");
    if (views.size() > 1 || (views.size() == 1 && (!views[0] || (*views[0] != "published" && *views[0] != "working"))))
      return JsonError(400, "Give the view once: ?view=published or ?view=working");
    if (views.size() == 1) r.view = *views[0];
  }
  if (!treeRead) return JsonError(501, "Reading trees over HTTP is not available in this build");
  return std::nullopt;
}

Answer HttpService::Impl::ServeTreeRead(TreeReadRequest r, const std::optional<Caller>& caller) {
  // accounts glue: ?user= names the caller (the default) unless a publisher or admin reads.
  if (!caller) return JsonError(401, "Sign in first");
  if (auto refusal = access.CheckReadUser(*caller, r.user,
                                          r.nodeId ? "/trees/nodes" : (r.json ? "/trees/json" : "/trees/document"),
                                          r.treeType, r.id))
    return FromWebReply(*refusal);
  if (r.user.empty() || r.user.size() > kMaxUserLength ||
      std::any_of(r.user.begin(), r.user.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
    return JsonError(400, "The user must be a login of 1 to 256 printable characters");
  CallerScope scope(*caller);
  try {
    HttpReply reply = treeRead(r);
    Answer a;
    a.status = reply.status;
    a.contentType = reply.contentType;
    a.body = reply.sharedBody ? std::move(reply.sharedBody) : Text(std::move(reply.body));
    if (!reply.etag.empty()) {
      // The stored document: revalidated by its tag on every use.
      a.headers.emplace_back("ETag", reply.etag);
      a.headers.emplace_back("Vary", "Accept-Encoding");
      a.headers.emplace_back("Cache-Control", "no-cache");
    }
    if (!reply.contentEncoding.empty()) a.headers.emplace_back("Content-Encoding", reply.contentEncoding);
    return a;
  } catch (...) {
    ErrorInfo e = CurrentError();
    int status = 500;
    if (e.number == err::NodeNotFound || e.number == err::TreeLoadFailed) status = 404;
    if (e.number == err::InvalidArgument || e.number == err::InvalidVisibilityList) status = 400;
    if (e.number == err::NoWorkingCopyToShow) status = 404;
    if (e.number == err::WorkingCopyRefused) status = 403;
    Answer a;
    a.status = status;
    a.body = Text(DumpJson(json{{"error", json{{"status", status},
                                               {"number", e.number},
                                               {"source", e.source},
                                               {"description", e.description}}}}));
    return a;
  }
}

Answer HttpService::Impl::HealthAnswer(const ReadinessReport& report, bool detailed) const {
  json checks = json::object();
  for (const auto& c : report.checks) {
    json j = {{"ok", c.ok}};
    if (!c.ok) {
      j["number"] = c.number;
      // Descriptions may name files and connections: only for callers who
      // could call methods anyway.
      if (detailed) j["description"] = c.description;
    }
    checks[c.name] = std::move(j);
  }
  json body = {{"status", report.ready ? "ok" : "unavailable"},
               {"live", true},
               {"ready", report.ready},
               {"checks", std::move(checks)}};
  Answer a;
  a.status = report.ready ? 200 : 503;
  a.body = Text(DumpJson(body));
  return a;
}

void HttpService::Impl::WriteAccessLog(const std::string& method, std::string_view path, int status, double ms,
                                       const std::string& peer, const std::string& rpcMethods,
                                       const std::optional<Caller>& caller) {
  std::string shown = path.size() > kMaxLoggedPath ? std::string(path.substr(0, kMaxLoggedPath)) + "..."
                                                   : std::string(path);
  json line = {{"time", NowIso8601()}, {"source", kSource}, {"method", method},
               {"path", shown},        {"status", status},  {"ms", std::round(ms * 1000) / 1000},
               {"remote", peer}};
  if (!rpcMethods.empty()) line["rpc"] = rpcMethods;
  if (caller) line["login"] = caller->login;
  std::string text = DumpJson(line);
  if (options.accessLog) {
    options.accessLog(text);
    return;
  }
  std::lock_guard lock(logMutex);
  std::fprintf(stderr, "%s\n", text.c_str());
}

void HttpService::Impl::Listen() {
  tcp::resolver resolver(ioc);
  beast::error_code ec;
  auto endpoints = resolver.resolve(options.listenAddress, std::to_string(options.port),
                                    tcp::resolver::numeric_service, ec);
  auto fail = [&](const std::string& why) {
    Raise(err::PermissionDenied, kSource,
          "Cannot listen on " + options.listenAddress + ":" + std::to_string(options.port) + ": " + why);
  };
  if (ec || endpoints.empty()) fail(ec ? ec.message() : "the address does not resolve");
  tcp::endpoint endpoint = endpoints.begin()->endpoint();
  acceptor.emplace(ioc);
  acceptor->open(endpoint.protocol(), ec);
  if (ec) fail(ec.message());
  // SO_REUSEADDR only, so that a restart need not wait for old connections
  // to time out; never SO_REUSEPORT, which would let a second service bind
  // the same port and silently take over part of the connections.
  acceptor->set_option(asio::socket_base::reuse_address(true), ec);
  acceptor->bind(endpoint, ec);
  if (ec) fail(ec.message());
  acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) fail(ec.message());
  port = acceptor->local_endpoint().port();
}

void HttpService::Impl::StopAll() {
  for (auto& s : LiveSessions()) asio::post(s->Executor(), [s] { s->Close(); });
}

HttpService::HttpService(ServiceOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

HttpService::~HttpService() { Stop(); }

void HttpService::SetTreeReadHandler(TreeReadHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->treeRead = std::move(handler);
}

void HttpService::Start() {
  Impl& d = *impl_;
  std::lock_guard lock(d.mutex);
  if (d.started) Raise(err::InvalidProcedureCall, kSource, "The service was started before");
  if (auto why = ListenRefusal(d.options.listenAddress, d.options.token); !why.empty())
    Raise(err::InvalidArgument, kSource, why);
  d.web = WebApp::Load(d.options.webRoot);
  {
    const size_t files = RaiseFileLimit();
    const ConnectionCaps caps =
        CapsForFileLimit(files, d.options.maxConnections, d.options.maxConnectionsPerAddress);
    if (d.options.maxConnections > caps.total) {
      std::fprintf(stderr, "tsauthor: only %zu connections fit the open-file limit (%zu); serving at most that many\n",
                   caps.total, files);
    }
    d.options.maxConnections = caps.total;
    d.options.maxConnectionsPerAddress = caps.perAddress;
    d.maxUnauthenticated = caps.unauthenticated;
    d.maxProbation = caps.probation;
    d.maxRefusing = caps.refusing;
  }
  d.Listen();
  d.started = true;
  d.workers = std::make_unique<WorkerPool>(static_cast<size_t>(std::max(1, d.options.threads)));
  // Half the workers at most wait out a stalled lock; the others keep
  // answering calls that need no write (platform/db/lock_wait.h).
  db::LimitWaiters(std::max(1, d.options.threads / 2));
  d.readers = std::make_unique<WorkerPool>(static_cast<size_t>(std::max(1, d.options.threads / 2)));
  d.readiness = std::make_unique<ReadinessProbe>(d.options.dataDir, std::max(1, d.options.readinessTimeoutMs));
  d.work.emplace(d.ioc.get_executor());
  d.sweeper.emplace(d.ioc);
  d.acceptRetry.emplace(d.ioc);
  asio::post(d.ioc, [&d] {
    d.Accept();
    d.Sweep();
  });
  int ioThreads = d.options.ioThreads;
  if (ioThreads <= 0) ioThreads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
  for (int i = 0; i < ioThreads; ++i) d.ioThreads.emplace_back([&d] { d.ioc.run(); });
}

int HttpService::Port() const { return impl_->port; }

void HttpService::Stop() {
  Impl& d = *impl_;
  std::lock_guard lock(d.mutex);
  if (!d.started || d.stopped) return;
  d.stopped = true;
  d.stopping = true;
  // No new connections (the listening socket is closed before anything else
  // happens); every connection without a call in flight goes now.
  std::promise<void> closed;
  asio::post(d.ioc, [&d, &closed] {
    beast::error_code ignored;
    d.acceptor->close(ignored);
    d.acceptRetry->cancel();
    closed.set_value();
  });
  closed.get_future().wait();
  for (auto& s : d.LiveSessions()) asio::post(s->Executor(), [s] { s->OnStop(); });
  // The calls in flight finish and their answers are handed to their
  // connections, which close once the answer is out (or its grace is over).
  d.workers->WaitIdle();
  d.readers->WaitIdle();
  {
    std::unique_lock lock2(d.registryMutex);
    d.registryChanged.wait_until(lock2, Clock::now() + kStopSendGrace + std::chrono::milliseconds(500),
                                 [&d] { return d.sessions.empty(); });
  }
  d.StopAll();
  {
    std::unique_lock lock2(d.registryMutex);
    d.registryChanged.wait_for(lock2, std::chrono::seconds(1), [&d] { return d.sessions.empty(); });
  }
  asio::post(d.ioc, [&d] { d.sweeper->cancel(); });
  d.work.reset();
  d.ioc.stop();
  for (auto& t : d.ioThreads)
    if (t.joinable()) t.join();
  d.workers->Shutdown();
  d.readers->Shutdown();
  d.readiness.reset();
}

Metrics& HttpService::metrics() { return impl_->metrics; }

AccessControl& HttpService::access() { return impl_->access; }

const WebApp& HttpService::webApp() const { return impl_->web; }

namespace {

}  // namespace

int RunServer(const Settings& settings) {
  ServiceOptions options = ServiceOptions::FromSettings(settings);
  if (options.token.empty()) {
    if (const char* t = std::getenv("TSAUTHOR_TOKEN"); t && *t) options.token = t;
  }
  if (auto why = ListenRefusal(options.listenAddress, options.token); !why.empty()) {
    std::fprintf(stderr, "tsauthor: %s\n", why.c_str());
    return 2;
  }

  // Every thread started from here on leaves SIGINT and SIGTERM to sigwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &signals, &previous);

  int rc = 0;
  {
    HttpService service(options);
    service.SetTreeReadHandler(
        [](const TreeReadRequest& r) { return ReadTreeFor(r, {r.ifNoneMatch, r.acceptEncoding}); });
    try {
      service.Start();
    } catch (...) {
      ErrorInfo e = CurrentError();
      std::fprintf(stderr, "tsauthor: cannot start the service: %s\n", e.description.c_str());
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      return 1;
    }
    std::fprintf(stderr, "tsauthor: serving on http://%s:%d with %d threads%s\n", options.listenAddress.c_str(),
                 service.Port(), options.threads, options.token.empty() ? "" : " (bearer token required)");
    // accounts glue: the first administrator's one-time setup link, and housekeeping.
    service.access().StartHousekeeping();
    const bool ipv6 = options.listenAddress.find(':') != std::string::npos;
    const std::string base = "http://" + (ipv6 ? "[" + options.listenAddress + "]" : options.listenAddress) + ":" +
                             std::to_string(service.Port());
    const WebApp& app = service.webApp();
    if (app.Built()) {
      std::fprintf(stderr, "tsauthor: serving the web app from %s (%zu files)\n", app.Root().c_str(), app.FileCount());
      std::fprintf(stderr, "tsauthor: the web app is at %s/\n", base.c_str());
    } else {
      std::fprintf(stderr, "tsauthor: the web app is not built (no %s/index.html): run `make web`\n",
                   app.Root().c_str());
    }
    if (const std::string secret = service.access().OpenFirstAdminSetup(); !secret.empty()) {
      std::fprintf(stderr,
                   "tsauthor: no account exists yet. Create the first administrator with this one-time link\n"
                   "tsauthor: (it works until an administrator exists; see the README, \"Signing in\"):\n");
      if (app.Built()) std::fprintf(stderr, "  %s/setup?secret=%s\ntsauthor: or without the app:\n", base.c_str(), secret.c_str());
      std::fprintf(stderr,
                   "  curl -s '%s/auth/setup?secret=%s' -H 'Content-Type: application/json' \\\n"
                   "       -d '{\"login\":\"ann\",\"name\":\"Ann Author\",\"password\":\"choose a good one\"}'\n",
                   base.c_str(), secret.c_str());
    }
    std::fprintf(stderr,
                 "tsauthor: calls need an identity: tsauthor user token LOGIN prints a personal token, then\n"
                 "tsauthor: try: curl -s -H 'Content-Type: application/json' -H \"Authorization: Bearer $TOKEN\" %s/rpc "
                 "-d '{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"TSDOM.CreateEmptyTree\","
                 "\"params\":{\"i_lTreeType\":1,\"i_lID\":1}}'\n",
                 base.c_str());
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    std::fprintf(stderr, "tsauthor: %s received; finishing the calls in flight\n",
                 received == SIGINT ? "SIGINT" : "SIGTERM");
    service.Stop();
    std::fprintf(stderr, "tsauthor: stopped\n");
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return rc;
}

}  // namespace tsa::server
