// Resuming an unfinished Parquet file: its row groups are rebuilt from its page headers.
#include <cstring>

#include "output/parquet_format.h"
#include "output/parquet_state.h"
#include "output/parquet_writer.h"

namespace {

// A page header is read from at most this many bytes; the writer's take under 100.
constexpr uint64_t HEADER_WINDOW = 256;

// Reads exactly n bytes at `offset`; false when the stream fails or ends first.
bool read_at(Stream* s, uint64_t offset, uint8_t* out, uint64_t n) {
  if (stream_seek(s, static_cast<int64_t>(offset), SEEK_FROM_START) !=
      static_cast<int64_t>(offset)) {
    return false;
  }
  while (n > 0) {
    int64_t got = stream_read(s, out, n);
    if (got <= 0) return false;
    out += got;
    n -= static_cast<uint64_t>(got);
  }
  return true;
}

// Whether a page header fits the column: a PLAIN data page of 1 to PARQUET_MAX_PAGE_ROWS rows
// whose statistics and uncompressed size are possible for the column's type (a time page has
// no null count, a value page has one).
bool page_fits(ParquetValueType type, const PageHeader* h) {
  if (h->type != PARQUET_PAGE_DATA || h->encoding != PARQUET_ENCODING_PLAIN ||
      h->definition_encoding != PARQUET_ENCODING_RLE ||
      h->repetition_encoding != PARQUET_ENCODING_RLE || h->num_values < 1 ||
      static_cast<uint32_t>(h->num_values) > PARQUET_MAX_PAGE_ROWS || h->compressed_size <= 0 ||
      h->uncompressed_size < 0 || h->null_count < 0 || h->null_count > h->num_values ||
      h->has_null_count != (type != VALUE_TIME)) {
    return false;
  }
  uint64_t min, max;
  memcpy(&min, h->min, 8), memcpy(&max, h->max, 8);
  if (h->has_min_max && !parquet_min_max_ordered(type, min, max)) return false;
  uint64_t values = static_cast<uint64_t>(h->num_values - h->null_count);
  uint64_t size = static_cast<uint64_t>(h->uncompressed_size);
  switch (type) {
    case VALUE_TIME:
      return h->has_min_max && size == 8 * values;
    case VALUE_DOUBLE:  // the levels take a length and at least one run
      return size >= 4 + 2 + 8 * values && (values > 0 || !h->has_min_max);
    case VALUE_STRING:
      return !h->has_min_max && size >= 4 + 2 + 4 * values;
  }
  return false;
}

// Reads the page header at `offset` (before `size`), whose page must lie whole before `size`.
ParquetStatus read_page(Stream* file, uint64_t size, uint64_t offset, PageHeader* h,
                        uint64_t* length) {
  uint8_t window[HEADER_WINDOW];
  uint64_t n = size - offset < HEADER_WINDOW ? size - offset : HEADER_WINDOW;
  if (!read_at(file, offset, window, n)) return PARQUET_IO_ERROR;
  if (!page_header_read(window, n, h, length) ||
      static_cast<uint64_t>(h->compressed_size) > size - offset - *length) {
    return PARQUET_BAD_FILE;
  }
  return PARQUET_OK;
}

// Adds a page of column `c` at `*offset` to the column's summary and moves past it.
void add_page(ParquetWriter* w, uint32_t c, const PageHeader* h, uint64_t length,
              uint64_t* offset) {
  ChunkSummary* s = &w->columns[c].summary;
  if (s->values == 0) s->offset = static_cast<int64_t>(*offset);
  *offset += length + static_cast<uint64_t>(h->compressed_size);
  s->values += h->num_values;
  s->nulls += h->null_count;
  s->compressed += static_cast<int64_t>(length) + h->compressed_size;
  s->uncompressed += static_cast<int64_t>(length) + h->uncompressed_size;
  if (h->has_min_max) {
    uint64_t min, max;
    memcpy(&min, h->min, 8), memcpy(&max, h->max, 8);
    parquet_merge_min_max(w->columns[c].type, s, min, max);
  }
}

// Reads one row group from `*offset` into the writer's summaries: the time column's pages up
// to the first page of another column (or the end), then each value column's pages up to as
// many rows.
ParquetStatus read_group(ParquetWriter* w, Stream* file, uint64_t size, uint64_t* offset) {
  int64_t start = static_cast<int64_t>(*offset);
  PageHeader h;
  uint64_t length;
  ParquetStatus status;
  while (*offset < size) {
    if ((status = read_page(file, size, *offset, &h, &length)) != PARQUET_OK) return status;
    if (h.has_null_count && w->columns[0].summary.values > 0) break;
    if (!page_fits(VALUE_TIME, &h)) return PARQUET_BAD_FILE;
    add_page(w, 0, &h, length, offset);
  }
  int64_t rows = w->columns[0].summary.values;
  for (uint32_t c = 1; c < w->column_count; ++c) {
    while (w->columns[c].summary.values < rows) {
      if (*offset >= size) return PARQUET_BAD_FILE;
      if ((status = read_page(file, size, *offset, &h, &length)) != PARQUET_OK) return status;
      if (!page_fits(w->columns[c].type, &h) ||
          h.num_values > rows - w->columns[c].summary.values) {
        return PARQUET_BAD_FILE;
      }
      add_page(w, c, &h, length, offset);
    }
  }
  return parquet_add_group(w, start) ? PARQUET_OK : PARQUET_NO_MEMORY;
}

}  // namespace

ParquetWriter* parquet_writer_resume(const ParquetSetup* setup, Stream* file,
                                     ParquetStatus* status) {
  ParquetStatus ignored;
  if (!status) status = &ignored;
  ParquetWriter* w = parquet_writer_new(setup, file, status);
  if (!w) return nullptr;
  int64_t size = stream_size(file);
  uint8_t magic[sizeof PARQUET_MAGIC];
  if (size < 0) {
    *status = PARQUET_IO_ERROR;
  } else if (static_cast<uint64_t>(size) < sizeof magic) {
    *status = PARQUET_BAD_FILE;
  } else if (!read_at(file, 0, magic, sizeof magic)) {
    *status = PARQUET_IO_ERROR;
  } else if (memcmp(magic, PARQUET_MAGIC, sizeof magic) != 0) {
    *status = PARQUET_BAD_FILE;
  }
  uint64_t offset = sizeof magic;
  while (*status == PARQUET_OK && offset < static_cast<uint64_t>(size)) {
    *status = read_group(w, file, static_cast<uint64_t>(size), &offset);
  }
  if (*status == PARQUET_OK && stream_seek(file, size, SEEK_FROM_START) != size) {
    *status = PARQUET_IO_ERROR;
  }
  if (*status != PARQUET_OK) {
    parquet_writer_free(w);
    return nullptr;
  }
  w->file_size = static_cast<uint64_t>(size);
  return w;
}
