// line_wrap.cpp - the line wrap of text bodies.
#include "send/line_wrap.h"

#include <cstring>
#include <utility>

namespace tessaline {

namespace {

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

// The byte length of the character at i: a whole valid UTF-8 sequence
// (no overlong forms, no surrogates, nothing above U+10FFFF), else 1.
int char_length(const char* text, int length, int i) {
  auto byte = [&](int k) { return static_cast<unsigned char>(text[k]); };
  unsigned char c = byte(i);
  if (c < 0xC2 || c > 0xF4) return 1;
  int n = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  if (i + n > length) return 1;
  unsigned char c1 = byte(i + 1);
  unsigned char low = 0x80, high = 0xBF;
  if (c == 0xE0) low = 0xA0;
  if (c == 0xED) high = 0x9F;
  if (c == 0xF0) low = 0x90;
  if (c == 0xF4) high = 0x8F;
  if (c1 < low || c1 > high) return 1;
  for (int k = 2; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 1;
  }
  return n;
}

// The length of the line end at i (0 when there is none); i < length.
int line_end_length(const char* text, int length, int i) {
  char c = text[i];
  if (!is_line_end(c)) return 0;
  if (i + 1 >= length) return 1;
  char d = text[i + 1];
  return is_line_end(d) && d != c ? 2 : 1;
}

// Calls at_break(offset) for each offset of the text before which a line
// feed goes, in order. The text itself is not touched, so the walk is one
// pass over it.
template <typename AtBreak>
void for_each_break(const char* s, int n, int length, AtBreak at_break) {
  int position = 0;
  while (position < n) {
    int i = position;
    int characters = 0;
    int last_break = -1;  // just behind the last break character seen
    bool line_fits = false;
    // The window is the next `length` characters. A line end right behind
    // a full window does not count: a line of exactly `length` characters
    // is broken at its last break character like a longer one.
    while (i < n && characters < length) {
      int end = line_end_length(s, n, i);
      if (end) {
        position = i + end;
        line_fits = true;
        break;
      }
      if (is_word_break(s[i])) last_break = i + 1;
      i += char_length(s, n, i);
      ++characters;
    }
    if (line_fits) continue;
    if (characters < length) break;  // the rest is shorter than a line
    int at = last_break >= 0 ? last_break : i;
    if (at < n && (s[at] == ' ' || s[at] == '\t')) ++at;
    if (at >= n) break;
    // A break that lands on a line end (a hard cut or a break character
    // at the window's end, or a blank that the break moved over, right
    // before it) would only add an empty line: the line ends there anyway.
    if (int end = line_end_length(s, n, at)) {
      position = at + end;
      continue;
    }
    at_break(at);
    position = at;
  }
}

}  // namespace

void wrap_lines(String& text, int length) {
  if (length < 1) length = 1;
  const int n = text.length();
  const char* from = text.c_str();
  int breaks = 0;
  for_each_break(from, n, length, [&](int) { ++breaks; });
  if (breaks == 0) return;
  // The wrapped text is built once, at its final size: inserting each line
  // feed in place would move the rest of the body every time, which made
  // the cost grow with the square of the body's length.
  String wrapped;
  wrapped.set_length(n + breaks);
  char* to = wrapped.data();
  int copied = 0;
  for_each_break(from, n, length, [&](int at) {
    std::memcpy(to, from + copied, static_cast<size_t>(at - copied));
    to += at - copied;
    *to++ = '\n';
    copied = at;
  });
  std::memcpy(to, from + copied, static_cast<size_t>(n - copied));
  text = std::move(wrapped);
}

}  // namespace tessaline
