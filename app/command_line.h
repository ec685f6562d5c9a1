// command_line.h - reading the switches of an unattended run.
//
// Another program (a web form handler, a cron job, a mail filter) drives
// the mailer through its arguments: add an address to a project's typed
// recipient or exclusion list, send the project to one address, or send the
// whole mailing, and then end. The shell has already split the words, so
// each argument is one token:
//
//   -a[ADDRESS]  --add-recipient[=ADDRESS]   add to `recipient_text`, save
//   -e[ADDRESS]  --add-exclusion[=ADDRESS]   add to `exclusion text`, save
//   -o[ADDRESS]  --send-only[=ADDRESS]       send to this address only
//   -s           --send                      send the mailing unattended
//   -h, --help, --version
//
// and, beside -s or -o, the options of a send (each once):
//
//   --server HOST[:PORT]   the SMTP server of this run
//   --account NAME         the msmtp account of this run
//   --verbose              the SMTP dialogue on standard error
//
// A switch starts with "-"; an argument starting with "/" is a path. The
// letter is matched without regard to case, and the rest of the token is
// the address; when it is empty, the next argument is the address if it
// holds an "@" (`-a john@example.com`). Any other argument is the project.
//
// Not for: opening or changing the project (Application does that).
//
// Failures: every mistake is a FatalError with its message (exit code 1),
// with the switch written as the person typed it:
//   "Invalid command line parameter:\n%s"      a second project name
//   "Invalid command line switch:\n%s"         a second or unknown switch
//   "The -s switch cannot be followed by an email address."
//   "No project file was specified."
//   "No email address followed the -a switch.  Nor was an email address
//    found in the clipboard."
//   "This email address is not valid:\n%s"
//   "The %s option works only with a send (-s or -o)."
//   "The %s option needs a value."
//   "The server given with --server is not valid: ..."
#pragma once

#include "core/string.h"

namespace tessaline {

enum class CommandMode { kNone, kAddRecipient, kAddExclusion, kSendOnly, kSend };

struct CommandLine {
  CommandMode mode = CommandMode::kNone;
  String switch_text;  // the switch as typed, without its address: "-a", "-A", "--send-only"
  String project;      // as given; empty when none
  String address;      // as given; empty when none
  bool help = false;     // -h or --help: print the usage and end
  bool version = false;  // --version
  String server;         // --server, as given (checked by complete_command_line)
  String account;        // --account
  bool verbose = false;  // --verbose
};

// Reads the arguments after the program name. A help or version request
// anywhere wins over everything else and is not checked further.
CommandLine parse_command_line(int argc, const char* const* argv);

// The checks that follow the parse when a switch was given, in their order:
// the options of a send come only with -s or -o, --server must be HOST or
// HOST:PORT, a project must be named, and -a, -e and -o need an address, taken from
// `clipboard` when none was typed (`clipboard` may be null: no clipboard).
// The address is then cleaned (clean_address) and must hold exactly one
// "@" and no line break. FatalError on failure.
using ClipboardReader = String (*)();
void complete_command_line(CommandLine& line, ClipboardReader clipboard);

// Trims blanks, tabs and line ends at both ends, then removes one pair of
// enclosing double quotes, then one pair of enclosing angle brackets, and
// trims again. "John <john@example.com>" stays whole.
String clean_address(const String& address);

// The project file of a command-line run: a relative name is taken against
// `current_directory`, and a file name without a "." gets ".zqj".
String resolve_project_path(const String& name, const String& current_directory);

}  // namespace tessaline
