// The record of a ParquetWriter, shared by the writing and the resuming code.
#pragma once

#include <zstd.h>

#include <cstdint>

#include "output/parquet_format.h"
#include "output/parquet_writer.h"
#include "support/grow_array.h"

enum ParquetValueType : uint8_t { VALUE_TIME, VALUE_DOUBLE, VALUE_STRING };

// What the footer says of one column chunk: the running totals of the pages encoded so far
// while its row group is buffered, final once the row group is written.
struct ChunkSummary {
  int64_t offset;  // where its first page starts in the file
  int64_t values;  // rows, nulls included
  int64_t nulls;
  int64_t compressed;    // bytes of its pages, headers included
  int64_t uncompressed;  // the same with the page data uncompressed
  uint64_t min_bits;     // least and greatest value (an int64 or a double's bits)
  uint64_t max_bits;
  uint8_t has_min_max;  // false while no value could be compared (nulls, NaN, texts)
};

struct GroupSummary {
  int64_t offset;  // where its first column chunk starts
  int64_t rows;
  int64_t compressed;
  int64_t uncompressed;
};

// One column of the buffered row group: the open page's raw values and levels, and the pages
// already encoded.
struct ColumnState {
  ParquetValueType type;
  uint32_t page_rows;  // rows in the open page
  ByteBuffer values;   // PLAIN bytes of the open page's values (nulls take none)
  ByteBuffer levels;   // one bit per row of the open page: 1 value, 0 null (optional columns)
  ByteBuffer pages;    // the encoded pages, headers and compressed data, in file order
  ChunkSummary summary;
};

struct ParquetWriter {
  Stream* sink;
  uint32_t column_count;  // `t` included
  uint32_t page_rows;
  int32_t zstd_level;
  ColumnState* columns;
  StringView* names;          // one per column, into `text`
  ParquetKeyValue* metadata;  // into `text`
  uint32_t metadata_count;
  char* text;  // the names and metadata, copied
  GrowArray<GroupSummary> groups;
  GrowArray<ChunkSummary> chunks;  // column_count per row group
  uint64_t file_size;              // bytes written to the sink
  uint64_t written_rows;           // rows of the row groups in the file
  uint64_t buffered_rows;
  uint64_t buffered_bytes;  // values, levels and pages of every column
  ByteBuffer header;        // scratch: one page header
  uint8_t all_double;       // every value column is a DOUBLE column
  uint8_t failed;           // a write failed: the file ends in a partial row group
  uint8_t finished;
};

// A writer with the setup checked and copied and nothing written or read; null with *status
// set when the setup is invalid or memory runs out.
ParquetWriter* parquet_writer_new(const ParquetSetup* setup, Stream* sink, ParquetStatus* status);
// Records the chunk summaries that the columns hold as a row group starting at `offset` and
// clears them; false when memory runs out (nothing changed).
bool parquet_add_group(ParquetWriter* w, int64_t offset);
// Whether a page's least and greatest values of a column type compare as a page's may
// (least first, no NaN).
bool parquet_min_max_ordered(ParquetValueType type, uint64_t min_bits, uint64_t max_bits);
// Merges a page's least and greatest value into a chunk's.
void parquet_merge_min_max(ParquetValueType type, ChunkSummary* s, uint64_t min_bits,
                           uint64_t max_bits);
