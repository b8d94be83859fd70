// The stream kinds: file, memory, buffered, sub-range and CRC-32.
#include "io/stream.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int64_t stream_read(Stream* s, void* buffer, uint64_t n) {
  return s->ops->read ? s->ops->read(s, buffer, n) : STREAM_UNSUPPORTED;
}
int64_t stream_write(Stream* s, const void* buffer, uint64_t n) {
  return s->ops->write ? s->ops->write(s, buffer, n) : STREAM_UNSUPPORTED;
}
int64_t stream_tell(Stream* s) { return s->ops->tell ? s->ops->tell(s) : STREAM_UNSUPPORTED; }
int64_t stream_seek(Stream* s, int64_t offset, int32_t origin) {
  return s->ops->seek ? s->ops->seek(s, offset, origin) : STREAM_UNSUPPORTED;
}
int32_t stream_close(Stream* s) {
  if (!s || !s->ops->close) return 0;
  return s->ops->close(s);
}

int64_t stream_size(Stream* s) {
  if (!s) return -1;
  int64_t position = stream_tell(s);
  if (position < 0) return position;
  if (stream_seek(s, 0, SEEK_FROM_END) < 0) return -1;
  int64_t size = stream_tell(s);
  stream_seek(s, position, SEEK_FROM_START);
  return size;
}

// ---- FileStream ----

namespace {

struct FileStream {
  Stream base;
  FILE* file;
  int64_t position;  // cached, so a seek to where we are makes no system call
};

int64_t file_read(Stream* s, void* buffer, uint64_t n) {
  auto* f = reinterpret_cast<FileStream*>(s);
  size_t got = fread(buffer, 1, n, f->file);
  if (got == 0 && ferror(f->file)) return -1;
  f->position += static_cast<int64_t>(got);
  return static_cast<int64_t>(got);
}

int64_t file_write(Stream* s, const void* buffer, uint64_t n) {
  auto* f = reinterpret_cast<FileStream*>(s);
  size_t put = fwrite(buffer, 1, n, f->file);
  f->position += static_cast<int64_t>(put);
  if (put < n && ferror(f->file)) return put ? static_cast<int64_t>(put) : -1;
  return static_cast<int64_t>(put);
}

int64_t file_tell(Stream* s) {
  return static_cast<int64_t>(ftello(reinterpret_cast<FileStream*>(s)->file));
}

int64_t file_seek(Stream* s, int64_t offset, int32_t origin) {
  auto* f = reinterpret_cast<FileStream*>(s);
  if (origin == SEEK_FROM_START && offset == f->position) return offset;
  static constexpr int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (origin < 0 || origin > 2) return -1;
  if (fseeko(f->file, static_cast<off_t>(offset), whence[origin]) != 0) return -1;
  f->position = static_cast<int64_t>(ftello(f->file));
  return f->position;
}

int32_t file_close_after_failure(Stream* s) {
  free(s);
  return 0;
}

constexpr StreamOps FILE_CLOSED_OPS{nullptr, nullptr, nullptr, nullptr, file_close_after_failure};

int32_t file_close(Stream* s) {
  auto* f = reinterpret_cast<FileStream*>(s);
  if (fclose(f->file) != 0) {
    // The handle is gone either way; the record stays so the caller sees the failure, and a
    // second close only frees it.
    f->file = nullptr;
    f->base.ops = &FILE_CLOSED_OPS;
    return -1;
  }
  free(f);
  return 0;
}

constexpr StreamOps FILE_READ_OPS{file_read, nullptr, file_tell, file_seek, file_close};
constexpr StreamOps FILE_WRITE_OPS{nullptr, file_write, file_tell, file_seek, file_close};
constexpr StreamOps FILE_UPDATE_OPS{file_read, file_write, file_tell, file_seek, file_close};
}  // namespace

Stream* file_stream_open(const char* path, int32_t mode) {
  static constexpr const char* modes[] = {"rb", "wb", "r+b"};
  static constexpr const StreamOps* tables[] = {&FILE_READ_OPS, &FILE_WRITE_OPS, &FILE_UPDATE_OPS};
  if (!path || mode < 0 || mode > 2) return nullptr;
  auto* f = static_cast<FileStream*>(calloc(1, sizeof(FileStream)));
  if (!f) return nullptr;
  f->file = fopen(path, modes[mode]);
  if (!f->file) {
    free(f);
    return nullptr;
  }
  f->base.ops = tables[mode];
  return &f->base;
}

