// What the authoring operations cost a front end: TSDOM.AddChildNew,
// TSDOM.SaveNode and a document read, on product trees of 100, 1,000 and
// 10,000 nodes, called in process (the TSDOM object, the read handler) and
// over JSON-RPC / HTTP on loopback (one client keeping its connection), so
// that the service's share is the ratio of the two.
//
// Runs on SQLite in a temporary data folder; with TSAUTHOR_BENCH_PG set to a
// PostgreSQL server URI the same benchmarks also run there, in two schemas
// of their own that are dropped at the end. TSAUTHOR_BENCH_DIR chooses the
// folder the data folders go to (default: the system's temporary folder).
//
// Each benchmark runs a fixed number of calls, three times over, and reports
// per call the median and 99th percentile latency (p50_ms, p99_ms) and the
// calls per second of the one client (calls_per_s); the median of the three
// runs is the figure to read, the machine's other work being what it is.
// An added node is deleted again after each timed AddChildNew, untimed and
// the way it was added, so the tree keeps its size.
//
// The writes are also called by name in process (CallLocal: argument
// binding and the call's own unit of work, without the transport).
//
// Names: service/<backend>/<operation>/<nodes>/<inproc|local|http>.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "authoring/tsdom.h"
#include "components/catalog.h"
#include "model/tree.h"
#include "platform/db/session.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/registry.h"
#include "runtime/settings.h"
#include "server/http_server.h"
#include "server/rpc_client.h"
#include "server/tree_reads.h"
#include "storage/schema.h"
#include "storage/tree_types.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "bench";
constexpr const char* kServiceToken = "bench-service-token";
constexpr int32_t kProductTree = tsa::storage::kProductTree;
constexpr int kSizes[] = {100, 1000, 10000};
constexpr int32_t kFirstProduct = 5001;  // one product per tree size

// Calls per benchmark: enough for a stable median; bigger trees get fewer.
int WriteCalls(int nodes) { return nodes <= 100 ? 200 : nodes <= 1000 ? 100 : 30; }
int ReadCalls(int nodes) { return nodes <= 100 ? 500 : nodes <= 1000 ? 200 : 50; }

// --- measuring ------------------------------------------------------------------

