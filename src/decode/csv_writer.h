// CsvWriter: one CSV output file with its header line, and the formatting of its rows (the row
// time and one number per column, each as stb_sprintf's "%f" writes it).
#pragma once

#include <cstdint>
#include <cstdio>

#include "support/dyn_string.h"

struct CsvWriter {
  FILE* stream;           // binary write mode, standard buffering
  uint32_t column_count;  // value columns of the header
  DynString line;         // reused for every row; grows to the longest row once
  DynString path;         // the file's full name, for reports about it
  uint64_t identity;      // set by the output map: which value set the header belongs to
  uint8_t failed;         // a row or a flush was not taken whole: the file is incomplete
};

// Creates (or truncates) `path` + ".csv" and writes the header "t,<name>,...\n". Null when the
// path is null or the file cannot be created, or the header cannot be handed to the stream.
CsvWriter* csv_writer_open(const char* path, const char* const* names, uint32_t count);
// Appends "<time>,<value>,...\n" with one write call. False when the writer is null, count
// differs from the header's column count (nothing is written), or the write was short.
bool csv_write_row(CsvWriter* writer, double time, const double* values, uint32_t count);
// Pushes buffered rows to the file. False when the writer is null or the file cannot take
// them (for example a full disk), so a caller can keep an input whose rows are not on disk.
bool csv_writer_flush(CsvWriter* writer);
// The full name of the file, ".csv" included ("" for a null writer).
const char* csv_writer_path(const CsvWriter* writer);
// Closes the file and frees the writer. False when an earlier write failed or the buffered
// rows could not be written out at close: the file is then incomplete. A null writer is
// accepted (true).
bool csv_writer_close(CsvWriter* writer);
