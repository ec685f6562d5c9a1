#include "app/clipboard.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tessaline {

namespace {

constexpr int kMaxBytes = 64 * 1024;

bool set(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != 0;
}

bool on_path(const char* program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  String folders(path);
  int start = 0;
  while (start <= folders.length()) {
    int end = folders.find(':', start);
    if (end < 0) end = folders.length();
    String folder = folders.substr(start, end - start);
    if (folder.empty()) folder = ".";
    String candidate = folder + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

int64_t now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Runs argv (found on PATH) and returns what it writes to standard output,
// or "" when it fails or outlives the time limit.
String run_for_output(const char* const argv[], int time_limit_ms) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return String();
  pid_t child = fork();
  if (child < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return String();
  }
  if (child == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, STDIN_FILENO);
      dup2(null_fd, STDERR_FILENO);
    }
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  close(pipe_fds[1]);

  String output;
  bool complete = false;
  int64_t deadline = now_ms() + time_limit_ms;
  for (;;) {
    int64_t left = deadline - now_ms();
    if (left <= 0) break;
    pollfd p = {pipe_fds[0], POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      complete = n == 0;
      break;
    }
    int room = kMaxBytes - output.length();
    output.append(buffer, n < room ? static_cast<int>(n) : room);
  }
  close(pipe_fds[0]);

  int status = 0;
  if (!complete) kill(child, SIGKILL);
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return String();
  return output;
}

}  // namespace

String read_clipboard_text(int time_limit_ms) {
  if (set("WAYLAND_DISPLAY") && on_path("wl-paste")) {
    const char* const argv[] = {"wl-paste", "--no-newline", "--type", "text/plain", nullptr};
    return run_for_output(argv, time_limit_ms);
  }
  if (set("DISPLAY") && on_path("xclip")) {
    const char* const argv[] = {"xclip", "-selection", "clipboard", "-out", nullptr};
    return run_for_output(argv, time_limit_ms);
  }
  return String();
}

}  // namespace tessaline
