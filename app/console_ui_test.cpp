#include "app/console_ui.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace tessaline {
namespace {

// A ConsoleUi writing into a temporary file, and what it wrote.
class ConsoleUiTest : public testing::Test {
 protected:
  void SetUp() override { out_ = std::tmpfile(); ASSERT_NE(out_, nullptr); }
  void TearDown() override { std::fclose(out_); }

  String written() {
    std::fflush(out_);
    String text;
    std::rewind(out_);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, out_)) > 0) text.append(buffer, static_cast<int>(n));
    return text;
  }

  std::FILE* out_ = nullptr;
};

TEST_F(ConsoleUiTest, BoxesAreLinesAndQuestionsTakeTheCautiousAnswer) {
  ConsoleUi ui(out_, false);
  ui.error_box("You must enter the originating email address.", "Error");
  ui.focus_field("from");
  EXPECT_FALSE(ui.ask_yes_no("Do you wish to view the log?", "Operation Complete"));
  EXPECT_EQ(ui.ask_yes_no_cancel("Do you want to save your changes?", "Close"),
            Ui::Reply::kCancel);
  String text = "kept";
  EXPECT_FALSE(ui.input_text("Name:", "Input", text, 0));
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(ui.choose_one("Pick:", "Choose", Vector<String>{"a", "b"}, 1), -1);
  EXPECT_EQ(ui.ask_buttons("New version.", "Check", Vector<String>{"Later", "Open"}), -1);
  ui.focus_field_at("body", 12);
  EXPECT_EQ(written(),
            "Error: You must enter the originating email address.\n"
            "  (project field \"from\")\n"
            "Operation Complete: Do you wish to view the log? [No: nothing waits for an answer "
            "in a command-line run]\n"
            "Close: Do you want to save your changes? [Cancel: nothing waits for an answer in a "
            "command-line run]\n"
            "Input: Name: [Cancel: nothing waits for an answer in a command-line run]\n"
            "Choose: Pick: [Cancel: nothing waits for an answer in a command-line run]\n"
            "Check: New version. [Closed: nothing waits for an answer in a command-line run]\n"
            "  (project field \"body\", at byte 12)\n");
}

TEST_F(ConsoleUiTest, ProgressIsDrawnOnlyOnATerminal) {
  {
    ConsoleUi ui(out_, false);
    ui.open_progress("Tessaline Mailer", "Sending...", true);
    ui.set_progress_text("#1 of 2: a@example.com");
    ui.set_progress_fraction(0.5);
    ui.close_progress();
    ui.information_box("done", "Info");
  }
  EXPECT_EQ(written(), "Info: done\n");
}

TEST_F(ConsoleUiTest, ProgressLineIsRedrawnInPlaceAndClearedBeforeABox) {
  ConsoleUi ui(out_, true);
  ui.open_progress("Tessaline Mailer", "Sending...", false);
  ui.set_progress_fraction(0.25);
  ui.set_progress_fraction(0.251);  // the same percentage: not drawn again
  ui.set_progress_text("#2 of 4: b@example.com");
  ui.error_box("refused", "Error");
  ui.close_progress();
  EXPECT_EQ(written(),
            "\rTessaline Mailer: Sending...\x1b[K"
            "\r 25% Tessaline Mailer: Sending...\x1b[K"
            "\r 25% Tessaline Mailer: #2 of 4: b@example.com\x1b[K"
            "\r\x1b[KError: refused\n");
}

TEST_F(ConsoleUiTest, LongProgressLinesAreCutOutsideUtf8Sequences) {
  ConsoleUi ui(out_, true);
  String text;
  for (int i = 0; i < 40; ++i) text += "\xc3\xa9";  // 80 bytes of "é"
  ui.open_progress("x", text, false);
  ui.close_progress();
  String line = written();
  ASSERT_TRUE(line.starts_with("\r"));
  int end = line.find("\x1b[K");
  ASSERT_GT(end, 0);
  // "x: " and 75 bytes would end inside the 38th "é": it stays out whole.
  EXPECT_EQ(line.substr(1, end - 1), "x: " + text.substr(0, 74));
}

// The interrupt is process-wide, so the test runs in a child process.
TEST_F(ConsoleUiTest, InterruptActsAsAbortWhileAnAbortableProgressIsOpen) {
  EXPECT_EXIT(
      {
        ConsoleUi ui(out_, false);
        int failed = 0;
        ui.open_progress("Gathering", "", false);
        ui.close_progress();
        ui.open_progress("Sending", "", true);
        failed += ui.progress_aborted() || ui.interrupted();
        std::raise(SIGINT);
        failed += !ui.progress_aborted();
        ui.close_progress();
        failed += ui.progress_aborted();  // no window open
        failed += !ui.interrupted();
        // The rest of the run stays aborted.
        ui.open_progress("Sending", "", true);
        failed += !ui.progress_aborted();
        ui.close_progress();
        std::exit(failed);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tessaline
