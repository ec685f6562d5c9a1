#include "tests/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace tessaline {

const char* program_path_for_tests() { return TESSALINE_PROGRAM; }

namespace {

int64_t now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

ProgramResult run_program(const ProgramRun& run) {
  ProgramResult result;
  // The environment of the child, built before fork.
  std::vector<String> variables;
  for (char** e = environ; *e; ++e) {
    String entry(*e);
    bool replaced = entry.starts_with("DISPLAY=") || entry.starts_with("WAYLAND_DISPLAY=") ||
                    entry.starts_with("TESSALINE_HOME=");
    for (const auto& variable : run.environment) {
      replaced = replaced || entry.starts_with((variable.first + "=").view());
    }
    if (replaced) continue;
    variables.push_back(entry);
  }
  if (!run.home.empty()) variables.push_back("TESSALINE_HOME=" + run.home);
  for (const auto& [name, value] : run.environment) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (String& v : variables) envp.push_back(const_cast<char*>(v.c_str()));
  envp.push_back(nullptr);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(run.program ? run.program : program_path_for_tests()));
  for (const String& a : run.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (run.terminal_columns > 0) {
    // err_pipe[0] is the terminal's master side, err_pipe[1] its slave.
    err_pipe[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (err_pipe[0] < 0 || grantpt(err_pipe[0]) != 0 || unlockpt(err_pipe[0]) != 0) {
      return result;
    }
    err_pipe[1] = open(ptsname(err_pipe[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (err_pipe[1] < 0) return result;
    termios raw;
    if (tcgetattr(err_pipe[1], &raw) != 0) return result;
    cfmakeraw(&raw);
    winsize size = {};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(run.terminal_columns);
    if (tcsetattr(err_pipe[1], TCSANOW, &raw) != 0 ||
        ioctl(err_pipe[1], TIOCSWINSZ, &size) != 0) {
      return result;
    }
  } else if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    return result;
  }
  pid_t child = fork();
  if (child < 0) return result;
  if (child == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    int in_fd = open(run.input_file.empty() ? "/dev/null" : run.input_file.c_str(), O_RDONLY);
    if (in_fd >= 0) dup2(in_fd, STDIN_FILENO);
    if (!run.directory.empty() && chdir(run.directory.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  std::thread watcher;
  if (run.started) watcher = std::thread(run.started, child);

  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  String* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  bool timed_out = false;
  int64_t deadline = now_ms() + int64_t{run.time_limit_seconds} * 1000;
  while (open_count > 0) {
    int64_t left = deadline - now_ms();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    int ready = poll(fds, 2, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<int>(n));
      } else if (n == 0 || errno != EINTR) {
        // A terminal's master side reads EIO once the program has closed
        // its side: the end, like a pipe's 0.
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  if (timed_out) kill(child, SIGKILL);
  // Before the child is reaped its process id cannot be reused, so the
  // watcher never signals a stranger.
  if (watcher.joinable()) watcher.join();
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = !timed_out && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace tessaline
