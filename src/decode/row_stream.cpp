// Row stream records in chunks: each record is its kind byte, the 4-byte length of its body
// and the body; every chunk ends with a counts record.
#include "decode/row_stream.h"

namespace {

constexpr uint64_t RECORD_HEAD = 5;
constexpr uint64_t COUNTS_RECORD = RECORD_HEAD + sizeof(RowCounts);

void put_head(uint8_t* at, RowRecordKind kind, uint64_t size) {
  at[0] = kind;
  auto length = static_cast<uint32_t>(size);
  memcpy(at + 1, &length, 4);
}

}  // namespace

void row_writer_init(RowWriter* writer, void (*deliver)(void* context, Chunk* chunk),
                     void* context) {
  *writer = RowWriter{deliver, context, nullptr, RowCounts{}, false};
}

uint8_t* row_writer_reserve(RowWriter* writer, uint64_t size) {
  // Room for the record and, behind it, the counts that close the chunk.
  uint64_t needed = RECORD_HEAD + size + COUNTS_RECORD;
  if (writer->chunk && writer->chunk->capacity - writer->chunk->size < needed)
    row_writer_flush(writer);
  if (!writer->chunk) {
    if (needed > UINT32_MAX) {
      writer->failed = true;
      return nullptr;
    }
    uint64_t capacity = needed > ROW_CHUNK_SIZE ? needed : ROW_CHUNK_SIZE;
    writer->chunk = chunk_new(static_cast<uint32_t>(capacity));
    if (!writer->chunk) {
      writer->failed = true;
      return nullptr;
    }
  }
  return writer->chunk->bytes() + writer->chunk->size + RECORD_HEAD;
}

void row_writer_commit(RowWriter* writer, RowRecordKind kind, uint64_t used) {
  put_head(writer->chunk->bytes() + writer->chunk->size, kind, used);
  writer->chunk->size += static_cast<uint32_t>(RECORD_HEAD + used);
}

void row_writer_add(RowWriter* writer, RowRecordKind kind, const void* head, uint32_t head_size,
                    std::string_view first, std::string_view second) {
  uint64_t size = head_size + first.size() + second.size();
  uint8_t* body = row_writer_reserve(writer, size);
  if (!body) return;
  if (head_size) memcpy(body, head, head_size);
  if (!first.empty()) memcpy(body + head_size, first.data(), first.size());
  if (!second.empty()) memcpy(body + head_size + first.size(), second.data(), second.size());
  row_writer_commit(writer, kind, size);
}

namespace {

// Appends the counts record into the room every reservation keeps for it.
void put_counts(RowWriter* writer) {
  Chunk* chunk = writer->chunk;
  const RowCounts& c = writer->counts;
  if (!chunk || (c.frames | c.messages | c.signals) == 0) return;
  put_head(chunk->bytes() + chunk->size, ROW_RECORD_COUNTS, sizeof(RowCounts));
  memcpy(chunk->bytes() + chunk->size + RECORD_HEAD, &c, sizeof(RowCounts));
  chunk->size += static_cast<uint32_t>(COUNTS_RECORD);
  writer->counts = RowCounts{};
}

}  // namespace

void row_writer_add_counts(RowWriter* writer) {
  const RowCounts& c = writer->counts;
  if ((c.frames | c.messages | c.signals) == 0) return;
  // Room for one more counts record behind these.
  if (row_writer_reserve(writer, COUNTS_RECORD - RECORD_HEAD)) put_counts(writer);
}

void row_writer_flush(RowWriter* writer) {
  const RowCounts& c = writer->counts;
  // Counts without records still travel, in a chunk of their own.
  if (!writer->chunk && (c.frames | c.messages | c.signals) != 0) row_writer_reserve(writer, 0);
  Chunk* chunk = writer->chunk;
  if (!chunk) return;
  put_counts(writer);
  writer->chunk = nullptr;
  writer->deliver(writer->context, chunk);
}

bool row_reader_next(RowReader* reader, RowRecord* record) {
  if (static_cast<uint64_t>(reader->end - reader->at) < RECORD_HEAD) return false;
  uint32_t size;
  memcpy(&size, reader->at + 1, 4);
  if (size > static_cast<uint64_t>(reader->end - reader->at) - RECORD_HEAD) return false;
  record->kind = static_cast<RowRecordKind>(reader->at[0]);
  record->body = reader->at + RECORD_HEAD;
  record->size = size;
  reader->at += RECORD_HEAD + size;
  return true;
}
