#include "mail/testing/test_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace tessaline::testing {

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return bool(out);
}

// Runs a program to its end with its output in `log`; true on status 0.
bool run(const std::vector<std::string>& argv, const std::string& log) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const char kOpenssl[] = "/usr/bin/openssl";

}  // namespace

bool TestCertificates::make(const String& folder, String* error) {
  folder_ = folder;
  const std::string d = folder.std_string();
  const std::string log = d + "/openssl.log";
  auto ok = [&](const std::vector<std::string>& argv) {
    if (run(argv, log)) return true;
    *error = ("openssl failed: " + read_text(log)).c_str();
    return false;
  };
  auto make_ca = [&](const std::string& name, const std::string& subject) {
    return ok({kOpenssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
               "-nodes", "-keyout", d + "/" + name + ".key", "-out", d + "/" + name + ".pem",
               "-days", "30", "-subj", subject, "-addext", "basicConstraints=critical,CA:TRUE",
               "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
  };
  auto request = [&](const std::string& name, const std::string& host, const std::string& names) {
    return ok({kOpenssl, "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
               "-nodes", "-keyout", d + "/" + name + ".key", "-out", d + "/" + name + ".csr",
               "-subj", "/CN=" + host, "-addext", "subjectAltName=" + names});
  };
  auto sign = [&](const std::string& name, const std::string& ca) {
    return ok({kOpenssl, "x509", "-req", "-in", d + "/" + name + ".csr", "-CA", d + "/" + ca + ".pem",
               "-CAkey", d + "/" + ca + ".key", "-CAcreateserial", "-days", "30",
               "-copy_extensions", "copy", "-out", d + "/" + name + ".pem"});
  };
  const std::string local = "DNS:localhost,IP:127.0.0.1";
  if (!make_ca("ca", "/CN=Tessaline Test CA") || !make_ca("other_ca", "/CN=Nobody's CA") ||
      !request("good", "localhost", local) || !sign("good", "ca") ||
      !request("wrong_name", "other.example.test", "DNS:other.example.test") ||
      !sign("wrong_name", "ca") || !request("unknown_ca", "localhost", local) ||
      !sign("unknown_ca", "other_ca") || !request("expired", "localhost", local)) {
    return false;
  }
  // A certificate from the past needs "openssl ca", which can set dates.
  std::string config = "[ca]\ndefault_ca = test\n[test]\ndatabase = " + d +
                       "/index.txt\nnew_certs_dir = " + d + "\nserial = " + d +
                       "/serial\ndefault_md = sha256\npolicy = any\ncopy_extensions = copy\n"
                       "[any]\ncommonName = supplied\n";
  if (!write_text(d + "/ca.cnf", config) || !write_text(d + "/index.txt", "") ||
      !write_text(d + "/serial", "1000\n")) {
    *error = "cannot write the CA's files";
    return false;
  }
  return ok({kOpenssl, "ca", "-batch", "-notext", "-config", d + "/ca.cnf", "-cert", d + "/ca.pem",
             "-keyfile", d + "/ca.key", "-in", d + "/expired.csr", "-out", d + "/expired.pem",
             "-startdate", "20200101000000Z", "-enddate", "20200201000000Z"});
}

bool ScriptServer::start(const char* script, const String& folder,
                         const std::vector<std::string>& arguments, String* error) {
  stop();
  folder_ = folder;
  std::string path = std::string(TESSALINE_SOURCE_DIR) + "/mail/testdata/" + script;
  std::vector<std::string> argv = {"/usr/bin/python3", path, folder.std_string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::string log = folder.std_string() + "/server.log";
  pid_ = fork();
  if (pid_ < 0) {
    *error = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0) dup2(in, 0);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  std::string port_file = folder.std_string() + "/port";
  for (int i = 0; i < 600; ++i) {
    std::string text = read_text(port_file);
    if (!text.empty()) {
      port_ = std::atoi(text.c_str());
      return true;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  *error = ("the server did not start: " + read_text(log)).c_str();
  stop();
  return false;
}

void ScriptServer::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

bool SecureSmtpServer::start_listeners(const String& folder,
                                       const std::vector<std::vector<std::string>>& listeners,
                                       String* error) {
  listeners_.clear();
  std::vector<std::string> arguments;
  for (size_t k = 0; k < listeners.size(); ++k) {
    if (k > 0) arguments.push_back("+");
    arguments.insert(arguments.end(), listeners[k].begin(), listeners[k].end());
  }
  if (!ScriptServer::start("secure_smtp.py", folder, arguments, error)) return false;
  // The first port is written when every listener listens.
  listeners_.emplace_back(folder, port());
  for (size_t k = 1; k < listeners.size(); ++k) {
    String where = folder + "/" + std::to_string(k).c_str();
    int port = std::atoi(read_text(where.std_string() + "/port").c_str());
    if (port <= 0) {
      *error = "a listener of the server did not say its port";
      stop();
      return false;
    }
    listeners_.emplace_back(where, port);
  }
  return true;
}

std::vector<ReceivedMail> SmtpMailbox::messages() const {
  std::vector<ReceivedMail> all;
  for (int n = 1;; ++n) {
    std::string base = folder_.std_string() + "/" + std::to_string(n);
    std::string envelope = read_text(base + ".envelope");
    if (envelope.empty()) break;
    ReceivedMail mail;
    std::istringstream lines(envelope);
    std::string line;
    std::getline(lines, line);
    mail.mail_from = line.c_str();
    while (std::getline(lines, line)) mail.recipients.push_back(line.c_str());
    mail.data = String(read_text(base + ".eml"));
    all.push_back(mail);
  }
  return all;
}

std::string SmtpMailbox::sessions() const {
  return read_text(folder_.std_string() + "/sessions.log");
}

std::string SmtpMailbox::server_names() const {
  return read_text(folder_.std_string() + "/server_names.log");
}

std::vector<ReceivedMail> SmtpMailbox::new_messages() {
  std::vector<ReceivedMail> all = messages();
  std::vector<ReceivedMail> fresh(all.begin() + std::min(messages_seen_, all.size()), all.end());
  messages_seen_ = all.size();
  return fresh;
}

std::string SmtpMailbox::new_sessions() {
  std::string all = sessions();
  std::string fresh = all.substr(std::min(sessions_seen_, all.size()));
  sessions_seen_ = all.size();
  return fresh;
}

bool TestDnsServer::start(const String& folder, const std::string& zone, String* error) {
  std::string zone_file = folder.std_string() + "/zone.txt";
  if (!write_text(zone_file, zone)) {
    *error = "cannot write the zone file";
    return false;
  }
  return ScriptServer::start("dns_server.py", folder, {zone_file}, error);
}

std::string TestDnsServer::queries() const {
  return read_text(folder().std_string() + "/queries.log");
}

std::string TestDnsServer::new_queries() {
  std::string all = queries();
  std::string fresh = all.substr(std::min(queries_seen_, all.size()));
  queries_seen_ = all.size();
  return fresh;
}

HeldPort::HeldPort(Kind kind) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      (kind == kSilent && ::listen(fd_, 16) != 0)) {
    return;  // port() stays 0, which no connection reaches
  }
  port_ = ntohs(address.sin_port);
}

HeldPort::~HeldPort() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace tessaline::testing
