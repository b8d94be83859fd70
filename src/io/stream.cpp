// The stream kinds: file, memory, buffered, sub-range and CRC-32.
#include "io/stream.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/log.h"

int64_t stream_read(Stream* s, void* buffer, uint64_t n) {
  return s->ops->read ? s->ops->read(s, buffer, n) : STREAM_UNSUPPORTED;
}
int64_t stream_write(Stream* s, const void* buffer, uint64_t n) {
  return s->ops->write ? s->ops->write(s, buffer, n) : STREAM_UNSUPPORTED;
}
int64_t stream_tell(Stream* s) { return s->ops->tell ? s->ops->tell(s) : STREAM_UNSUPPORTED; }
int64_t stream_seek_target(uint64_t position, uint64_t size, int64_t offset, int32_t origin) {
  int64_t base;
  switch (origin) {
    case SEEK_FROM_START:
      base = 0;
      break;
    case SEEK_FROM_CURRENT:
      base = static_cast<int64_t>(position);
      break;
    case SEEK_FROM_END:
      base = static_cast<int64_t>(size);
      break;
    default:
      return -1;
  }
  int64_t target;
  if (base < 0 || __builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  return target;
}

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
  int64_t size = stream_seek(s, 0, SEEK_FROM_END);
  if (size < 0) return size;
  stream_seek(s, position, SEEK_FROM_START);
  return size;
}

// ---- FileStream ----

