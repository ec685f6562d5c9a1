#include "core/string.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace tessaline {
namespace {

TEST(StringStorage, EmptyOwnsNothingAndReadsAsEmptyText) {
  String s;
  EXPECT_NE(s.c_str(), nullptr);
  EXPECT_STREQ(s.c_str(), "");
  EXPECT_EQ(s.length(), 0);
  EXPECT_EQ(s.capacity(), 0);
  EXPECT_EQ(s.data(), nullptr);

  for (const char* source : {static_cast<const char*>(nullptr), ""}) {
    String t(source);
    EXPECT_EQ(t.capacity(), 0);
    EXPECT_STREQ(t.c_str(), "");
  }
  EXPECT_EQ(String("abc", 0).capacity(), 0);
}

TEST(StringStorage, SetLengthZeroFreesTheBuffer) {
  String s("hello");
  s.set_length(0);
  EXPECT_EQ(s.capacity(), 0);
  EXPECT_EQ(s.data(), nullptr);
  s = "hello";
  s.set_length(-3);
  EXPECT_EQ(s.capacity(), 0);
}

TEST(StringStorage, GrowthIsAdditiveAndShrinkingWaitsFor512IdleBytes) {
  String s("abc");
  EXPECT_EQ(s.capacity(), 3 + 25);

  // Appending one character at a time reallocates once every 25 characters.
  int reallocations = 0;
  int last_capacity = s.capacity();
  for (int i = 0; i < 1000; ++i) {
    s.append('x');
    if (s.capacity() != last_capacity) {
      ++reallocations;
      EXPECT_EQ(s.capacity(), s.length() + 25);
      last_capacity = s.capacity();
    }
  }
  EXPECT_EQ(reallocations, 40);

  // Shrinking keeps the buffer until more than 512 bytes would lie idle.
  int capacity = s.capacity();
  s.set_length(capacity - 512);
  EXPECT_EQ(s.capacity(), capacity);
  s.set_length(capacity - 513);
  EXPECT_EQ(s.capacity(), capacity - 513 + 25);
  EXPECT_EQ(s.c_str()[s.length()], 0);
}

TEST(StringStorage, CopiesAreDeepAndSelfAppendWorks) {
  String a("abc");
  String b = a;
  b[0] = 'X';
  EXPECT_EQ(a, "abc");
  EXPECT_EQ(b, "Xbc");

  String s("ab");
  s.append(s);
  EXPECT_EQ(s, "abab");
  s.append(s.c_str() + 1, 2);
  EXPECT_EQ(s, "ababba");
  s.insert(1, s);
  EXPECT_EQ(s, "aababbababba");
  s.format("%s-%s", s.c_str(), "z");
  EXPECT_EQ(s, "aababbababba-z");
}

// "%c" with a 0 byte writes that byte: short and long results alike keep
// every byte that the formatting produced.
TEST(StringFormat, KeepsEveryFormattedByteWhateverTheLength) {
  for (int pad : {0, 10, 600}) {
    String s("<");
    s.append_format("%*sa%cb", pad, "", 0);
    std::string expected = "<" + std::string(pad, ' ') + std::string("a\0b", 3);
    EXPECT_EQ(s.std_string(), expected) << "pad " << pad;
    EXPECT_EQ(String().format("%*sa%cb", pad, "", 0).length(), pad + 3) << "pad " << pad;
  }
}

TEST(StringCompare, Table) {
  struct Case {
    const char* a;
    const char* b;
    bool case_sensitive;
    int n;
    int sign;
  } cases[] = {
      {"abc", "abcd", true, String::kToEnd, -1},
      {"abc", "abcd", false, String::kToEnd, -1},
      {"abcd", "abc", true, String::kToEnd, 1},
      {"ABC", "abc", true, String::kToEnd, -1},
      {"ABC", "abc", false, String::kToEnd, 0},
      {"", "", true, String::kToEnd, 0},
      {"", nullptr, true, String::kToEnd, 0},
      {"a", "", true, String::kToEnd, 1},
      {"", "a", true, String::kToEnd, -1},
      {"abcX", "abcY", true, 3, 0},  // capped before the difference
      {"abc", "abcd", true, 3, 0},   // the cap keeps the terminator out
      {"abc", "abd", true, 0, -1},   // a cap below 1 reads as "less"
      {"\xe9", "e", true, String::kToEnd, 1},  // bytes compare unsigned
      {"[", "a", false, String::kToEnd, -1},   // folding goes to lower case
  };
  for (const Case& c : cases) {
    int r = String(c.a).compare(c.b, c.case_sensitive, c.n);
    int sign = (r > 0) - (r < 0);
    EXPECT_EQ(sign, c.sign) << '"' << c.a << "\" vs \"" << (c.b ? c.b : "(null)") << "\" cs="
                            << c.case_sensitive << " n=" << c.n;
  }
}

TEST(StringSearch, Table) {
  String s("Hello, hello world");
  EXPECT_EQ(s.find('l'), 2);
  EXPECT_EQ(s.find('L', 0, false), 2);
  EXPECT_EQ(s.find('L'), -1);
  EXPECT_EQ(s.find("hello"), 7);
  EXPECT_EQ(s.find("HELLO", 1, false), 7);
  EXPECT_EQ(s.find(""), -1);
  EXPECT_EQ(s.find("o", 100), -1);
  EXPECT_EQ(s.find('o', 100), -1);
  EXPECT_EQ(s.find("world!"), -1);
  EXPECT_EQ(s.rfind('o'), 14);
  EXPECT_EQ(s.rfind('o', 13), 11);
  EXPECT_EQ(s.rfind('H', 0), 0);
  EXPECT_EQ(s.find_any(",w"), 5);
  EXPECT_EQ(s.find_not_any("Hel"), 4);
  EXPECT_EQ(s.rfind_any("Hh"), 7);
  EXPECT_EQ(String("ab.5").find_number_start(), 2);
  EXPECT_EQ(String("ab.5").find_number_start(0, false), 3);
  EXPECT_EQ(String("abc").find_number_start(), -1);
  EXPECT_EQ(String().find('a'), -1);
  EXPECT_EQ(String().rfind('a'), -1);
}

TEST(StringEdit, RemoveTrimAndStrip) {
  String s("abcdef");
  EXPECT_TRUE(s.remove(-2, 4));  // starts at 0 with 2 characters
  EXPECT_EQ(s, "cdef");
  EXPECT_FALSE(s.remove(4, 1));
  EXPECT_FALSE(s.remove(-5, 3));
  EXPECT_TRUE(s.remove(2, 100));
  EXPECT_EQ(s, "cd");

  String t(" \t x y \r\n");
  EXPECT_EQ(t.trim_left(), 3);
  EXPECT_EQ(t.trim_right(), 3);
  EXPECT_EQ(t, "x y");
  String u("--x--");
  EXPECT_EQ(u.trim("-"), 4);
  EXPECT_EQ(u, "x");

  String q("\"quoted\"");
  EXPECT_TRUE(q.strip_enclosing('"'));
  EXPECT_EQ(q, "quoted");
  String one("\"");
  EXPECT_FALSE(one.strip_enclosing('"'));
  String angle("<a@b>");
  EXPECT_TRUE(angle.strip_enclosing('<', '>'));
  EXPECT_EQ(angle, "a@b");

  String z("-0042");
  EXPECT_EQ(z.remove_leading_zeros(), 2);
  EXPECT_EQ(z, "-42");

  String r("a,b;c");
  EXPECT_EQ(r.remove_chars(",;"), 2);
  EXPECT_EQ(r, "abc");
  String cut("name value");
  cut.cut_at_any();
  EXPECT_EQ(cut, "name");
}

TEST(StringReplace, ReplaceAllDoesNotRescanInsertedText) {
  struct Case {
    const char* text;
    const char* searched;
    const char* replacement;
    bool case_sensitive;
    const char* result;
    int count;
  } cases[] = {
      {"aa", "a", "aa", true, "aaaa", 2},
      {"aaa", "aa", "b", true, "ba", 1},
      {"Abc abc", "ABC", "x", false, "x x", 2},
      {"Abc abc", "ABC", "x", true, "Abc abc", 0},
      {"abc", "", "x", true, "abc", 0},
      {"abc", "b", "", true, "ac", 1},
  };
  for (const Case& c : cases) {
    String s(c.text);
    EXPECT_EQ(s.replace_all(c.searched, c.replacement, c.case_sensitive), c.count) << c.text;
    EXPECT_EQ(s, c.result) << c.text;
  }
  String s("abcdef");
  s.replace(1, 3, "XY");
  EXPECT_EQ(s, "aXYef");
  EXPECT_EQ(s.replace_char('X', "<x>"), 1);
  EXPECT_EQ(s, "a<x>Yef");
}

// A String holds raw bytes: the edits that rebuild it must copy its own
// bytes by length, keeping a 0 byte and everything after it.
TEST(StringReplace, KeepsZeroBytesOfTheText) {
  using namespace std::string_view_literals;
  const std::string_view text = "ab\0cd-ef\0-"sv;
  struct Case {
    const char* name;
    void (*edit)(String&);
    std::string_view result;
  } cases[] = {
      {"replace at the start", [](String& s) { s.replace(0, 1, "X"); }, "Xb\0cd-ef\0-"sv},
      {"replace in the middle", [](String& s) { s.replace(3, 2, "XYZ"); }, "ab\0XYZ-ef\0-"sv},
      {"replace_all", [](String& s) { s.replace_all("-", "+"); }, "ab\0cd+ef\0+"sv},
      {"replace_all before the 0", [](String& s) { s.replace_all("a", "A"); }, "Ab\0cd-ef\0-"sv},
      {"replace_all ignoring case", [](String& s) { s.replace_all("EF", "g", false); },
       "ab\0cd-g\0-"sv},
  };
  for (const Case& c : cases) {
    String s(text);
    c.edit(s);
    EXPECT_EQ(s.view(), c.result) << c.name;
  }
}

TEST(StringLines, LineBreakForms) {
  struct Case {
    const char* text;
    const char* crlf;
    const char* lf;
  } cases[] = {
      {"a\nb", "a\r\nb", "a\nb"},
      {"a\rb", "a\r\nb", "a\nb"},
      {"a\r\nb", "a\r\nb", "a\nb"},
      {"a\n\rb", "a\r\nb", "a\nb"},
      {"a\n\nb", "a\r\n\r\nb", "a\n\nb"},
      {"a\r\n\r\nb", "a\r\n\r\nb", "a\n\nb"},
      {"\n\r\n", "\r\n\r\n", "\n\n"},
      {"no break", "no break", "no break"},
  };
  for (const Case& c : cases) {
    String crlf(c.text), lf(c.text);
    crlf.to_crlf();
    lf.to_lf();
    EXPECT_EQ(crlf, c.crlf);
    EXPECT_EQ(lf, c.lf);
  }

  String text("one\r\ntwo\rthree\n\rfour");
  text.append('\0');
  text.append("five\nsix");
  const char* expected[] = {"one", "two", "three", "four", "five", "six"};
  for (const char* line : expected) EXPECT_EQ(text.extract_line(), line);
  EXPECT_TRUE(text.empty());

  String s("ab\r\ncd\ne");
  EXPECT_EQ(s.next_line_start(0), 4);
  EXPECT_EQ(s.next_line_start(4), 7);
  EXPECT_EQ(s.next_line_start(7), -1);
}

TEST(StringExtract, ExtractInt) {
  struct Case {
    const char* text;
    int value;
    const char* rest;
  } cases[] = {
      {"abc", String::kNoNumber, "abc"},
      {"ab-12cd", -12, "cd"},
      {"  42", 42, ""},
      {"+7x", 7, "x"},
      {"x 1 2", 1, " 2"},
      {"-", 0, ""},       // a lone sign reads as 0 and is consumed
      {".5", 0, "5"},     // so is a point that starts no digits
      {"4294967297", 1, ""},  // wraps as a 32-bit register would
  };
  for (const Case& c : cases) {
    String s(c.text);
    EXPECT_EQ(s.extract_int(), c.value) << c.text;
    EXPECT_EQ(s, c.rest) << c.text;
  }
}

TEST(StringExtract, ExtractQuotedTurnsDoubledQuotesIntoOne) {
  String s("\"a\"\"b\" rest");
  EXPECT_EQ(s.extract_quoted('"', 0), "a\"b");
  EXPECT_EQ(s, " rest");

  String unquoted("abc");
  EXPECT_EQ(unquoted.extract_quoted('"', 0), "");
  EXPECT_EQ(unquoted, "abc");

  String open("x'never closed");
  EXPECT_EQ(open.extract_quoted('\'', 1), "never closed");
  EXPECT_EQ(open, "x");

  String cut("0123456");
  EXPECT_EQ(cut.cut(2, 3), "234");
  EXPECT_EQ(cut, "0156");
  EXPECT_EQ(cut.pop_first(), '0');
  EXPECT_EQ(cut.pop_last(), '6');
  EXPECT_EQ(String().pop_first(), 0);
}

TEST(StringMisc, IncrementSuffix) {
  struct Case {
    const char* text;
    const char* result;
  } cases[] = {
      {"", "2"},          {"copy", "copy2"},     {"copy2", "copy3"},
      {"copy9", "copy10"}, {"x19", "x20"},       {"copy09", "copy10"},
      {"99", "100"},      {"a0", "a1"},
      {"n99999999999999999999", "n100000000000000000000"},
  };
  for (const Case& c : cases) {
    String s(c.text);
    s.increment_suffix();
    EXPECT_EQ(s, c.result) << c.text;
  }
}

TEST(StringMisc, HashIsTheWordSumOfTheBytes) {
  const uint32_t seed = 0x79E2BC9Du;
  EXPECT_EQ(String().hash(), seed);
  EXPECT_EQ(String("a").hash(), seed + 'a' + 1);
  EXPECT_EQ(String("abcd").hash(), seed + 0x64636261u + 4);
  EXPECT_EQ(String("abcde").hash(), seed + 0x64636261u + 'e' + 5);
  // Bytes after the last whole word are added as signed values.
  EXPECT_EQ(String("\xff").hash(), seed - 1 + 1);
  EXPECT_NE(String("Key").hash(), String("key").hash());
}

TEST(StringMisc, SmallHelpers) {
  String s("abc");
  s.enclose('\'');
  EXPECT_EQ(s, "'abc'");
  s.ensure_last('\'');
  EXPECT_EQ(s, "'abc'");
  s.ensure_first('/');
  EXPECT_EQ(s, "/'abc'");
  String dots("a...");
  EXPECT_EQ(dots.count_trailing('.'), 3);
  EXPECT_EQ(dots.overwrite_trailing('.', '!'), 3);
  EXPECT_EQ(dots, "a!!!");
  EXPECT_TRUE(String("Hello").starts_with_ignore_case("hE"));
  EXPECT_FALSE(String("He").starts_with_ignore_case("hello"));
  EXPECT_TRUE(String("x.ZQJ").last_is('j'));
  EXPECT_EQ(String("abc").char_at(3), 0);
  EXPECT_EQ(String("abc").char_at(-1), 0);
  String named("view");
  std::string_view view = named;
  EXPECT_EQ(view, "view");
  std::string joined;
  for (char c : named) joined += c;
  EXPECT_EQ(joined, "view");
}

TEST(CharacterClasses, AsciiOnly) {
  EXPECT_TRUE(is_word_break(','));
  EXPECT_TRUE(is_word_break('>'));
  EXPECT_FALSE(is_word_break('.'));
  EXPECT_EQ(to_upper('a'), 'A');
  EXPECT_EQ(to_upper('\xe9'), '\xe9');
  EXPECT_FALSE(is_letter('\xe9'));
}

TEST(NumericHelpers, Table) {
  EXPECT_EQ(ceiling_divide(7, 2), 4);
  EXPECT_EQ(ceiling_divide(6, 2), 3);
  EXPECT_EQ(ceiling_divide(-7, 2), -3);
  EXPECT_EQ(ceiling_divide(INT_MIN, -1), INT_MIN);
  EXPECT_EQ(factorial(0), 1);
  EXPECT_EQ(factorial(1), 1);
  EXPECT_EQ(factorial(5), 120);
  EXPECT_EQ(round_to_int(2.5), 3);
  EXPECT_EQ(round_to_int(-2.5), -3);
  EXPECT_EQ(round_to_int(2.49), 2);
  EXPECT_EQ(round_to_int(1e300), INT_MAX);
  EXPECT_EQ(random_int(1), 0);
  EXPECT_EQ(random_int(-5), 0);
  for (int i = 0; i < 200; ++i) {
    int r = random_int(7);
    EXPECT_TRUE(r >= 0 && r < 7);
    EXPECT_TRUE(is_letter_or_digit(random_letter_or_digit()));
  }
}

TEST(StringDeathTest, InternalChecksNameTheUnit) {
  EXPECT_EXIT(String("abc").at(3), testing::ExitedWithCode(1), "FATAL ERROR - Tessaline Mailer\ncore32 [0-9]+");
  EXPECT_EXIT(String("abc").extend(-1), testing::ExitedWithCode(1), "core32 [0-9]+");
  EXPECT_EXIT(String().set_length(String::kMaxLength + 1), testing::ExitedWithCode(1), "core32 [0-9]+");
  EXPECT_EXIT(ceiling_divide(1, 0), testing::ExitedWithCode(1), "core32 [0-9]+");
}

}  // namespace
}  // namespace tessaline
