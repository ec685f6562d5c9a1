// qt_ui.h - the user-interaction port (core/ui.h) in Qt widgets.
//
// Boxes, questions, the text input and the single-choice list are the
// modal dialogs of toolkit/dialogs.h, over the window that is in front (the
// progress window while one is open, else the main window). The progress
// window is application-modal but not a dialog loop of its own: the long
// operation runs on, and each progress_aborted() lets Qt process input,
// paint, and take a press of Abort (or of the window's close button), so
// the program stays responsive and nothing else can be started meanwhile.
// Focus requests go to the main window, which finds the field by its key.
//
// Texts are UTF-8 in the program and QString in Qt (qt_text.h converts).
//
// Not for: the windows themselves (toolkit/main_window.h), fatal errors.
//
// Failures: none; without a main window, boxes are shown without a parent
// and focus requests are ignored.
#pragma once

#include <memory>

#include "core/string.h"
#include "core/ui.h"

class QWidget;

namespace tessaline {

// Where focus_field() and focus_field_at() are carried out.
class FieldFocus {
 public:
  virtual ~FieldFocus() = default;
  // Brings the field's folder forward and focuses it; `caret` is a byte
  // offset into the field's text, or -1 to leave the caret where it is.
  virtual void focus_field(const String& key, int caret) = 0;
  // A box is about to be shown over the window: it brings what it shows up
  // to date first, so that the box speaks of what the person sees (a check
  // may just have selected another entry).
  virtual void before_box() {}
};

class QtUi : public Ui {
 public:
  QtUi();
  ~QtUi() override;
  QtUi(const QtUi&) = delete;
  QtUi& operator=(const QtUi&) = delete;

  // The window that boxes are shown over and that takes focus requests;
  // null for none.
  void set_main_window(QWidget* window, FieldFocus* focus);
  // What set_main_window() set (a window in front of the main one, the
  // send preview, puts them back when it closes).
  QWidget* main_window() const { return main_window_; }
  FieldFocus* field_focus() const { return focus_; }
  // The window in front: the progress window when open, else the main one.
  QWidget* front_window() const;

  void error_box(const String& message, const String& caption) override;
  void information_box(const String& message, const String& caption) override;
  bool ask_yes_no(const String& question, const String& caption) override;
  Reply ask_yes_no_cancel(const String& question, const String& caption) override;
  int ask_buttons(const String& question, const String& caption,
                  const Vector<String>& buttons) override;
  bool input_text(const String& prompt, const String& caption, String& text,
                  int max_length) override;
  int choose_one(const String& prompt, const String& caption, const Vector<String>& items,
                 int selected) override;
  void open_progress(const String& caption, const String& text, bool can_abort) override;
  void set_progress_text(const String& text) override;
  void set_progress_fraction(double fraction) override;
  bool progress_aborted() override;
  void close_progress() override;
  void begin_busy() override;
  void end_busy() override;
  void beep() override;
  void focus_field(const String& key) override;
  void focus_field_at(const String& key, int caret) override;

  // The open progress window, or null (tests press its "abort" button).
  QWidget* progress_window() const;

 private:
  class ProgressWindow;

  // front_window(), once the window that takes focus requests is up to date.
  QWidget* box_parent();

  QWidget* main_window_ = nullptr;
  FieldFocus* focus_ = nullptr;
  std::unique_ptr<ProgressWindow> progress_;
  int busy_depth_ = 0;
};

}  // namespace tessaline
