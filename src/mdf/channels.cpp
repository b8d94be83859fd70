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
  return extract_bits(record + first, length - first, static_cast<uint16_t>(shift), width,
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
  return conversion_apply(&channel->conversion, value);
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

bool add_leaf(const CnBlock* cn, GrowArray<RecordChannel>* channels) {
  RecordChannel c{};
  std::string_view name = block_text(cn->name);
  if (!dynstring_from(&c.name, name)) return false;
  c.role = frame_role_from_name(name);
  c.bit_offset = static_cast<uint64_t>(cn->byte_offset) * 8 + cn->bit_offset;
  c.bit_count = cn->bit_count;
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
    default:
      LOG(LOG_WARN, "Unsupported channel data type: %d", cn->data_type_code);
      c.value_kind = VALUE_UNSIGNED;
      c.byte_order = 0;
      break;
  }
  c.payload_store = cn->channel_type == CHANNEL_TYPE_VARIABLE_LENGTH ? cn->data.block : nullptr;
  if (!build_conversion(cn, &c.conversion) || !grow_array_push(channels, c)) {
    conversion_destroy(&c.conversion);
    dynstring_free(&c.name);
    return false;
  }
  return true;
}

// Compositions nest one level per call; the nesting is bounded like block nesting (blocks
// shared through the cache could otherwise stack deeper than any one load path).
bool add_channels(const CnBlock* cn, GrowArray<RecordChannel>* channels, int32_t depth) {
  if (cn->composition.count == 0) return add_leaf(cn, channels);
  if (depth >= MAX_BLOCK_DEPTH) {
    LOG(LOG_ERROR, "Channel compositions nested deeper than %d levels at offset %llu",
        MAX_BLOCK_DEPTH, static_cast<unsigned long long>(cn->base.offset));
    return false;
  }
  for (const BlockRef& member : cn->composition) {
    const CnBlock* m = cn_block(member);
    if (m && !add_channels(m, channels, depth + 1)) return false;
  }
  return true;
}

}  // namespace

bool add_record_channels(const CnBlock* cn, GrowArray<RecordChannel>* channels) {
  return add_channels(cn, channels, 0);
}

void record_channels_free(GrowArray<RecordChannel>* channels) {
  for (RecordChannel& c : *channels) {
    conversion_destroy(&c.conversion);
    dynstring_free(&c.name);
  }
  grow_array_free(channels);
}

bool build_record_channels(CgBlock* cg) {
  record_channels_free(&cg->record_channels);
  for (const BlockRef& ref : cg->channels) {
    const CnBlock* cn = cn_block(ref);
    if (cn && !add_record_channels(cn, &cg->record_channels)) {
      record_channels_free(&cg->record_channels);
      return false;
    }
  }
  return true;
}
