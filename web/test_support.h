// test_support.h - what the web tests share (test code only): a real HTTP
// server on 127.0.0.1, certificates made for it, and a fake xdg-open that
// records what it was asked to open.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/string.h"
#include "storage/test_directory.h"

namespace tessaline {
namespace testing {

// Runs a program (no shell) to its end with its output thrown away; true
// when it exits with 0.
inline bool run_quietly(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    // No stdio here: the buffers the test had filled must not be written
    // again by the child.
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// A certificate authority and two server certificates it signed, made with
// openssl in a folder: "good" names 127.0.0.1, "wrong" names only a host
// that is not this one.
struct TestCertificates {
  String authority;  // ca.pem
  String good_cert, good_key;
  String wrong_cert, wrong_key;

  bool make(const TestDirectory& folder) {
    authority = folder / "ca.pem";
    good_cert = folder / "good.pem";
    good_key = folder / "good.key";
    wrong_cert = folder / "wrong.pem";
    wrong_key = folder / "wrong.key";
    const std::string openssl = "/usr/bin/openssl";
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt",
                                         "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"};
    auto request = [&](std::vector<std::string> head, std::vector<std::string> tail) {
      head.insert(head.end(), ec.begin(), ec.end());
      head.insert(head.end(), tail.begin(), tail.end());
      return run_quietly(head);
    };
    std::string ca_key = (folder / "ca.key").std_string();
    return request({openssl, "req", "-x509"},
                   {"-keyout", ca_key, "-out", authority.std_string(), "-subj", "/CN=Web Test CA"}) &&
           request({openssl, "req", "-x509"},
                   {"-keyout", good_key.std_string(), "-out", good_cert.std_string(), "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-CA",
                    authority.std_string(), "-CAkey", ca_key}) &&
           request({openssl, "req", "-x509"},
                   {"-keyout", wrong_key.std_string(), "-out", wrong_cert.std_string(), "-subj",
                    "/CN=elsewhere.example", "-addext", "subjectAltName=DNS:elsewhere.example",
                    "-CA", authority.std_string(), "-CAkey", ca_key});
  }
};

// serve_http.py (web/testdata) in a folder of its own: files to serve go
// in site/, every request it gets is in requests.log.
class TestHttpServer {
 public:
  TestHttpServer() = default;
  ~TestHttpServer() { stop(); }
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  // Starts it; with a certificate and key it speaks HTTPS. False (with the
  // server's complaint in error()) when it does not come up.
  bool start(const String& cert = String(), const String& key = String()) {
    if (!folder_.ok() || mkdir((folder_ / "site").c_str(), 0755) != 0) return false;
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     std::string(TESSALINE_SOURCE_DIR) + "/web/testdata/serve_http.py",
                                     folder_.path().std_string()};
    if (!cert.empty()) {
      argv.push_back(cert.std_string());
      argv.push_back(key.std_string());
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::string log = (folder_ / "server.log").std_string();
    pid_ = fork();
    if (pid_ == 0) {
      int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(log_fd, 2);
      execv(args[0], args.data());
      _exit(127);
    }
    if (pid_ < 0) return false;
    String port_file = folder_ / "port";
    for (int i = 0; i < 1000 && access(port_file.c_str(), F_OK) != 0; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    port_ = atoi(TestDirectory::read(port_file).c_str());
    scheme_ = cert.empty() ? "http" : "https";
    return port_ > 0;
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // "http://127.0.0.1:PORT" followed by the path.
  String url(const char* path = "") const {
    return String::formatted("%s://127.0.0.1:%d%s", scheme_.c_str(), port_, path);
  }
  // Puts a file among those served ("Products.INI").
  bool serve(const char* name, const String& contents) const {
    return folder_.put((String("site/") + name).c_str(), contents);
  }
  void forget_file(const char* name) const { ::remove((folder_ / "site" + "/" + name).c_str()); }
  // The requests received so far, and forgetting them.
  String requests() const { return TestDirectory::read(folder_ / "requests.log"); }
  void clear_requests() const { ::remove((folder_ / "requests.log").c_str()); }
  String error() const { return TestDirectory::read(folder_ / "server.log"); }

 private:
  TestDirectory folder_;
  pid_t pid_ = -1;
  int port_ = 0;
  String scheme_;
};

// A test suite that shares one plain HTTP server, started before its
// first test and stopped after its last.
class HttpServerSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A proxy of the machine's would stand between the tests and their
    // server.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
    server_ = new TestHttpServer;
    ASSERT_TRUE(server_->start()) << server_->error().c_str();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  static inline TestHttpServer* server_ = nullptr;
};

// A fake xdg-open first on PATH while it lives. Each time it runs it adds
// its one argument as a line to opened.log (and a line "ARGS n" when it got
// n != 1 arguments).
class FakeOpener {
 public:
  FakeOpener() {
    const char* path = getenv("PATH");
    saved_path_ = path ? path : "";
    folder_.put("xdg-open",
                "#!/bin/sh\n"
                "log=$(dirname \"$0\")/opened.log\n"
                "[ $# -eq 1 ] || echo \"ARGS $#\" >> \"$log\"\n"
                "printf '%s\\n' \"$1\" >> \"$log\"\n");
    chmod((folder_ / "xdg-open").c_str(), 0755);
    setenv("PATH", (folder_.path() + ":" + saved_path_).c_str(), 1);
  }
  ~FakeOpener() { setenv("PATH", saved_path_.c_str(), 1); }
  FakeOpener(const FakeOpener&) = delete;
  FakeOpener& operator=(const FakeOpener&) = delete;

  // Makes the opener impossible to find.
  void hide() {
    ::remove((folder_ / "xdg-open").c_str());
    setenv("PATH", folder_.path().c_str(), 1);
  }

  // The lines logged once `count` openings have arrived (or what arrived
  // after a generous wait).
  String opened(int count = 1) const {
    String log;
    for (int i = 0; i < 2000; ++i) {
      log = TestDirectory::read(folder_ / "opened.log");
      if (log != "<absent>" && count_lines(log) >= count) return log;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return log;
  }

 private:
  static int count_lines(const String& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
  }

  TestDirectory folder_;
  String saved_path_;
};

}  // namespace testing
}  // namespace tessaline
