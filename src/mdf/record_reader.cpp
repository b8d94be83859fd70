// The record reader of a data group and the frame iterator on top of it.
#include "mdf/record_reader.h"

#include <cstdlib>

#include "mdf/blocks.h"

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

// The entry of a channel whose payloads lie in a signal-data block: the record holds the
// payload's offset there. An offset or length beyond the block gives what the block holds.
bool append_signal_data_entry(DynString* out, const RecordChannel& c, Stream* sd,
                              const uint8_t* record, uint64_t record_length) {
  uint64_t at = record_channel_raw(&c, record, record_length);
  uint64_t sd_size = block_data_stream_size(&sd_block(c.payload_store)->data);
  uint64_t n = 0;
  if (at > sd_size || sd_size - at < 4 || !seek_to(sd, at) || !read_le(sd, 4, &n)) n = 0;
  uint64_t room = at <= sd_size && sd_size - at >= 4 ? sd_size - at - 4 : 0;
  return append_entry(out, sd, static_cast<uint32_t>(n < room ? n : room));
}

// Where a record of a data group starts, and what the reader of one record needs to know.
struct RecordPlace {
  Stream* data;
  uint64_t size;  // of the data section
  uint32_t id_size;
  uint64_t position;  // of the record's id
};

// Appends the entries of the record's variable-length channels to reader->variable and adds
// the bytes of the variable-length records it took to *consumed. A payload expected in a
// following variable-length record that is not there ends the entries (the remaining
// channels get none). False when memory ran out.
bool read_payloads(RecordReader* reader, const RecordPlace& at, const CgBlock* cg,
                   const uint8_t* record, uint64_t record_length, uint64_t* consumed) {
  for (const RecordChannel& c : cg->record_channels) {
    if (!c.payload_store) continue;
    if (Stream* sd = sd_stream(c.payload_store)) {
      if (!append_signal_data_entry(&reader->variable, c, sd, record, record_length)) return false;
    } else if (const CgBlock* store = cg_block(c.payload_store); store && at.id_size) {
      // The payload is the variable-length record that follows in the data stream.
      uint64_t next = at.position + *consumed;
      uint64_t vid, n;
      if (next >= at.size || at.size - next < at.id_size + 4 || !seek_to(at.data, next) ||
          !read_le(at.data, at.id_size, &vid) || vid != store->record_id ||
          !read_le(at.data, 4, &n) || n > at.size - next - at.id_size - 4)
        return true;
      if (!append_entry(&reader->variable, at.data, static_cast<uint32_t>(n))) return false;
      *consumed += at.id_size + 4 + n;
    } else if (!append_empty_entry(&reader->variable)) {
      return false;
    }
  }
  return true;
}

// Reads the record at `at` with its fixed-length layout into the reader; false when the
// record is incomplete, never advances, or cannot be read.
bool read_record(RecordReader* reader, const RecordPlace& at, const RecordLayout* layout) {
  uint64_t left = at.size - at.position - at.id_size;
  uint64_t record_length = static_cast<uint64_t>(layout->record_length);
  uint64_t stride = record_length + layout->invalidation_bytes;
  if (stride > left) return false;                   // the last, incomplete record
  if (stride == 0 && at.id_size == 0) return false;  // records of no bytes never advance
  dynstring_clear(&reader->record);
  dynstring_clear(&reader->variable);
  char* bytes = dynstring_extend(&reader->record, stride);
  if (!bytes || !read_exact(at.data, bytes, stride)) return false;
  uint64_t consumed = at.id_size + stride;

  const CgBlock* cg = layout->group;
  const auto* record = reinterpret_cast<const uint8_t*>(dynstring_data(&reader->record));
  if (!read_payloads(reader, at, cg, record, record_length, &consumed)) return false;

  reader->position = at.position + consumed;
  reader->layout = layout;
  reader->view.record_bytes = record;
  reader->view.record_length = record_length;
  reader->view.variable_bytes = reinterpret_cast<const uint8_t*>(dynstring_data(&reader->variable));
  reader->view.variable_length = dynstring_length(&reader->variable);
  reader->view.channels = cg->record_channels.items;
  reader->view.channel_count = cg->record_channels.count;
  return true;
}

}  // namespace

bool record_reader_next(RecordReader* reader) {
  DgBlock* dg = reader->dg;
  DataBlock* dt = dg ? dt_block(dg->data) : nullptr;
  if (!dt || dg->layouts.count == 0) return false;
  RecordPlace at{&dt->data.base, block_data_stream_size(&dt->data), dg->record_id_size, 0};

  for (;;) {
    at.position = reader->position;
    if (at.position >= at.size || !seek_to(at.data, at.position)) return false;
    uint64_t id = 0;
    if (at.id_size && !read_le(at.data, at.id_size, &id)) return false;
    const RecordLayout* layout = record_layout_find(dg, id);
    if (!layout) return false;
    if (layout->record_length >= 0) return read_record(reader, at, layout);
    // A variable-length record that no record before it took: skip it.
    uint64_t left = at.size - at.position - at.id_size;
    uint64_t n;
    if (!read_le(at.data, 4, &n) || left < 4 || n > left - 4) return false;
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
  reader->position = 0;
  record_iter_next(it);
}
