#include "core/recording_ui.h"

#include <gtest/gtest.h>

namespace tessaline {
namespace {

using Kind = RecordingUi::EventKind;

TEST(RecordingUiTest, AnswersFromTheScriptInOrderThenCautiously) {
  RecordingUi ui;
  ui.reply_yes_no(true);
  ui.reply(Ui::Reply::kNo);
  ui.reply_text("typed");
  ui.reply_text("ignored", false);
  ui.reply_choice(1);
  ui.reply_choice(7);  // out of range: nothing chosen

  Vector<String> items{"a", "b"};
  String text = "proposed";
  EXPECT_TRUE(ui.ask_yes_no("Q1", "C"));
  EXPECT_EQ(ui.ask_yes_no_cancel("Q2", "C"), Ui::Reply::kNo);
  EXPECT_TRUE(ui.input_text("P", "C", text, 80));
  EXPECT_EQ(text.std_string(), "typed");
  EXPECT_FALSE(ui.input_text("P", "C", text, 80));
  EXPECT_EQ(text.std_string(), "typed");
  EXPECT_EQ(ui.choose_one("P", "C", items, 0), 1);
  EXPECT_EQ(ui.choose_one("P", "C", items, 0), -1);
  EXPECT_EQ(ui.unanswered, 0);

  // Nothing scripted is left.
  EXPECT_FALSE(ui.ask_yes_no("Q3", "C"));
  EXPECT_EQ(ui.ask_yes_no_cancel("Q4", "C"), Ui::Reply::kCancel);
  EXPECT_FALSE(ui.input_text("P", "C", text, 80));
  EXPECT_EQ(ui.choose_one("P", "C", items, 0), -1);
  EXPECT_EQ(ui.unanswered, 4);
  EXPECT_EQ(ui.count(Kind::kYesNo), 2);
  ASSERT_NE(ui.last(Kind::kInputText), nullptr);
  EXPECT_EQ(ui.last(Kind::kInputText)->max_length, 80);
  ASSERT_NE(ui.last_box(), nullptr);
  EXPECT_EQ(ui.last_box()->kind, Kind::kChooseOne);
}

TEST(RecordingUiTest, ButtonQuestionsHaveTheirOwnScriptAndRecordTheButtons) {
  RecordingUi ui;
  ui.reply_choice(0);
  ui.reply_button(1);
  ui.reply_button(5);  // no such button: the box was closed

  Vector<String> buttons{"Later", "Open the page"};
  EXPECT_EQ(ui.ask_buttons("New version.", "Check", buttons), 1);
  EXPECT_EQ(ui.ask_buttons("New version.", "Check", buttons), -1);
  EXPECT_EQ(ui.unanswered, 0);
  // The list choice still has its own answer.
  EXPECT_EQ(ui.choose_one("P", "C", buttons, -1), 0);
  EXPECT_EQ(ui.ask_buttons("Again?", "Check", buttons), -1);
  EXPECT_EQ(ui.unanswered, 1);

  const RecordingUi::Event* question = ui.last_box();
  ASSERT_NE(question, nullptr);
  EXPECT_EQ(question->kind, Kind::kButtons);
  EXPECT_EQ(question->message.std_string(), "Again?");
  ASSERT_EQ(question->choices.count(), 2);
  EXPECT_EQ(question->choices[1].std_string(), "Open the page");
  EXPECT_EQ(ui.count(Kind::kButtons), 3);
}

TEST(RecordingUiTest, RecordsBoxesFocusAndProgress) {
  RecordingUi ui;
  show_error(ui, "Bad value.");
  ui.focus_field_at("body", 12);
  ui.focus_field("body_file");
  ui.abort_progress_at(2);
  ui.open_progress("Mailer", "Sending...", true);
  ui.set_progress_fraction(0.5);
  EXPECT_FALSE(ui.progress_aborted());
  EXPECT_TRUE(ui.progress_aborted());
  EXPECT_TRUE(ui.progress_aborted());
  ui.close_progress();
  ui.begin_busy();

  const RecordingUi::Event* error = ui.last(Kind::kError);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->message.std_string(), "Bad value.");
  EXPECT_EQ(error->caption.std_string(), "Error");
  ASSERT_EQ(ui.count(Kind::kFocus), 2);
  EXPECT_EQ(ui.events[1].field.std_string(), "body");
  EXPECT_EQ(ui.events[1].caret, 12);
  EXPECT_EQ(ui.events[2].field.std_string(), "body_file");
  EXPECT_EQ(ui.events[2].caret, -1);
  ASSERT_EQ(ui.fractions.count(), 1);
  EXPECT_DOUBLE_EQ(ui.fractions[0], 0.5);
  EXPECT_FALSE(ui.progress_open);
  EXPECT_EQ(ui.busy_depth, 1);
  EXPECT_EQ(ui.last(Kind::kBeep), nullptr);
}

}  // namespace
}  // namespace tessaline
