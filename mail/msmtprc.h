// msmtprc.h - reads the default account's host and port from an msmtp
// configuration text, the usual place where a Linux user has named the
// mail server.
//
// The default account is the one named "default" ("account default : work"
// makes it inherit everything from "work"); "defaults" lines apply to every
// account defined after them; "account NAME : A, B" inherits A, then B.
// Only "host" and "port" are taken; every other command is skipped.
//
// Not for: writing the file, passwords, TLS or any other msmtp setting.
//
// Failures: the text is untrusted. A line that cannot be understood is
// skipped, a port outside 1..65535 is ignored, a host holding spaces or
// control characters is ignored, and only the first kMaxText bytes are
// read. No account "default", or one without a host, gives false.
#pragma once

#include <string_view>

#include "core/string.h"

namespace tessaline {

struct MsmtpAccount {
  String host;
  int port = 0;  // 0: not given
};

constexpr int kMaxMsmtprcText = 1 << 20;

bool read_msmtp_default_account(std::string_view text, MsmtpAccount* account);

}  // namespace tessaline
