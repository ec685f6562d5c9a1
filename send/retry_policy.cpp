// retry_policy.cpp - the waits between tries of a message.
#include "send/retry_policy.h"

#include <algorithm>

namespace tessaline {

int64_t retry_wait_ms(const RetrySettings& settings, int tries_done, int64_t elapsed_ms,
                      double unit_random) {
  if (tries_done < 1 || tries_done >= settings.tries) return -1;
  const int64_t longest = std::max<int64_t>(0, settings.longest_wait_seconds) * 1000;
  // Doubling stops at the longest wait, long before the shift could wrap.
  int64_t full = std::max<int64_t>(0, settings.first_wait_seconds) * 1000;
  for (int i = 1; i < tries_done && full < longest; ++i) full *= 2;
  full = std::min(full, longest);
  double place = unit_random < 0 ? 0 : unit_random >= 1 ? 0.999999 : unit_random;
  int64_t wait = full / 2 + static_cast<int64_t>(static_cast<double>(full - full / 2) * place);
  // A try that could only begin after the time to give up is not made.
  if (elapsed_ms + wait > std::max<int64_t>(0, settings.give_up_seconds) * 1000) return -1;
  return wait;
}

}  // namespace tessaline
