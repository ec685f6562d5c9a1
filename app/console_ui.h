// console_ui.h - the user-interaction port of a command-line run.
//
// An unattended run (cron, a web form handler, CI) has no one to answer:
// boxes become lines on standard error ("Error: You must enter ..."), every
// question is answered at once with its cautious answer (No, Cancel,
// nothing chosen) and says so on the same line, and a field that would get
// the focus is named on the next line so that the person reading the error
// knows which project field to mend. Progress windows become one line that
// is redrawn in place, only when the stream is a terminal; a log file or a
// pipe gets no progress noise. While a send runs, that line shows the whole
// send (app/send_status_line.h: recipients done of the total, sent,
// refused, failed, the rate, the time left, a large message's own
// progress), redrawn at most a few times a second and never wider than the
// terminal; at the end of every send one summary line follows, on a
// terminal, a pipe or a file alike.
//
// While a progress window with an Abort button is open, the first Ctrl-C
// (SIGINT) acts as its Abort button, so a send stops between messages and
// logs what was not sent. Every progress window after it reads as aborted
// too, so the whole run stops; a second Ctrl-C ends the program as usual.
//
// Not for: the windows (toolkit/ implements the port with Qt).
//
// Failures: none; output errors are ignored, like those of stderr itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include "core/ui.h"

namespace tessaline {

// True once a Ctrl-C was taken as Abort in this process.
bool interrupted_flag();

class ConsoleUi : public Ui {
 public:
  // Milliseconds of a clock that never goes back.
  using Clock = std::function<int64_t()>;

  // Writes to `out`; draws progress only when `terminal` is true. The
  // progress line takes `columns` terminal columns at most; 0 asks the
  // terminal before each drawing (80 when it does not say). `clock` times
  // the redrawing and the send (null: the system's steady clock).
  ConsoleUi(std::FILE* out, bool terminal, int columns = 0, Clock clock = nullptr);
  // Standard error, drawing progress when it is a terminal.
  ConsoleUi();
  ~ConsoleUi() override;

  void error_box(const String& message, const String& caption) override;
  void information_box(const String& message, const String& caption) override;
  bool ask_yes_no(const String& question, const String& caption) override;
  Reply ask_yes_no_cancel(const String& question, const String& caption) override;
  bool input_text(const String& prompt, const String& caption, String& text,
                  int max_length) override;
  int choose_one(const String& prompt, const String& caption, const Vector<String>& items,
                 int selected) override;
  int ask_buttons(const String& question, const String& caption,
                  const Vector<String>& buttons) override;
  void open_progress(const String& caption, const String& text, bool can_abort) override;
  void set_progress_text(const String& text) override;
  void set_progress_fraction(double fraction) override;
  bool progress_aborted() override;
  void close_progress() override;
  void send_progress(const SendProgress& progress) override;
  void begin_busy() override {}
  void end_busy() override {}
  void beep() override {}
  void focus_field(const String& key) override;
  void focus_field_at(const String& key, int caret) override;

  // A Ctrl-C was taken as Abort during this run.
  bool interrupted() const;

 private:
  void box(const String& caption, const String& message, const char* answer);
  void draw_progress();
  // Draws the send's line when it has changed and the last drawing is old
  // enough.
  void draw_send_line_when_due();
  void draw_line(const String& text);
  void clear_progress_line();
  void restore_interrupt();
  int line_columns() const;
  // The send's clock starts at its first progress window or report.
  void start_send_clock();

  std::FILE* out_;
  bool terminal_;
  int columns_;
  Clock clock_;
  bool progress_open_ = false;
  bool line_drawn_ = false;
  bool interrupt_installed_ = false;
  String caption_;
  String text_;
  int percent_ = -1;

  // The send under way, from its first report to its summary.
  bool send_active_ = false;
  SendProgress send_;
  bool send_changed_ = false;
  int64_t send_clock_start_ms_ = -1;  // -1: no send under way
  int64_t first_message_ms_ = -1;    // the first report: its first message began
  int64_t drawn_ms_ = -1;            // the last drawing of the send's line
};

}  // namespace tessaline
