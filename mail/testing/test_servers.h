// test_servers.h - real servers for the tests of delivery, on 127.0.0.1,
// started by a test on a free port and stopped by their process id: an
// SMTP server with TLS and a login (aiosmtpd, mail/testdata/secure_smtp.py),
// a DNS server (dnslib, mail/testdata/dns_server.py), and the certificates
// they need, made with openssl when the test runs. For tests and
// benchmarks only; nothing in the program links this.
#pragma once

#include <sys/types.h>

#include <string>
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

// aiosmtpd with the options of secure_smtp.py ("--starttls", "--login",
// "ann:secret", ...).
class SecureSmtpServer : public ScriptServer {
 public:
  bool start(const String& folder, const std::vector<std::string>& options, String* error) {
    return ScriptServer::start("secure_smtp.py", folder, options, error);
  }
  std::vector<ReceivedMail> messages() const;
  // One line per message received: "tls=yes login=ann".
  std::string sessions() const;
};

// dnslib answering from a zone text.
class TestDnsServer : public ScriptServer {
 public:
  bool start(const String& folder, const std::string& zone, String* error);
  // One line per query: "example.test MX".
  std::string queries() const;
};

}  // namespace tessaline::testing
