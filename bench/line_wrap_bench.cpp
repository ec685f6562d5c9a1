// The line wrap of a text body of 1, 4 and 16 MB, against copying it.
//
// The body is prose in paragraphs of about 1,000 characters, each one line,
// so that the wrap at the default line length (75) breaks every paragraph
// about fourteen times: some 200,000 line feeds in 16 MB. The anchor copies
// the same body into a fresh string once, the least any pass over it costs.
// Both are reported as time per MB; a wrap whose cost grows with the body
// faster than its length shows as a time per MB that rises from 1 to 16 MB,
// and as a ratio that rises with it.
//
//   build/bench/line_wrap_bench          (per-MB table, then RATIO lines)
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_ratio.h"
#include "core/string.h"
#include "send/line_wrap.h"

namespace {

using tessaline::String;

constexpr int kMB = 1 << 20;
constexpr int kLineLength = 75;

const char* const kWords[] = {
    "the",  "association", "has",     "had",  "a",    "busy",        "season,", "with",
    "concerts", "in",      "park;",   "readings", "at", "library", "and",     "restoration",
    "of",   "old",         "mill",    "now",  "well", "under",       "way",     "-",
    "members", "who",      "helped",  "thank", "you", "for",         "your",    "support",
};

String make_body(int bytes) {
  String body;
  body.set_length(bytes);
  char* out = body.data();
  int at = 0, in_paragraph = 0;
  for (unsigned word = 0; at < bytes; word = word * 7 + 3) {
    const char* w = kWords[word % (sizeof kWords / sizeof kWords[0])];
    for (const char* c = w; *c && at < bytes; ++c) out[at++] = *c;
    in_paragraph += 1;
    if (at < bytes) out[at++] = in_paragraph % 150 == 0 ? '\n' : ' ';
  }
  return body;
}

const String& body_of(int megabytes) {
  static std::vector<std::pair<int, String>> bodies;
  for (const auto& [size, body] : bodies) {
    if (size == megabytes) return body;
  }
  bodies.emplace_back(megabytes, make_body(megabytes * kMB));
  return bodies.back().second;
}

void per_megabyte(benchmark::State& state, int megabytes) {
  state.SetBytesProcessed(state.iterations() * int64_t{megabytes} * kMB);
  state.counters["time_per_MB"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * megabytes,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_LineWrap(benchmark::State& state) {
  const int megabytes = static_cast<int>(state.range(0));
  const String& body = body_of(megabytes);
  for (auto _ : state) {
    String text = body;  // the send loop wraps a copy of each message's body
    tessaline::wrap_lines(text, kLineLength);
    benchmark::DoNotOptimize(text.data());
  }
  per_megabyte(state, megabytes);
}

void BM_CopyBody(benchmark::State& state) {
  const int megabytes = static_cast<int>(state.range(0));
  const String& body = body_of(megabytes);
  for (auto _ : state) {
    String text = body;
    benchmark::DoNotOptimize(text.data());
  }
  per_megabyte(state, megabytes);
}

// Program and anchor alternate at each size.
BENCHMARK(BM_LineWrap)->Arg(1)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_CopyBody)->Arg(1)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_LineWrap)->Arg(4)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_CopyBody)->Arg(4)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_LineWrap)->Arg(16)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_CopyBody)->Arg(16)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();

}  // namespace

int main(int argc, char** argv) {
  return tessaline::bench::run_with_ratios(argc, argv,
                                           {{"BM_LineWrap/1", "BM_CopyBody/1"},
                                            {"BM_LineWrap/4", "BM_CopyBody/4"},
                                            {"BM_LineWrap/16", "BM_CopyBody/16"}});
}
