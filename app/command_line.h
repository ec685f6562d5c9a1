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
//                --remove ADDRESS...         take the addresses off every source
//                --remove-from FILE          the same, one address a line of FILE
//                --preview                   with the two above: change nothing
//                --resume                    continue the project's last send
//   -h, --help, --version
//
// and, beside -s, -o or --resume, the options of a send (each once):
//
//   --server HOST[:PORT]   the SMTP server of this run
//   --account NAME         the msmtp account of this run
//   --verbose              the SMTP dialogue on standard error
//   --rate N/UNIT          at most N messages per second, minute, hour or
//                          day (send/send_rate.h), instead of SendRate
//   --connections N        connections that deliver at once (1 to
//                          kMostConnections), instead of SendConnections
//
// and, beside -s or -o only, those that change what the send does:
//
//   --dry-run DIR    write each message into DIR instead of sending it
//   --limit N        stop after the first N recipients
//   --test ADDRESS   send the first messages (one, or --limit) to ADDRESS
//
// An option's value is the next argument or follows "=" (--limit=10).
//
// A switch starts with "-"; an argument starting with "/" is a path. The
// letter is matched without regard to case, and the rest of the token is
// the address; when it is empty, the next argument is the address if it
// holds an "@" (`-a john@example.com`). Any other argument is the project.
// After --remove every other argument is an address, but the last, which is
// the project; `--remove=ADDRESS` gives the first one joined.
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
//   "The %s option works only with a send (-s, -o or --resume)."
//   "The %s option needs a value."
//   "The %s option was given twice."
//   "The server given with --server is not valid: ..."
//   "No email address followed the --remove switch."
//   "No address file followed the --remove-from switch."
//   "Because of the potential for catastrophic consequences, the email
//    address must be at least 6 characters long."
//   "The --preview switch goes with --remove or --remove-from only."
//   "Unable to read the address file:\n%s"
//   "The address file holds no email address:\n%s"
//   "The --limit option needs a whole number above 0."
//   "The %s option cannot be used with --resume: a resumed send goes on as
//    it began."
//   "The --test option cannot be used with -o, which sends to its own address."
//   "The --rate option needs a number of messages per unit of time, such as
//    30/min or 500/hour:\n%s"
//   "The --connections option needs a whole number from 1 to 32."
#pragma once

#include "core/containers.h"
#include "core/string.h"
#include "send/send_rate.h"
#include "send/send_settings.h"

namespace tessaline {

enum class CommandMode {
  kNone, kAddRecipient, kAddExclusion, kSendOnly, kSend, kRemove, kResume
};

struct CommandLine {
  CommandMode mode = CommandMode::kNone;
  String switch_text;  // the switch as typed, without its address: "-a", "-A", "--send-only"
  String project;      // as given; empty when none
  String address;      // as given; empty when none
  // --remove: the addresses as given (cleaned by complete_command_line);
  // --remove-from: none until load_address_file() has read the file.
  Vector<String> remove_addresses;
  String address_file;   // --remove-from: the file ("-": standard input)
  bool preview = false;  // --preview
  bool help = false;     // -h or --help: print the usage and end
  bool version = false;  // --version
  String server;         // --server, as given (checked by complete_command_line)
  String account;        // --account
  bool verbose = false;  // --verbose
  String dry_run;        // --dry-run DIR
  String limit;          // --limit N, as given (checked by complete_command_line)
  int limit_count = 0;   // ... read
  String test_address;   // --test ADDRESS (cleaned by complete_command_line)
  String rate;           // --rate N/UNIT, as given (checked by complete_command_line)
  SendRate rate_value;   // ... read
  String connections;    // --connections N, as given (checked by complete_command_line)
  int connections_count = 0;  // ... read; 0 when not given
};

// -s, -o and --resume: the modes that send, and take the options of a send.
bool is_send(CommandMode mode);

// Reads the arguments after the program name. A help or version request
// anywhere wins over everything else and is not checked further.
CommandLine parse_command_line(int argc, const char* const* argv);

// The checks that follow the parse when a switch was given, in their order:
// the options of a send come only with a send and fit with its switch,
// --server must be HOST or HOST:PORT, a project must be named, and -a, -e
// and -o need an address, taken from
// `clipboard` when none was typed (`clipboard` may be null: no clipboard).
// The address is then cleaned (clean_address) and must hold exactly one
// "@" and no line break. FatalError on failure.
using ClipboardReader = String (*)();
void complete_command_line(CommandLine& line, ClipboardReader clipboard);

// --remove-from: reads the address file (or standard input for "-"), one
// address a line, blank lines skipped, into `remove_addresses`, each one
// checked as a typed one. FatalError when it cannot be read, holds none, or
// holds one that is not valid.
void load_address_file(CommandLine& line);

// An address to remove as typed or read, made ready for the removal: cleaned
// (clean_address), then the part inside the angle brackets of "Name
// <address>". It must hold one "@" with text on both sides and no blank,
// tab or line break, and at least 6 characters; FatalError otherwise. So a
// script cannot take off a whole domain ("@example.com") by mistake.
String check_remove_address(const String& address);

// Trims blanks, tabs and line ends at both ends, then removes one pair of
// enclosing double quotes, then one pair of enclosing angle brackets, and
// trims again. "John <john@example.com>" stays whole.
String clean_address(const String& address);

// The project file of a command-line run: a relative name is taken against
// `current_directory`, and a file name without a "." gets ".zqj".
String resolve_project_path(const String& name, const String& current_directory);

}  // namespace tessaline
