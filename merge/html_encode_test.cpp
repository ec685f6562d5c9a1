#include "merge/html_encode.h"

#include <string>

#include <gtest/gtest.h>

#include "core/string.h"

namespace tessaline {
namespace {

TEST(HtmlEncodeTest, Characters) {
  struct Case {
    std::string text;
    const char* encoded;
  } cases[] = {
      {"plain text, 100% ASCII!", "plain text, 100% ASCII!"},
      {"<a href=\"x\">&</a>", "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;"},
      {"it's", "it's"},
      {"tab\tcr\rlf\n", "tab\tcr\rlf\n"},
      {std::string("nul\0x", 5), "nul&#0;x"},
      {"\x01\x1f\x7f", "&#1;&#31;\x7f"},
      // UTF-8: one character per sequence
      {"\xc2\xa0\xc3\xa9\xc3\xbf", "&nbsp;&eacute;&yuml;"},
      {"\xc2\x80\xc2\x9f", "&#128;&#159;"},
      {"\xc2\xbd \xc3\x97 \xc3\x86", "&frac12; &times; &AElig;"},
      {"\xe2\x82\xac \xf0\x9f\x98\x80 \xc4\x80", "\xe2\x82\xac \xf0\x9f\x98\x80 \xc4\x80"},
      // bytes that are not UTF-8 are Latin-1 characters
      {"caf\xe9", "caf&eacute;"},
      {"\x80\xa0\xff", "&#128;&nbsp;&yuml;"},
      {"\xc3", "&Atilde;"},
      {"\xc3(", "&Atilde;("},
      {"\xc0\xaf", "&Agrave;&macr;"},             // overlong
      {"\xe0\x80\xaf", "&agrave;&#128;&macr;"},   // overlong
      {"\xed\xa0\x80", "&iacute;&nbsp;&#128;"},   // surrogate
      {"\xf4\x90\x80\x80", "&ocirc;&#144;&#128;&#128;"},  // beyond U+10FFFF
      {"\xe2\x82", "&acirc;&#130;"},              // cut short
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoded);
    EXPECT_EQ(html_encode(String(c.text)).std_string(), c.encoded);
  }
}

TEST(HtmlEncodeTest, AppendsToWhatIsThere) {
  String out = "x";
  append_html_encoded(out, "<y", 1);
  EXPECT_EQ(out.std_string(), "x&lt;");
}

}  // namespace
}  // namespace tessaline
