// Bus-logging frame extraction: the role and prefix tables, the choice of extractor per
// channel group, and the five extractors.
#include "mdf/bus_frames.h"

#include <cmath>
#include <cstddef>
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

namespace {

// How a frame field takes its channel's value. Integer fields take the low bits of the value's
// integer part (truncate_to_bits), or of the raw bits where those are the value exactly.
enum FieldStore : uint8_t {
  STORE_NONE = 0,    // no field of the kind: the channel is passed over
  STORE_TIME,        // the value itself
  STORE_ID,          // the low 32 bits, ORed in
  STORE_LENGTH,      // the low 8 bits, into data_length
  STORE_BYTE,        // the low 8 bits, into the byte at `offset`
  STORE_FLAG,        // 1 for any non-zero value (NaN included), into the byte at `offset`
  STORE_ERROR_TYPE,  // the low 8 bits when 1 to 5, else 0
  STORE_BYTES,       // the payload's bytes as stored, into the data area
};

struct FieldRule {
  FieldStore store;
  uint8_t offset;  // of the byte field within BusFrame (STORE_BYTE, STORE_FLAG)
};

constexpr uint32_t ROLE_COUNT = ROLE_TIMESTAMP + 1;
// The rows of a field table: every role a uint32_t role set can hold, so that a channel's role
// indexes it without a bound check.
constexpr uint32_t ROLE_ROWS = 32;
static_assert(ROLE_COUNT <= ROLE_ROWS);

struct FieldRow {
  FrameRole role;
  FieldStore store;
  uint8_t offset;
};

// Which channel fills which field of one frame kind, indexed by role.
struct KindFields {
  FrameKind kind;
  uint8_t area_offset;  // the data area within BusFrame; data stays null when area_size is 0
  uint32_t area_size;
  // A payload wider than the area rejects the record (CAN) instead of being cut to it (LIN).
  bool refuse_wider;
  FieldRule fields[ROLE_ROWS];
};

constexpr KindFields kind_fields(FrameKind kind, uint8_t area_offset, uint32_t area_size,
                                 bool refuse_wider, std::initializer_list<FieldRow> rows) {
  KindFields k{kind, area_offset, area_size, refuse_wider, {}};
  for (const FieldRow& r : rows) k.fields[r.role] = {r.store, r.offset};
  return k;
}

constexpr uint32_t roles_of(const KindFields& k) {
  uint32_t bits = 0;
  for (uint32_t r = 0; r < ROLE_COUNT; ++r)
    if (k.fields[r].store != STORE_NONE) bits |= 1u << r;
  return bits;
}

#define FIELD(member) static_cast<uint8_t>(offsetof(BusFrame, member))

constexpr KindFields CAN_DATA_FIELDS =
    kind_fields(FRAME_CAN_DATA, FIELD(u.can.data), CAN_DATA_AREA, true,
                {{ROLE_TIMESTAMP, STORE_TIME, 0},
                 {ROLE_ID, STORE_ID, 0},
                 {ROLE_DATA_LENGTH, STORE_LENGTH, 0},
                 {ROLE_DATA_BYTES, STORE_BYTES, 0},
                 {ROLE_BUS_CHANNEL, STORE_BYTE, FIELD(u.can.bus_channel)},
                 {ROLE_DLC, STORE_BYTE, FIELD(u.can.dlc)},
                 {ROLE_IDE, STORE_FLAG, FIELD(u.can.ide)},
                 {ROLE_DIR, STORE_FLAG, FIELD(u.can.dir)},
                 {ROLE_EDL, STORE_FLAG, FIELD(u.can.edl)},
                 {ROLE_ESI, STORE_FLAG, FIELD(u.can.esi)},
                 {ROLE_BRS, STORE_FLAG, FIELD(u.can.brs)}});

// A remote frame carries no data: its area stays zero, whatever DataBytes channel it logs.
constexpr KindFields CAN_REMOTE_FIELDS =
    kind_fields(FRAME_CAN_REMOTE, FIELD(u.can.data), CAN_DATA_AREA, true,
                {{ROLE_TIMESTAMP, STORE_TIME, 0},
                 {ROLE_ID, STORE_ID, 0},
                 {ROLE_DATA_LENGTH, STORE_LENGTH, 0},
                 {ROLE_BUS_CHANNEL, STORE_BYTE, FIELD(u.can.bus_channel)},
                 {ROLE_DLC, STORE_BYTE, FIELD(u.can.dlc)},
                 {ROLE_IDE, STORE_FLAG, FIELD(u.can.ide)},
                 {ROLE_DIR, STORE_FLAG, FIELD(u.can.dir)}});

constexpr KindFields CAN_ERROR_FIELDS =
    kind_fields(FRAME_CAN_ERROR, 0, 0, true,
                {{ROLE_TIMESTAMP, STORE_TIME, 0},
                 {ROLE_BUS_CHANNEL, STORE_BYTE, FIELD(u.error.bus_channel)},
                 {ROLE_ERROR_TYPE, STORE_ERROR_TYPE, 0}});

constexpr KindFields LIN_FIELDS =
    kind_fields(FRAME_LIN, FIELD(u.lin.data), LIN_DATA_AREA, false,
                {{ROLE_TIMESTAMP, STORE_TIME, 0},
                 {ROLE_LIN_ID, STORE_ID, 0},
                 {ROLE_LIN_DATA_LENGTH, STORE_LENGTH, 0},
                 {ROLE_LIN_DATA_BYTES, STORE_BYTES, 0},
                 {ROLE_LIN_BUS_CHANNEL, STORE_BYTE, FIELD(u.lin.bus_channel)},
                 {ROLE_LIN_RECEIVED_BYTE_COUNT, STORE_BYTE, FIELD(u.lin.received_byte_count)},
                 {ROLE_LIN_DIR, STORE_FLAG, FIELD(u.lin.dir)}});

#undef FIELD

static_assert(roles_of(CAN_DATA_FIELDS) == CAN_DATA_ROLES);
static_assert(roles_of(CAN_REMOTE_FIELDS) == CAN_REMOTE_ROLES);
static_assert(roles_of(CAN_ERROR_FIELDS) == CAN_ERROR_ROLES);
static_assert(roles_of(LIN_FIELDS) == LIN_ROLES);

constexpr uint32_t role_bit(FrameRole role) { return 1u << role; }

// A channel whose value is its raw integer, exactly as a double holds it (no conversion, at
// most 53 bits): its integer fields are taken from the raw bits without the double between.
bool exact_integer(const RecordChannel& c) {
  return c.value_kind == VALUE_UNSIGNED && !c.conversion.ops && c.bit_count <= 53;
}

uint8_t* frame_bytes(BusFrame* frame) { return reinterpret_cast<uint8_t*>(frame); }

inline void store_integer(FieldRule rule, uint64_t bits, bool nonzero, BusFrame* frame) {
  switch (rule.store) {
    case STORE_ID:
      frame->id |= static_cast<uint32_t>(bits);
      break;
    case STORE_LENGTH:
      frame->data_length = static_cast<uint8_t>(bits);
      break;
    case STORE_BYTE:
      frame_bytes(frame)[rule.offset] = static_cast<uint8_t>(bits);
      break;
    case STORE_FLAG:
      frame_bytes(frame)[rule.offset] = nonzero ? 1 : 0;
      break;
    case STORE_ERROR_TYPE: {
      auto type = static_cast<uint8_t>(bits);
      frame->u.error.error_type = type >= 1 && type <= 5 ? type : 0;
      break;
    }
    default:
      break;
  }
}

// What the walk over a record's channels saw, for the kinds' length rules.
struct Walk {
  uint32_t seen;          // role_bit of each role met
  uint64_t payload_size;  // the bytes placed in the data area
};

// Places a DataBytes channel's bytes in the kind's data area: the bytes as stored, whatever the
// channel's value kind (a payload logged as an integer channel is still a byte string; its
// converted value would mean nothing). A second DataBytes channel is laid over the first. False
// when the kind refuses the payload's width.
bool take_bytes(const KindFields& k, const RecordChannel& c, const RecordView* view,
                uint64_t* cursor, BusFrame* frame, Walk* walk) {
  const uint8_t* data;
  uint64_t size;
  if (c.payload_store) {
    next_entry(view, cursor, &data, &size);
    frame->payload_lost = data == nullptr;
  } else {
    // Judged on the declared width, so that a record cut short does not hide it.
    if (k.refuse_wider && c.bit_count / 8 > k.area_size) return false;
    fixed_bytes(c, view, &data, &size);
  }
  if (size > k.area_size) {
    if (k.refuse_wider) return false;
    size = k.area_size;
  }
  if (size) memcpy(frame_bytes(frame) + k.area_offset, data, size);
  walk->payload_size = size;
  return true;
}

// Clears the frame and fills its fields from the record by the kind's table; false when the
// record is rejected (the frame is then left of no kind). One instance per table, so that the
// table's constants are folded into the walk.
template <const KindFields& k>
bool walk_fields(const RecordView* view, BusFrame* frame, Walk* walk) {
  memset(frame, 0, sizeof *frame);
  walk->seen = 0;
  walk->payload_size = 0;
  uint64_t cursor = 0;
  for (int32_t i = 0; i < view->channel_count; ++i) {
    const RecordChannel& c = view->channels[i];
    FieldRule rule = k.fields[c.role % ROLE_ROWS];
    // Channels of no field (frame_group_ignored names them) are passed over, their
    // variable-length entries too.
    if (rule.store == STORE_BYTES) {
      if (!take_bytes(k, c, view, &cursor, frame, walk)) return false;
      walk->seen |= role_bit(c.role);
      continue;
    }
    if (c.payload_store) skip_entry(view, &cursor);
    if (rule.store == STORE_NONE) continue;
    walk->seen |= role_bit(c.role);
    if (rule.store == STORE_TIME) {
      frame->timestamp = channel_value(c, view);
    } else if (exact_integer(c)) {
      uint64_t bits = record_channel_raw(&c, view->record_bytes, view->record_length);
      store_integer(rule, bits, bits != 0, frame);
    } else {
      double v = channel_value(c, view);
      store_integer(rule, truncate_to_bits(v), v != 0.0, frame);
    }
  }
  return true;
}

uint32_t finish(const KindFields& k, BusFrame* frame) {
  frame->kind = k.kind;
  frame->data = k.area_size ? frame_bytes(frame) + k.area_offset : nullptr;
  return k.kind;
}

}  // namespace

