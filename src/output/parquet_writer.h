// ParquetWriter: one Parquet file written row by row into a byte stream: a required timestamp
// column `t` (microseconds, UTC) and optional DOUBLE or STRING value columns, PLAIN values in
// zstd-compressed pages, row groups written when the caller flushes, the footer at the end.
// A file that was flushed but never finished (a killed run) can be resumed from its bytes.
#pragma once

#include <cstdint>

#include "io/stream.h"
#include "support/dyn_string.h"

// The name of the time column that every file starts with.
constexpr const char* PARQUET_TIME_COLUMN = "t";
// Rows per data page when the setup leaves it at 0, and the most it may ask for.
constexpr uint32_t PARQUET_DEFAULT_PAGE_ROWS = 4096;
constexpr uint32_t PARQUET_MAX_PAGE_ROWS = uint32_t{1} << 20;
// The zstd level when the setup leaves it at 0.
constexpr int32_t PARQUET_DEFAULT_ZSTD_LEVEL = 1;
// A page's values may take at most this many bytes: a row whose text would pass it is refused.
constexpr uint64_t PARQUET_MAX_PAGE_VALUE_BYTES = uint64_t{1} << 30;
// Value columns a file may have besides `t`.
constexpr uint32_t PARQUET_MAX_COLUMNS = 65535;

enum ParquetColumnKind : uint8_t {
  PARQUET_DOUBLE = 0,  // optional DOUBLE: null, or any double (NaN kept as it is)
  PARQUET_STRING = 1,  // optional BYTE_ARRAY with the STRING logical type: null, or UTF-8 text
};

struct ParquetColumn {
  StringView name;  // UTF-8, not empty
  ParquetColumnKind kind;
};

struct ParquetKeyValue {
  StringView key;
  StringView value;
};

// What a file holds and how its pages are cut. Resuming a file takes the columns it was
// written with; page_rows and the zstd level may differ, and the metadata is what the footer
// will hold. The writer copies what it needs; the caller's arrays and texts may go once it
// returns.
struct ParquetSetup {
  const ParquetColumn* columns;  // the value columns after `t`, in order
  uint32_t column_count;
  const ParquetKeyValue* metadata;  // the footer's key-value metadata, in order
  uint32_t metadata_count;
  uint32_t page_rows;  // rows per page, 0 for PARQUET_DEFAULT_PAGE_ROWS
  int32_t zstd_level;  // 0 for PARQUET_DEFAULT_ZSTD_LEVEL
};

enum ParquetCellKind : uint8_t { PARQUET_NULL = 0, PARQUET_NUMBER = 1, PARQUET_TEXT = 2 };

// One value of a row: null, a number for a DOUBLE column, or a text for a STRING column.
struct ParquetCell {
  ParquetCellKind kind;
  double number;
  StringView text;  // the caller's bytes, read during the append only
};

constexpr ParquetCell parquet_null() { return {PARQUET_NULL, 0, {}}; }
constexpr ParquetCell parquet_number(double value) { return {PARQUET_NUMBER, value, {}}; }
constexpr ParquetCell parquet_text(StringView text) { return {PARQUET_TEXT, 0, text}; }

enum ParquetStatus : uint8_t {
  PARQUET_OK = 0,
  PARQUET_BAD_SETUP,  // the setup is not one a file can have (see parquet_writer_open)
  PARQUET_NO_MEMORY,
  PARQUET_IO_ERROR,  // the stream failed a read, write, seek or size query
  PARQUET_BAD_FILE,  // resume: the bytes are not an unfinished file of this setup
};

// A short lower-case name of the status ("out of memory", ...), never null.
const char* parquet_status_name(ParquetStatus status);

struct ParquetWriter;

// Starts a new file: writes the leading magic to `sink`, an empty stream positioned at its
// start, which the writer then only appends to (its own count of written bytes gives the file
// offsets) and never closes. Null, with *status (when given) saying why, when the setup is
// invalid (no array for a count, a column name empty or not UTF-8, a metadata key or value not
// UTF-8, an unknown kind, more than PARQUET_MAX_COLUMNS columns, page_rows above
// PARQUET_MAX_PAGE_ROWS, a zstd level zstd does not have), memory runs out, or the magic cannot
// be written.
ParquetWriter* parquet_writer_open(const ParquetSetup* setup, Stream* sink, ParquetStatus* status);

