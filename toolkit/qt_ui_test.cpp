#include "toolkit/qt_ui.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "toolkit/dialog_hooks.h"
#include "toolkit/testing/window_test.h"

namespace tessaline {
namespace {

using dialog_hooks::Answer;
using dialog_hooks::Kind;

class QtUiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::test_application();
    dialog_hooks::set_active(true);
  }
  void TearDown() override {
    ui_.close_progress();
    dialog_hooks::set_active(false);
  }

  QtUi ui_;
};

TEST_F(QtUiTest, BoxesShowTheirCaptionsAndTextsAsGiven) {
  ui_.error_box("Unable to open project file:\n/tmp/a b.zqj", "Error");
  ui_.information_box("Tessaline Mailer v6.0 \xc3\xa9", "About");
  ASSERT_EQ(dialog_hooks::shown().size(), 2);
  EXPECT_EQ(dialog_hooks::shown()[0].kind, Kind::kError);
  EXPECT_EQ(dialog_hooks::shown()[0].caption, "Error");
  EXPECT_EQ(dialog_hooks::shown()[0].text, "Unable to open project file:\n/tmp/a b.zqj");
  EXPECT_EQ(dialog_hooks::shown()[1].kind, Kind::kInformation);
  EXPECT_EQ(dialog_hooks::shown()[1].text, QString::fromUtf8("Tessaline Mailer v6.0 \xc3\xa9"));
  EXPECT_EQ(dialog_hooks::unanswered(), 0);
}

TEST_F(QtUiTest, QuestionsTakeTheQueuedAnswersThenTheCautiousOnes) {
  dialog_hooks::answer(Answer::kYes);
  dialog_hooks::answer(Answer::kNo);
  dialog_hooks::answer(Answer::kYes);
  dialog_hooks::answer(Answer::kCancel);  // a yes/no box has no Cancel: No
  EXPECT_TRUE(ui_.ask_yes_no("Do you wish to view the log?", "Operation Complete"));
  EXPECT_EQ(ui_.ask_yes_no_cancel("Do you want to save your changes?", "Close"), Ui::Reply::kNo);
  EXPECT_EQ(ui_.ask_yes_no_cancel("Q", "C"), Ui::Reply::kYes);
  EXPECT_FALSE(ui_.ask_yes_no("Q", "C"));
  EXPECT_EQ(dialog_hooks::unanswered(), 0);

  EXPECT_FALSE(ui_.ask_yes_no("Q", "C"));
  EXPECT_EQ(ui_.ask_yes_no_cancel("Q", "C"), Ui::Reply::kCancel);
  EXPECT_EQ(dialog_hooks::unanswered(), 2);
  const dialog_hooks::Shown* close = dialog_hooks::last(Kind::kYesNoCancel);
  ASSERT_NE(close, nullptr);
  EXPECT_EQ(dialog_hooks::count(Kind::kYesNoCancel), 3);
  EXPECT_EQ(dialog_hooks::shown()[1].caption, "Close");
  EXPECT_EQ(dialog_hooks::shown()[1].text, "Do you want to save your changes?");
}

TEST_F(QtUiTest, AQuestionWithNamedButtonsGivesTheIndexPressed) {
  Vector<String> buttons{"Visit the support page", "Send feedback", "Cancel"};
  dialog_hooks::answer_button(1);
  dialog_hooks::answer_button(-1);
  EXPECT_EQ(ui_.ask_buttons("How can we help?", "Send feedback", buttons), 1);
  EXPECT_EQ(ui_.ask_buttons("How can we help?", "Send feedback", buttons), -1);
  EXPECT_EQ(ui_.ask_buttons("How can we help?", "Send feedback", buttons), -1);
  EXPECT_EQ(dialog_hooks::unanswered(), 1);
  const dialog_hooks::Shown* box = dialog_hooks::last(Kind::kButtons);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->items, (QStringList{"Visit the support page", "Send feedback", "Cancel"}));
  EXPECT_EQ(box->caption, "Send feedback");
}

TEST_F(QtUiTest, TextInputKeepsItsLimitAndUtf8) {
  dialog_hooks::answer_input(QString::fromUtf8("j\xc3\xa9r\xc3\xb4me@example.com"));
  dialog_hooks::answer_input(QString(100, 'x'));
  dialog_hooks::cancel_input();
  String text = "ann@example.com";
  ASSERT_TRUE(ui_.input_text("Enter your email address here:", "Test Send", text, 80));
  EXPECT_EQ(text, "j\xc3\xa9r\xc3\xb4me@example.com");
  const dialog_hooks::Shown* input = dialog_hooks::last(Kind::kInput);
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(input->start, "ann@example.com");
  EXPECT_EQ(input->max_length, 80);
  EXPECT_EQ(input->caption, "Test Send");

  ASSERT_TRUE(ui_.input_text("P", "C", text, 80));
  EXPECT_EQ(text.length(), 80);
  EXPECT_FALSE(ui_.input_text("P", "C", text, 80));
  EXPECT_EQ(text.length(), 80);
  EXPECT_FALSE(ui_.input_text("P", "C", text, 80));  // nothing queued
  EXPECT_EQ(dialog_hooks::unanswered(), 1);
}