uint32_t extract_can_data_frame(const RecordView* view, BusFrame* frame) {
  Walk walk;
  if (!walk_fields<CAN_DATA_FIELDS>(view, frame, &walk)) return reject(frame);
  // A writer that logs no DataLength channel leaves the DLC to say it. Without an EDL channel,
  // a payload longer than a classic one says the frame is CAN FD.
  if (!(walk.seen & role_bit(ROLE_DATA_LENGTH))) {
    bool fd = walk.seen & role_bit(ROLE_EDL) ? frame->u.can.edl != 0 : walk.payload_size > 8;
    frame->data_length = can_length_of_dlc(frame->u.can.dlc, fd);
  }
  return finish(CAN_DATA_FIELDS, frame);
}

uint32_t extract_can_remote_frame(const RecordView* view, BusFrame* frame) {
  Walk walk;
  if (!walk_fields<CAN_REMOTE_FIELDS>(view, frame, &walk)) return reject(frame);
  if (!(walk.seen & role_bit(ROLE_DATA_LENGTH)))
    frame->data_length = can_length_of_dlc(frame->u.can.dlc, false);
  frame->u.can.rtr = 1;
  return finish(CAN_REMOTE_FIELDS, frame);
}

uint32_t extract_can_error_frame(const RecordView* view, BusFrame* frame) {
  Walk walk;
  if (!walk_fields<CAN_ERROR_FIELDS>(view, frame, &walk)) return reject(frame);
  return finish(CAN_ERROR_FIELDS, frame);
}

uint32_t extract_lin_frame(const RecordView* view, BusFrame* frame) {
  Walk walk;
  if (!walk_fields<LIN_FIELDS>(view, frame, &walk)) return reject(frame);
  // Without a DataLength channel the count of bytes received says it, else the payload's size.
  if (!(walk.seen & role_bit(ROLE_LIN_DATA_LENGTH)))
    frame->data_length = walk.seen & role_bit(ROLE_LIN_RECEIVED_BYTE_COUNT)
                             ? frame->u.lin.received_byte_count
                             : walk.payload_size;
  return finish(LIN_FIELDS, frame);
}

uint32_t extract_nothing(const RecordView*, BusFrame* frame) {
  frame->kind = FRAME_NONE;
  return EXTRACT_REJECTED;
}
