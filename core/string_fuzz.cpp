// Fuzzes the String operations that parse text: extract_int, extract_quoted,
// extract_line and the line-break conversions.
#include <cstddef>
#include <cstdint>

#include "core/string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessaline::String;
  if (size > 1 << 16) return 0;
  String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
  String copy = text;
  copy.to_crlf();
  copy.to_lf();
  String quoted = text;
  quoted.extract_quoted(size ? static_cast<char>(data[0]) : '"', 0);
  String numbers = text;
  for (int guard = 0; guard < 100000 && numbers.extract_int() != String::kNoNumber; ++guard) {
  }
  String lines = text;
  while (!lines.empty()) lines.extract_line();
  String inc = text;
  inc.increment_suffix();
  text.replace_all("a", "aa");
  return 0;
}
