// The console report of the benchmarks, followed by the service benchmarks'
// medians side by side with the floors they are measured against
// (service_bench.cpp): each edit next to its floors, each read next to
// reading the file, several clients next to one.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace tsa::bench {

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // In colour on a terminal, as the default report.
  SummaryReporter();
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  struct Figure {
    double ms = 0;          // per call
    double p95 = 0;         // several clients: 95th percentile latency
    double callsPerS = 0;   // several clients: all of them together
  };
  // By the name the benchmark was registered under,
  // "service/<backend>/<operation>/<nodes>/<mode>".
  std::map<std::string, Figure> medians_;
  std::vector<std::string> order_;  // the names as they came
};

}  // namespace tsa::bench
