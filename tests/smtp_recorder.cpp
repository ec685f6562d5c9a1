#include "tests/smtp_recorder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "storage/paths.h"

namespace tessaline {

namespace {

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool answers(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool SmtpRecorder::start(const String& folder, const std::vector<String>& refused,
                         double delay_seconds) {
  folder_ = folder;
  port_ = free_port();
  if (port_ == 0) {
    error_ = "no free port";
    return false;
  }
  String listen = String::formatted("127.0.0.1:%d", port_);
  String python_path = String(TESSALINE_SOURCE_DIR) + "/tests/testdata";
  std::vector<const char*> argv = {"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l",
                                   listen.c_str(), "-c", "recording_smtp.Recorder",
                                   folder.c_str()};
  for (const String& r : refused) argv.push_back(r.c_str());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) {
    error_ = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    setenv("PYTHONPATH", python_path.c_str(), 1);
    setenv("RECORDER_DELAY", String::formatted("%g", delay_seconds).c_str(), 1);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, STDIN_FILENO);
      dup2(null_fd, STDOUT_FILENO);
    }
    execv(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  for (int i = 0; i < 300; ++i) {
    if (answers(port_)) return true;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "aiosmtpd ended at start (is python3-aiosmtpd installed?)";
      return false;
    }
    usleep(50 * 1000);
  }
  error_ = "aiosmtpd does not answer";
  stop();
  return false;
}

void SmtpRecorder::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::vector<SmtpRecorder::Received> SmtpRecorder::messages() const {
  std::vector<Received> result;
  for (int n = 1;; ++n) {
    String text;
    if (!read_whole_file(folder_ + String::formatted("/%d.eml", n), text)) break;
    Received message;
    for (;;) {
      String line = text.extract_line();
      if (line.empty()) break;
      if (line.starts_with("MAIL FROM:<")) {
        message.mail_from = line.substr(11, line.length() - 12);
      } else if (line.starts_with("RCPT TO:<")) {
        message.recipients.push_back(line.substr(9, line.length() - 10));
      }
    }
    message.data = text;
    result.push_back(message);
  }
  return result;
}

}  // namespace tessaline
