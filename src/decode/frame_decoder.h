// Frame decoding in two stages. Stage A (any thread) decodes a bus frame with every database
// of its channel that knows it and formats one CSV row per database (a binary row when an
// output encoder is installed), with the UTC day of the row and a descriptor of its output file
// (defined once per part). Stage B (the session's thread) moves the output set to each row's day
// and copies the row into its file's writer.
#pragma once

#include <cstdint>

#include "decode/calendar.h"
#include "decode/output_files.h"
#include "decode/row_stream.h"
#include "support/grow_array.h"

struct Session;
struct BusFrame;
struct RowMaker;

// The quiet NaN with the sign bit set that stands for a value outside its signal's range.
constexpr uint64_t OUT_OF_RANGE_NAN_BITS = 0xFFF8000000000000ULL;

// Stage A: the decoder of one part's frames; its rows, descriptors and counts (messages and
// signals) go to `out`. The session's databases are only read. Null when memory ran out.
RowMaker* row_maker_new(const Session* session, double time_base, RowWriter* out);
void row_maker_free(RowMaker* maker);
// Decodes one frame (the times of its rows: time_base + frame timestamp), counting it in the
// maker's tally. A row time outside the calendar gives one bad-time record per part, at its
// first occurrence, and no rows.
void row_maker_frame(RowMaker* maker, const BusFrame* frame);
// Writes the tally of the frames since the last tally record (a tally record), and clears it.
void row_maker_write_tally(RowMaker* maker);

// Stage B's view of one part's records: the files its descriptors defined, each with the
// writer found for it in the current output set.
struct TakenFile {
  uint64_t key, identity;
  uint32_t columns;
  uint32_t path_length;    // of `text`: the path part, then the header line, then the kinds
  uint32_t header_length;  // of the header line in `text`
  DynString text;          // may be held inline, so it moves with the entry: no views into it
  CsvWriter* writer;
  uint64_t output_set;  // the set `writer` was found in
};
struct RowTaker {
  GrowArray<TakenFile> files;
};
// Forgets the part's files (before the next part).
void row_taker_clear(RowTaker* taker);

// Takes one record of stage A's: a descriptor, a row (the output set moves to its day, and
// the row goes to its file), a bad time (warned once per input), counts (added to the
// statistics and the converter's frames) or a tally (added to the converter's). False when the
// row's file could not be created or did not take the row (each reported once per file); the file's
// result is then a failure.
bool session_take_record(Session* session, RowTaker* taker, const RowRecord& record);
