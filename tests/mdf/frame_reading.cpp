// Test helpers of the MDF tests: open an in-memory MF4 image and collect its frames as values.
#include "mdf/frame_reading.h"

#include <cstdio>

#include "io/stream.h"
#include "mdf/block.h"
#include "mdf/blocks.h"
#include "mdf/mdf_file.h"
#include "mdf/records.h"

namespace test {

FrameValue frame_value(const BusFrame& f) {
  FrameValue v;
  v.kind = f.kind;
  v.timestamp = f.timestamp;
  v.id = f.id;
  v.data_length = f.data_length;
  v.payload_lost = f.payload_lost;
  switch (f.kind) {
    case FRAME_CAN_DATA:
    case FRAME_CAN_REMOTE:
      v.bus_channel = f.u.can.bus_channel;
      v.ide = f.u.can.ide;
      v.dir = f.u.can.dir;
      v.edl = f.u.can.edl;
      v.esi = f.u.can.esi;
      v.brs = f.u.can.brs;
      v.rtr = f.u.can.rtr;
      v.dlc = f.u.can.dlc;
      break;
    case FRAME_CAN_ERROR:
      v.bus_channel = f.u.error.bus_channel;
      v.error_type = f.u.error.error_type;
      break;
    case FRAME_LIN:
      v.bus_channel = f.u.lin.bus_channel;
      v.dir = f.u.lin.dir;
      v.received_byte_count = f.u.lin.received_byte_count;
      break;
    default:
      break;
  }
  // A frame of no kind carries nothing a consumer may look at, its data pointer included.
  if (f.data && f.kind != FRAME_NONE)
    v.data.assign(f.data, f.data + (f.kind == FRAME_LIN ? LIN_DATA_AREA : CAN_DATA_AREA));
  return v;
}

std::string describe(const FrameValue& f) {
  char buf[320];
  snprintf(buf, sizeof buf,
           "kind %u t %.9g id 0x%X len %llu ch %u ide %u dir %u edl %u esi %u brs %u rtr %u "
           "dlc %u rx %u err %u lost %u data",
           f.kind, f.timestamp, f.id, static_cast<unsigned long long>(f.data_length), f.bus_channel,
           f.ide, f.dir, f.edl, f.esi, f.brs, f.rtr, f.dlc, f.received_byte_count, f.error_type,
           f.payload_lost);
  std::string s = buf;
  for (uint8_t b : f.data) {
    snprintf(buf, sizeof buf, " %02X", b);
    s += buf;
  }
  return s;
}

ReadResult read_frames(const std::vector<uint8_t>& mf4) {
  ReadResult result;
  Stream* stream = memory_stream_new();
  if (!stream) return result;
  if (!mf4.empty()) stream_write(stream, mf4.data(), mf4.size());
  stream_seek(stream, 0, SEEK_FROM_START);
  MdfFile* file = mdf_open(stream);
  if (!file) {
    stream_close(stream);
    return result;
  }
  result.opened = true;
  if (HdBlock* hd = mdf_hd(file)) {
    result.start_time_ns = hd->start_time_ns;
    for (const BlockRef& ref : hd->data_groups) {
      DgBlock* dg = dg_block(ref);
      if (!dg) continue;
      uint32_t kind = GROUP_NONE;
      if (dg->channel_groups.count > 0) {
        CgBlock* cg = cg_block(dg->channel_groups.first[0]);
        const RecordLayout* layout =
            cg ? record_layout_find(dg, dg->record_id_size ? cg->record_id : 0) : nullptr;
        if (layout) kind = layout->group_kind;
      }
      size_t count = 0;
      if (RecordReader* reader = record_reader_new(dg)) {
        RecordIterator it;
        for (record_iter_begin(&it, reader); it.frame; record_iter_next(&it)) {
          result.frames.push_back(frame_value(*it.frame));
          ++count;
        }
        record_reader_free(reader);
      }
      result.group_kinds.push_back(kind);
      result.frames_per_group.push_back(count);
    }
  }
  mdf_close(file);
  stream_close(stream);
  return result;
}

}  // namespace test
