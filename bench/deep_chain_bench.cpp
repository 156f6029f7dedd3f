// What a deep tree costs: a chain of nested nodes (a category, then each
// question below the last), imported from a tree file, published after a
// check-out, and checked (Tree.Validate), at the default depth limit (256
// levels) and deeper ones allowed for the measurement. Each reports the
// median time per call, the resident memory after the run (rss_mb) and the
// peak resident memory of the process so far (peak_rss_mb).
//
// Runs on SQLite in a temporary data folder (TSAUTHOR_BENCH_DIR chooses
// where). TSAUTHOR_BENCH_DEEP_LEVELS adds one more depth (for example
// 10000, the depth a crafted file would bring); the limit is raised to it
// for these benchmarks only.
//
// Names: deep/sqlite/<Import|Publish|Validate>/<levels>.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "authoring/tree_exchange.h"
#include "authoring/tsdom.h"
#include "components/catalog.h"
#include "model/tree_validation.h"
#include "platform/db/session.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/settings.h"
#include "storage/schema.h"
#include "storage/tree_types.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "bench";
constexpr int32_t kFirstProduct = 7001;
constexpr int kProducts = 200;

double StatusMegabytes(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::strtod(line.c_str() + std::strlen(field), nullptr) / 1024.0;
  }
  return 0;
}

json ChainFile(int levels) {
  json nodes = json::array();
  for (int i = 1; i <= levels; ++i) {
    nodes.push_back({{"id", i}, {"parent", i - 1}, {"type", i == 1 ? "category" : "question"}, {"entity", nullptr},
                     {"short", "Level " + std::to_string(i)}, {"long", "Is the device at level " + std::to_string(i) + "?"},
                     {"visibilities", json::array({1})}, {"faqs", ";"}, {"hyperlink", nullptr}});
  }
  return {{"format", "tsauthor-tree"}, {"formatVersion", 1}, {"treeType", "product"},
          {"visibilities", json::array({{{"id", 1}, {"name", "Customers"}}})}, {"nodes", nodes}};
}

int Deepest() {
  int deepest = 1000;
  if (const char* v = std::getenv("TSAUTHOR_BENCH_DEEP_LEVELS"); v && *v) deepest = std::max(deepest, std::atoi(v));
  return deepest;
}

// One data folder for all depths; each import goes to a product of its own.
class DeepBackend {
 public:
  DeepBackend() {
    const char* base = std::getenv("TSAUTHOR_BENCH_DIR");
    const std::filesystem::path root = base && *base ? std::filesystem::path(base) : std::filesystem::temp_directory_path();
    std::random_device rd;
    dataDir_ = (root / ("tsa-deep-bench-" + std::to_string(::getpid()) + "_" + std::to_string(rd() % 100000))).string();
    std::filesystem::create_directories(dataDir_);
    settings_ = tsa::LoadSettings((std::filesystem::path(dataDir_) / "none.toml").string(), dataDir_);
    settings_.installDir = dataDir_;
    settings_.logFile = (std::filesystem::path(dataDir_) / "logs" / "tsauthor.log").string();
    settings_.logToStderr = false;
    settings_.documentStore = "files";
    settings_.connections["Helvix"]["Helvix"] = "sqlite:" + (std::filesystem::path(dataDir_) / "helvix.db").string();
    settings_.connections["KVServer"]["KCatalog"] = "sqlite:" + (std::filesystem::path(dataDir_) / "kcatalog.db").string();
    settings_.maxTreeDepth = Deepest();
    Activate();
    tsa::RegisterAllComponents();
    tsa::storage::CreateSchema(settings_.HelvixUri(), settings_.KCatalogUri());
    json products = json::array();
    for (int i = 0; i < kProducts; ++i) {
      products.push_back({{"id", kFirstProduct + i}, {"description", "Deep " + std::to_string(i)}, {"categories", {10}}});
    }
    const std::string catalog = (std::filesystem::path(dataDir_) / "catalog.json").string();
    std::ofstream(catalog) << json{{"visibilities", {{{"id", 1}, {"name", "Customers"}}}},
                                   {"categories", {{{"id", 10}, {"name", "Printers"}, {"visibilities", {1}}}}},
                                   {"products", products}}
                                  .dump();
    tsa::LoadCatalogFile(catalog);
  }
  ~DeepBackend() {
    tsa::db::SessionPool::Instance().Clear();
    std::error_code ec;
    std::filesystem::remove_all(dataDir_, ec);
  }
  void Activate() { tsa::SetCurrentSettings(settings_); }
  int32_t NextProduct() {
    if (next_ >= kProducts) throw std::runtime_error("the deep-chain bench ran out of products");
    return kFirstProduct + next_++;
  }
  // A published chain of `levels`, imported once per depth.
  int32_t Chain(int levels) {
    auto it = chains_.find(levels);
    if (it != chains_.end()) return it->second;
    const int32_t id = NextProduct();
    tsa::Exchange().Import(ChainFile(levels), tsa::storage::kProductTree, id, false);
    return chains_[levels] = id;
  }

 private:
  std::string dataDir_;
  tsa::Settings settings_;
  int next_ = 0;
  std::map<int, int32_t> chains_;
};

DeepBackend& Backend() {
  static std::unique_ptr<DeepBackend> backend = std::make_unique<DeepBackend>();
  backend->Activate();
  return *backend;
}

void Report(benchmark::State& state) {
  state.counters["rss_mb"] = StatusMegabytes("VmRSS:");
  state.counters["peak_rss_mb"] = StatusMegabytes("VmHWM:");
}

void Import(benchmark::State& state, int levels) {
  DeepBackend& backend = Backend();
  const json file = ChainFile(levels);
  for (auto _ : state) tsa::Exchange().Import(file, tsa::storage::kProductTree, backend.NextProduct(), false);
  Report(state);
}

void Publish(benchmark::State& state, int levels) {
  DeepBackend& backend = Backend();
  const int32_t id = backend.Chain(levels);
  auto dom = tsa::CreateTSDOMObject();
  for (auto _ : state) {
    state.PauseTiming();
    std::string owner;
    dom->CheckOut(tsa::storage::kProductTree, id, kUser, owner);
    state.ResumeTiming();
    dom->Publish(tsa::storage::kProductTree, id);
  }
  Report(state);
}

void Validate(benchmark::State& state, int levels) {
  DeepBackend& backend = Backend();
  const int32_t id = backend.Chain(levels);
  for (auto _ : state) {
    benchmark::DoNotOptimize(tsa::RunReadOnly([&] { return tsa::ValidateTreeCopy(tsa::storage::kProductTree, id, false); }));
  }
  Report(state);
}

[[maybe_unused]] const bool kRegistered = [] {
  std::vector<int> depths{256, 1000};
  if (Deepest() > 1000) depths.push_back(Deepest());
  for (int levels : depths) {
    const int calls = levels <= 1000 ? 5 : 2;
    for (auto [name, fn] : {std::pair{"Import", &Import}, {"Publish", &Publish}, {"Validate", &Validate}}) {
      benchmark::RegisterBenchmark(("deep/sqlite/" + std::string(name) + "/" + std::to_string(levels)).c_str(), fn,
                                   levels)
          ->Iterations(calls)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
  }
  return true;
}();

}  // namespace
