#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessaline {
namespace {

CommandLine parse(std::vector<const char*> args) {
  args.insert(args.begin(), "tessaline-mailer");
  return parse_command_line(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, ParsesEverySwitchForm) {
  struct Case {
    std::vector<const char*> args;
    CommandMode mode;
    const char* switch_text;
    const char* project;
    const char* address;
  } cases[] = {
      {{}, CommandMode::kNone, "", "", ""},
      {{"news.zqj"}, CommandMode::kNone, "", "news.zqj", ""},
      {{"-ajohn@example.com", "news"}, CommandMode::kAddRecipient, "-a", "news", "john@example.com"},
      {{"-a", "john@example.com", "news"}, CommandMode::kAddRecipient, "-a", "news",
       "john@example.com"},
      {{"news", "-A", "john@example.com"}, CommandMode::kAddRecipient, "-A", "news",
       "john@example.com"},
      // Without an "@" the next argument is not an address: the clipboard is asked later.
      {{"-a", "news"}, CommandMode::kAddRecipient, "-a", "news", ""},
      {{"-Eold@example.com", "/srv/p.zqj"}, CommandMode::kAddExclusion, "-E", "/srv/p.zqj",
       "old@example.com"},
      {{"-o", "me@example.com", "p"}, CommandMode::kSendOnly, "-o", "p", "me@example.com"},
      {{"-s", "p"}, CommandMode::kSend, "-s", "p", ""},
      {{"-S", "p"}, CommandMode::kSend, "-S", "p", ""},
      // The send switch never takes the next argument as an address.
      {{"-s", "odd@name.zqj"}, CommandMode::kSend, "-s", "odd@name.zqj", ""},
      {{"--add-recipient", "a@b.c", "p"}, CommandMode::kAddRecipient, "--add-recipient", "p",
       "a@b.c"},
      {{"--add-exclusion=a@b.c", "p"}, CommandMode::kAddExclusion, "--add-exclusion", "p",
       "a@b.c"},
      {{"--send-only=", "p"}, CommandMode::kSendOnly, "--send-only", "p", ""},
      {{"--send", "p"}, CommandMode::kSend, "--send", "p", ""},
      {{"-aJohn Smith <john@example.com>", "p"}, CommandMode::kAddRecipient, "-a", "p",
       "John Smith <john@example.com>"},
  };
  for (const Case& c : cases) {
    CommandLine line = parse(c.args);
    SCOPED_TRACE(testing::PrintToString(c.args));
    EXPECT_EQ(line.mode, c.mode);
    EXPECT_EQ(line.switch_text, c.switch_text);
    EXPECT_EQ(line.project, c.project);
    EXPECT_EQ(line.address, c.address);
    EXPECT_FALSE(line.help);
    EXPECT_FALSE(line.version);
  }
}

TEST(CommandLine, HelpAndVersionWinOverEverythingElse) {
  EXPECT_TRUE(parse({"--help"}).help);
  EXPECT_TRUE(parse({"-x", "--help", "a", "b"}).help);
  EXPECT_TRUE(parse({"-h"}).help);
  EXPECT_TRUE(parse({"a", "b", "--version"}).version);
}

TEST(CommandLineDeathTest, ParseErrorsAreFatalWithTheirMessages) {
  struct Case {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"one.zqj", "two.zqj"}, "Invalid command line parameter:\ntwo.zqj"},
      {{"-s", "one", "two"}, "Invalid command line parameter:\ntwo"},
      {{"-x", "p"}, "Invalid command line switch:\nx"},
      {{"-", "p"}, "Invalid command line switch:\n\n"},
      {{"--bogus", "p"}, "Invalid command line switch:\nbogus"},
      {{"--sendonly=a@b", "p"}, "Invalid command line switch:\nsendonly=a@b"},
      {{"-s", "-ajohn@example.com", "p"}, "Invalid command line switch:\najohn@example.com"},
      {{"-a", "x@y.z", "-e", "p"}, "Invalid command line switch:\ne"},
      {{"-sjohn@example.com", "p"}, "The -s switch cannot be followed by an email address\\."},
      {{"-Sx", "p"}, "The -S switch cannot be followed by an email address\\."},
      {{"--send=x@y.z", "p"}, "The --send switch cannot be followed by an email address\\."},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(parse(c.args), testing::ExitedWithCode(1), c.message)
        << testing::PrintToString(c.args);
  }
}

String no_clipboard() { return String(); }
String clipboard_with_address() { return String("  <clip@example.com>\n"); }

