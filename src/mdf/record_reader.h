// The record reader: walks a data group's records in file order together with their
// variable-length data (from signal-data blocks, or from variable-length records of the data
// group found by the offset the record holds), the records of a remote master and the record
// index, and the iterator that hands each record to its group's frame extractor. The data may
// lie in one plain block or spread over data lists and compressed blocks.
#pragma once

#include <cstdint>
#include <string_view>

#include "mdf/bus_frames.h"
#include "mdf/channels.h"
#include "mdf/layouts.h"
#include "mdf/record_types.h"
#include "support/dyn_string.h"

struct DgBlock;
struct HdBlock;

struct ReaderState;

// One pass over one data group.
struct RecordReader {
  DgBlock* dg;        // not owned
  uint64_t position;  // from the start of the data group's data
  // The records read: those that start from range_begin up to range_end (all by default).
  uint64_t range_begin, range_end;
  DynString record;  // buffers reused for every record
  DynString variable;
  const RecordLayout* layout;  // the layout of the record last read
  RecordView view;
  BusFrame frame;
  ReaderState* state;  // the streams over the data and the payloads; owned
  ReaderNoticeSink notices;
};

// A reader of the data group's records; null when memory ran out. A data group whose data
// cannot be read (see data_pieces_resolve) gives a reader that has failed at once.
RecordReader* record_reader_new(DgBlock* dg);
void record_reader_free(RecordReader* reader);
// Reads the next record into reader->view (and reader->layout); false at the end of the
// data group (no data, an unknown record id, an unreadable record-id size, a last record cut
// short) and when reading failed. Variable-length records met on their own are passed over:
// a record finds its variable-length bytes by the offset it holds.
bool record_reader_next(RecordReader* reader);
// True when reading stopped because the data could not be read (a damaged compressed block,
// a remote master with fewer records, variable-length records referred to in a disorder that
// would take too long to follow ...); the reason has been logged.
bool record_reader_failed(const RecordReader* reader);

struct RecordIterator {
  BusFrame* frame;       // the frame of the record just read; null when reading has ended
  uint32_t result;       // the extractor's result, EXTRACT_REJECTED before the first record
  RecordReader* reader;  // null when reading has ended
};

// Reads from the reader's range_begin on.
void record_iter_begin(RecordIterator* it, RecordReader* reader);
void record_iter_next(RecordIterator* it);

// Cuts a data group's records into ranges that readers of their own can read apart, each of
// about `target` bytes of data. Possible for a data group of one channel group of fixed-length
// records without record ids, remote master, record index, column storage or payloads in
// variable-length records; where its data lies in pieces (lists, compressed blocks), the cuts
// fall on the first record that starts in a piece, so that a compressed block is inflated by
// one reader only (and the reader before it for the record that crosses into it). Fills
// `cuts` with the ranges' starts after 0, ascending, and *end with the end of the data; false
// (nothing filled) when the data group cannot be cut or is too small for two ranges.
bool record_ranges(DgBlock* dg, uint64_t target, GrowArray<uint64_t>* cuts, uint64_t* end);

// Run once when a file has been opened: tells each channel group its data group, and checks
// that what the data groups with bus frames need can be read (their data, the signal data of
// their variable-length channels, their remote masters). False, with the reason logged, when
// it cannot: the file is then refused before any frame is read.
bool prepare_bus_reading(HdBlock* hd);
