// desktop_program.h - the desktop program: Qt's application object, one
// window for each user, the main window over the Application, and the
// event loop.
//
// app/main.cpp makes a DesktopProgram for a start that opens the window: a
// start without a switch when there is a display, and a send from the
// command line that did not complete, whose project the person is then to
// see. In order, run():
//   1. hands the start over to the user's running window, if one runs
//      (toolkit/single_instance.h), and ends: that window comes forward and
//      opens the project named, if any;
//   2. loads the ODBC driver manager and sets the database-available flag,
//      reads the SMTP server settings;
//   3. builds the main window, which loads the settings file and queues the
//      auto-open of the last project (a project named on the command line
//      is opened instead), and plugs the Remove Recipients window and the
//      send's Preview window into it;
//   4. shows the window, starts the web layer, and runs the event loop until
//      the window closes; closing it (also on SIGTERM or SIGINT, as at the
//      end of a desktop session) closes the project, asking to save;
//   5. shuts the network layer down.
// While the window runs, a later start hands its request over: the window
// is brought forward (un-minimised, raised, activated; a desktop that
// refuses to move the focus gets an attention request instead), and a
// project it names is opened once no send runs and no box is open.
//
// From the construction on, a fatal error shows the stop box "FATAL ERROR -
// Tessaline Mailer" (topmost, with the stop icon) after writing the message
// to standard error, and the program then ends with status 1. A display
// that Qt cannot open ends the program with the status given to the
// constructor and Qt's reason on standard error.
//
// Not for: the command-line runs, which never make one; the window itself
// (toolkit/main_window.h).
//
// Failures: run() returns the status it was given, or 1 when a running
// window does not take the request (the person is told in a box).
#pragma once

#include <memory>

#include <QString>

#include "core/string.h"

class QApplication;
class QMessageBox;
class QWidget;

namespace tessaline {

class DesktopProgram {
 public:
  DesktopProgram(int& argc, char** argv, int status_without_display);
  ~DesktopProgram();
  DesktopProgram(const DesktopProgram&) = delete;
  DesktopProgram& operator=(const DesktopProgram&) = delete;

  // The window until it closes (see above). `project`: an absolute path to
  // open instead of the last project, or "". Returns `status`.
  int run(const String& project, int status);

 private:
  std::unique_ptr<QApplication> application_;
};

// What a later start's request does to the window: un-minimised, shown,
// raised and activated (or marked as wanting attention where the desktop
// keeps the focus elsewhere).
void bring_forward(QWidget& window);

// The stop box of a fatal error, not yet shown.
std::unique_ptr<QMessageBox> make_fatal_box(const QString& caption, const QString& message);

// The fatal-error report of a windowed run (core/fatal_error.h's
// FatalReport): standard error, then the stop box, modal, until it is
// closed. With the dialog test hooks active the box is recorded as an
// error box instead of shown.
void show_fatal_box(const char* caption, const char* message);

}  // namespace tessaline