TEST(CommandLine, CompletionCleansTheAddressOrTakesTheClipboard) {
  struct Case {
    std::vector<const char*> args;
    ClipboardReader clipboard;
    const char* address;
  } cases[] = {
      {{"-a", "p"}, clipboard_with_address, "clip@example.com"},
      {{"-ajoe@example.com", "p"}, clipboard_with_address, "joe@example.com"},
      {{"-a<joe@example.com>", "p"}, no_clipboard, "joe@example.com"},
      {{"-a\"joe@example.com\"", "p"}, no_clipboard, "joe@example.com"},
      // Brackets count only at the very ends once the quotes are gone.
      {{"-a\" <joe@example.com> \"", "p"}, no_clipboard, "<joe@example.com>"},
      {{"-aJoe <joe@example.com>", "p"}, no_clipboard, "Joe <joe@example.com>"},
      {{"-s", "p"}, nullptr, ""},
  };
  for (const Case& c : cases) {
    CommandLine line = parse(c.args);
    complete_command_line(line, c.clipboard);
    EXPECT_EQ(line.address, c.address) << testing::PrintToString(c.args);
  }
}

TEST(CommandLineDeathTest, CompletionErrorsAreFatalWithTheirMessages) {
  struct Case {
    std::vector<const char*> args;
    ClipboardReader clipboard;
    const char* message;
  } cases[] = {
      {{"-s"}, nullptr, "No project file was specified\\."},
      {{"-ajoe@example.com"}, nullptr, "No project file was specified\\."},
      {{"-a", "p"}, no_clipboard,
       "No email address followed the -a switch\\.  Nor was an email address found in the "
       "clipboard\\."},
      {{"-O", "p"}, nullptr, "No email address followed the -O switch\\."},
      {{"--add-exclusion", "p"}, no_clipboard,
       "No email address followed the --add-exclusion switch\\."},
      {{"-ajoe.example.com", "p"}, nullptr, "This email address is not valid:\njoe.example.com"},
      {{"-a", "a@b@c", "p"}, nullptr, "This email address is not valid:\na@b@c"},
      {{"-a<>", "p"}, nullptr, "This email address is not valid:\n\n"},
      {{"-a", "Ann\r\nann@example.com", "p"}, nullptr, "This email address is not valid:\nAnn"},
      {{"-o", "p"}, [] { return String("ann@example.com\nbob.example.com"); },
       "This email address is not valid:\nann@example.com"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          CommandLine line = parse(c.args);
          complete_command_line(line, c.clipboard);
        },
        testing::ExitedWithCode(1), c.message)
        << testing::PrintToString(c.args);
  }
}