namespace {

struct FileStream {
  Stream base;
  FILE* file;
  int64_t position;  // cached, so a seek to where we are makes no system call
  // The direction of the last transfer: stdio needs a seek between a read and a write.
  enum : uint8_t { NONE, READING, WRITING } last;
};

// Turns the FILE around when the direction changes; false when stdio refuses.
bool file_turn(FileStream* f, decltype(FileStream::last) direction) {
  if (f->last != direction && f->last != FileStream::NONE &&
      fseeko(f->file, static_cast<off_t>(f->position), SEEK_SET) != 0)
    return false;
  f->last = direction;
  return true;
}

int64_t file_read(Stream* s, void* buffer, uint64_t n) {
  auto* f = reinterpret_cast<FileStream*>(s);
  if (!file_turn(f, FileStream::READING)) return -1;
  size_t got = fread(buffer, 1, n, f->file);
  if (got == 0 && ferror(f->file)) {
    clearerr(f->file);
    return -1;
  }
  f->position += static_cast<int64_t>(got);
  return static_cast<int64_t>(got);
}

int64_t file_write(Stream* s, const void* buffer, uint64_t n) {
  auto* f = reinterpret_cast<FileStream*>(s);
  if (!file_turn(f, FileStream::WRITING)) return -1;
  size_t put = fwrite(buffer, 1, n, f->file);
  f->position += static_cast<int64_t>(put);
  if (put < n && ferror(f->file)) {
    clearerr(f->file);
    return put ? static_cast<int64_t>(put) : -1;
  }
  return static_cast<int64_t>(put);
}

int64_t file_tell(Stream* s) { return reinterpret_cast<FileStream*>(s)->position; }

int64_t file_seek(Stream* s, int64_t offset, int32_t origin) {
  auto* f = reinterpret_cast<FileStream*>(s);
  if (origin == SEEK_FROM_START && offset == f->position) return offset;
  static constexpr int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (origin < 0 || origin > 2) return -1;
  if (fseeko(f->file, static_cast<off_t>(offset), whence[origin]) != 0) return -1;
  f->position = static_cast<int64_t>(ftello(f->file));
  f->last = FileStream::NONE;
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
  if (!path || mode < 0 || mode > 2) return nullptr;
  return file_stream_adopt(fopen(path, modes[mode]), mode);
}

Stream* file_stream_adopt(FILE* file, int32_t mode) {
  static constexpr const StreamOps* tables[] = {&FILE_READ_OPS, &FILE_WRITE_OPS, &FILE_UPDATE_OPS};
  if (!file) return nullptr;
  FileStream* f = nullptr;
  if (mode >= 0 && mode <= 2) f = static_cast<FileStream*>(calloc(1, sizeof(FileStream)));
  if (!f) {
    fclose(file);
    return nullptr;
  }
  f->file = file;
  f->base.ops = tables[mode];
  return &f->base;
}

// ---- MemoryStream ----

namespace {

struct MemoryStream {
  Stream base;
  uint64_t capacity;
  uint64_t size;
  uint64_t position;  // may lie beyond size: a write there fills the gap with zeros
  uint8_t* data;
};

// Sizes and positions of memory streams stay below this, so that sums of two never overflow.
constexpr uint64_t MEMORY_LIMIT = uint64_t{1} << 62;

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

// Makes the capacity at least `end` by doubling; false (nothing changed) when the memory
// cannot be had.
bool memory_make_room(MemoryStream* m, uint64_t end) {
  if (end > MEMORY_LIMIT) return false;
  uint64_t capacity = m->capacity ? m->capacity : 2;
  while (capacity < end) capacity *= 2;
  return capacity == m->capacity || memory_grow(m, capacity);
}

int64_t memory_write(Stream* s, const void* buffer, uint64_t n) {
  auto* m = reinterpret_cast<MemoryStream*>(s);
  if (n == 0) return 0;
  if (n > MEMORY_LIMIT || m->position > MEMORY_LIMIT) return -1;
  if (!memory_make_room(m, m->position + n)) return -1;
  if (m->position > m->size) memset(m->data + m->size, 0, m->position - m->size);
  memcpy(m->data + m->position, buffer, n);
  m->position += n;
  if (m->position > m->size) m->size = m->position;
  return static_cast<int64_t>(n);
}

int64_t memory_tell(Stream* s) {
  return static_cast<int64_t>(reinterpret_cast<MemoryStream*>(s)->position);
}

int64_t memory_seek(Stream* s, int64_t offset, int32_t origin) {
  auto* m = reinterpret_cast<MemoryStream*>(s);
  int64_t target = stream_seek_target(m->position, m->size, offset, origin);
  if (target >= 0) m->position = static_cast<uint64_t>(target);
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
  if (n > MEMORY_LIMIT || start + n > MEMORY_LIMIT) return nullptr;
  // Exactly the room asked for: a caller that reserves a whole content at once is not charged
  // for a doubling.
  if (m->capacity - start < n && !memory_grow(m, start + n)) return nullptr;
  m->size = start + n;
  m->position = m->size;
  return m->data + start;
}

// ---- BytesStream ----

namespace {

struct BytesStream {
  Stream base;
  const uint8_t* data;
  uint64_t size;
  uint64_t position;
};

int64_t bytes_read(Stream* s, void* buffer, uint64_t n) {
  auto* b = reinterpret_cast<BytesStream*>(s);
  if (b->position >= b->size) return 0;
  uint64_t count = b->size - b->position < n ? b->size - b->position : n;
  memcpy(buffer, b->data + b->position, count);
  b->position += count;
  return static_cast<int64_t>(count);
}

int64_t bytes_tell(Stream* s) {
  return static_cast<int64_t>(reinterpret_cast<BytesStream*>(s)->position);
}

int64_t bytes_seek(Stream* s, int64_t offset, int32_t origin) {
  auto* b = reinterpret_cast<BytesStream*>(s);
  int64_t target = stream_seek_target(b->position, b->size, offset, origin);
  if (target >= 0) b->position = static_cast<uint64_t>(target);
  return target;
}

int32_t bytes_close(Stream* s) {
  free(s);
  return 0;
}

constexpr StreamOps BYTES_OPS{bytes_read, nullptr, bytes_tell, bytes_seek, bytes_close};

}  // namespace

Stream* bytes_stream_new(const uint8_t* data, uint64_t size) {
  auto* b = static_cast<BytesStream*>(calloc(1, sizeof(BytesStream)));
  if (!b) return nullptr;
  *b = BytesStream{{&BYTES_OPS}, data, size, 0};
  return &b->base;
}

// ---- SpillStream ----

namespace {

// One window of the read cache: `fill` bytes of the file from `start`.
struct SpillWindow {
  uint64_t start;
  uint64_t fill;
  uint64_t last_use;  // for choosing the window to replace
};

struct SpillStream {
  Stream base;
  uint64_t threshold;
  Stream* memory;  // the bytes while they are in memory; null once they moved to the file
  int fd;          // the unlinked temporary file, -1 before
  bool failed;     // a file failure was logged
  uint64_t size;   // of the file's content
  uint64_t position;
  // The read cache over the file: SPILL_CACHE_WINDOWS windows in one allocation, made at the
  // first read, so that reads alternating between a few places (records and their signal
  // data, say) each keep their own window.
  uint8_t* cache;
  SpillWindow windows[SPILL_CACHE_WINDOWS];
  uint64_t uses;
  char directory[256];  // where the file was made, for messages
};

void spill_log_failure(SpillStream* sp, const char* what, int error) {
  if (sp->failed) return;
  sp->failed = true;
  LOG(LOG_ERROR, "Could not %s the temporary file in %s: %s", what, sp->directory, strerror(error));
}

// An unlinked temporary file in $TMPDIR (else /tmp); -1 on failure, which is logged. O_TMPFILE
// never gives the file a name; without it, the named file is removed at once.
int spill_open_file(SpillStream* sp) {
  const char* dir = getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  snprintf(sp->directory, sizeof sp->directory, "%s", dir);
#ifdef O_TMPFILE
  int fd = open(dir, O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
    if (fd < 0) spill_log_failure(sp, "create", errno);
    return fd;
  }
#endif
  size_t length = strlen(dir) + sizeof "/tabulon-XXXXXX";
  char* path = static_cast<char*>(malloc(length));
  if (!path) return -1;
  snprintf(path, length, "%s/tabulon-XXXXXX", dir);
  int named = mkostemp(path, O_CLOEXEC);
  if (named < 0) {
    spill_log_failure(sp, "create", errno);
  } else {
    unlink(path);
  }
  free(path);
  return named;
}

// Writes n bytes at `at` and returns how many the file took; a shortfall is logged.
uint64_t spill_pwrite(SpillStream* sp, const uint8_t* bytes, uint64_t n, uint64_t at) {
  uint64_t done = 0;
  while (done < n) {
    ssize_t put = pwrite(sp->fd, bytes + done, n - done, static_cast<off_t>(at + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      spill_log_failure(sp, "write to", put < 0 ? errno : ENOSPC);
      break;
    }
    done += static_cast<uint64_t>(put);
  }
  return done;
}

// Moves the bytes from memory to a new temporary file and wipes them from memory; false (and
// nothing changed) when the file cannot take them.
bool spill_move_to_file(SpillStream* sp) {
  if (!sp->memory) return true;
  auto* m = reinterpret_cast<MemoryStream*>(sp->memory);
  int fd = spill_open_file(sp);
  if (fd < 0) return false;
  sp->fd = fd;
  if (spill_pwrite(sp, m->data, m->size, 0) != m->size) {
    close(fd);
    sp->fd = -1;
    return false;
  }
  LOG(LOG_INFO, "%llu bytes moved from memory to an unlinked temporary file in %s",
      static_cast<unsigned long long>(m->size), sp->directory);
  sp->size = m->size;
  sp->position = m->position;
  if (m->data) explicit_bzero(m->data, m->capacity);
  memory_close(sp->memory);
  sp->memory = nullptr;
  return true;
}

// The window that holds the byte at the position, loading the least recently used one there
// when none does; null on a read error (or when the cache memory cannot be had).
SpillWindow* spill_window_at(SpillStream* sp) {
  if (!sp->cache &&
      !(sp->cache = static_cast<uint8_t*>(malloc(SPILL_CACHE_WINDOWS * SPILL_CACHE_WINDOW))))
    return nullptr;
  SpillWindow* chosen = &sp->windows[0];
  bool hit = false;
  for (SpillWindow& w : sp->windows) {
    if (sp->position >= w.start && sp->position - w.start < w.fill) {
      chosen = &w;
      hit = true;
      break;
    }
    if (w.last_use < chosen->last_use) chosen = &w;
  }
  if (!hit) {
    uint8_t* bytes = sp->cache + (chosen - sp->windows) * SPILL_CACHE_WINDOW;
    ssize_t got;
    do {
      got = pread(sp->fd, bytes, SPILL_CACHE_WINDOW, static_cast<off_t>(sp->position));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return nullptr;
    *chosen = SpillWindow{sp->position, static_cast<uint64_t>(got), 0};
  }
  chosen->last_use = ++sp->uses;
  return chosen;
}

int64_t spill_read(Stream* s, void* buffer, uint64_t n) {
  auto* sp = reinterpret_cast<SpillStream*>(s);
  if (sp->memory) return memory_read(sp->memory, buffer, n);
  if (sp->position >= sp->size || n == 0) return 0;
  SpillWindow* w = spill_window_at(sp);
  if (!w) return -1;
  const uint8_t* bytes = sp->cache + (w - sp->windows) * SPILL_CACHE_WINDOW;
  uint64_t offset = sp->position - w->start;
  uint64_t count = w->fill - offset < n ? w->fill - offset : n;
  memcpy(buffer, bytes + offset, count);
  sp->position += count;
  return static_cast<int64_t>(count);
}

int64_t spill_write(Stream* s, const void* buffer, uint64_t n) {
  auto* sp = reinterpret_cast<SpillStream*>(s);
  if (n == 0) return 0;
  if (sp->memory) {
    auto* m = reinterpret_cast<MemoryStream*>(sp->memory);
    if (m->position <= sp->threshold && n <= sp->threshold - m->position)
      return memory_write(sp->memory, buffer, n);
    if (!spill_move_to_file(sp)) return -1;
  }
  if (n > MEMORY_LIMIT || sp->position > MEMORY_LIMIT) return -1;
  uint64_t put = spill_pwrite(sp, static_cast<const uint8_t*>(buffer), n, sp->position);
  // Windows that hold bytes this write changed are dropped.
  for (SpillWindow& w : sp->windows)
    if (sp->position < w.start + w.fill && w.start < sp->position + put) w.fill = 0;
  sp->position += put;
  if (sp->position > sp->size) sp->size = sp->position;
  return put ? static_cast<int64_t>(put) : -1;
}

int64_t spill_tell(Stream* s) {
  auto* sp = reinterpret_cast<SpillStream*>(s);
  return sp->memory ? memory_tell(sp->memory) : static_cast<int64_t>(sp->position);
}

int64_t spill_seek(Stream* s, int64_t offset, int32_t origin) {
  auto* sp = reinterpret_cast<SpillStream*>(s);
  if (sp->memory) return memory_seek(sp->memory, offset, origin);
  int64_t target = stream_seek_target(sp->position, sp->size, offset, origin);
  if (target >= 0) sp->position = static_cast<uint64_t>(target);
  return target;
}

int32_t spill_close(Stream* s) {
  auto* sp = reinterpret_cast<SpillStream*>(s);
  if (sp->memory) memory_close(sp->memory);
  if (sp->fd >= 0) close(sp->fd);  // the file was never linked: its blocks are freed
  free(sp->cache);
  free(sp);
  return 0;
}

constexpr StreamOps SPILL_OPS{spill_read, spill_write, spill_tell, spill_seek, spill_close};

}  // namespace

Stream* spill_stream_new(uint64_t threshold) {
  auto* sp = static_cast<SpillStream*>(calloc(1, sizeof(SpillStream)));
  if (!sp) return nullptr;
  sp->memory = memory_stream_new();
  if (!sp->memory) {
    free(sp);
    return nullptr;
  }
  sp->base.ops = &SPILL_OPS;
  sp->threshold = threshold;
  sp->fd = -1;
  return &sp->base;
}

bool spill_stream_to_file(Stream* s) {
  return spill_move_to_file(reinterpret_cast<SpillStream*>(s));
}

uint8_t* spill_stream_append_room(Stream* s, uint64_t n) {
  auto* sp = reinterpret_cast<SpillStream*>(s);
  if (!sp->memory) return nullptr;
  uint64_t size = reinterpret_cast<MemoryStream*>(sp->memory)->size;
  if (size > sp->threshold || n > sp->threshold - size) return nullptr;
  return memory_stream_append_room(sp->memory, n);
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

// Loads up to capacity bytes from `position` of the inner stream into the window and returns
// the count; 0 at the end and -1 on an error leave the window as it was.
int64_t buffered_load(BufferedStream* b, int64_t position) {
  if (stream_seek(b->inner, position, SEEK_FROM_START) != position) return -1;
  int64_t n = stream_read(b->inner, b->buffer, b->capacity);
  if (n <= 0) return n < 0 ? -1 : 0;
  b->window_start = position;
  b->cursor = 0;
  b->fill = static_cast<uint64_t>(n);
  return n;
}

int64_t buffered_read(Stream* s, void* buffer, uint64_t n) {
  auto* b = reinterpret_cast<BufferedStream*>(s);
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t delivered = 0;
  while (delivered < n) {
    if (b->cursor == b->fill) {
      int64_t loaded = buffered_load(b, b->window_start + static_cast<int64_t>(b->cursor));
      if (loaded < 0 && delivered == 0) return -1;
      if (loaded <= 0) break;
    }
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
  int64_t end = origin == SEEK_FROM_END ? stream_seek(b->inner, 0, SEEK_FROM_END) : 0;
  if (end < 0) return -1;
  int64_t position = buffered_tell(s);
  if (position < 0) return -1;
  int64_t target = stream_seek_target(static_cast<uint64_t>(position), static_cast<uint64_t>(end),
                                      offset, origin);
  if (target < 0) return -1;
  if (target >= b->window_start && target <= b->window_start + static_cast<int64_t>(b->fill)) {
    b->cursor = static_cast<uint64_t>(target - b->window_start);
  } else {
    // An empty window at the target: the next read loads it.
    b->window_start = target;
    b->cursor = 0;
    b->fill = 0;
  }
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
  int64_t end;       // 0 or negative: no end
  int64_t position;  // relative to start
};

// How many of n bytes lie before the end; 0 at or beyond it.
uint64_t sub_room(const SubStream* sub, uint64_t n) {
  if (sub->end <= 0) return n;
  int64_t length = sub->end - sub->start;
  if (sub->position >= length) return 0;
  uint64_t room = static_cast<uint64_t>(length - sub->position);
  return n < room ? n : room;
}

// Moves inner to the sub-stream's position; false when the position cannot be reached there.
bool sub_place_inner(SubStream* sub) {
  int64_t at;
  return !__builtin_add_overflow(sub->start, sub->position, &at) &&
         stream_seek(sub->inner, at, SEEK_FROM_START) == at;
}

int64_t sub_read(Stream* s, void* buffer, uint64_t n) {
  auto* sub = reinterpret_cast<SubStream*>(s);
  n = sub_room(sub, n);
  if (n == 0) return 0;
  if (!sub_place_inner(sub)) return -1;
  int64_t got = stream_read(sub->inner, buffer, n);
  if (got > 0) sub->position += got;
  return got;
}

int64_t sub_write(Stream* s, const void* buffer, uint64_t n) {
  auto* sub = reinterpret_cast<SubStream*>(s);
  n = sub_room(sub, n);
  if (n == 0) return 0;
  if (!sub_place_inner(sub)) return -1;
  int64_t put = stream_write(sub->inner, buffer, n);
  if (put > 0) sub->position += put;
  return put;
}

int64_t sub_tell(Stream* s) { return reinterpret_cast<SubStream*>(s)->position; }

int64_t sub_seek(Stream* s, int64_t offset, int32_t origin) {
  auto* sub = reinterpret_cast<SubStream*>(s);
  int64_t size = 0;  // of the sub-stream, needed for a seek from its end only
  if (origin == SEEK_FROM_END) {
    int64_t end = sub->end > 0 ? sub->end : stream_size(sub->inner);
    if (end < 0) return -1;
    size = end > sub->start ? end - sub->start : 0;
  }
  int64_t target = stream_seek_target(static_cast<uint64_t>(sub->position),
                                      static_cast<uint64_t>(size), offset, origin);
  int64_t at;
  if (target < 0 || __builtin_add_overflow(sub->start, target, &at)) return -1;
  sub->position = target;
  return target;
}

int32_t sub_close(Stream* s) {
  free(s);
  return 0;
}

constexpr StreamOps SUB_OPS{sub_read, sub_write, sub_tell, sub_seek, sub_close};

}  // namespace

Stream* sub_stream_new(Stream* inner, int64_t start, int64_t end) {
  if (!inner || start < 0 || (end > 0 && end < start)) return nullptr;
  auto* sub = static_cast<SubStream*>(calloc(1, sizeof(SubStream)));
  if (!sub) return nullptr;
  sub->base.ops = &SUB_OPS;
  sub->inner = inner;
  sub->start = start;
  sub->end = end;
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

bool stream_bytes_view(const Stream* s, const uint8_t** data, uint64_t* size) {
  if (s && s->ops == &SPILL_OPS) s = reinterpret_cast<const SpillStream*>(s)->memory;
  if (!s) return false;
  if (s->ops == &MEMORY_OPS) {
    const auto* m = reinterpret_cast<const MemoryStream*>(s);
    *data = m->data;
    *size = m->size;
    return true;
  }
  if (s->ops != &BYTES_OPS) return false;
  const auto* b = reinterpret_cast<const BytesStream*>(s);
  *data = b->data;
  *size = b->size;
  return true;
}
