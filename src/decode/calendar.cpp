// UTC calendar dates: days since 1970 to a proleptic Gregorian date.
#include "decode/calendar.h"

namespace {

// Days since 1970-01-01 to a proleptic Gregorian date.
UtcDate civil_from_days(int64_t days) {
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t day_of_era = days - era * 146097;
  int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  int64_t year = year_of_era + era * 400;
  int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  int64_t mp = (5 * day_of_year + 2) / 153;
  int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int32_t>(year + (month <= 2)), static_cast<int32_t>(month),
          static_cast<int32_t>(day)};
}

}  // namespace

bool utc_date_from_seconds(double seconds, UtcDate* date) {
  if (!utc_seconds_in_calendar(seconds)) return false;
  int64_t whole = static_cast<int64_t>(seconds);  // truncation toward zero
  *date = civil_from_days(whole / 86400);
  return true;
}
