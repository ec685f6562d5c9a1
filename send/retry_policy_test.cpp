// Tests of the waits between the tries of a message.
#include "send/retry_policy.h"

#include <gtest/gtest.h>

namespace tessaline {
namespace {

TEST(RetryPolicy, WaitsDoubleWithJitterUpToTheLongestAndStopAtTheTriesOrTheTime) {
  RetrySettings usual;  // 4 tries, 30 s, 600 s, 1800 s
  RetrySettings many = usual;
  many.tries = 10;
  struct Case {
    const char* name;
    const RetrySettings& settings;
    int tries_done;
    int64_t elapsed_ms;
    double random;
    int64_t wait_ms;
  };
  const Case cases[] = {
      {"after the first try, at the low end of the jitter", usual, 1, 0, 0.0, 15000},
      {"after the first try, in the middle", usual, 1, 0, 0.5, 22500},
      {"after the first try, at the top", usual, 1, 0, 0.999, 29985},
      {"a random number of 1 stays below the whole wait", usual, 1, 0, 1.0, 29999},
      {"a negative random number is the low end", usual, 1, 0, -3.0, 15000},
      {"the second wait doubles", usual, 2, 0, 0.0, 30000},
      {"the third doubles again", usual, 3, 0, 0.5, 90000},
      {"no try after the last", usual, 4, 0, 0.5, -1},
      {"no wait before any try", usual, 0, 0, 0.5, -1},
      {"the doubling stops at the longest wait", many, 6, 0, 0.0, 300000},
      {"far on it stays there", many, 9, 0, 1.0, 599999},
      {"a try that would begin after the time to give up", usual, 2, 1780000, 0.0, -1},
      {"one that begins just at it", usual, 2, 1770000, 0.0, 30000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(retry_wait_ms(c.settings, c.tries_done, c.elapsed_ms, c.random), c.wait_ms)
        << c.name;
  }
}

TEST(RetryPolicy, OneTryOrNoWaitsAreKept) {
  RetrySettings once;
  once.tries = 1;
  EXPECT_EQ(retry_wait_ms(once, 1, 0, 0.5), -1);
  RetrySettings at_once;
  at_once.first_wait_seconds = 0;
  at_once.give_up_seconds = 0;
  // Waits of nothing: every try follows the last at once, all of them.
  EXPECT_EQ(retry_wait_ms(at_once, 1, 0, 0.5), 0);
  EXPECT_EQ(retry_wait_ms(at_once, 3, 0, 0.5), 0);
  EXPECT_EQ(retry_wait_ms(at_once, 4, 0, 0.5), -1);
}

}  // namespace
}  // namespace tessaline