// ---- MemoryStream ----

namespace {

struct MemoryStream {
  Stream base;
  uint64_t capacity;
  uint64_t size;
  uint64_t position;
  uint8_t* data;
};

int64_t memory_read(Stream* s, void* buffer, uint64_t n) {
  auto* m = reinterpret_cast<MemoryStream*>(s);
  if (m->position >= m->size) return 0;
  uint64_t count = m->size - m->position < n ? m->size - m->position : n;
  memcpy(buffer, m->data + m->position, count);
  m->position += count;
  return static_cast<int64_t>(count);
}

bool memory_grow(MemoryStream* m, uint64_t capacity) {
  auto* data = static_cast<uint8_t*>(realloc(m->data, capacity));
  if (!data) return false;
  m->data = data;
  m->capacity = capacity;
  return true;
}

int64_t memory_write(Stream* s, const void* buffer, uint64_t n) {
  auto* m = reinterpret_cast<MemoryStream*>(s);
  if (n > (uint64_t{1} << 62) || m->position > (uint64_t{1} << 62)) return -1;
  while (m->capacity < m->position || m->capacity - m->position < n) {
    if (!memory_grow(m, m->capacity ? m->capacity * 2 : 2)) return -1;
  }
  if (n) memcpy(m->data + m->position, buffer, n);
  m->position += n;
  if (m->position > m->size) m->size = m->position;
  return static_cast<int64_t>(n);
}

int64_t memory_tell(Stream* s) {
  return static_cast<int64_t>(reinterpret_cast<MemoryStream*>(s)->position);
}

int64_t memory_seek(Stream* s, int64_t offset, int32_t origin) {
  auto* m = reinterpret_cast<MemoryStream*>(s);
  int64_t target;
  switch (origin) {
    case SEEK_FROM_START:
      target = offset;
      break;
    case SEEK_FROM_CURRENT:
      target = static_cast<int64_t>(m->position) + offset;
      break;
    case SEEK_FROM_END:
      target = static_cast<int64_t>(m->size) + offset;
      break;
    default:
      return -1;
  }
  if (target < 0) return -1;
  if (origin == SEEK_FROM_END && static_cast<uint64_t>(target) > m->size) {
    // Extend with zero bytes up to the target.
    static const uint8_t zeros[512] = {};
    m->position = m->size;
    while (m->size < static_cast<uint64_t>(target)) {
      uint64_t piece = static_cast<uint64_t>(target) - m->size;
      if (piece > sizeof zeros) piece = sizeof zeros;
      if (memory_write(s, zeros, piece) < 0) return -1;
    }
  }
  if (static_cast<uint64_t>(target) > m->capacity) return -1;
  m->position = static_cast<uint64_t>(target);
  return target;
}

int32_t memory_close(Stream* s) {
  auto* m = reinterpret_cast<MemoryStream*>(s);
  free(m->data);
  free(m);
  return 0;
}

constexpr StreamOps MEMORY_OPS{memory_read, memory_write, memory_tell, memory_seek, memory_close};

}  // namespace

Stream* memory_stream_new() {
  auto* m = static_cast<MemoryStream*>(calloc(1, sizeof(MemoryStream)));
  if (!m) return nullptr;
  m->base.ops = &MEMORY_OPS;
  return &m->base;
}

uint8_t* memory_stream_append_room(Stream* s, uint64_t n) {
  auto* m = reinterpret_cast<MemoryStream*>(s);
  uint64_t start = m->size;
  if (n > (uint64_t{1} << 62) || start > (uint64_t{1} << 62)) return nullptr;
  if (m->capacity - start < n && !memory_grow(m, start + n)) return nullptr;
  m->size = start + n;
  m->position = m->size;
  return m->data + start;
}

// ---- BufferedStream ----

