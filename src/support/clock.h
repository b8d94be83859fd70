// The monotonic clock in milliseconds, for durations and timeouts (never for dates).
#pragma once

#include <cstdint>

// Milliseconds of the system's monotonic clock since an unspecified start.
int64_t monotonic_milliseconds();
