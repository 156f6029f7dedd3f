#include "server/http_server.h"

#include "server/tree_reads.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "runtime/error.h"
#include "runtime/log.h"
#include "server/access.h"
#include "server/json_rpc.h"
#include "server/metrics.h"

namespace tsa::server {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kSource = "tsauthor.http";
constexpr size_t kMaxUserLength = 256;
constexpr size_t kMaxLoggedPath = 200;
// After refusing a request whose body was not read: how long and how much to
// drain before closing, so that the peer reads the refusal instead of a reset.
constexpr auto kLingerTime = std::chrono::milliseconds(1000);
constexpr size_t kLingerBytes = 256 * 1024;
// How often an idle connection looks whether the service is stopping.
constexpr int kIdleSliceMs = 50;
// How long a kept-alive connection must have been idle before it gives its
// worker up to a connection that waits for one. A client that sends its next
// request at once is never cut off between two requests.
constexpr auto kYieldAfterIdle = std::chrono::milliseconds(100);
// The most a request line and headers may take together.
constexpr size_t kMaxHeadBytes = 64 * 1024;

// What the request being served on this thread has gathered for the access
// log and the connection loop.
struct RequestState {
  Clock::time_point start = Clock::now();
  std::string route = "other";
  std::string rpcMethods;
  bool closeConnection = false;  // close after this response
  bool bodyUnread = false;       // refused before its body was read
  bool headRead = false;         // the request line and headers were parsed
  bool headTooLarge = false;     // they went past kMaxHeadBytes
  std::string peer;              // the peer's address, also for requests that could not be parsed
  std::optional<Caller> caller;  // accounts glue: who is calling (server/access.h)
};

thread_local RequestState* t_request = nullptr;

RequestState& CurrentRequest() {
  static thread_local RequestState spare;
  return t_request ? *t_request : spare;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

// Compares in time that depends only on the expected text's length.
bool ConstantTimeEquals(std::string_view presented, std::string_view expected) {
  unsigned char diff = presented.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < expected.size(); ++i) {
    unsigned char p = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
    diff |= static_cast<unsigned char>(p ^ static_cast<unsigned char>(expected[i]));
  }
  return diff == 0;
}

std::string Route(const std::string& path) {
  if (path == "/rpc") return "/rpc";
  if (path == "/health") return "/health";
  if (path == "/metrics") return "/metrics";
  if (path.rfind("/trees/", 0) == 0) return "/trees";
  if (path.rfind("/auth/", 0) == 0) return "/auth";
  return "other";
}


void SetJsonError(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(DumpJson(json{{"error", json{{"status", status}, {"message", message}}}}), "application/json");
}

// --- accounts glue: the neutral view of a request and the answers of access control ---
RequestView View(const httplib::Request& req, const RequestState& state) {
  RequestView v;
  v.method = req.method;
  v.path = req.path;
  v.header = [&req](std::string_view name) { return req.get_header_value(std::string(name)); };
  v.query = [&req](std::string_view name) { return req.get_param_value(std::string(name)); };
  v.peer = req.remote_addr.empty() ? state.peer : req.remote_addr;
  return v;
}

void Apply(const WebReply& reply, httplib::Response& res) {
  res.status = reply.status;
  for (const auto& [name, value] : reply.headers) res.set_header(name, value);
  res.set_content(reply.body, reply.contentType);
}

// The host part of a Host header: "[::1]:8470" -> "::1", "localhost:8470" -> "localhost".
std::string HostOf(const std::string& header) {
  std::string h = Trim(header);
  if (!h.empty() && h.front() == '[') {
    size_t close = h.find(']');
    return close == std::string::npos ? h : h.substr(1, close - 1);
  }
  size_t colon = h.find(':');
  if (colon != std::string::npos && h.find(':', colon + 1) == std::string::npos) return h.substr(0, colon);
  return h;
}

// A decimal 32-bit integer, nothing else.
std::optional<int32_t> ParseInt32(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == text.size() || text.size() - i > 10) return std::nullopt;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    v = v * 10 + (text[i] - '0');
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

// A connection's byte stream: buffered reads (the request parser reads a
// byte at a time), every read bounded by the read timeout and the request's
// deadline, every write by the write timeout.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(int sock, int readTimeoutMs, int writeTimeoutMs)
      : sock_(sock), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs) {}

  // A new request begins: its deadline, and the state that tells whether its
  // head is still being read (and so counts against kMaxHeadBytes).
  void BeginRequest(Clock::time_point deadline, RequestState* request) {
    deadline_ = deadline;
    request_ = request;
    headBytes_ = 0;
  }
  bool HasBuffered() const { return pos_ < len_; }
  // A read timed out or the peer went away: the connection cannot go on.
  bool ReadFailed() const { return readFailed_; }

  bool is_readable() const override { return HasBuffered() || WaitReadable(); }
  bool is_writable() const override { return Poll(POLLOUT, writeTimeoutMs_) > 0; }

  ssize_t read(char* ptr, size_t size) override {
    ssize_t n = ReadBounded(ptr, size);
    if (n > 0 && request_ && !request_->headRead) {
      headBytes_ += static_cast<size_t>(n);
      if (headBytes_ > kMaxHeadBytes) {
        // The parser would take an endless line or endless headers.
        request_->headTooLarge = true;
        readFailed_ = true;
        return -1;
      }
    }
    return n;
  }

  ssize_t ReadBounded(char* ptr, size_t size) {
    if (HasBuffered()) return TakeBuffered(ptr, size);
    if (!WaitReadable()) {
      readFailed_ = true;
      return -1;
    }
    if (size >= sizeof buffer_) {
      ssize_t n = Recv(ptr, size);
      if (n <= 0) readFailed_ = true;
      return n;
    }
    ssize_t n = Recv(buffer_, sizeof buffer_);
    if (n <= 0) {
      readFailed_ = true;
      return n;
    }
    pos_ = 0;
    len_ = static_cast<size_t>(n);
    return TakeBuffered(ptr, size);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (Poll(POLLOUT, writeTimeoutMs_) <= 0) return -1;
    for (;;) {
      ssize_t n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) Describe(addr, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) Describe(addr, ip, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  static void Describe(const sockaddr_storage& addr, std::string& ip, int& port) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
      const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
      ::inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
      port = ntohs(a->sin_port);
    } else if (addr.ss_family == AF_INET6) {
      const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
      ::inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
      port = ntohs(a->sin6_port);
    }
    ip = buf;
  }

  ssize_t TakeBuffered(char* ptr, size_t size) {
    size_t n = std::min(size, len_ - pos_);
    std::memcpy(ptr, buffer_ + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t Recv(char* ptr, size_t size) {
    for (;;) {
      ssize_t n = ::recv(sock_, ptr, size, 0);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }

  bool WaitReadable() const {
    int timeout = readTimeoutMs_;
    if (deadline_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
      if (left <= 0) return false;
      timeout = static_cast<int>(std::min<int64_t>(timeout, left));
    }
    return Poll(POLLIN, timeout) > 0;
  }

  int Poll(short events, int timeoutMs) const {
    pollfd p{sock_, events, 0};
    for (;;) {
      int r = ::poll(&p, 1, timeoutMs);
      if (r < 0 && errno == EINTR) continue;
      return r;
    }
  }

  int sock_;
  int readTimeoutMs_;
  int writeTimeoutMs_;
  std::optional<Clock::time_point> deadline_;
  RequestState* request_ = nullptr;
  size_t headBytes_ = 0;
  char buffer_[16 * 1024];
  size_t pos_ = 0;
  size_t len_ = 0;
  bool readFailed_ = false;
};

// The library's thread pool, counting the connections that wait for a worker.
class CountingPool final : public httplib::TaskQueue {
 public:
  CountingPool(size_t threads, std::atomic<size_t>& waiting, std::atomic<size_t>& busy)
      : pool_(threads), waiting_(waiting), busy_(busy) {}

  void enqueue(std::function<void()> fn) override {
    waiting_.fetch_add(1);
    pool_.enqueue([this, fn = std::move(fn)] {
      busy_.fetch_add(1);
      waiting_.fetch_sub(1);
      fn();
      busy_.fetch_sub(1);
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  std::atomic<size_t>& waiting_;
  std::atomic<size_t>& busy_;
};

// The library's server with our own connection loop: one buffered stream per
// connection, a deadline per request, idle connections that notice a stop,
// and a connection closed (after draining) when a request was refused before
// its body was read.
class GuardedServer : public httplib::Server {
 public:
  std::atomic<bool> stopping{false};
  int readTimeoutMs = 30000;
  int writeTimeoutMs = 30000;
  int keepAliveTimeoutMs = 5000;
  size_t keepAliveMaxRequests = 1000;
  std::atomic<size_t> waitingConnections{0};
  std::atomic<size_t> busyWorkers{0};
  size_t workers = 1;
  CountingPool* pool = nullptr;  // the queue of the running accept loop

  // Whether a connection waits in the queue with no free worker to take it
  // (a worker that holds an idle connection counts as busy).
  bool Starved() const {
    const size_t busy = busyWorkers.load();
    const size_t idle = busy < workers ? workers - busy : 0;
    return waitingConnections.load() > idle;
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    int one = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return ServeConnection(sock, Clock::now() + std::chrono::milliseconds(readTimeoutMs));
  }

  // Serves a connection whose first request must begin by `firstDeadline`.
  bool ServeConnection(int sock, Clock::time_point firstDeadline) {
    switch (WaitForFirstRequest(sock, firstDeadline)) {
      case FirstRequest::Arrived:
        break;
      case FirstRequest::Requeue:
        // Nothing sent yet and others wait for a worker: this connection
        // goes to the back of the queue instead of holding its worker.
        pool->enqueue([this, sock, firstDeadline] { ServeConnection(sock, firstDeadline); });
        return true;
      case FirstRequest::Close:
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return false;
    }
    ConnectionStream stream(sock, readTimeoutMs, writeTimeoutMs);
    bool ok = true;
    bool linger = false;
    for (size_t served = 0; served < keepAliveMaxRequests; ++served) {
      if (served > 0 && !WaitForRequest(sock, stream)) break;
      RequestState state;
      t_request = &state;
      stream.BeginRequest(state.start + std::chrono::milliseconds(readTimeoutMs), &state);
      int peerPort = 0;
      stream.get_remote_ip_and_port(state.peer, peerPort);
      const bool lastOne = served + 1 == keepAliveMaxRequests || stopping.load();
      bool connectionClosed = false;
      ok = process_request(stream, lastOne, connectionClosed, nullptr);
      t_request = nullptr;
      stream.BeginRequest(Clock::now(), nullptr);
      linger = state.bodyUnread;
      if (!ok || connectionClosed || state.closeConnection || lastOne || stream.ReadFailed()) break;
    }
    if (linger) Drain(sock);
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
  }

  enum class FirstRequest { Arrived, Requeue, Close };

  // Waits for the first request on a new connection. A connection accepted
  // before the stop is still served when its request is already there.
  FirstRequest WaitForFirstRequest(int sock, Clock::time_point deadline) const {
    pollfd p{sock, POLLIN, 0};
    for (;;) {
      int r = ::poll(&p, 1, stopping.load() ? 0 : kIdleSliceMs);
      if (r > 0) return FirstRequest::Arrived;
      if (r < 0 && errno != EINTR) return FirstRequest::Close;
      if (r < 0) continue;
      if (stopping.load() || Clock::now() >= deadline) return FirstRequest::Close;
      if (pool && Starved()) return FirstRequest::Requeue;
    }
  }

  // Waits for a further request on a kept-alive connection. A connection
  // idle for a moment gives its worker up when another connection waits and
  // no worker is free, and at once when the service stops.
  bool WaitForRequest(int sock, const ConnectionStream& stream) const {
    if (stream.HasBuffered()) return true;
    const auto idleSince = Clock::now();
    const auto deadline = idleSince + std::chrono::milliseconds(keepAliveTimeoutMs);
    pollfd p{sock, POLLIN, 0};
    for (;;) {
      const bool stop = stopping.load();
      const bool yield = Clock::now() - idleSince >= kYieldAfterIdle && Starved();
      int r = ::poll(&p, 1, stop || yield ? 0 : kIdleSliceMs);
      if (r > 0) return !stop;
      if (r < 0 && errno != EINTR) return false;
      if (stop || yield || Clock::now() >= deadline) return false;
    }
  }

  static void Drain(int sock) {
    ::shutdown(sock, SHUT_WR);
    const auto until = Clock::now() + kLingerTime;
    char buf[4096];
    size_t drained = 0;
    pollfd p{sock, POLLIN, 0};
    while (drained < kLingerBytes) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      ssize_t n = ::recv(sock, buf, sizeof buf, 0);
      if (n <= 0) break;
      drained += static_cast<size_t>(n);
    }
  }
};

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

ServiceOptions ServiceOptions::FromSettings(const Settings& s) {
  ServiceOptions o;
  o.listenAddress = s.listenAddress;
  o.port = s.port;
  o.token = s.token;
  o.threads = std::max(1, s.threads);
  o.maxBodyBytes = s.maxBodyBytes;
  o.maxJsonDepth = std::max(1, s.maxJsonDepth);
  o.requestTimeoutSeconds = std::max(1, s.requestTimeoutSeconds);
  o.dataDir = s.dataDir;
  return o;
}

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
  GuardedServer server;
  TreeReadHandler treeRead;
  std::thread listener;
  std::atomic<bool> listenerDone{false};
  std::mutex mutex;
  bool started = false;
  bool stopped = false;
  int port = -1;
  std::atomic<uint64_t> probeCounter{0};
  std::mutex logMutex;

  void Configure();
  bool Authorized(const httplib::Request& req) const;
  httplib::Server::HandlerResponse Gate(const httplib::Request& req, httplib::Response& res);
  void ServeRpc(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
  void ServeHealth(const httplib::Request& req, httplib::Response& res);
  void ServeTreeRead(const httplib::Request& req, httplib::Response& res, bool node);
  void ServeAuth(const httplib::Request& req, httplib::Response& res);
  void WriteAccessLog(const httplib::Request& req, const httplib::Response& res);
};

bool HttpService::Impl::Authorized(const httplib::Request& req) const {
  if (options.token.empty()) return true;
  std::string header = Trim(req.get_header_value("Authorization"));
  constexpr std::string_view kScheme = "Bearer ";
  if (header.size() < kScheme.size() || !EqualsIgnoreCase(std::string_view(header).substr(0, kScheme.size()), kScheme))
    return false;
  return ConstantTimeEquals(Trim(std::string_view(header).substr(kScheme.size())), options.token);
}

// Every request passes here after its headers and before its body is read.
httplib::Server::HandlerResponse HttpService::Impl::Gate(const httplib::Request& req, httplib::Response& res) {
  using HR = httplib::Server::HandlerResponse;
  RequestState& state = CurrentRequest();
  state.headRead = true;
  state.route = Route(req.path);
  // Connection options are not case-sensitive; the parser only knows "close".
  if (EqualsIgnoreCase(Trim(req.get_header_value("Connection")), "close")) state.closeConnection = true;

  const bool chunked = req.has_header("Transfer-Encoding");
  const bool hasLength = req.has_header("Content-Length");
  const std::string lengthText = Trim(req.get_header_value("Content-Length"));
  const bool hasBody = chunked || (hasLength && lengthText != "0");
  auto refuse = [&](auto status, const std::string& message = {}) {
    if constexpr (std::is_same_v<decltype(status), WebReply>) {
      Apply(status, res);
    } else {
      SetJsonError(res, status, message);
    }
    if (hasBody) {
      // The body was not read: the connection cannot carry another request.
      state.closeConnection = true;
      state.bodyUnread = true;
      res.set_header("Connection", "close");
    }
    return HR::Handled;
  };

  const bool isGet = req.method == "GET" || req.method == "HEAD";
  if (state.route == "other") return refuse(404, "No such resource");
  if (state.route == "/rpc" && req.method != "POST") {
    res.set_header("Allow", "POST");
    return refuse(405, "Use POST for /rpc");
  }
  if (state.route != "/rpc" && state.route != "/auth" && !isGet) {
    res.set_header("Allow", "GET, HEAD");
    return refuse(405, "Use GET for " + state.route);
  }
  if (options.token.empty()) {
    // Without a token only loopback clients are served; a page in a browser
    // that rebinds its own name to this address must not get through.
    if (req.has_header("Host") && !IsLoopbackAddress(HostOf(req.get_header_value("Host"))))
      return refuse(403, "Requests to this service must name a loopback host");
  }
  {
    // --- accounts glue: the request's identity, or its refusal (server/access.h) ---
    Admission admission = access.Admit(View(req, state));
    if (admission.refusal) return refuse(*admission.refusal);
    state.caller = std::move(admission.caller);
  }

  if (chunked && hasLength) return refuse(400, "Both Content-Length and Transfer-Encoding given");
  if (hasLength) {
    if (lengthText.empty() || lengthText.size() > 19 ||
        !std::all_of(lengthText.begin(), lengthText.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        req.get_header_value_count("Content-Length") > 1)
      return refuse(400, "Invalid Content-Length");
    if (std::stoull(lengthText) > options.maxBodyBytes)
      return refuse(413, "The request body exceeds " + std::to_string(options.maxBodyBytes) + " bytes");
  }
  if (isGet && hasBody) return refuse(400, "A GET request carries no body");
  if (chunked && !EqualsIgnoreCase(Trim(req.get_header_value("Transfer-Encoding")), "chunked"))
    return refuse(400, "Unsupported Transfer-Encoding");
  const bool posted = state.route == "/rpc" || (state.route == "/auth" && !isGet);
  if (posted && !chunked && !hasLength) {
    // Without either the body would run to the end of the connection; what
    // the peer sent after the head cannot be told from a next request.
    SetJsonError(res, 411, "A Content-Length or a chunked body is required");
    state.closeConnection = true;
    state.bodyUnread = true;
    res.set_header("Connection", "close");
    return HR::Handled;
  }

  if (posted) {
    std::string type = req.get_header_value("Content-Type");
    type = Trim(type.substr(0, type.find(';')));
    // Browsers send other types across origins without asking first.
    if (!EqualsIgnoreCase(type, "application/json"))
      return refuse(415, "The request body must be application/json");
  }
  return HR::Unhandled;
}

void HttpService::Impl::ServeRpc(const httplib::Request&, httplib::Response& res,
                                 const httplib::ContentReader& reader) {
  RequestState& state = CurrentRequest();
  std::string body;
  bool tooLarge = false;
  bool complete = reader([&](const char* data, size_t length) {
    if (body.size() + length > options.maxBodyBytes) {
      tooLarge = true;
      return false;
    }
    body.append(data, length);
    return true;
  });
  if (tooLarge || !complete) {
    state.closeConnection = true;
    state.bodyUnread = true;
    res.set_header("Connection", "close");
    if (tooLarge) {
      SetJsonError(res, 413, "The request body exceeds " + std::to_string(options.maxBodyBytes) + " bytes");
    } else {
      SetJsonError(res, 400, "The request body could not be read");
    }
    return;
  }
  std::optional<CallerScope> scope;  // accounts glue
  if (state.caller) scope.emplace(*state.caller);
  RpcReply reply = rpc.Handle(body);
  state.rpcMethods = std::move(reply.methods);
  if (!reply.body) {
    res.status = 204;
    return;
  }
  res.status = AccessControl::RpcHttpStatus(*reply.body);  // accounts glue: 403 for a refused call
  res.set_content(*reply.body, "application/json");
}

void HttpService::Impl::ServeHealth(const httplib::Request& req, httplib::Response& res) {
  // Error descriptions may name files and connections: only for callers who
  // could call methods anyway.
  const bool detailed = Authorized(req);
  json checks = json::object();
  bool healthy = true;
  auto failed = [&](const char* name, const ErrorInfo& e) {
    healthy = false;
    json c = {{"ok", false}, {"number", e.number}};
    if (detailed) c["description"] = e.description;
    checks[name] = std::move(c);
  };

  ConnectionPtr connection;
  RecordsetPtr rs;
  try {
    connection = GetHelvixConnection();
    rs = connection->OpenRecordset("SELECT 1");
    CloseRecordset(rs);
    CloseConnection(connection);
    checks["database"] = {{"ok", true}};
  } catch (...) {
    ErrorInfo e = CurrentError();
    try {
      CloseRecordset(rs);
      CloseConnection(connection);
    } catch (...) {
    }
    failed("database", e);
  }

  namespace fs = std::filesystem;
  std::string dir = options.dataDir.empty() ? CurrentSettings().dataDir : options.dataDir;
  fs::path probe = fs::path(dir) / (".health-" + std::to_string(::getpid()) + "-" +
                                    std::to_string(probeCounter.fetch_add(1)));
  int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool written = fd >= 0 && ::write(fd, "ok", 2) == 2;
  int writeErrno = errno;
  if (fd >= 0) ::close(fd);
  bool removed = fd >= 0 && ::unlink(probe.c_str()) == 0;
  if (written && removed) {
    checks["dataFolder"] = {{"ok", true}};
  } else {
    ErrorInfo e;
    e.number = writeErrno == ENOENT ? err::PathNotFound : err::PermissionDenied;
    e.source = kSource;
    e.description = "The data folder " + dir + " is not writable: " + std::strerror(writeErrno);
    failed("dataFolder", e);
  }

  json body = {{"status", healthy ? "ok" : "unavailable"}, {"checks", checks}};
  res.status = healthy ? 200 : 503;
  res.set_content(DumpJson(body), "application/json");
}

void HttpService::Impl::ServeTreeRead(const httplib::Request& req, httplib::Response& res, bool node) {
  TreeReadRequest r;
  const std::string type = req.matches[1];
  if (type != "1" && type != "2") return SetJsonError(res, 400, "The tree type must be 1 or 2");
  r.treeType = type == "1" ? 1 : 2;
  auto id = ParseInt32(req.matches[2]);
  if (!id) return SetJsonError(res, 400, "The tree identifier must be a 32-bit integer");
  r.id = *id;
  if (node) {
    auto nodeId = ParseInt32(req.matches[3]);
    if (!nodeId) return SetJsonError(res, 400, "The node identifier must be a 32-bit integer");
    r.nodeId = *nodeId;
  }
  if (req.get_param_value_count("user") > 1) return SetJsonError(res, 400, "Give the user once: ?user=LOGIN");
  r.user = req.get_param_value("user");
  // --- accounts glue: ?user= names the caller (the default) unless a publisher or admin reads ---
  RequestState& state = CurrentRequest();
  if (!state.caller) return SetJsonError(res, 401, "Sign in first");
  if (auto refusal = access.CheckReadUser(*state.caller, r.user, node ? "/trees/nodes" : "/trees/document",
                                          r.treeType, r.id)) {
    return Apply(*refusal, res);
  }
  CallerScope scope(*state.caller);
  if (r.user.empty() || r.user.size() > kMaxUserLength ||
      std::any_of(r.user.begin(), r.user.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
    return SetJsonError(res, 400, "The user must be a login of 1 to 256 printable characters");
  if (!treeRead) return SetJsonError(res, 501, "Reading trees over HTTP is not available in this build");
  try {
    HttpReply reply = treeRead(r);
    res.status = reply.status;
    res.set_content(reply.body, reply.contentType);
  } catch (...) {
    ErrorInfo e = CurrentError();
    int status = 500;
    if (e.number == err::NodeNotFound || e.number == err::TreeLoadFailed) status = 404;
    if (e.number == err::InvalidArgument || e.number == err::InvalidVisibilityList) status = 400;
    res.status = status;
    res.set_content(DumpJson(json{{"error", json{{"status", status},
                                                 {"number", e.number},
                                                 {"source", e.source},
                                                 {"description", e.description}}}}),
                    "application/json");
  }
}

void HttpService::Impl::ServeAuth(const httplib::Request& req, httplib::Response& res) {
  RequestState& state = CurrentRequest();
  Apply(access.AnswerAuth(View(req, state), req.body, state.caller), res);
}

void HttpService::Impl::WriteAccessLog(const httplib::Request& req, const httplib::Response& res) {
  RequestState& state = CurrentRequest();
  std::chrono::duration<double, std::milli> took = Clock::now() - state.start;
  metrics.RecordHttp(state.route, res.status);
  std::string path = req.path.size() > kMaxLoggedPath ? req.path.substr(0, kMaxLoggedPath) + "..." : req.path;
  json line = {{"time", NowIso8601()},  {"source", kSource},    {"method", req.method},
               {"path", path},          {"status", res.status}, {"ms", std::round(took.count() * 1000) / 1000},
               {"remote", req.remote_addr.empty() ? state.peer : req.remote_addr}};
  if (!state.rpcMethods.empty()) line["rpc"] = state.rpcMethods;
  if (state.caller) line["login"] = state.caller->login;
  std::string text = DumpJson(line);
  if (options.accessLog) {
    options.accessLog(text);
    return;
  }
  std::lock_guard lock(logMutex);
  std::fprintf(stderr, "%s\n", text.c_str());
}

void HttpService::Impl::Configure() {
  const size_t threads = static_cast<size_t>(std::max(1, options.threads));
  server.workers = threads;
  // The library takes ownership of the queue it is given.
  server.new_task_queue = [this, threads] {
    auto* pool = new CountingPool(threads, server.waitingConnections, server.busyWorkers);
    server.pool = pool;
    return pool;
  };
  server.set_tcp_nodelay(true);
  // SO_REUSEADDR only, so that a restart need not wait for old connections
  // to time out. The library's default, SO_REUSEPORT, lets a second service
  // bind the same port and silently take over part of the connections.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  server.set_payload_max_length(options.maxBodyBytes);
  server.set_read_timeout(options.requestTimeoutSeconds, 0);
  server.set_write_timeout(options.requestTimeoutSeconds, 0);
  server.set_keep_alive_timeout(options.keepAliveTimeoutSeconds);
  server.set_keep_alive_max_count(std::max<size_t>(1, options.keepAliveMaxRequests));
  server.readTimeoutMs = options.requestTimeoutSeconds * 1000;
  server.writeTimeoutMs = options.requestTimeoutSeconds * 1000;
  server.keepAliveTimeoutMs = options.keepAliveTimeoutSeconds * 1000;
  server.keepAliveMaxRequests = std::max<size_t>(1, options.keepAliveMaxRequests);

  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) { return Gate(req, res); });
  server.set_expect_100_continue_handler([this](const httplib::Request& req, httplib::Response& res) {
    return Gate(req, res) == httplib::Server::HandlerResponse::Handled ? res.status : 100;
  });
  // Runs for every response just before it is written, so that a client that
  // has its answer finds it counted and logged.
  server.set_post_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    RequestState& state = CurrentRequest();
    if (!state.headRead) {
      // The library refused a request line or headers it could not parse.
      // Where that request ends is unknown: nothing after it on this
      // connection can be trusted to be a request.
      state.closeConnection = true;
      if (state.headTooLarge) {
        state.bodyUnread = true;  // the rest of it is still coming
        SetJsonError(res, 431, "The request line and headers exceed " + std::to_string(kMaxHeadBytes) + " bytes");
        res.headers.erase("Content-Length");
        res.set_header("Content-Length", std::to_string(res.body.size()));
      }
    }
    if (!res.body.empty() && !res.has_header("Content-Length")) {
      // Answers written before the body was read (Expect: 100-continue).
      res.set_header("Content-Length", std::to_string(res.body.size()));
    }
    if (server.stopping.load() || state.closeConnection) {
      res.headers.erase("Keep-Alive");
      res.headers.erase("Connection");
      res.set_header("Connection", "close");
    }
    WriteAccessLog(req, res);
  });
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    ErrorInfo e = ErrorFromException(ep);
    SetJsonError(res, 500, "Internal error: " + e.description);
  });

  server.Post("/rpc", [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    ServeRpc(req, res, reader);
  });
  server.Get("/health", [this](const httplib::Request& req, httplib::Response& res) { ServeHealth(req, res); });
  server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(metrics.Render(), "text/plain; version=0.0.4; charset=utf-8");
  });
  // --- accounts glue: /auth/login, /auth/logout, /auth/me, /auth/setup (server/auth_endpoints.h) ---
  server.Post(R"(/auth/[a-z]+)", [this](const httplib::Request& req, httplib::Response& res) { ServeAuth(req, res); });
  server.Get(R"(/auth/[a-z]+)", [this](const httplib::Request& req, httplib::Response& res) { ServeAuth(req, res); });
  server.Get(R"(/trees/([^/]+)/([^/]+)/document)",
             [this](const httplib::Request& req, httplib::Response& res) { ServeTreeRead(req, res, false); });
  server.Get(R"(/trees/([^/]+)/([^/]+)/nodes/([^/]+))",
             [this](const httplib::Request& req, httplib::Response& res) { ServeTreeRead(req, res, true); });
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
  d.Configure();
  if (d.options.port == 0) {
    d.port = d.server.bind_to_any_port(d.options.listenAddress);
  } else {
    d.port = d.server.bind_to_port(d.options.listenAddress, d.options.port) ? d.options.port : -1;
  }
  if (d.port <= 0) {
    int e = errno;
    Raise(err::PermissionDenied, kSource,
          "Cannot listen on " + d.options.listenAddress + ":" + std::to_string(d.options.port) + ": " +
              std::strerror(e));
  }
  d.started = true;
  d.listener = std::thread([&d] {
    d.server.listen_after_bind();
    d.listenerDone = true;
  });
  // Stop() is only heard once the accept loop runs.
  while (!d.server.is_running() && !d.listenerDone) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int HttpService::Port() const { return impl_->port; }

