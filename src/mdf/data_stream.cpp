// The stream over data pieces, and the inflation of DZ blocks with zlib.
#include "mdf/data_stream.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "mdf/blocks.h"
#include "support/log.h"

namespace {

constexpr uint64_t INPUT_CHUNK = 64 * 1024;

void log_short(const DzBlock* dz, uint64_t got) {
  log_block(LOG_ERROR, BLOCK_DZ, dz->base.offset,
            "the deflate stream ends after %llu of its original %llu bytes",
            static_cast<unsigned long long>(got),
            static_cast<unsigned long long>(dz->original_length));
}

// Runs zlib over the block's compressed bytes into out[0, original_length). A byte of output
// beyond that length is looked for, so that a stream that runs on is caught.
bool inflate_into(const DzBlock* dz, uint8_t* out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  uint8_t* input = static_cast<uint8_t*>(malloc(INPUT_CHUNK));
  uint64_t at = dz->compressed_start, left = dz->compressed_length;
  uint8_t probe = 0;
  bool probing = false, ok = input != nullptr;
  z.next_out = out;
  z.avail_out = static_cast<uInt>(dz->original_length);
  int ret = Z_OK;
  while (ok && ret != Z_STREAM_END) {
    if (z.avail_in == 0 && left > 0) {
      uint64_t n = left < INPUT_CHUNK ? left : INPUT_CHUNK;
      int64_t got = stream_seek(dz->file, static_cast<int64_t>(at), SEEK_FROM_START) ==
                            static_cast<int64_t>(at)
                        ? stream_read(dz->file, input, n)
                        : -1;
      if (got <= 0) {
        log_block(LOG_ERROR, BLOCK_DZ, dz->base.offset, "its compressed bytes cannot be read");
        ok = false;
        break;
      }
      z.next_in = input;
      z.avail_in = static_cast<uInt>(got);
      at += static_cast<uint64_t>(got);
      left -= static_cast<uint64_t>(got);
    }
    if (z.avail_out == 0 && !probing) {
      probing = true;
      z.next_out = &probe;
      z.avail_out = 1;
    }
    ret = inflate(&z, Z_NO_FLUSH);
    if (probing && z.avail_out == 0) {
      log_block(LOG_ERROR, BLOCK_DZ, dz->base.offset,
                "the deflate stream gives more than its original %llu bytes",
                static_cast<unsigned long long>(dz->original_length));
      ok = false;
    } else if (ret == Z_BUF_ERROR && z.avail_in == 0 && left == 0) {
      log_short(dz, z.total_out);
      ok = false;
    } else if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) {
      log_block(LOG_ERROR, BLOCK_DZ, dz->base.offset, "damaged deflate data (%s)",
                z.msg ? z.msg : "zlib error");
      ok = false;
    }
  }
  if (ok && z.total_out != dz->original_length) {
    log_short(dz, z.total_out);
    ok = false;
  }
  inflateEnd(&z);
  free(input);
  return ok;
}

// Rows of `columns` bytes were stored column by column; the bytes after the last whole row
// were stored as they are. Rows are handled in small blocks so that both sides stay in cache.
void untranspose(const uint8_t* in, uint8_t* out, uint64_t length, uint64_t columns) {
  uint64_t rows = length / columns;
  constexpr uint64_t BLOCK = 64;
  for (uint64_t r0 = 0; r0 < rows; r0 += BLOCK) {
    uint64_t r1 = r0 + BLOCK < rows ? r0 + BLOCK : rows;
    for (uint64_t c = 0; c < columns; ++c) {
      const uint8_t* column = in + c * rows;
      for (uint64_t r = r0; r < r1; ++r) out[r * columns + c] = column[r];
    }
  }
  if (length > rows * columns)
    memcpy(out + rows * columns, in + rows * columns, length - rows * columns);
}

struct DataStream {
  Stream base;
  const DataPieces* pieces;
  uint64_t position;
  int32_t current;  // the piece of the last read
  int32_t decoded;  // the piece whose inflated bytes `buffer` holds, -1 for none
  uint8_t* buffer;
  uint64_t capacity;
  bool failed;
};

