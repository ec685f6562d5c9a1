// msmtprc.h - reads one account of an msmtp configuration text, the usual
// place where a Linux user keeps the mail server, its TLS settings and the
// login.
//
// The account is the one asked for by name, or the one named "default"
// ("account default : work" makes it inherit everything from "work").
// "defaults" lines apply to every account defined after them; "account
// NAME : A, B" inherits what A, then B, set. The commands taken are host,
// port, from, tls, tls_starttls, tls_trust_file, tls_certcheck, auth,
// user, password and passwordeval, read as msmtp reads them; every other
// command is skipped.
//
// Not for: writing the file, running passwordeval (mail/smtp_route.h does
// that when a login needs it), msmtp's own fallbacks for a password (key
// rings, ~/.netrc, a prompt).
//
// Failures: the text is untrusted. A line that cannot be understood is
// skipped, a port outside 1..65535 is ignored, a host holding spaces or
// control characters is ignored, an on/off command with another word is
// ignored, and only the first kMaxMsmtprcText bytes are read. An account
// that is not there, or has no host, gives false.
#pragma once

#include <string_view>

#include "core/string.h"

namespace tessaline {

struct MsmtpAccount {
  String name;              // as asked for ("default" for the default one)
  String host;
  int port = 0;             // 0: not given
  String from;
  bool tls = false;
  bool tls_starttls = true;  // off: TLS from the start (port 465)
  String tls_trust_file;    // empty: the system's trusted certificates
  bool tls_certcheck = true;
  bool auth_given = false;  // an "auth" line was there
  String auth;              // its argument as written ("on", "plain", ...)
  String user;
  bool password_given = false;
  String password;          // held in memory only, never written anywhere
  String passwordeval;      // a command whose output's first line is the password
};

constexpr int kMaxMsmtprcText = 1 << 20;

// The account `name` (empty: "default"). `home` expands a leading "~/" in
// tls_trust_file, as msmtp does.
bool read_msmtp_account(std::string_view text, std::string_view name, MsmtpAccount* account,
                        std::string_view home = {});
bool read_msmtp_default_account(std::string_view text, MsmtpAccount* account);

}  // namespace tessaline
