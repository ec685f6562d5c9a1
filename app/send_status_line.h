// send_status_line.h - the texts a command-line send shows on the
// terminal: the line redrawn in place while it runs, and the summary line
// at its end.
//
// Everything here is pure: it takes the counts the send reports through
// the port (SendProgress, core/ui.h), a time in milliseconds measured by
// the caller and a width in terminal columns, and returns text. So the
// wording, the cut to the terminal's width, the rate and time-left
// estimate and the choice of when to redraw are tested without a terminal
// or a clock; ConsoleUi (app/console_ui.h) only asks the terminal its width
// and writes.
//
// Not for: deciding whether standard error is a terminal, or writing to
// it (ConsoleUi does both).
//
// Failures: none. Texts that come from the recipients' sources (addresses,
// names) are untrusted: control characters in them are replaced, so that
// no recipient can move the cursor or change the terminal's state, and
// invalid UTF-8 is shown byte by byte as "?".
#pragma once

#include <cstdint>

#include "core/string.h"
#include "core/ui.h"

namespace tessaline {

// The line is redrawn at most this often.
constexpr int64_t kSendLineIntervalMs = 250;

// True when a line last drawn at `last_drawn_ms` (negative: never drawn)
// may be drawn again at `now_ms`.
bool send_line_due(int64_t now_ms, int64_t last_drawn_ms);

// `text` with every control character (C0, DEL, C1) made a blank and every
// byte that is not part of valid UTF-8 made "?", cut so that it takes at
// most `columns` terminal columns (East Asian wide characters take two,
// combining marks none). Never cuts inside a character.
String terminal_text(const String& text, int columns);

// `text` as terminal_text() shows it, uncut, but with its lines kept: a
// line feed and a tab stay, a carriage return (alone or before a line
// feed) becomes one line feed. For messages that carry servers' replies
// and files' contents to standard error.
String terminal_lines(const String& text);

// The columns `text` takes on a terminal, counted as terminal_text() does.
int terminal_columns(const String& text);

// A time span for people: "0.4 s", "12 s", "3 min 05 s", "2 h 07 min".
String duration_text(int64_t ms);

// The pace of a send: messages per second, and the time the recipients
// still to do will take at that pace.
struct SendPace {
  double per_second = 0;  // 0: not known yet
  int64_t left_ms = -1;   // -1: not known
};

// From the outcomes this run has had (`done_in_run`), those still to come
// (`left`) and the time since the run's first message began. Unknown
// until one message has an outcome.
SendPace send_pace(int done_in_run, int left, int64_t elapsed_ms);

// "4.2/s", "12/s", "30/min", "0.5/min".
String rate_text(double per_second);

// The line shown while the send runs, uncut:
//   "[12/200] 11 sent, 1 refused, 0 failed; 4.2/s, 45 s left; 37% of bob@example.com"
// `elapsed_ms` is the time since the first message of this run began.
String send_line(const SendProgress& progress, int64_t elapsed_ms);

// The summary line (without its line end) of a send that has ended:
//   "Send complete: 11 sent, 1 refused, 0 failed, 3 rejected in 4.1 s; log: /path/Trenk.LOG"
// Recipients skipped by a resume and those not reached by a stopped send
// are added when there are any. Control characters are replaced as by
// terminal_text(); nothing is cut.
String send_summary(const SendProgress& progress, int64_t elapsed_ms);

// The headline of a send that a Ctrl-C stopped: what ran ("Send", "Dry
// run", taken from the send's own headline, "Send complete") and
// "stopped by Ctrl-C". The send itself counts a person's stop as a clean
// end, but the summary must not say "complete" with recipients left.
String interrupted_headline(const String& headline);

}  // namespace tessaline
