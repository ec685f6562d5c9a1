// Reads arbitrary text as a registry file. Whatever it holds, writing the
// document out and reading that again must give the same document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/string.h"
#include "storage/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessaline::RegDocument;
  using tessaline::String;
  if (size > 1 << 16) return 0;
  RegDocument document;
  document.parse(String(std::string_view(reinterpret_cast<const char*>(data), size)));
  String once = document.serialize();
  RegDocument again;
  again.parse(once);
  if (!(again.serialize() == once)) std::abort();
  return 0;
}
