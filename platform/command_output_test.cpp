#include "platform/command_output.h"

#include <gtest/gtest.h>

namespace tessaline {
namespace {

TEST(FirstLineOfCommand, TakesTheFirstLineOfWhatTheShellCommandPrints) {
  String line, reason;
  ASSERT_TRUE(first_line_of_command("printf 'top secret\\r\\nsecond\\n' | cat", 10, &line, &reason))
      << reason.c_str();
  EXPECT_EQ(line, "top secret");
  EXPECT_EQ(reason, "");
  // Without a line end the whole output is the line; stdin is empty.
  ASSERT_TRUE(first_line_of_command("read x; printf 'tok%sen' \"$x\"", 10, &line, &reason));
  EXPECT_EQ(line, "token");
}

TEST(FirstLineOfCommand, SaysWhyItGotNoSecretAndNeverShowsOutput) {
  struct Case {
    const char* command;
    const char* reason;
  } cases[] = {
      {"echo leaked; exit 3", "it ended with exit status 3"},
      {"true", "it printed nothing"},
      {"no-such-program-anywhere-here", "it could not be run (exit status 127)"},
      {"kill -TERM $$", "it was ended by signal 15"},
      {"", "no command is set"},
  };
  for (const Case& c : cases) {
    String line = "stale", reason;
    EXPECT_FALSE(first_line_of_command(c.command, 10, &line, &reason)) << c.command;
    EXPECT_EQ(reason, c.reason) << c.command;
    EXPECT_EQ(line, "") << c.command;
  }
}

TEST(FirstLineOfCommand, KillsACommandThatDoesNotEnd) {
  String line, reason;
  EXPECT_FALSE(first_line_of_command("echo early; exec sleep 30", 1, &line, &reason));
  EXPECT_EQ(reason, "it did not end within 1 seconds");
  EXPECT_EQ(line, "");
}

TEST(FirstLineOfCommand, ReadsPastAHugeOutputWithoutHanging) {
  String line, reason;
  ASSERT_TRUE(first_line_of_command("echo first; head -c 1000000 /dev/zero | tr '\\0' x", 30,
                                    &line, &reason))
      << reason.c_str();
  EXPECT_EQ(line, "first");
}

}  // namespace
}  // namespace tessaline