namespace {

struct BufferedStream {
  Stream base;
  uint64_t capacity;
  uint64_t fill;
  uint64_t cursor;
  int64_t window_start;
  Stream* inner;
  int32_t owns_inner;
  uint8_t buffer[];
};

// Loads up to capacity bytes from `position` of the inner stream; false when nothing came.
bool buffered_load(BufferedStream* b, int64_t position) {
  if (stream_seek(b->inner, position, SEEK_FROM_START) != position) return false;
  int64_t n = stream_read(b->inner, b->buffer, b->capacity);
  if (n <= 0) return false;
  b->window_start = position;
  b->cursor = 0;
  b->fill = static_cast<uint64_t>(n);
  return true;
}

int64_t buffered_read(Stream* s, void* buffer, uint64_t n) {
  auto* b = reinterpret_cast<BufferedStream*>(s);
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t delivered = 0;
  while (delivered < n) {
    if (b->cursor == b->fill &&
        !buffered_load(b, b->window_start + static_cast<int64_t>(b->cursor)))
      break;
    uint64_t take = b->fill - b->cursor;
    if (take > n - delivered) take = n - delivered;
    memcpy(out + delivered, b->buffer + b->cursor, take);
    b->cursor += take;
    delivered += take;
  }
  return static_cast<int64_t>(delivered);
}

int64_t buffered_tell(Stream* s) {
  auto* b = reinterpret_cast<BufferedStream*>(s);
  return b->window_start + static_cast<int64_t>(b->cursor);
}

int64_t buffered_seek(Stream* s, int64_t offset, int32_t origin) {
  auto* b = reinterpret_cast<BufferedStream*>(s);
  int64_t target;
  switch (origin) {
    case SEEK_FROM_START:
      target = offset;
      break;
    case SEEK_FROM_CURRENT:
      target = buffered_tell(s) + offset;
      break;
    case SEEK_FROM_END:
      if (stream_seek(b->inner, offset, SEEK_FROM_END) < 0) return -1;
      target = stream_tell(b->inner);
      break;
    default:
      return -1;
  }
  if (target < 0) return -1;
  if (target >= b->window_start && target <= b->window_start + static_cast<int64_t>(b->fill)) {
    b->cursor = static_cast<uint64_t>(target - b->window_start);
    return target;
  }
  if (buffered_load(b, target)) return target;
  // Nothing to read there. The end of the inner stream is still a position (stream_size seeks
  // there): the window becomes empty at the target. Beyond the end nothing changes and the
  // current position is returned, which tells the caller that the seek did not reach it.
  int64_t end = stream_seek(b->inner, 0, SEEK_FROM_END);
  if (end < 0 || target > end) return buffered_tell(s);
  b->window_start = target;
  b->cursor = 0;
  b->fill = 0;
  return target;
}

int32_t buffered_close(Stream* s) {
  auto* b = reinterpret_cast<BufferedStream*>(s);
  if (b->inner && b->owns_inner) {
    int32_t status = stream_close(b->inner);
    if (status != 0) return status;
    b->inner = nullptr;
  }
  free(b);
  return 0;
}

constexpr StreamOps BUFFERED_OPS{buffered_read, nullptr, buffered_tell, buffered_seek,
                                 buffered_close};

}  // namespace

Stream* buffered_stream_new(Stream* inner, bool owns_inner, uint64_t capacity) {
  if (!inner) return nullptr;
  capacity = (capacity + 7) & ~uint64_t{7};
  if (capacity == 0) capacity = 8;
  if (capacity > (uint64_t{1} << 40)) return nullptr;
  auto* b = static_cast<BufferedStream*>(calloc(1, sizeof(BufferedStream) + capacity));
  if (!b) return nullptr;
  b->base.ops = &BUFFERED_OPS;
  b->capacity = capacity;
  b->inner = inner;
  b->owns_inner = owns_inner ? 1 : 0;
  return &b->base;
}

// ---- SubStream ----

