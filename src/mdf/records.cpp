// Channel lists, conversions, record layouts and the record reader of a data group.
#include "mdf/records.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "mdf/blocks.h"
#include "support/bits.h"
#include "support/hash_table.h"
#include "support/log.h"

// ---- Conversions ----

namespace {

double linear_apply(const Conversion* c, double value) {
  const auto* p = static_cast<const double*>(c->parameters);
  return value * p[0] + p[1];
}

void plain_destroy(Conversion* c) {
  free(c->parameters);
  c->parameters = nullptr;
}

bool linear_copy(Conversion* destination, const Conversion* source) {
  auto* p = static_cast<double*>(malloc(2 * sizeof(double)));
  if (!p) return false;
  memcpy(p, source->parameters, 2 * sizeof(double));
  destination->ops = source->ops;
  destination->parameters = p;
  return true;
}

constexpr ConversionOps kLinearOps = {linear_apply, plain_destroy, linear_copy};

struct TableEntry {
  uint64_t key;  // the key's bit pattern, with -0 folded into +0
  double value;
};

uint64_t key_bits(double k) {
  if (k == 0) k = 0;  // -0 and +0 are the same key
  uint64_t bits;
  memcpy(&bits, &k, sizeof bits);
  return bits;
}

// Keys are hashed by their bit pattern and compared as doubles, so a NaN never matches.
struct TableTraits {
  using Key = double;
  static uint64_t hash(Key k) { return u64_hash(key_bits(k)); }
  static uint64_t hash_entry(const TableEntry& e) { return u64_hash(e.key); }
  static bool equal(const TableEntry& e, Key k) {
    double stored;
    memcpy(&stored, &e.key, sizeof stored);
    return stored == k;
  }
  static void destroy(TableEntry&) {}
};

using Table = HashTable<TableEntry>;

double table_apply(const Conversion* c, double value) {
  const TableEntry* e =
      hash_table_find<TableTraits>(static_cast<const Table*>(c->parameters), value);
  return e ? e->value : value;
}

void table_destroy(Conversion* c) {
  auto* t = static_cast<Table*>(c->parameters);
  if (t) hash_table_destroy<TableTraits>(t);
  free(t);
  c->parameters = nullptr;
}

bool table_copy(Conversion* destination, const Conversion* source) {
  auto* from = static_cast<Table*>(source->parameters);
  auto* to = static_cast<Table*>(calloc(1, sizeof(Table)));
  if (!to) return false;
  bool ok = true;
  hash_table_for_each(from, [&](TableEntry& e) {
    double k;
    memcpy(&k, &e.key, sizeof k);
    HashSlot<TableEntry> slot = hash_table_find_or_insert<TableTraits>(to, k);
    if (!slot.slot) {
      ok = false;
      return;
    }
    *slot.slot = e;
  });
  if (!ok) {
    hash_table_destroy<TableTraits>(to);
    free(to);
    return false;
  }
  destination->ops = source->ops;
  destination->parameters = to;
  return true;
}

constexpr ConversionOps kTableOps = {table_apply, table_destroy, table_copy};

}  // namespace

double conversion_apply(const Conversion* c, double value) {
  if (!c || !c->ops || !c->ops->apply) return value;
  return c->ops->apply(c, value);
}

void conversion_destroy(Conversion* c) {
  if (c->ops && c->ops->destroy) c->ops->destroy(c);
  *c = conversion_identity();
}

Conversion conversion_identity() { return Conversion{nullptr, nullptr}; }

bool conversion_linear(Conversion* out, double factor, double offset) {
  *out = conversion_identity();
  auto* p = static_cast<double*>(malloc(2 * sizeof(double)));
  if (!p) return false;
  p[0] = factor;
  p[1] = offset;
  *out = Conversion{&kLinearOps, p};
  return true;
}

bool conversion_value_table(Conversion* out, const double* values, uint64_t count) {
  *out = conversion_identity();
  auto* t = static_cast<Table*>(calloc(1, sizeof(Table)));
  if (!t) return false;
  for (uint64_t i = 0; i + 1 < count; i += 2) {
    HashSlot<TableEntry> slot = hash_table_find_or_insert<TableTraits>(t, values[i]);
    if (!slot.slot) {
      hash_table_destroy<TableTraits>(t);
      free(t);
      return false;
    }
    if (slot.inserted) *slot.slot = TableEntry{key_bits(values[i]), values[i + 1]};
  }
  *out = Conversion{&kTableOps, t};
  return true;
}

// ---- Channel values ----

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

// ---- Layouts ----

void record_layouts_free(DgBlock* dg) { hash_table_destroy<RecordLayoutTraits>(&dg->layouts); }

