// CSV output files: header on creation, one formatted row per decoded frame collected in the
// writer's buffer, whole rows written, and the file cut back to its last whole row when the
// disk does not take them.
#include "decode/csv_writer.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "decode/calendar.h"
#include "io/durable_io.h"
#include "support/fixed_format.h"

namespace {

// The buffer starts small, as most files take few rows, and doubles each time it fills: up to
// 8 KiB always, and on to 64 KiB (one write per 64 KiB of rows, an eighth of the system calls)
// while the buffers of all writers together hold at most 16 MiB beyond their first 8 KiB each,
// so that thousands of open files stay within a small bound.
constexpr uint32_t FIRST_BUFFER_CAPACITY = 4096;
constexpr uint32_t ALWAYS_BUFFER_CAPACITY = 8192;
constexpr uint32_t LARGEST_BUFFER_CAPACITY = 65536;
constexpr uint64_t GROWN_BUFFER_BUDGET = uint64_t{16} << 20;

const OutputEncoder* output_encoder = nullptr;

// Bytes of all writers' buffers beyond ALWAYS_BUFFER_CAPACITY each.
std::atomic<uint64_t> grown_buffer_bytes{0};

uint64_t grown_part(uint32_t capacity) {
  return capacity > ALWAYS_BUFFER_CAPACITY ? capacity - ALWAYS_BUFFER_CAPACITY : 0;
}

// Doubles the writer's buffer when the bound and the budget allow it and memory is there.
void grow_buffer(CsvWriter* writer) {
  uint32_t capacity = writer->capacity;
  if (capacity >= LARGEST_BUFFER_CAPACITY) return;
  uint64_t more = grown_part(capacity * 2) - grown_part(capacity);
  if (more > 0 &&
      grown_buffer_bytes.fetch_add(more, std::memory_order_relaxed) + more > GROWN_BUFFER_BUDGET) {
    grown_buffer_bytes.fetch_sub(more, std::memory_order_relaxed);
    return;
  }
  char* grown = static_cast<char*>(realloc(writer->buffer, capacity * 2));
  if (!grown) {
    grown_buffer_bytes.fetch_sub(more, std::memory_order_relaxed);
    return;
  }
  writer->buffer = grown;
  writer->capacity = capacity * 2;
}

// Writes whole rows (they end in line feeds) to the file. When the file takes only part of
// them, it is cut back to the last line feed it took, so no partial row stays; the writer has
// then failed.
bool write_rows(CsvWriter* writer, const char* rows, uint64_t size) {
  uint64_t written = 0;
  writer->unsynced = 1;
  if (io_write_all(writer->fd, rows, size, &written)) {
    writer->file_size += size;
    return true;
  }
  uint64_t whole = written;
  while (whole > 0 && rows[whole - 1] != '\n') --whole;
  writer->file_size += whole;
  if (whole != written) {
    // Nothing more can be done if the cut fails too; the writer reports the file as failed.
    [[maybe_unused]] int cut = ftruncate(writer->fd, static_cast<off_t>(writer->file_size));
  }
  writer->failed = 1;
  return false;
}

// Writes the buffer out; an empty buffer has nothing to do.
bool drain_buffer(CsvWriter* writer) {
  uint32_t size = writer->buffered;
  writer->buffered = 0;
  return size == 0 || write_rows(writer, writer->buffer, size);
}

// Puts whole rows behind the buffered ones: into the buffer when they fit (after writing it
// out when it is full, which lets it grow), else straight to the file.
bool append_rows(CsvWriter* writer, const char* rows, uint64_t size) {
  if (writer->buffered + size > writer->capacity) {
    if (!drain_buffer(writer)) return false;
    grow_buffer(writer);
    if (size > writer->capacity) return write_rows(writer, rows, size);
  }
  memcpy(writer->buffer + writer->buffered, rows, size);
  writer->buffered += static_cast<uint32_t>(size);
  return true;
}

// A writer around an open file; null (the file closed) when memory runs out.
CsvWriter* new_writer(int fd, DynString* file_name, uint32_t count) {
  auto* writer = static_cast<CsvWriter*>(calloc(1, sizeof(CsvWriter)));
  char* buffer = static_cast<char*>(malloc(FIRST_BUFFER_CAPACITY));
  if (!writer || !buffer) {
    free(writer);
    free(buffer);
    close(fd);
    return nullptr;
  }
  writer->fd = fd;
  writer->path = *file_name;
  *file_name = DynString{};
  writer->column_count = count;
  writer->buffer = buffer;
  writer->capacity = FIRST_BUFFER_CAPACITY;
  return writer;
}

// Hands the file to the installed encoder; false (the writer to be closed) when it refuses.
bool attach_encoder(CsvWriter* writer, std::string_view header, std::string_view kinds,
                    uint32_t count, bool resume) {
  writer->encoder =
      output_encoder->open(writer->fd, dynstring_data(&writer->path), header, kinds, count, resume);
  return writer->encoder != nullptr;
}

}  // namespace

