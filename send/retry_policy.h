// retry_policy.h - when a message that failed for now is tried again.
//
// A temporary failure (send/delivery_failure.h: a 4xx reply at any step, a
// connection that could not be made or broke, a server that did not answer
// in time) is tried again after a wait that doubles from try to try, from
// `first_wait_seconds` up to `longest_wait_seconds`, with jitter: each wait
// is drawn between half of its doubled value and the whole of it, so that
// many senders refused at once by one server do not all come back at the
// same moment. A message is tried at most `tries` times in all, and no try
// begins once `give_up_seconds` have passed since its first; it then fails
// as its last try did. A permanent failure (5xx) is never tried again.
//
// While a message waits for its next try the whole send waits with it:
// a server that keeps refusing holds the send back instead of seeing it
// burn through the list with a failure for every recipient.
//
// Not for: sleeping (the send operation waits through its environment's
// clock), classifying failures (send/delivery_failure.h).
//
// Failures: none; pure functions.
#pragma once

#include <cstdint>

namespace tessaline {

struct RetrySettings {
  int tries = 4;                 // tries of one message in all; 1 tries nothing again
  int first_wait_seconds = 30;   // before the second try
  int longest_wait_seconds = 600;
  int give_up_seconds = 1800;    // no try begins this long after the first
};

// The wait in milliseconds before the next try of a message that has been
// tried `tries_done` times (at least 1), the first of them `elapsed_ms`
// ago, or -1 when it is not tried again. `unit_random` in [0, 1) places
// the wait within its jitter.
int64_t retry_wait_ms(const RetrySettings& settings, int tries_done, int64_t elapsed_ms,
                      double unit_random);

}  // namespace tessaline
