// The record reader of a data group and the frame iterator on top of it.
#include "mdf/record_reader.h"

#include <cstdlib>
#include <cstring>

#include "mdf/blocks.h"
#include "mdf/data_stream.h"
#include "support/log.h"

void reader_notice_format(const ReaderNotice* notice, DynString* out) {
  std::string_view name = notice->channel;
  if (notice->kind == READER_NOTICE_PAYLOAD_MISSING) {
    dynstring_format(out,
                     "Channel \"%.*s\": a record refers to variable-length bytes at offset %llu "
                     "that the file does not hold; they are not read (a frame that needs them is "
                     "counted as unreadable)",
                     static_cast<int>(name.size()), name.data(),
                     static_cast<unsigned long long>(notice->offset));
  } else {
    dynstring_format(out,
                     "Channel \"%.*s\": its variable-length bytes are said to be in the %s block "
                     "at 0x%llX, which holds none; they are not read (a frame that needs them is "
                     "counted as unreadable)",
                     static_cast<int>(name.size()), name.data(), notice->store_label,
                     static_cast<unsigned long long>(notice->offset));
  }
}

namespace {

// data_pieces_resolve with its problem logged as an error.
bool resolve_logged(Block* root, uint64_t record_length, DataPieces* pieces) {
  DataListProblem problem;
  if (data_pieces_resolve(root, record_length, &problem, pieces) == DATA_LIST_OK) return true;
  if (problem.line[0]) LOG(LOG_ERROR, "%s", problem.line);
  return false;
}

// A logical run of bytes: a plain block's section stream (borrowed), or a stream over the
// pieces of a list or compressed block (owned). The pieces live on the heap, so that streams
// keep pointing at them while the sources move; the source that resolved them owns them.
struct Source {
  DataPieces* pieces;
  Stream* stream;
  bool owns_stream;
  bool owns_pieces;
  uint64_t size;
  // The bytes themselves, when a plain block lies in a file held in memory as a view of
  // bytes: read in place, without the stream.
  const uint8_t* memory;
};

// Where a channel's variable-length bytes come from. For a variable-length channel group of
// the same data group, a cursor walks the data group's records for the group's records: at
// scan_position stands a record whose offset in the group's stream of records is at or after
// next_offset (the offset of the next record of the group found from there).
struct PayloadSource {
  Block* store;  // the channel's payload store: the key
  Source source;
  const CgBlock* group;  // a variable-length channel group, or null
  bool readable;         // false for a store of a kind that holds no payloads: lost entries
  uint64_t scan_position;
  uint64_t next_offset;
  // Records of a variable-length group are paired with their parents by the offsets the
  // parents hold while those rise; a parent whose offset does not (a logger that writes each
  // variable-length record right after its parent, offsets left at 0) switches the group to
  // pairing by order: the variable-length record that follows its parent.
  uint64_t last_offset;
  bool offset_seen;
  bool by_order;
};

// The reader of a remote master's records, for one master channel group.
struct MasterSource {
  const CgBlock* master;
  RecordReader* reader;
};

}  // namespace

struct ReaderState {
  Source data;
  bool values_only;  // column storage: no invalidation bytes between the records
  GrowArray<PayloadSource> payloads;
  GrowArray<MasterSource> masters;
  GrowArray<uint64_t> counts;  // records read so far, by layout ordinal
  uint64_t scan_budget;        // bytes the cursors may still walk
  // The reader of a remote master's records: only their data bytes are read (no payloads,
  // nothing placed behind them), so that masters never nest.
  bool data_bytes_only;
  bool failed;
  bool warned_missing;
  bool warned_unreadable;
};

