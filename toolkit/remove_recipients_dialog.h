// remove_recipients_dialog.h - the Remove Recipients window: the addresses
// to take off and the sources to take them off.
//
// A thin window over recipients/remove_recipients.h: a label, the edit box
// of addresses (object name "addresses"), one check box per source (named
// after kRemoveSourceInfo's keys, enabled and checked at opening by
// remove_source_state()), and the buttons Begin, Preview, Abort and Help
// ("begin", "preview", "abort", "help"). Begin and Preview commit the main
// window's edits, run the operation and show its report in a window of its
// own titled "Remove Recipients" (object name "remove_report"), which stays
// open beside the dialog; when a typed list changed, the main window shows
// it anew. Several runs may follow one another; Abort closes the dialog.
// Its position is kept in the registry under the program's key as
// "RemoveRecipientsDialog".
//
// Not for: the rules (recipients/), the command-line form (app/).
//
// Failures: those of the operation, shown through the port.
#pragma once

#include <QDialog>
#include <QPointer>

#include "recipients/remove_recipients.h"
#include "app/application.h"
#include "toolkit/qt_ui.h"

class QCheckBox;
class QPlainTextEdit;

namespace tessaline {

class MainWindow;

class RemoveRecipientsDialog : public QDialog {
 public:
  // `window` is the main window whose edits are committed before a run and
  // which is refreshed after one (may be null).
  RemoveRecipientsDialog(Application& app, QtUi& ui, MainWindow* window);
  ~RemoveRecipientsDialog() override;

  // Begin (false) or Preview (true).
  void run(bool preview);

  QPlainTextEdit* addresses() const { return addresses_; }
  QCheckBox* source_box(RemoveSource source) const { return boxes_[source]; }
  // The last report window, or null.
  QWidget* report_window() const { return report_; }

 protected:
  void done(int result) override;

 private:
  void show_report(const String& report);

  Application& app_;
  QtUi& ui_;
  MainWindow* window_;
  QPlainTextEdit* addresses_ = nullptr;
  QCheckBox* boxes_[kRemoveSourceCount] = {};
  // Cleared by Qt when the report window goes, also while this dialog is
  // being destroyed (a signal handler would then touch a half-gone object).
  QPointer<QWidget> report_;
};

// The Remove recipients command: opens the dialog, modally, while a project
// is open; otherwise beeps.
void remove_recipients_command(Application& app, QtUi& ui, MainWindow& window);

// Plugs the command into the main window's File menu and F6. While the menu
// item is disabled (no project), F6 beeps.
void plug_remove_recipients(Application& app, QtUi& ui, MainWindow& window);

}  // namespace tessaline