TEST_F(QtUiTest, ChoiceReturnsTheIndexOrCancel) {
  Vector<String> items{"-Recipient-", "-FullName-"};
  dialog_hooks::answer_choice(1);
  dialog_hooks::answer_choice(5);  // beyond the list: nothing chosen
  dialog_hooks::answer_choice(-1);
  EXPECT_EQ(ui_.choose_one("Choose the Basic tag", "Insert Basic Tag", items, 0), 1);
  EXPECT_EQ(ui_.choose_one("P", "C", items, 0), -1);
  EXPECT_EQ(ui_.choose_one("P", "C", items, 0), -1);
  const dialog_hooks::Shown* choice = dialog_hooks::last(Kind::kChoice);
  ASSERT_NE(choice, nullptr);
  EXPECT_EQ(choice->items, (QStringList{"-Recipient-", "-FullName-"}));
}

TEST_F(QtUiTest, ProgressWindowTakesAbortAndItsCloseButton) {
  ui_.open_progress("Tessaline Mailer", "Sending...", true);
  QWidget* window = ui_.progress_window();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "Tessaline Mailer");
  EXPECT_TRUE(window->isModal());
  ui_.set_progress_text("Sending message 2 of 4");
  ui_.set_progress_fraction(0.5);
  EXPECT_EQ(window->findChild<QLabel*>("progress_text")->text(), "Sending message 2 of 4");
  auto* bar = window->findChild<QProgressBar*>("progress_bar");
  EXPECT_EQ(bar->value(), bar->maximum() / 2);
  ui_.set_progress_fraction(7.0);  // kept within the bar
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_FALSE(ui_.progress_aborted());

  // A press of Abort is seen by the next poll.
  window->findChild<QPushButton*>("abort")->click();
  EXPECT_TRUE(ui_.progress_aborted());
  ui_.close_progress();
  EXPECT_EQ(ui_.progress_window(), nullptr);

  // The window's close button is Abort too, and leaves the window open.
  ui_.open_progress("Tessaline Mailer", "Gathering recipients...", true);
  EXPECT_FALSE(ui_.progress_aborted());
  ui_.progress_window()->close();
  EXPECT_TRUE(ui_.progress_window()->isVisible());
  EXPECT_TRUE(ui_.progress_aborted());

  // Without an Abort button nothing stops the operation.
  ui_.open_progress("Tessaline Mailer", "Connecting to server...", false);
  EXPECT_EQ(ui_.progress_window()->findChild<QPushButton*>("abort"), nullptr);
  ui_.progress_window()->close();
  EXPECT_FALSE(ui_.progress_aborted());
}

TEST_F(QtUiTest, BusyCursorNestsAndBeepsAreRecorded) {
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  ui_.begin_busy();
  ui_.begin_busy();
  ASSERT_NE(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  ui_.end_busy();
  EXPECT_NE(QApplication::overrideCursor(), nullptr);
  ui_.end_busy();
  ui_.end_busy();  // one too many does no harm
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  ui_.beep();
  EXPECT_EQ(dialog_hooks::count(Kind::kBeep), 1);
}

// --- focus ---------------------------------------------------------------------

class FocusTarget : public FieldFocus {
 public:
  void focus_field(const String& key, int caret) override {
    keys.append(key);
    carets.append(caret);
  }
  Vector<String> keys;
  Vector<int> carets;
};

TEST_F(QtUiTest, FocusRequestsGoToTheMainWindow) {
  ui_.focus_field("from");  // no window yet: nothing happens
  FocusTarget target;
  QWidget window;
  ui_.set_main_window(&window, &target);
  EXPECT_EQ(ui_.front_window(), &window);
  ui_.focus_field("CC");
  ui_.focus_field_at("body", 12);
  ASSERT_EQ(target.keys.count(), 2);
  EXPECT_EQ(target.keys[0], "CC");
  EXPECT_EQ(target.carets[0], -1);
  EXPECT_EQ(target.keys[1], "body");
  EXPECT_EQ(target.carets[1], 12);
  ui_.open_progress("C", "T", true);
  EXPECT_EQ(ui_.front_window(), ui_.progress_window());
  ui_.close_progress();
  ui_.set_main_window(nullptr, nullptr);
}

}  // namespace
}  // namespace tessaline