void csv_set_output_encoder(const OutputEncoder* encoder) { output_encoder = encoder; }

const char* output_file_extension() { return output_encoder ? output_encoder->extension : ".csv"; }

bool output_encoder_installed() { return output_encoder != nullptr; }

char* csv_format_row(char* out, double time, const double* values, uint32_t count) {
  if (count == 0) return out;  // a row without values is no row
  out = format_fixed6(out, time);
  for (uint32_t i = 0; i < count; ++i) {
    *out++ = ',';
    out = format_fixed6(out, values[i]);
  }
  *out++ = '\n';
  return out;
}

namespace {

// Writes `value` as exactly `digits` decimal digits.
char* put_digits(char* out, int64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + digits;
}

// The time as "yyyy-mm-ddThh:mm:ss.uuuuuuZ": read back from its six-decimal text, so that both
// forms name the same microsecond.
char* format_iso_time(char* out, double time) {
  char fixed[FIXED6_TEXT_MAX];
  char* end = format_fixed6(fixed, time);
  int64_t seconds = 0;
  const char* at = fixed;
  for (; at < end && *at >= '0' && *at <= '9' && seconds < INT64_MAX / 100; ++at)
    seconds = seconds * 10 + (*at - '0');
  UtcDate date;
  bool plain = end - at == 7 && *at == '.' && at != fixed;
  if (!plain || !utc_date_from_seconds(static_cast<double>(seconds / 86400 * 86400), &date)) {
    memcpy(out, fixed, static_cast<size_t>(end - fixed));
    return out + (end - fixed);
  }
  int64_t second_of_day = seconds % 86400;
  out = put_digits(out, date.year, 4);
  *out++ = '-';
  out = put_digits(out, date.month, 2);
  *out++ = '-';
  out = put_digits(out, date.day, 2);
  *out++ = 'T';
  out = put_digits(out, second_of_day / 3600, 2);
  *out++ = ':';
  out = put_digits(out, second_of_day / 60 % 60, 2);
  *out++ = ':';
  out = put_digits(out, second_of_day % 60, 2);
  memcpy(out, at, 7);  // the point and six decimals
  out += 7;
  *out++ = 'Z';
  return out;
}

// The text as one CSV cell: as it is, or quoted with its quotes doubled when it holds a
// comma, a quote or a line break (or is empty, which would read as no value).
char* format_text_cell(char* out, std::string_view text) {
  bool quoted = text.empty() || text.find_first_of(",\"\r\n") != std::string_view::npos;
  if (!quoted) {
    memcpy(out, text.data(), text.size());
    return out + text.size();
  }
  *out++ = '"';
  for (char c : text) {
    if (c == '"') *out++ = '"';
    *out++ = c;
  }
  *out++ = '"';
  return out;
}

}  // namespace

char* csv_format_cells(char* out, double time, bool iso, const double* values,
                       const std::string_view* texts, uint32_t count) {
  if (count == 0) return out;
  out = iso ? format_iso_time(out, time) : format_fixed6(out, time);
  for (uint32_t i = 0; i < count; ++i) {
    *out++ = ',';
    out =
        texts && texts[i].data() ? format_text_cell(out, texts[i]) : format_fixed6(out, values[i]);
  }
  *out++ = '\n';
  return out;
}

bool csv_header_line(DynString* header, const char* const* names, uint32_t count) {
  if (!dynstring_append(header, "t,")) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (!names[i] || dynstring_format(header, "%s,", names[i]) < 0) return false;
  }
  // The text always ends in the "," after the last name (or after "t").
  dynstring_data(header)[dynstring_length(header) - 1] = '\n';
  return true;
}

