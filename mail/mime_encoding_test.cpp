#include "mail/mime_encoding.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace tessaline {
namespace {

// is_ascii and longest_line read several bytes at a time; what they must
// agree with is the plain byte-by-byte reading of the text.
bool ascii_byte_by_byte(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

int longest_line_byte_by_byte(const std::string& text) {
  int longest = 0, current = 0;
  for (char c : text) {
    current = c == '\r' || c == '\n' ? 0 : current + 1;
    longest = std::max(longest, current);
  }
  return longest;
}

TEST(IsAscii, OneHighByteAnywhereInTextsOfEveryLengthAroundTheBlockSizes) {
  for (size_t length = 0; length <= 70; ++length) {
    std::string text(length, 'a');
    EXPECT_TRUE(is_ascii(text)) << length;
    for (size_t at = 0; at < length; ++at) {
      for (unsigned char high : {0x80, 0xC3, 0xFF}) {
        std::string with_high = text;
        with_high[at] = static_cast<char>(high);
        EXPECT_FALSE(is_ascii(with_high)) << "length " << length << " at " << at;
      }
    }
  }
  // 0x7F and NUL are ASCII; the view's end is the end (no terminator read).
  EXPECT_TRUE(is_ascii(std::string("\x7f\0\x01", 3)));
  EXPECT_TRUE(is_ascii(std::string_view("abc\xff", 3)));
}

TEST(LongestLine, EveryKindOfLineBreak) {
  struct Case {
    const char* text;
    int longest;
  } cases[] = {
      {"", 0},
      {"abc", 3},
      {"\r\n", 0},
      {"ab\r\ncdef\r\ng", 4},
      {"ab\ncdef\ng", 4},
      {"abcd\rcd\ref", 4},          // CR alone ends a line
      {"ab\rcdefg\nh", 5},          // a CR inside a LF-delimited stretch
      {"abcdefgh\rcd\nabcdef", 8},  // the longest line before a CR
      {"a\n\rabcdef\r\n", 6},
      {"\n\n\nabcde", 5},
  };
  for (const Case& c : cases) EXPECT_EQ(longest_line(c.text), c.longest) << c.text;
}

TEST(LongestLine, AgreesWithByteByByteReadingOfRandomTexts) {
  std::mt19937 random(7);
  const char alphabet[] = "ab\r\n \xc3";
  for (int round = 0; round < 2000; ++round) {
    std::string text(random() % 200, ' ');
    // Mostly letters, so that lines of different lengths follow each other.
    for (char& c : text) c = random() % 8 == 0 ? alphabet[random() % 6] : 'x';
    EXPECT_EQ(longest_line(text), longest_line_byte_by_byte(text)) << text;
    EXPECT_EQ(is_ascii(text), ascii_byte_by_byte(text));
  }
  EXPECT_EQ(longest_line(std::string(5000, 'y') + "\r\n" + std::string(998, 'z')), 5000);
}

}  // namespace
}  // namespace tessaline
