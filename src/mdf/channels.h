// The leaf channels of a channel group: where a value lies in a record, how to read it and
// how to convert it, built once per channel group from its channel blocks.
#pragma once

#include <cstdint>

#include "mdf/bus_frames.h"
#include "mdf/conversions.h"
#include "mdf/record_types.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"

struct Block;
struct CgBlock;
struct CnBlock;

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