CsvWriter* csv_writer_open(const char* path, const char* const* names, uint32_t count) {
  if (!path || (count && !names)) return nullptr;
  ScopedDynString header;
  // A header that cannot be built would leave a file whose rows have no names: such a writer
  // is not created, and the caller reports the file.
  if (!csv_header_line(&header.s, names, count)) return nullptr;
  return csv_writer_open_with_header(path, header.view(), count);
}

CsvWriter* csv_writer_open_with_header(const char* path, std::string_view header, uint32_t count,
                                       std::string_view kinds) {
  if (!path || header.empty()) return nullptr;
  ScopedDynString file_name;
  if (dynstring_format(&file_name.s, "%s%s", path, output_file_extension()) < 0) return nullptr;
  int fd = io_open_output(dynstring_data(&file_name.s), false);
  if (fd < 0) return nullptr;
  CsvWriter* writer = new_writer(fd, &file_name.s, count);
  bool started = writer && (output_encoder ? attach_encoder(writer, header, kinds, count, false)
                                           : append_rows(writer, header.data(), header.size()));
  if (writer && !started) {
    csv_writer_close(writer);
    writer = nullptr;
  }
  return writer;
}

CsvWriter* csv_writer_open_append(const char* path, uint32_t count) {
  if (!path) return nullptr;
  ScopedDynString file_name;
  if (dynstring_format(&file_name.s, "%s%s", path, output_file_extension()) < 0) return nullptr;
  // An encoder resumes its file from what it reads back of it.
  int fd = io_open_output(dynstring_data(&file_name.s), true, output_encoder != nullptr);
  if (fd < 0) return nullptr;
  int64_t size = io_file_size(fd);
  if (size < 0) {
    close(fd);
    return nullptr;
  }
  CsvWriter* writer = new_writer(fd, &file_name.s, count);
  if (writer) writer->file_size = static_cast<uint64_t>(size);
  if (writer && output_encoder && !attach_encoder(writer, {}, {}, count, true)) {
    csv_writer_close(writer);
    return nullptr;
  }
  return writer;
}

bool csv_write_text(CsvWriter* writer, std::string_view rows, uint32_t count) {
  if (!writer || writer->failed || count != writer->column_count) return false;
  if (writer->encoder) {
    writer->failed = 1;
    return false;
  }
  return append_rows(writer, rows.data(), rows.size());
}

bool csv_write_values(CsvWriter* writer, const uint8_t* row, uint64_t size, uint32_t count) {
  if (!writer || writer->failed || count != writer->column_count || !writer->encoder) return false;
  writer->unsynced = 1;
  if (output_encoder->write(writer->encoder, row, size)) return true;
  writer->failed = 1;
  return false;
}

bool csv_writer_flush(CsvWriter* writer) {
  if (!writer) return false;
  if (writer->encoder && !writer->failed && !output_encoder->flush(writer->encoder))
    writer->failed = 1;
  return drain_buffer(writer) && !writer->failed;
}

bool csv_writer_sync(CsvWriter* writer) {
  if (!csv_writer_flush(writer)) return false;
  if (!writer->unsynced) return true;
  if (!io_sync(writer->fd)) {
    writer->failed = 1;
    return false;
  }
  writer->unsynced = 0;
  return true;
}

uint64_t csv_writer_size(const CsvWriter* writer) {
  if (writer && writer->encoder) return output_encoder->size(writer->encoder);
  return writer ? writer->file_size + writer->buffered : 0;
}

const char* csv_writer_path(const CsvWriter* writer) {
  return writer ? dynstring_data(&writer->path) : "";
}

bool csv_writer_close(CsvWriter* writer) {
  if (!writer) return true;
  bool ok = csv_writer_flush(writer);
  if (writer->encoder) {
    // A failed file keeps no footer: it stays unfinished, as a cut-back file would be.
    ok = ok && output_encoder->finish(writer->encoder);
    output_encoder->free(writer->encoder);
  }
  if (close(writer->fd) != 0) ok = false;
  dynstring_free(&writer->path);
  grown_buffer_bytes.fetch_sub(grown_part(writer->capacity), std::memory_order_relaxed);
  free(writer->buffer);
  free(writer);
  return ok;
}
