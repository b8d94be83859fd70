// Channel values read from records, and the channel arrays built from channel blocks.
#include "mdf/channels.h"

#include <cmath>
#include <cstring>
#include <iterator>

#include "mdf/blocks.h"
#include "support/bits.h"
#include "support/log.h"

uint64_t record_channel_raw(const RecordChannel* channel, const uint8_t* record, uint64_t length) {
  uint64_t offset = channel->bit_offset;
  uint64_t count = channel->bit_count;
  // The usual field, little-endian with all its bits in an eight-byte window of the record (at
  // its first byte, or at the record's last eight), is read in one load.
  if (channel->byte_order == 1 && count - 1 < 64 && length >= 8 && offset / 8 < length) {
    uint64_t window = offset / 8 <= length - 8 ? offset / 8 : length - 8;
    uint64_t start = offset - window * 8;
    if (count <= 64 - start) {
      uint64_t word;
      memcpy(&word, record + window, sizeof word);
      return (word >> start) & (~uint64_t{0} >> (64 - count));
    }
  }
  if (count == 0 || offset / 8 >= length) return 0;
  // The whole field must lie in the record, as for narrow fields.
  uint64_t first = offset / 8;
  uint64_t shift = offset % 8;
  if (count > (length - first) * 8 - shift) return 0;
  if (count > 64 && channel->byte_order != 1) {
    // A sequential field keeps its last 64 bits.
    uint64_t from = offset + count - 64;
    first = from / 8;
    shift = from % 8;
  }
  uint8_t width = static_cast<uint8_t>(count > 64 ? 64 : count);
  // From up to seven bytes before the field, so that a field near the record's end still lies
  // in an eight-byte window of the buffer.
  uint64_t base = first > 7 ? first - 7 : 0;
  return extract_bits(record + base, length - base,
                      static_cast<uint16_t>((first - base) * 8 + shift), width,
                      channel->byte_order == 1 ? BYTE_ORDER_LITTLE : BYTE_ORDER_BIG);
}

namespace {

double half_to_double(uint16_t h) {
  int exponent = (h >> 10) & 0x1F;
  double mantissa = h & 0x3FF;
  double v;
  if (exponent == 0)
    v = std::ldexp(mantissa, -24);
  else if (exponent == 31)
    v = mantissa ? NAN : INFINITY;
  else
    v = std::ldexp(mantissa + 1024, exponent - 25);
  return (h & 0x8000) ? -v : v;
}

}  // namespace

