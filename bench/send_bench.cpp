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
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/recording_ui.h"
#include "core/string.h"
#include "core/ui.h"
#include "storage/paths.h"
#include "storage/test_directory.h"
#include "mail/smtp_client.h"
#include "mail/smtp_server.h"
#include "recipients/test_project.h"
#include "send/send_environment.h"
#include "send/send_operation.h"

namespace {

using namespace tessaline;

constexpr int kMessages = 10000;
constexpr int kBodyBytes = 10 * 1024;
const char kSink[] = "/usr/sbin/smtp-sink";
const char kSource[] = "/usr/sbin/smtp-source";

// A port that shows nothing and asks nothing, as a command-line run's.
class QuietUi : public Ui {
 public:
  void error_box(const String& message, const String&) override {
    std::fprintf(stderr, "send_bench: %s\n", message.c_str());
  }
  void information_box(const String&, const String&) override {}
  bool ask_yes_no(const String&, const String&) override { return false; }
  Reply ask_yes_no_cancel(const String&, const String&) override { return Reply::kCancel; }
  bool input_text(const String&, const String&, String&, int) override { return false; }
  int choose_one(const String&, const String&, const Vector<String>&, int) override { return -1; }
  int ask_buttons(const String&, const String&, const Vector<String>&) override { return -1; }
  void open_progress(const String&, const String&, bool) override {}
  void set_progress_text(const String&) override {}
  void set_progress_fraction(double) override {}
  bool progress_aborted() override { return false; }
  void close_progress() override {}
  void begin_busy() override {}
  void end_busy() override {}
  void beep() override {}
  void focus_field(const String&) override {}
  void focus_field_at(const String&, int) override {}
};

class BenchEnvironment : public SendEnvironment {
 public:
  BenchEnvironment(testing::MemoryProject& project, const String& folder)
      : project_(project), folder_(folder) {}
  ProjectValues& project() override { return project_; }
  Ui& ui() override { return ui_; }
  String smtp_server_field() override { return "127.0.0.1"; }
  void store_smtp_settings(const String&, int) override {}
  Database* database() override { return nullptr; }
  bool log_folder(String& folder, String&) override {
    folder = folder_;
    return true;
  }
  bool command_line_run() override { return true; }
  bool operation_running() override { return running_; }
  void set_operation_running(bool on) override { running_ = on; }
  int64_t milliseconds() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  // The benchmark's server never refuses for now: nothing waits.
  void sleep_ms(int64_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  double unit_random() override { return 0.5; }
  bool review(SendOperation&, bool, bool) override { return false; }
  bool open_document(const String&) override { return true; }

 private:
  testing::MemoryProject& project_;
  String folder_;
  QuietUi ui_;
  bool running_ = false;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// About 10 KB of text in lines of 70 characters, with ten data tags.
String make_body() {
  const char* tags[] = {"[[-FirstName-]]", "[[-LastName-]]", "[[-Email-]]", "[[-Index-]]",
                        "[[-FullName-]]", "[[-Recipient-]]", "[[-Now-:d MM yy]]",
                        "[[-Index- * 2]]", "[[-FirstName- = \"First7\"|true|yes|no]]",
                        "[[-LastName-:nobody]]"};
  String body;
  int tag = 0;
  while (body.length() < kBodyBytes) {
    body += "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusm\n";
    if (body.length() % 1000 < 72 && tag < 10) body += String("Dear ") + tags[tag++] + ",\n";
  }
  while (tag < 10) body += String(tags[tag++]) + "\n";
  return body;
}

struct SendResult {
  double seconds = 0;
  int attempted = 0;
  int errors = 0;
  long max_rss_kb = 0;
};

// One send of `count` recipients in a process of its own.
bool run_send(int port, int count, SendResult* result) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    TestDirectory dir;
    String list;
    for (int i = 0; i < count; ++i) {
      list.append_format("First%d Last%d <user%d@example.com>\n", i, i, i);
    }
    dir.put("list.txt", list);
    list.clear();
    testing::MemoryProject project;
    project.set(kFieldFrom, "Sender <sender@example.com>")
        .set(kFieldSubject, "Benchmark")
        .set(kFieldSmtpPort, String::formatted("%d", port))
        .set(kFieldSendMode, "101")
        .check(kFieldRecycle)
        .check(kFieldEliminateDuplicates)
        .check(kFieldUseBodyText)
        .set(kFieldBody, make_body())
        .check(kFieldUseRecipientFile)
        .set(kFieldRecipientFile, dir / "list.txt");
    BenchEnvironment env(project, dir.path());
    SendOperation operation(env);
    auto start = std::chrono::steady_clock::now();
    operation.send();
    SendResult r;
    r.seconds = seconds_since(start);
    r.attempted = operation.counters().attempted;
    r.errors = operation.counters().errors;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    r.max_rss_kb = usage.ru_maxrss;
    ssize_t written = write(fds[1], &r, sizeof r);
    _exit(written == sizeof r ? 0 : 1);
  }
  close(fds[1]);
  bool ok = pid > 0 && read(fds[0], result, sizeof *result) == sizeof *result;
  close(fds[0]);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

pid_t start_program(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    FILE* null = std::fopen("/dev/null", "w");
    if (null) {
      dup2(fileno(null), 1);
      dup2(fileno(null), 2);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// The anchor: smtp-source sending the same count and size over one kept
// connection.
bool run_source(int port, double* seconds) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = start_program({kSource, "-d", "-s", "1", "-m", std::to_string(kMessages), "-l",
                             std::to_string(kBodyBytes), "-f", "sender@example.com", "-t",
                             "user@example.com", "127.0.0.1:" + std::to_string(port)});
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return false;
  *seconds = seconds_since(start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// smtp-sink on a free port of 127.0.0.1: tried port by port until one
// greets.
pid_t start_sink(int* port) {
  for (int candidate = 20000 + getpid() % 20000, tries = 0; tries < 20; ++candidate, ++tries) {
    std::vector<std::string> argv = {kSink};
    if (geteuid() == 0) argv.insert(argv.end(), {"-u", "nobody"});
    argv.insert(argv.end(), {"127.0.0.1:" + std::to_string(candidate), "256"});
    pid_t pid = start_program(argv);
    if (pid <= 0) return -1;
    set_smtp_server("127.0.0.1");
    set_smtp_port(candidate);
    for (int wait = 0; wait < 40; ++wait) {
      usleep(50000);
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) break;  // the port was taken
      String error;
      if (smtp_connect(String(), &error)) {
        quit();
        *port = candidate;
        return pid;
      }
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  return -1;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  // "--only N": one send of N recipients and nothing else (for profiling).
  int only = argc > 2 && std::string(argv[1]) == "--only" ? std::atoi(argv[2]) : 0;
  int rounds = argc > 1 && !only ? std::max(1, std::atoi(argv[1])) : 3;
  if (access(kSink, X_OK) != 0 || access(kSource, X_OK) != 0) {
    std::fprintf(stderr, "send_bench: Postfix's smtp-sink and smtp-source are needed\n");
    return 1;
  }
  int port = 0;
  pid_t sink = start_sink(&port);
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
    double p = median(program), a = median(anchor);
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
