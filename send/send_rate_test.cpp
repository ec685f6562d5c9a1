// Tests of reading a send rate and of the gate that spaces messages by it.
#include "send/send_rate.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessaline {
namespace {

TEST(SendRate, ReadsWhatAPersonTypes) {
  struct Case {
    const char* text;
    bool ok;
    int messages;
    int64_t period_ms;
  };
  const Case cases[] = {
      {"30/min", true, 30, 60000},     {"500/hour", true, 500, 3600000},
      {"2/s", true, 2, 1000},          {" 10 / Minutes ", true, 10, 60000},
      {"1/day", true, 1, 86400000},    {"7/HR", true, 7, 3600000},
      {"0", true, 0, 0},               {"", true, 0, 0},
      {"30", false, 0, 0},             {"30/week", false, 0, 0},
      {"/min", false, 0, 0},           {"0/min", false, 0, 0},
      {"-3/min", false, 0, 0},         {"1.5/min", false, 0, 0},
      {"1000001/s", false, 0, 0},      {"99999999999/s", false, 0, 0},
      {"30/min/h", false, 0, 0},
  };
  for (const Case& c : cases) {
    SendRate rate{99, 99};
    EXPECT_EQ(parse_send_rate(c.text, &rate), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(rate.messages, c.messages) << c.text;
      EXPECT_EQ(rate.period_ms, c.period_ms) << c.text;
    } else {
      EXPECT_EQ(rate.messages, 99) << c.text << ": changed although not read";
    }
  }
  SendRate rate;
  ASSERT_TRUE(parse_send_rate("500/hours", &rate));
  EXPECT_EQ(send_rate_text(rate), "500/hour");
  EXPECT_EQ(send_rate_text(SendRate()), "none");
}

// The starts the gate allows for messages that each take `busy_ms`, the
// first at `start_ms`.
std::vector<int64_t> starts(const SendRate& rate, int count, int64_t start_ms,
                            const std::vector<int64_t>& busy_ms) {
  RateGate gate(rate);
  std::vector<int64_t> at;
  int64_t now = start_ms;
  for (int i = 0; i < count; ++i) {
    now += gate.wait_ms(now);
    gate.take(now);
    at.push_back(now);
    now += i < static_cast<int>(busy_ms.size()) ? busy_ms[i] : 0;
  }
  return at;
}

TEST(RateGate, SpacesStartsExactlyAndSavesNothingUp) {
  // 30/min: one every 2 s, however quick the messages.
  EXPECT_EQ(starts({30, 60000}, 4, 1000, {}), (std::vector<int64_t>{1000, 3000, 5000, 7000}));
  // 7/min does not divide a minute: the starts keep the exact schedule
  // (60000 / 7 = 8571.43 ms), rounded up to the millisecond, not drifting.
  EXPECT_EQ(starts({7, 60000}, 8, 0, {}),
            (std::vector<int64_t>{0, 8572, 17143, 25715, 34286, 42858, 51429, 60000}));
  // A slow second message: the third starts when it ends, and the fourth
  // a whole interval after the third, not at once to catch up.
  EXPECT_EQ(starts({30, 60000}, 5, 0, {0, 5000}),
            (std::vector<int64_t>{0, 2000, 7000, 9000, 11000}));
  // No limit: nothing waits.
  EXPECT_EQ(starts(SendRate(), 3, 5, {}), (std::vector<int64_t>{5, 5, 5}));
}

TEST(RateGate, AResumeKeepsItsDistanceFromTheLastStart) {
  RateGate gate({30, 60000});
  gate.started_before(10000);
  EXPECT_EQ(gate.wait_ms(10500), 1500);
  EXPECT_EQ(gate.wait_ms(12000), 0);
}

}  // namespace
}  // namespace tessaline
