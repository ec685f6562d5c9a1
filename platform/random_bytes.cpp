// random_bytes.cpp - bytes from getrandom(), or a stand-in without it.
#include "platform/random_bytes.h"

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace tessaline {

void random_bytes(unsigned char* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(out + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (got == n) return;
  // No random source: the time and the process, with a counter within one
  // process, still tell the names apart.
  static std::atomic<uint64_t> counter{0};
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  uint64_t mix[3] = {static_cast<uint64_t>(t.tv_sec) << 20 ^ static_cast<uint64_t>(getpid()),
                     static_cast<uint64_t>(t.tv_nsec), ++counter};
  for (size_t i = 0; i < n; ++i) out[i] = reinterpret_cast<unsigned char*>(mix)[i % sizeof mix];
}

}  // namespace tessaline
