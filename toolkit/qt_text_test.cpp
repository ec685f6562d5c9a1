#include "toolkit/qt_text.h"

#include <gtest/gtest.h>

namespace tessaline {
namespace {

TEST(QtText, Utf8RoundTrip) {
  String text("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xa7");
  QString shown = qt_text(text);
  EXPECT_EQ(shown.size(), 9);  // the letter beyond U+FFFF takes two units
  EXPECT_EQ(program_text(shown), text);
  EXPECT_EQ(program_text(qt_text(String())), "");
}

TEST(QtText, ByteOffsetsBecomeBoxPositions) {
  struct Case {
    const char* text;
    int offset;
    bool multi_line;
    int position;
  } cases[] = {
      {"abc", 2, false, 2},
      {"abc", 99, false, 3},
      {"abc", -4, false, 0},
      {"\xc3\xa9t\xc3\xa9", 3, false, 2},      // after "\xc3\xa9t"
      {"\xc3\xa9t\xc3\xa9", 4, false, 2},      // inside the second letter: before it
      {"\xe2\x82\xac!", 2, false, 0},          // inside the euro sign
      {"\xf0\x9f\x93\xa7!", 4, false, 2},      // after a letter of two units
      {"a\r\nb\r\nc", 6, true, 4},            // two CR LF pairs are two characters
      {"a\r\nb\r\nc", 6, false, 6},
      {"a\r\nb", 2, true, 1},                 // between CR and LF: before the pair
      {"a\rb\nc", 4, true, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(qt_position(String(c.text), c.offset, c.multi_line), c.position);
  }
}

}  // namespace
}  // namespace tessaline