bool prepare_record_layouts(DgBlock* dg) {
  record_layouts_free(dg);
  uint8_t id_size = dg->record_id_size;
  if (id_size != 0 && id_size != 1 && id_size != 2 && id_size != 4 && id_size != 8) {
    LOG(LOG_WARN,
        "Data group at offset %llu has a record id size of %u bytes; its records are not read",
        static_cast<unsigned long long>(dg->base.offset), id_size);
    return true;
  }
  for (const BlockRef& ref : dg->channel_groups) {
    CgBlock* cg = cg_block(ref);
    if (!cg) continue;
    RecordLayout layout{};
    // Without record ids the group's records are the only ones of the data group.
    layout.record_id = id_size == 0 ? 0 : cg->record_id;
    layout.group = cg;
    layout.extractor = extract_nothing;
    layout.group_kind = GROUP_NONE;
    if (cg->variable_length) {
      layout.record_length = -1;
    } else {
      // The channel list was built when the group loaded; it is not rebuilt here, because a
      // group shared by two data groups would pull the list from under the other's layout.
      layout.record_length = cg->data_bytes;
      layout.invalidation_bytes = cg->invalidation_bytes;
      const SiBlock* si = si_block(cg->acquisition_source);
      if (si && si->source_type == SOURCE_TYPE_BUS) {
        FrameExtractor extractor = extract_nothing;
        GroupKind kind = GROUP_UNSET;
        if (select_frame_extractor(cg->record_channels.items, cg->record_channels.count, &extractor,
                                   &kind)) {
          layout.extractor = extractor;
          layout.group_kind = kind;
        }
      }
    }
    HashSlot<RecordLayout> slot =
        hash_table_find_or_insert<RecordLayoutTraits>(&dg->layouts, layout.record_id);
    if (!slot.slot) return false;
    if (slot.inserted) *slot.slot = layout;
  }
  return true;
}

const RecordLayout* record_layout_find(const DgBlock* dg, uint64_t record_id) {
  return hash_table_find<RecordLayoutTraits>(&dg->layouts, record_id);
}

// ---- Reading ----

bool record_view_next_entry(const RecordView* view, uint64_t* cursor, const uint8_t** bytes,
                            uint64_t* length) {
  uint64_t at = *cursor;
  if (at > view->variable_length || view->variable_length - at < 4) return false;
  const uint8_t* p = view->variable_bytes + at;
  uint64_t n = static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8 |
               static_cast<uint64_t>(p[2]) << 16 | static_cast<uint64_t>(p[3]) << 24;
  if (n > view->variable_length - at - 4) return false;
  *bytes = p + 4;
  *length = n;
  *cursor = at + 4 + n;
  return true;
}

RecordReader* record_reader_new(DgBlock* dg) {
  auto* reader = static_cast<RecordReader*>(calloc(1, sizeof(RecordReader)));
  if (reader) reader->dg = dg;
  return reader;
}

void record_reader_free(RecordReader* reader) {
  if (!reader) return;
  dynstring_free(&reader->record);
  dynstring_free(&reader->variable);
  free(reader);
}

namespace {

// Reads exactly n bytes at the data stream's position.
bool read_exact(Stream* s, void* buffer, uint64_t n) {
  uint64_t done = 0;
  while (done < n) {
    int64_t got = stream_read(s, static_cast<uint8_t*>(buffer) + done, n - done);
    if (got <= 0) return false;
    done += static_cast<uint64_t>(got);
  }
  return true;
}

bool read_le(Stream* s, uint32_t width, uint64_t* out) {
  uint8_t b[8];
  if (width > 8 || !read_exact(s, b, width)) return false;
  uint64_t v = 0;
  for (uint32_t i = width; i-- > 0;) v = (v << 8) | b[i];
  *out = v;
  return true;
}

bool seek_to(Stream* s, uint64_t position) {
  return stream_seek(s, static_cast<int64_t>(position), SEEK_FROM_START) ==
         static_cast<int64_t>(position);
}

// Appends one entry: the 4-byte length and n bytes read from `s` at its position. The length
// written is the count actually read, so entries stay complete.
bool append_entry(DynString* out, Stream* s, uint32_t n) {
  char* head = dynstring_extend(out, 4 + static_cast<uint64_t>(n));
  if (!head) return false;
  uint64_t got = 0;
  while (got < n) {
    int64_t r = stream_read(s, head + 4 + got, n - got);
    if (r <= 0) break;
    got += static_cast<uint64_t>(r);
  }
  uint32_t stated = static_cast<uint32_t>(got);
  for (int i = 0; i < 4; ++i) head[i] = static_cast<char>(stated >> (8 * i));
  dynstring_truncate(out, dynstring_length(out) - (n - got));
  return true;
}

bool append_empty_entry(DynString* out) {
  static const char zero[4] = {0, 0, 0, 0};
  return dynstring_append(out, zero, 4) != nullptr;
}

}  // namespace

