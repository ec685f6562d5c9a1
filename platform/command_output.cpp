#include "platform/command_output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace tessaline {

namespace {

constexpr int kMaxOutput = 64 * 1024;

// Only async-signal-safe calls from here on: the parent may have threads.
[[noreturn]] void run_shell(const char* command, int out_fd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
  dup2(out_fd, STDOUT_FILENO);
  execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
  _exit(127);
}

void wipe(char* bytes, size_t size) {
  volatile char* p = bytes;
  while (size--) *p++ = 0;
}

}  // namespace

bool first_line_of_command(const String& command, int timeout_seconds, String* line,
                           String* reason) {
  line->clear();
  reason->clear();
  if (command.empty()) {
    *reason = "no command is set";
    return false;
  }
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *reason = String("it could not be started: ") + std::strerror(errno);
    return false;
  }
  pid_t pid = fork();
  if (pid < 0) {
    *reason = String("it could not be started: ") + std::strerror(errno);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return false;
  }
  if (pid == 0) run_shell(command.c_str(), pipe_fds[1]);
  ::close(pipe_fds[1]);

  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
  char buffer[kMaxOutput];
  char discard[4096];
  size_t got = 0;
  bool timed_out = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (timeout_seconds > 0 && left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd entry{pipe_fds[0], POLLIN, 0};
    int ready = ::poll(&entry, 1, timeout_seconds > 0 ? static_cast<int>(left.count()) : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    // Past the bound the rest is read and dropped, so the command is not
    // stopped by a full pipe.
    char* into = got < sizeof buffer ? buffer + got : discard;
    size_t room = got < sizeof buffer ? sizeof buffer - got : sizeof discard;
    ssize_t n = ::read(pipe_fds[0], into, room);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (got < sizeof buffer) got += static_cast<size_t>(n);
  }
  ::close(pipe_fds[0]);
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }

  size_t end = 0;
  while (end < got && buffer[end] != '\n') ++end;
  size_t length = end;
  if (length > 0 && buffer[length - 1] == '\r') --length;
  line->assign(buffer, static_cast<int>(length));
  wipe(buffer, got);
  wipe(discard, sizeof discard);

  if (timed_out) {
    *reason = String::formatted("it did not end within %d seconds", timeout_seconds);
  } else if (WIFSIGNALED(status)) {
    *reason = String::formatted("it was ended by signal %d", WTERMSIG(status));
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
    *reason = "it could not be run (exit status 127)";
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    *reason = String::formatted("it ended with exit status %d", WEXITSTATUS(status));
  } else if (line->empty()) {
    *reason = "it printed nothing";
  }
  if (reason->empty()) return true;
  if (line->data()) wipe(line->data(), line->length());
  line->clear();
  return false;
}

}  // namespace tessaline
