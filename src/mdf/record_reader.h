// The record reader: walks a data group's records in file order together with their
// variable-length data, and the iterator that hands each record to its group's frame
// extractor.
#pragma once

#include <cstdint>

#include "mdf/bus_frames.h"
#include "mdf/channels.h"
#include "mdf/layouts.h"
#include "support/dyn_string.h"

struct DgBlock;

// One record as the extractor sees it. The variable-length bytes hold, for each channel of
// the list that has a payload store, in list order, a 4-byte little-endian length L and L
// bytes; entries are always complete (L never runs past the buffer). Valid until the next
// record is read.
struct RecordView {
  const uint8_t* record_bytes;  // the data bytes (record id and invalidation bytes excluded)
  uint64_t record_length;
  const uint8_t* variable_bytes;
  uint64_t variable_length;
  const RecordChannel* channels;
  int32_t channel_count;
};

// Walks the entries of view->variable_bytes: `cursor` starts at 0; each call yields the next
// entry and advances it. False when no entry is left.
bool record_view_next_entry(const RecordView* view, uint64_t* cursor, const uint8_t** bytes,
                            uint64_t* length);

// One pass over one data group.
struct RecordReader {
  DgBlock* dg;        // not owned
  uint64_t position;  // from the start of the data block's data section
  DynString record;   // buffers reused for every record
  DynString variable;
  const RecordLayout* layout;  // the layout of the record last read
  RecordView view;
  BusFrame frame;
};

RecordReader* record_reader_new(DgBlock* dg);
void record_reader_free(RecordReader* reader);
// Reads the next record into reader->view (and reader->layout); false at the end of the
// data group (no data block, a failed seek or short read, an unknown record id, an
// unreadable record-id size). Variable-length records met on their own are skipped.
bool record_reader_next(RecordReader* reader);

struct RecordIterator {
  BusFrame* frame;       // the frame of the record just read; null when reading has ended
  uint32_t result;       // the extractor's result, EXTRACT_REJECTED before the first record
  RecordReader* reader;  // null when reading has ended
};

void record_iter_begin(RecordIterator* it, RecordReader* reader);
void record_iter_next(RecordIterator* it);