// Latencies of the calls of one benchmark, in milliseconds.
class Latencies {
 public:
  explicit Latencies(size_t expected) { ms_.reserve(expected); }
  template <class Call>
  void Time(Call&& call) {
    const auto start = Clock::now();
    call();
    ms_.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  void Report(benchmark::State& state) {
    if (ms_.empty()) return;
    double total = 0;
    for (double m : ms_) total += m;
    std::sort(ms_.begin(), ms_.end());
    auto at = [&](double q) {
      return ms_[std::min(ms_.size() - 1, static_cast<size_t>(q * static_cast<double>(ms_.size())))];
    };
    state.counters["p50_ms"] = at(0.50);
    state.counters["p99_ms"] = at(0.99);
    state.counters["calls_per_s"] = 1000.0 * static_cast<double>(ms_.size()) / total;
  }

 private:
  std::vector<double> ms_;
};

// --- the environment of one backend ----------------------------------------------

struct TreeInfo {
  int32_t id = 0;
  int32_t category = 0;  // AddChildNew adds below it
  int32_t node = 0;      // SaveNode saves it
  int32_t repId = 0;     // its entity
};

std::string UniqueSuffix() {
  std::random_device rd;
  return std::to_string(::getpid()) + "_" + std::to_string(rd() % 100000);
}

// A data folder with its databases, the schema, a catalog with one product
// per tree size, and the trees (built on first use), all for the user
// "bench", who holds every tree checked out.
class Backend {
 public:
  Backend(std::string label, std::string pgServer) : label_(std::move(label)), pgServer_(std::move(pgServer)) {
    const char* base = std::getenv("TSAUTHOR_BENCH_DIR");
    std::filesystem::path root = base && *base ? std::filesystem::path(base) : std::filesystem::temp_directory_path();
    dataDir_ = (root / ("tsa-service-bench-" + label_ + "-" + UniqueSuffix())).string();
    std::filesystem::create_directories(dataDir_);
    settings_ = tsa::LoadSettings((std::filesystem::path(dataDir_) / "none.toml").string(), dataDir_);
    settings_.installDir = dataDir_;
    settings_.logFile = (std::filesystem::path(dataDir_) / "logs" / "tsauthor.log").string();
    settings_.logToStderr = false;
    if (pgServer_.empty()) {
      settings_.connections["Helvix"]["Helvix"] = "sqlite:" + (std::filesystem::path(dataDir_) / "helvix.db").string();
      settings_.connections["KVServer"]["KCatalog"] =
          "sqlite:" + (std::filesystem::path(dataDir_) / "kcatalog.db").string();
    } else {
      // Plain names (letters, digits, '_'): they go into statements and URIs.
      const std::string suffix = UniqueSuffix();
      schemas_ = {"tsa_bench_h_" + suffix, "tsa_bench_k_" + suffix};
      auto admin = tsa::db::OpenSession(pgServer_);
      for (const auto& s : schemas_) admin->Execute("CREATE SCHEMA " + s);
      settings_.connections["Helvix"]["Helvix"] = WithSchema(schemas_[0]);
      settings_.connections["KVServer"]["KCatalog"] = WithSchema(schemas_[1]);
    }
    Activate();
    tsa::RegisterAllComponents();
    tsa::storage::CreateSchema(settings_.HelvixUri(), settings_.KCatalogUri());

    json products = json::array();
    for (size_t i = 0; i < std::size(kSizes); ++i) {
      products.push_back({{"id", kFirstProduct + static_cast<int32_t>(i)},
                          {"description", "Bench product " + std::to_string(kSizes[i])},
                          {"categories", {10}}});
    }
    const std::string catalog = (std::filesystem::path(dataDir_) / "catalog.json").string();
    const json visibilities = {{{"id", 1}, {"name", "Customers"}}, {{"id", 2}, {"name", "Agents"}}};
    const json categories = {{{"id", 10}, {"name", "Printers"}, {"visibilities", {1, 2}}}};
    std::ofstream(catalog)
        << json{{"visibilities", visibilities}, {"categories", categories}, {"products", products}}.dump();
    tsa::LoadCatalogFile(catalog);
  }

  ~Backend() {
    tsa::db::SessionPool::Instance().Clear();
    if (!schemas_.empty()) {
      try {
        auto admin = tsa::db::OpenSession(pgServer_);
        admin->Execute("SET lock_timeout = '10s'");
        for (const auto& s : schemas_) admin->Execute("DROP SCHEMA IF EXISTS " + s + " CASCADE");
      } catch (const std::exception& e) {
        std::fprintf(stderr, "could not drop the bench schemas: %s\n", e.what());
      }
    }
    std::error_code ec;
    std::filesystem::remove_all(dataDir_, ec);
  }

  const std::string& label() const { return label_; }
  const std::string& dataDir() const { return dataDir_; }

  // Makes this backend's settings the process's.
  void Activate() { tsa::SetCurrentSettings(settings_); }

  const TreeInfo& Tree(int nodes) {
    auto it = trees_.find(nodes);
    if (it == trees_.end()) it = trees_.emplace(nodes, Build(nodes)).first;
    return it->second;
  }

 private:
  std::string WithSchema(const std::string& schema) const {
    return pgServer_ + (pgServer_.find('?') == std::string::npos ? "?" : "&") + "options=-c%20search_path%3D" +
           schema;
  }

