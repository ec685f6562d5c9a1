// Fuzzes the line wrap: the first byte chooses the line length, the rest is
// the body. Besides crashes, it checks that only line feeds are added, that
// no line ends up longer than the length unless the break moved over a
// blank, that no line of the length or longer could have been broken
// at a break character, and that wrapping again changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/string.h"
#include "send/line_wrap.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessaline::String;
  if (size == 0) return 0;
  int length = 1 + data[0] % 40;
  String original(reinterpret_cast<const char*>(data + 1), static_cast<int>(size - 1));
  String wrapped = original;
  tessaline::wrap_lines(wrapped, length);

  // The same bytes, give or take line feeds.
  String a = original, b = wrapped;
  a.remove_char('\n');
  b.remove_char('\n');
  check(a == b);
  check(wrapped.length() >= original.length());

  // Each line holds at most length + 1 bytes per character (a blank the
  // break moved over) times the longest UTF-8 sequence.
  int run = 0;
  for (char c : wrapped) {
    run = c == '\n' || c == '\r' ? 0 : run + 1;
    check(run <= 4 * (length + 1));
  }

  // A line of `length` characters or more whose first `length` characters
  // hold a break character ends that stretch with one: an earlier one
  // would have been the break. Checked where every byte is one character.
  bool single_bytes = true;
  for (char c : original) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0xC2 && u <= 0xF4) single_bytes = false;
  }
  if (single_bytes) {
    const char* s = wrapped.c_str();
    const int n = wrapped.length();
    for (int start = 0; start < n;) {
      int end = start;
      while (end < n && s[end] != '\n' && s[end] != '\r') ++end;
      if (end - start >= length && !tessaline::is_word_break(s[start + length - 1])) {
        for (int k = start; k < start + length; ++k) check(!tessaline::is_word_break(s[k]));
      }
      start = end + 1;
    }
  }

  String again = wrapped;
  tessaline::wrap_lines(again, length);
  check(again == wrapped);
  return 0;
}
