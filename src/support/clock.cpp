// The monotonic clock.
#include "support/clock.h"

#include <time.h>

int64_t monotonic_milliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