  // A product tree of `nodes` nodes, made by the engine: created and checked
  // out through TSDOM, then filled in one transaction (root, one category
  // per hundred nodes, questions below them) and saved once.
  TreeInfo Build(int nodes) {
    const auto started = Clock::now();
    TreeInfo info;
    info.id = kFirstProduct + static_cast<int32_t>(std::find(std::begin(kSizes), std::end(kSizes), nodes) -
                                                   std::begin(kSizes));
    auto dom = tsa::CreateTSDOMObject();
    dom->CreateEmptyTree(kProductTree, info.id);
    std::string owner;
    dom->CheckOut(kProductTree, info.id, kUser, owner);

    const int categories = std::max(1, nodes / 100);
    const int questions = nodes - 1 - categories;
    tsa::RunTransactional([&] {
      tsa::TreePtr tree = tsa::CreateTreeObject();
      tree->load(kProductTree, info.id, kUser);
      tsa::NodePtr root = tree->getNode(0);
      int added = 0;
      for (int c = 0; c < categories; ++c) {
        tsa::NodePtr category = tree->createNode(tsa::storage::kRepCategory, "Category " + std::to_string(c),
                                                 "Problems of kind " + std::to_string(c), ";1;2;", ";", -1);
        root->AppendChild(*category);
        info.category = category->NodeID;
        const int here = questions / categories + (c < questions % categories ? 1 : 0);
        for (int q = 0; q < here; ++q, ++added) {
          tsa::NodePtr question =
              tree->createNode(tsa::storage::kRepQuestion, "Question " + std::to_string(added),
                               "Does the device show error " + std::to_string(added) + "?", ";1;2;", ";", -1);
          category->AppendChild(*question);
          if (added == questions / 2) {
            info.node = question->NodeID;
            info.repId = question->RepID;
          }
        }
      }
      tree->save();
      tsa::CompleteTransaction();
    });
    std::fprintf(stderr, "%s: built a tree of %d nodes in %.1f s\n", label_.c_str(), nodes,
                 std::chrono::duration<double>(Clock::now() - started).count());
    return info;
  }

  std::string label_;
  std::string pgServer_;
  std::string dataDir_;
  std::vector<std::string> schemas_;
  tsa::Settings settings_;
  std::map<int, TreeInfo> trees_;
};

// The backends (built on first use) and the one service that serves
// whichever backend is active. The service goes first at the end.
struct Harness {
  std::map<std::string, std::unique_ptr<Backend>> backends;
  std::unique_ptr<tsa::server::HttpService> service;

  Backend& Use(const std::string& label, const std::string& pgServer) {
    auto& b = backends[label];
    if (!b) b = std::make_unique<Backend>(label, pgServer);
    b->Activate();
    if (!service) {
      tsa::server::ServiceOptions o;
      o.dataDir = b->dataDir();
      o.threads = 4;
      o.accessLog = [](const std::string&) {};
      o.token = kServiceToken;  // the service account, acting for kUser
      service = std::make_unique<tsa::server::HttpService>(o);
      service->SetTreeReadHandler(tsa::server::ReadTree);
      service->Start();
    }
    return *b;
  }

