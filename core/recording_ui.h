// recording_ui.h - a Ui for tests: records what was shown, answers a script.
//
// Every call becomes an Event in `events`, in order: boxes and questions
// with their message and caption, focus changes with their field and caret,
// progress windows with their texts, busy cursors and beeps. Questions take
// their answers from the scripted replies, first in first out; a question
// with no reply left gets the cautious answer (No, Cancel, cancelled input,
// nothing chosen) and is counted in `unanswered`, so a test can assert that
// it scripted exactly what was asked.
//
// Not for: anything but tests. It never blocks and never shows a window.
#pragma once

#include "core/containers.h"
#include "core/string.h"
#include "core/ui.h"

namespace tessaline {

class RecordingUi : public Ui {
 public:
  enum class EventKind {
    kError,
    kInformation,
    kYesNo,
    kYesNoCancel,
    kInputText,
    kChooseOne,
    kButtons,
    kProgressOpen,
    kProgressText,
    kProgressClose,
    kBusyBegin,
    kBusyEnd,
    kBeep,
    kFocus,
  };

  struct Event {
    EventKind kind = EventKind::kError;
    String message;  // box and question texts, progress texts
    String caption;
    Vector<String> choices;  // kChooseOne: the items; kButtons: the buttons' texts
    String field;    // kFocus: the field's key
    int caret = -1;  // kFocus: the caret offset, -1 when focus_field() was used
    int max_length = 0;  // kInputText: the length limit asked for
    String proposed;     // kInputText: the text offered in the box
  };

  // --- the script ---
  void reply_yes_no(bool yes) { replies_.append(yes ? Reply::kYes : Reply::kNo); }
  void reply(Reply answer) { replies_.append(answer); }
  // An input answer; cancelled input when `accept` is false.
  void reply_text(const String& text, bool accept = true) {
    texts_.append(text);
    text_accepted_.append(accept);
  }
  void reply_choice(int index) { choices_.append(index); }
  // The button an ask_buttons() question gets (its index; -1 closes the box).
  void reply_button(int index) { buttons_.append(index); }
  // progress_aborted() answers true from its n-th call on (1 is the first
  // call after this); 0 never aborts.
  void abort_progress_at(int n) { abort_at_ = n <= 0 ? 0 : progress_polls_ + n; }

  // --- what happened ---
  Vector<Event> events;
  Vector<double> fractions;  // every set_progress_fraction(), in order
  Vector<SendProgress> send_reports;  // every send_progress(), in order (not events)
  int unanswered = 0;
  int busy_depth = 0;
  bool progress_open = false;

  int count(EventKind kind) const;
  // The last event of that kind, or null.
  const Event* last(EventKind kind) const;
  // The last box or question shown (kError ... kButtons), or null.
  const Event* last_box() const;
  void clear_events();

  // --- Ui ---
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
  void send_progress(const SendProgress& progress) override { send_reports.append(progress); }
  void begin_busy() override;
  void end_busy() override;
  void beep() override;
  void focus_field(const String& key) override;
  void focus_field_at(const String& key, int caret) override;

 private:
  Event& record(EventKind kind, const String& message = String(),
                const String& caption = String());

  Vector<Reply> replies_;
  int next_reply_ = 0;
  Vector<String> texts_;
  Vector<bool> text_accepted_;
  int next_text_ = 0;
  Vector<int> choices_;
  int next_choice_ = 0;
  Vector<int> buttons_;
  int next_button_ = 0;
  int progress_polls_ = 0;
  int abort_at_ = 0;
};

}  // namespace tessaline
