// Stage B's view of the row stream: the files one part's descriptors define, and the records
// taken into the session's output.
#pragma once

#include <cstdint>

#include "decode/row_stream.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"

struct OutputWriter;
struct Session;

// Stage B's view of one part's records: the files its descriptors defined, each with the
// writer found for it in the current output set.
struct TakenFile {
  uint64_t key, identity;
  uint32_t columns;
  uint32_t path_length;    // of `text`: the path part, then the header line, then the kinds
  uint32_t header_length;  // of the header line in `text`
  DynString text;          // may be held inline, so it moves with the entry: no views into it
  OutputWriter* writer;
  uint64_t output_set;  // the set `writer` was found in
};
struct RowTaker {
  GrowArray<TakenFile> files;
};
// Forgets the part's files (before the next part).
void row_taker_clear(RowTaker* taker);

// Takes one record of stage A's: a descriptor, a row (the output set moves to its day, and
// the row goes to its file), a bad time (warned once per input) or counts (their messages and
// signals added to the statistics); other kinds are the caller's and are passed over. False
// when the row's file could not be created or did not take the row (each reported once per
// file); the file's result is then a failure.
bool session_take_record(Session* session, RowTaker* taker, const RowRecord& record);