  ~Harness() {
    if (service) service->Stop();
    service.reset();
    backends.clear();
  }
};

Harness& Shared() {
  // The engine's singletons that the harness uses at the end are made
  // before it, so that they are destroyed after it.
  tsa::db::SessionPool::Instance();
  tsa::Registry::Instance();
  static Harness h;
  return h;
}

// --- the operations --------------------------------------------------------------

// InProcess: the TSDOM object (the read handler for reads); Local: by name
// in this process; Http: JSON-RPC (a GET for reads) on loopback.
enum class Mode { InProcess, Local, Http };
enum class Operation { AddChildNew, SaveNode, ReadDocument };

json AddChildNewParams(const TreeInfo& t, int i) {
  return {{"i_lTreeType", kProductTree},
          {"i_lID", t.id},
          {"i_lCurrentNodeID", t.category},
          {"i_lRepType", tsa::storage::kRepQuestion},
          {"i_sSDesc", "Added question " + std::to_string(i)},
          {"i_sLDesc", "Is the added part " + std::to_string(i) + " seated?"},
          {"i_sVisibilities", ";1;"},
          {"i_sFAQs", ";"},
          {"i_lHyperlinkNodeID", -1},
          {"i_sUserId", kUser}};
}

// Two texts in turn, so that every save changes the node; the entity is
// changed in place (and the change carried to the other trees that show it).
json SaveNodeParams(const TreeInfo& t, int i) {
  return {{"i_lTreeType", kProductTree},
          {"i_lID", t.id},
          {"i_lNodeID", t.node},
          {"i_lRepID", t.repId},
          {"i_sSDesc", i % 2 ? "Is the tray closed?" : "Is the tray open?"},
          {"i_sLDesc", "Check the tray"},
          {"i_bPropogateContent", true},
          {"i_sVisibilities", ";1;2;"},
          {"i_bPropogateVisibDown", false},
          {"i_sFAQs", ";"},
          {"i_lHyperlinkNodeID", -1},
          {"i_sUserId", kUser}};
}

void Run(benchmark::State& state, const std::string& label, const std::string& pgServer, Operation op, int nodes,
         Mode mode) {
  // Other benchmarks of this program stand a fake in for TSDOM; these need
  // the engine's own class.
  tsa::ScopedRegistration engine(tsa::progid::TSDOM, [] { return std::make_shared<tsa::TSDOM>(); });
  Harness& harness = Shared();
  TreeInfo tree;
  try {
    harness.Use(label, pgServer);
    tree = harness.backends[label]->Tree(nodes);
  } catch (const tsa::Error& e) {
    state.SkipWithError(("setting up failed: " + e.description()).c_str());
    return;
  }
  auto dom = tsa::CreateTSDOMObject();
  httplib::Client http("127.0.0.1", harness.service->Port());
  http.set_bearer_token_auth(kServiceToken);
  http.set_keep_alive(true);
  http.set_tcp_nodelay(true);
  http.set_read_timeout(120, 0);
  const std::string documentPath =
      "/trees/1/" + std::to_string(tree.id) + "/document?user=" + std::string(kUser);

  // One call over HTTP: its answer's result, or a skip with its error.
  int64_t rpcId = 0;
  auto rpc = [&](const char* method, const json& params) -> std::optional<json> {
    json request = {{"jsonrpc", "2.0"}, {"id", ++rpcId}, {"method", method}, {"params", params}};
    auto res = http.Post("/rpc", request.dump(), "application/json");
    if (!res || res->status != 200) {
      state.SkipWithError((std::string(method) + ": no answer over HTTP").c_str());
      return std::nullopt;
    }
    json answer = json::parse(res->body, nullptr, false);
    if (!answer.is_object() || !answer.contains("result")) {
      state.SkipWithError((std::string(method) + " failed: " + res->body.substr(0, 300)).c_str());
      return std::nullopt;
    }
    return answer["result"];
  };
  // The way the node was added: a session of the service's worker and one
  // of this thread would otherwise take turns on the database, and each
  // would find its cache stale every time.
  auto removeNode = [&](int32_t node) {
    if (mode == Mode::Http) {
      rpc("TSDOM.DeleteNode",
          {{"i_lTreeType", kProductTree}, {"i_lID", tree.id}, {"i_lNodeID", node}, {"i_sUserId", kUser}});
      return;
    }
    try {
      dom->DeleteNode(kProductTree, tree.id, node, kUser);
    } catch (const tsa::Error& e) {
      state.SkipWithError(("removing the added node failed: " + e.description()).c_str());
    }
  };

  // A facade call by name: CallLocal in this process (the binding of the
  // service without its transport) or JSON-RPC over HTTP.
  auto byName = [&](const char* method, const json& params) -> std::optional<json> {
    if (mode == Mode::Http) return rpc(method, params);
    return tsa::server::CallLocal(method, params);
  };

  Latencies latencies(static_cast<size_t>(state.max_iterations));
  int i = 0;
  try {
    for (auto _ : state) {
      ++i;
      switch (op) {
        case Operation::AddChildNew: {
          const json p = AddChildNewParams(tree, i);
          int32_t added = -1;
          if (mode == Mode::InProcess) {
            latencies.Time([&] {
              added = dom->AddChildNew(kProductTree, tree.id, tree.category, tsa::storage::kRepQuestion,
                                       p["i_sSDesc"].get<std::string>(), p["i_sLDesc"].get<std::string>(), ";1;",
                                       ";", -1, kUser);
            });
          } else {
            std::optional<json> result;
            latencies.Time([&] { result = byName("TSDOM.AddChildNew", p); });
            if (!result) return;
            added = result->get<int32_t>();
          }
          state.PauseTiming();
          removeNode(added);
          state.ResumeTiming();
          break;
        }
        case Operation::SaveNode: {
          const json p = SaveNodeParams(tree, i);
          if (mode == Mode::InProcess) {
            latencies.Time([&] {
              dom->SaveNode(kProductTree, tree.id, tree.node, tree.repId, p["i_sSDesc"].get<std::string>(),
                            p["i_sLDesc"].get<std::string>(), true, ";1;2;", false, ";", -1, kUser);
            });
          } else {
            std::optional<json> result;
            latencies.Time([&] { result = byName("TSDOM.SaveNode", p); });
            if (!result) return;
          }
          break;
        }
        case Operation::ReadDocument: {
          if (mode != Mode::Http) {
            tsa::server::TreeReadRequest request;
            request.treeType = kProductTree;
            request.id = tree.id;
            request.user = kUser;
            latencies.Time([&] { benchmark::DoNotOptimize(tsa::server::ReadTree(request).body.size()); });
          } else {
            bool ok = false;
            latencies.Time([&] {
              auto res = http.Get(documentPath);
              ok = res && res->status == 200;
            });
            if (!ok) {
              state.SkipWithError("the document read failed");
              return;
            }
          }
          break;
        }
      }
    }
  } catch (const tsa::Error& e) {
    state.SkipWithError(("the call failed: " + e.description()).c_str());
    return;
  }
  latencies.Report(state);
}

const char* OperationName(Operation op) {
  switch (op) {
    case Operation::AddChildNew: return "AddChildNew";
    case Operation::SaveNode: return "SaveNode";
    case Operation::ReadDocument: return "ReadDocument";
  }
  return "?";
}

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::InProcess: return "inproc";
    case Mode::Local: return "local";
    case Mode::Http: return "http";
  }
  return "?";
}

// Registers every benchmark of a backend, size by size.
void RegisterFor(const std::string& label, const std::string& pgServer) {
  for (int nodes : kSizes) {
    for (Operation op : {Operation::AddChildNew, Operation::SaveNode, Operation::ReadDocument}) {
      for (Mode mode : {Mode::InProcess, Mode::Local, Mode::Http}) {
        // Reads have no call by name: the handler is the in-process figure.
        if (op == Operation::ReadDocument && mode == Mode::Local) continue;
        const std::string name = "service/" + label + "/" + OperationName(op) + "/" + std::to_string(nodes) + "/" +
                                 ModeName(mode);
        const int calls = op == Operation::ReadDocument ? ReadCalls(nodes) : WriteCalls(nodes);
        benchmark::RegisterBenchmark(name.c_str(), Run, label, pgServer, op, nodes, mode)
            ->Iterations(calls)
            ->Repetitions(3)
            ->ReportAggregatesOnly(true)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
      }
    }
  }
}

[[maybe_unused]] const bool kRegistered = [] {
  RegisterFor("sqlite", "");
  if (const char* pg = std::getenv("TSAUTHOR_BENCH_PG"); pg && *pg) RegisterFor("postgresql", pg);
  return true;
}();

}  // namespace
