// Fuzzes the reading of temporary file names, which come from any folder
// the program writes in: a name it takes for its own must be exactly the
// name it would have made for that process and host.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/string.h"
#include "platform/temporary_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view name(reinterpret_cast<const char*>(data), size);
  long pid = 0;
  tessaline::String host;
  if (!tessaline::parse_temporary_name(name, &pid, &host)) return 0;
  if (pid <= 0 || host.empty() || name.size() < 7) __builtin_trap();
  tessaline::String made = tessaline::String::formatted(".tessaline-%ld-%s-", pid, host.c_str());
  made += tessaline::String(name.substr(name.size() - 6));
  if (made.view() != name) __builtin_trap();
  return 0;
}
