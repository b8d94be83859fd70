// The row stream: what stage A of a conversion (reading, decoding and formatting an input or a
// part of it, on any thread) hands to stage B (output sets, writers, journal, on the walking
// thread): records in chunks, in the order stage A made them. Stage B reads the records of a
// chunk in place, so a row's text is formatted once and copied once, into its writer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "support/worker_pool.h"

enum RowRecordKind : uint8_t {
  ROW_RECORD_LOG = 1,  // lines stage A logged: text
  // A line stage A logged while reading frames: shown only while stage B takes the input's
  // rows (not for a repeated input, whose frames one thread would not read).
  ROW_RECORD_FRAME_LOG = 2,
  // A frame line an input shows once, however many of its parts log it.
  ROW_RECORD_LOG_ONCE = 3,
  ROW_RECORD_NO_BUS = 4,      // the input holds no bus-logging channel group: it is kept
  ROW_RECORD_HEADER = 5,      // the input's file header: a FileHeader
  ROW_RECORD_FAILED = 6,      // the input could not be opened: its result
  ROW_RECORD_DESCRIPTOR = 7,  // an output file's description: a RowDescriptor and its texts
  ROW_RECORD_ROW = 8,         // one row: a RowHead and its text
  ROW_RECORD_BAD_TIME = 9,    // a row time outside the calendar: the time
  ROW_RECORD_COUNTS = 10,     // frames, messages and signals since the last counts
  ROW_RECORD_END = 11,        // the part's end: a RowEnd
  // The records of a data group (or of a range of its records) follow: its ordinal (uint32_t)
  // among the file's data groups.
  ROW_RECORD_SEGMENT = 12,
  // Their end (after their counts): a RowSegmentEnd.
  ROW_RECORD_SEGMENT_END = 13,
  // What became of the frames since the last tally: see frame_tally_write.
  ROW_RECORD_TALLY = 14,
  // A channel group of a segment whose records gave no frame: a RowIdleGroup and its name and
  // reason.
  ROW_RECORD_IDLE_GROUP = 15,
  // One row in binary form, for a format that takes rows so (Parquet): a RowHead whose length
  // counts the row's bytes (see RowValueCell), then the row.
  ROW_RECORD_VALUES = 16,
};

// A row in binary form: the time in microseconds (int64_t, the microsecond the CSV's six
// decimals name), then one double per value column (the number its six-decimal text spells). When a
// cell is no number, one RowValueCell byte per column follows, then, for each text cell in column
// order, its length (uint32_t) and bytes; the number of a cell that is no number is not read.
enum RowValueCell : uint8_t {
  ROW_CELL_NUMBER = 0,
  ROW_CELL_NULL = 1,
  ROW_CELL_TEXT = 2,
};

// A row's descriptor index when the row is not written (all its values are out of range):
// it still moves the output set to its day.
constexpr uint32_t NO_DESCRIPTOR = 0xFFFFFFFFu;

// A UTC day as year * 10000 + month * 100 + day.
using PackedDay = uint32_t;

struct RowHead {
  uint32_t descriptor;
  PackedDay day;
  uint32_t length;  // of what follows: the whole CSV line, line feed included, or the binary row
};

// What stage B needs to find or create an output file's writer; the path part, the header line
// and the kinds of its columns follow it. Indices count from 0 in the order the part defines them.
struct RowDescriptor {
  uint32_t index;
  uint32_t columns;
  uint64_t key;
  uint64_t identity;
  uint32_t path_length;    // "<bus><channel>_<message>[_<mux>_M<low>...][_S<sa>]"
  uint32_t header_length;  // "t,<name>,...\n"
  uint32_t kinds_length;   // the columns' kinds after the header: 's' texts, 'n' numbers
};

struct RowCounts {
  uint64_t frames, messages, signals;
};

struct RowEnd {
  int32_t close_result;  // 0, or the result of an input that could not be closed
  uint8_t rows_lost;     // memory ran out for records: the part's records stop short
};

struct RowIdleGroup {
  uint32_t data_group;  // ordinal among the file's data groups
  uint32_t layout;      // the channel group's ordinal among the data group's layouts
  uint64_t records;
  uint32_t name_length, reason_length;
  uint8_t by_design;
};

struct RowSegmentEnd {
  uint32_t data_group;
  uint8_t frames_read;  // every frame of the segment was read (no reading failure)
};

// The record heads and their sizes in the chunk: kind, then the fixed part, then the texts.
constexpr uint32_t ROW_CHUNK_SIZE = 256 * 1024;

// Stage A's side: records appended to the current chunk, which goes to `deliver` when the next
// record does not fit (a record larger than a chunk gets a chunk of its own) and at flush.
// Counts since the last counts record travel as a counts record at the end of each chunk.
struct RowWriter {
  void (*deliver)(void* context, Chunk* chunk);
  void* context;
  Chunk* chunk;
  RowCounts counts;
  bool failed;  // memory ran out for a chunk: records are lost from here on
};

void row_writer_init(RowWriter* writer, void (*deliver)(void* context, Chunk* chunk),
                     void* context);
// Room for a record of up to `size` bytes after its kind byte; null when memory ran out.
// row_writer_commit then appends the kind and the `used` bytes written there.
uint8_t* row_writer_reserve(RowWriter* writer, uint64_t size);
void row_writer_commit(RowWriter* writer, RowRecordKind kind, uint64_t used);
// A record of one fixed part and up to two texts.
void row_writer_add(RowWriter* writer, RowRecordKind kind, const void* head, uint32_t head_size,
                    std::string_view first = {}, std::string_view second = {});
// Appends the counts since the last ones as a record (nothing when all are zero).
void row_writer_add_counts(RowWriter* writer);
// Hands the chunk over, counts included (nothing when it holds neither records nor counts).
void row_writer_flush(RowWriter* writer);

// Stage B's side: the records of one chunk in order.
struct RowRecord {
  RowRecordKind kind;
  const uint8_t* body;  // the fixed part, then the texts
  uint64_t size;
};

struct RowReader {
  const uint8_t* at;
  const uint8_t* end;
};

inline RowReader row_reader(Chunk* chunk) {
  return RowReader{chunk->bytes(), chunk->bytes() + chunk->size};
}
// The next record; false at the chunk's end.
bool row_reader_next(RowReader* reader, RowRecord* record);

// Copies the fixed part of a record out (records are not aligned).
template <class T>
T row_record_head(const RowRecord& record) {
  T head;
  memcpy(&head, record.body, sizeof head);
  return head;
}
