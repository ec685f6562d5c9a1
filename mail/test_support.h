// test_support.h - small helpers shared by the mail tests (test code only).
#pragma once

#include <ostream>

#include "core/string.h"

namespace tessaline {

// GoogleTest prints a String as the text it holds, bytes escaped.
inline void PrintTo(const String& text, std::ostream* out) {
  *out << '"';
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      *out << "\\r";
    } else if (c == '\n') {
      *out << "\\n";
    } else if (u < 0x20 || u >= 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      *out << "\\x" << kHex[u >> 4] << kHex[u & 15];
    } else {
      *out << c;
    }
  }
  *out << '"';
}

}  // namespace tessaline
