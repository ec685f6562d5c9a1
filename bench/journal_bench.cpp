// What the send journal costs an unattended mailing.
//
// The mailing of send_bench (10,000 recipients from a list file, a 10 KB
// body with ten data tags, No Preview mode, one kept connection to
// Postfix's smtp-sink on 127.0.0.1) is sent with the journal off (the
// anchor) and with it on at sync windows of 0, 8 and 32; then over 4 and 8
// connections at once (--connections), without the journal (the anchor
// of those) and with it at window 0, where the messages that end together
// on several connections share one fdatasync(), and at window 8. The
// variants take turns round by round; the figures are medians, and a
// variant's cost is the median over the rounds of its rate against its
// anchor's in the same round, as this machine's speed drifts from minute
// to minute by more than the journal costs. Each round starts one variant
// further on, and every send begins with the disk caught up (sync()).
// Everything runs pinned to
// CPU 0 (the sink too), as the other SMTP benchmarks do, since client and
// server ping-pong. The journal lives in the folder of a temporary
// directory, on the disk of /tmp.
//
//   build/bench/journal_bench [rounds [name]]
//
// runs 3 rounds by default; with a name, only the variants whose name
// contains it and their anchors (for profiling one of them).
//
// Needs the postfix package for /usr/sbin/smtp-sink; the Postfix daemon is
// never started.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/send_peers.h"
#include "bench/smtp_peers.h"

namespace {

using namespace tessaline;
using namespace tessaline::bench;

constexpr int kMessages = 10000;

struct Variant {
  const char* name;
  bool journal;
  int window;
  int connections;
  const char* guarantee;
  std::vector<double> rate, cpu_per_1000;
};

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  if (access(kSinkProgram, X_OK) != 0) {
    std::fprintf(stderr, "journal_bench: Postfix's smtp-sink is needed\n");
    return 1;
  }
  std::vector<Variant> variants = {
      {"no journal", false, 0, 1, "nothing: a resume cannot know what was sent", {}, {}},
      {"journal, window 0", true, 0, 1,
       "every outcome on the disk before the next message can be accepted", {}, {}},
      {"journal, window 8", true, 8, 1,
       "at most 8 outcomes not yet on the disk when a message can be accepted", {}, {}},
      {"journal, window 32", true, 32, 1,
       "at most 32 outcomes not yet on the disk when a message can be accepted", {}, {}},
      {"4 conn., no journal", false, 0, 4, "nothing: a resume cannot know what was sent", {}, {}},
      {"4 conn., window 0", true, 0, 4,
       "on each connection, its last outcome on the disk before its next message can be "
       "accepted: at most 3 others off it",
       {}, {}},
      {"8 conn., no journal", false, 0, 8, "nothing: a resume cannot know what was sent", {}, {}},
      {"8 conn., window 0", true, 0, 8,
       "on each connection, its last outcome on the disk before its next message can be "
       "accepted: at most 7 others off it",
       {}, {}},
      {"8 conn., window 8", true, 8, 8,
       "at most 8 outcomes and one per other connection not yet on the disk when a message can "
       "be accepted",
       {}, {}},
  };
  if (argc > 2) {
    std::string only = argv[2];
    auto named = [&](const Variant& v) { return std::string(v.name).find(only) != std::string::npos; };
    // A kept variant keeps the anchor it is measured against.
    auto anchors = [&](const Variant& a) {
      if (a.journal) return false;
      for (const Variant& v : variants) {
        if (named(v) && v.connections == a.connections) return true;
      }
      return false;
    };
    std::vector<Variant> kept;
    for (const Variant& v : variants) {
      if (named(v) || anchors(v)) kept.push_back(v);
    }
    if (kept.empty()) {
      std::fprintf(stderr, "journal_bench: no variant's name contains \"%s\"\n", only.c_str());
      return 2;
    }
    variants = kept;
  }
  pin_to_cpu(0);  // the sink and every send inherit it
  int port = 0;
  pid_t sink = start_send_sink(&port);
  if (sink <= 0) {
    std::fprintf(stderr, "journal_bench: smtp-sink could not be started on 127.0.0.1\n");
    return 1;
  }
  std::printf("%d messages of a %d-byte body with 10 data tags, No Preview, kept connection,\n"
              "to smtp-sink on 127.0.0.1:%d, all on CPU 0; %d rounds, variants alternated\n\n",
              kMessages, kSendBodyBytes, port, rounds);
  bool ok = true;
  for (int round = 1; round <= rounds && ok; ++round) {
    std::printf("round %d:", round);
    // Each round starts one variant further on, so that none always runs
    // right after the same other one.
    for (size_t turn = 0; turn < variants.size() && ok; ++turn) {
      Variant& v = variants[(turn + round - 1) % variants.size()];
      // What the last send left for the disk goes before this one starts,
      // not while it runs.
      ::sync();
      SendSettings settings;
      settings.journal = v.journal;
      settings.journal_sync_window = v.window;
      settings.connections = v.connections;
      SendResult r;
      ok = run_send(port, kMessages, &r, true, settings) && r.attempted == kMessages &&
           r.errors == 0;
      if (!ok) {
        std::fprintf(stderr, "\njournal_bench: the send with %s failed (sent %d, errors %d)\n",
                     v.name, r.attempted - r.errors, r.errors);
        break;
      }
      v.rate.push_back(kMessages / r.seconds);
      v.cpu_per_1000.push_back(r.cpu_seconds * 1000 / kMessages);
      std::printf("  %s %.0f msg/s", v.name, v.rate.back());
      std::fflush(stdout);
    }
    std::printf("\n");
  }
  if (ok) {
    // Each variant against the one without the journal over as many
    // connections.
    auto anchor_of = [&](const Variant& v) -> const Variant* {
      for (const Variant& a : variants) {
        if (!a.journal && a.connections == v.connections) return &a;
      }
      return &variants[0];
    };
    // The median of the rounds' ratios: each round's pair ran seconds apart.
    auto paired_ratio = [&](const Variant& v) {
      const Variant* anchor = anchor_of(v);
      std::vector<double> ratios;
      for (size_t i = 0; i < v.rate.size(); ++i) ratios.push_back(v.rate[i] / anchor->rate[i]);
      return median_of(ratios);
    };
    std::printf("\n");
    for (const Variant& v : variants) {
      std::printf("%-20s %6.0f messages/s, %.3f CPU s per 1,000 messages, cost %5.1f %%\n"
                  "                     (%s)\n",
                  v.name, median_of(v.rate), median_of(v.cpu_per_1000),
                  100.0 * (1 - paired_ratio(v)), v.guarantee);
    }
    for (const Variant& v : variants) {
      if (!v.journal) continue;
      std::printf("RATIO %s / %s = %.2f (median of the rounds' rate ratios)\n", v.name,
                  anchor_of(v)->name, paired_ratio(v));
    }
  }
  kill(sink, SIGTERM);
  waitpid(sink, nullptr, 0);
  return ok ? 0 : 1;
}
