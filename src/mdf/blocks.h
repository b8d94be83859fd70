// The block kinds of an MDF 4 file that the reader supports (the data lists and compressed
// data are in data_lists.h): their objects, the typed views from a reference to a block of the
// expected kind (null for another kind or none), and the stream over the data section of data,
// signal-data, value and invalidation blocks.
#pragma once

#include <cstdint>
#include <string_view>

#include "mdf/block.h"
#include "mdf/record_types.h"
#include "support/dyn_string.h"
#include "support/hash_table.h"

struct IdBlock {
  Block base;
  char file_id[9];  // "MDF     " or "UnFinMF ", zero-terminated
  char format_version[9];
  char program_id[9];
  uint16_t version_number;
  uint16_t unfinalised_flags;  // bit 2 (the last data block's length is wrong) is fixed up
  uint16_t custom_unfinalised_flags;
  BlockRef hd;
};

struct HdBlock {
  Block base;
  BlockList data_groups;
  BlockList file_history;
  BlockRef comment;
  uint64_t start_time_ns;
  int16_t tz_offset_min;
  int16_t dst_offset_min;
  uint8_t time_flags;
  uint8_t time_class;
  uint8_t flags;
  double start_angle;
  double start_distance;
};

struct FhBlock {
  Block base;
  BlockRef comment;
  uint64_t time_ns;
  int16_t tz_offset_min;
  int16_t dst_offset_min;
  uint8_t time_flags;
};

struct DgBlock {
  Block base;
  BlockList channel_groups;
  BlockRef data;
  BlockRef comment;
  uint8_t record_id_size;
  HashTable<RecordLayout> layouts;  // by record id, built by prepare_record_layouts when the
                                    // file opens
};

constexpr uint16_t CG_FLAG_VARIABLE_LENGTH = 1;
constexpr uint16_t CG_FLAG_BUS_EVENT = 2;
constexpr uint16_t CG_FLAG_PLAIN_BUS_EVENT = 4;
// The group's master channel lives in another channel group (column storage), named by the
// group's seventh link.
constexpr uint16_t CG_FLAG_REMOTE_MASTER = 8;

struct CgBlock {
  Block base;
  BlockList channels;
  BlockRef acquisition_name;
  BlockRef acquisition_source;
  BlockRef comment;
  uint64_t record_id;
  uint64_t cycle_count;
  uint16_t flags;
  bool variable_length;  // flags bit 0: a group of variable-length records
  bool bus_event;
  bool plain_bus_event;
  uint16_t path_separator;
  uint32_t data_bytes;
  uint32_t invalidation_bytes;
  // The group's leaf channels, built by build_record_channels when the file opens (not by the
  // loader, which only parses), once however many data groups share the group.
  GrowArray<RecordChannel> record_channels;
  bool record_channels_built;
  // The channel group whose records hold this group's master channel, record by record
  // (CG_FLAG_REMOTE_MASTER); empty otherwise.
  BlockRef master;
  // The data group whose channel list holds this group, set once the file is open (the first
  // such data group); not owned.
  Block* data_group;
};

constexpr uint8_t CHANNEL_TYPE_VARIABLE_LENGTH = 1;
constexpr uint8_t CHANNEL_TYPE_MASTER = 2;
constexpr uint8_t CHANNEL_TYPE_VIRTUAL_MASTER = 3;
constexpr uint8_t SYNC_TYPE_TIME = 1;

struct CnBlock {
  Block base;
  BlockList composition;
  BlockRef name;
  BlockRef source;
  BlockRef conversion;
  BlockRef data;
  BlockRef unit;
  BlockRef comment;
  uint8_t channel_type;
  uint8_t sync_type;
  uint8_t data_type;
  uint8_t bit_offset;
  uint32_t byte_offset;
  uint32_t bit_count;
  uint32_t flags;
  uint32_t invalidation_bit;
  uint8_t precision;
  uint16_t attachment_count;
  double range_min, range_max, limit_min, limit_max, ext_limit_min, ext_limit_max;
};

constexpr uint8_t CONVERSION_LINEAR = 1;
constexpr uint8_t CONVERSION_VALUE_TABLE = 5;

struct CcBlock {
  Block base;
  BlockRef name;
  BlockRef unit;
  BlockRef comment;
  BlockRef inverse;
  uint8_t type;
  uint8_t precision;
  uint16_t flags;
  uint16_t ref_count;
  uint16_t value_count;
  double phys_min;
  double phys_max;
  double* values;  // value_count entries
};

// Value i of a conversion; false when i is not below the value count.
bool cc_value(const CcBlock* cc, uint64_t i, double* out);

constexpr uint8_t SOURCE_TYPE_BUS = 2;

struct SiBlock {
  Block base;
  BlockRef name;
  BlockRef path;
  BlockRef comment;
  uint8_t source_type;
  uint8_t bus_type;
  uint8_t flags;
};

// TX and MD blocks: the text of the data section without its last (terminating) byte.
struct TextBlock {
  Block base;
  DynString text;
};

// A block of a kind the reader does not read ("##AT", "##EV", "##CA" ...), reached through a
// link the conversion does not need: only its identifier is kept.
struct OtherBlock {
  Block base;
  char id[5];  // the four identifier characters, zero-terminated
};

// The identifier of a block for messages: its kind's letters, also for a block that is not
// read.
inline const char* block_label(const Block* b) {
  if (b->kind == BLOCK_OTHER) return reinterpret_cast<const OtherBlock*>(b)->id + 2;
  return block_kind_name(b->kind);
}

// The data section of a DT, SD, DV or DI block as a read-only stream of its own (positions
// from the section start). Reads stop at the section end and never past the end of the file.
// It has no close: the block owns it.
struct BlockDataStream {
  Stream base;
  Stream* file;  // not owned
  Block* owner;  // the block whose length gives the section size
  uint64_t data_start;
  uint64_t file_size;
  uint64_t position;
  bool finalised;  // the file was finalised: a section cut off by the file's end is damage
};

struct DataBlock {
  Block base;
  BlockDataStream data;
};

// Size of a data block's section as the stream sees it: length - 24, cut at the end of the
// file.
uint64_t block_data_stream_size(const BlockDataStream* s);

// Typed views.
IdBlock* id_block(BlockRef ref);
HdBlock* hd_block(BlockRef ref);
DgBlock* dg_block(BlockRef ref);
CgBlock* cg_block(BlockRef ref);
CnBlock* cn_block(BlockRef ref);
CcBlock* cc_block(BlockRef ref);
SiBlock* si_block(BlockRef ref);
TextBlock* tx_block(BlockRef ref);
TextBlock* md_block(BlockRef ref);
DataBlock* dt_block(BlockRef ref);
CgBlock* cg_block(Block* block);
// A DT, SD, DV or DI block: one section of plain data.
DataBlock* plain_data_block(Block* block);

// The text of a TX or MD block up to its first zero byte (the padding that writers add after
// the terminator stays in TextBlock::text); empty for any other kind or none.
std::string_view block_text(BlockRef ref);

// The constructor of a kind for the block cache (see BlockCreate).
Block* block_create(BlockKind kind);

// The identification and header blocks of an opened file (null when absent).
IdBlock* mdf_id(const MdfFile* file);
HdBlock* mdf_hd(const MdfFile* file);
