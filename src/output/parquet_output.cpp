// Parquet output files from the binary rows stage A writes: `t` the microsecond the CSV's six
// decimals name, each number the double the CSV's six-decimal text spells, a cell of a column of
// texts (values with a value table) a STRING holding the CSV cell's text unquoted, a null cell
// null.
#include "output/parquet_output.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "decode/row_stream.h"
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
  OutputWriter base;
  FdStream stream;
  ParquetWriter* writer;
  uint32_t count;
  DynString columns_path;  // "<file>.columns" while the file is unfinished
  ParquetCell* cells;      // the row being appended
};

// One binary row with cell kinds (see RowValueCell) into the writer's cells; false when it is
// not one of this file's rows. (A row of numbers only goes to the writer as it is.)
bool read_row(ParquetOutput* out, const uint8_t* row, uint64_t size, int64_t* time_us) {
  uint64_t numbers = 8 + 8 * uint64_t{out->count};
  if (size < numbers || size - numbers < out->count) return false;
  memcpy(time_us, row, 8);
  const uint8_t* kinds = row + numbers;
  const uint8_t* text = kinds + out->count;
  const uint8_t* end = row + size;
  for (uint32_t i = 0; i < out->count; ++i) {
    ParquetCell* cell = &out->cells[i];
    if (kinds[i] == ROW_CELL_NUMBER) {
      *cell = parquet_number(0);
      memcpy(&cell->number, row + 8 + 8 * uint64_t{i}, 8);
    } else if (kinds[i] == ROW_CELL_NULL) {
      *cell = parquet_null();
    } else if (kinds[i] == ROW_CELL_TEXT) {
      uint32_t length;
      if (end - text < 4) return false;
      memcpy(&length, text, 4);
      text += 4;
      if (static_cast<uint64_t>(end - text) < length) return false;
      *cell = parquet_text({reinterpret_cast<const char*>(text), length});
      text += length;
    } else {
      return false;
    }
  }
  return text == end;
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

void free_output(OutputWriter* writer) {
  auto* out = reinterpret_cast<ParquetOutput*>(writer);
  if (!out) return;
  parquet_writer_free(out->writer);
  dynstring_free(&out->columns_path);
  free(out->cells);
  free(out);
}

// The kinds of the columns ('s' a STRING column, 'n' numbers; empty: all numbers) onto the
// columns; false when they do not fit the columns.
bool apply_kinds(ParquetOutput* out, std::string_view kinds, GrowArray<ParquetColumn>* columns) {
  if (kinds.empty()) return true;
  if (kinds.size() != out->count) return false;
  for (uint32_t i = 0; i < out->count; ++i) {
    if (kinds[i] != 's' && kinds[i] != 'n') return false;
    if (kinds[i] == 's') (*columns)[static_cast<int32_t>(i)].kind = PARQUET_STRING;
  }
  return true;
}

// The column record of a file: the header line, then, when a column holds texts, the kinds
// and a line feed. Splits a record read back into the two.
void split_column_record(std::string_view record, std::string_view* header,
                         std::string_view* kinds) {
  size_t line = record.find('\n');
  *header = line == std::string_view::npos ? record : record.substr(0, line + 1);
  *kinds = line == std::string_view::npos ? std::string_view() : record.substr(line + 1);
  if (!kinds->empty() && kinds->back() == '\n') kinds->remove_suffix(1);
}

OutputWriter* open_output(int fd, const char* path, std::string_view header, std::string_view kinds,
                          uint32_t count, bool resume) {
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
    split_column_record(saved.view(), &header, &kinds);
  } else if (ok && !kinds.empty()) {
    ok = dynstring_append(&saved.s, header) && dynstring_append(&saved.s, kinds) &&
         dynstring_append(&saved.s, "\n");
  }
  ok = ok && header_columns(header, count, &columns) && apply_kinds(out, kinds, &columns) &&
       (resume || write_columns_file(dynstring_data(&out->columns_path),
                                     kinds.empty() ? header : saved.view()));
  if (ok) {
    ParquetSetup setup{columns.items, count, nullptr, 0, 0, 0};
    ParquetStatus status = PARQUET_OK;
    out->writer = resume ? parquet_writer_resume(&setup, &out->stream.base, &status)
                         : parquet_writer_open(&setup, &out->stream.base, &status);
    if (!out->writer && status == PARQUET_BAD_FILE) errno = EINVAL;
    ok = out->writer != nullptr;
  }
  grow_array_free(&columns);
  if (ok) return &out->base;
  free_output(&out->base);
  return nullptr;
}

bool write_row(OutputWriter* writer, const uint8_t* row, uint64_t size) {
  auto* out = reinterpret_cast<ParquetOutput*>(writer);
  int64_t time_us;
  if (size == 8 + 8 * uint64_t{out->count}) {
    // A row of numbers only: no cell kinds follow the values.
    memcpy(&time_us, row, 8);
    if (!parquet_writer_append_numbers(out->writer, time_us, row + 8, out->count)) return false;
  } else if (!read_row(out, row, size, &time_us) ||
             !parquet_writer_append(out->writer, time_us, out->cells, out->count))
    return false;
  // Memory stays bounded: a file's rows go out as a row group once they take this much.
  return parquet_writer_buffered_bytes(out->writer) < PARQUET_OUTPUT_ROW_GROUP_BYTES ||
         parquet_writer_flush(out->writer);
}

bool flush_rows(OutputWriter* writer) {
  return parquet_writer_flush(reinterpret_cast<ParquetOutput*>(writer)->writer);
}

uint64_t file_size(const OutputWriter* writer) {
  return parquet_writer_file_size(reinterpret_cast<const ParquetOutput*>(writer)->writer);
}

bool finish_file(OutputWriter* writer) {
  auto* out = reinterpret_cast<ParquetOutput*>(writer);
  if (!parquet_writer_finish(out->writer)) return false;
  // The finished file needs its column record no more.
  unlink(dynstring_data(&out->columns_path));
  return true;
}

constexpr WriterOps PARQUET_OUTPUT = {".parquet", true,      open_output, nullptr,    write_row,
                                      flush_rows, file_size, finish_file, free_output};

}  // namespace

const WriterOps* parquet_output_format() { return &PARQUET_OUTPUT; }
