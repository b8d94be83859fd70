// The records the block loaders hold for the reader and the reader hands to the extractors:
// one record as an extractor sees it, the leaf channels of a channel group and the layout of a
// data group's records per record id. Types only (and their trivial helpers): the code that
// builds them lives with the reader, above the block loaders.
#pragma once

#include <cstdint>
#include <string_view>

#include "mdf/conversions.h"
#include "mdf/frame_types.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"
#include "support/hash_table.h"

struct Block;
struct CgBlock;
struct RecordChannel;

// One record as the extractor sees it. The variable-length bytes hold, for each channel of
// the list that has a payload store, in list order, a 4-byte little-endian length L and L
// bytes; entries are always complete (L never runs past the buffer). L is RECORD_ENTRY_LOST,
// with no bytes, for a payload that could not be read (not where the record says, or in a block
// that holds none). Valid until the next record is read.
constexpr uint32_t RECORD_ENTRY_LOST = 0xFFFFFFFFu;

struct RecordView {
  // The data bytes (record id and invalidation bytes excluded), followed by what the layout
  // places behind them (the remote master's record, the record index).
  const uint8_t* record_bytes;
  uint64_t record_length;
  const uint8_t* variable_bytes;
  uint64_t variable_length;
  const RecordChannel* channels;
  int32_t channel_count;
};

// Walks the entries of view->variable_bytes: `cursor` starts at 0; each call yields the next
// entry and advances it (null bytes and length 0 for a lost entry). False when no entry is
// left.
inline bool record_view_next_entry(const RecordView* view, uint64_t* cursor, const uint8_t** bytes,
                                   uint64_t* length) {
  uint64_t at = *cursor;
  if (at > view->variable_length || view->variable_length - at < 4) return false;
  const uint8_t* p = view->variable_bytes + at;
  uint64_t n = static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8 |
               static_cast<uint64_t>(p[2]) << 16 | static_cast<uint64_t>(p[3]) << 24;
  if (n == RECORD_ENTRY_LOST) {
    *bytes = nullptr;
    *length = 0;
    *cursor = at + 4;
    return true;
  }
  if (n > view->variable_length - at - 4) return false;
  *bytes = p + 4;
  *length = n;
  *cursor = at + 4 + n;
  return true;
}

// How a channel's stored bits are read, from its data type (and width, for floats).
enum ValueKind : uint32_t {
  VALUE_UNSIGNED = 0,
  VALUE_BYTE_ARRAY = 1,  // byte arrays and strings of any encoding: their bytes are the value
  VALUE_FLOAT = 2,
  VALUE_SIGNED = 3,      // two's complement of bit_count bits
  VALUE_UNREADABLE = 4,  // a type (MIME, CANopen date or time, complex, a float of another width)
                         // that is not read: a group that needs the channel gives no frames
};

struct RecordChannel;
// Reads a channel's value, without its conversion, from a record: chosen once per channel.
using ChannelRead = double (*)(const RecordChannel* channel, const uint8_t* record,
                               uint64_t length);

// One leaf channel of a channel group; composition parents have no entry, their members do.
struct RecordChannel {
  uint64_t bit_offset;  // byte offset * 8 + bit offset
  uint64_t bit_count;
  ValueKind value_kind;
  uint8_t byte_order;  // 1 little-endian, 0 big-endian
  uint8_t data_type;   // as the channel block states it, for messages
  ChannelRead read;    // set by record_channel_choose_reader from the kind and the width
  Conversion conversion;
  DynString name;
  FrameRole role;
  // Where a variable-length channel's payloads live (an SdBlock, a CgBlock of
  // variable-length records, a list or compressed block of signal data, or a block of another
  // kind); null for other channels. Not owned. The record holds such a channel's offset there as
  // a little-endian 64-bit integer, whatever its data type.
  Block* payload_store;
  // A virtual master: the value is the record's index within its channel group, which the
  // record reader places behind the record (at record_index_offset).
  bool record_index;
};

// Destroys each entry (name and conversion) and frees the array.
inline void record_channels_free(GrowArray<RecordChannel>* channels) {
  for (RecordChannel& c : *channels) {
    conversion_destroy(&c.conversion);
    dynstring_free(&c.name);
  }
  grow_array_free(channels);
}

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
  // What the reader places behind the data bytes: the remote master's record (master_bytes of
  // it; null master when the group has none), then the record's index within the group as a
  // 64-bit integer when a channel needs it.
  CgBlock* master;
  uint32_t master_bytes;
  bool index_field;
  int32_t ordinal;  // 0 .. layouts - 1, in channel-group order
  // The channels from payload_begin up to payload_end hold every channel with a payload
  // store (an empty range when there is none), so that the reader looks at no others.
  int32_t payload_begin, payload_end;
};

// Keys the layout map by record id.
struct RecordLayoutTraits {
  using Key = uint64_t;
  static uint64_t hash(Key k) { return u64_hash(k); }
  static uint64_t hash_entry(const RecordLayout& e) { return u64_hash(e.record_id); }
  static bool equal(const RecordLayout& e, Key k) { return e.record_id == k; }
  static void destroy(RecordLayout&) {}
};

// What a reader has to tell about the data it reads, once per reader: a record that refers to
// variable-length bytes the file does not hold (at `offset`), or a channel whose payloads are
// said to be in a block that holds none (of `store_label`, at `offset`). The channel's name
// is valid during the call.
enum ReaderNoticeKind : int32_t {
  READER_NOTICE_PAYLOAD_MISSING = 0,
  READER_NOTICE_STORE_UNREADABLE = 1,
};

struct ReaderNotice {
  ReaderNoticeKind kind;
  std::string_view channel;
  const char* store_label;  // for READER_NOTICE_STORE_UNREADABLE
  uint64_t offset;
};

// The sentence a notice is told in.
void reader_notice_format(const ReaderNotice* notice, DynString* out);

// Receives a reader's notices where they arise (before the frame of the record is handed
// out). A reader without one logs the notice's sentence as a warning.
struct ReaderNoticeSink {
  void (*notice)(void* context, const ReaderNotice* notice);
  void* context;
};