namespace {

double read_unsigned(const RecordChannel* c, const uint8_t* record, uint64_t length) {
  return static_cast<double>(record_channel_raw(c, record, length));
}

double read_signed(const RecordChannel* c, const uint8_t* record, uint64_t length) {
  uint64_t raw = record_channel_raw(c, record, length);
  uint64_t bits = c->bit_count < 64 ? c->bit_count : 64;
  if (bits == 0) return 0;
  // Moves the sign bit to the top, then back with the sign spread (well defined from C++20).
  auto shift = static_cast<int>(64 - bits);
  return static_cast<double>(static_cast<int64_t>(raw << shift) >> shift);
}

double read_float64(const RecordChannel* c, const uint8_t* record, uint64_t length) {
  uint64_t raw = record_channel_raw(c, record, length);
  double value;
  memcpy(&value, &raw, sizeof value);
  return value;
}

double read_float32(const RecordChannel* c, const uint8_t* record, uint64_t length) {
  auto bits = static_cast<uint32_t>(record_channel_raw(c, record, length));
  float value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

double read_float16(const RecordChannel* c, const uint8_t* record, uint64_t length) {
  return half_to_double(static_cast<uint16_t>(record_channel_raw(c, record, length)));
}

double read_nothing(const RecordChannel*, const uint8_t*, uint64_t) { return NAN; }

}  // namespace

void record_channel_choose_reader(RecordChannel* channel) {
  switch (channel->value_kind) {
    case VALUE_SIGNED:
      channel->read = read_signed;
      return;
    case VALUE_FLOAT:
      channel->read = channel->bit_count == 64   ? read_float64
                      : channel->bit_count == 32 ? read_float32
                      : channel->bit_count == 16 ? read_float16
                                                 : nullptr;
      if (channel->read) return;
      channel->value_kind = VALUE_UNREADABLE;
      channel->read = read_nothing;
      return;
    case VALUE_UNREADABLE:
      channel->read = read_nothing;
      return;
    default:
      channel->read = read_unsigned;
      return;
  }
}

double record_channel_value(const RecordChannel* channel, const uint8_t* record, uint64_t length) {
  double value = channel->read(channel, record, length);
  // Most channels have no conversion: no call for them.
  return channel->conversion.ops ? conversion_apply(&channel->conversion, value) : value;
}

const char* data_type_name(uint8_t data_type) {
  static const char* const NAMES[] = {"unsigned integer",
                                      "unsigned integer",
                                      "signed integer",
                                      "signed integer",
                                      "float",
                                      "float",
                                      "string",
                                      "string",
                                      "string",
                                      "string",
                                      "byte array",
                                      "MIME sample",
                                      "MIME stream",
                                      "CANopen date",
                                      "CANopen time",
                                      "complex",
                                      "complex"};
  return data_type < std::size(NAMES) ? NAMES[data_type] : "unknown";
}

// ---- Channel lists ----

namespace {

bool build_conversion(const CnBlock* cn, Conversion* out) {
  *out = conversion_identity();
  const CcBlock* cc = cc_block(cn->conversion);
  if (!cc) return true;
  if (cc->type == CONVERSION_LINEAR) {
    // Missing parameters leave the value as it is (offset 0, factor 1).
    double offset = 0, factor = 1;
    cc_value(cc, 0, &offset);
    cc_value(cc, 1, &factor);
    return conversion_linear(out, factor, offset);
  }
  if (cc->type == CONVERSION_VALUE_TABLE)
    return conversion_value_table(out, cc->values, cc->value_count);
  return true;
}

// Where the channels of one group go.
struct ListBuild {
  GrowArray<RecordChannel>* channels;
};

bool is_time_master(const CnBlock* cn) {
  return (cn->channel_type == CHANNEL_TYPE_MASTER ||
          cn->channel_type == CHANNEL_TYPE_VIRTUAL_MASTER) &&
         cn->sync_type == SYNC_TYPE_TIME;
}

// The kind and byte order of an MDF 4 data type: integers and floats of either byte order,
// strings (of any encoding) and byte arrays as bytes; every other type is not read.
void set_value_kind(RecordChannel* c, uint8_t data_type) {
  static constexpr struct {
    ValueKind kind;
    uint8_t byte_order;
  } KINDS[] = {{VALUE_UNSIGNED, 1},   {VALUE_UNSIGNED, 0},   {VALUE_SIGNED, 1},
               {VALUE_SIGNED, 0},     {VALUE_FLOAT, 1},      {VALUE_FLOAT, 0},
               {VALUE_BYTE_ARRAY, 1}, {VALUE_BYTE_ARRAY, 1}, {VALUE_BYTE_ARRAY, 1},
               {VALUE_BYTE_ARRAY, 1}, {VALUE_BYTE_ARRAY, 1}};
  if (data_type < std::size(KINDS)) {
    c->value_kind = KINDS[data_type].kind;
    c->byte_order = KINDS[data_type].byte_order;
  } else {
    c->value_kind = VALUE_UNREADABLE;
    c->byte_order = 1;
  }
}

bool add_leaf(const CnBlock* cn, const ListBuild& build) {
  RecordChannel c{};
  std::string_view name = block_text(cn->name);
  if (!dynstring_from(&c.name, name)) return false;
  // The time master gives the frame time whatever its name ("Timestamp", "time", "t" ...).
  c.role = is_time_master(cn) ? ROLE_TIMESTAMP : frame_role_from_name(name);
  c.bit_offset = static_cast<uint64_t>(cn->byte_offset) * 8 + cn->bit_offset;
  c.bit_count = cn->bit_count;
  c.record_index = cn->channel_type == CHANNEL_TYPE_VIRTUAL_MASTER;
  c.data_type = cn->data_type;
  set_value_kind(&c, cn->data_type);
  c.payload_store = cn->channel_type == CHANNEL_TYPE_VARIABLE_LENGTH ? cn->data.block : nullptr;
  // A variable-length channel's record holds where its bytes are, not its value: a
  // little-endian unsigned offset, normally of 64 bits, whatever the bytes' own data type.
  if (c.payload_store) {
    if (c.bit_count == 0 || c.bit_count > 64) c.bit_count = 64;
    c.byte_order = 1;
  }
  record_channel_choose_reader(&c);
  if (!build_conversion(cn, &c.conversion) || !grow_array_push(build.channels, c)) {
    conversion_destroy(&c.conversion);
    dynstring_free(&c.name);
    return false;
  }
  return true;
}

// Compositions nest one level per call; the nesting is bounded like block nesting (blocks
// shared through the cache could otherwise stack deeper than any one load path).
bool add_channels(const CnBlock* cn, const ListBuild& build, int32_t depth) {
  if (cn->composition.count == 0) return add_leaf(cn, build);
  if (depth >= MAX_BLOCK_DEPTH) {
    LOG(LOG_ERROR, "Channel compositions nested deeper than %d levels at offset %llu",
        MAX_BLOCK_DEPTH, static_cast<unsigned long long>(cn->base.offset));
    return false;
  }
  for (const BlockRef& member : cn->composition) {
    const CnBlock* m = cn_block(member);
    if (m && !add_channels(m, build, depth + 1)) return false;
  }
  return true;
}

// The time channels of the group's remote master, read from the master's record that the
// reader places right behind the group's data bytes.
bool add_master_channels(const CgBlock* cg, const CgBlock* master, const ListBuild& build) {
  for (const BlockRef& ref : master->channels) {
    const CnBlock* cn = cn_block(ref);
    if (!cn || cn->composition.count != 0) continue;
    if (!is_time_master(cn) && frame_role_from_name(block_text(cn->name)) != ROLE_TIMESTAMP)
      continue;
    if (!add_leaf(cn, build)) return false;
    RecordChannel& added = (*build.channels)[build.channels->count - 1];
    added.bit_offset += uint64_t{cg->data_bytes} * 8;
  }
  return true;
}

}  // namespace

uint64_t record_index_offset(const CgBlock* cg) {
  const CgBlock* master = cg_block(cg->master);
  return uint64_t{cg->data_bytes} + (master ? master->data_bytes : 0);
}

bool build_record_channels(CgBlock* cg) {
  record_channels_free(&cg->record_channels);
  ListBuild build{&cg->record_channels};
  bool ok = true;
  for (const BlockRef& ref : cg->channels) {
    const CnBlock* cn = cn_block(ref);
    if (cn && !add_channels(cn, build, 0)) ok = false;
  }
  if (const CgBlock* master = cg_block(cg->master); ok && master)
    ok = add_master_channels(cg, master, build);
  if (!ok) {
    record_channels_free(&cg->record_channels);
    return false;
  }
  // A virtual master's value is the record's index, which the reader writes as a 64-bit
  // integer behind the record's data (and its master's).
  for (RecordChannel& c : cg->record_channels) {
    if (!c.record_index) continue;
    c.bit_offset = record_index_offset(cg) * 8;
    c.bit_count = 64;
    c.value_kind = VALUE_UNSIGNED;
    c.byte_order = 1;
    record_channel_choose_reader(&c);
  }
  return true;
}
