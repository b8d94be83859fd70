// Little-endian (and one big-endian) field reads with a seek before every read.
#include "mdf/field_reader.h"

#include <cstring>

namespace {

// Seeks to the reader's position and reads exactly n bytes, looping over short counts of
// streams that deliver less than asked before their end.
bool read_exact(FieldReader* r, void* buffer, uint64_t n) {
  if (r->base < 0) return false;
  if (r->offset > static_cast<uint64_t>(INT64_MAX - r->base)) return false;
  int64_t at = field_position(r);
  if (stream_seek(r->stream, at, SEEK_FROM_START) != at) return false;
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  while (done < n) {
    int64_t got = stream_read(r->stream, out + done, n - done);
    if (got <= 0) return false;
    done += static_cast<uint64_t>(got);
  }
  return true;
}

template <int N>
bool read_le(FieldReader* r, uint64_t* out) {
  uint8_t b[N];
  if (!read_exact(r, b, N)) return false;
  uint64_t v = 0;
  for (int i = N - 1; i >= 0; --i) v = (v << 8) | b[i];
  *out = v;
  r->offset += N;
  return true;
}

}  // namespace

FieldReader field_reader_at(Stream* stream) {
  return FieldReader{stream, stream ? stream_tell(stream) : -1, 0};
}

FieldReader field_reader_at(Stream* stream, int64_t base) { return FieldReader{stream, base, 0}; }

bool field_read_u8(FieldReader* r, uint8_t* out) {
  uint64_t v;
  if (!read_le<1>(r, &v)) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

bool field_read_u16(FieldReader* r, uint16_t* out) {
  uint64_t v;
  if (!read_le<2>(r, &v)) return false;
  *out = static_cast<uint16_t>(v);
  return true;
}

bool field_read_u32(FieldReader* r, uint32_t* out) {
  uint64_t v;
  if (!read_le<4>(r, &v)) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool field_read_u32_be(FieldReader* r, uint32_t* out) {
  uint8_t b[4];
  if (!read_exact(r, b, 4)) return false;
  *out = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
         static_cast<uint32_t>(b[2]) << 8 | b[3];
  r->offset += 4;
  return true;
}

bool field_read_u64(FieldReader* r, uint64_t* out) { return read_le<8>(r, out); }

bool field_read_f64(FieldReader* r, double* out) {
  uint64_t v;
  if (!read_le<8>(r, &v)) return false;
  memcpy(out, &v, sizeof v);
  return true;
}

bool field_read_bytes(FieldReader* r, void* buffer, uint64_t n) {
  if (n == 0) return true;
  if (!read_exact(r, buffer, n)) return false;
  r->offset += n;
  return true;
}

bool field_read_text(FieldReader* r, DynString* text, uint64_t n) {
  constexpr uint64_t CHUNK = 64 * 1024;
  FieldReader at = *r;
  uint64_t done = 0;
  while (done < n) {
    uint64_t step = n - done < CHUNK ? n - done : CHUNK;
    char* room = dynstring_extend(text, step);
    if (!room) return false;
    if (!read_exact(&at, room, step)) {
      dynstring_truncate(text, dynstring_length(text) - step);
      return false;
    }
    at.offset += step;
    done += step;
  }
  r->offset += n;
  return true;
}

void field_skip(FieldReader* r, uint64_t n) { r->offset += n; }
