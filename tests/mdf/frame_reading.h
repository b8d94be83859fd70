// Test helpers of the MDF tests: open an MF4 image held in memory and collect every frame
// its data groups yield, as plain values that outlive the reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mdf/bus_frames.h"

namespace test {

struct FrameValue {
  FrameKind kind = FRAME_NONE;
  double timestamp = 0;
  uint32_t id = 0;
  uint64_t data_length = 0;
  uint8_t bus_channel = 0, ide = 0, dir = 0, edl = 0, esi = 0, brs = 0, rtr = 0, dlc = 0;
  uint8_t received_byte_count = 0;
  uint32_t error_type = 0;
  std::vector<uint8_t> data;  // the whole data area (64 or 8 bytes), empty when null
  uint8_t payload_lost = 0;

  bool operator==(const FrameValue&) const = default;
};

FrameValue frame_value(const BusFrame& frame);
std::string describe(const FrameValue& f);

struct ReadResult {
  bool opened = false;
  uint64_t start_time_ns = 0;
  std::vector<FrameValue> frames;     // every record's frame, FRAME_NONE ones included
  std::vector<uint32_t> group_kinds;  // GroupKind of each data group's first channel group
  std::vector<size_t> frames_per_group;
};

ReadResult read_frames(const std::vector<uint8_t>& mf4);

}  // namespace test