namespace {

void source_free(Source* s) {
  if (s->owns_stream) stream_close(s->stream);
  if (s->owns_pieces && s->pieces) {
    data_pieces_free(s->pieces);
    free(s->pieces);
  }
  *s = Source{};
}

// Opens the data a data link names; an empty source for no data. False (logged) when the
// data cannot be read.
bool source_open(Block* root, uint64_t record_length, Source* out) {
  *out = Source{};
  if (!root) return true;
  if (DataBlock* plain = plain_data_block(root)) {
    out->stream = &plain->data.base;
    out->size = block_data_stream_size(&plain->data);
    const uint8_t* file = nullptr;
    uint64_t file_size = 0;
    // The section's size is cut at the end of the file, so it lies within the view.
    if (stream_bytes_view(plain->data.file, &file, &file_size) &&
        plain->data.data_start <= file_size && out->size <= file_size - plain->data.data_start)
      out->memory = file + plain->data.data_start;
    return true;
  }
  out->pieces = static_cast<DataPieces*>(calloc(1, sizeof(DataPieces)));
  if (!out->pieces) return false;
  out->owns_pieces = true;
  if (!resolve_logged(root, record_length, out->pieces)) return false;
  out->stream = data_stream_new(out->pieces);
  out->owns_stream = out->stream != nullptr;
  out->size = out->pieces->size;
  return out->owns_stream;
}

// A second stream over a source's bytes, for a cursor that moves apart from the first one.
bool source_second(const Source& first, Source* out) {
  *out = first;
  out->owns_pieces = false;
  out->owns_stream = false;
  if (!first.pieces) return true;
  out->stream = data_stream_new(first.pieces);
  out->owns_stream = out->stream != nullptr;
  return out->owns_stream;
}

bool is_values_block(const Block* b) {
  if (!b) return false;
  if (b->kind == BLOCK_DV) return true;
  const DzBlock* dz = dz_block(const_cast<Block*>(b));
  return dz && dz->original_type[0] == 'D' && dz->original_type[1] == 'V';
}

// The records of column storage lie in value blocks, their invalidation bytes elsewhere.
bool column_storage(const DgBlock* dg, const Source& data) {
  if (is_values_block(dg->data.block) || (dg->data.block && dg->data.block->kind == BLOCK_LD))
    return true;
  if (data.pieces)
    for (const DataPiece& p : data.pieces->pieces)
      if (is_values_block(p.block)) return true;
  return false;
}

// The record length with which an LD list's sample counts are checked: that of the data
// group's only channel group.
uint64_t single_record_length(const DgBlock* dg) {
  const CgBlock* cg =
      dg->channel_groups.count == 1 ? cg_block(dg->channel_groups.first[0]) : nullptr;
  return cg && !cg->variable_length ? cg->data_bytes : 0;
}

bool init_state(RecordReader* reader, ReaderState* st) {
  DgBlock* dg = reader->dg;
  if (!dg) return true;
  if (!source_open(dg->data.block, single_record_length(dg), &st->data)) {
    st->failed = true;
    return true;
  }
  st->values_only = column_storage(dg, st->data);
  st->scan_budget = uint64_t{1} << 20;
  if (!grow_array_reserve(&st->counts, dg->layouts.count)) return false;
  st->counts.count = dg->layouts.count;
  for (uint64_t& c : st->counts) c = 0;
  return true;
}

void state_free(ReaderState* st) {
  source_free(&st->data);
  for (PayloadSource& p : st->payloads) source_free(&p.source);
  grow_array_free(&st->payloads);
  for (MasterSource& m : st->masters) record_reader_free(m.reader);
  grow_array_free(&st->masters);
  grow_array_free(&st->counts);
  free(st);
}

}  // namespace

RecordReader* record_reader_new(DgBlock* dg) {
  auto* reader = static_cast<RecordReader*>(calloc(1, sizeof(RecordReader)));
  auto* st = static_cast<ReaderState*>(calloc(1, sizeof(ReaderState)));
  if (!reader || !st) {
    free(reader);
    free(st);
    return nullptr;
  }
  reader->dg = dg;
  reader->range_end = UINT64_MAX;
  reader->state = st;
  if (!init_state(reader, st)) {
    record_reader_free(reader);
    return nullptr;
  }
  return reader;
}

void record_reader_free(RecordReader* reader) {
  if (!reader) return;
  if (reader->state) state_free(reader->state);
  dynstring_free(&reader->record);
  dynstring_free(&reader->variable);
  free(reader);
}

