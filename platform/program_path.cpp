#include "platform/program_path.h"

#include <unistd.h>

#include <climits>

namespace tessaline {

String program_path() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  // A path that fills the buffer may have been cut: none is better than a
  // wrong one.
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof buffer)) return String();
  return String(buffer, static_cast<int>(n));
}

}  // namespace tessaline
