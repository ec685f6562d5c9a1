// The process entry of tessaline-mailer.
//
// With a switch the program does its work without a window and ends; its
// exit status tells a calling script what happened (ExitCode in
// app/application.h). Without a switch the desktop program would start.
#include <cstdio>

#include "core/fatal_error.h"
#include "mail/smtp_server.h"
#include "db/odbc_library.h"
#include "app/application.h"
#include "app/clipboard.h"
#include "app/command_line.h"
#include "app/console_ui.h"
#include "app/usage.h"

namespace {

tessaline::String clipboard() { return tessaline::read_clipboard_text(); }

}  // namespace

int main(int argc, char** argv) {
  using namespace tessaline;
  CommandLine line = parse_command_line(argc, argv);
  if (line.help) {
    std::fputs(usage_text(), stdout);
    return kExitDone;
  }
  if (line.version) {
    std::printf("%s\n", version_text());
    return kExitDone;
  }
  if (line.mode == CommandMode::kNone) {
    std::fputs("tessaline-mailer: this build has no windows yet; give a switch to work on a "
               "project from the command line.\n\n",
               stderr);
    std::fputs(usage_text(), stderr);
    return kExitNoWindows;
  }
  complete_command_line(line, clipboard);

  ConsoleUi ui;
  Application app(ui);
  app.load_settings();
  bool sending = line.mode == CommandMode::kSend || line.mode == CommandMode::kSendOnly;
  if (sending) {
    // The program works without ODBC; the database features are then off.
    iniz_gdb();
    app.set_database_available(database_available());
    net_startup();
    app.set_smtp_server_field(smtp_server_name());
  }
  int status = app.run_command_line(line);
  if (sending) net_shutdown();
  // An interrupted send has logged what it did not send; the run did not
  // do all its work, whatever the send itself reports. The message that was
  // on the wire when Ctrl-C came may have failed because of it: that is still
  // the interruption, not a failed mailing.
  if (ui.interrupted() && (status == kExitDone || status == kExitSend)) status = kExitInterrupted;
  return status;
}
