// The frame a bus-logging record gives, the kinds of bus-logging channel groups, the roles of
// their channels and the extractor type: the vocabulary that the block loaders' records, the
// record reader and the frame extractors share, without their code.
#pragma once

#include <cstdint>

struct RecordView;

enum FrameKind : uint32_t {
  FRAME_NONE = 0,
  FRAME_CAN_DATA = 1,
  FRAME_CAN_REMOTE = 2,
  FRAME_CAN_ERROR = 3,
  FRAME_LIN = 4,
};

// Result of an extractor when the record gave no frame. Consumers look at the frame's kind,
// never at the result.
constexpr uint32_t EXTRACT_REJECTED = 9;

// Chosen once per channel group from the common prefix of its dotted channel names.
enum GroupKind : uint32_t {
  GROUP_NONE = 0,
  GROUP_CAN_DATA = 1,
  GROUP_CAN_REMOTE = 2,
  GROUP_CAN_ERROR = 3,
  GROUP_LIN = 4,
  GROUP_LIN_CHECKSUM_ERROR = 5,
  GROUP_LIN_RECEIVE_ERROR = 6,
  GROUP_LIN_SYNC_ERROR = 7,
  GROUP_LIN_TRANSMISSION_ERROR = 8,
  // The value a caller presets before asking select_frame_extractor; never a chosen kind.
  GROUP_UNSET = 9,
};

// The frame field a channel fills, from its whole name. Several names share a role.
enum FrameRole : uint32_t {
  ROLE_NONE = 0,
  ROLE_BRS = 1,
  ROLE_BUS_CHANNEL = 2,
  ROLE_DATA_BYTES = 3,
  ROLE_DATA_LENGTH = 4,
  ROLE_DIR = 5,
  ROLE_DLC = 6,
  ROLE_EDL = 7,
  ROLE_ERROR_TYPE = 8,
  ROLE_ESI = 9,
  ROLE_ID = 10,
  ROLE_IDE = 11,
  ROLE_LIN_BUS_CHANNEL = 12,
  ROLE_LIN_DATA_BYTES = 13,
  ROLE_LIN_DATA_LENGTH = 14,
  ROLE_LIN_DIR = 15,
  ROLE_LIN_ID = 16,
  ROLE_LIN_RECEIVED_BYTE_COUNT = 17,
  ROLE_TIMESTAMP = 18,
};

constexpr uint32_t CAN_DATA_AREA = 64;
constexpr uint32_t LIN_DATA_AREA = 8;

// One frame, filled by one extractor call and reused for every record of a group. `data`
// points into the frame itself (or is null), so a frame must not be copied while in use.
struct BusFrame {
  double timestamp;      // seconds since the file's start time
  uint32_t id;           // identifier as logged; IDE is a separate flag
  const uint8_t* data;   // the frame's data area, or null
  uint64_t data_length;  // the DataLength channel's value (0-255), not the bytes copied
  FrameKind kind;
  // 1 when the frame's payload could not be read (its variable-length bytes are not where the
  // record says): the data area holds zeros that must not be decoded.
  uint8_t payload_lost;
  union {
    struct {  // FRAME_CAN_DATA and FRAME_CAN_REMOTE
      uint8_t ide, dir, edl, esi, brs, rtr, bus_channel, dlc;
      uint8_t data[CAN_DATA_AREA];
    } can;
    struct {  // FRAME_CAN_ERROR
      uint8_t bus_channel;
      uint32_t error_type;  // 0 to 5
    } error;
    struct {  // FRAME_LIN
      uint8_t dir, bus_channel, received_byte_count;
      uint8_t data[LIN_DATA_AREA];
    } lin;
  } u;
};

// Fills `frame` from one record and returns the kind filled (1 to 4) or EXTRACT_REJECTED.
using FrameExtractor = uint32_t (*)(const RecordView* view, BusFrame* frame);