namespace {

struct SubStream {
  Stream base;
  Stream* inner;
  int64_t start;
  int64_t end;  // 0 or negative: no end
};

uint64_t sub_bound(SubStream* sub, uint64_t n) {
  if (sub->end <= 0) return n;
  int64_t position = stream_tell(sub->inner);
  if (position < 0 || position >= sub->end) return 0;
  uint64_t room = static_cast<uint64_t>(sub->end - position);
  return n < room ? n : room;
}

int64_t sub_read(Stream* s, void* buffer, uint64_t n) {
  auto* sub = reinterpret_cast<SubStream*>(s);
  n = sub_bound(sub, n);
  if (n == 0) return 0;
  return stream_read(sub->inner, buffer, n);
}

int64_t sub_write(Stream* s, const void* buffer, uint64_t n) {
  auto* sub = reinterpret_cast<SubStream*>(s);
  n = sub_bound(sub, n);
  if (n == 0) return 0;
  return stream_write(sub->inner, buffer, n);
}

int64_t sub_tell(Stream* s) {
  auto* sub = reinterpret_cast<SubStream*>(s);
  int64_t p = stream_tell(sub->inner);
  if (p < 0) return -1;
  if (sub->end > 0 && p - sub->start > sub->end - sub->start) return -1;
  return p - sub->start;
}

int64_t sub_seek(Stream* s, int64_t offset, int32_t origin) {
  auto* sub = reinterpret_cast<SubStream*>(s);
  int64_t target;
  switch (origin) {
    case SEEK_FROM_START:
      target = sub->start + offset;
      break;
    case SEEK_FROM_CURRENT: {
      int64_t p = stream_tell(sub->inner);
      target = p < 0 ? -1 : p + offset;
      break;
    }
    case SEEK_FROM_END: {
      int64_t end = sub->end > 0 ? sub->end : stream_size(sub->inner);
      if (end < 0) return -1;
      target = end + offset;
      break;
    }
    default:
      return -1;
  }
  if (origin != SEEK_FROM_CURRENT || target >= 0) {
    if (sub->end > 0 && target > sub->end) target = sub->end;
    if (target < sub->start) target = sub->start;
  }
  if (target < 0) return -1;
  if (stream_seek(sub->inner, target, SEEK_FROM_START) != target) return -1;
  return target - sub->start;
}

int32_t sub_close(Stream* s) {
  free(s);
  return 0;
}

constexpr StreamOps SUB_OPS{sub_read, sub_write, sub_tell, sub_seek, sub_close};

}  // namespace

Stream* sub_stream_new(Stream* inner, int64_t start, int64_t end) {
  if (!inner) return nullptr;
  auto* sub = static_cast<SubStream*>(calloc(1, sizeof(SubStream)));
  if (!sub) return nullptr;
  sub->base.ops = &SUB_OPS;
  sub->inner = inner;
  sub->start = start;
  sub->end = end;
  stream_seek(inner, start, SEEK_FROM_START);
  return &sub->base;
}

// ---- Crc32Stream ----

namespace {

// Eight tables for taking eight bytes per step: entries[k][b] is the register change of byte b
// followed by k zero bytes.
struct Crc32Table {
  uint32_t entries[8][256];
  constexpr Crc32Table() : entries{} {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entries[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
      for (uint32_t i = 0; i < 256; ++i)
        entries[k][i] = (entries[k - 1][i] >> 8) ^ entries[0][entries[k - 1][i] & 0xFF];
  }
};
constexpr Crc32Table CRC32_TABLE;

inline uint32_t load_u32_le(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

struct Crc32Stream {
  Stream base;
  uint32_t reg;
  Stream* inner;
};

int64_t crc_read(Stream* s, void* buffer, uint64_t n) {
  auto* c = reinterpret_cast<Crc32Stream*>(s);
  int64_t got = stream_read(c->inner, buffer, n);
  if (got > 0)
    c->reg = crc32_update(c->reg, static_cast<const uint8_t*>(buffer), static_cast<uint64_t>(got));
  return got;
}

int64_t crc_write(Stream* s, const void* buffer, uint64_t n) {
  auto* c = reinterpret_cast<Crc32Stream*>(s);
  int64_t put = stream_write(c->inner, buffer, n);
  if (put > 0)
    c->reg = crc32_update(c->reg, static_cast<const uint8_t*>(buffer), static_cast<uint64_t>(put));
  return put;
}

int32_t crc_close(Stream* s) {
  free(s);
  return 0;
}

constexpr StreamOps CRC32_OPS{crc_read, crc_write, nullptr, nullptr, crc_close};

}  // namespace

uint32_t crc32_update(uint32_t reg, const uint8_t* bytes, uint64_t n) {
  const auto& t = CRC32_TABLE.entries;
  for (; n >= 8; n -= 8, bytes += 8) {
    uint32_t low = load_u32_le(bytes) ^ reg;
    uint32_t high = load_u32_le(bytes + 4);
    reg = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
          t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^
          t[0][high >> 24];
  }
  for (uint64_t i = 0; i < n; ++i) reg = (reg >> 8) ^ t[0][(reg ^ bytes[i]) & 0xFF];
  return reg;
}

Stream* crc32_stream_new(Stream* inner) {
  if (!inner) return nullptr;
  auto* c = static_cast<Crc32Stream*>(calloc(1, sizeof(Crc32Stream)));
  if (!c) return nullptr;
  c->base.ops = &CRC32_OPS;
  c->reg = 0xFFFFFFFFu;
  c->inner = inner;
  return &c->base;
}

uint32_t crc32_stream_value(Stream* s) { return reinterpret_cast<Crc32Stream*>(s)->reg; }
