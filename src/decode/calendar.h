// UTC calendar dates of row times: the day an output file belongs to.
#pragma once

#include <cstdint>

struct UtcDate {
  int32_t year, month, day;
};

// Splits whole seconds since 1970 into a UTC date; false outside years 1970 to 9999 (also for
// NaN), which the output folders cannot name.
bool utc_date_from_seconds(double seconds, UtcDate* date);
