// Parquet output files from the CSV rows stage A formats: `t` (six decimals of seconds) becomes
// whole microseconds, each number a DOUBLE read back exactly from its text, a cell of a column of
// texts (values with a value table) a STRING, an empty cell null.
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
  OutputWriter base;
  FdStream stream;
  ParquetWriter* writer;
  uint32_t count;
  DynString columns_path;  // "<file>.columns" while the file is unfinished
  ParquetCell* cells;
  uint8_t* texts;                    // per value column: 1 for a STRING column; null: none
  DynString cell_text;               // the unquoted texts of the row being appended
  GrowArray<uint64_t> text_offsets;  // where each text cell's text begins in cell_text
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

// The end of a quoted cell that starts at `at` (its opening quote): the position after its
// closing quote; null when the text ends first. A doubled quote is a quote of the text.
const char* quoted_end(const char* at, const char* end) {
  for (++at; at < end; ++at) {
    if (*at != '"') continue;
    if (at + 1 < end && at[1] == '"') {
      ++at;
    } else {
      return at + 1;
    }
  }
  return nullptr;
}

// The cell of a STRING column from `at` (a quoted text, which may hold line feeds and reach
// past `line_end`, a plain text up to `line_end`, or empty for null); its text goes to
// out->cell_text, which the cell points into once the row is complete. Returns the end of the
// cell, or null for a quote that does not close or no memory.
const char* read_text_cell(ParquetOutput* out, const char* at, const char* line_end,
                           const char* end, uint32_t column) {
  const char* cell_end;
  uint64_t start = dynstring_length(&out->cell_text);
  bool ok = true;
  if (at < end && *at == '"') {
    cell_end = quoted_end(at, end);
    if (!cell_end) return nullptr;
    for (const char* c = at + 1; ok && c < cell_end - 1; ++c) {
      ok = dynstring_append(&out->cell_text, std::string_view(c, 1));
      if (*c == '"') ++c;
    }
  } else {
    cell_end = static_cast<const char*>(memchr(at, ',', static_cast<size_t>(line_end - at)));
    if (!cell_end) cell_end = line_end;
    ok =
        dynstring_append(&out->cell_text, std::string_view(at, static_cast<size_t>(cell_end - at)));
  }
  if (!ok || !grow_array_push(&out->text_offsets, start)) return nullptr;
  // The cell's text is set once the row's texts stop moving; an empty plain cell is null.
  out->cells[column] = at == cell_end ? parquet_null() : parquet_text({nullptr, 0});
  return cell_end;
}

// Points the text cells of the row into out->cell_text.
void place_texts(ParquetOutput* out) {
  int32_t k = 0;
  for (uint32_t i = 0; i < out->count; ++i) {
    if (!out->texts[i]) continue;
    uint64_t start = out->text_offsets[k];
    uint64_t stop =
        ++k < out->text_offsets.count ? out->text_offsets[k] : dynstring_length(&out->cell_text);
    if (out->cells[i].kind == PARQUET_TEXT)
      out->cells[i].text = {dynstring_data(&out->cell_text) + start, stop - start};
  }
}

// One row "<t>,<v>,...\n" from `at`; returns the position after it, or null when it is not
// such a row or the writer refused it. Only a text cell may be quoted (and hold line feeds).
const char* append_row(ParquetOutput* out, const char* at, const char* end) {
  const char* line_end = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
  if (!line_end) return nullptr;
  const char* field_end =
      static_cast<const char*>(memchr(at, ',', static_cast<size_t>(line_end - at)));
  if (!field_end) field_end = line_end;
  int64_t time_us;
  if (!parse_time(at, field_end, &time_us)) return nullptr;
  dynstring_clear(&out->cell_text);
  out->text_offsets.count = 0;
  for (uint32_t i = 0; i < out->count; ++i) {
    if (field_end >= end || *field_end != ',') return nullptr;
    at = field_end + 1;
    if (out->texts && out->texts[i]) {
      field_end = read_text_cell(out, at, line_end, end, i);
      if (!field_end || field_end >= end) return nullptr;
      // A quoted text may have held the line feed taken for the row's end.
      if (field_end > line_end) {
        line_end =
            static_cast<const char*>(memchr(field_end, '\n', static_cast<size_t>(end - field_end)));
        if (!line_end) return nullptr;
      }
      continue;
    }
    field_end = static_cast<const char*>(memchr(at, ',', static_cast<size_t>(line_end - at)));
    if (!field_end) field_end = line_end;
    if (!parse_cell(at, field_end, &out->cells[i])) return nullptr;
  }
  if (field_end != line_end) return nullptr;
  if (out->texts) place_texts(out);
  if (!parquet_writer_append(out->writer, time_us, out->cells, out->count)) return nullptr;
  return line_end + 1;
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
  free(out->texts);
  dynstring_free(&out->cell_text);
  grow_array_free(&out->text_offsets);
  free(out);
}

// The kinds of the columns ('s' a STRING column, 'n' numbers; empty: all numbers) onto the
// columns and the encoder; false when they do not fit the columns or memory ran out.
bool apply_kinds(ParquetOutput* out, std::string_view kinds, GrowArray<ParquetColumn>* columns) {
  if (kinds.empty()) return true;
  if (kinds.size() != out->count) return false;
  out->texts = static_cast<uint8_t*>(calloc(out->count, 1));
  if (!out->texts) return false;
  for (uint32_t i = 0; i < out->count; ++i) {
    if (kinds[i] != 's' && kinds[i] != 'n') return false;
    out->texts[i] = kinds[i] == 's';
    if (out->texts[i]) (*columns)[static_cast<int32_t>(i)].kind = PARQUET_STRING;
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

bool write_rows(OutputWriter* writer, std::string_view rows) {
  auto* out = reinterpret_cast<ParquetOutput*>(writer);
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

constexpr WriterOps PARQUET_OUTPUT = {".parquet", true,      open_output, write_rows,
                                      flush_rows, file_size, finish_file, free_output};

}  // namespace

const WriterOps* parquet_output_format() { return &PARQUET_OUTPUT; }
