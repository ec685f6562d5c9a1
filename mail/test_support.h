// test_support.h - small helpers shared by the mail tests (test code only).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/string.h"

namespace tessaline {

// GoogleTest prints a String as the text it holds, bytes escaped.
inline void PrintTo(const String& text, std::ostream* out) {
  *out << '"';
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      *out << "\\r";
    } else if (c == '\n') {
      *out << "\\n";
    } else if (u < 0x20 || u >= 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      *out << "\\x" << kHex[u >> 4] << kHex[u & 15];
    } else {
      *out << c;
    }
  }
  *out << '"';
}

namespace testing {

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
}

// Starts a program (no shell) with stdout and stderr going to the named
// files; returns its process id, or -1.
inline pid_t start_program(const std::vector<std::string>& argv, const std::string& out_file,
                           const std::string& err_file = "/dev/null") {
  // Everything that allocates happens before the fork.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out >= 0) dup2(out, 1);
  if (err >= 0) dup2(err, 2);
  execv(args[0], args.data());
  _exit(127);
}

// Runs a program to its end; returns its exit status (-1 when it did not
// end normally).
inline int run_program(const std::vector<std::string>& argv, const std::string& out_file) {
  pid_t pid = start_program(argv, out_file);
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Stops a program this test started, by its process id.
inline void stop_program(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace testing
}  // namespace tessaline
