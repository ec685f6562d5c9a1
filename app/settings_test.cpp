// Tests of the program settings of a send as the registry file gives them.
#include "app/settings.h"

#include <gtest/gtest.h>

#include "mail/smtp_server.h"
#include "mail/test_support.h"

namespace tessaline {
namespace {

TEST(SendSettingsFromTheRegistry, TheTriesOfAMessageAndTheirWaits) {
  MapRegistry registry;
  SendSettings none = read_send_settings(registry);
  EXPECT_EQ(none.retry.tries, 4);
  EXPECT_EQ(none.retry.first_wait_seconds, 30);
  EXPECT_EQ(none.retry.longest_wait_seconds, 600);
  EXPECT_EQ(none.retry.give_up_seconds, 1800);

  registry.numbers = {{"SendTries", 1}, {"RetryFirstWait", 0}, {"RetryLongestWait", 86400},
                      {"RetryGiveUp", 604800}};
  SendSettings set = read_send_settings(registry);
  EXPECT_EQ(set.retry.tries, 1);
  EXPECT_EQ(set.retry.first_wait_seconds, 0);
  EXPECT_EQ(set.retry.longest_wait_seconds, 86400);
  EXPECT_EQ(set.retry.give_up_seconds, 604800);

  // Out of range: the default stays.
  registry.numbers = {{"SendTries", 0}, {"RetryFirstWait", -1}, {"RetryLongestWait", 86401},
                      {"RetryGiveUp", -5}};
  SendSettings wrong = read_send_settings(registry);
  EXPECT_EQ(wrong.retry.tries, 4);
  EXPECT_EQ(wrong.retry.first_wait_seconds, 30);
  EXPECT_EQ(wrong.retry.longest_wait_seconds, 600);
  EXPECT_EQ(wrong.retry.give_up_seconds, 1800);

  // A first wait beyond the longest is cut to it.
  registry.numbers = {{"RetryFirstWait", 900}};
  EXPECT_EQ(read_send_settings(registry).retry.first_wait_seconds, 600);
}

}  // namespace
}  // namespace tessaline
