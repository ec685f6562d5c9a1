// Delivery rate of the SMTP client over one kept connection, against
// Postfix's smtp-source delivering the same number of messages of the same
// size to the same smtp-sink on 127.0.0.1 (the anchor).
//
// Each round sends 2,000 messages of about 12 KB (a text body, an HTML body
// and one 4 KB attachment), each to its own recipient; anchor and program
// take turns, and the figures are the medians of the rounds. Everything
// runs pinned to CPU 0, the sink and smtp-source included, because client
// and server ping-pong. smtp-sink offers PIPELINING, so the program sends
// each envelope in one write; smtp-source does not pipeline. The program
// is driven through send_message() alone, so the next message's envelope
// is not sent ahead with the end of the text here.
//
//   build/bench/smtp_bench            (TESSALINE_SMTP_BENCH_ROUNDS=5 by default)
//
// Needs the postfix package for /usr/sbin/smtp-sink and smtp-source; the
// Postfix daemon is never started.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mail/mime_message.h"
#include "mail/smtp_client.h"
#include "mail/smtp_server.h"
#include "bench/smtp_peers.h"

namespace tessaline {
namespace {

using namespace tessaline::bench;

constexpr int kMessages = 2000;
const char kSink[] = "/usr/sbin/smtp-sink";
const char kSource[] = "/usr/sbin/smtp-source";

struct Round {
  double wall = 0;
  double cpu = 0;
};

Round run_program(int port, MimeMessage& message) {
  set_smtp_server("127.0.0.1");
  set_smtp_port(port);
  double cpu = cpu_of_self();
  double start = now();
  for (int i = 0; i < kMessages; ++i) {
    message.recipients.clear();
    message.add_recipient(String::formatted("rcpt%d@example.test", i));
    if (!send_message(message)) {
      std::fprintf(stderr, "send %d failed: %s\n", i, message.error.c_str());
      std::exit(1);
    }
  }
  quit();
  return {now() - start, cpu_of_self() - cpu};
}

Round run_anchor(int port, const std::string& file) {
  double start = now();
  pid_t pid = spawn({kSource, "-d", "-N", "-s", "1", "-m", std::to_string(kMessages), "-F", file,
                     "-f", "sender@example.test", "-t", "rcpt@example.test",
                     "127.0.0.1:" + std::to_string(port)});
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  double wall = now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "smtp-source failed\n");
    std::exit(1);
  }
  return {wall, seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void BM_SmtpKeptConnection(benchmark::State& state) {
  pin_to_cpu(0);  // the children inherit it

  if (access(kSink, X_OK) != 0 || access(kSource, X_OK) != 0) {
    state.SkipWithError("smtp-sink and smtp-source (package postfix) are missing");
    return;
  }
  const char* rounds_text = std::getenv("TESSALINE_SMTP_BENCH_ROUNDS");
  int rounds = rounds_text ? std::max(1, std::atoi(rounds_text)) : 5;

  char folder[] = "/tmp/tessaline-smtp-bench-XXXXXX";
  if (!mkdtemp(folder)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  std::string attachment = std::string(folder) + "/attachment.bin";
  std::string anchor_file = std::string(folder) + "/message.txt";
  MimeMessage message;
  fill_message(&message, attachment);
  message.add_recipient("rcpt@example.test");
  String composed;
  message.compose(&composed);
  {
    // smtp-source adds CR LF to every line of the file itself.
    std::string lines(composed.view());
    std::string lf;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] == '\r' && i + 1 < lines.size() && lines[i + 1] == '\n') continue;
      lf += lines[i];
    }
    write_file(anchor_file, lf);
  }

  int port = free_port();
  pid_t sink = start_smtp_sink(port, -1);
  bool listening = wait_for_port(port);
  auto clean_up = [&] {
    stop(sink);
    std::remove(attachment.c_str());
    std::remove(anchor_file.c_str());
    rmdir(folder);
  };
  if (!listening) {
    clean_up();
    state.SkipWithError("smtp-sink did not start");
    return;
  }

  std::vector<double> rate, cpu, anchor_rate, anchor_cpu;
  for (auto _ : state) {
    for (int r = 0; r < rounds; ++r) {
      Round anchor = run_anchor(port, anchor_file);
      Round program = run_program(port, message);
      anchor_rate.push_back(kMessages / anchor.wall);
      anchor_cpu.push_back(anchor.cpu);
      rate.push_back(kMessages / program.wall);
      cpu.push_back(program.cpu);
      std::fprintf(stderr, "round %d: program %.0f msg/s (%.2f CPU s), anchor %.0f msg/s (%.2f CPU s)\n",
                   r + 1, rate.back(), cpu.back(), anchor_rate.back(), anchor_cpu.back());
    }
  }
  clean_up();

  state.counters["msg_per_s"] = median(rate);
  state.counters["cpu_s"] = median(cpu);
  state.counters["anchor_msg_per_s"] = median(anchor_rate);
  state.counters["anchor_cpu_s"] = median(anchor_cpu);
  state.counters["ratio"] = median(rate) / median(anchor_rate);
  std::printf("messages of %d bytes; medians of %d rounds of %d messages\n", composed.length(),
              rounds, kMessages);
  std::printf("program: %.0f messages/s, %.2f CPU s; smtp-source: %.0f messages/s, %.2f CPU s; "
              "ratio %.2f\n",
              median(rate), median(cpu), median(anchor_rate), median(anchor_cpu),
              median(rate) / median(anchor_rate));
}

BENCHMARK(BM_SmtpKeptConnection)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tessaline

BENCHMARK_MAIN();
