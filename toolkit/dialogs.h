// dialogs.h - the program's modal dialogs: message boxes, questions (yes/no,
// yes/no/cancel, named buttons), text input, the single-choice list, and
// the file dialogs.
//
// Every modal dialog of the windows goes through here, so that the test
// hooks (toolkit/dialog_hooks.h) can answer each one by its kind; while
// they are active nothing is shown. The captions and texts are the
// caller's, shown exactly as given.
//
// File dialogs take their filters as "Name (pattern pattern)" texts. On
// Linux a pattern matches file names without regard to case, so
// "Tessaline Mailer Project Files (*.ZQJ)" lists "mailing.zqj" as well, and
// "*.*" matches every file, with or without a dot, as the filter's name
// "All Files" promises.
//
// Not for: the progress window (toolkit/qt_ui.h), or windows that are not
// modal.
//
// Failures: none; a dialog that is cancelled or closed gives the cautious
// answer.
#pragma once

#include <QString>
#include <QStringList>

#include "toolkit/dialog_hooks.h"

class QWidget;

namespace tessaline::dialogs {

using Answer = dialog_hooks::Answer;

void error_box(QWidget* parent, const QString& text, const QString& caption);
void information_box(QWidget* parent, const QString& text, const QString& caption);
// kYes or kNo; kCancel as well `with_cancel`. Closing the box answers No,
// or Cancel when there is a Cancel button.
Answer question(QWidget* parent, const QString& text, const QString& caption,
                bool with_cancel);
// A question whose buttons carry the given texts, left to right: the index
// of the button pressed, or -1 when the box is closed without one.
int ask_buttons(QWidget* parent, const QString& text, const QString& caption,
                const QStringList& buttons);
// One line of at most `max_length` characters (0: no limit); `text` holds
// the proposal and receives the answer. False when cancelled.
bool input_text(QWidget* parent, const QString& prompt, const QString& caption,
                QString& text, int max_length);
// The index of the item chosen (a double-click chooses too), or -1.
int choose_one(QWidget* parent, const QString& prompt, const QString& caption,
               const QStringList& items, int selected);

// The file chosen, or "" when cancelled. `start` is a folder or a file.
QString open_file(QWidget* parent, const QString& caption, const QString& start,
                  const QStringList& filters);
QStringList open_files(QWidget* parent, const QString& caption, const QString& start,
                       const QStringList& filters);
// `suffix` is added to a typed name that has no extension ("" adds none).
QString save_file(QWidget* parent, const QString& caption, const QString& start,
                  const QStringList& filters, const QString& suffix);

// The system's error sound.
void beep();

// The patterns of a filter text ("Name (*.a *.b)" gives "*.a", "*.b"),
// and whether a file name matches one of them in the way described above.
QStringList filter_patterns(const QString& filter);
bool matches_filter(const QString& file_name, const QString& filter);

}  // namespace tessaline::dialogs
