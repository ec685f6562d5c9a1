// The process entry of tessaline-mailer.
//
// With a switch the program does its work without a window and ends; its
// exit status tells a calling script what happened (ExitCode in
// app/application.h). It needs no display, and shows nothing but lines on
// standard error, even when a display is set.
//
// Without a switch the desktop program starts (toolkit/desktop_program.h),
// on the project named, if any: when there is a display and the program was
// built with its window; otherwise the start says why not and ends with
// kExitNoWindows. Such a start shows its fatal errors in the stop box, the
// command line's among them (two project files), so Qt's application object
// is made before the command line is read.
//
// A send from the command line (-s, -o) that did not complete opens the
// window on the project when there is a display, so that the person can
// mend it; the run still ends with kExitSend.
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/fatal_error.h"
#include "platform/display.h"
#include "storage/paths.h"
#include "mail/smtp_client.h"
#include "mail/smtp_server.h"
#include "db/odbc_library.h"
#include "app/application.h"
#include "app/clipboard.h"
#include "app/command_line.h"
#include "app/console_ui.h"
#include "app/usage.h"
#if TESSALINE_WITH_WINDOWS
#include "toolkit/desktop_program.h"
#endif

namespace {

using namespace tessaline;

String clipboard() { return read_clipboard_text(); }

#if TESSALINE_WITH_WINDOWS
// Any argument that reads as a switch (--help and --version among them)
// makes the run a command-line one.
bool has_switch(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') return true;
  }
  return false;
}

String project_path(const CommandLine& line) {
  return line.project.empty() ? String() : resolve_project_path(line.project, current_directory());
}
#endif

int no_window(const char* why) {
  std::fprintf(stderr,
               "tessaline-mailer: %s; give a switch to work on a project from the command "
               "line.\n\n",
               why);
  std::fputs(usage_text(), stderr);
  return kExitNoWindows;
}

}  // namespace

int main(int argc, char** argv) {
#if TESSALINE_WITH_WINDOWS
  std::unique_ptr<DesktopProgram> desktop;
  if (!has_switch(argc, argv) && display_available()) {
    desktop = std::make_unique<DesktopProgram>(argc, argv, kExitNoWindows);
  }
#endif
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
#if TESSALINE_WITH_WINDOWS
    if (desktop) return desktop->run(project_path(line), kExitDone);
    return no_window(
        "there is no display to open the window on (DISPLAY, WAYLAND_DISPLAY and "
        "QT_QPA_PLATFORM are unset)");
#else
    return no_window("this build has no window");
#endif
  }
  complete_command_line(line, clipboard);
  load_address_file(line);

  int status;
  const bool sending = line.mode == CommandMode::kSend || line.mode == CommandMode::kSendOnly;
  {
    ConsoleUi ui;
    Application app(ui);
    app.load_settings();
    bool sending = is_send(line.mode);
    if (sending || line.mode == CommandMode::kRemove) {
      // The program works without ODBC; the database features are then off.
      iniz_gdb();
      app.set_database_available(database_available());
    }
    if (sending) {
      net_startup();
      app.set_smtp_server_field(smtp_server_name());
      if (line.verbose) {
        // AUTH data never reaches the trace: the mail layer masks it.
        set_smtp_trace([](std::string_view text) {
          std::fwrite(text.data(), 1, text.size(), stderr);
          std::fputc('\n', stderr);
        });
      }
    }
    status = app.run_command_line(line);
    if (sending) net_shutdown();
    // An interrupted send has logged what it did not send; the run did not
    // do all its work, whatever the send itself reports. The message that
    // was on the wire when Ctrl-C came may have failed because of it: that
    // is still the interruption, not a failed mailing.
    if (ui.interrupted() && (status == kExitDone || status == kExitSend)) {
      status = kExitInterrupted;
    }
  }
#if TESSALINE_WITH_WINDOWS
  // Only a failed send opens the window; a removal's report has said it all.
  if (status == kExitSend && sending && display_available()) {
    DesktopProgram window(argc, argv, kExitSend);
    return window.run(project_path(line), kExitSend);
  }
#endif
  return status;
}