bool record_reader_failed(const RecordReader* reader) {
  return reader && reader->state && reader->state->failed;
}

namespace {

// Reads exactly n bytes at the stream's position.
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
  if (n >= RECORD_ENTRY_LOST) n = RECORD_ENTRY_LOST - 1;
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

// The entry of a payload whose bytes could not be read.
bool append_lost_entry(DynString* out) {
  static const char lost[4] = {static_cast<char>(RECORD_ENTRY_LOST & 0xFF),
                               static_cast<char>(RECORD_ENTRY_LOST >> 8 & 0xFF),
                               static_cast<char>(RECORD_ENTRY_LOST >> 16 & 0xFF),
                               static_cast<char>(RECORD_ENTRY_LOST >> 24 & 0xFF)};
  return dynstring_append(out, lost, 4) != nullptr;
}

// Where a record of a data group starts, and what the reader of one record needs to know.
struct RecordPlace {
  Stream* data;
  uint64_t size;  // of the data
  uint32_t id_size;
  uint64_t position;  // of the record's id
};

// What one record or payload of data in pieces may hold: pieces repeated in a list can make
// the data far larger than the file, and nothing read from it is held in memory beyond this.
uint64_t held_limit(const Source& s) { return s.pieces ? MAX_INFLATED_BLOCK : UINT64_MAX; }

// The bytes of a fixed-length record of `layout` in the data stream, id excluded.
uint64_t stride_of(const ReaderState* st, const RecordLayout* layout) {
  uint64_t stride = static_cast<uint64_t>(layout->record_length);
  return st->values_only ? stride : stride + layout->invalidation_bytes;
}

void report_notice(RecordReader* reader, const ReaderNotice& notice) {
  if (reader->notices.notice) return reader->notices.notice(reader->notices.context, &notice);
  ScopedDynString text;
  reader_notice_format(&notice, &text.s);
  LOG(LOG_WARN, "%.*s", static_cast<int>(text.view().size()), text.view().data());
}

void warn_missing(RecordReader* reader, const RecordChannel& c, uint64_t offset) {
  ReaderState* st = reader->state;
  if (st->warned_missing) return;
  st->warned_missing = true;
  report_notice(
      reader, ReaderNotice{READER_NOTICE_PAYLOAD_MISSING, dynstring_sv(&c.name), nullptr, offset});
}

bool is_data_store(const Block* b) {
  switch (b->kind) {
    case BLOCK_SD:
    case BLOCK_DT:
    case BLOCK_DZ:
    case BLOCK_DL:
    case BLOCK_HL:
      return true;
    default:
      return false;
  }
}

// Once per reader (and input): a channel whose variable-length bytes are said to be in a block
// that holds none (an attachment, say) gives lost entries.
void warn_unreadable_store(RecordReader* reader, const RecordChannel& c, const Block* store) {
  ReaderState* st = reader->state;
  if (st->warned_unreadable) return;
  st->warned_unreadable = true;
  report_notice(reader, ReaderNotice{READER_NOTICE_STORE_UNREADABLE, dynstring_sv(&c.name),
                                     block_label(store), store->offset});
}

// The payload source of a store, opened when first asked for; null when memory ran out or
// the store's data cannot be read (the reader has failed then).
PayloadSource* payload_source(RecordReader* reader, Block* store) {
  ReaderState* st = reader->state;
  for (PayloadSource& p : st->payloads)
    if (p.store == store) return &p;
  PayloadSource p{};
  p.store = store;
  p.group = cg_block(store);
  p.readable = p.group || is_data_store(store);
  bool ok = !p.readable ||
            (p.group ? source_second(st->data, &p.source) : source_open(store, 0, &p.source));
  // Each cursor may walk the data twice: once as a writer lays records out, and once more for
  // the odd reference behind it.
  uint64_t walk = st->data.size <= UINT64_MAX / 4 ? 2 * st->data.size : UINT64_MAX / 2;
  if (p.group && st->scan_budget <= UINT64_MAX - walk) st->scan_budget += walk;
  if (!ok || !grow_array_push(&st->payloads, p)) {
    source_free(&p.source);
    st->failed = true;
    return nullptr;
  }
  return &st->payloads[st->payloads.count - 1];
}

// The entry of a store of signal data: the record holds the payload's offset there. An offset
// or length beyond the data gives what the data holds.
bool append_signal_data_entry(RecordReader* reader, const RecordChannel& c, const Source& sd,
                              uint64_t at) {
  uint64_t n = 0;
  bool present = at <= sd.size && sd.size - at >= 4;
  if (present && sd.memory) {
    const uint8_t* p = sd.memory + at;
    n = static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8 |
        static_cast<uint64_t>(p[2]) << 16 | static_cast<uint64_t>(p[3]) << 24;
  } else if (!present || !seek_to(sd.stream, at) || !read_le(sd.stream, 4, &n)) {
    warn_missing(reader, c, at);
    return append_lost_entry(&reader->variable);
  }
  uint64_t room = sd.size - at - 4;
  if (room > held_limit(sd)) room = held_limit(sd);
  if (room >= RECORD_ENTRY_LOST) room = RECORD_ENTRY_LOST - 1;
  auto count = static_cast<uint32_t>(n < room ? n : room);
  if (!sd.memory) return append_entry(&reader->variable, sd.stream, count);
  char* head = dynstring_extend(&reader->variable, 4 + static_cast<uint64_t>(count));
  if (!head) return false;
  for (int i = 0; i < 4; ++i) head[i] = static_cast<char>(count >> (8 * i));
  memcpy(head + 4, sd.memory + at + 4, count);
  return true;
}

}  // namespace

