// Bus-logging frame extraction: the role and prefix tables, the choice of extractor per
// channel group, and the five extractors.
#include "mdf/bus_frames.h"

#include <cmath>
#include <cstring>

#include "mdf/channels.h"
#include "mdf/record_types.h"

namespace {

struct RoleName {
  std::string_view name;
  FrameRole role;
};

constexpr RoleName ROLE_NAMES[] = {
    {"CAN_DataFrame.BRS", ROLE_BRS},
    {"CAN_DataFrame.BusChannel", ROLE_BUS_CHANNEL},
    {"CAN_RemoteFrame.BusChannel", ROLE_BUS_CHANNEL},
    {"CAN_ErrorFrame.BusChannel", ROLE_BUS_CHANNEL},
    {"CAN_DataFrame.DataBytes", ROLE_DATA_BYTES},
    {"CAN_DataFrame.DataLength", ROLE_DATA_LENGTH},
    {"CAN_RemoteFrame.DataLength", ROLE_DATA_LENGTH},
    {"CAN_DataFrame.Dir", ROLE_DIR},
    {"CAN_RemoteFrame.Dir", ROLE_DIR},
    {"CAN_DataFrame.DLC", ROLE_DLC},
    {"CAN_RemoteFrame.DLC", ROLE_DLC},
    {"CAN_DataFrame.EDL", ROLE_EDL},
    {"CAN_ErrorFrame.ErrorType", ROLE_ERROR_TYPE},
    {"CAN_DataFrame.ESI", ROLE_ESI},
    {"CAN_DataFrame.ID", ROLE_ID},
    {"CAN_RemoteFrame.ID", ROLE_ID},
    {"CAN_DataFrame.IDE", ROLE_IDE},
    {"CAN_RemoteFrame.IDE", ROLE_IDE},
    {"LIN_Frame.BusChannel", ROLE_LIN_BUS_CHANNEL},
    {"LIN_Frame.DataBytes", ROLE_LIN_DATA_BYTES},
    {"LIN_Frame.DataLength", ROLE_LIN_DATA_LENGTH},
    {"LIN_Frame.Dir", ROLE_LIN_DIR},
    {"LIN_Frame.ID", ROLE_LIN_ID},
    {"LIN_Frame.ReceivedDataByteCount", ROLE_LIN_RECEIVED_BYTE_COUNT},
    {"Timestamp", ROLE_TIMESTAMP},
};

struct PrefixRow {
  std::string_view prefix;
  GroupKind kind;
  FrameExtractor extractor;
};

constexpr PrefixRow PREFIXES[] = {
    {"CAN_DataFrame", GROUP_CAN_DATA, extract_can_data_frame},
    {"CAN_RemoteFrame", GROUP_CAN_REMOTE, extract_can_remote_frame},
    {"CAN_ErrorFrame", GROUP_CAN_ERROR, extract_can_error_frame},
    {"LIN_Frame", GROUP_LIN, extract_lin_frame},
    {"LIN_ChecksumError", GROUP_LIN_CHECKSUM_ERROR, extract_nothing},
    {"LIN_ReceiveError", GROUP_LIN_RECEIVE_ERROR, extract_nothing},
    {"LIN_SyncError", GROUP_LIN_SYNC_ERROR, extract_nothing},
    {"LIN_TransmissionError", GROUP_LIN_TRANSMISSION_ERROR, extract_nothing},
};

// Role sets of the extractors, one bit per role.
constexpr uint32_t role_bits(std::initializer_list<FrameRole> roles) {
  uint32_t bits = 0;
  for (FrameRole r : roles) bits |= 1u << r;
  return bits;
}
constexpr uint32_t CAN_DATA_ROLES =
    role_bits({ROLE_BRS, ROLE_BUS_CHANNEL, ROLE_DATA_BYTES, ROLE_DATA_LENGTH, ROLE_DIR, ROLE_DLC,
               ROLE_EDL, ROLE_ESI, ROLE_ID, ROLE_IDE, ROLE_TIMESTAMP});
constexpr uint32_t CAN_REMOTE_ROLES = role_bits(
    {ROLE_BUS_CHANNEL, ROLE_DATA_LENGTH, ROLE_DIR, ROLE_DLC, ROLE_ID, ROLE_IDE, ROLE_TIMESTAMP});
constexpr uint32_t CAN_ERROR_ROLES = role_bits({ROLE_BUS_CHANNEL, ROLE_ERROR_TYPE, ROLE_TIMESTAMP});
constexpr uint32_t LIN_ROLES =
    role_bits({ROLE_LIN_BUS_CHANNEL, ROLE_LIN_DATA_BYTES, ROLE_LIN_DATA_LENGTH, ROLE_LIN_DIR,
               ROLE_LIN_ID, ROLE_LIN_RECEIVED_BYTE_COUNT, ROLE_TIMESTAMP});

constexpr bool in_set(uint32_t roles, FrameRole role) { return role < 32 && (roles >> role & 1); }

std::string_view channel_name(const RecordChannel& c) { return dynstring_sv(&c.name); }

bool has_prefix(std::string_view name, std::string_view prefix) {
  return name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix &&
         name[prefix.size()] == '.';
}

// The low 64 bits of the integer part of v, two's complement for negative values: the
// truncation every numeric-to-integer store uses. NaN gives 0; values beyond the 64-bit range
// saturate instead of being undefined.
uint64_t truncate_to_bits(double v) {
  if (v >= 0 && v < 9223372036854775808.0) return static_cast<uint64_t>(v);  // the usual case
  if (std::isnan(v)) return 0;
  if (v >= 18446744073709551616.0) return UINT64_MAX;
  if (v >= 9223372036854775808.0)
    return static_cast<uint64_t>(v - 9223372036854775808.0) + (uint64_t{1} << 63);
  if (v <= -9223372036854775808.0) return uint64_t{1} << 63;
  return static_cast<uint64_t>(static_cast<int64_t>(v));
}

uint8_t low_byte(double v) { return static_cast<uint8_t>(truncate_to_bits(v)); }

double channel_value(const RecordChannel& c, const RecordView* view) {
  return record_channel_value(&c, view->record_bytes, view->record_length);
}

// The next variable-length entry; an absent one (or one whose bytes could not be read) is empty
// with null data.
void next_entry(const RecordView* view, uint64_t* cursor, const uint8_t** data, uint64_t* size) {
  if (!record_view_next_entry(view, cursor, data, size)) {
    *data = nullptr;
    *size = 0;
  }
}

void skip_entry(const RecordView* view, uint64_t* cursor) {
  const uint8_t* data;
  uint64_t size;
  next_entry(view, cursor, &data, &size);
}

// The bytes of a byte-array channel without payload store, bounded by the record.
void fixed_bytes(const RecordChannel& c, const RecordView* view, const uint8_t** data,
                 uint64_t* size) {
  uint64_t first = c.bit_offset / 8;
  uint64_t n = c.bit_count / 8;
  *data = nullptr;
  *size = 0;
  if (first >= view->record_length) return;
  *data = view->record_bytes + first;
  *size = n < view->record_length - first ? n : view->record_length - first;
}

// The payload length a CAN DLC code stands for: codes above 8 mean 12 to 64 bytes on CAN FD,
// and 8 bytes on classic CAN.
uint8_t can_length_of_dlc(uint8_t dlc, bool fd) {
  static constexpr uint8_t FD_LENGTHS[] = {12, 16, 20, 24, 32, 48, 64};
  if (dlc <= 8) return dlc;
  if (!fd) return 8;
  return FD_LENGTHS[(dlc > 15 ? 15 : dlc) - 9];
}

uint32_t reject(BusFrame* frame) {
  frame->data = nullptr;
  frame->data_length = 0;
  return EXTRACT_REJECTED;
}

constexpr uint64_t LENGTH_UNSET = UINT64_MAX;  // above any DataLength value (0-255)
constexpr uint8_t FLAG_UNSET = 0xFF;           // flags read as 0 or 1

// A data frame given up inside the walk: its marks cleared as reject's fields are.
uint32_t reject_can_data(BusFrame* frame) {
  frame->u.can.edl = 0;
  return reject(frame);
}

void clear_head(BusFrame* frame) {
  frame->timestamp = 0;
  frame->id = 0;
  frame->data = nullptr;
  frame->data_length = 0;
  frame->kind = FRAME_NONE;
  frame->payload_lost = 0;
}

}  // namespace