TEST(CommandLine, TheOptionsOfASend) {
  struct Case {
    std::vector<const char*> args;
    CommandMode mode;
    const char* project;
    const char* dry_run;
    int limit;
    const char* test;
  } cases[] = {
      {{"--resume", "news"}, CommandMode::kResume, "news", "", 0, ""},
      {{"news", "--resume"}, CommandMode::kResume, "news", "", 0, ""},
      {{"-s", "--dry-run", "out", "news"}, CommandMode::kSend, "news", "out", 0, ""},
      {{"--dry-run=/tmp/out", "-s", "news"}, CommandMode::kSend, "news", "/tmp/out", 0, ""},
      {{"-s", "news", "--limit", "25"}, CommandMode::kSend, "news", "", 25, ""},
      {{"-s", "--limit=1", "news"}, CommandMode::kSend, "news", "", 1, ""},
      // The option's value is not the project, even when it looks like one.
      {{"-s", "--test", "<me@example.com>", "news"}, CommandMode::kSend, "news", "", 0,
       "me@example.com"},
      {{"-s", "--test=me@example.com", "--limit", "3", "--dry-run", "d", "news"},
       CommandMode::kSend, "news", "d", 3, "me@example.com"},
      {{"-o", "ann@example.com", "--dry-run", "d", "news"}, CommandMode::kSendOnly, "news", "d", 0,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    CommandLine line = parse(c.args);
    complete_command_line(line, nullptr);
    EXPECT_EQ(line.mode, c.mode);
    EXPECT_EQ(line.project, c.project);
    EXPECT_EQ(line.dry_run, c.dry_run);
    EXPECT_EQ(line.limit_count, c.limit);
    EXPECT_EQ(line.test_address, c.test);
  }
}

TEST(CommandLine, TheRateOfASendAlsoGoesWithAResume) {
  for (std::vector<const char*> args : {std::vector<const char*>{"-s", "--rate", "30/min", "news"},
                                        std::vector<const char*>{"--resume", "news", "--rate=30/min"},
                                        std::vector<const char*>{"-o", "a@example.com", "--rate",
                                                                 " 30 / minute ", "news"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    CommandLine line = parse(args);
    complete_command_line(line, nullptr);
    EXPECT_EQ(line.rate_value.messages, 30);
    EXPECT_EQ(line.rate_value.period_ms, 60000);
  }
  CommandLine none = parse({"-s", "news"});
  complete_command_line(none, nullptr);
  EXPECT_TRUE(none.rate.empty());
  EXPECT_FALSE(none.rate_value.limited());
}

TEST(CommandLine, TheConnectionsOfASendAlsoGoWithAResume) {
  struct Case {
    std::vector<const char*> args;
    int connections;
  } cases[] = {
      {{"-s", "--connections", "4", "news"}, 4},
      {{"--resume", "news", "--connections=1"}, 1},
      {{"-o", "a@example.com", "--connections", "32", "news"}, 32},
      {{"-s", "--connections=08", "--rate", "30/min", "--test", "me@example.com", "news"}, 8},
      {{"-s", "--dry-run", "d", "--connections", "2", "news"}, 2},
      {{"-s", "news"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    CommandLine line = parse(c.args);
    complete_command_line(line, nullptr);
    EXPECT_EQ(line.connections_count, c.connections);
    EXPECT_EQ(line.project, "news");
  }
}

TEST(CommandLineDeathTest, TheOptionsOfASendAreChecked) {
  struct Case {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"-s", "news", "--limit"}, "The --limit option needs a value\\."},
      {{"-s", "news", "--dry-run="}, "The --dry-run option needs a value\\."},
      {{"-s", "--limit", "2", "--limit", "3", "news"}, "The --limit option was given twice\\."},
      {{"-s", "--limit", "0", "news"}, "The --limit option needs a whole number above 0\\."},
      {{"-s", "--limit", "-4", "news"}, "The --limit option needs a whole number above 0\\."},
      {{"-s", "--limit", "12x", "news"}, "The --limit option needs a whole number above 0\\."},
      {{"-s", "--limit", "99999999999", "news"},
       "The --limit option needs a whole number above 0\\."},
      {{"-ajoe@example.com", "--dry-run", "d", "news"},
       "The --dry-run option works only with a send \\(-s, -o or --resume\\)\\."},
      {{"--limit", "3", "news"}, "The --limit option works only with a send"},
      {{"--resume", "--limit", "3", "news"},
       "The --limit option cannot be used with --resume: a resumed send goes on as it began\\."},
      {{"--resume", "--test", "me@example.com", "news"},
       "The --test option cannot be used with --resume"},
      {{"-o", "ann@example.com", "--test", "me@example.com", "news"},
       "The --test option cannot be used with -o, which sends to its own address\\."},
      {{"-s", "--test", "me.example.com", "news"},
       "This email address is not valid:\nme.example.com"},
      {{"--resume=x@y.z", "news"}, "The --resume switch cannot be followed by an email address\\."},
      {{"--resume"}, "No project file was specified\\."},
      {{"-s", "--rate", "fast", "news"},
       "The --rate option needs a number of messages per unit of time, such as 30/min or "
       "500/hour:\nfast"},
      {{"-s", "--rate", "30/week", "news"}, "such as 30/min or 500/hour:\n30/week"},
      {{"-s", "--rate", "2/s", "--rate", "1/s", "news"}, "The --rate option was given twice\\."},
      {{"-ajoe@example.com", "--rate", "30/min", "news"},
       "The --rate option works only with a send \\(-s, -o or --resume\\)\\."},
      {{"-s", "news", "--connections"}, "The --connections option needs a value\\."},
      {{"-s", "--connections=", "news"}, "The --connections option needs a value\\."},
      {{"-s", "--connections", "0", "news"},
       "The --connections option needs a whole number from 1 to 32\\."},
      {{"-s", "--connections", "33", "news"}, "needs a whole number from 1 to 32\\."},
      {{"-s", "--connections", "-2", "news"}, "needs a whole number from 1 to 32\\."},
      {{"-s", "--connections", "two", "news"}, "needs a whole number from 1 to 32\\."},
      {{"-s", "--connections", "4x", "news"}, "needs a whole number from 1 to 32\\."},
      {{"-s", "--connections", "4294967300", "news"}, "needs a whole number from 1 to 32\\."},
      {{"-s", "--connections", "2", "--connections=3", "news"},
       "The --connections option was given twice\\."},
      {{"-ejoe@example.com", "--connections", "2", "news"},
       "The --connections option works only with a send \\(-s, -o or --resume\\)\\."},
      {{"--connections", "2", "news"}, "The --connections option works only with a send"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          CommandLine line = parse(c.args);
          complete_command_line(line, nullptr);
        },
        testing::ExitedWithCode(1), c.message)
        << testing::PrintToString(c.args);
  }
}

TEST(CommandLine, CleanAddress) {
  struct Case {
    const char* raw;
    const char* clean;
  } cases[] = {
      {" \t a@b.c \r\n", "a@b.c"},
      {"\"a@b.c\"", "a@b.c"},
      {"<a@b.c>", "a@b.c"},
      {"\"<a@b.c>\"", "a@b.c"},
      {"<\"a@b.c\">", "\"a@b.c\""},  // quotes inside brackets stay
      {"\"", "\""},
      {"Ann <a@b.c>", "Ann <a@b.c>"},
  };
  for (const Case& c : cases) EXPECT_EQ(clean_address(c.raw), c.clean) << c.raw;
}

TEST(CommandLine, ProjectPathsResolveAgainstTheCurrentDirectory) {
  struct Case {
    const char* name;
    const char* path;
  } cases[] = {
      {"news", "/home/ann/news.zqj"},
      {"news.zqj", "/home/ann/news.zqj"},
      {"news.ZQJ", "/home/ann/news.ZQJ"},
      {"mail/news", "/home/ann/mail/news.zqj"},
      {"../news", "/home/ann/../news.zqj"},
      {"v1.2/news", "/home/ann/v1.2/news.zqj"},
      {"/srv/news", "/srv/news.zqj"},
      {"/srv/news.old", "/srv/news.old"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(resolve_project_path(c.name, "/home/ann"), c.path) << c.name;
  }
}

// "a b c" of a list of addresses.
std::string joined(const Vector<String>& items) {
  std::string text;
  for (const String& item : items) text += (text.empty() ? "" : " ") + item.std_string();
  return text;
}

TEST(CommandLine, RemoveTakesEveryArgumentButTheLastAsAnAddress) {
  struct Case {
    std::vector<const char*> args;
    const char* switch_text;
    const char* project;
    const char* addresses;  // after completion
    const char* file;
    bool preview;
  } cases[] = {
      {{"--remove", "ann@example.com", "news"}, "--remove", "news", "ann@example.com", "", false},
      {{"--remove", "ann@example.com", "Bob <bob@example.com>", "/srv/news.zqj", "--preview"},
       "--remove", "/srv/news.zqj", "ann@example.com bob@example.com", "", true},
      {{"--preview", "--remove=ann@example.com", "cy@example.com", "news"}, "--remove", "news",
       "ann@example.com cy@example.com", "", true},
      // A project whose name holds an "@" is still the last argument.
      {{"--remove", "ann@example.com", "lists@2024/news"}, "--remove", "lists@2024/news",
       "ann@example.com", "", false},
      {{"--remove-from", "gone.txt", "news"}, "--remove-from", "news", "", "gone.txt", false},
      {{"--remove-from=-", "news", "--preview"}, "--remove-from", "news", "", "-", true},
      {{"--remove-from", "-", "news"}, "--remove-from", "news", "", "-", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    CommandLine line = parse(c.args);
    complete_command_line(line, nullptr);
    EXPECT_EQ(line.mode, CommandMode::kRemove);
    EXPECT_EQ(line.switch_text, c.switch_text);
    EXPECT_EQ(line.project, c.project);
    EXPECT_EQ(joined(line.remove_addresses), c.addresses);
    EXPECT_EQ(line.address_file, c.file);
    EXPECT_EQ(line.preview, c.preview);
  }
}

TEST(CommandLineDeathTest, RemoveRefusesWhatCouldTakeOffTooMuch) {
  const char kShort[] =
      "Because of the potential for catastrophic consequences, the email address must be at "
      "least 6 characters long\\.";
  struct Case {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"--remove", "news"}, "No email address followed the --remove switch\\."},
      {{"--remove"}, "No project file was specified\\."},
      {{"--remove-from"}, "No project file was specified\\."},
      {{"--remove-from", "gone.txt"}, "No project file was specified\\."},
      {{"--remove", "@example.com", "news"}, "This email address is not valid:\n@example.com"},
      {{"--remove", "example.com", "news"}, "This email address is not valid:\nexample.com"},
      {{"--remove", "ann@", "news"}, "This email address is not valid:\nann@"},
      {{"--remove", "ann smith@example.com", "news"},
       "This email address is not valid:\nann smith@example.com"},
      {{"--remove", "ann@example.com", "a@b.c", "news"}, kShort},
      {{"--remove", "ann@example.com", "-s", "news"}, "Invalid command line switch:\ns"},
      {{"--remove", "a@example.com", "--remove-from", "f", "news"},
       "Invalid command line switch:\nremove-from"},
      {{"--preview", "-s", "news"},
       "The --preview switch goes with --remove or --remove-from only\\."},
      {{"--preview", "news"}, "The --preview switch goes with --remove or --remove-from only\\."},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          CommandLine line = parse(c.args);
          complete_command_line(line, nullptr);
        },
        testing::ExitedWithCode(1), c.message)
        << testing::PrintToString(c.args);
  }
}

}  // namespace
}  // namespace tessaline
