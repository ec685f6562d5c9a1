// dialog_hooks.h - the next answers of the program's modal dialogs, for the
// window tests.
//
// A modal dialog blocks the test that opened it. While the hooks are
// active, every dialog of toolkit/dialogs.h (message boxes, questions, text
// input, the single-choice list, the file dialogs) is not shown: it records
// what it would have shown and takes the next answer queued for its kind,
// first in first out. A dialog with no answer queued takes the cautious one
// (No, Cancel, nothing typed, nothing chosen, no file) and is counted in
// unanswered(), so a test can see that it scripted exactly what was asked.
// Beeps are recorded too, as they are the only feedback of some commands.
//
// Not for: the program itself, which never activates them. The progress
// window is not modal in this sense: tests press its Abort button by name.
//
// Failures: none.
#pragma once

#include <functional>

#include <QList>
#include <QString>
#include <QStringList>

namespace tessaline::dialog_hooks {

enum class Kind {
  kError,
  kInformation,
  kYesNo,
  kYesNoCancel,
  kButtons,
  kInput,
  kChoice,
  kOpenFile,
  kOpenFiles,
  kSaveFile,
  kBeep,
};

// One dialog as it would have been shown.
struct Shown {
  Kind kind = Kind::kError;
  QString caption;     // the title
  QString text;        // the message or prompt
  QStringList items;   // a choice's items, a box's buttons; a file dialog's filters
  QString start;       // a file dialog's starting path; an input's proposed text
  int max_length = 0;  // an input's limit (0: none)
};

enum class Answer { kYes, kNo, kCancel };

// Turns the hooks on (dialogs answer from the queues) or off (dialogs are
// shown); either way the queues and the record are emptied.
void set_active(bool on);
bool active();

// --- the queues ---
void answer(Answer reply);  // yes/no and yes/no/cancel questions
void answer_button(int index);  // a box with named buttons; -1 closes it
void answer_input(const QString& text);
void cancel_input();
void answer_choice(int index);  // -1 cancels
// A file dialog's answer: one path for the open and save dialogs (empty
// cancels), a list for the open-files dialog (empty cancels). The two
// share one queue, in order.
void answer_file(const QString& path);
void answer_files(const QStringList& paths);

// --- what was shown ---
const QList<Shown>& shown();
// The last dialog of that kind, or null.
const Shown* last(Kind kind);
int count(Kind kind);
int unanswered();
// Empties the record (the queues stay).
void clear_shown();
// Runs `look` as each dialog is recorded, while it would be on the screen,
// so a test can see what the window behind it showed at that moment. Null
// stops it; set_active() does too.
void on_show(std::function<void(const Shown&)> look);

// --- for the dialogs: record, then take the next answer ---
// Each take_ returns false and counts the dialog as unanswered when nothing
// of its kind was queued; the cautious answer is then the caller's.
void record(const Shown& shown);
bool take_answer(Answer& reply);
bool take_button(int& index);
bool take_input(QString& text, bool& accepted);
bool take_choice(int& index);
bool take_files(QStringList& paths);

}  // namespace tessaline::dialog_hooks
