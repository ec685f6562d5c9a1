#include "app/usage.h"

namespace tessaline {

const char* usage_text() {
  return "Usage: tessaline-mailer [PROJECT]\n"
         "       tessaline-mailer SWITCH PROJECT\n"
         "\n"
         "Sends one personalised e-mail message to each recipient of a mailing\n"
         "project (a .zqj file). Started without a switch it opens the desktop\n"
         "program, with PROJECT open when one is given (a window already running\n"
         "comes forward and opens PROJECT instead). With a switch it does its\n"
         "work without a window and ends: errors go to standard error, nothing\n"
         "waits for an answer.\n"
         "\n"
         "Switches (one per run; the address may be joined to the letter, as in\n"
         "-ajohn@example.com, or follow as the next argument when it holds an \"@\"):\n"
         "  -a ADDRESS, --add-recipient[=]ADDRESS\n"
         "                 add ADDRESS to the project's typed recipient list and\n"
         "                 save the project\n"
         "  -e ADDRESS, --add-exclusion[=]ADDRESS\n"
         "                 add ADDRESS to the project's typed exclusion list and\n"
         "                 save the project (-a and -e say so when the project\n"
         "                 does not use that list)\n"
         "  -o ADDRESS, --send-only[=]ADDRESS\n"
         "                 send the project's message to ADDRESS only; the project\n"
         "                 file is not changed\n"
         "  -s, --send     send the project's mailing to all its recipients,\n"
         "                 without preview and without questions\n"
         "  -h, --help     show this text and end\n"
         "  --version      show the program's name and version and end\n"
         "\n"
         "With -a, -e or -o and no address, the address is taken from the\n"
         "clipboard (only when a display is set: wl-paste or xclip). A project\n"
         "named without a leading \"/\" is looked for from the current directory;\n"
         "a name without an extension gets \".zqj\".\n"
         "\n"
         "Exit status:\n"
         "  0  the work was done (for a send: no message failed)\n"
         "  1  a command-line error\n"
         "  2  the project could not be opened or saved\n"
         "  3  the send stopped at a check, or a message failed; the send log\n"
         "     (Trenk.LOG) says which\n"
         "  4  no switch was given, and there is no display to open the window on\n"
         "     (or the program was built without it)\n"
         "  130  Ctrl-C stopped the send; the log names each message not sent\n"
         "\n"
         "Environment: TESSALINE_HOME, when set, holds the settings, the send log\n"
         "and the scratch files instead of the per-user XDG folders.\n";
}

const char* version_text() { return "Tessaline Mailer 6.0"; }

}  // namespace tessaline
