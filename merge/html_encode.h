// html_encode.h - makes an inserted value safe to stand in HTML text.
//
// Used for every value a data tag inserts into an HTML body. The four
// characters with a meaning in HTML (< > & ") become the entities lt, gt,
// amp and quot; characters 160-255 become their HTML 4 Latin-1 entities
// (nbsp ... yuml); characters 128-159 and control characters other than tab,
// carriage return and line feed become numeric references "&#N;".
//
// Text is UTF-8: a valid UTF-8 sequence is one character whose number is its
// code point, so an "é" written as C3 A9 becomes "&eacute;" and characters
// above 255 stay as they are. A byte that is not part of valid UTF-8 is
// taken as the Latin-1 character of that number. Pure ASCII text changes
// only in the characters named above.
//
// Not for: text outside data tags, or attribute values in single quotes.
#pragma once

#include "core/string.h"

namespace tessaline {

// Appends the encoded form of n bytes of text to out.
void append_html_encoded(String& out, const char* text, int n);

inline String html_encode(const String& text) {
  String out;
  append_html_encoded(out, text.c_str(), text.length());
  return out;
}

}  // namespace tessaline
