// Record layouts: for each record id of a data group, how long its records are, which channel
// group describes them and which frame extractor turns them into bus frames.
#pragma once

#include <cstdint>

#include "mdf/bus_frames.h"
#include "mdf/record_types.h"

struct CgBlock;
struct DgBlock;

// Builds the data group's layouts from its channel groups. A record-id size other than 0,
// 1, 2, 4 or 8 leaves the map empty with a warning (the group then yields no records).
bool prepare_record_layouts(DgBlock* dg);
// The layout of a record id (use 0 when the data group's record-id size is 0), or null.
const RecordLayout* record_layout_find(const DgBlock* dg, uint64_t record_id);
void record_layouts_free(DgBlock* dg);
// True when a channel group of the data group holds bus frames of a kind the reader knows
// (a bus source and a frame-type prefix); the conversion reads only such data groups.
bool dg_has_bus_groups(const DgBlock* dg);
