// Fuzzes the program's scan patterns and read_delimited over arbitrary text.
// The first byte picks the pattern; every position of the rest is tried.
// Besides crashes, it checks what a match promises: a failure leaves the
// cursor and the matched text empty and unmoved, and a success hands back
// exactly the characters it consumed (none of these patterns looks ahead).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/string.h"
#include "merge/string_parser.h"

namespace {

const char* const kPatterns[] = {
    tessaline::kBracedColumnPattern, tessaline::kNamePattern,   tessaline::kNumberPattern,
    tessaline::kDateLiteralPattern,  tessaline::kAndPattern,    tessaline::kOrPattern,
    tessaline::kKeywordPattern,      tessaline::kVariableNamePattern,
};
constexpr int kPatternCount = sizeof(kPatterns) / sizeof(kPatterns[0]);

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessaline::String;
  using tessaline::StringParser;
  if (size < 1 || size > 4096) return 0;
  const char* pattern = kPatterns[data[0] % kPatternCount];
  String text(reinterpret_cast<const char*>(data + 1), static_cast<int>(size - 1));
  StringParser parser(text);
  String out;
  for (int start = 0; start <= text.length(); ++start) {
    check(parser.set_position(start));
    if (parser.match_pattern(out, pattern)) {
      const int consumed = parser.position() - start;
      check(consumed > 0 && consumed == out.length());
      check(std::memcmp(out.c_str(), text.c_str() + start, static_cast<size_t>(consumed)) == 0);
    } else {
      check(out.empty() && parser.position() == start);
    }
  }
  // The quoted literals of expressions.
  const int both = StringParser::kDoubledDelimiter | StringParser::kExcludeDelimiters;
  for (int start = 0; start < text.length(); ++start) {
    parser.set_position(start);
    if (parser.read_delimited('"', out, both)) {
      check(parser.position() > start + 1 && out.length() <= parser.position() - start - 2);
    } else {
      check(out.empty());
      check(parser.position() == start || parser.position() == start + 1);
    }
  }
  return 0;
}