namespace {

bool out_of_budget(RecordReader* reader, uint64_t walked) {
  ReaderState* st = reader->state;
  if (walked <= st->scan_budget) {
    st->scan_budget -= walked;
    return false;
  }
  log_block(LOG_ERROR, BLOCK_DG, reader->dg->base.offset,
            "its records refer to variable-length records too far out of order to follow");
  st->failed = true;
  return true;
}

// One record of the data group's stream as a walk over it meets it: its layout, the bytes
// after its id, and for a variable-length record the count of its bytes.
struct RecordStep {
  const RecordLayout* layout;
  uint64_t step;
  uint64_t length;
};

// Reads the id and, for a variable-length record, the length of the record at `at` in the
// source's stream, each checked against the stream's end and the walking budget. False at the
// end, on an unknown id, a record cut short or a read that failed.
bool step_record(RecordReader* reader, PayloadSource* p, uint64_t at, RecordStep* r) {
  uint32_t id_size = reader->dg->record_id_size;
  Stream* s = p->source.stream;
  uint64_t size = p->source.size, id;
  if (at >= size || size - at < id_size || !seek_to(s, at) || !read_le(s, id_size, &id))
    return false;
  r->layout = record_layout_find(reader->dg, id);
  if (!r->layout) return false;
  uint64_t left = size - at - id_size;
  r->length = 0;
  if (r->layout->record_length >= 0) {
    r->step = stride_of(reader->state, r->layout);
    if (r->step > left) return false;
  } else {
    if (left < 4 || !read_le(s, 4, &r->length) || r->length > left - 4) return false;
    r->step = 4 + r->length;
  }
  return !out_of_budget(reader, id_size + r->step);
}

// Walks the data group's records from the cursor on to the record of the source's group that
// starts at `offset` in the group's stream of records: true with the stream standing at its
// bytes and their count in *length. False when there is none.
bool find_vlsd_record(RecordReader* reader, PayloadSource* p, uint64_t offset, uint64_t* length) {
  uint32_t id_size = reader->dg->record_id_size;
  Stream* s = p->source.stream;
  uint64_t size = p->source.size;
  if (id_size == 0) return false;
  if (offset < p->next_offset) {  // behind the cursor: walk again from the start
    p->scan_position = 0;
    p->next_offset = 0;
  }
  while (p->scan_position < size && p->next_offset <= offset) {
    uint64_t at = p->scan_position;
    RecordStep r;
    if (!step_record(reader, p, at, &r)) return false;
    p->scan_position = at + id_size + r.step;
    if (r.layout->record_length >= 0 || r.layout->group != p->group) continue;
    bool found = p->next_offset == offset;
    p->next_offset += r.step;
    if (found) {
      *length = r.length;
      return seek_to(s, at + id_size + 4);
    }
  }
  return false;
}

// The variable-length record of the source's group that follows its parent (whose bytes end at
// `parent_end` in the group's stream of records), before the parent group's next record: true
// with the stream standing at its bytes and their count in *length.
bool find_following_vlsd_record(RecordReader* reader, PayloadSource* p, const CgBlock* parent,
                                uint64_t parent_end, uint64_t* length) {
  uint32_t id_size = reader->dg->record_id_size;
  Stream* s = p->source.stream;
  uint64_t size = p->source.size;
  if (id_size == 0) return false;
  for (uint64_t at = parent_end; at < size;) {
    RecordStep r;
    if (!step_record(reader, p, at, &r) || r.layout->group == parent) return false;
    if (r.layout->record_length < 0 && r.layout->group == p->group) {
      *length = r.length;
      return seek_to(s, at + id_size + 4);
    }
    at += id_size + r.step;
  }
  return false;
}

// The variable-length record a parent's offset `at` refers to, paired by offset or by order
// (see PayloadSource).
bool find_payload_record(RecordReader* reader, PayloadSource* p, const CgBlock* parent,
                         uint64_t parent_end, uint64_t at, uint64_t* length) {
  if (!p->by_order && p->offset_seen && at <= p->last_offset) p->by_order = true;
  p->offset_seen = true;
  p->last_offset = at;
  if (p->by_order) return find_following_vlsd_record(reader, p, parent, parent_end, length);
  return find_vlsd_record(reader, p, at, length);
}

// Appends the entries of the record's variable-length channels to reader->variable. False
// when memory ran out or reading failed. `parent_end`: where the record's bytes end in the
// data group's stream of records.
bool read_payloads(RecordReader* reader, const RecordLayout* layout, const uint8_t* record,
                   uint64_t record_length, uint64_t parent_end) {
  const RecordChannel* channels = layout->group->record_channels.items;
  for (int32_t i = layout->payload_begin; i < layout->payload_end; ++i) {
    const RecordChannel& c = channels[i];
    if (!c.payload_store) continue;
    PayloadSource* p = payload_source(reader, c.payload_store);
    if (!p) return false;
    if (!p->readable) {
      warn_unreadable_store(reader, c, p->store);
      if (!append_lost_entry(&reader->variable)) return false;
      continue;
    }
    uint64_t at = record_channel_raw(&c, record, record_length);
    if (!p->group) {
      if (!append_signal_data_entry(reader, c, p->source, at)) return false;
    } else if (uint64_t n; find_payload_record(reader, p, layout->group, parent_end, at, &n)) {
      n = n < held_limit(p->source) ? n : held_limit(p->source);
      if (!append_entry(&reader->variable, p->source.stream, static_cast<uint32_t>(n)))
        return false;
    } else if (reader->state->failed) {
      return false;
    } else {
      warn_missing(reader, c, at);
      if (!append_lost_entry(&reader->variable)) return false;
    }
    if (p->source.owns_stream && data_stream_failed(p->source.stream)) {
      reader->state->failed = true;
      return false;
    }
  }
  return true;
}

// The data bytes of the next record of the layout's remote master; false (logged, failed) when
// the master has no more records.
bool next_master_record(RecordReader* reader, const RecordLayout* layout, const uint8_t** bytes,
                        uint64_t* length) {
  ReaderState* st = reader->state;
  const CgBlock* master = layout->master;
  MasterSource* m = nullptr;
  for (MasterSource& candidate : st->masters)
    if (candidate.master == master) m = &candidate;
  if (!m) {
    auto* dg = reinterpret_cast<DgBlock*>(master->data_group);
    MasterSource fresh{master, dg ? record_reader_new(dg) : nullptr};
    if (fresh.reader) {
      fresh.reader->state->data_bytes_only = true;
      fresh.reader->notices = reader->notices;
    }
    if (!fresh.reader || !grow_array_push(&st->masters, fresh)) {
      record_reader_free(fresh.reader);
      st->failed = true;
      return false;
    }
    m = &st->masters[st->masters.count - 1];
  }
  while (record_reader_next(m->reader)) {
    if (m->reader->layout->group != master) continue;
    *bytes = m->reader->view.record_bytes;
    *length = m->reader->view.record_length;
    return true;
  }
  if (!record_reader_failed(m->reader))
    log_block(LOG_ERROR, BLOCK_CG, layout->group->base.offset,
              "its master channel group at 0x%llX holds fewer records than it",
              static_cast<unsigned long long>(master->base.offset));
  st->failed = true;
  return false;
}

// The remote master's record that goes behind a record (null without a master).
struct MasterRecord {
  const uint8_t* bytes;
  uint64_t length;
};

// Places the remote master's record and the record index behind the data bytes.
void extend_record(RecordReader* reader, const RecordLayout* layout, const MasterRecord& master,
                   uint8_t* tail) {
  if (layout->master) {
    uint64_t want = layout->master_bytes;
    for (uint64_t i = 0; i < want; ++i) tail[i] = i < master.length ? master.bytes[i] : 0;
    tail += want;
  }
  if (layout->index_field) {
    uint64_t index = reader->state->counts[layout->ordinal]++;
    for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(index >> (8 * i));
  }
}

// Reads the record at `at` with its fixed-length layout into the reader; false when the
// record is incomplete, never advances, or cannot be read.
bool read_record(RecordReader* reader, const RecordPlace& at, const RecordLayout* layout) {
  uint64_t left = at.size - at.position - at.id_size;
  uint64_t record_length = static_cast<uint64_t>(layout->record_length);
  uint64_t stride = stride_of(reader->state, layout);
  if (stride > left) return false;                   // the last, incomplete record
  if (stride == 0 && at.id_size == 0) return false;  // records of no bytes never advance
  if (stride > held_limit(reader->state->data)) {
    log_block(LOG_ERROR, BLOCK_CG, layout->group->base.offset,
              "records of %llu bytes are more than the %llu bytes read at once",
              static_cast<unsigned long long>(stride),
              static_cast<unsigned long long>(MAX_INFLATED_BLOCK));
    reader->state->failed = true;
    return false;
  }
  bool data_only = reader->state->data_bytes_only;
  // The master's record is read first: that it exists bounds the size it states by the
  // master's data, before room is made for it.
  MasterRecord master{nullptr, 0};
  if (!data_only && layout->master &&
      !next_master_record(reader, layout, &master.bytes, &master.length))
    return false;
  uint64_t extra = data_only ? 0 : layout->master_bytes + (layout->index_field ? 8 : 0);
  dynstring_clear(&reader->variable);
  const Source& data = reader->state->data;
  const uint8_t* record;
  if (data.memory && extra == 0) {
    // Nothing goes behind the record: it is read where it lies.
    record = data.memory + at.position + at.id_size;
  } else {
    dynstring_clear(&reader->record);
    char* bytes = dynstring_extend(&reader->record, stride + extra);
    if (!bytes) return false;
    if (data.memory) {
      memcpy(bytes, data.memory + at.position + at.id_size, stride);
    } else if (!read_exact(at.data, bytes, stride)) {
      return false;
    }
    auto* copy = reinterpret_cast<uint8_t*>(bytes);
    // Behind the data bytes (over the invalidation bytes, which nothing reads).
    if (extra) extend_record(reader, layout, master, copy + record_length);
    record = copy;
  }
  record_length += extra;

  const CgBlock* cg = layout->group;
  if (!data_only &&
      !read_payloads(reader, layout, record, record_length, at.position + at.id_size + stride))
    return false;

  reader->position = at.position + at.id_size + stride;
  reader->layout = layout;
  reader->view.record_bytes = record;
  reader->view.record_length = record_length;
  reader->view.variable_bytes = reinterpret_cast<const uint8_t*>(dynstring_data(&reader->variable));
  reader->view.variable_length = dynstring_length(&reader->variable);
  reader->view.channels = cg->record_channels.items;
  reader->view.channel_count = cg->record_channels.count;
  return true;
}

// Back to the first record of the range, with the cursors, the masters and the record counts.
void rewind(RecordReader* reader) {
  reader->position = reader->range_begin;
  ReaderState* st = reader->state;
  if (!st) return;
  for (PayloadSource& p : st->payloads) p.scan_position = p.next_offset = 0;
  for (MasterSource& m : st->masters) rewind(m.reader);
  for (uint64_t& c : st->counts) c = 0;
}

// A record id that no channel group of the data group has: the length of its record is
// unknown, so nothing after it can be read. That is a failure, so that the rows after it are
// not lost unseen.
bool unknown_record(RecordReader* reader, const RecordPlace& at, uint64_t id) {
  log_block(LOG_ERROR, BLOCK_DG, reader->dg->base.offset,
            "record id %llu at byte %llu of its data belongs to no channel group: the last "
            "%llu bytes of the data are not read",
            static_cast<unsigned long long>(id), static_cast<unsigned long long>(at.position),
            static_cast<unsigned long long>(at.size - at.position));
  reader->state->failed = true;
  return false;
}

// The end of reading: a failure when a stream broke down on the way.
bool stop(ReaderState* st) {
  if (data_stream_failed(st->data.stream)) st->failed = true;
  return false;
}

}  // namespace

