// Record layouts: for each record id of a data group, how long its records are, which channel
// group describes them and which frame extractor turns them into bus frames.
#pragma once

#include <cstdint>

#include "mdf/bus_frames.h"
#include "support/hash_table.h"

struct CgBlock;
struct DgBlock;

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

// Builds the data group's layouts from its channel groups. A record-id size other than 0,
// 1, 2, 4 or 8 leaves the map empty with a warning (the group then yields no records).
bool prepare_record_layouts(DgBlock* dg);
// The layout of a record id (use 0 when the data group's record-id size is 0), or null.
const RecordLayout* record_layout_find(const DgBlock* dg, uint64_t record_id);
void record_layouts_free(DgBlock* dg);
// True when a channel group of the data group holds bus frames of a kind the reader knows
// (a bus source and a frame-type prefix); the conversion reads only such data groups.
bool dg_has_bus_groups(const DgBlock* dg);
