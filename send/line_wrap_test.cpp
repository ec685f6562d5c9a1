// Tests of the line wrap of text bodies.
#include "send/line_wrap.h"

#include <gtest/gtest.h>

#include <string>

namespace tessaline {
namespace {

TEST(LineWrap, Cases) {
  std::string hundred(100, 'x');
  std::string twenty(20, 'x');
  struct Case {
    std::string text;
    int length;
    std::string wrapped;
  } cases[] = {
      // No break character: hard cuts at the length.
      {hundred, 20, twenty + "\n" + twenty + "\n" + twenty + "\n" + twenty + "\n" + twenty},
      // Shorter than the length, or exactly as long: nothing to do.
      {"short", 20, "short"},
      {twenty, 20, twenty},
      // After the last break character in the window; a blank stays at the
      // end of its line.
      {"aaaa bbbbbb cc", 8, "aaaa \nbbbbbb \ncc"},
      {"one,two-three;four>five", 10, "one,two-\nthree;\nfour>five"},
      {"abc\tdefgh ij", 5, "abc\t\ndefgh \nij"},
      // The break moves over the blank that stands at it.
      {"abcde fghij", 5, "abcde \nfghij"},
      // Existing line ends are kept and restart the count.
      {"abcdefgh\r\nabcdefgh\n\rab", 10, "abcdefgh\r\nabcdefgh\n\rab"},
      {"abc\rabcdefghijkl", 10, "abc\rabcdefghij\nkl"},
      // A line of exactly the length that holds a break character is
      // broken there, before a line end or at the end of the text alike; a
      // shorter one is not.
      {"abcde fghi\nxyz", 10, "abcde \nfghi\nxyz"},
      {"abcd,fghij\r\nx", 10, "abcd,\nfghij\r\nx"},
      {"ab-cdefghi\rx", 10, "ab-\ncdefghi\rx"},
      {"abcde fghi", 10, "abcde \nfghi"},
      {"abcde\tfghi", 10, "abcde\t\nfghi"},
      {"abcd fghi\nxyz", 10, "abcd fghi\nxyz"},
      {"abcd fghi", 10, "abcd fghi"},
      {"\xc3\xa9 \xc3\xa9 \xc3\xa9 \xc3\xa9 \xc3\xa9\n", 9,
       "\xc3\xa9 \xc3\xa9 \xc3\xa9 \xc3\xa9 \n\xc3\xa9\n"},
      {"\xc3\xa9 \xc3\xa9 \xc3\xa9 \xc3\xa9\xc3\xa9\n", 9,
       "\xc3\xa9 \xc3\xa9 \xc3\xa9 \xc3\xa9\xc3\xa9\n"},
      // A break that would fall right before a line end adds no empty line:
      // a hard cut there, a break character or a blank as the window's last
      // character, a blank the break moved over.
      {"abcdefghij\nabc", 10, "abcdefghij\nabc"},
      {"abcdefghi,\nabc", 10, "abcdefghi,\nabc"},
      {"abcdefghi \r\nabc", 10, "abcdefghi \r\nabc"},
      {"abcdefghi \r\nx", 9, "abcdefghi \r\nx"},
      {"abcdefghi  \nx", 10, "abcdefghi  \nx"},
      // A UTF-8 sequence is one character and is never cut.
      {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9 \xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 5,
       "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9 \n\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"},
      {"\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac", 2, "\xe2\x82\xac\xe2\x82\xac\n\xe2\x82\xac"},
      // Bytes that are not UTF-8 count one each.
      {std::string(25, '\xff'), 20, std::string(20, '\xff') + "\n" + std::string(5, '\xff')},
      {"\xc3\x28\xc3\x28\xc3", 2, "\xc3\x28\n\xc3\x28\n\xc3"},
      {"", 20, ""},
  };
  for (const Case& c : cases) {
    String text(c.text);
    wrap_lines(text, c.length);
    EXPECT_EQ(text.std_string(), c.wrapped) << c.text << " at " << c.length;
  }
}

TEST(LineWrap, WrappingTwiceChangesNothing) {
  String text("The quick brown fox jumps over the lazy dog, again and again; and-again.");
  wrap_lines(text, 20);
  String again = text;
  wrap_lines(again, 20);
  EXPECT_EQ(again.std_string(), text.std_string());
}

// Line ends restart the count, so a long body of paragraphs wraps as each
// paragraph does on its own: the breaks land at the same places however far
// into the body they are.
TEST(LineWrap, ALongBodyWrapsAsItsParagraphsDo) {
  String paragraph("Our association has had a busy season, with concerts in the park; readings "
                   "at the library-and the restoration of the old mill\tnow well under way>"
                   "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n");
  String one = paragraph;
  wrap_lines(one, 20);
  ASSERT_GT(one.length(), paragraph.length() + 5);
  std::string body_text, expected;
  for (int i = 0; i < 5000; ++i) {
    body_text += paragraph.view();
    expected += one.view();
  }
  String body(body_text);
  wrap_lines(body, 20);
  EXPECT_TRUE(body.view() == expected);
}

}  // namespace
}  // namespace tessaline
