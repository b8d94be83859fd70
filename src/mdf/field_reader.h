// FieldReader: the cursor through which every block loader and container reader reads its
// fixed-width fields. Each read seeks to base + offset first, so the stream may be moved
// elsewhere (to load a linked block) between two reads.
#pragma once

#include <cstdint>

#include "io/stream.h"
#include "support/dyn_string.h"

struct FieldReader {
  Stream* stream;
  int64_t base;     // the stream position when the reader was created
  uint64_t offset;  // advanced by each successful read and by field_skip
};

// A reader at the stream's current position (base -1 when the position is unknown: every
// read then fails).
FieldReader field_reader_at(Stream* stream);
// A reader at an absolute position.
FieldReader field_reader_at(Stream* stream, int64_t base);

// Each read returns true and advances the offset by its width, or returns false on a short
// read or a failed seek and leaves the offset where it was. Multi-byte fields are
// little-endian except for field_read_u32_be.
bool field_read_u8(FieldReader* r, uint8_t* out);
bool field_read_u16(FieldReader* r, uint16_t* out);
bool field_read_u32(FieldReader* r, uint32_t* out);
bool field_read_u32_be(FieldReader* r, uint32_t* out);
bool field_read_u64(FieldReader* r, uint64_t* out);
// An IEEE 754 double stored as a little-endian 64-bit pattern.
bool field_read_f64(FieldReader* r, double* out);
// n bytes into `buffer`, which the caller has sized (and has checked n against the stream
// before allocating). On failure the buffer may hold a part of the bytes.
bool field_read_bytes(FieldReader* r, void* buffer, uint64_t n);
// n bytes appended to `text`. The string grows in steps of 64 KiB only as bytes actually
// arrive, so a stated size far beyond the stream costs no large allocation; on failure the
// whole steps read before it stay appended.
bool field_read_text(FieldReader* r, DynString* text, uint64_t n);
// Skips reserved bytes.
void field_skip(FieldReader* r, uint64_t n);

// Absolute stream position of the next field.
inline int64_t field_position(const FieldReader* r) {
  return r->base + static_cast<int64_t>(r->offset);
}
