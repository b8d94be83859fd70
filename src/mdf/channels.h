// The leaf channels of a channel group: where a value lies in a record, how to read it and
// how to convert it, built once per channel group from its channel blocks.
#pragma once

#include <cstdint>

#include "mdf/bus_frames.h"
#include "mdf/conversions.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"

struct Block;
struct CgBlock;
struct CnBlock;

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

// The channel's raw bits from a record as an unsigned integer (its 64 least significant bits
// when wider); 0 when the record is too short. Works for any bit offset and bit count.
uint64_t record_channel_raw(const RecordChannel* channel, const uint8_t* record, uint64_t length);
// The channel's numeric value with its conversion applied: unsigned and signed integers of up
// to 64 bits (a wider one keeps its last 64), floats of 16, 32 and 64 bits in either byte
// order widened to double; byte-array and string channels are read like unsigned integers, an
// unreadable kind gives NaN. The channel's reader must have been chosen.
double record_channel_value(const RecordChannel* channel, const uint8_t* record, uint64_t length);
// Sets channel->read from value_kind and bit_count; a float of a width other than 16, 32 or 64
// bits becomes VALUE_UNREADABLE.
void record_channel_choose_reader(RecordChannel* channel);
// A short name of an MDF 4 data type for messages ("MIME sample", "complex" ...).
const char* data_type_name(uint8_t data_type);

// Rebuilds a channel group's channel array from its channel list; false (with a message)
// when memory ran out or compositions nest too deeply. The channel of type master or virtual
// master with time synchronisation takes the timestamp role whatever its name. A group whose
// master lives in another group (its remote master) gets that group's time channels too, read
// from the master's record that the reader places right behind the group's data bytes.
bool build_record_channels(CgBlock* cg);
// Where the reader places the record index behind a record of the group: its data bytes plus
// the data bytes of its remote master.
uint64_t record_index_offset(const CgBlock* cg);
// Destroys each entry (name and conversion) and frees the array.
void record_channels_free(GrowArray<RecordChannel>* channels);
