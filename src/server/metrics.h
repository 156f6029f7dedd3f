// Counters of the network service in the Prometheus text format: calls and
// errors per RPC method, a latency histogram per method, the calls in flight,
// HTTP responses per route and status, open and refused connections,
// connections ended by a deadline, failed log writes, and the failures
// without a valid identity (accounts/failure_audit.h).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace tsa::server {

class Metrics {
 public:
  // Upper bounds of the latency buckets in seconds (0.5 ms to 10 s).
  static constexpr std::array<double, 14> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                      0.1,    0.25,  0.5,    1.0,   2.5,  5.0,   10.0};

  // One RPC call: its method label ("TSDOM.AddChildNew", or "unknown" and
  // "invalid" for calls that named no callable method), how long it took and
  // whether it ended in an error.
  void RecordCall(std::string_view method, double seconds, bool error);
  // One HTTP response.
  void RecordHttp(std::string_view route, int status);
  // A connection ended by a deadline: "head", "body", "idle" or "send".
  void RecordDeadline(std::string_view phase);
  // A connection answered 503 because a connection cap was reached.
  void RecordConnectionRefused() { refused_.fetch_add(1, std::memory_order_relaxed); }
  void SetConnectionsOpen(int64_t n) { open_.store(n, std::memory_order_relaxed); }

  // Marks one call in flight for its lifetime (nothing for a null pointer).
  class InFlight {
   public:
    explicit InFlight(Metrics* m) : m_(m) {
      if (m_) m_->inFlight_.fetch_add(1, std::memory_order_relaxed);
    }
    ~InFlight() {
      if (m_) m_->inFlight_.fetch_sub(1, std::memory_order_relaxed);
    }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

   private:
    Metrics* m_;
  };

  int64_t InFlightNow() const { return inFlight_.load(std::memory_order_relaxed); }
  uint64_t Calls(std::string_view method) const;
  uint64_t Errors(std::string_view method) const;
  uint64_t Deadlines(std::string_view phase) const;
  uint64_t ConnectionsRefused() const { return refused_.load(std::memory_order_relaxed); }

  // The exposition text.
  std::string Render() const;

 private:
  struct Series {
    uint64_t calls = 0;
    uint64_t errors = 0;
    std::array<uint64_t, kBuckets.size()> buckets{};  // not cumulative
    double sum = 0;
  };

  mutable std::mutex mutex_;
  std::map<std::string, Series, std::less<>> methods_;
  std::map<std::pair<std::string, int>, uint64_t> http_;
  std::map<std::string, uint64_t, std::less<>> deadlines_;
  std::atomic<int64_t> inFlight_{0};
  std::atomic<int64_t> open_{0};
  std::atomic<uint64_t> refused_{0};
};

}  // namespace tsa::server
