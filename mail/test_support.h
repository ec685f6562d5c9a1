// test_support.h - small helpers shared by the mail tests (test code only).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/string.h"
#include "mail/smtp_server.h"

namespace tessaline {

// Program settings in memory, all under kToolkitKey: texts and numbers by
// name.
class MapRegistry : public RegistryReader {
 public:
  std::map<std::string, std::string> texts;
  std::map<std::string, int> numbers;
  bool key_exists(std::string_view key) const override { return key == kToolkitKey; }
  bool read_text(std::string_view key, std::string_view name, String* value) const override {
    auto found = texts.find(std::string(name));
    if (key != kToolkitKey || found == texts.end()) return false;
    *value = String(found->second);
    return true;
  }
  bool read_number(std::string_view key, std::string_view name, int* value) const override {
    auto found = numbers.find(std::string(name));
    if (key != kToolkitKey || found == numbers.end()) return false;
    *value = found->second;
    return true;
  }
};

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

// What a mail reader sees in a message, as mail/testdata/read_mail.py
// (Python's email package with its current policy) tells it.
struct ReaderPart {
  std::string type, charset, transfer_encoding, disposition, filename;
  std::string content;  // decoded: the text in UTF-8, or the bytes
};
struct ReaderAddress {
  std::string header, display_name, address;
};
struct ReaderView {
  std::vector<std::pair<std::string, std::string>> headers;  // in order, decoded
  std::vector<ReaderAddress> addresses;
  std::vector<std::pair<std::string, std::string>> dates;  // name, ISO date and time
  std::vector<std::string> multiparts;
  std::vector<ReaderPart> parts;
  std::vector<std::string> defects;  // "where: name"

  // The first header of the name (case does not matter), or "".
  std::string header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
      if (same_name(key, name)) return value;
    }
    return std::string();
  }
  int count(std::string_view name) const {
    int n = 0;
    for (const auto& entry : headers) n += same_name(entry.first, name);
    return n;
  }

 private:
  static bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(a[i])) !=
          std::tolower(static_cast<unsigned char>(b[i]))) {
        return false;
      }
    }
    return true;
  }
};

inline std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// Has the messages read, all by one run of the reader; false with *error
// when it could not run. `folder` is where the messages and the reader's
// answer are written.
inline bool read_as_mail_reader(const std::vector<std::string>& messages,
                                const std::string& folder, std::vector<ReaderView>* views,
                                std::string* error);

inline bool read_as_mail_reader(std::string_view message, const std::string& folder,
                                ReaderView* view, std::string* error) {
  std::vector<ReaderView> views;
  if (!read_as_mail_reader({std::string(message)}, folder, &views, error)) return false;
  *view = views.at(0);
  return true;
}

// A DKIM key pair made with openssl for a test: the private key file
// (PEM) and the public key (DER). `kind` is "rsa" or "ed25519".
struct DkimTestKey {
  std::string kind, private_pem, public_der;
};
inline bool make_dkim_key(const std::string& folder, const std::string& kind, DkimTestKey* key,
                          int rsa_bits = 2048) {
  key->kind = kind;
  key->private_pem = folder + "/dkim-" + kind + "-" + std::to_string(rsa_bits) + ".pem";
  key->public_der = folder + "/dkim-" + kind + "-" + std::to_string(rsa_bits) + ".der";
  std::vector<std::string> make = {"/usr/bin/openssl", "genpkey", "-algorithm",
                                   kind == "rsa" ? "RSA" : "ED25519", "-out", key->private_pem};
  if (kind == "rsa") {
    make.push_back("-pkeyopt");
    make.push_back("rsa_keygen_bits:" + std::to_string(rsa_bits));
  }
  return run_program(make, "/dev/null") == 0 &&
         run_program({"/usr/bin/openssl", "pkey", "-in", key->private_pem, "-pubout", "-outform",
                      "DER", "-out", key->public_der},
                     "/dev/null") == 0;
}

