// smtp_peers.h - what the SMTP benchmarks share: starting the outside tools
// they measure against (Postfix's smtp-sink and smtp-source, stunnel,
// Python) pinned to a CPU, finding a free port on 127.0.0.1, and the
// message every round sends.
//
// Not for: tests (mail/testing/ has the servers of the tests). Nothing here
// measures; each benchmark times its own rounds.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "mail/mime_message.h"

namespace tessaline::bench {

inline double seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

inline double cpu_of_self() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline double now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Keeps the calling thread (and the children it starts later) on one CPU.
inline void pin_to_cpu(int cpu) {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  CPU_SET(cpu, &cpus);
  sched_setaffinity(0, sizeof cpus, &cpus);
}

// Starts a program; cpu >= 0 pins it there, out_file (when given) takes
// its standard output.
inline pid_t spawn(const std::vector<std::string>& argv, int cpu = -1,
                   const std::string& out_file = "") {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (cpu >= 0) pin_to_cpu(cpu);
    if (!out_file.empty() && std::freopen(out_file.c_str(), "w", stdout) == nullptr) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

inline void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

inline int free_port() {
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(probe);
  return ntohs(address.sin_port);
}

inline bool accepts_connections(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(s);
  return ok;
}

// Waits up to 5 seconds for a server to listen.
inline bool wait_for_port(int port) {
  for (int i = 0; i < 200; ++i) {
    if (accepts_connections(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

inline bool write_file(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// The message of every round: a text and an HTML body of about 3 KB each
// and one 4 KB attachment (written to `attachment`), 12 KB or so once
// composed.
inline bool fill_message(MimeMessage* message, const std::string& attachment) {
  std::string bytes;
  for (int i = 0; i < 4096; ++i) bytes += static_cast<char>((i * 131 + 7) % 256);
  if (!write_file(attachment, bytes)) return false;
  std::string text, html = "<html><body>\n";
  for (int i = 0; text.size() < 3000; ++i) {
    text += "Line " + std::to_string(i) + " of the plain text body, the same for everyone.\n";
  }
  for (int i = 0; html.size() < 3000; ++i) {
    html += "<p>Paragraph " + std::to_string(i) + " of the <b>HTML</b> body.</p>\n";
  }
  html += "</body></html>\n";
  message->from = "Bench Sender <sender@example.test>";
  message->subject = "Benchmark message";
  message->text_body = String(text);
  message->html_body = String(html);
  message->add(String(attachment));
  return true;
}

// smtp-sink on 127.0.0.1:port (as nobody when run as root), pinned to cpu.
inline pid_t start_smtp_sink(int port, int cpu) {
  std::vector<std::string> args = {"/usr/sbin/smtp-sink"};
  if (geteuid() == 0) args.insert(args.end(), {"-u", "nobody"});
  args.insert(args.end(), {"127.0.0.1:" + std::to_string(port), "100"});
  return spawn(args, cpu);
}

}  // namespace tessaline::bench
