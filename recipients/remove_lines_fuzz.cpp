// Fuzzes the line rule of removing recipients, which reads recipient and
// exclusion files: the input up to its first NUL byte is the address text,
// the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/string.h"
#include "recipients/remove_recipients.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  if (size > 1 << 20) return 0;
  const char* bytes = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(bytes, 0, size);
  size_t split = nul ? static_cast<const char*>(nul) - bytes : size;
  String address_text(bytes, static_cast<int>(split));
  String text(std::string_view(bytes + split, size - split));
  Vector<String> addresses = addresses_to_remove(address_text);
  for (const String& address : addresses) {
    if (address.length() < 6) __builtin_trap();
  }
  String original = text;
  String report;
  bool removed = remove_matching_lines(text, addresses, false, report);
  // Lines are only ever cut whole: what is left is no longer, and nothing
  // is cut without a line in the report.
  if (text.length() > original.length()) __builtin_trap();
  if (removed != (text.length() < original.length())) __builtin_trap();
  if (!removed && !(text == original)) __builtin_trap();
  if (!report.ends_with("\n\n")) __builtin_trap();
  return 0;
}
