// send_environment.cpp - the parts of the send's environment that are the
// same for every application.
#include "send/send_environment.h"

#include <time.h>

namespace tessaline {

int64_t SendEnvironment::wall_clock_ms() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace tessaline
