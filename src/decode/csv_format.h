// CSV text: the rows stage A formats (the row time and one number per column, each as
// stb_sprintf's "%f" writes it, or a value's text) and the header line of an output file.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/dyn_string.h"
#include "support/fixed_format.h"

// Room a row of `count` values takes at most in csv_format_row.
constexpr uint64_t csv_row_room(uint32_t count) {
  return (static_cast<uint64_t>(count) + 1) * (FIXED6_TEXT_MAX + 1) + 1;
}
// Writes "<time>,<value>,...\n" at `out` (csv_row_room(count) bytes) and returns its end;
// nothing for no values.
char* csv_format_row(char* out, double time, const double* values, uint32_t count);
// Room a text cell takes at most in csv_format_cells: every byte doubled, and two quotes.
constexpr uint64_t csv_text_room(uint64_t length) { return 2 * length + 2; }
// As csv_format_row, with the text texts[i] in place of values[i] where its data is not null
// (quoted, with its quotes doubled, when it holds a comma, a quote or a line break), and with
// `iso` the time as "yyyy-mm-ddThh:mm:ss.uuuuuuZ", the instant the six-decimal form names (a
// time the calendar cannot name keeps that form). Room: csv_row_room(count) and csv_text_room
// of every text.
char* csv_format_cells(char* out, double time, bool iso, const double* values,
                       const std::string_view* texts, uint32_t count);
// The header line "t,<name>,...\n" of the names appended to `header`; false when a name is
// null or memory ran out.
bool csv_header_line(DynString* header, const char* const* names, uint32_t count);
