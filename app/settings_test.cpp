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

TEST(SendSettingsFromTheRegistry, HowFastASendGoes) {
  MapRegistry registry;
  SendSettings none = read_send_settings(registry);
  EXPECT_FALSE(none.rate.limited());
  EXPECT_EQ(none.messages_per_connection, 0);
  EXPECT_EQ(none.message_pause_ms, 0);
  EXPECT_EQ(none.connections, 1);

  registry.texts = {{"SendRate", " 500/hour "}};
  registry.numbers = {{"MessagesPerConnection", 20}, {"MessagePause", 250},
                      {"SendConnections", 32}};
  SendSettings set = read_send_settings(registry);
  EXPECT_EQ(set.rate.messages, 500);
  EXPECT_EQ(set.rate.period_ms, 3600000);
  EXPECT_EQ(set.messages_per_connection, 20);
  EXPECT_EQ(set.message_pause_ms, 250);
  EXPECT_EQ(set.connections, 32);

  // What cannot be read keeps the default: no limit.
  registry.texts = {{"SendRate", "fast"}};
  registry.numbers = {{"MessagesPerConnection", -1}, {"MessagePause", 3600001},
                      {"SendConnections", 33}};
  SendSettings wrong = read_send_settings(registry);
  EXPECT_FALSE(wrong.rate.limited());
  EXPECT_EQ(wrong.messages_per_connection, 0);
  EXPECT_EQ(wrong.message_pause_ms, 0);
  EXPECT_EQ(wrong.connections, 1);
  // At least one connection, whatever the setting says.
  registry.numbers = {{"SendConnections", 0}};
  EXPECT_EQ(read_send_settings(registry).connections, 1);
}

}  // namespace
}  // namespace tessaline