// What python3-dkim says of each message's signature checked against the
// key for selector._domainkey.domain: "pass", or "fail" and its reasons
// (all "fail" when the verifier could not run).
inline std::vector<std::string> dkim_verdicts(const std::vector<std::string>& messages,
                                              const DkimTestKey& key,
                                              const std::string& selector,
                                              const std::string& domain,
                                              const std::string& folder) {
  std::vector<std::string> command = {
      "/usr/bin/python3", std::string(TESSALINE_SOURCE_DIR) + "/mail/testdata/verify_dkim.py",
      selector, domain, key.public_der, key.kind};
  for (size_t i = 0; i < messages.size(); ++i) {
    command.push_back(folder + "/dkim-message-" + std::to_string(i) + ".eml");
    write_file(command.back(), messages[i]);
  }
  const std::string answer_file = folder + "/dkim-answer.txt";
  int status = run_program(command, answer_file);
  std::vector<std::string> verdicts;
  std::istringstream lines(read_file(answer_file));
  std::string line;
  while (std::getline(lines, line)) verdicts.push_back(line);
  if (status != 0 || verdicts.size() != messages.size()) {
    verdicts.assign(messages.size(), "fail: the verifier ended with status " +
                                         std::to_string(status));
  }
  return verdicts;
}

inline bool dkim_verifies(std::string_view message, const DkimTestKey& key,
                          const std::string& selector, const std::string& domain,
                          const std::string& folder, std::string* answer) {
  *answer = dkim_verdicts({std::string(message)}, key, selector, domain, folder).at(0);
  return *answer == "pass";
}

// Stops a program this test started, by its process id.
inline void stop_program(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

inline bool read_as_mail_reader(const std::vector<std::string>& messages,
                                const std::string& folder, std::vector<ReaderView>* views,
                                std::string* error) {
  views->clear();
  std::vector<std::string> command = {
      "/usr/bin/python3", std::string(TESSALINE_SOURCE_DIR) + "/mail/testdata/read_mail.py"};
  for (size_t i = 0; i < messages.size(); ++i) {
    command.push_back(folder + "/reader-message-" + std::to_string(i) + ".eml");
    write_file(command.back(), messages[i]);
  }
  const std::string answer_file = folder + "/reader-answer.txt";
  int status = run_program(command, answer_file);
  if (status != 0) {
    *error = "the reader ended with status " + std::to_string(status);
    return false;
  }
  std::istringstream lines(read_file(answer_file));
  std::string line;
  while (std::getline(lines, line)) {
    // The kind, then the texts in hex.
    std::vector<std::string> f;
    std::string field;
    std::istringstream fields(line);
    while (std::getline(fields, field, '\t')) f.push_back(f.empty() ? field : from_hex(field));
    if (line.ends_with('\t')) f.push_back("");
    const std::string kind = f.empty() ? "" : f[0];
    if (kind == "message") {
      views->emplace_back();
      continue;
    }
    if (views->empty()) {
      *error = "the reader said something before its first message: " + line;
      return false;
    }
    ReaderView* view = &views->back();
    if (kind == "header" && f.size() == 3) {
      view->headers.emplace_back(f[1], f[2]);
    } else if (kind == "address" && f.size() == 4) {
      view->addresses.push_back({f[1], f[2], f[3]});
    } else if (kind == "date" && f.size() == 3) {
      view->dates.emplace_back(f[1], f[2]);
    } else if (kind == "multipart" && f.size() == 2) {
      view->multiparts.push_back(f[1]);
    } else if (kind == "part" && f.size() == 7) {
      view->parts.push_back({f[1], f[2], f[3], f[4], f[5], f[6]});
    } else if (kind == "defect" && f.size() == 3) {
      view->defects.push_back(f[1] + ": " + f[2]);
    } else {
      *error = "the reader said something unexpected: " + line;
      return false;
    }
  }
  return true;
}

}  // namespace testing
}  // namespace tessaline
