// Channel values read from records, and the channel arrays built from channel blocks.
#include "mdf/channels.h"

#include <cmath>
#include <cstring>

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

double record_channel_value(const RecordChannel* channel, const uint8_t* record, uint64_t length) {
  uint64_t raw = record_channel_raw(channel, record, length);
  double value;
  if (channel->value_kind == VALUE_FLOAT) {
    if (channel->bit_count == 64) {
      memcpy(&value, &raw, sizeof value);
    } else if (channel->bit_count == 32) {
      uint32_t bits = static_cast<uint32_t>(raw);
      float f;
      memcpy(&f, &bits, sizeof f);
      value = f;
    } else if (channel->bit_count == 16) {
      value = half_to_double(static_cast<uint16_t>(raw));
    } else {
      value = NAN;
    }
  } else {
    value = static_cast<double>(raw);
  }
  // Most channels have no conversion: no call for them.
  return channel->conversion.ops ? conversion_apply(&channel->conversion, value) : value;
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

// Where the channels of one group go, and whether their oddities are worth a warning (only
// for the groups of bus frames, which are read).
struct ListBuild {
  GrowArray<RecordChannel>* channels;
  bool warn;
};

bool is_time_master(const CnBlock* cn) {
  return (cn->channel_type == CHANNEL_TYPE_MASTER ||
          cn->channel_type == CHANNEL_TYPE_VIRTUAL_MASTER) &&
         cn->sync_type == SYNC_TYPE_TIME;
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
  switch (cn->data_type_code) {
    case DATA_TYPE_CODE_UNSIGNED_LE:
      c.value_kind = VALUE_UNSIGNED;
      c.byte_order = 1;
      break;
    case DATA_TYPE_CODE_FLOAT_LE:
      c.value_kind = VALUE_FLOAT;
      c.byte_order = 1;
      break;
    case DATA_TYPE_CODE_BYTE_ARRAY:
      c.value_kind = VALUE_BYTE_ARRAY;
      c.byte_order = 1;
      break;
    case DATA_TYPE_CODE_UNSIGNED_BE:
      c.value_kind = VALUE_UNSIGNED;
      c.byte_order = 0;
      break;
    default:
      // Only a field the frame takes its values from is misread; the others are passed over.
      if (build.warn && !c.record_index && c.role != ROLE_NONE)
        LOG(LOG_WARN,
            "Channel \"%.*s\": data type %u is not supported; its values are read as "
            "big-endian unsigned integers",
            static_cast<int>(name.size()), name.data(), cn->data_type);
      c.value_kind = VALUE_UNSIGNED;
      c.byte_order = 0;
      break;
  }
  c.payload_store = cn->channel_type == CHANNEL_TYPE_VARIABLE_LENGTH ? cn->data.block : nullptr;
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

bool is_bus_group(const CgBlock* cg) {
  const SiBlock* si = si_block(cg->acquisition_source);
  return si && si->source_type == SOURCE_TYPE_BUS;
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

void record_channels_free(GrowArray<RecordChannel>* channels) {
  for (RecordChannel& c : *channels) {
    conversion_destroy(&c.conversion);
    dynstring_free(&c.name);
  }
  grow_array_free(channels);
}

uint64_t record_index_offset(const CgBlock* cg) {
  const CgBlock* master = cg_block(cg->master);
  return uint64_t{cg->data_bytes} + (master ? master->data_bytes : 0);
}

bool build_record_channels(CgBlock* cg) {
  record_channels_free(&cg->record_channels);
  ListBuild build{&cg->record_channels, is_bus_group(cg)};
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
  }
  return true;
}
