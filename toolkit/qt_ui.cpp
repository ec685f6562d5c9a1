#include "toolkit/qt_ui.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

#include "toolkit/dialogs.h"
#include "toolkit/qt_text.h"

namespace tessaline {

// The progress window: a caption, a line of text, a bar, and an Abort
// button when the operation can be stopped. Closing it is a press of Abort;
// a window without Abort cannot be closed.
class QtUi::ProgressWindow : public QDialog {
 public:
  ProgressWindow(QWidget* parent, const String& caption, const String& text, bool can_abort)
      : QDialog(parent), can_abort_(can_abort) {
    setObjectName("progress");
    setWindowTitle(qt_text(caption));
    setWindowModality(Qt::ApplicationModal);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    text_ = new QLabel(qt_text(text), this);
    text_->setObjectName("progress_text");
    text_->setMinimumWidth(360);
    layout->addWidget(text_);
    bar_ = new QProgressBar(this);
    bar_->setObjectName("progress_bar");
    bar_->setRange(0, kSteps);
    bar_->setValue(0);
    layout->addWidget(bar_);
    if (can_abort) {
      auto* abort = new QPushButton("Abort", this);
      abort->setObjectName("abort");
      connect(abort, &QPushButton::clicked, this, [this] { aborted_ = true; });
      layout->addWidget(abort, 0, Qt::AlignHCenter);
    }
  }

  void set_text(const String& text) { text_->setText(qt_text(text)); }
  void set_fraction(double fraction) {
    if (!(fraction >= 0)) fraction = 0;  // also NaN
    if (fraction > 1) fraction = 1;
    bar_->setValue(static_cast<int>(fraction * kSteps + 0.5));
  }
  bool aborted() const { return aborted_; }

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (can_abort_) aborted_ = true;
    event->ignore();  // the operation closes the window when it stops
  }
  void reject() override {  // Escape
    if (can_abort_) aborted_ = true;
  }

 private:
  static constexpr int kSteps = 1000;
  QLabel* text_;
  QProgressBar* bar_;
  bool can_abort_;
  bool aborted_ = false;
};

namespace {

QStringList qt_list(const Vector<String>& items) {
  QStringList list;
  for (const String& item : items) list.append(qt_text(item));
  return list;
}

}  // namespace

QtUi::QtUi() = default;

QtUi::~QtUi() {
  while (busy_depth_ > 0) end_busy();
}

void QtUi::set_main_window(QWidget* window, FieldFocus* focus) {
  main_window_ = window;
  focus_ = focus;
}

QWidget* QtUi::front_window() const {
  if (progress_) return progress_.get();
  return main_window_;
}

QWidget* QtUi::progress_window() const { return progress_.get(); }

QWidget* QtUi::box_parent() {
  if (focus_ != nullptr) focus_->before_box();
  return front_window();
}

void QtUi::error_box(const String& message, const String& caption) {
  dialogs::error_box(box_parent(), qt_text(message), qt_text(caption));
}

void QtUi::information_box(const String& message, const String& caption) {
  dialogs::information_box(box_parent(), qt_text(message), qt_text(caption));
}

bool QtUi::ask_yes_no(const String& question, const String& caption) {
  return dialogs::question(box_parent(), qt_text(question), qt_text(caption), false) ==
         dialogs::Answer::kYes;
}

Ui::Reply QtUi::ask_yes_no_cancel(const String& question, const String& caption) {
  switch (dialogs::question(box_parent(), qt_text(question), qt_text(caption), true)) {
    case dialogs::Answer::kYes:
      return Reply::kYes;
    case dialogs::Answer::kNo:
      return Reply::kNo;
    case dialogs::Answer::kCancel:
      break;
  }
  return Reply::kCancel;
}

int QtUi::ask_buttons(const String& question, const String& caption,
                      const Vector<String>& buttons) {
  return dialogs::ask_buttons(box_parent(), qt_text(question), qt_text(caption),
                              qt_list(buttons));
}

bool QtUi::input_text(const String& prompt, const String& caption, String& text,
                      int max_length) {
  QString answer = qt_text(text);
  if (!dialogs::input_text(box_parent(), qt_text(prompt), qt_text(caption), answer,
                           max_length)) {
    return false;
  }
  text = program_text(answer);
  return true;
}

int QtUi::choose_one(const String& prompt, const String& caption, const Vector<String>& items,
                     int selected) {
  return dialogs::choose_one(box_parent(), qt_text(prompt), qt_text(caption), qt_list(items),
                             selected);
}

void QtUi::open_progress(const String& caption, const String& text, bool can_abort) {
  close_progress();
  progress_ = std::make_unique<ProgressWindow>(main_window_, caption, text, can_abort);
  progress_->show();
  // Painted before the work starts, which may be long before the first
  // progress_aborted().
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void QtUi::set_progress_text(const String& text) {
  if (progress_) progress_->set_text(text);
}

void QtUi::set_progress_fraction(double fraction) {
  if (progress_) progress_->set_fraction(fraction);
}

bool QtUi::progress_aborted() {
  QCoreApplication::processEvents();
  return progress_ && progress_->aborted();
}

void QtUi::close_progress() {
  if (!progress_) return;
  progress_->hide();
  progress_.reset();
}

void QtUi::begin_busy() {
  ++busy_depth_;
  QApplication::setOverrideCursor(Qt::WaitCursor);
}

void QtUi::end_busy() {
  if (busy_depth_ == 0) return;
  --busy_depth_;
  QApplication::restoreOverrideCursor();
}

void QtUi::beep() { dialogs::beep(); }

void QtUi::focus_field(const String& key) {
  if (focus_) focus_->focus_field(key, -1);
}

void QtUi::focus_field_at(const String& key, int caret) {
  if (focus_) focus_->focus_field(key, caret < 0 ? 0 : caret);
}

}  // namespace tessaline
