// The CSV format of the writer interface: the header line, then the rows as stage A formatted
// them. Rows are collected in the writer's own buffer and written whole, so the file only ever
// ends with a complete row.
#pragma once

#include <cstdint>

#include "output/output_writer.h"

struct CsvWriter {
  OutputWriter base;
  char* buffer;        // whole rows not yet written
  uint32_t buffered;   // bytes in the buffer
  uint32_t capacity;   // its size: grows while the file takes many rows, up to a bound
  uint64_t file_size;  // bytes in the file: the header and whole rows only
};

// The CSV format (".csv"), the output's format unless another is installed. A file the disk
// does not take whole is cut back to its last whole row.
const WriterOps* csv_writer_ops();
