// The cost of the network service: a trivial method called in process, through
// the JSON-RPC endpoint without a transport, and over HTTP on loopback (one
// client, and several at once). Reported per call: items per second and the
// median and 99th percentile latency in microseconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include <httplib.h>

#include <filesystem>

#include "accounts/call_guard.h"
#include "runtime/caller.h"
#include "runtime/components.h"
#include "runtime/settings.h"
#include "storage/schema.h"
#include "runtime/dispatch.h"
#include "runtime/registry.h"
#include "server/http_server.h"
#include "server/json_rpc.h"
#include "server/rpc_client.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

class Adder : public tsa::Component {
 public:
  const tsa::DispatchTable* Dispatch() const override {
    static const tsa::DispatchTable table = [] {
      tsa::DispatchTable t;
      t.Add({"Add",
             {{"i_lA", tsa::ArgType::Long}, {"i_lB", tsa::ArgType::Long}},
             tsa::ArgType::Long,
             false,
             [](tsa::Component&, tsa::DispatchArgs& a) { return json(a[0].get<int64_t>() + a[1].get<int64_t>()); },
             "Adds."});
      return t;
    }();
    return &table;
  }
};

// Times every call and reports the rate and the median and 99th percentile
// latency (each thread's own, averaged over the threads).
template <class Call>
void Measure(benchmark::State& state, Call&& call) {
  std::vector<double> latencies;
  latencies.reserve(1 << 17);
  for (auto _ : state) {
    auto start = Clock::now();
    call();
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations());
  if (latencies.empty()) return;
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) {
    return latencies[std::min(latencies.size() - 1, static_cast<size_t>(q * static_cast<double>(latencies.size())))];
  };
  state.counters["p50_us"] = benchmark::Counter(at(0.50), benchmark::Counter::kAvgThreads);
  state.counters["p99_us"] = benchmark::Counter(at(0.99), benchmark::Counter::kAvgThreads);
}

constexpr const char* kServiceToken = "bench-service-token";

// A data folder of its own: every call over the network is audited, in the
// service database.
struct ScratchData {
  std::string dir;
  ScratchData() {
    char name[] = "/tmp/tsa-http-bench.XXXXXX";
    dir = ::mkdtemp(name);
    tsa::SetCurrentSettings(tsa::LoadSettings(dir + "/none.toml", dir));
    tsa::RegisterAllComponents();
    tsa::storage::CreateSchema(tsa::CurrentSettings().HelvixUri(), tsa::CurrentSettings().KCatalogUri());
  }
  ~ScratchData() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

struct Fixture {
  ScratchData data;
  tsa::ScopedRegistration adder{tsa::progid::TSDOM, [] { return std::make_shared<Adder>(); }};
  std::unique_ptr<tsa::server::HttpService> service;

  Fixture() {
    tsa::server::ServiceOptions o;
    o.threads = 8;
    o.token = kServiceToken;
    o.accessLog = [](const std::string&) {};
    service = std::make_unique<tsa::server::HttpService>(o);
    service->Start();
  }
};

Fixture& Shared() {
  static Fixture f;
  return f;
}

const json kParams = {{"i_lA", 20}, {"i_lB", 22}};

void BM_InProcessCall(benchmark::State& state) {
  Shared();
  Measure(state, [] { benchmark::DoNotOptimize(tsa::server::CallLocal("TSDOM.Add", kParams)); });
}
BENCHMARK(BM_InProcessCall);

void BM_JsonRpcWithoutTransport(benchmark::State& state) {
  Shared();
  tsa::server::RpcEndpoint endpoint({64, 1000});
  const std::string body = json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "TSDOM.Add"}, {"params", kParams}}.dump();
  tsa::CallerScope caller(tsa::accounts::ServiceCaller());
  Measure(state, [&] { benchmark::DoNotOptimize(endpoint.Handle(body)); });
}
BENCHMARK(BM_JsonRpcWithoutTransport);

void BM_HttpCall(benchmark::State& state) {
  Fixture& f = Shared();
  httplib::Client client("127.0.0.1", f.service->Port());
  client.set_bearer_token_auth(kServiceToken);
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  const std::string body = json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "TSDOM.Add"}, {"params", kParams}}.dump();
  Measure(state, [&] {
    auto res = client.Post("/rpc", body, "application/json");
    if (!res || res->status != 200) state.SkipWithError("call failed");
  });
}
BENCHMARK(BM_HttpCall)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace
