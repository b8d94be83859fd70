// Parquet output files from the CSV rows stage A formats: `t` (six decimals of seconds) becomes
// whole microseconds, each number a DOUBLE read back exactly from its text, an empty cell null.
#include "output/parquet_output.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "output/parquet_writer.h"
#include "support/grow_array.h"

namespace {

// A stream over the output file's descriptor: appends at its end, reads by position (resume).
struct FdStream {
  Stream base;
  int fd;
  int64_t position;
};

int64_t fd_read(Stream* s, void* buffer, uint64_t n) {
  auto* f = reinterpret_cast<FdStream*>(s);
  ssize_t got = pread(f->fd, buffer, n, f->position);
  if (got < 0) return -1;
  f->position += got;
  return got;
}

int64_t fd_write(Stream* s, const void* buffer, uint64_t n) {
  auto* f = reinterpret_cast<FdStream*>(s);
  ssize_t put = write(f->fd, buffer, n);
  if (put < 0) return -1;
  f->position += put;
  return put;
}

int64_t fd_tell(Stream* s) { return reinterpret_cast<FdStream*>(s)->position; }

int64_t fd_seek(Stream* s, int64_t offset, int32_t origin) {
  auto* f = reinterpret_cast<FdStream*>(s);
  off_t size = lseek(f->fd, 0, SEEK_END);
  if (size < 0) return -1;
  int64_t target = stream_seek_target(static_cast<uint64_t>(f->position),
                                      static_cast<uint64_t>(size), offset, origin);
  if (target < 0) return -1;
  f->position = target;
  return target;
}

constexpr StreamOps FD_STREAM_OPS = {fd_read, fd_write, fd_tell, fd_seek, nullptr};

struct ParquetOutput {
  FdStream stream;
  ParquetWriter* writer;
  uint32_t count;
  DynString columns_path;  // "<file>.columns" while the file is unfinished
  ParquetCell* cells;
};

// The value of a CSV cell: null when empty, else the number its text spells (the six-decimal
// form is read by integer arithmetic, which rounds exactly as strtod does). False when the
// cell is no number.
bool parse_cell(const char* at, const char* end, ParquetCell* cell) {
  if (at == end) {
    *cell = parquet_null();
    return true;
  }
  const char* p = at;
  bool negative = *p == '-';
  if (negative) ++p;
  uint64_t mantissa = 0;
  int digits = 0, decimals = -1;
  for (; p < end; ++p) {
    if (*p == '.' && decimals < 0) {
      decimals = 0;
    } else if (*p >= '0' && *p <= '9') {
      mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
      ++digits;
      if (decimals >= 0) ++decimals;
    } else {
      break;
    }
  }
  if (p == end && decimals == 6 && digits <= 15) {
    double value = static_cast<double>(mantissa) / 1e6;
    *cell = parquet_number(negative ? -value : value);
    return true;
  }
  char text[400];
  if (end - at >= static_cast<ptrdiff_t>(sizeof text)) return false;
  memcpy(text, at, static_cast<size_t>(end - at));
  text[end - at] = 0;
  char* stop = nullptr;
  double value = strtod(text, &stop);
  if (stop != text + (end - at)) return false;
  *cell = parquet_number(value);
  return true;
}

// Microseconds of a row time "<seconds>.<six digits>"; false for another form.
bool parse_time(const char* at, const char* end, int64_t* time_us) {
  bool negative = at < end && *at == '-';
  if (negative) ++at;
  int64_t value = 0;
  int decimals = -1;
  for (; at < end; ++at) {
    if (*at == '.' && decimals < 0) {
      decimals = 0;
    } else if (*at >= '0' && *at <= '9' && value < INT64_MAX / 10 - 9) {
      value = value * 10 + (*at - '0');
      if (decimals >= 0) ++decimals;
    } else {
      return false;
    }
  }
  if (decimals != 6) return false;
  *time_us = negative ? -value : value;
  return true;
}

// One row "<t>,<v>,...\n" from `at`; returns the position after it, or null when it is not
// such a row or the writer refused it.
const char* append_row(ParquetOutput* out, const char* at, const char* end) {
  const char* stop = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
  if (!stop) return nullptr;
  const char* field_end = static_cast<const char*>(memchr(at, ',', static_cast<size_t>(stop - at)));
  if (!field_end) field_end = stop;
  int64_t time_us;
  if (!parse_time(at, field_end, &time_us)) return nullptr;
  for (uint32_t i = 0; i < out->count; ++i) {
    if (field_end == stop) return nullptr;
    at = field_end + 1;
    field_end = static_cast<const char*>(memchr(at, ',', static_cast<size_t>(stop - at)));
    if (!field_end) field_end = stop;
    if (!parse_cell(at, field_end, &out->cells[i])) return nullptr;
  }
  if (field_end != stop) return nullptr;
  if (!parquet_writer_append(out->writer, time_us, out->cells, out->count)) return nullptr;
  return stop + 1;
}

// Splits "t,<name>,...\n" into the value columns' names (views into `header`).
bool header_columns(std::string_view header, uint32_t count, GrowArray<ParquetColumn>* columns) {
  if (header.substr(0, 2) != "t," && header != "t\n") return false;
  if (!header.empty() && header.back() == '\n') header.remove_suffix(1);
  header.remove_prefix(header.size() > 1 ? 2 : 1);
  while (columns->count < static_cast<int32_t>(count)) {
    size_t comma = header.find(',');
    std::string_view name = header.substr(0, comma);
    if (!grow_array_push(columns, ParquetColumn{{name.data(), name.size()}, PARQUET_DOUBLE}))
      return false;
    if (comma == std::string_view::npos) break;
    header.remove_prefix(comma + 1);
  }
  return columns->count == static_cast<int32_t>(count);
}

// Reads the whole small file `path` into `out`; false when it cannot.
bool read_small_file(const char* path, DynString* out) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char buffer[65536];
  bool ok = true;
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    if (!dynstring_append(out, std::string_view(buffer, static_cast<size_t>(got)))) ok = false;
  }
  close(fd);
  return ok;
}

// Writes the header line as the file's column record.
bool write_columns_file(const char* path, std::string_view header) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, header.data(), header.size()) == static_cast<ssize_t>(header.size());
  return close(fd) == 0 && ok;
}

void free_output(void* encoder) {
  auto* out = static_cast<ParquetOutput*>(encoder);
  if (!out) return;
  parquet_writer_free(out->writer);
  dynstring_free(&out->columns_path);
  free(out->cells);
  free(out);
}

void* open_output(int fd, const char* path, std::string_view header, uint32_t count, bool resume) {
  auto* out = static_cast<ParquetOutput*>(calloc(1, sizeof(ParquetOutput)));
  if (!out) return nullptr;
  out->stream = FdStream{{&FD_STREAM_OPS}, fd, 0};
  out->count = count;
  out->cells = static_cast<ParquetCell*>(calloc(count ? count : 1, sizeof(ParquetCell)));
  ScopedDynString saved;
  GrowArray<ParquetColumn> columns{};
  bool ok = out->cells && dynstring_format(&out->columns_path, "%s.columns", path) >= 0;
  if (ok && resume) {
    ok = read_small_file(dynstring_data(&out->columns_path), &saved.s);
    header = saved.view();
  }
  ok = ok && header_columns(header, count, &columns) &&
       (resume || write_columns_file(dynstring_data(&out->columns_path), header));
  if (ok) {
    ParquetSetup setup{columns.items, count, nullptr, 0, 0, 0};
    ParquetStatus status = PARQUET_OK;
    out->writer = resume ? parquet_writer_resume(&setup, &out->stream.base, &status)
                         : parquet_writer_open(&setup, &out->stream.base, &status);
    if (!out->writer && status == PARQUET_BAD_FILE) errno = EINVAL;
    ok = out->writer != nullptr;
  }
  grow_array_free(&columns);
  if (ok) return out;
  free_output(out);
  return nullptr;
}

bool write_rows(void* encoder, std::string_view rows) {
  auto* out = static_cast<ParquetOutput*>(encoder);
  const char* at = rows.data();
  const char* end = at + rows.size();
  while (at < end) {
    at = append_row(out, at, end);
    if (!at) return false;
  }
  // Memory stays bounded: a file's rows go out as a row group once they take this much.
  return parquet_writer_buffered_bytes(out->writer) < PARQUET_OUTPUT_ROW_GROUP_BYTES ||
         parquet_writer_flush(out->writer);
}

bool flush_rows(void* encoder) {
  return parquet_writer_flush(static_cast<ParquetOutput*>(encoder)->writer);
}

uint64_t file_size(const void* encoder) {
  return parquet_writer_file_size(static_cast<const ParquetOutput*>(encoder)->writer);
}

bool finish_file(void* encoder) {
  auto* out = static_cast<ParquetOutput*>(encoder);
  if (!parquet_writer_finish(out->writer)) return false;
  // The finished file needs its column record no more.
  unlink(dynstring_data(&out->columns_path));
  return true;
}

constexpr OutputEncoder PARQUET_OUTPUT = {".parquet", open_output, write_rows, flush_rows,
                                          file_size,  finish_file, free_output};

}  // namespace

const OutputEncoder* parquet_output_encoder() { return &PARQUET_OUTPUT; }
