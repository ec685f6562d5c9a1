#include "merge/string_parser.h"

#include <gtest/gtest.h>

#include "core/string.h"

namespace tessaline {
namespace {

struct MatchCase {
  const char* pattern;
  const char* text;
  bool matches;
  const char* matched;  // the out text on success
  int position;         // the cursor afterwards
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << "pattern " << c.pattern << " on \"" << c.text << "\"";
}

class MatchTest : public testing::TestWithParam<MatchCase> {};

TEST_P(MatchTest, MatchesAndMovesTheCursor) {
  const MatchCase& c = GetParam();
  StringParser parser{String(c.text)};
  String out = "stale";
  bool ok = parser.match_pattern(out, c.pattern);
  EXPECT_EQ(ok, c.matches);
  if (c.matches) {
    EXPECT_EQ(out.std_string(), c.matched);
  } else {
    EXPECT_TRUE(out.empty());
  }
  EXPECT_EQ(parser.position(), c.position);
}

// The patterns the merge engine itself uses.
INSTANTIATE_TEST_SUITE_P(ProgramPatterns, MatchTest, testing::Values(
    // numbers
    MatchCase{kNumberPattern, "-12.5)", true, "-12.5", 5},
    MatchCase{kNumberPattern, "-", false, "", 0},
    MatchCase{kNumberPattern, ".", false, "", 0},
    MatchCase{kNumberPattern, "- 5", false, "", 0},
    MatchCase{kNumberPattern, "1.2.3", true, "1.2", 3},
    MatchCase{kNumberPattern, "42", true, "42", 2},
    MatchCase{kNumberPattern, "+.5x", true, "+.5", 3},
    MatchCase{kNumberPattern, "1,000", true, "1", 1},
    MatchCase{"N", "1,000.25,", true, "1,000.25,", 9},
    MatchCase{kNumberPattern, "", false, "", 0},
    MatchCase{kNumberPattern, "a1", false, "", 0},
    // names
    MatchCase{kNamePattern, "-Recipient-", true, "-Recipient-", 11},
    MatchCase{kNamePattern, "first_name rest", true, "first_name", 10},
    MatchCase{kNamePattern, "x-", true, "x-", 2},
    MatchCase{kNamePattern, "-5", false, "", 0},
    MatchCase{kNamePattern, "_a1+", true, "_a1", 3},
    MatchCase{kNamePattern, "9a", false, "", 0},
    // column names in braces
    MatchCase{kBracedColumnPattern, "{Last Name}", true, "{Last Name}", 11},
    MatchCase{kBracedColumnPattern, "{ Last}", false, "", 0},
    MatchCase{kBracedColumnPattern, "{Last Name", false, "", 0},
    MatchCase{kBracedColumnPattern, "{_x 1}+", true, "{_x 1}", 6},
    // keywords
    MatchCase{kAndPattern, "and x", true, "and ", 4},
    MatchCase{kAndPattern, "AND x", false, "", 0},
    MatchCase{kAndPattern, "andx", false, "", 0},
    MatchCase{kAndPattern, "and", false, "", 0},
    MatchCase{kOrPattern, "or\tb", true, "or\t", 3},
    MatchCase{kOrPattern, "o", false, "", 0},
    // date literals
    MatchCase{kDateLiteralPattern, "#1/2/99#", true, "#1/2/99#", 8},
    MatchCase{kDateLiteralPattern, "#12/31/1999# ", true, "#12/31/1999#", 12},
    MatchCase{kDateLiteralPattern, "#1/2/9#", false, "", 0},
    MatchCase{kDateLiteralPattern, "#123/1/99#", false, "", 0},
    MatchCase{kDateLiteralPattern, "#1/2/99", false, "", 0},
    MatchCase{kDateLiteralPattern, "#1/2/19999#", false, "", 0},
    // statement keyword and variable names
    MatchCase{kKeywordPattern, "if(x)", true, "if", 2},
    MatchCase{kKeywordPattern, " if", false, "", 0},
    MatchCase{kVariableNamePattern, "total_2 = 5", true, "total_2", 7},
    MatchCase{kVariableNamePattern, "2x", false, "", 0}));

// The rest of the language: atoms, prefixes, postfixes and conjunctions.
INSTANTIATE_TEST_SUITE_P(Language, MatchTest, testing::Values(
    MatchCase{"'it''s'", "it's", true, "it's", 4},
    MatchCase{"'abc'", "ab", false, "", 0},
    MatchCase{"c65c66", "AB", true, "AB", 2},
    MatchCase{"l+u", "abC", true, "abC", 3},
    MatchCase{"l+u", "abc", false, "", 0},
    MatchCase{"#*'x'", "x", true, "x", 1},
    MatchCase{"#+", "", false, "", 0},
    MatchCase{"#*", "", true, "", 0},
    MatchCase{"o#", "", true, "", 0},
    MatchCase{"$", " ", true, " ", 1},
    MatchCase{"??", "a", false, "", 0},
    // negation: the characters read stay consumed
    MatchCase{"!a", "1", true, "1", 1},
    MatchCase{"!a", "b", false, "", 0},
    MatchCase{"!a", "", false, "", 0},
    MatchCase{"!'x'*", "abxc", true, "ab", 2},
    MatchCase{"!'x'*", "ab", true, "ab", 2},
    MatchCase{"!!a", "b", true, "b", 1},
    // look-ahead keeps the text but not the position
    MatchCase{":'ab'", "abc", true, "ab", 0},
    MatchCase{"'a':'b'", "abc", true, "ab", 1},
    // conjunction: both atoms at the same place, the last one's length
    MatchCase{"s&a", "q", true, "q", 1},
    MatchCase{"s&a", "_", false, "", 0},
    MatchCase{"s&!#", "b", true, "b", 1},
    MatchCase{"s&!#", "5", false, "", 0},
    // groups and alternatives without backtracking
    MatchCase{"('a'|'b')+", "abba!", true, "abba", 4},
    MatchCase{"'ab'|'ac'", "ac", true, "ac", 2},
    MatchCase{"('x'|'y')'z'|'xw'", "xw", true, "xw", 2},
    MatchCase{"#*'1'", "111", false, "", 0},
    MatchCase{"(o'a')*'b'", "aab", true, "aab", 3},
    MatchCase{"!('a'|'b')", "c", true, "", 0},
    // delimited runs
    MatchCase{"d\"", "\"a\"\"b\"x", true, "\"a\"b\"", 6},
    MatchCase{"d`", "'it''s'", true, "'it's'", 7},
    MatchCase{"d|", "|a|", true, "|a|", 3},
    MatchCase{"d(|'x'", "x", true, "x", 1},
    MatchCase{"d\"", "\"open", false, "", 0},
    // white-space runs end their element at once
    MatchCase{"'a'_'b'", "a \t b", true, "a \t b", 5},
    MatchCase{"'a'_'b'", "ab", true, "ab", 2},
    MatchCase{"'a'_", "a", false, "", 0},
    MatchCase{"'a'o_", "a", true, "a", 1},
    MatchCase{"_*'x'", " x", true, " x", 2}));

TEST(StringParserTest, AFailedMatchRestoresPositionAndText) {
  StringParser parser{String("ab cd")};
  ASSERT_TRUE(parser.set_position(3));
  String out;
  EXPECT_FALSE(parser.match_pattern(out, "'cd'#"));
  EXPECT_EQ(parser.position(), 3);
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(parser.match_pattern(out, nullptr));
  EXPECT_TRUE(parser.match_pattern(out, "'c'"));
  EXPECT_EQ(out.std_string(), "c");
  EXPECT_EQ(parser.position(), 4);
}

TEST(StringParserTest, CursorOperations) {
  StringParser parser{String(" \t\r\nxy")};
  EXPECT_TRUE(parser.skip_white());
  EXPECT_EQ(parser.position(), 4);
  EXPECT_FALSE(parser.match_char('y'));
  EXPECT_TRUE(parser.match_char('x'));
  EXPECT_FALSE(parser.match_string(""));
  EXPECT_FALSE(parser.match_string("yz"));
  EXPECT_TRUE(parser.match_string("y"));
  EXPECT_TRUE(parser.at_end());
  EXPECT_FALSE(parser.skip_white());
  EXPECT_EQ(parser.get_char(), 0);
  EXPECT_EQ(parser.position(), 6);
  EXPECT_FALSE(parser.set_position(7));
  EXPECT_FALSE(parser.set_position(-1));
  EXPECT_EQ(parser.position(), 6);
  EXPECT_TRUE(parser.set_position(0));
  EXPECT_EQ(parser.get_char(), ' ');
  EXPECT_EQ(parser.position(), 1);
}

struct DelimitedCase {
  const char* text;
  int flags;
  bool ok;
  const char* out;
  int position;
};

TEST(StringParserTest, ReadDelimited) {
  const int both = StringParser::kDoubledDelimiter | StringParser::kExcludeDelimiters;
  const DelimitedCase cases[] = {
      {"\"say \"\"hi\"\"\" rest", both, true, "say \"hi\"", 12},
      {"\"\"", both, true, "", 2},
      {"\"open \"\"quote", both, false, "", 1},
      {"x\"", both, false, "", 0},
      {"\"a\"\"b\"", 0, true, "\"a\"", 3},
      {"\"a\"\"b\"", StringParser::kDoubledDelimiter, true, "\"a\"b\"", 6},
      {"\"a\"", StringParser::kExcludeDelimiters, true, "a", 3},
      {"", both, false, "", 0},
  };
  for (const DelimitedCase& c : cases) {
    SCOPED_TRACE(c.text);
    StringParser parser{String(c.text)};
    String out = "stale";
    EXPECT_EQ(parser.read_delimited('"', out, c.flags), c.ok);
    EXPECT_EQ(out.std_string(), c.out);
    EXPECT_EQ(parser.position(), c.position);
  }
}

TEST(StringParserDeathTest, MalformedPatternsAreFatal) {
  const char* broken[] = {"x", "(a", "a)", "'z'||'a'", "()", "'open", "c", "c256", "d"};
  for (const char* pattern : broken) {
    SCOPED_TRACE(pattern);
    EXPECT_EXIT(
        {
          StringParser parser{String("abc")};
          String out;
          parser.match_pattern(out, pattern);
        },
        testing::ExitedWithCode(1), "parser [0-9]+");
  }
}

}  // namespace
}  // namespace tessaline
