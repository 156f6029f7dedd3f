#include "summary.h"

#include <unistd.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <set>

namespace tsa::bench {

namespace {

// "service/<backend>/<operation>/<nodes>/<mode>" in its parts.
struct Name {
  std::string backend, operation, nodes, mode;
};

std::optional<Name> Parse(const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
    parts.push_back(name.substr(start, slash - start));
  }
  parts.push_back(name.substr(start));
  if (parts.size() != 5 || parts[0] != "service") return std::nullopt;
  return Name{parts[1], parts[2], parts[3], parts[4]};
}

std::string Cell(std::optional<double> v, const char* format = "%.3f") {
  if (!v) return "-";
  char text[32];
  std::snprintf(text, sizeof text, format, *v);
  return text;
}

std::string Ratio(std::optional<double> a, std::optional<double> b) {
  if (!a || !b || *b <= 0) return "-";
  return Cell(*a / *b, "%.2fx");
}

// The backend whose floors a backend's figures are measured against: the
// file store on PostgreSQL has none of its own, the database's are its.
std::string FloorsOf(const std::string& backend) {
  return backend == "postgresql-files" ? "postgresql" : backend;
}

std::string Row(const std::vector<std::string>& cells, const std::vector<int>& widths) {
  std::string line;
  for (size_t i = 0; i < cells.size(); ++i) {
    const int w = widths[i];
    std::string c = cells[i];
    if (static_cast<int>(c.size()) < w) {
      c = i < 2 ? c + std::string(static_cast<size_t>(w) - c.size(), ' ')
                : std::string(static_cast<size_t>(w) - c.size(), ' ') + c;
    }
    line += (i ? "  " : "") + c;
  }
  return line + "\n";
}

}  // namespace

SummaryReporter::SummaryReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

void SummaryReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median" || run.error_occurred) continue;
    const std::string& name = run.run_name.function_name;
    if (!Parse(name)) continue;
    Figure f;
    f.ms = run.GetAdjustedRealTime();
    if (auto it = run.counters.find("p95_ms"); it != run.counters.end()) f.p95 = it->second.value;
    if (auto it = run.counters.find("calls_per_s"); it != run.counters.end()) f.callsPerS = it->second.value;
    if (!medians_.count(name)) order_.push_back(name);
    medians_[name] = f;
  }
}

void SummaryReporter::Finalize() {
  ConsoleReporter::Finalize();
  if (medians_.empty()) return;
  std::ostream& out = GetOutputStream();
  auto ms = [&](const std::string& backend, const std::string& op, const std::string& nodes,
                const std::string& mode) -> std::optional<double> {
    auto it = medians_.find("service/" + backend + "/" + op + "/" + nodes + "/" + mode);
    if (it == medians_.end()) return std::nullopt;
    return it->second.ms;
  };

  // The rows in the order the benchmarks ran, one per backend, operation and size.
  std::vector<Name> rows;
  std::set<std::string> seen;
  for (const auto& name : order_) {
    Name n = *Parse(name);
    if (seen.insert(n.backend + "/" + n.operation + "/" + n.nodes).second) rows.push_back(n);
  }

  out << "\nEdits against their floors (median, ms per call; the target is http, or inproc where there is no\n"
         "http figure, within 1.2x of floor-noparse)\n";
  const std::vector<int> edits = {18, 12, 7, 8, 8, 8, 8, 13, 9};
  out << Row({"backend", "operation", "nodes", "inproc", "local", "http", "floor", "floor-noparse", "ratio"}, edits);
  for (const Name& n : rows) {
    if (n.operation != "AddChildNew" && n.operation != "SaveNode" && n.operation != "MoveNode") continue;
    auto engine = ms(n.backend, n.operation, n.nodes, "http");
    if (!engine) engine = ms(n.backend, n.operation, n.nodes, "inproc");
    const std::string floors = FloorsOf(n.backend);
    out << Row({n.backend, n.operation, n.nodes, Cell(ms(n.backend, n.operation, n.nodes, "inproc")),
                Cell(ms(n.backend, n.operation, n.nodes, "local")), Cell(ms(n.backend, n.operation, n.nodes, "http")),
                Cell(ms(floors, n.operation, n.nodes, "floor")),
                Cell(ms(floors, n.operation, n.nodes, "floor-noparse")),
                Ratio(engine, ms(floors, n.operation, n.nodes, "floor-noparse"))},
               edits);
  }

  out << "\nReads against reading the file (median, ms per call; the target is inproc within 1.5x of the file)\n";
  const std::vector<int> reads = {18, 19, 7, 8, 8, 8, 9};
  out << Row({"backend", "operation", "nodes", "inproc", "http", "file", "ratio"}, reads);
  for (const Name& n : rows) {
    if (n.operation.rfind("Read", 0) != 0) continue;
    const auto file = ms(FloorsOf(n.backend), "ReadDocument", n.nodes, "floor");
    out << Row({n.backend, n.operation, n.nodes, Cell(ms(n.backend, n.operation, n.nodes, "inproc")),
                Cell(ms(n.backend, n.operation, n.nodes, "http")), Cell(file),
                Ratio(ms(n.backend, n.operation, n.nodes, "inproc"), file)},
               reads);
  }

  out << "\nSeveral clients on trees of their own against one (median; the target is at least 1.6x the calls\n"
         "per second at a p95 no worse than 2x)\n";
  const std::vector<int> clients = {18, 20, 7, 11, 8, 11, 8, 10, 9};
  out << Row({"backend", "operation", "nodes", "1: calls/s", "p95 ms", "4: calls/s", "p95 ms", "throughput", "p95"},
             clients);
  for (const Name& n : rows) {
    auto one = medians_.find("service/" + n.backend + "/" + n.operation + "/" + n.nodes + "/http-clients:1");
    auto four = medians_.find("service/" + n.backend + "/" + n.operation + "/" + n.nodes + "/http-clients:4");
    if (one == medians_.end() || four == medians_.end()) continue;
    out << Row({n.backend, n.operation, n.nodes, Cell(one->second.callsPerS, "%.0f"), Cell(one->second.p95, "%.2f"),
                Cell(four->second.callsPerS, "%.0f"), Cell(four->second.p95, "%.2f"),
                Ratio(four->second.callsPerS, one->second.callsPerS), Ratio(four->second.p95, one->second.p95)},
               clients);
  }
  out.flush();
}

}  // namespace tsa::bench