// The piece that holds `position` (< size): the current one or its successor when reading
// goes forward, otherwise found by bisection over the start offsets.
int32_t find_piece(DataStream* s, uint64_t position) {
  const GrowArray<DataPiece>& p = s->pieces->pieces;
  for (int32_t i = s->current; i >= 0 && i < p.count && i <= s->current + 1; ++i)
    if (position >= p[i].start && position - p[i].start < p[i].length) return i;
  int32_t lo = 0, hi = p.count;  // the last piece starting at or before position
  while (hi - lo > 1) {
    int32_t mid = lo + (hi - lo) / 2;
    if (p[mid].start <= position)
      lo = mid;
    else
      hi = mid;
  }
  while (lo < p.count && p[lo].length == 0) ++lo;  // empty pieces share their start
  return lo;
}

bool decode_piece(DataStream* s, int32_t index) {
  const DzBlock* dz = dz_block(s->pieces->pieces[index].block);
  uint64_t length = dz->original_length;
  if (length > s->capacity) {
    auto* grown = static_cast<uint8_t*>(realloc(s->buffer, length));
    if (!grown) {
      log_block(LOG_ERROR, BLOCK_DZ, dz->base.offset, "no memory for its %llu original bytes",
                static_cast<unsigned long long>(length));
      return false;
    }
    s->buffer = grown;
    s->capacity = length;
  }
  s->decoded = -1;
  if (!dz_inflate(dz, s->buffer)) return false;
  s->decoded = index;
  return true;
}

int64_t stream_fail(DataStream* s) {
  s->failed = true;
  return -1;
}

int64_t ds_read(Stream* st, void* buffer, uint64_t n) {
  auto* s = reinterpret_cast<DataStream*>(st);
  if (s->failed) return -1;
  if (s->position >= s->pieces->size || n == 0) return 0;
  int32_t i = find_piece(s, s->position);
  const DataPiece& piece = s->pieces->pieces[i];
  s->current = i;
  uint64_t offset = s->position - piece.start;
  if (n > piece.length - offset) n = piece.length - offset;
  if (DataBlock* d = plain_data_block(piece.block)) {
    Stream* section = &d->data.base;
    if (stream_seek(section, static_cast<int64_t>(offset), SEEK_FROM_START) !=
        static_cast<int64_t>(offset))
      return stream_fail(s);
    int64_t got = stream_read(section, buffer, n);
    if (got <= 0) return stream_fail(s);
    n = static_cast<uint64_t>(got);
  } else {
    if (s->decoded != i && !decode_piece(s, i)) return stream_fail(s);
    memcpy(buffer, s->buffer + offset, n);
  }
  s->position += n;
  return static_cast<int64_t>(n);
}

int64_t ds_tell(Stream* st) {
  return static_cast<int64_t>(reinterpret_cast<DataStream*>(st)->position);
}

int64_t ds_seek(Stream* st, int64_t offset, int32_t origin) {
  auto* s = reinterpret_cast<DataStream*>(st);
  int64_t target = stream_seek_target(s->position, s->pieces->size, offset, origin);
  if (target >= 0) s->position = static_cast<uint64_t>(target);
  return target;
}

int32_t ds_close(Stream* st) {
  auto* s = reinterpret_cast<DataStream*>(st);
  free(s->buffer);
  free(s);
  return 0;
}

constexpr StreamOps kDataStreamOps = {ds_read, nullptr, ds_tell, ds_seek, ds_close};

}  // namespace

bool dz_inflate(const DzBlock* dz, uint8_t* out) {
  if (dz->zip_type != ZIP_TYPE_TRANSPOSE_DEFLATE || dz->zip_parameter == 0)
    return inflate_into(dz, out);
  // The transposed bytes need a second buffer; it lives only while the block is decoded.
  auto* transposed = static_cast<uint8_t*>(malloc(dz->original_length ? dz->original_length : 1));
  if (!transposed) {
    log_block(LOG_ERROR, BLOCK_DZ, dz->base.offset, "no memory to undo its transposition");
    return false;
  }
  bool ok = inflate_into(dz, transposed);
  if (ok) untranspose(transposed, out, dz->original_length, dz->zip_parameter);
  free(transposed);
  return ok;
}

Stream* data_stream_new(const DataPieces* pieces) {
  auto* s = static_cast<DataStream*>(calloc(1, sizeof(DataStream)));
  if (!s) return nullptr;
  s->base.ops = &kDataStreamOps;
  s->pieces = pieces;
  s->decoded = -1;
  return &s->base;
}

bool data_stream_failed(const Stream* s) {
  return s && s->ops == &kDataStreamOps && reinterpret_cast<const DataStream*>(s)->failed;
}
