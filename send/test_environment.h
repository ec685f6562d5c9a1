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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/recording_ui.h"
#include "storage/test_directory.h"
#include "recipients/test_project.h"
#include "send/send_environment.h"
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

  // `pipelining`: the server offers PIPELINING.
  bool start(std::string* error, bool pipelining = false) {
    if (!folder_.ok()) return fail(error, "no temporary folder");
    std::string script = std::string(TESSALINE_SOURCE_DIR) + "/send/testdata/smtp_server.py";
    std::string folder = folder_.path().std_string();
    pid_ = fork();
    if (pid_ == 0) {
      execl("/usr/bin/python3", "python3", script.c_str(), folder.c_str(),
            pipelining ? "--pipelining" : nullptr, nullptr);
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
        if (name.find(".e") != std::string::npos) names.push_back(name);
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
// reading, and a review step that answers from a script.
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
  int64_t milliseconds() override { return clock_ms += 1500; }
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
