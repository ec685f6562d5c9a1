#include "platform/open_document.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/program_path.h"

namespace tessaline {

namespace {

// The first executable file of that name on PATH, or "".
String find_on_path(const char* program) {
  const char* path = getenv("PATH");
  String folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    int colon = folders.find(':');
    String folder = colon < 0 ? folders : folders.substr(0, colon);
    // An empty entry is the current folder.
    String candidate = (folder.empty() ? String(".") : folder) + "/" + program;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon < 0) return String();
    folders.remove_first(colon + 1);
  }
}

// Only async-signal-safe calls from here on: the parent may have threads.
[[noreturn]] void run_opener(const char* program, char* const* argv, const char* folder,
                             int report_fd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  setsid();
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
  if (*folder && chdir(folder) != 0) {
    // Runs where it was started instead.
  }
  execv(program, argv);
  int error = errno;
  ssize_t ignored = write(report_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

}  // namespace

bool open_document(const String& document) {
  if (document.empty()) return false;
  String program = find_on_path("xdg-open");
  if (program.empty()) return false;
  // A relative name that begins with "-" would read as an option.
  String argument = document.first() == '-' ? "./" + document : document;
  // Run in the program's own folder ("/" for a program in the root).
  String folder = program_path();
  int slash = folder.rfind('/');
  folder.set_length(slash > 0 ? slash : slash == 0 ? 1 : 0);

  char name[] = "xdg-open";
  char* argv[] = {name, argument.data(), nullptr};

  // The opener reports a failed exec through this pipe; its end closes
  // unwritten when the exec succeeds.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  pid_t middle = fork();
  if (middle == 0) {
    close(report[0]);
    pid_t opener = fork();
    if (opener == 0) run_opener(program.c_str(), argv, folder.c_str(), report[1]);
    if (opener < 0) {
      int error = errno;
      ssize_t ignored = write(report[1], &error, sizeof error);
      (void)ignored;
    }
    // Leaving at once hands the opener to init, which collects it.
    _exit(0);
  }
  close(report[1]);
  if (middle < 0) {
    close(report[0]);
    return false;
  }
  int error = 0;
  ssize_t n;
  do {
    n = read(report[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
  return n == 0;
}

}  // namespace tessaline
