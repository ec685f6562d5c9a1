#include "core/recording_ui.h"

namespace tessaline {

RecordingUi::Event& RecordingUi::record(EventKind kind, const String& message,
                                        const String& caption) {
  Event& event = events.append();
  event.kind = kind;
  event.message = message;
  event.caption = caption;
  return event;
}

int RecordingUi::count(EventKind kind) const {
  int n = 0;
  for (const Event& event : events) n += event.kind == kind;
  return n;
}

const RecordingUi::Event* RecordingUi::last(EventKind kind) const {
  for (int i = events.count() - 1; i >= 0; --i) {
    if (events[i].kind == kind) return &events[i];
  }
  return nullptr;
}

const RecordingUi::Event* RecordingUi::last_box() const {
  for (int i = events.count() - 1; i >= 0; --i) {
    EventKind kind = events[i].kind;
    if (kind >= EventKind::kError && kind <= EventKind::kButtons) return &events[i];
  }
  return nullptr;
}

void RecordingUi::clear_events() {
  events.clear();
  fractions.clear();
}

void RecordingUi::error_box(const String& message, const String& caption) {
  record(EventKind::kError, message, caption);
}

void RecordingUi::information_box(const String& message, const String& caption) {
  record(EventKind::kInformation, message, caption);
}

bool RecordingUi::ask_yes_no(const String& question, const String& caption) {
  record(EventKind::kYesNo, question, caption);
  if (next_reply_ >= replies_.count()) {
    ++unanswered;
    return false;
  }
  return replies_[next_reply_++] == Reply::kYes;
}

Ui::Reply RecordingUi::ask_yes_no_cancel(const String& question, const String& caption) {
  record(EventKind::kYesNoCancel, question, caption);
  if (next_reply_ >= replies_.count()) {
    ++unanswered;
    return Reply::kCancel;
  }
  return replies_[next_reply_++];
}

bool RecordingUi::input_text(const String& prompt, const String& caption, String& text,
                             int max_length) {
  Event& event = record(EventKind::kInputText, prompt, caption);
  event.max_length = max_length;
  event.proposed = text;
  if (next_text_ >= texts_.count()) {
    ++unanswered;
    return false;
  }
  int i = next_text_++;
  if (!text_accepted_[i]) return false;
  text = texts_[i];
  return true;
}

int RecordingUi::choose_one(const String& prompt, const String& caption,
                            const Vector<String>& items, int /*selected*/) {
  record(EventKind::kChooseOne, prompt, caption).choices = items;
  if (next_choice_ >= choices_.count()) {
    ++unanswered;
    return -1;
  }
  int choice = choices_[next_choice_++];
  return choice >= 0 && choice < items.count() ? choice : -1;
}

int RecordingUi::ask_buttons(const String& question, const String& caption,
                             const Vector<String>& buttons) {
  record(EventKind::kButtons, question, caption).choices = buttons;
  if (next_button_ >= buttons_.count()) {
    ++unanswered;
    return -1;
  }
  int button = buttons_[next_button_++];
  return button >= 0 && button < buttons.count() ? button : -1;
}

void RecordingUi::open_progress(const String& caption, const String& text, bool /*can_abort*/) {
  record(EventKind::kProgressOpen, text, caption);
  progress_open = true;
}

void RecordingUi::set_progress_text(const String& text) {
  record(EventKind::kProgressText, text);
}

void RecordingUi::set_progress_fraction(double fraction) { fractions.append(fraction); }

bool RecordingUi::progress_aborted() {
  ++progress_polls_;
  return abort_at_ > 0 && progress_polls_ >= abort_at_;
}

void RecordingUi::close_progress() {
  record(EventKind::kProgressClose);
  progress_open = false;
}

void RecordingUi::begin_busy() {
  record(EventKind::kBusyBegin);
  ++busy_depth;
}

void RecordingUi::end_busy() {
  record(EventKind::kBusyEnd);
  --busy_depth;
}

void RecordingUi::beep() { record(EventKind::kBeep); }

void RecordingUi::focus_field(const String& key) { record(EventKind::kFocus).field = key; }

void RecordingUi::focus_field_at(const String& key, int caret) {
  Event& event = record(EventKind::kFocus);
  event.field = key;
  event.caret = caret;
}

}  // namespace tessaline
