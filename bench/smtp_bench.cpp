// Delivery rate of the SMTP client over one kept connection, driven as the
// send operation drives it, against two anchors sending the same number of
// messages of the same size to the same smtp-sink on 127.0.0.1 in the same
// run: Postfix's smtp-source, and a minimal pipelining client of this file.
//
// Each round sends 2,000 messages of about 12 KB (a text body, an HTML body
// and one 4 KB attachment), each to its own recipient; the three take
// turns, and the figures are the medians of the rounds. Everything runs
// pinned to CPU 0, the sink and the anchors included, because client and
// server ping-pong. smtp-sink offers PIPELINING:
//   - the program sends each envelope in one write and, as a send of a
//     queue does (MimeMessage::next_envelope), the next message's envelope
//     with the end of this one's text, so a message costs one round trip
//     (an unattended No Preview send does the same: it reads the next
//     accepted recipient ahead for its envelope);
//   - the raw client does the same with nothing else around it: one
//     composed text sent again and again, MAIL, RCPT and DATA of the next
//     message after each end marker, replies counted and checked;
//   - smtp-source -d -s 1 does not pipeline: four round trips a message.
// Printed: messages per second, the program's rate over each anchor's, and
// CPU seconds per 1,000 messages of each client (the sink not counted).
//
//   build/bench/smtp_bench            (TESSALINE_SMTP_BENCH_ROUNDS=5 by default)
//
// Needs the postfix package for /usr/sbin/smtp-sink and smtp-source; the
// Postfix daemon is never started.
#include <benchmark/benchmark.h>
#include <netinet/tcp.h>
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

String recipient(int i) { return String::formatted("rcpt%d@example.test", i); }

// As a send drives the client: on the kept connection each message names
// the next one, whose envelope then goes out with its end marker.
Round run_program(int port, MimeMessage& message) {
  set_smtp_server("127.0.0.1");
  set_smtp_port(port);
  int i = 0;
  message.next_envelope = [&](Envelope* next) {
    if (i + 1 >= kMessages) return false;
    next->from = message.from;
    next->encoding = message.encoding;
    next->recipients = envelope_recipients(recipient(i + 1), String());
    return true;
  };
  double cpu = cpu_of_self();
  double start = now();
  for (i = 0; i < kMessages; ++i) {
    message.recipients.clear();
    message.add_recipient(recipient(i));
    if (!send_message(message)) {
      std::fprintf(stderr, "send %d failed: %s\n", i, message.error.c_str());
      std::exit(1);
    }
  }
  quit();
  message.next_envelope = nullptr;
  return {now() - start, cpu_of_self() - cpu};
}

// The raw client's side of a connection: whole replies, counted.
class ReplyReader {
 public:
  explicit ReplyReader(int fd) : fd_(fd) {}
  // Reads `count` replies; false when one is not `expected[k]` or the
  // connection ends.
  bool expect(const std::vector<int>& expected) {
    for (int code : expected) {
      if (next() != code) return false;
    }
    return true;
  }

 private:
  // The code of the next whole reply (its last line has a blank after the
  // code), or -1.
  int next() {
    for (;;) {
      size_t end;
      while ((end = buffer_.find("\r\n", at_)) != std::string::npos) {
        std::string line = buffer_.substr(at_, end - at_);
        at_ = end + 2;
        if (line.size() >= 4 && line[3] == ' ') {
          if (at_ > 65536) {
            buffer_.erase(0, at_);
            at_ = 0;
          }
          return std::atoi(line.substr(0, 3).c_str());
        }
      }
      char block[16384];
      ssize_t n = ::read(fd_, block, sizeof block);
      if (n <= 0) return -1;
      buffer_.append(block, static_cast<size_t>(n));
    }
  }
  int fd_;
  std::string buffer_;
  size_t at_ = 0;
};

bool send_all(int fd, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

std::string envelope_of(int i) {
  return "MAIL FROM:<sender@example.test>\r\nRCPT TO:<" + recipient(i).std_string() +
         ">\r\nDATA\r\n";
}

// The raw pipelining client, in a process of its own: EHLO, then for each
// message its dot-stuffed text and end marker with the next envelope (or
// QUIT), and the replies read back in one go. False when a reply is not
// the one due.
bool raw_client(int port, const std::string& text) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  ReplyReader replies(fd);
  if (!replies.expect({220}) || !send_all(fd, "EHLO bench.test\r\n") || !replies.expect({250}) ||
      !send_all(fd, envelope_of(0)) || !replies.expect({250, 250, 354})) {
    return false;
  }
  for (int i = 0; i < kMessages; ++i) {
    bool last = i + 1 == kMessages;
    if (!send_all(fd, text + "\r\n.\r\n" + (last ? std::string("QUIT\r\n") : envelope_of(i + 1))) ||
        !replies.expect(last ? std::vector<int>{250, 221} : std::vector<int>{250, 250, 250, 354})) {
      return false;
    }
  }
  ::close(fd);
  return true;
}

Round run_raw(int port, const std::string& text) {
  double start = now();
  pid_t pid = fork();
  if (pid == 0) _exit(raw_client(port, text) ? 0 : 1);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  double wall = now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "the raw pipelining client failed\n");
    std::exit(1);
  }
  return {wall, seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

// Lines that begin with a dot get a second one, as on the wire.
std::string dot_stuffed(std::string_view text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && c == '.') out += '.';
    out += c;
    line_start = c == '\n';
  }
  return out;
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

  const std::string raw_text = dot_stuffed(composed.view());
  // Per client: messages per second and CPU seconds per 1,000 messages.
  struct Figures {
    const char* name;
    std::vector<double> rate, cpu;
    void add(const Round& r) {
      rate.push_back(kMessages / r.wall);
      cpu.push_back(r.cpu * 1000 / kMessages);
    }
  } program{"program", {}, {}}, source{"smtp-source", {}, {}}, raw{"raw pipelining client", {}, {}};
  for (auto _ : state) {
    for (int r = 0; r < rounds; ++r) {
      source.add(run_anchor(port, anchor_file));
      raw.add(run_raw(port, raw_text));
      program.add(run_program(port, message));
      std::fprintf(stderr, "round %d:", r + 1);
      for (const Figures* f : {&program, &source, &raw}) {
        std::fprintf(stderr, "  %s %.0f msg/s (%.3f CPU s per 1,000)", f->name, f->rate.back(),
                     f->cpu.back());
      }
      std::fprintf(stderr, "\n");
    }
  }
  clean_up();

  state.counters["msg_per_s"] = median(program.rate);
  state.counters["cpu_s_per_1000"] = median(program.cpu);
  state.counters["source_msg_per_s"] = median(source.rate);
  state.counters["raw_msg_per_s"] = median(raw.rate);
  std::printf("messages of %d bytes; medians of %d rounds of %d messages\n", composed.length(),
              rounds, kMessages);
  for (const Figures* f : {&program, &source, &raw}) {
    std::printf("%-22s %6.0f messages/s  %.3f CPU s per 1,000 messages\n", f->name,
                median(f->rate), median(f->cpu));
  }
  std::printf("RATIO program / smtp-source = %.2f (median rate)\n",
              median(program.rate) / median(source.rate));
  std::printf("RATIO program / raw pipelining client = %.2f (median rate)\n",
              median(program.rate) / median(raw.rate));
}

BENCHMARK(BM_SmtpKeptConnection)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tessaline

BENCHMARK_MAIN();
