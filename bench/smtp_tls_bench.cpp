// What TLS costs the SMTP client: 2,000 messages of about 12 KB over one
// kept connection with TLS from the first byte, to Postfix's smtp-sink
// behind stunnel on 127.0.0.1, beside the same messages over plain SMTP
// straight to the sink, and beside Python's smtplib (SMTP_SSL) over the
// same TLS path as the peer anchor.
//
// The three take turns at random (five rounds each by default); the
// figures are medians. The program and Python run on CPU 0, stunnel and
// the sink on CPU 1. The certificate is made for the run with openssl and
// checked by both clients. Prints messages per second and CPU seconds per
// 1,000 messages for each, then
//   RATIO program_tls / program_plain   (time; TLS costing under 30 % of
//                                         the rate is a ratio below 1.43)
//   RATIO program_tls / smtplib_tls     (below 1: the program is faster)
//
//   build/bench/smtp_tls_bench [--benchmark_repetitions=N]
//
// Needs postfix (smtp-sink), stunnel4, openssl and python3; the Postfix
// daemon is never started.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "mail/mime_message.h"
#include "mail/smtp_client.h"
#include "mail/smtp_route.h"
#include "mail/smtp_server.h"
#include "mail/testing/test_servers.h"
#include "bench/bench_ratio.h"
#include "bench/smtp_peers.h"

namespace tessaline {
namespace {

using namespace tessaline::bench;

constexpr int kMessages = 2000;
constexpr int kClientCpu = 0;
constexpr int kServerCpu = 1;
const char kStunnel[] = "/usr/bin/stunnel4";
const char kPython[] = "/usr/bin/python3";

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The servers and files every round shares, made once for the run.
struct Peers {
  std::string folder;
  testing::TestCertificates certificates;
  MimeMessage message;
  std::string message_file;  // the composed message, for smtplib
  int sink_port = 0;
  int tls_port = 0;
  pid_t sink = -1;
  pid_t stunnel = -1;
  std::string error;  // empty: all is ready

  Peers() {
    char name[] = "/tmp/tessaline-smtp-tls-bench-XXXXXX";
    if (!mkdtemp(name)) {
      error = "no temporary folder";
      return;
    }
    folder = name;
    for (const char* tool : {"/usr/sbin/smtp-sink", kStunnel, kPython, "/usr/bin/openssl"}) {
      if (access(tool, X_OK) != 0) {
        error = std::string(tool) + " is missing (packages postfix, stunnel4, python3, openssl)";
        return;
      }
    }
    String why;
    if (!certificates.make(String(folder), &why)) {
      error = why.std_string();
      return;
    }
    if (!fill_message(&message, folder + "/attachment.bin")) {
      error = "cannot write the attachment";
      return;
    }
    message.add_recipient("rcpt@example.test");
    String composed;
    message.compose(&composed);
    message_file = folder + "/message.eml";
    write_file(message_file, composed.std_string());

    sink_port = free_port();
    sink = start_smtp_sink(sink_port, kServerCpu);
    tls_port = free_port();
    std::string config = folder + "/stunnel.conf";
    write_file(config, "foreground = quiet\npid =\nsyslog = no\ndebug = err\noutput = " + folder +
                           "/stunnel.log\n[smtps]\naccept = 127.0.0.1:" +
                           std::to_string(tls_port) + "\nconnect = 127.0.0.1:" +
                           std::to_string(sink_port) + "\ncert = " +
                           certificates.certificate("good").std_string() + "\nkey = " +
                           certificates.key("good").std_string() + "\n");
    stunnel = spawn({kStunnel, config}, kServerCpu);
    if (!wait_for_port(sink_port)) error = "smtp-sink did not start";
    else if (!wait_for_port(tls_port)) error = "stunnel did not start: " + read_text(folder + "/stunnel.log");
  }

  ~Peers() {
    stop(stunnel);
    stop(sink);
    if (!folder.empty()) {
      std::string command = "rm -rf '" + folder + "'";
      if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", folder.c_str());
    }
  }
};

Peers& peers() {
  static Peers all;
  return all;
}

void report(benchmark::State& state, double cpu_seconds) {
  state.counters["msg_per_s"] =
      benchmark::Counter(kMessages * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["cpu_s_per_1000"] = cpu_seconds * 1000.0 / kMessages;
}

// The program's client in this process, over one kept connection.
void program(benchmark::State& state, bool tls) {
  Peers& p = peers();
  if (!p.error.empty()) {
    state.SkipWithError(p.error.c_str());
    return;
  }
  pin_to_cpu(kClientCpu);
  SmtpRoute route;
  route.host = "127.0.0.1";
  route.port = tls ? p.tls_port : p.sink_port;
  route.tls = tls ? TlsMode::kImplicit : TlsMode::kOff;
  route.trust_file = p.certificates.ca_file();
  set_smtp_route(route);
  set_smtp_timeout(30);
  double cpu = 0;
  for (auto _ : state) {
    double cpu_start = cpu_of_self();
    double start = now();
    for (int i = 0; i < kMessages; ++i) {
      p.message.recipients.clear();
      p.message.add_recipient(String::formatted("rcpt%d@example.test", i));
      if (!send_message(p.message)) {
        state.SkipWithError(p.message.error.c_str());
        quit();
        return;
      }
    }
    quit();
    state.SetIterationTime(now() - start);
    cpu = cpu_of_self() - cpu_start;
  }
  report(state, cpu);
}

void program_tls(benchmark::State& state) { program(state, true); }
void program_plain(benchmark::State& state) { program(state, false); }

// Python's smtplib with SMTP_SSL through the same stunnel; it times its
// own connection, messages and QUIT, without its start-up.
void smtplib_tls(benchmark::State& state) {
  Peers& p = peers();
  if (!p.error.empty()) {
    state.SkipWithError(p.error.c_str());
    return;
  }
  const std::string script = std::string(TESSALINE_SOURCE_DIR) + "/bench/smtplib_anchor.py";
  const std::string out = p.folder + "/smtplib.out";
  double cpu = 0;
  for (auto _ : state) {
    pid_t pid = spawn({kPython, script, std::to_string(p.tls_port), std::to_string(kMessages),
                       p.message_file, "--tls", p.certificates.ca_file().std_string()},
                      kClientCpu, out);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    double elapsed = std::atof(read_text(out).c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || elapsed <= 0) {
      state.SkipWithError("smtplib failed");
      return;
    }
    state.SetIterationTime(elapsed);
    cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  }
  report(state, cpu);
}

}  // namespace
}  // namespace tessaline

#define TLS_BENCH(name) \
  BENCHMARK(tessaline::name)->Name(#name)->Iterations(1)->Repetitions(5)->UseManualTime() \
      ->Unit(benchmark::kMillisecond)
TLS_BENCH(program_tls);
TLS_BENCH(program_plain);
TLS_BENCH(smtplib_tls);

int main(int argc, char** argv) {
  return tessaline::bench::run_interleaved_with_ratios(
      argc, argv, {{"program_tls", "program_plain"}, {"program_tls", "smtplib_tls"}});
}
