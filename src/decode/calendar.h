// UTC calendar dates of row times: the day an output file belongs to.
#pragma once

#include <cstdint>

struct UtcDate {
  int32_t year, month, day;
};

// The first second the output folders cannot name: 10000-01-01 00:00:00 UTC.
constexpr double CALENDAR_END_SECONDS = 253402300800.0;

// Whether a time in seconds since 1970 lies in years 1970 to 9999 (false for NaN).
inline bool utc_seconds_in_calendar(double seconds) {
  return seconds >= 0.0 && seconds < CALENDAR_END_SECONDS;
}
// Splits whole seconds since 1970 into a UTC date; false outside years 1970 to 9999 (also for
// NaN), which the output folders cannot name.
bool utc_date_from_seconds(double seconds, UtcDate* date);