FrameRole frame_role_from_name(std::string_view name) {
  for (const RoleName& r : ROLE_NAMES)
    if (r.name == name) return r.role;
  return ROLE_NONE;
}

bool select_frame_extractor(const RecordChannel* channels, int32_t count, FrameExtractor* extractor,
                            GroupKind* group_kind) {
  // The set of prefixes has exactly one member when every dotted name shares the first one.
  std::string_view prefix;
  bool have = false;
  for (int32_t i = 0; i < count; ++i) {
    std::string_view name = channel_name(channels[i]);
    size_t dot = name.find('.');
    if (dot == std::string_view::npos) continue;
    std::string_view p = name.substr(0, dot);
    if (!have) {
      prefix = p;
      have = true;
    } else if (p != prefix) {
      return false;
    }
  }
  if (!have) return false;
  *extractor = extract_nothing;
  *group_kind = GROUP_NONE;
  for (const PrefixRow& row : PREFIXES) {
    if (row.prefix == prefix) {
      *extractor = row.extractor;
      *group_kind = row.kind;
      break;
    }
  }
  return true;
}

namespace {

// The prefix and role set of a kind of frame group; null prefix for a kind that gives no
// frames.
struct KindRoles {
  std::string_view prefix;
  uint32_t roles;
};

KindRoles kind_roles(GroupKind kind) {
  switch (kind) {
    case GROUP_CAN_DATA:
      return {"CAN_DataFrame", CAN_DATA_ROLES};
    case GROUP_CAN_REMOTE:
      return {"CAN_RemoteFrame", CAN_REMOTE_ROLES};
    case GROUP_CAN_ERROR:
      return {"CAN_ErrorFrame", CAN_ERROR_ROLES};
    case GROUP_LIN:
      return {"LIN_Frame", LIN_ROLES};
    default:
      return {{}, 0};
  }
}

// Why a group for which select_frame_extractor chose no kind gives no frames.
bool unknown_group_refusal(const RecordChannel* channels, int32_t count, DynString* why) {
  std::string_view first;
  for (int32_t i = 0; i < count; ++i) {
    std::string_view name = channel_name(channels[i]);
    size_t dot = name.find('.');
    if (dot == std::string_view::npos) continue;
    std::string_view prefix = name.substr(0, dot);
    if (first.empty()) {
      first = prefix;
    } else if (prefix != first) {
      return dynstring_format(why, "its channels' names have the prefixes %.*s and %.*s",
                              static_cast<int>(first.size()), first.data(),
                              static_cast<int>(prefix.size()), prefix.data()) >= 0;
    }
  }
  if (first.empty())
    return dynstring_append(why, "no channel is a frame field (such as CAN_DataFrame.ID)");
  return dynstring_format(why, "%.*s is no kind of frame that is read",
                          static_cast<int>(first.size()), first.data()) >= 0;
}

}  // namespace

