// The process entry of tessaline-mailer.
#include <cstdio>
#include <cstring>

#include "core/fatal_error.h"
#include "app/usage.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(tessaline::usage_text(), stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s\n", tessaline::version_text());
      return 0;
    }
  }
  // Until the send operation lands the program has nothing else to run.
  std::fputs(tessaline::usage_text(), stderr);
  return 2;
}
