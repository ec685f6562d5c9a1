#include "app/console_ui.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/send_status_line.h"

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

TEST_F(ConsoleUiTest, LongProgressLinesAreCutToTheTerminalOutsideUtf8Sequences) {
  ConsoleUi ui(out_, true, 40);
  String text;
  for (int i = 0; i < 40; ++i) text += "\xc3\xa9";  // 40 columns of "é", 80 bytes
  ui.open_progress("x", text, false);
  ui.close_progress();
  String line = written();
  ASSERT_TRUE(line.starts_with("\r"));
  int end = line.find("\x1b[K");
  ASSERT_GT(end, 0);
  // 39 columns, the last one left free: "x: " and 36 whole "é".
  EXPECT_EQ(line.substr(1, end - 1), "x: " + text.substr(0, 72));
}

// A clock the test moves by hand.
struct TestClock {
  int64_t now = 0;
  ConsoleUi::Clock clock() {
    return [this] { return now; };
  }
};

SendProgress sending(int total, int done, int sent, const char* recipient) {
  SendProgress p;
  p.total = total;
  p.done = done;
  p.sent = sent;
  p.recipient = recipient;
  return p;
}

SendProgress finished(int total, int sent, int failed) {
  SendProgress p;
  p.total = total;
  p.done = sent + failed;
  p.sent = sent;
  p.failed = failed;
  p.finished = true;
  p.headline = failed ? "Send incomplete" : "Send complete";
  p.log_path = "/state/Trenk.LOG";
  return p;
}

// What a send does to the port: the sending window, a report as each
// message begins and ends, the window's own text and fraction between, and
// the summary after the window has closed.
void run_send(ConsoleUi& ui, TestClock& clock) {
  clock.now = 1000;
  ui.open_progress("Tessaline Mailer", "Sending...", false);
  ui.set_progress_text("#1 of 3: a@example.com");
  ui.send_progress(sending(3, 0, 0, "a@example.com"));
  clock.now = 1100;
  ui.send_progress(sending(3, 1, 1, "a@example.com"));  // too soon: waits
  ui.set_progress_text("#2 of 3: b@example.com");
  ui.send_progress(sending(3, 1, 1, "b@example.com"));
  clock.now = 1300;
  ui.progress_aborted();  // its chance: the waiting report is drawn
  clock.now = 1400;
  ui.progress_aborted();  // nothing new: nothing drawn
  clock.now = 1600;
  ui.send_progress(sending(3, 2, 2, "b@example.com"));
  ui.error_box("Could not reach the server", "Not sent to c@example.com");
  clock.now = 1700;
  ui.set_progress_fraction(0.9);  // too soon after the last drawing
  clock.now = 1900;
  ui.set_progress_fraction(0.9);  // the line the box cleared comes back
  ui.close_progress();
  clock.now = 3500;
  ui.send_progress(finished(3, 2, 1));
}

TEST_F(ConsoleUiTest, ASendShowsOneLineForTheWholeSendAndASummary) {
  TestClock clock;
  {
    ConsoleUi ui(out_, true, 200, clock.clock());
    run_send(ui, clock);
  }
  EXPECT_EQ(written(),
            "\rTessaline Mailer: Sending...\x1b[K"
            "\rTessaline Mailer: #1 of 3: a@example.com\x1b[K"
            "\r[0/3] 0 sent, 0 refused, 0 failed; a@example.com\x1b[K"
            "\r[1/3] 1 sent, 0 refused, 0 failed; 3.3/s, 0.6 s left; b@example.com\x1b[K"
            "\r[2/3] 2 sent, 0 refused, 0 failed; 3.3/s, 0.3 s left; b@example.com\x1b[K"
            "\r\x1b[KNot sent to c@example.com: Could not reach the server\n"
            "\r[2/3] 2 sent, 0 refused, 0 failed; 2.2/s, 0.4 s left; b@example.com\x1b[K"
            "\r\x1b[K"
            "Send incomplete: 2 sent, 0 refused, 1 failed, 0 rejected in 2.5 s; "
            "log: /state/Trenk.LOG\n");
}

TEST_F(ConsoleUiTest, APipeGetsTheSummaryAndNoProgress) {
  TestClock clock;
  {
    ConsoleUi ui(out_, false, 200, clock.clock());
    run_send(ui, clock);
  }
  EXPECT_EQ(written(),
            "Not sent to c@example.com: Could not reach the server\n"
            "Send incomplete: 2 sent, 0 refused, 1 failed, 0 rejected in 2.5 s; "
            "log: /state/Trenk.LOG\n");
}

TEST_F(ConsoleUiTest, TheSendLineNeverOutgrowsTheTerminal) {
  TestClock clock;
  String recipient = "\"A very long display name \xe4\xb8\xad\xe6\x96\x87\" <someone@example.com>";
  {
    ConsoleUi ui(out_, true, 30, clock.clock());
    ui.open_progress("Tessaline Mailer", "Sending...", false);
    for (int i = 0; i < 5; ++i) {
      clock.now += 1000;
      ui.send_progress(sending(5, i, i, recipient.c_str()));
    }
    ui.close_progress();
  }
  String text = written();
  int drawn = 0;
  for (int at = text.find("\r"); at >= 0; at = text.find("\r", at + 1)) {
    int end = text.find("\x1b[K", at);
    ASSERT_GT(end, at);
    EXPECT_LE(terminal_columns(text.substr(at + 1, end - at - 1)), 29);
    ++drawn;
  }
  EXPECT_EQ(drawn, 1 + 5 + 1);  // the window's text, each report, the clearing
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
