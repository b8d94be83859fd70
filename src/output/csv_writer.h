// CsvWriter: one CSV output file with its header line, and the formatting of its rows (the row
// time and one number per column, each as stb_sprintf's "%f" writes it). Rows are collected in
// the writer's own buffer and written whole, so the file only ever ends with a complete row.
#pragma once

#include <cstdint>
#include <string_view>

#include "decode/csv_format.h"
#include "support/dyn_string.h"

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

// Another file format that takes the writer's CSV rows in place of the file: the writer then
// keeps the file's descriptor (for durability) and hands the rows to the encoder. The slots
// return false (null for open) on failure, with errno set when a system call failed.
struct OutputEncoder {
  const char* extension;  // of the files, dot included
  // A new file (empty, at fd, named `path`) with the header line's columns, or, with `resume`
  // (and no header), the existing unfinished file to go on with. `kinds` has one letter per
  // value column, 's' for a column of texts and 'n' for numbers; empty: numbers only.
  void* (*open)(int fd, const char* path, std::string_view header, std::string_view kinds,
                uint32_t count, bool resume);
  bool (*write)(void* encoder, std::string_view rows);  // whole CSV rows
  bool (*flush)(void* encoder);                         // all rows taken so far into the file
  uint64_t (*size)(const void* encoder);                // of the file after the last flush
  bool (*finish)(void* encoder);                        // the file's last bytes
  void (*free)(void* encoder);
};

// Installs the encoder every writer opened from then on uses (null: CSV files). For the
// program's start, before any writer opens; the record must outlive the writers.
void csv_set_output_encoder(const OutputEncoder* encoder);
// The extension of the output files: ".csv" or the installed encoder's.
const char* output_file_extension();

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
// (nothing is written), or the file did not take them.
bool csv_write_text(CsvWriter* writer, std::string_view rows, uint32_t count);
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