// Continues an unfinished file: `file` (readable, seekable and writable) holds exactly what a
// writer with the same columns wrote up to the end of one of its flushes. Every page header
// is read and checked against the columns and the bytes there (page data is not read), the
// row groups and their statistics are rebuilt from them, and the stream is left at its end,
// where the writer goes on appending. Null, with *status, for an invalid setup, a stream that
// fails (PARQUET_IO_ERROR), bytes that are not such a file (PARQUET_BAD_FILE: other columns, a
// finished file, bytes cut anywhere but at the end of a flush), or no memory. A file with no
// value columns comes back with its row groups merged into one (their pages cannot be told
// apart), which holds the same rows.
ParquetWriter* parquet_writer_resume(const ParquetSetup* setup, Stream* file,
                                     ParquetStatus* status);

// Adds one row: `time_us` (microseconds since 1970, UTC) and `count` cells, one per value
// column in order. Rows are held in memory until the next flush; a full page is compressed
// (zstd) when the next row comes. Without growth of the buffers (the steady state of a writer
// whose row groups are alike) it allocates nothing. False, with nothing added, when the
// writer is null, failed or finished, count is not the column count, a cell does not fit its
// column (a number in a STRING column, a text in a DOUBLE column, text that is not UTF-8 or
// would pass PARQUET_MAX_PAGE_VALUE_BYTES on its page), or memory runs out.
bool parquet_writer_append(ParquetWriter* w, int64_t time_us, const ParquetCell* cells,
                           uint32_t count);
// The same for a row of numbers only: `count` doubles, unaligned, in host byte order, one per
// value column. False, with nothing added, in the same cases, and when a column is a STRING
// column.
bool parquet_writer_append_numbers(ParquetWriter* w, int64_t time_us, const uint8_t* numbers,
                                   uint32_t count);

// Bytes of rows held for the next row group (raw values of the open pages and the compressed
// pages): what was appended since the last flush, less compression, and what a flush frees for
// other use. Constant time.
uint64_t parquet_writer_buffered_bytes(const ParquetWriter* w);
// Rows held for the next row group.
uint64_t parquet_writer_buffered_rows(const ParquetWriter* w);
// All memory the writer holds beyond its record: the buffered bytes and the room its buffers
// keep for reuse. (The page scratch and the compressor are one per thread, shared by its
// writers, and not counted.)
uint64_t parquet_writer_held_bytes(const ParquetWriter* w);
// Frees the room of buffers that hold no rows (all of them right after a flush); the next rows
// allocate them again. For a writer that may stay idle.
void parquet_writer_trim(ParquetWriter* w);

// Writes the buffered rows as one row group (nothing when there are none). False when the
// writer is null, failed or finished, memory runs out before anything is written (the rows stay
// buffered), or the stream does not take the bytes: the writer has then failed for good, and
// the file ends in a partial row group that only cutting it back to an earlier flush repairs.
// Making the bytes durable is the caller's (the stream's) part.
bool parquet_writer_flush(ParquetWriter* w);
// The bytes written to the stream so far: after a successful flush, a size the file can be cut
// back to and resumed from.
uint64_t parquet_writer_file_size(const ParquetWriter* w);
// Rows in the row groups written so far.
uint64_t parquet_writer_written_rows(const ParquetWriter* w);
// Row groups written so far.
uint32_t parquet_writer_row_groups(const ParquetWriter* w);

// Flushes and writes the footer (schema, row groups with statistics, key-value metadata,
// created_by "tabulon <version>"), its length and the closing magic. The writer takes nothing
// more afterwards. False as for flush, or when memory for the footer runs out (nothing of it
// is then written and finishing may be tried again).
bool parquet_writer_finish(ParquetWriter* w);
// Frees the writer without writing anything (the stream stays open). Null is accepted.
void parquet_writer_free(ParquetWriter* w);

// RAII owner for code at the edges.
struct ParquetWriterFree {
  void operator()(ParquetWriter* w) const { parquet_writer_free(w); }
};
