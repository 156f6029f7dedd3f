// The database layer's basic costs: taking and giving back a connection
// handle, and reading one node row by its key.
//
// Runs on a SQLite database in a temporary folder; with TSAUTHOR_BENCH_PG
// set to a PostgreSQL connection URI the same benchmarks also run there (on
// a table of their own, dropped again at the end).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/db/connection.h"
#include "runtime/error.h"
#include "summary.h"

namespace {

using namespace tsa::db;

constexpr const char* kTable = "TSA_BENCH_NODES";
constexpr int kProducts = 100;
constexpr int kNodesPerProduct = 100;  // 10,000 rows

// Creates the table afresh and fills it: rows like a product tree's, keyed
// by (PRODUCTID, NODEID).
void Fill(const std::string& uri) {
  auto s = SessionPool::Instance().Acquire(uri);
  const Dialect& d = s->dialect();
  s->Execute(std::string("DROP TABLE IF EXISTS ") + kTable);
  s->Execute(std::string("CREATE TABLE ") + kTable +
             " (PRODUCTID INTEGER NOT NULL, NODEID INTEGER NOT NULL, PRETREE TEXT NOT NULL, VISIBILITY TEXT,"
             " PRIMARY KEY (PRODUCTID, NODEID))");
  std::string insert = std::string("INSERT INTO ") + kTable + " VALUES (" + d.Placeholder(1) + ", " +
                       d.Placeholder(2) + ", " + d.Placeholder(3) + ", " + d.Placeholder(4) + ")";
  s->Begin();
  for (int p = 0; p < kProducts; ++p) {
    for (int n = 0; n < kNodesPerProduct; ++n) {
      std::string pretree = n == 0 ? ";" : ";0;" + std::to_string((n - 1) / 10) + ";";
      s->Execute(insert, {Value(p), Value(n), Value(pretree), Value(";12;40;7;")});
    }
  }
  s->Commit();
}

void Drop(const std::string& uri) {
  try {
    SessionPool::Instance().Acquire(uri)->Execute(std::string("DROP TABLE IF EXISTS ") + kTable);
  } catch (const tsa::Error&) {
  }
}

// A handle from the pool and back.
void AcquireRelease(benchmark::State& state, const std::string& uri) {
  for (auto _ : state) {
    auto c = Connection::Open(uri);
    benchmark::DoNotOptimize(c.get());
    c->Close();
  }
}

// One row by its key, through bound parameters on an open handle.
void IndexedReadBound(benchmark::State& state, const std::string& uri) {
  auto c = Connection::Open(uri);
  const Dialect& d = c->dialect();
  std::string sql = std::string("SELECT PRETREE, VISIBILITY FROM ") + kTable + " WHERE PRODUCTID=" +
                    d.Placeholder(1) + " AND NODEID=" + d.Placeholder(2);
  int i = 0;
  for (auto _ : state) {
    ++i;
    auto rows = c->session().Query(sql, {Value(i % kProducts), Value((i * 7) % kNodesPerProduct)});
    benchmark::DoNotOptimize(rows.rows.data());
  }
}

// The engine's own pattern: a handle, a statement written as text, a
// forward-only recordset, a field, and everything closed again.
void IndexedReadRecordset(benchmark::State& state, const std::string& uri) {
  int i = 0;
  for (auto _ : state) {
    ++i;
    auto c = Connection::Open(uri);
    auto rs = c->OpenRecordset(std::string("Select * from ") + kTable + " where PRODUCTID = " +
                               std::to_string(i % kProducts) + " and NODEID = " +
                               std::to_string((i * 7) % kNodesPerProduct));
    benchmark::DoNotOptimize(rs->Field("PRETREE").ToText());
    rs->Close();
    c->Close();
  }
}

void RegisterFor(const std::string& label, const std::string& uri) {
  benchmark::RegisterBenchmark((label + "/AcquireRelease").c_str(), AcquireRelease, uri);
  benchmark::RegisterBenchmark((label + "/IndexedReadBound").c_str(), IndexedReadBound, uri);
  benchmark::RegisterBenchmark((label + "/IndexedReadRecordset").c_str(), IndexedReadRecordset, uri);
}

}  // namespace

// The benchmark program's main, for every file of this folder.
int main(int argc, char** argv) {
  // The summary goes with the console report; another format is left as it is.
  bool console = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--benchmark_format=", 0) == 0 && arg != "--benchmark_format=console") console = false;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  auto dir = std::filesystem::temp_directory_path() / ("tsa-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::vector<std::string> uris;
  std::vector<std::pair<std::string, std::string>> targets = {{"sqlite", "sqlite:" + (dir / "bench.db").string()}};
  if (const char* pg = std::getenv("TSAUTHOR_BENCH_PG"); pg && *pg) targets.emplace_back("postgresql", pg);

  for (const auto& [label, uri] : targets) {
    try {
      Fill(uri);
      RegisterFor(label, uri);
      uris.push_back(uri);
    } catch (const tsa::Error& e) {
      std::fprintf(stderr, "%s: skipped: %s (%d)\n", label.c_str(), e.description().c_str(), e.number());
    }
  }
  if (console) {
    tsa::bench::SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
  } else {
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();

  for (const auto& uri : uris) Drop(uri);
  SessionPool::Instance().Clear();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
