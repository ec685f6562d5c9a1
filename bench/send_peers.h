// send_peers.h - what the benchmarks of a whole send share: a quiet port
// and an environment in memory for the send operation, the mailing every
// round sends (a list file of recipients and a 10 KB body with ten data
// tags, No Preview mode, a kept connection), one send of it in a process
// of its own, and Postfix's smtp-sink on a free port of 127.0.0.1.
//
// Not for: tests, or the SMTP client's own benchmarks (bench/smtp_peers.h).
// Nothing here measures but the one send's wall time, CPU time and peak
// memory; each benchmark compares them against its anchor.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/string.h"
#include "core/ui.h"
#include "storage/paths.h"
#include "storage/test_directory.h"
#include "mail/smtp_client.h"
#include "mail/smtp_server.h"
#include "recipients/test_project.h"
#include "send/send_environment.h"
#include "send/send_operation.h"
#include "send/send_settings.h"

namespace tessaline::bench {

inline constexpr char kSinkProgram[] = "/usr/sbin/smtp-sink";
inline constexpr char kSourceProgram[] = "/usr/sbin/smtp-source";
inline constexpr int kSendBodyBytes = 10 * 1024;

// A port that shows nothing and asks nothing, as a command-line run's.
class QuietUi : public Ui {
 public:
  void error_box(const String& message, const String&) override {
    std::fprintf(stderr, "bench: %s\n", message.c_str());
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

// The project in memory; with a project file the send keeps its journal
// in the log folder's kept sends, as a saved project's does.
class BenchEnvironment : public SendEnvironment {
 public:
  BenchEnvironment(testing::MemoryProject& project, const String& folder, String project_file,
                   SendSettings settings)
      : project_(project), folder_(folder), project_file_(project_file), settings_(settings) {}
  ProjectValues& project() override { return project_; }
  Ui& ui() override { return ui_; }
  String smtp_server_field() override { return "127.0.0.1"; }
  void store_smtp_settings(const String&, int) override {}
  String project_file() override { return project_file_; }
  SendSettings send_settings() override { return settings_; }
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
  String project_file_;
  SendSettings settings_;
  QuietUi ui_;
  bool running_ = false;
};

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// About 10 KB of text in lines of 70 characters, with ten data tags.
inline String make_send_body() {
  const char* tags[] = {"[[-FirstName-]]", "[[-LastName-]]", "[[-Email-]]", "[[-Index-]]",
                        "[[-FullName-]]", "[[-Recipient-]]", "[[-Now-:d MM yy]]",
                        "[[-Index- * 2]]", "[[-FirstName- = \"First7\"|true|yes|no]]",
                        "[[-LastName-:nobody]]"};
  String body;
  int tag = 0;
  while (body.length() < kSendBodyBytes) {
    body += "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusm\n";
    if (body.length() % 1000 < 72 && tag < 10) body += String("Dear ") + tags[tag++] + ",\n";
  }
  while (tag < 10) body += String(tags[tag++]) + "\n";
  return body;
}

struct SendResult {
  double seconds = 0;
  double cpu_seconds = 0;  // of the sending process, user and system
  int attempted = 0;
  int errors = 0;
  long max_rss_kb = 0;
};

// One send of `count` recipients in a process of its own. With
// `journaled` the project has a file, so the send keeps its journal as
// `settings` say.
inline bool run_send(int port, int count, SendResult* result, bool journaled = false,
                     SendSettings settings = SendSettings()) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    SendResult r;
    {
      TestDirectory dir;
      String list;
      for (int i = 0; i < count; ++i) {
        list.append_format("First%d Last%d <user%d@example.com>\n", i, i, i);
      }
      dir.put("list.txt", list);
      dir.put("news.zqj", "");
      list.clear();
      testing::MemoryProject project;
      project.set(kFieldFrom, "Sender <sender@example.com>")
          .set(kFieldSubject, "Benchmark")
          .set(kFieldSmtpPort, String::formatted("%d", port))
          .set(kFieldSendMode, "101")
          .check(kFieldRecycle)
          .check(kFieldEliminateDuplicates)
          .check(kFieldUseBodyText)
          .set(kFieldBody, make_send_body())
          .check(kFieldUseRecipientFile)
          .set(kFieldRecipientFile, dir / "list.txt");
      BenchEnvironment env(project, dir.path(), journaled ? dir / "news.zqj" : String(), settings);
      SendOperation operation(env);
      rusage before{};
      getrusage(RUSAGE_SELF, &before);
      auto start = std::chrono::steady_clock::now();
      operation.send();
      r.seconds = seconds_since(start);
      rusage usage{};
      getrusage(RUSAGE_SELF, &usage);
      auto cpu = [](const rusage& u) {
        return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
               u.ru_stime.tv_usec / 1e6;
      };
      r.cpu_seconds = cpu(usage) - cpu(before);
      r.attempted = operation.counters().attempted;
      r.errors = operation.counters().errors;
      r.max_rss_kb = usage.ru_maxrss;
    }  // the folder goes before the process ends
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

// A program with its output thrown away.
inline pid_t start_quiet(const std::vector<std::string>& argv) {
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

// smtp-sink on a free port of 127.0.0.1: tried port by port until one
// greets. The mail layer's server and port are left set to it.
inline pid_t start_send_sink(int* port) {
  for (int candidate = 20000 + getpid() % 20000, tries = 0; tries < 20; ++candidate, ++tries) {
    std::vector<std::string> argv = {kSinkProgram};
    if (geteuid() == 0) argv.insert(argv.end(), {"-u", "nobody"});
    argv.insert(argv.end(), {"127.0.0.1:" + std::to_string(candidate), "256"});
    pid_t pid = start_quiet(argv);
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

inline double median_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace tessaline::bench
