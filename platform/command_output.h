// command_output.h - runs a command the person configured and takes the
// first line of what it prints: how a password or an access token is
// fetched from a password manager, a key ring or an encrypted file
// ("pass show mail", "secret-tool lookup host smtp.example.com",
// "gpg -q -d ~/.mail-password.gpg").
//
// The command is a shell command line, run by /bin/sh -c as msmtp runs its
// passwordeval, because it comes from the person's own configuration (an
// msmtp account, the program's settings) and may use pipes. Nothing from a
// project, a recipient list or a server ever reaches it: callers pass only
// configured text. Its standard input is /dev/null; its standard error is
// the program's, so a password manager's messages reach the person.
//
// Not for: starting programs with arguments from data (open_document does
// that without a shell).
//
// Failures: false with a reason: the command could not be started, ended
// with a non-zero status or a signal, printed nothing, or did not end
// within the time limit (it is then killed by its process id). The output
// is a secret: it is never part of a reason.
#pragma once

#include "core/string.h"

namespace tessaline {

bool first_line_of_command(const String& command, int timeout_seconds, String* line,
                           String* reason);

}  // namespace tessaline
