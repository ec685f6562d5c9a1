#include "app/usage.h"

namespace tessaline {

const char* usage_text() {
  return "Usage: tessaline-mailer [PROJECT]\n"
         "       tessaline-mailer SWITCH PROJECT\n"
         "\n"
         "Sends one personalised e-mail message to each recipient of a mailing\n"
         "project (a .zqj file). Started without a switch it opens the desktop\n"
         "program, with PROJECT open when one is given. With a switch it does its\n"
         "work without a window and ends: errors go to standard error, nothing\n"
         "waits for an answer.\n"
         "\n"
         "Switches (one per run; the address may be joined to the letter, as in\n"
         "-ajohn@example.com, or follow as the next argument):\n"
         "  -a ADDRESS, --add-recipient ADDRESS\n"
         "                 add ADDRESS to the project's typed recipient list and\n"
         "                 save the project\n"
         "  -e ADDRESS, --add-exclusion ADDRESS\n"
         "                 add ADDRESS to the project's typed exclusion list and\n"
         "                 save the project\n"
         "  -o ADDRESS, --send-only ADDRESS\n"
         "                 send the project's message to ADDRESS only; the project\n"
         "                 file is not changed\n"
         "  -s, --send     send the project's mailing to all its recipients,\n"
         "                 without preview and without questions\n"
         "  --help         show this text and end\n"
         "  --version      show the program's name and version and end\n"
         "\n"
         "With -a, -e or -o and no address, the address is taken from the\n"
         "clipboard (when a display is available). A project named without a\n"
         "folder is looked for in the current directory; a name without an\n"
         "extension gets \".zqj\".\n"
         "\n"
         "Exit status: 0 when the work was done, 1 for a command-line error,\n"
         "non-zero when the project could not be opened or a message failed.\n"
         "\n"
         "Environment: TESSALINE_HOME, when set, holds the settings, the send log\n"
         "and the scratch files instead of the per-user XDG folders.\n";
}

const char* version_text() { return "Tessaline Mailer 6.0"; }

}  // namespace tessaline