bool record_reader_next(RecordReader* reader) {
  DgBlock* dg = reader->dg;
  DataBlock* dt = dg ? dt_block(dg->data) : nullptr;
  if (!dt || dg->layouts.count == 0) return false;
  Stream* data = &dt->data.base;
  const uint64_t size = block_data_stream_size(&dt->data);
  const uint32_t id_size = dg->record_id_size;

  for (;;) {
    uint64_t position = reader->position;
    if (position >= size || !seek_to(data, position)) return false;
    uint64_t id = 0;
    if (id_size && !read_le(data, id_size, &id)) return false;
    const RecordLayout* layout = record_layout_find(dg, id);
    if (!layout) return false;
    uint64_t left = size - position - id_size;
    if (layout->record_length < 0) {
      // A variable-length record that no record before it took: skip it.
      uint64_t n;
      if (!read_le(data, 4, &n) || left < 4 || n > left - 4) return false;
      reader->position = position + id_size + 4 + n;
      continue;
    }
    uint64_t record_length = static_cast<uint64_t>(layout->record_length);
    uint64_t stride = record_length + layout->invalidation_bytes;
    if (stride > left) return false;                // the last, incomplete record
    if (stride == 0 && id_size == 0) return false;  // records of no bytes never advance
    dynstring_clear(&reader->record);
    dynstring_clear(&reader->variable);
    char* bytes = dynstring_extend(&reader->record, stride);
    if (!bytes || !read_exact(data, bytes, stride)) return false;
    uint64_t consumed = id_size + stride;

    const CgBlock* cg = layout->group;
    const auto* record = reinterpret_cast<const uint8_t*>(dynstring_data(&reader->record));
    for (const RecordChannel& c : cg->record_channels) {
      if (!c.payload_store) continue;
      if (Stream* sd = sd_stream(c.payload_store)) {
        uint64_t at = record_channel_raw(&c, record, record_length);
        uint64_t sd_size = block_data_stream_size(&sd_block(c.payload_store)->data);
        uint64_t n = 0;
        if (at > sd_size || sd_size - at < 4 || !seek_to(sd, at) || !read_le(sd, 4, &n)) n = 0;
        uint64_t room = at <= sd_size && sd_size - at >= 4 ? sd_size - at - 4 : 0;
        if (!append_entry(&reader->variable, sd, static_cast<uint32_t>(n < room ? n : room)))
          return false;
      } else if (const CgBlock* store = cg_block(c.payload_store); store && id_size) {
        // The payload is the variable-length record that follows in the data stream.
        uint64_t at = position + consumed;
        uint64_t vid, n;
        if (at >= size || size - at < id_size + 4 || !seek_to(data, at) ||
            !read_le(data, id_size, &vid) || vid != store->record_id || !read_le(data, 4, &n) ||
            n > size - at - id_size - 4)
          break;  // not consumed: the remaining channels get no entry
        if (!append_entry(&reader->variable, data, static_cast<uint32_t>(n))) return false;
        consumed += id_size + 4 + n;
      } else if (!append_empty_entry(&reader->variable)) {
        return false;
      }
    }

    reader->position = position + consumed;
    reader->layout = layout;
    reader->view.record_bytes = record;
    reader->view.record_length = record_length;
    reader->view.variable_bytes =
        reinterpret_cast<const uint8_t*>(dynstring_data(&reader->variable));
    reader->view.variable_length = dynstring_length(&reader->variable);
    reader->view.channels = cg->record_channels.items;
    reader->view.channel_count = cg->record_channels.count;
    return true;
  }
}

void record_iter_next(RecordIterator* it) {
  RecordReader* reader = it->reader;
  if (!reader) return;
  if (!record_reader_next(reader)) {
    it->frame = nullptr;
    it->reader = nullptr;
    return;
  }
  FrameExtractor extractor = reader->layout->extractor;
  it->result = extractor ? extractor(&reader->view, &reader->frame) : EXTRACT_REJECTED;
  it->frame = &reader->frame;
}

void record_iter_begin(RecordIterator* it, RecordReader* reader) {
  it->frame = nullptr;
  it->result = EXTRACT_REJECTED;
  it->reader = reader;
  if (!reader) return;
  reader->position = 0;
  record_iter_next(it);
}