int32_t frame_group_unreadable_field(const RecordChannel* channels, int32_t count, GroupKind kind) {
  uint32_t roles = kind_roles(kind).roles;
  for (int32_t i = 0; i < count; ++i)
    if (channels[i].value_kind == VALUE_UNREADABLE && in_set(roles, channels[i].role)) return i;
  return -1;
}

int32_t frame_group_ignored(const RecordChannel* channels, int32_t count, GroupKind kind,
                            DynString* names) {
  KindRoles own = kind_roles(kind);
  if (own.prefix.empty()) return 0;
  int32_t ignored = 0;
  for (int32_t i = 0; i < count; ++i) {
    const RecordChannel& c = channels[i];
    if (in_set(own.roles, c.role) || has_prefix(channel_name(c), own.prefix)) continue;
    std::string_view name = channel_name(c);
    dynstring_format(names, "%s\"%.*s\"", ignored ? ", " : "", static_cast<int>(name.size()),
                     name.data());
    ++ignored;
  }
  return ignored;
}

bool frame_group_refusal(const RecordChannel* channels, int32_t count, GroupKind kind,
                         DynString* why) {
  if (kind >= GROUP_LIN_CHECKSUM_ERROR && kind <= GROUP_LIN_TRANSMISSION_ERROR)
    return dynstring_append(why, "LIN errors are not converted");
  KindRoles own = kind_roles(kind);
  if (own.prefix.empty()) return unknown_group_refusal(channels, count, why);
  bool timed = false;
  for (int32_t i = 0; i < count; ++i) timed |= channels[i].role == ROLE_TIMESTAMP;
  if (!timed) return dynstring_append(why, "no time channel");
  if (int32_t u = frame_group_unreadable_field(channels, count, kind); u >= 0) {
    std::string_view name = channel_name(channels[u]);
    uint8_t type = channels[u].data_type;
    if (type == 4 || type == 5)
      return dynstring_format(why, "channel \"%.*s\" is a float of %llu bits, which is not read",
                              static_cast<int>(name.size()), name.data(),
                              static_cast<unsigned long long>(channels[u].bit_count)) >= 0;
    return dynstring_format(why, "channel \"%.*s\" has data type %u (%s), which is not read",
                            static_cast<int>(name.size()), name.data(), type,
                            data_type_name(type)) >= 0;
  }
  for (int32_t i = 0; i < count; ++i) {
    const RecordChannel& c = channels[i];
    if (c.role == ROLE_DATA_BYTES && in_set(own.roles, c.role) && !c.payload_store &&
        c.bit_count / 8 > CAN_DATA_AREA)
      return dynstring_format(why, "its DataBytes channel is wider than %u bytes", CAN_DATA_AREA) >=
             0;
  }
  return false;
}

