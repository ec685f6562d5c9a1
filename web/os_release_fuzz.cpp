// Fuzzes the reader of the system's os-release file.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/string.h"
#include "web/feedback.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaline;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  String name = distribution_name(text);
  if (name.empty() || name.length() > static_cast<int>(size) + 5) __builtin_trap();
  // Whatever the file says, the link stays one encoded word.
  String link = feedback_link("help@site.example", system_description(name, "Linux", "6.1"));
  for (char c : link) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
      __builtin_trap();
    }
  }
  return 0;
}
