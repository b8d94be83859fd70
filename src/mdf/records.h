// Records of a data group: the leaf channels of each channel group (where a value lies in a
// record, how to read and convert it), the per-data-group map of record layouts, the channel
// conversions, and the reader that walks a data group's records in file order together with
// their variable-length data and hands each to its group's frame extractor.
#pragma once

#include <cstdint>

#include "mdf/bus_frames.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"

struct Block;
struct CgBlock;
struct CnBlock;
struct DgBlock;

enum ValueKind : uint32_t {
  VALUE_UNSIGNED = 0,
  VALUE_BYTE_ARRAY = 1,
  VALUE_FLOAT = 2,
};

// ---- Conversions ----

struct Conversion;

// apply: the physical value of a raw value. destroy: frees the parameters and nulls the
// pointer. copy: the table and a deep copy of the parameters; false when memory ran out.
// The identity conversion has no table at all.
struct ConversionOps {
  double (*apply)(const Conversion* c, double value);
  void (*destroy)(Conversion* c);
  bool (*copy)(Conversion* destination, const Conversion* source);
};

struct Conversion {
  const ConversionOps* ops;  // null for the identity
  void* parameters;          // owned
};

// The value unchanged for a null conversion or one without apply.
double conversion_apply(const Conversion* c, double value);
void conversion_destroy(Conversion* c);
Conversion conversion_identity();
// value * factor + offset. False when memory ran out (the conversion is then the identity).
bool conversion_linear(Conversion* out, double factor, double offset);
// Pairs (values[2i], values[2i+1]) of key and value; an odd last value is ignored and the
// first of two equal keys wins. A value that is no key passes unchanged, and so does every
// value of an empty table.
bool conversion_value_table(Conversion* out, const double* values, uint64_t count);

// ---- Channels ----

// One leaf channel of a channel group; composition parents have no entry, their members do.
struct RecordChannel {
  uint64_t bit_offset;  // byte offset * 8 + bit offset
  uint64_t bit_count;
  ValueKind value_kind;
  uint8_t byte_order;  // 1 little-endian, 0 big-endian
  Conversion conversion;
  DynString name;
  FrameRole role;
  // Where a variable-length channel's payloads live (an SdBlock, a CgBlock of
  // variable-length records or a block of another kind); null for other channels. Not owned.
  Block* payload_store;
};

// The channel's raw bits from a record as an unsigned integer (its 64 least significant bits
// when wider); 0 when the record is too short. Works for any bit offset and bit count.
uint64_t record_channel_raw(const RecordChannel* channel, const uint8_t* record, uint64_t length);
// The channel's numeric value with its conversion applied: unsigned integers are converted
// as unsigned 64-bit values, floats of 16, 32 and 64 bits are widened to double (other float
// widths give NaN). Byte-array channels are read like unsigned integers.
double record_channel_value(const RecordChannel* channel, const uint8_t* record, uint64_t length);

// Rebuilds a channel group's channel array from its channel list; false (with a message)
// when memory ran out or compositions nest too deeply.
bool build_record_channels(CgBlock* cg);
// Appends the leaf channels of one channel (its composition members, depth first).
bool add_record_channels(const CnBlock* cn, GrowArray<RecordChannel>* channels);
// Destroys each entry (name and conversion) and frees the array.
void record_channels_free(GrowArray<RecordChannel>* channels);

// ---- Layouts ----

// How to read the records of one channel group of a data group.
struct RecordLayout {
  uint64_t record_id;
  // Data bytes per record, or -1 for a channel group of variable-length records.
  int64_t record_length;
  // Invalidation bytes that follow the data bytes of every record (part of the stride).
  uint32_t invalidation_bytes;
  CgBlock* group;  // not owned; its channel array is the record's channel list
  FrameExtractor extractor;
  GroupKind group_kind;
};

// Builds the data group's layouts from its channel groups. A record-id size other than 0,
// 1, 2, 4 or 8 leaves the map empty with a warning (the group then yields no records).
bool prepare_record_layouts(DgBlock* dg);
// The layout of a record id (use 0 when the data group's record-id size is 0), or null.
const RecordLayout* record_layout_find(const DgBlock* dg, uint64_t record_id);
void record_layouts_free(DgBlock* dg);

// ---- Reading ----

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
