// test_environment.h - a SendEnvironment for the tests of send/, and a
// real SMTP server (aiosmtpd) on 127.0.0.1 that they send to (test code
// only).
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/recording_ui.h"
#include "storage/test_directory.h"
#include "recipients/test_project.h"
#include "storage/paths.h"
#include "send/send_environment.h"
#include "send/send_history.h"
#include "send/send_journal.h"
#include "send/send_operation.h"

namespace tessaline::testing {

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// aiosmtpd, started with send/testdata/smtp_server.py and stopped by its
// process id. Recipients whose address holds "refused" are refused.
class SmtpTestServer {
 public:
  struct Received {
    int peer_port = 0;
    std::string mail_from;
    std::vector<std::string> rcpt_to;
    std::string data;  // as received: the composed text and CR LF
  };

  ~SmtpTestServer() { stop(); }

  // `pipelining`: the server offers PIPELINING. `replies`: its scripted
  // answers, each "STEP=REPLY,REPLY,..." (see smtp_server.py's --reply).
  // `eod_delay_ms`: it holds each message that long before taking it.
  bool start(std::string* error, bool pipelining = false,
             const std::vector<std::string>& replies = {}, int eod_delay_ms = 0) {
    if (!folder_.ok()) return fail(error, "no temporary folder");
    std::vector<std::string> words = {
        "python3", std::string(TESSALINE_SOURCE_DIR) + "/send/testdata/smtp_server.py",
        folder_.path().std_string()};
    if (pipelining) words.push_back("--pipelining");
    if (eod_delay_ms > 0) {
      words.push_back("--eod-delay");
      words.push_back(std::to_string(eod_delay_ms));
    }
    for (const std::string& reply : replies) {
      words.push_back("--reply");
      words.push_back(reply);
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::string folder = folder_.path().std_string();
    // The port of a server this object ran before is not this one's.
    unlink((folder + "/port").c_str());
    pid_ = fork();
    if (pid_ == 0) {
      execv("/usr/bin/python3", argv.data());
      _exit(127);
    }
    if (pid_ < 0) return fail(error, "fork failed");
    for (int i = 0; i < 200; ++i) {
      std::string port = read_text(folder + "/port");
      if (!port.empty()) {
        port_ = std::stoi(port);
        return true;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return fail(error, "the server ended at once (is aiosmtpd installed for /usr/bin/python3?)");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return fail(error, "the server did not start listening");
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  int port() const { return port_; }

  // What the server answered, one line per greeting ("PORT ehlo") and per
  // answer to MAIL FROM, RCPT TO and the end of the data ("PORT rcpt
  // 451", "PORT eod drop"), in order, since the last clear().
  std::vector<std::string> steps() const {
    std::istringstream text(read_text(folder_.path().std_string() + "/steps"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  // With an end-of-data delay: the most messages the server held at once.
  int busiest() const {
    std::string text = read_text(folder_.path().std_string() + "/busiest");
    return text.empty() ? 0 : std::stoi(text);
  }

  // Every message received since the last clear(), in order.
  std::vector<Received> received() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder_.path().c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".env") == 0) {
          names.push_back(name.substr(0, name.size() - 4));
        }
      }
      closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<Received> messages;
    for (const std::string& name : names) {
      std::string base = folder_.path().std_string() + "/" + name;
      std::istringstream envelope(read_text(base + ".env"));
      Received r;
      std::string line;
      std::getline(envelope, line);
      r.peer_port = std::stoi(line);
      std::getline(envelope, r.mail_from);
      while (std::getline(envelope, line)) r.rcpt_to.push_back(line);
      r.data = read_text(base + ".eml");
      messages.push_back(std::move(r));
    }
    return messages;
  }

  void clear() {
    if (DIR* dir = opendir(folder_.path().c_str())) {
      std::vector<std::string> names;
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.find(".e") != std::string::npos || name == "steps") names.push_back(name);
      }
      closedir(dir);
      for (const std::string& name : names) unlink((folder_.path().std_string() + "/" + name).c_str());
    }
  }

 private:
  static bool fail(std::string* error, const char* why) {
    if (error) *error = why;
    return false;
  }

  TestDirectory folder_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// The environment of a send: a project in memory, a recording port, a
// folder of its own for the log, a clock that moves 1.5 seconds at each
// reading (clock_step_ms) and by each wait, waits that return at once, a
// scripted jitter, and a review step that answers from a script.
class TestEnvironment : public SendEnvironment {
 public:
  MemoryProject project_values;
  RecordingUi recorder;
  TestDirectory folder;
  String server_field = "127.0.0.1";
  String project_path;  // empty: the project has no file and keeps no journal
  SendSettings settings;
  Database* db = nullptr;
  bool command_line = false;
  bool running = false;
  int64_t clock_ms = 1000000;
  // How far each reading of the clock moves it; 0 for a clock that only
  // the waits and the test move.
  int64_t clock_step_ms = 1500;
  std::vector<int64_t> slept_ms;  // each wait of the send, in order
  std::function<void(int64_t)> during_sleep;
  double jitter = 0.5;  // what unit_random() answers
  int64_t wall_ms = 0;  // 0: the real wall clock
  int64_t wall_base_ms = 0;

  // What each review saw, and its scripted answers (none left: abort).
  struct Review {
    std::vector<std::string> recipients;
    bool has_text_body = false;
    bool has_html_body = false;
  };
  std::vector<Review> reviews;
  std::vector<bool> review_answers;
  // Runs inside the review before it answers, when set.
  std::function<void(SendOperation&)> during_review;

  std::vector<std::string> stored_settings;
  std::vector<std::string> opened;
  DkimSettings dkim;

  ProjectValues& project() override { return project_values; }
  Ui& ui() override { return recorder; }
  String smtp_server_field() override { return server_field; }
  void store_smtp_settings(const String& server, int port) override {
    stored_settings.push_back(server.std_string() + ":" + std::to_string(port));
  }
  DkimSettings dkim_settings() override { return dkim; }
  Database* database() override { return db; }
  String project_file() override { return project_path; }
  SendSettings send_settings() override { return settings; }
  bool log_folder(String& path, String& error) override {
    if (!folder.ok()) {
      error = "no folder";
      return false;
    }
    path = folder.path();
    return true;
  }
  bool command_line_run() override { return command_line; }
  bool operation_running() override { return running; }
  void set_operation_running(bool on) override { running = on; }
  int64_t milliseconds() override { return clock_ms += clock_step_ms; }
  // Nothing waits for real: each wait moves the clock and is recorded.
  void sleep_ms(int64_t ms) override {
    slept_ms.push_back(ms);
    clock_ms += ms;
    if (during_sleep) during_sleep(ms);
  }
  double unit_random() override { return jitter; }
  int64_t wall_clock_ms() override {
    return wall_ms == 0 ? SendEnvironment::wall_clock_ms() : wall_ms + (clock_ms - wall_base_ms);
  }
  // The wall clock at `ms` now, moving with clock_ms from here on.
  void set_wall_clock(int64_t ms) {
    wall_ms = ms;
    wall_base_ms = clock_ms;
  }
  int64_t total_slept() const {
    int64_t total = 0;
    for (int64_t ms : slept_ms) total += ms;
    return total;
  }
  bool review(SendOperation& operation, bool has_text_body, bool has_html_body) override {
    Review r;
    for (const Message& m : operation.queue()) r.recipients.push_back(m.recipient.std_string());
    r.has_text_body = has_text_body;
    r.has_html_body = has_html_body;
    reviews.push_back(r);
    if (during_review) during_review(operation);
    size_t n = reviews.size() - 1;
    return n < review_answers.size() && review_answers[n];
  }
  bool open_document(const String& path) override {
    opened.push_back(path.std_string());
    return true;
  }

  std::string log() const { return read_text((folder / "Trenk.LOG").std_string()); }
  // The folder of kept sends: journals and kept logs.
  String history() const { return folder / "sends"; }
};

// The outcome records of a journal file, counted by plan index: read from
// the bytes as the format lays them out, so that an outcome written twice
// (which the reader would take as one) shows.
inline std::map<int, int> outcome_records(const std::string& bytes) {
  std::map<int, int> counts;
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
  };
  size_t at = kJournalMagicLength;
  while (at + 4 <= bytes.size()) {
    uint32_t n = u32(at);
    if (n == 0 || at + 4 + n + 4 > bytes.size()) break;
    if (bytes[at + 4] == 6) ++counts[static_cast<int>(u32(at + 5))];
    at += 4 + n + 4;
  }
  return counts;
}

// The operation's last send as its journal tells it; every recipient in
// it has at most one outcome record (checked).
inline JournalState checked_last_send(SendOperation& operation) {
  String path;
  JournalState state;
  EXPECT_TRUE(operation.last_send(&path, &state));
  for (const auto& [index, count] : outcome_records(read_text(path.std_string()))) {
    EXPECT_EQ(count, 1) << "outcome records of plan entry " << index;
  }
  return state;
}

// The project of an unattended No Preview send from the command line,
// saved (so it keeps a journal) and keeping its connection: what the tests
// of the journal, the resume, the retries and the pace of a send start
// from. The port and the recipients are the test's.
inline void set_up_unattended_send(TestEnvironment& env) {
  env.command_line = true;
  env.project_path = env.folder / "news.zqj";
  env.project_values.set(kFieldFrom, "Sender <sender@example.com>")
      .set(kFieldSubject, "Hello")
      .set(kFieldSendMode, String::formatted("%d", SendOperation::kNoPreview))
      .check(kFieldRecycle)
      .check(kFieldUseBodyText)
      .set(kFieldBody, "Dear [[-Email-]] #[[-Index-]]")
      .check(kFieldUseRecipientText);
}

// The journal a killed send of the environment's project left, as the
// only journal of its kept sends: `plan` in order, with the outcomes
// given (kNone for none), each answered at `answered_ms` on the wall
// clock; the message at `in_flight` went out without an answer.
inline void write_killed_journal(TestEnvironment& env, const std::vector<std::string>& plan,
                                 const std::vector<JournalOutcome>& outcomes, int in_flight = -1,
                                 int64_t answered_ms = 1) {
  JournalIdentity id;
  id.send_id = make_send_id();
  id.start_ms = 1700000000000;
  id.send_mode = SendOperation::kNoPreview;
  id.project = project_identity(env.project_path);
  JournalRun run;
  run.start_ms = id.start_ms;
  run.log_name = "news-20231114-221320.LOG";
  String bytes = String(std::string_view(kJournalMagic, kJournalMagicLength)) +
                 journal_identity_record(id) + journal_run_record(run);
  for (size_t i = 0; i < plan.size(); ++i) bytes += journal_plan_record(static_cast<int>(i), plan[i]);
  bytes += journal_plan_end_record(static_cast<int>(plan.size()));
  for (size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i] == JournalOutcome::kNone) continue;
    bytes += journal_attempt_record(static_cast<int>(i));
    bytes += journal_outcome_record(static_cast<int>(i), outcomes[i], 1,
                                    outcomes[i] == JournalOutcome::kRefused ? 550 : 250, 0,
                                    answered_ms);
  }
  if (in_flight >= 0) bytes += journal_attempt_record(in_flight);
  String error;
  ASSERT_TRUE(SendHistory(env.history()).make(&error));
  ASSERT_TRUE(write_whole_file(env.history() + "/news-20231114-221320.journal", bytes.c_str(),
                               bytes.length()));
}

// A fixture whose tests share one aiosmtpd, started once for the suite
// (starting a server per test would cost more than the tests): derive
// from it with the test base the suite needs and use server_.
template <typename Base = ::testing::Test>
class WithSuiteSmtpServer : public Base {
 protected:
  static void SetUpTestSuite() {
    server_ = new SmtpTestServer();
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  static inline SmtpTestServer* server_ = nullptr;
};

}  // namespace tessaline::testing
