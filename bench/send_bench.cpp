// An unattended mailing, end to end, against Postfix's smtp-sink.
//
// The send operation runs in No Preview mode with a kept connection and
// duplicate elimination on, exactly as a command-line run does: 10,000
// recipients read from a list file, a 10 KB text body with 10 data tags,
// every message composed and sent to smtp-sink on 127.0.0.1, every verdict
// and delivery written to the send log. The anchor is Postfix's own load
// generator, smtp-source -d -s 1, sending the same number of messages of
// the same size over one kept connection, in the same run; the two are
// alternated and the medians compared.
//
// Then the peak memory (maximum resident set) of a send of 1, 10,000 and
// 100,000 recipients, each in a process of its own: in No Preview mode a
// message is sent as soon as it is made, so the growth between sizes is
// the duplicate table and the list text, not the messages.
//
// Run pinned to one CPU, since client and server ping-pong:
//   taskset -c 0 build/bench/send_bench [rounds]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/send_peers.h"

namespace {

using namespace tessaline;
using namespace tessaline::bench;

constexpr int kMessages = 10000;
constexpr int kBodyBytes = kSendBodyBytes;
const char* const kSource = kSourceProgram;

// The anchor: smtp-source sending the same count and size over one kept
// connection.
bool run_source(int port, double* seconds) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = start_quiet({kSource, "-d", "-s", "1", "-m", std::to_string(kMessages), "-l",
                           std::to_string(kBodyBytes), "-f", "sender@example.com", "-t",
                           "user@example.com", "127.0.0.1:" + std::to_string(port)});
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return false;
  *seconds = seconds_since(start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // "--only N": one send of N recipients and nothing else (for profiling).
  int only = argc > 2 && std::string(argv[1]) == "--only" ? std::atoi(argv[2]) : 0;
  int rounds = argc > 1 && !only ? std::max(1, std::atoi(argv[1])) : 3;
  if (access(kSinkProgram, X_OK) != 0 || access(kSource, X_OK) != 0) {
    std::fprintf(stderr, "send_bench: Postfix's smtp-sink and smtp-source are needed\n");
    return 1;
  }
  int port = 0;
  pid_t sink = start_send_sink(&port);
  if (sink <= 0) {
    std::fprintf(stderr, "send_bench: smtp-sink could not be started on 127.0.0.1\n");
    return 1;
  }
  if (only > 0) {
    SendResult r;
    bool sent = run_send(port, only, &r);
    std::printf("%d recipients: %.2f s, %d sent, %d errors, peak %ld KB\n", only, r.seconds,
                r.attempted - r.errors, r.errors, r.max_rss_kb);
    kill(sink, SIGTERM);
    waitpid(sink, nullptr, 0);
    return sent ? 0 : 1;
  }
  std::printf("%d messages of a %d-byte body with 10 data tags, No Preview, kept connection,\n"
              "to smtp-sink on 127.0.0.1:%d; %d rounds, program and anchor alternated\n\n",
              kMessages, kBodyBytes, port, rounds);
  std::vector<double> program, anchor;
  bool ok = true;
  for (int round = 1; round <= rounds && ok; ++round) {
    SendResult r;
    double source = 0;
    ok = run_send(port, kMessages, &r) && r.attempted == kMessages && r.errors == 0 &&
         run_source(port, &source);
    if (!ok) {
      std::fprintf(stderr, "send_bench: round %d failed (sent %d, errors %d)\n", round,
                   r.attempted - r.errors, r.errors);
      break;
    }
    program.push_back(r.seconds);
    anchor.push_back(source);
    std::printf("round %d: send %.2f s, smtp-source %.2f s\n", round, r.seconds, source);
    std::fflush(stdout);
  }
  if (ok) {
    double p = median_of(program), a = median_of(anchor);
    std::printf("\nsend:        %.0f messages per second (median %.2f s)\n", kMessages / p, p);
    std::printf("smtp-source: %.0f messages per second (median %.2f s)\n", kMessages / a, a);
    std::printf("RATIO send / smtp-source = %.2f (median time, program over anchor)\n\n", p / a);
    long rss[3] = {0, 0, 0};
    int counts[3] = {1, kMessages, 10 * kMessages};
    for (int i = 0; i < 3 && ok; ++i) {
      SendResult r;
      ok = run_send(port, counts[i], &r) && r.errors == 0 && r.attempted == counts[i];
      rss[i] = r.max_rss_kb;
      if (ok) {
        std::printf("peak memory, %6d recipients: %6ld KB (%.2f s)\n", counts[i], rss[i],
                    r.seconds);
      } else {
        std::fprintf(stderr, "send_bench: the send of %d recipients failed\n", counts[i]);
      }
      std::fflush(stdout);
    }
    if (ok) {
      std::printf("growth from 10,000 to 100,000 recipients: %.0f bytes per recipient\n",
                  (rss[2] - rss[1]) * 1024.0 / (counts[2] - counts[1]));
    }
  }
  kill(sink, SIGTERM);
  waitpid(sink, nullptr, 0);
  return ok ? 0 : 1;
}
