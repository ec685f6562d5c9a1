// test_servers.h - real servers for the tests of delivery, on 127.0.0.1,
// started by a test on a free port and stopped by their process id: an
// SMTP server with TLS and a login (aiosmtpd, mail/testdata/secure_smtp.py),
// a DNS server (dnslib, mail/testdata/dns_server.py), and the certificates
// they need, made with openssl when the test runs. For tests and
// benchmarks only; nothing in the program links this.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "core/string.h"

namespace tessaline::testing {

// Certificates made with the openssl command in a folder: a test CA
// (ca.pem) and, for each kind, KIND.pem and KIND.key:
//   good        made out to localhost and 127.0.0.1, signed by the CA
//   wrong_name  made out to other.example.test, signed by the CA
//   expired     like good, but valid only in January 2020
//   unknown_ca  like good, signed by another CA that nothing trusts
class TestCertificates {
 public:
  bool make(const String& folder, String* error);
  String ca_file() const { return folder_ + "/ca.pem"; }
  String certificate(const char* kind) const { return folder_ + "/" + kind + ".pem"; }
  String key(const char* kind) const { return folder_ + "/" + kind + ".key"; }

 private:
  String folder_;
};

// A process of /usr/bin/python3 running a script of mail/testdata that
// writes the port it listens on to FOLDER/port.
class ScriptServer {
 public:
  ScriptServer() = default;
  ~ScriptServer() { stop(); }
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  // Starts `script` with FOLDER (which must exist) and the arguments; false
  // with a reason when it does not say its port within half a minute.
  bool start(const char* script, const String& folder, const std::vector<std::string>& arguments,
             String* error);
  void stop();
  int port() const { return port_; }
  const String& folder() const { return folder_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  String folder_;
};

struct ReceivedMail {
  String mail_from;
  std::vector<String> recipients;
  String data;
};

// What one listener of the SMTP server received, read from its folder
// (the server writes a message's files before it answers the message).
class SmtpMailbox {
 public:
  SmtpMailbox(String folder, int port) : folder_(std::move(folder)), port_(port) {}
  int port() const { return port_; }
  std::vector<ReceivedMail> messages() const;
  // One line per message received: "tls=yes login=ann".
  std::string sessions() const;
  // One line per TLS handshake: the host name the client sent (SNI), or
  // "-".
  std::string server_names() const;
  // Only what came since the last call, for a server that several tests
  // or cases share.
  std::vector<ReceivedMail> new_messages();
  std::string new_sessions();

 private:
  String folder_;
  int port_ = 0;
  size_t messages_seen_ = 0;
  size_t sessions_seen_ = 0;
};

// aiosmtpd with the options of secure_smtp.py ("--starttls", "--login",
// "ann:secret", ...): one listener, or several in one process.
class SecureSmtpServer : public ScriptServer {
 public:
  bool start(const String& folder, const std::vector<std::string>& options, String* error) {
    return start_listeners(folder, {options}, error);
  }
  bool start_listeners(const String& folder, const std::vector<std::vector<std::string>>& listeners,
                       String* error);
  // The listeners in the order of start_listeners(); 0 is port().
  SmtpMailbox& listener(size_t k) { return listeners_.at(k); }
  std::vector<ReceivedMail> messages() const { return listeners_.at(0).messages(); }
  std::string sessions() const { return listeners_.at(0).sessions(); }

 private:
  std::vector<SmtpMailbox> listeners_;
};

// dnslib answering from a zone text.
class TestDnsServer : public ScriptServer {
 public:
  bool start(const String& folder, const std::string& zone, String* error);
  // One line per query: "example.test MX".
  std::string queries() const;
  // Only the queries since the last call.
  std::string new_queries();

 private:
  size_t queries_seen_ = 0;
};

// A port of 127.0.0.1 held by the test for as long as the object lives:
// bound but not listening, so that a connection is refused at once, or
// listening without ever accepting, so that a connection is made and
// nothing ever answers.
class HeldPort {
 public:
  enum Kind { kRefusing, kSilent };
  explicit HeldPort(Kind kind);
  ~HeldPort();
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace tessaline::testing
