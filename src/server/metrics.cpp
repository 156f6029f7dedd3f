#include "server/metrics.h"

#include <cstdio>

#include "accounts/failure_audit.h"
#include "runtime/error.h"

namespace tsa::server {

namespace {

// A label value with backslash, quote and line end escaped.
std::string Label(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  for (char c : v) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

}  // namespace

void Metrics::RecordCall(std::string_view method, double seconds, bool error) {
  size_t bucket = 0;
  while (bucket < kBuckets.size() && seconds > kBuckets[bucket]) ++bucket;
  std::lock_guard lock(mutex_);
  auto it = methods_.find(method);
  if (it == methods_.end()) it = methods_.emplace(std::string(method), Series{}).first;
  Series& s = it->second;
  ++s.calls;
  if (error) ++s.errors;
  if (bucket < kBuckets.size()) ++s.buckets[bucket];
  s.sum += seconds;
}

void Metrics::RecordHttp(std::string_view route, int status) {
  std::lock_guard lock(mutex_);
  ++http_[{std::string(route), status}];
}

void Metrics::RecordDeadline(std::string_view phase) {
  std::lock_guard lock(mutex_);
  auto it = deadlines_.find(phase);
  if (it == deadlines_.end()) it = deadlines_.emplace(std::string(phase), 0).first;
  ++it->second;
}

uint64_t Metrics::Deadlines(std::string_view phase) const {
  std::lock_guard lock(mutex_);
  auto it = deadlines_.find(phase);
  return it == deadlines_.end() ? 0 : it->second;
}

uint64_t Metrics::Calls(std::string_view method) const {
  std::lock_guard lock(mutex_);
  auto it = methods_.find(method);
  return it == methods_.end() ? 0 : it->second.calls;
}

uint64_t Metrics::Errors(std::string_view method) const {
  std::lock_guard lock(mutex_);
  auto it = methods_.find(method);
  return it == methods_.end() ? 0 : it->second.errors;
}

std::string Metrics::Render() const {
  std::map<std::string, Series, std::less<>> methods;
  std::map<std::pair<std::string, int>, uint64_t> http;
  std::map<std::string, uint64_t, std::less<>> deadlines;
  {
    std::lock_guard lock(mutex_);
    methods = methods_;
    http = http_;
    deadlines = deadlines_;
  }
  std::string out;
  out += "# HELP tsauthor_rpc_requests_total RPC calls by method.\n";
  out += "# TYPE tsauthor_rpc_requests_total counter\n";
  for (const auto& [name, s] : methods)
    out += "tsauthor_rpc_requests_total{method=\"" + Label(name) + "\"} " + std::to_string(s.calls) + "\n";
  out += "# HELP tsauthor_rpc_errors_total RPC calls that ended in an error, by method.\n";
  out += "# TYPE tsauthor_rpc_errors_total counter\n";
  for (const auto& [name, s] : methods)
    out += "tsauthor_rpc_errors_total{method=\"" + Label(name) + "\"} " + std::to_string(s.errors) + "\n";
  out += "# HELP tsauthor_rpc_duration_seconds Time to answer one RPC call, by method.\n";
  out += "# TYPE tsauthor_rpc_duration_seconds histogram\n";
  for (const auto& [name, s] : methods) {
    std::string label = Label(name);
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kBuckets.size(); ++i) {
      cumulative += s.buckets[i];
      out += "tsauthor_rpc_duration_seconds_bucket{method=\"" + label + "\",le=\"" + Number(kBuckets[i]) + "\"} " +
             std::to_string(cumulative) + "\n";
    }
    out += "tsauthor_rpc_duration_seconds_bucket{method=\"" + label + "\",le=\"+Inf\"} " + std::to_string(s.calls) +
           "\n";
    out += "tsauthor_rpc_duration_seconds_sum{method=\"" + label + "\"} " + Number(s.sum) + "\n";
    out += "tsauthor_rpc_duration_seconds_count{method=\"" + label + "\"} " + std::to_string(s.calls) + "\n";
  }
  out += "# HELP tsauthor_rpc_in_flight RPC calls being answered now.\n";
  out += "# TYPE tsauthor_rpc_in_flight gauge\n";
  out += "tsauthor_rpc_in_flight " + std::to_string(InFlightNow()) + "\n";
  out += "# HELP tsauthor_http_responses_total HTTP responses by route and status.\n";
  out += "# TYPE tsauthor_http_responses_total counter\n";
  for (const auto& [key, n] : http)
    out += "tsauthor_http_responses_total{route=\"" + Label(key.first) + "\",code=\"" + std::to_string(key.second) +
           "\"} " + std::to_string(n) + "\n";
  out += "# HELP tsauthor_http_connections_open Connections open now.\n";
  out += "# TYPE tsauthor_http_connections_open gauge\n";
  out += "tsauthor_http_connections_open " + std::to_string(open_.load(std::memory_order_relaxed)) + "\n";
  out += "# HELP tsauthor_http_connections_refused_total Connections answered 503 because a connection cap was reached.\n";
  out += "# TYPE tsauthor_http_connections_refused_total counter\n";
  out += "tsauthor_http_connections_refused_total " + std::to_string(ConnectionsRefused()) + "\n";
  out += "# HELP tsauthor_http_deadlines_total Connections ended by a deadline, by what was late.\n";
  out += "# TYPE tsauthor_http_deadlines_total counter\n";
  for (const auto& [phase, n] : deadlines)
    out += "tsauthor_http_deadlines_total{phase=\"" + Label(phase) + "\"} " + std::to_string(n) + "\n";
  out += "# HELP tsauthor_log_write_failures_total Log entries that could not be written.\n";
  out += "# TYPE tsauthor_log_write_failures_total counter\n";
  out += "tsauthor_log_write_failures_total " + std::to_string(FailedLogWrites()) + "\n";
  const accounts::FailureAudit& failures = accounts::FailureAudit::Instance();
  out += "# HELP tsauthor_unauthenticated_failures_total Failed and throttled sign-ins, refused CSRF proofs and "
         "unknown bearer tokens, by method and outcome.\n";
  out += "# TYPE tsauthor_unauthenticated_failures_total counter\n";
  for (const auto& [key, n] : failures.Totals())
    out += "tsauthor_unauthenticated_failures_total{method=\"" + Label(key.first) + "\",outcome=\"" +
           Label(key.second) + "\"} " + std::to_string(n) + "\n";
  out += "# HELP tsauthor_audit_failure_rows_total Audit rows written for those failures (one per minute, login "
         "and address, capped per write).\n";
  out += "# TYPE tsauthor_audit_failure_rows_total counter\n";
  out += "tsauthor_audit_failure_rows_total " + std::to_string(failures.RowsWritten()) + "\n";
  out += "# HELP tsauthor_audit_failures_folded_total Failures written in a folded row, past the cap.\n";
  out += "# TYPE tsauthor_audit_failures_folded_total counter\n";
  out += "tsauthor_audit_failures_folded_total " + std::to_string(failures.Folded()) + "\n";
  out += "# HELP tsauthor_audit_failures_pending Counts of failures waiting to be written.\n";
  out += "# TYPE tsauthor_audit_failures_pending gauge\n";
  out += "tsauthor_audit_failures_pending " + std::to_string(failures.Pending()) + "\n";
  return out;
}

}  // namespace tsa::server
