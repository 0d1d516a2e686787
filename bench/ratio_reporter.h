// The console report of Google Benchmark, keeping one time per benchmark so a program can print
// ours/peer ratios after the run: the run itself, or with --benchmark_repetitions the median.
#pragma once

#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Iteration && !medians_.count(name)) times_[name] = run.GetAdjustedRealTime();
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_.insert(name);
        times_[name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // The time of `name` in the benchmark's unit; NaN when it did not run.
  double get(const std::string& name) const {
    const auto it = times_.find(name);
    return it == times_.end() ? std::nan("") : it->second;
  }

 private:
  std::set<std::string> medians_;
  std::map<std::string, double> times_;
};