void HttpService::Stop() {
  Impl& d = *impl_;
  std::lock_guard lock(d.mutex);
  if (!d.started || d.stopped) return;
  d.stopped = true;
  d.server.stopping = true;
  d.server.stop();
  if (d.listener.joinable()) d.listener.join();
}

Metrics& HttpService::metrics() { return impl_->metrics; }

AccessControl& HttpService::access() { return impl_->access; }

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
    service.SetTreeReadHandler(ReadTree);
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
    // --- accounts glue: the first administrator's one-time setup link, and housekeeping ---
    service.access().StartHousekeeping();
    const std::string base = "http://" + options.listenAddress + ":" + std::to_string(service.Port());
    if (const std::string secret = service.access().OpenFirstAdminSetup(); !secret.empty()) {
      std::fprintf(stderr,
                   "tsauthor: no account exists yet. Create the first administrator with this one-time link\n"
                   "tsauthor: (it works until an administrator exists; see the README, \"Signing in\"):\n"
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
    std::fprintf(stderr, "tsauthor: %s received; finishing the requests in flight\n",
                 received == SIGINT ? "SIGINT" : "SIGTERM");
    service.Stop();
    std::fprintf(stderr, "tsauthor: stopped\n");
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return rc;
}

}  // namespace tsa::server
