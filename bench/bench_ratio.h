// bench_ratio.h - run Google Benchmark programs that report against an anchor.
//
// Every benchmark of this program is measured against an anchor run in the
// same process (the standard library, a plain system call, a reference tool),
// so that the figure means the same on a fast and a slow machine. The
// registered benchmarks run with several repetitions; this prints the usual
// table, then one line per pair: "RATIO program / anchor = X (median)".
//
// Not for: tests. Nothing here asserts a duration.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tessaline::bench {

// Console output plus a record of each benchmark's median real time.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // Keyed by name and arguments ("String/append_char/10485760"),
      // without the repetition and timing suffixes.
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      // Aggregates carry their kind; plain runs (one repetition) count too.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      medians_[name] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double median(const std::string& name) const {
    auto it = medians_.find(name);
    return it == medians_.end() ? -1 : it->second;
  }

 private:
  std::map<std::string, double> medians_;
};

// Runs every registered benchmark and prints the ratio of each pair
// (program benchmark name, anchor benchmark name): program time over anchor
// time, so below 1 means the program is faster.
inline int run_with_ratios(int argc, char** argv,
                           const std::vector<std::pair<std::string, std::string>>& pairs) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  for (const auto& [program, anchor] : pairs) {
    double p = reporter.median(program), a = reporter.median(anchor);
    if (p <= 0 || a <= 0) {
      std::printf("RATIO %s / %s = (not run)\n", program.c_str(), anchor.c_str());
      continue;
    }
    std::printf("RATIO %s / %s = %.2f (median time, program over anchor)\n", program.c_str(),
                anchor.c_str(), p / a);
  }
  std::fflush(stdout);
  benchmark::Shutdown();
  return 0;
}

// The same, with the repetitions of every benchmark interleaved at random
// rather than run in blocks, so that a slow moment of the machine does not
// fall on the program or its anchor only. A flag of the command line that
// says otherwise still wins.
inline int run_interleaved_with_ratios(
    int argc, char** argv, const std::vector<std::pair<std::string, std::string>>& pairs) {
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  std::vector<char*> args(argv, argv + argc);
  args.insert(args.begin() + (argc > 0 ? 1 : 0), interleave);
  args.push_back(nullptr);
  return run_with_ratios(argc + 1, args.data(), pairs);
}

}  // namespace tessaline::bench