// The integer fields that data and remote frames share, from the low 64 bits of the channel's
// integer value (as truncate_to_bits gives them); each extractor's role set decides which of
// them can reach it.
static void set_can_bits(uint32_t role, uint64_t bits, BusFrame* frame) {
  uint8_t set = bits != 0 ? 1 : 0;
  switch (role) {
    case ROLE_BRS:
      frame->u.can.brs = set;
      break;
    case ROLE_BUS_CHANNEL:
      frame->u.can.bus_channel = static_cast<uint8_t>(bits);
      break;
    case ROLE_DATA_LENGTH:
      frame->data_length = static_cast<uint8_t>(bits);
      break;
    case ROLE_DIR:
      frame->u.can.dir = set;
      break;
    case ROLE_DLC:
      frame->u.can.dlc = static_cast<uint8_t>(bits);
      break;
    case ROLE_EDL:
      frame->u.can.edl = set;
      break;
    case ROLE_ESI:
      frame->u.can.esi = set;
      break;
    case ROLE_ID:
      frame->id |= static_cast<uint32_t>(bits);
      break;
    case ROLE_IDE:
      frame->u.can.ide = set;
      break;
    default:
      break;
  }
}

// The fields of data and remote frames from a channel's value.
static void set_can_field(uint32_t role, double v, BusFrame* frame) {
  if (role == ROLE_TIMESTAMP) {
    frame->timestamp = v;
  } else {
    set_can_bits(role, truncate_to_bits(v), frame);
  }
}

