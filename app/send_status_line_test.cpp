#include "app/send_status_line.h"

#include <gtest/gtest.h>

#include <climits>

namespace tessaline {
namespace {

TEST(TerminalText, ControlsAreBlankedAndBadBytesShownAsQuestionMarks) {
  struct Case {
    const char* text;
    const char* shown;
  } cases[] = {
      {"plain@example.com", "plain@example.com"},
      // A recipient's text cannot move the cursor, clear or recolour the screen.
      {"a\x1b[2Jb", "a [2Jb"},
      {"a\rb\nc\td\x7f", "a b c d "},
      {"a\xc2\x9b" "31mb", "a 31mb"},  // C1 control sequence introducer
      // Direction overrides and zero-width characters are dropped.
      {"a\xe2\x80\xae" "b\xe2\x80\x8b" "c", "abc"},
      // Invalid UTF-8: a lone continuation byte, an overlong "/", a
      // surrogate, a sequence cut short at the end.
      {"a\x80z", "a?z"},
      {"\xc0\xaf", "??"},
      {"\xed\xa0\x80", "???"},
      {"ok\xe2\x82", "ok??"},
      {"Jos\xc3\xa9", "Jos\xc3\xa9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(terminal_text(c.text, INT_MAX), c.shown);
  }
}

TEST(TerminalText, CutsByColumnsNeverInsideACharacter) {
  const String e_acute = "\xc3\xa9";       // one column, two bytes
  const String han = "\xe4\xb8\xad";       // two columns
  const String combining = "e\xcc\x81";    // "e" and a combining acute: one column
  struct Case {
    String text;
    int columns;
    String shown;
    int taken;  // terminal_columns() of the whole text
  } cases[] = {
      {"abcdef", 4, "abcd", 6},
      {"abc", 10, "abc", 3},
      {"abc", 0, "", 3},
      {e_acute + e_acute + e_acute, 2, e_acute + e_acute, 3},
      // A wide character that would straddle the edge stays out whole.
      {"a" + han + han, 4, "a" + han, 5},
      {"a" + han + han, 5, "a" + han + han, 5},
      {combining + combining, 1, combining, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.c_str());
    String shown = terminal_text(c.text, c.columns);
    EXPECT_EQ(shown, c.shown);
    EXPECT_LE(terminal_columns(shown), c.columns);
    EXPECT_EQ(terminal_columns(c.text), c.taken);
  }
}

TEST(TerminalLines, KeepsLinesAndTabsAndBlanksOtherControls) {
  struct Case {
    const char* text;
    const char* shown;
  } cases[] = {
      {"SMTP Error 4590\r\n550 5.1.1 <x@example.com>: rejected\r\n",
       "SMTP Error 4590\n550 5.1.1 <x@example.com>: rejected\n"},
      {"a\rb\n\nc\td", "a\nb\n\nc\td"},
      {"\r\n\r", "\n\n"},
      {"421 \x1b]0;owned\x07 bye", "421  ]0;owned  bye"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(terminal_lines(c.text), c.shown);
  }
}

TEST(InterruptedHeadline, NamesWhatRanAndThatCtrlCStoppedIt) {
  EXPECT_EQ(interrupted_headline("Send complete"), "Send stopped by Ctrl-C");
  EXPECT_EQ(interrupted_headline("Send incomplete"), "Send stopped by Ctrl-C");
  EXPECT_EQ(interrupted_headline("Dry run complete"), "Dry run stopped by Ctrl-C");
  EXPECT_EQ(interrupted_headline("Test send incomplete"), "Test send stopped by Ctrl-C");
  EXPECT_EQ(interrupted_headline(""), "Send stopped by Ctrl-C");
}

TEST(DurationText, ReadsAsPeopleSayIt) {
  struct Case {
    int64_t ms;
    const char* text;
  } cases[] = {
      {-5, "0.0 s"},          {0, "0.0 s"},        {450, "0.4 s"},
      {9999, "9.9 s"},        {10000, "10 s"},     {59999, "59 s"},
      {60000, "1 min 00 s"},  {185000, "3 min 05 s"}, {3599999, "59 min 59 s"},
      {3600000, "1 h 00 min"}, {7620000, "2 h 07 min"}, {90000000, "25 h 00 min"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ms);
    EXPECT_EQ(duration_text(c.ms), c.text);
  }
}

TEST(SendPace, RateAndTimeLeftFromThisRunsOutcomes) {
  struct Case {
    int done_in_run;
    int left;
    int64_t elapsed_ms;
    double per_second;
    int64_t left_ms;
  } cases[] = {
      {0, 10, 5000, 0, -1},        // nothing done yet: not known
      {3, 10, 0, 0, -1},           // no time measured yet
      {4, 6, 2000, 2.0, 3000},
      {1, 119, 2000, 0.5, 238000},
      {10, 0, 1000, 10.0, 0},      // all done
      {3, 1, 1000, 3.0, 333},      // rounded to the millisecond
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.done_in_run << " " << c.left << " " << c.elapsed_ms);
    SendPace pace = send_pace(c.done_in_run, c.left, c.elapsed_ms);
    EXPECT_DOUBLE_EQ(pace.per_second, c.per_second);
    EXPECT_EQ(pace.left_ms, c.left_ms);
  }
}

TEST(RateText, PerSecondFromOneASecondElsePerMinute) {
  struct Case {
    double per_second;
    const char* text;
  } cases[] = {
      {42.0, "42/s"}, {9.96, "10/s"}, {4.24, "4.2/s"}, {1.0, "1.0/s"},
      {0.9999, "1.0/s"},  // 60/min would read as slower than it is
      {0.5, "30/min"}, {0.1, "6.0/min"}, {1.0 / 120, "0.5/min"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.per_second);
    EXPECT_EQ(rate_text(c.per_second), c.text);
  }
}

TEST(SendLineDue, AtMostFourTimesASecond) {
  EXPECT_TRUE(send_line_due(0, -1));         // never drawn
  EXPECT_TRUE(send_line_due(1000, -1));
  EXPECT_FALSE(send_line_due(1000, 1000));
  EXPECT_FALSE(send_line_due(1249, 1000));
  EXPECT_TRUE(send_line_due(1250, 1000));
  EXPECT_TRUE(send_line_due(500, 1000));     // a clock that went back does not freeze it
}

SendProgress progress(int total, int done, int sent, int refused, int failed) {
  SendProgress p;
  p.total = total;
  p.done = done;
  p.sent = sent;
  p.refused = refused;
  p.failed = failed;
  return p;
}

TEST(SendLine, ShowsTheWholeSendThenTheMessageOnItsWay) {
  SendProgress start = progress(200, 0, 0, 0, 0);
  start.recipient = "ann@example.com";
  SendProgress running = progress(200, 12, 10, 1, 1);
  running.recipient = "bob@example.com";
  SendProgress large = running;
  large.message_fraction = 0.374;
  SendProgress resumed = progress(200, 60, 10, 0, 0);
  resumed.skipped = 50;
  resumed.recipient = "cy@example.com";
  SendProgress waiting = running;
  waiting.waiting = "retry 2 of 5 in 30 s";
  SendProgress unknown_total = progress(0, 3, 3, 0, 0);
  struct Case {
    const char* name;
    SendProgress p;
    int64_t elapsed_ms;
    const char* line;
  } cases[] = {
      {"start", start, 0, "[0/200] 0 sent, 0 refused, 0 failed; ann@example.com"},
      {"running", running, 4000,
       "[12/200] 10 sent, 1 refused, 1 failed; 3.0/s, 1 min 02 s left; bob@example.com"},
      {"large", large, 4000,
       "[12/200] 10 sent, 1 refused, 1 failed; 3.0/s, 1 min 02 s left; 37% of bob@example.com"},
      // The rate counts only what this run did, not what a resume skipped.
      {"resumed", resumed, 5000,
       "[60/200] 10 sent, 0 refused, 0 failed, 50 skipped; 2.0/s, 1 min 10 s left; "
       "cy@example.com"},
      {"waiting", waiting, 24000,
       "[12/200] 10 sent, 1 refused, 1 failed; 30/min, 6 min 16 s left; retry 2 of 5 in 30 s; "
       "bob@example.com"},
      {"unknown total", unknown_total, 1000, "[3] 3 sent, 0 refused, 0 failed; 3.0/s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(send_line(c.p, c.elapsed_ms), c.line);
  }
}

TEST(SendSummary, SaysHowEverySendEnded) {
  SendProgress complete = progress(3, 3, 3, 0, 0);
  complete.headline = "Send complete";
  complete.rejected = 2;
  complete.log_path = "/state/Trenk.LOG";
  SendProgress stopped = progress(100, 40, 38, 1, 1);
  stopped.headline = "Send incomplete";
  stopped.log_path = "/state/Trenk.LOG";
  SendProgress resumed = progress(10, 10, 4, 0, 0);
  resumed.skipped = 6;
  resumed.headline = "Send complete";
  resumed.log_path = "/state/Trenk.LOG";
  SendProgress check_failed;  // stopped by a check before it had recipients
  check_failed.headline = "Send incomplete";
  check_failed.log_path = "/state/Trenk.LOG";
  SendProgress hostile = complete;
  hostile.log_path = "/state/a\nb\x1b[1m";
  SendProgress no_headline = progress(1, 1, 1, 0, 0);
  struct Case {
    const char* name;
    SendProgress p;
    int64_t elapsed_ms;
    const char* line;
  } cases[] = {
      {"complete", complete, 1234,
       "Send complete: 3 sent, 0 refused, 0 failed, 2 rejected in 1.2 s; log: /state/Trenk.LOG"},
      {"stopped", stopped, 65000,
       "Send incomplete: 38 sent, 1 refused, 1 failed, 0 rejected, 60 not sent in 1 min 05 s; "
       "log: /state/Trenk.LOG"},
      {"resumed", resumed, 2000,
       "Send complete: 4 sent, 0 refused, 0 failed, 0 rejected, 6 skipped in 2.0 s; "
       "log: /state/Trenk.LOG"},
      {"check failed", check_failed, 3,
       "Send incomplete: 0 sent, 0 refused, 0 failed, 0 rejected in 0.0 s; "
       "log: /state/Trenk.LOG"},
      {"hostile", hostile, 1000,
       "Send complete: 3 sent, 0 refused, 0 failed, 2 rejected in 1.0 s; log: /state/a b [1m"},
      {"no headline, no log", no_headline, 0,
       "Send ended: 1 sent, 0 refused, 0 failed, 0 rejected in 0.0 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(send_summary(c.p, c.elapsed_ms), c.line);
  }
}

}  // namespace
}  // namespace tessaline