bool record_reader_next(RecordReader* reader) {
  ReaderState* st = reader->state;
  DgBlock* dg = reader->dg;
  if (!st || st->failed || !st->data.stream || !dg || dg->layouts.count == 0) return false;
  RecordPlace at{st->data.stream, st->data.size, dg->record_id_size, 0};
  const uint8_t* memory = st->data.memory;
  for (;;) {
    at.position = reader->position;
    if (at.position >= reader->range_end) return false;
    if (at.position >= at.size) return stop(st);
    uint64_t id = 0;
    if (memory) {
      if (at.size - at.position < at.id_size) return false;
      for (uint32_t i = at.id_size; i-- > 0;) id = (id << 8) | memory[at.position + i];
    } else if (!seek_to(at.data, at.position) ||
               (at.id_size && !read_le(at.data, at.id_size, &id))) {
      return stop(st);
    }
    const RecordLayout* layout = record_layout_find(dg, id);
    if (!layout) return unknown_record(reader, at, id);
    if (layout->record_length >= 0) return read_record(reader, at, layout) || stop(st);
    // A variable-length record: its bytes are found through the record that refers to them.
    uint64_t left = at.size - at.position - at.id_size;
    uint64_t n = 0;
    if (left < 4) return stop(st);
    if (memory) {
      for (uint64_t i = 4; i-- > 0;) n = (n << 8) | memory[at.position + at.id_size + i];
    } else if (!read_le(at.data, 4, &n)) {
      return stop(st);
    }
    if (n > left - 4) return stop(st);
    reader->position = at.position + at.id_size + 4 + n;
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
  rewind(reader);
  record_iter_next(it);
}

// ---- Ranges ----

namespace {

// The layout of a data group whose records can be cut into ranges, or null.
const RecordLayout* cuttable_layout(const DgBlock* dg) {
  if (dg->record_id_size != 0 || dg->layouts.count != 1) return nullptr;
  const RecordLayout* layout = record_layout_find(dg, 0);
  if (!layout || layout->record_length <= 0 || layout->master || layout->index_field)
    return nullptr;
  const RecordChannel* channels = layout->group->record_channels.items;
  for (int32_t i = layout->payload_begin; i < layout->payload_end; ++i)
    if (channels[i].payload_store && cg_block(channels[i].payload_store)) return nullptr;
  return layout;
}

}  // namespace

bool record_ranges(DgBlock* dg, uint64_t target, GrowArray<uint64_t>* cuts, uint64_t* end) {
  const RecordLayout* layout = dg ? cuttable_layout(dg) : nullptr;
  if (!layout || target == 0) return false;
  Source data;
  if (!source_open(dg->data.block, single_record_length(dg), &data)) {
    source_free(&data);
    return false;
  }
  bool ok = !column_storage(dg, data);
  uint64_t stride = static_cast<uint64_t>(layout->record_length) + layout->invalidation_bytes;
  uint64_t records = data.size / stride;
  // Where a cut may fall: any record, or the first record that starts in a piece.
  auto next_cut = [&](uint64_t wanted) -> uint64_t {
    uint64_t record = (wanted + stride - 1) / stride;
    if (!data.pieces) return record * stride;
    for (const DataPiece& piece : data.pieces->pieces)
      if (piece.start >= wanted) return (piece.start + stride - 1) / stride * stride;
    return UINT64_MAX;
  };
  cuts->count = 0;
  for (uint64_t at = next_cut(target); ok && at < records * stride; at = next_cut(at + target))
    ok = grow_array_push(cuts, at) != nullptr;
  *end = data.size;
  source_free(&data);
  if (!ok || cuts->count == 0) {
    cuts->count = 0;
    return false;
  }
  return true;
}

// ---- Checks when a file opens ----

namespace {

bool check_resolves(Block* root, uint64_t record_length) {
  if (!root) return true;
  DataPieces pieces{};
  bool ok = resolve_logged(root, record_length, &pieces);
  data_pieces_free(&pieces);
  return ok;
}

bool check_master(const CgBlock* cg) {
  if (!(cg->flags & CG_FLAG_REMOTE_MASTER)) return true;
  const CgBlock* master = cg_block(cg->master);
  uint64_t at = cg->base.offset;
  if (!master) {
    log_block(LOG_ERROR, BLOCK_CG, at, "its master is in another channel group, but none is named");
    return false;
  }
  auto m = static_cast<unsigned long long>(master->base.offset);
  if (master->master.block) {
    log_block(LOG_ERROR, BLOCK_CG, at,
              "its master channel group at 0x%llX has a remote master of its own", m);
    return false;
  }
  const DgBlock* dg = dg_block(BlockRef{master->data_group, nullptr});
  if (!dg) {
    log_block(LOG_ERROR, BLOCK_CG, at, "its master channel group at 0x%llX is in no data group", m);
    return false;
  }
  return check_resolves(dg->data.block, single_record_length(dg));
}

bool check_bus_group(const CgBlock* cg) {
  if (!check_master(cg)) return false;
  for (const RecordChannel& c : cg->record_channels) {
    Block* store = c.payload_store;
    if (store && !cg_block(store) && is_data_store(store) && !check_resolves(store, 0))
      return false;
  }
  return true;
}

}  // namespace

bool prepare_bus_reading(HdBlock* hd) {
  for (const BlockRef& ref : hd->data_groups) {
    DgBlock* dg = dg_block(ref);
    if (!dg) continue;
    for (const BlockRef& group : dg->channel_groups)
      if (CgBlock* cg = cg_block(group); cg && !cg->data_group) cg->data_group = &dg->base;
  }
  for (const BlockRef& ref : hd->data_groups) {
    DgBlock* dg = dg_block(ref);
    if (!dg || !dg_has_bus_groups(dg)) continue;
    if (!check_resolves(dg->data.block, single_record_length(dg))) return false;
    for (const BlockRef& group : dg->channel_groups) {
      const CgBlock* cg = cg_block(group);
      const RecordLayout* layout =
          cg ? record_layout_find(dg, dg->record_id_size ? cg->record_id : 0) : nullptr;
      bool bus = layout && layout->group == cg && layout->group_kind != GROUP_NONE;
      if (bus && !check_bus_group(cg)) return false;
    }
  }
  return true;
}
