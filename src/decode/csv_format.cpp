// The text of CSV rows and header lines, as stage A formats them: row times and values in the
// six-decimal fixed form, texts quoted where they must be, times optionally in ISO form.
#include "decode/csv_format.h"

#include <cstring>

#include "decode/calendar.h"
#include "support/fixed_format.h"

char* csv_format_row(char* out, double time, const double* values, uint32_t count) {
  if (count == 0) return out;  // a row without values is no row
  out = format_fixed6(out, time);
  for (uint32_t i = 0; i < count; ++i) {
    *out++ = ',';
    out = format_fixed6(out, values[i]);
  }
  *out++ = '\n';
  return out;
}

namespace {

// Writes `value` as exactly `digits` decimal digits.
char* put_digits(char* out, int64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + digits;
}

// The time as "yyyy-mm-ddThh:mm:ss.uuuuuuZ": read back from its six-decimal text, so that both
// forms name the same microsecond.
char* format_iso_time(char* out, double time) {
  char fixed[FIXED6_TEXT_MAX];
  char* end = format_fixed6(fixed, time);
  int64_t seconds = 0;
  const char* at = fixed;
  for (; at < end && *at >= '0' && *at <= '9' && seconds < INT64_MAX / 100; ++at)
    seconds = seconds * 10 + (*at - '0');
  UtcDate date;
  bool plain = end - at == 7 && *at == '.' && at != fixed;
  if (!plain || !utc_date_from_seconds(static_cast<double>(seconds / 86400 * 86400), &date)) {
    memcpy(out, fixed, static_cast<size_t>(end - fixed));
    return out + (end - fixed);
  }
  int64_t second_of_day = seconds % 86400;
  out = put_digits(out, date.year, 4);
  *out++ = '-';
  out = put_digits(out, date.month, 2);
  *out++ = '-';
  out = put_digits(out, date.day, 2);
  *out++ = 'T';
  out = put_digits(out, second_of_day / 3600, 2);
  *out++ = ':';
  out = put_digits(out, second_of_day / 60 % 60, 2);
  *out++ = ':';
  out = put_digits(out, second_of_day % 60, 2);
  memcpy(out, at, 7);  // the point and six decimals
  out += 7;
  *out++ = 'Z';
  return out;
}

// The text as one CSV cell: as it is, or quoted with its quotes doubled when it holds a
// comma, a quote or a line break (or is empty, which would read as no value).
char* format_text_cell(char* out, std::string_view text) {
  bool quoted = text.empty() || text.find_first_of(",\"\r\n") != std::string_view::npos;
  if (!quoted) {
    memcpy(out, text.data(), text.size());
    return out + text.size();
  }
  *out++ = '"';
  for (char c : text) {
    if (c == '"') *out++ = '"';
    *out++ = c;
  }
  *out++ = '"';
  return out;
}

}  // namespace

char* csv_format_cells(char* out, double time, bool iso, const double* values,
                       const std::string_view* texts, uint32_t count) {
  if (count == 0) return out;
  out = iso ? format_iso_time(out, time) : format_fixed6(out, time);
  for (uint32_t i = 0; i < count; ++i) {
    *out++ = ',';
    out =
        texts && texts[i].data() ? format_text_cell(out, texts[i]) : format_fixed6(out, values[i]);
  }
  *out++ = '\n';
  return out;
}

bool csv_header_line(DynString* header, const char* const* names, uint32_t count) {
  if (!dynstring_append(header, "t,")) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (!names[i] || dynstring_format(header, "%s,", names[i]) < 0) return false;
  }
  // The text always ends in the "," after the last name (or after "t").
  dynstring_data(header)[dynstring_length(header) - 1] = '\n';
  return true;
}
