// CsvWriter: one CSV output file with its header line, and the formatting of its rows (the row
// time and one number per column, each as stb_sprintf's "%f" writes it). Rows are collected in
// the writer's own buffer and written whole, so the file only ever ends with a complete row.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/dyn_string.h"
#include "support/fixed_format.h"

struct CsvWriter {
  int fd;                 // the open file
  uint32_t column_count;  // value columns of the header
  DynString path;         // the file's full name, for reports about it
  char* buffer;           // whole rows not yet written
  uint32_t buffered;      // bytes in the buffer
  uint32_t capacity;      // its size: grows while the file takes many rows, up to a bound
  uint64_t file_size;     // bytes in the file: the header and whole rows only
  uint64_t identity;      // set by the output map: which value set the header belongs to
  uint64_t input_mark;    // set by the session: the input that last wrote rows to the file
  uint8_t failed;         // rows were lost: the file holds whole rows, but not all of them
  uint8_t unsynced;       // bytes were written since the file was last made durable
  void* encoder;          // the file's encoder when an output encoder is installed
};

// Another file format that takes the writer's rows in place of the file: the writer then
// keeps the file's descriptor (for durability) and hands the rows to the encoder. The slots
// return false (null for open) on failure, with errno set when a system call failed.
struct OutputEncoder {
  const char* extension;  // of the files, dot included
  // A new file (empty, at fd, named `path`) with the header line's columns, or, with `resume`
  // (and no header), the existing unfinished file to go on with. `kinds` has one letter per
  // value column, 's' for a column of texts and 'n' for numbers; empty: numbers only.
  void* (*open)(int fd, const char* path, std::string_view header, std::string_view kinds,
                uint32_t count, bool resume);
  // One row in the row stream's binary form (see ROW_RECORD_VALUES): stage A writes a file's
  // rows in that form when an encoder is installed.
  bool (*write)(void* encoder, const uint8_t* row, uint64_t size);
  bool (*flush)(void* encoder);           // all rows taken so far into the file
  uint64_t (*size)(const void* encoder);  // of the file after the last flush
  bool (*finish)(void* encoder);          // the file's last bytes
  void (*free)(void* encoder);
};

// Installs the encoder every writer opened from then on uses (null: CSV files). For the
// program's start, before any writer opens; the record must outlive the writers.
void csv_set_output_encoder(const OutputEncoder* encoder);
// The extension of the output files: ".csv" or the installed encoder's.
const char* output_file_extension();
// Whether an encoder is installed: the files then take rows in binary form only.
bool output_encoder_installed();

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

// Creates (or truncates) `path` + ".csv" (the encoder's extension when one is installed) and puts
// the header "t,<name>,...\n" first. Null when the path is null, the file cannot be created, or
// memory runs out.
CsvWriter* csv_writer_open(const char* path, const char* const* names, uint32_t count);
// As csv_writer_open, with the header line given whole (`count` value columns) and the kinds of
// the columns for an installed encoder (see OutputEncoder::open; CSV files take every cell as
// it is formatted).
CsvWriter* csv_writer_open_with_header(const char* path, std::string_view header, uint32_t count,
                                       std::string_view kinds = {});
// Opens the existing file `path` + ".csv" (whose header has `count` value columns) to append
// rows; null when it cannot be opened (with an encoder: or is not an unfinished file of its).
CsvWriter* csv_writer_open_append(const char* path, uint32_t count);
// Appends rows formatted by csv_format_row (whole lines) for a header of `count` columns. False
// when the writer is null or failed before, count differs from the header's column count
// (nothing is written), the writer has an encoder, or the file did not take them.
bool csv_write_text(CsvWriter* writer, std::string_view rows, uint32_t count);
// Hands one binary row (see OutputEncoder::write) to the writer's encoder; false as for
// csv_write_text, and for a writer without an encoder.
bool csv_write_values(CsvWriter* writer, const uint8_t* row, uint64_t size, uint32_t count);
// Writes the buffered rows to the file. False when the writer is null or the file does not
// take them (for example a full disk): the file is then cut back to its last whole row, the
// rows after it are lost and the writer takes no more.
bool csv_writer_flush(CsvWriter* writer);
// Flushes and makes the file's data durable (fdatasync) when bytes were written since the last
// time; false when either fails (the writer has then failed).
bool csv_writer_sync(CsvWriter* writer);
// The size the file has once the buffered rows are written.
uint64_t csv_writer_size(const CsvWriter* writer);
// The full name of the file, ".csv" included ("" for a null writer).
const char* csv_writer_path(const CsvWriter* writer);
// Flushes, closes the file and frees the writer. False when rows were lost (now or before) or
// the close failed. A null writer is accepted (true).
bool csv_writer_close(CsvWriter* writer);
