// send_rate.h - how fast a send may go: a rate of messages per minute or
// hour, held exactly over the whole send.
//
// The rate is written as a person types it on the command line (--rate)
// or in the program setting SendRate: "30/min", "500/hour", "2/s", with
// the units s, sec, second, m, min, minute, h, hour, d, day (plural forms
// too), blanks allowed around the parts; "0" or an empty text is no limit.
//
// RateGate spaces the starts of messages as a token bucket that holds one
// message: a message may start once the bucket holds a token, and a token
// comes every period / messages. The schedule is kept in exact fractions
// of a millisecond, so N messages take at least (N - 1) periods / rate
// however the rate divides, and a slow message does not let the next ones
// catch up by rushing: what was not used is not saved up.
//
// Not for: waiting (the send operation waits through its environment's
// clock); the pause between messages and the cap per connection (plain
// settings the send operation applies).
//
// Failures: parse_send_rate() returns false for text it cannot read, with
// nothing changed.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/string.h"

namespace tessaline {

struct SendRate {
  int messages = 0;        // 0: no limit
  int64_t period_ms = 0;   // per this many milliseconds
  bool limited() const { return messages > 0 && period_ms > 0; }
};

// At most this many messages per period: beyond it the spacing would be
// below a microsecond and mean nothing.
inline constexpr int kMaxRateMessages = 1000000;

bool parse_send_rate(std::string_view text, SendRate* rate);
// "30/min", "500/hour", ... as parse_send_rate() reads it; "none" for no
// limit.
String send_rate_text(const SendRate& rate);

class RateGate {
 public:
  RateGate() = default;
  explicit RateGate(const SendRate& rate) : rate_(rate) {}

  // How long a message that would start at `now_ms` must wait first
  // (0 when it may start at once).
  int64_t wait_ms(int64_t now_ms) const;
  // A message started at `now_ms` (after its wait): the next token is one
  // interval later.
  void take(int64_t now_ms);
  // The last message of this send started at `now_ms`, before this gate
  // existed (a resume after a send that was stopped): the next must keep
  // its distance from it.
  void started_before(int64_t now_ms) { take(now_ms); }

 private:
  SendRate rate_;
  bool any_ = false;
  // When the next token comes, in milliseconds times rate_.messages, so
  // that every interval is exact.
  int64_t next_scaled_ = 0;
};

}  // namespace tessaline