// A channel whose value is its raw integer, exactly as a double holds it (no conversion, at
// most 53 bits): its integer fields are taken from the raw bits without the double between.
static bool exact_integer(const RecordChannel& c) {
  return c.value_kind == VALUE_UNSIGNED && !c.conversion.ops && c.bit_count <= 53 &&
         c.role != ROLE_TIMESTAMP;
}

uint32_t extract_can_data_frame(const RecordView* view, BusFrame* frame) {
  memset(frame, 0, sizeof *frame);
  // Fields no channel fills keep these marks (cheaper than noting each role on the way).
  frame->data_length = LENGTH_UNSET;
  frame->u.can.edl = FLAG_UNSET;
  uint64_t cursor = 0;
  uint64_t payload_size = 0;
  for (int32_t i = 0; i < view->channel_count; ++i) {
    const RecordChannel& c = view->channels[i];
    bool stored = c.payload_store != nullptr;
    // Channels of no field (frame_group_ignored names them) are passed over.
    if (!in_set(CAN_DATA_ROLES, c.role)) {
      if (stored) skip_entry(view, &cursor);
      continue;
    }
    if (c.role == ROLE_DATA_BYTES) {
      // The payload's bytes as stored, whatever the channel's value kind: a payload logged as
      // an integer channel is still a byte string, and its converted value would mean nothing.
      const uint8_t* data;
      uint64_t size;
      if (stored) {
        next_entry(view, &cursor, &data, &size);
        frame->payload_lost = data == nullptr;
      } else {
        if (c.bit_count / 8 > CAN_DATA_AREA) return reject_can_data(frame);
        fixed_bytes(c, view, &data, &size);
      }
      if (size > CAN_DATA_AREA) return reject_can_data(frame);
      if (size) memcpy(frame->u.can.data, data, size);
      payload_size = size;
      continue;
    }
    if (stored) skip_entry(view, &cursor);
    if (exact_integer(c)) {
      set_can_bits(c.role, record_channel_raw(&c, view->record_bytes, view->record_length), frame);
    } else {
      set_can_field(c.role, channel_value(c, view), frame);
    }
  }
  bool have_edl = frame->u.can.edl != FLAG_UNSET;
  if (!have_edl) frame->u.can.edl = 0;
  // A writer that logs no DataLength channel leaves the DLC to say it. Without an EDL channel,
  // a payload longer than a classic one says the frame is CAN FD.
  if (frame->data_length == LENGTH_UNSET) {
    bool fd = have_edl ? frame->u.can.edl != 0 : payload_size > 8;
    frame->data_length = can_length_of_dlc(frame->u.can.dlc, fd);
  }
  frame->kind = FRAME_CAN_DATA;
  frame->data = frame->u.can.data;
  return FRAME_CAN_DATA;
}

uint32_t extract_can_remote_frame(const RecordView* view, BusFrame* frame) {
  memset(frame, 0, sizeof *frame);
  uint64_t cursor = 0;
  frame->data_length = LENGTH_UNSET;
  for (int32_t i = 0; i < view->channel_count; ++i) {
    const RecordChannel& c = view->channels[i];
    if (c.payload_store) skip_entry(view, &cursor);
    if (in_set(CAN_REMOTE_ROLES, c.role)) set_can_field(c.role, channel_value(c, view), frame);
  }
  if (frame->data_length == LENGTH_UNSET)
    frame->data_length = can_length_of_dlc(frame->u.can.dlc, false);
  frame->u.can.rtr = 1;
  frame->kind = FRAME_CAN_REMOTE;
  frame->data = frame->u.can.data;
  return FRAME_CAN_REMOTE;
}

