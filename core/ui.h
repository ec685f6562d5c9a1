// ui.h - the port through which the program talks to the person using it.
//
// Operations that a user can mend (a bad field, a failed send, a question
// before something is overwritten) show their boxes, progress and focus
// changes through this interface and never through a window toolkit. The
// Qt windows implement it with widgets, the command line implements it on
// the terminal (asking nothing), and tests implement it with RecordingUi
// (core/recording_ui.h), which records what was shown and answers from a
// script. So every message box and every focus rule can be checked without
// a display.
//
// Not for: fatal errors (core/fatal_error.h has its own report), or the
// contents of windows: a field is named by its key (the project field keys,
// "body", "html_file", ...) and the implementation finds the widget.
//
// Failures: none are reported back. A box that cannot be shown (no display)
// is the implementation's to turn into text; questions then take their
// cautious answer (No, Cancel, nothing chosen).
#pragma once

#include "core/containers.h"
#include "core/string.h"

namespace tessaline {

// How a send stands: what a terminal line or a status bar shows of it while
// it runs, and its summary when it has ended. The time it takes is the
// showing side's to measure.
struct SendProgress {
  int total = 0;     // recipients of the send (0 while not known)
  int done = 0;      // of them, with an outcome: sent, refused, failed, skipped
  int sent = 0;      // delivered by this run
  int refused = 0;   // refused for good by the server (5xx)
  int failed = 0;    // failed otherwise (a resume tries them again)
  int skipped = 0;   // delivered or refused before this run resumed the send
  int rejected = 0;  // candidates rejected before sending (excluded, duplicate, ...)
  String recipient;  // the message on its way
  // Of that message, the part sent, for a large one; -1 otherwise.
  double message_fraction = -1;
  String waiting;  // why the send waits now ("retry 2 of 5 in 30 s"); empty when it does not
  // The send has ended: the fields above are its totals, `headline` says
  // how it ended ("Send complete", "Send stopped", ...) and `log_path`
  // where its log is.
  bool finished = false;
  String headline;
  String log_path;
};

class Ui {
 public:
  enum class Reply { kYes, kNo, kCancel };

  virtual ~Ui() = default;

  // --- boxes with an OK button ---
  virtual void error_box(const String& message, const String& caption) = 0;
  virtual void information_box(const String& message, const String& caption) = 0;

  // --- questions ---
  // True for Yes.
  virtual bool ask_yes_no(const String& question, const String& caption) = 0;
  virtual Reply ask_yes_no_cancel(const String& question, const String& caption) = 0;
  // One line of text of at most `max_length` characters (0: no limit).
  // `text` holds the proposed text and receives the answer; false (text
  // unchanged) when the person cancels.
  virtual bool input_text(const String& prompt, const String& caption, String& text,
                          int max_length) = 0;
  // One item of a list; `selected` is the item marked at first (-1 none).
  // Returns the index chosen, or -1 when the person cancels.
  virtual int choose_one(const String& prompt, const String& caption,
                         const Vector<String>& items, int selected) = 0;
  // A question box whose buttons carry the given texts, left to right.
  // Returns the index of the button pressed, or -1 when the box is closed
  // without one (the title bar's close button, Escape).
  virtual int ask_buttons(const String& question, const String& caption,
                          const Vector<String>& buttons) = 0;

  // --- progress window: one at a time ---
  virtual void open_progress(const String& caption, const String& text, bool can_abort) = 0;
  virtual void set_progress_text(const String& text) = 0;
  // 0.0 to 1.0 of the whole task.
  virtual void set_progress_fraction(double fraction) = 0;
  // Lets the windows react to input, then tells whether Abort has been
  // pressed since the window opened. Long loops call it once per step.
  virtual bool progress_aborted() = 0;
  virtual void close_progress() = 0;
  // How the send under way stands (while a progress window is open), and
  // once more with `finished` set when it has ended. Windows may show it
  // or not; the terminal draws it.
  virtual void send_progress(const SendProgress& progress) { (void)progress; }

  // --- feedback ---
  // The busy (wait) cursor; calls nest.
  virtual void begin_busy() = 0;
  virtual void end_busy() = 0;
  // The system's error sound.
  virtual void beep() = 0;

  // --- focus ---
  // Brings the field named by key into view (its folder of the main
  // window, when it has one) and gives it the input focus.
  virtual void focus_field(const String& key) = 0;
  // The same for a multi-line text field, with the caret placed at a byte
  // offset of its text.
  virtual void focus_field_at(const String& key, int caret) = 0;
};

// Shows an error box captioned "Error".
inline void show_error(Ui& ui, const String& message) { ui.error_box(message, "Error"); }

}  // namespace tessaline
