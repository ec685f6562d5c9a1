// Fuzzes the canonical forms of DKIM over texts that hold whatever a
// message can: the relaxed body never keeps a blank before a line break and
// never ends in an empty line, and canonicalising it again changes nothing.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/dkim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  String body = dkim_relaxed_body(text);
  std::string_view b = body.view();
  if (b.find(" \r\n") != std::string_view::npos || b.find("\t") != std::string_view::npos ||
      b.ends_with("\r\n\r\n") || (!b.empty() && !b.ends_with("\r\n"))) {
    __builtin_trap();
  }
  if (dkim_relaxed_body(b) != body) __builtin_trap();
  String header = dkim_relaxed_header(text);
  if (header.find_any("\r\n\t") >= 0 || header.find("  ") >= 0) __builtin_trap();
  return 0;
}