uint32_t extract_can_error_frame(const RecordView* view, BusFrame* frame) {
  clear_head(frame);
  frame->u.error.bus_channel = 0;
  frame->u.error.error_type = 0;
  for (int32_t i = 0; i < view->channel_count; ++i) {
    const RecordChannel& c = view->channels[i];
    if (!in_set(CAN_ERROR_ROLES, c.role)) continue;
    double v = channel_value(c, view);
    switch (c.role) {
      case ROLE_BUS_CHANNEL:
        frame->u.error.bus_channel = low_byte(v);
        break;
      case ROLE_ERROR_TYPE: {
        uint8_t type = low_byte(v);
        frame->u.error.error_type = type >= 1 && type <= 5 ? type : 0;
        break;
      }
      case ROLE_TIMESTAMP:
        frame->timestamp = v;
        break;
      default:
        break;
    }
  }
  frame->kind = FRAME_CAN_ERROR;
  return FRAME_CAN_ERROR;
}

uint32_t extract_lin_frame(const RecordView* view, BusFrame* frame) {
  clear_head(frame);
  frame->u.lin.dir = 0;
  frame->u.lin.bus_channel = 0;
  frame->u.lin.received_byte_count = 0;
  memset(frame->u.lin.data, 0, LIN_DATA_AREA);
  uint64_t cursor = 0;
  uint64_t payload_size = 0;
  bool have_length = false;
  bool have_count = false;
  for (int32_t i = 0; i < view->channel_count; ++i) {
    const RecordChannel& c = view->channels[i];
    bool stored = c.payload_store != nullptr;
    if (!in_set(LIN_ROLES, c.role)) {
      if (stored) skip_entry(view, &cursor);
      continue;
    }
    have_length |= c.role == ROLE_LIN_DATA_LENGTH;
    have_count |= c.role == ROLE_LIN_RECEIVED_BYTE_COUNT;
    if (c.role == ROLE_LIN_DATA_BYTES) {
      // Fixed or variable-length alike: the first 8 bytes, zero-filled when fewer. The bytes as
      // stored, whatever the channel's type (an integer's converted value would mean nothing).
      const uint8_t* data;
      uint64_t size;
      if (stored) {
        next_entry(view, &cursor, &data, &size);
        frame->payload_lost = data == nullptr;
      } else {
        fixed_bytes(c, view, &data, &size);
      }
      memset(frame->u.lin.data, 0, LIN_DATA_AREA);
      if (size) memcpy(frame->u.lin.data, data, size < LIN_DATA_AREA ? size : LIN_DATA_AREA);
      payload_size = size < LIN_DATA_AREA ? size : LIN_DATA_AREA;
      continue;
    }
    if (stored) skip_entry(view, &cursor);
    double v = channel_value(c, view);
    switch (c.role) {
      case ROLE_LIN_BUS_CHANNEL:
        frame->u.lin.bus_channel = low_byte(v);
        break;
      case ROLE_LIN_DATA_LENGTH:
        frame->data_length = low_byte(v);
        break;
      case ROLE_LIN_DIR:
        frame->u.lin.dir = v == 0.0 ? 0 : 1;
        break;
      case ROLE_LIN_ID:
        frame->id |= static_cast<uint32_t>(truncate_to_bits(v));
        break;
      case ROLE_LIN_RECEIVED_BYTE_COUNT:
        frame->u.lin.received_byte_count = low_byte(v);
        break;
      case ROLE_TIMESTAMP:
        frame->timestamp = v;
        break;
      default:
        break;
    }
  }
  // Without a DataLength channel the count of bytes received says it, else the payload's size.
  if (!have_length)
    frame->data_length =
        have_count ? frame->u.lin.received_byte_count : static_cast<uint8_t>(payload_size);
  frame->kind = FRAME_LIN;
  frame->data = frame->u.lin.data;
  return FRAME_LIN;
}

uint32_t extract_nothing(const RecordView*, BusFrame* frame) {
  frame->kind = FRAME_NONE;
  return EXTRACT_REJECTED;
}
