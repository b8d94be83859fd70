// The writer interface: one output file of the run's format, which takes the CSV rows stage A
// formats. Every format's writer starts with the common record OutputWriter and fills the
// slots of a WriterOps table; the session, the output files and the journal use the writer_
// functions only, so a new format implements WriterOps and nothing else.
#pragma once

#include <cstdint>
#include <string_view>

#include "decode/csv_format.h"
#include "support/dyn_string.h"

struct WriterOps;

// The leading record of every format's writer; the format's own state follows it.
struct OutputWriter {
  const WriterOps* ops;
  int fd;                 // the open file, owned by the writer
  uint32_t column_count;  // value columns of the header
  DynString path;         // the file's full name, for reports about it
  uint64_t identity;      // set by the output map: which value set the header belongs to
  uint64_t input_mark;    // set by the session: the input that last wrote rows to the file
  uint8_t failed;         // rows were lost: the file holds whole rows, but not all of them
  uint8_t unsynced;       // bytes were written since the file was last made durable
};

// A file format. open makes the format's writer for the file at `fd`, named `path` (extension
// included): a new, empty file with the header line's columns, or with `resume` (and no
// header) the existing file an interrupted run left, to go on with. `kinds` has one letter per
// value column, 's' for a column of texts and 'n' for numbers; empty: numbers only. The
// writer_ functions fill the common record after open and own the descriptor: open and free
// never close it. write takes whole CSV rows, write_values one row in the row stream's binary
// form (ROW_RECORD_VALUES); a format fills one of the two, and stage A then writes its rows in
// that form (see output_takes_binary_rows). flush puts every row taken so far into the file;
// size is the file's size once they are in; finish writes the file's last bytes (an empty slot:
// nothing to add); free releases the format's record. Slots return false (null for open) on
// failure, with errno set when a system call failed; after a failure the writer takes no more.
struct WriterOps {
  const char* extension;  // of the files, dot included
  bool resume_reads;      // open with `resume` reads the file back: it is opened for reading too
  OutputWriter* (*open)(int fd, const char* path, std::string_view header, std::string_view kinds,
                        uint32_t count, bool resume);
  bool (*write)(OutputWriter* writer, std::string_view rows);
  bool (*write_values)(OutputWriter* writer, const uint8_t* row, uint64_t size);
  bool (*flush)(OutputWriter* writer);
  uint64_t (*size)(const OutputWriter* writer);
  bool (*finish)(OutputWriter* writer);
  void (*free)(OutputWriter* writer);
};

// The format every writer opened from then on uses (null: CSV files). For the program's start,
// before any writer opens; the table must outlive the writers.
void output_set_format(const WriterOps* format);
// The extension of the output files: ".csv" or the installed format's.
const char* output_file_extension();
// Whether the installed format takes rows in binary form (write_values) instead of CSV lines.
bool output_takes_binary_rows();
// Whether a file of the installed format is whole once its rows are written and flushed (CSV);
// false for a format whose file is only finished when it is closed (its finish slot adds the
// last bytes, as Parquet's footer).
bool output_files_whole_when_flushed();

// Creates (or truncates) `path` + the format's extension and starts it with the header
// "t,<name>,...\n". Null when the path is null, the file cannot be created, or memory runs out.
OutputWriter* writer_open_names(const char* path, const char* const* names, uint32_t count);
// As writer_open_names, with the header line given whole (`count` value columns) and the kinds
// of the columns (see WriterOps; CSV files take every cell as it is formatted).
OutputWriter* writer_open(const char* path, std::string_view header, uint32_t count,
                          std::string_view kinds = {});
// Opens the existing file `path` + the extension (whose header has `count` value columns) to
// append rows; null when it cannot be opened or is not an unfinished file of the format.
OutputWriter* writer_open_append(const char* path, uint32_t count);
// Appends rows formatted by csv_format_row (whole lines) for a header of `count` columns. False
// when the writer is null or failed before, count differs from the header's column count
// (nothing is written), or the file did not take them.
bool writer_write(OutputWriter* writer, std::string_view rows, uint32_t count);
// Appends one binary row (see ROW_RECORD_VALUES) for a header of `count` columns; false as for
// writer_write, and for a format that takes CSV lines.
bool writer_write_values(OutputWriter* writer, const uint8_t* row, uint64_t size, uint32_t count);
// Puts the rows taken so far into the file. False when the writer is null or the file does
// not take them (for example a full disk): the rows after the file's last whole row are then
// lost and the writer takes no more.
bool writer_flush(OutputWriter* writer);
// Flushes and makes the file's data durable (fdatasync) when bytes were written since the last
// time; false when either fails (the writer has then failed).
bool writer_sync(OutputWriter* writer);
// The size the file has once the rows taken so far are in it.
uint64_t writer_size(const OutputWriter* writer);
// The full name of the file, extension included ("" for a null writer).
const char* writer_path(const OutputWriter* writer);
// Flushes, finishes and closes the file and frees the writer. False when rows were lost (now
// or before) or the close failed. A null writer is accepted (true).
bool writer_close(OutputWriter* writer);
