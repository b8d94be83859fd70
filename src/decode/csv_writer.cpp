// CSV output files: header on creation, one formatted row per decoded frame, close at the end
// of the output set.
#include "decode/csv_writer.h"

#include <cstdlib>

#include "io/fs_root.h"
#include "support/fixed_format.h"

namespace {

constexpr uint64_t LINE_CAPACITY = 512;

// Room for one value's text, its separator and the row's end.
constexpr uint64_t VALUE_ROOM = FIXED6_TEXT_MAX + 2;

// "<time>,<value>,...\n", every number as "%f" writes it. The line keeps its capacity from row
// to row, so it is reserved once for the longest row the writer has seen.
bool format_row(DynString* line, double time, const double* values, uint32_t count) {
  if (count == 0) return true;
  for (uint32_t i = 0; i <= count; ++i) {
    uint64_t length = dynstring_length(line);
    char* data = dynstring_reserve(line, length + VALUE_ROOM);
    if (!data) return false;
    char* start = data + length;
    char* out = start;
    if (i) *out++ = ',';
    out = format_fixed6(out, i ? values[i - 1] : time);
    if (i == count) *out++ = '\n';
    dynstring_extend(line, static_cast<uint64_t>(out - start));  // inside the reserved room
  }
  return true;
}

bool build_header(DynString* header, const char* const* names, uint32_t count) {
  if (!dynstring_append(header, "t,")) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (!names[i] || dynstring_format(header, "%s,", names[i]) < 0) return false;
  }
  // The text always ends in the "," after the last name (or after "t").
  dynstring_data(header)[dynstring_length(header) - 1] = '\n';
  return true;
}

}  // namespace

CsvWriter* csv_writer_open(const char* path, const char* const* names, uint32_t count) {
  if (!path || (count && !names)) return nullptr;
  ScopedDynString file_name;
  if (dynstring_format(&file_name.s, "%s.csv", path) < 0) return nullptr;
  FILE* stream = path_open_file(dynstring_data(&file_name.s), FS_OPEN_WRITE);
  if (!stream) return nullptr;
  auto* writer = static_cast<CsvWriter*>(calloc(1, sizeof(CsvWriter)));
  if (!writer) {
    fclose(stream);
    return nullptr;
  }
  writer->stream = stream;
  writer->path = file_name.s;
  file_name.s = DynString{};
  writer->column_count = count;
  ScopedDynString header;
  // A header that cannot be built or handed over whole would leave a file whose rows have no
  // names: such a writer is not created, and the caller reports the file.
  if (!dynstring_with_capacity(&writer->line, LINE_CAPACITY) ||
      !build_header(&header.s, names, count) ||
      fwrite(dynstring_data(&header.s), 1, dynstring_length(&header.s), stream) !=
          dynstring_length(&header.s)) {
    csv_writer_close(writer);
    return nullptr;
  }
  return writer;
}

bool csv_write_row(CsvWriter* writer, double time, const double* values, uint32_t count) {
  if (!writer || count != writer->column_count || (count && !values)) return false;
  dynstring_clear(&writer->line);
  // A row that cannot be formatted (memory) is as lost as one the file did not take.
  if (format_row(&writer->line, time, values, count)) {
    uint64_t length = dynstring_length(&writer->line);
    if (length == 0 || fwrite(dynstring_data(&writer->line), 1, length, writer->stream) == length)
      return true;
  }
  writer->failed = 1;
  return false;
}

bool csv_writer_flush(CsvWriter* writer) {
  if (!writer) return false;
  if (fflush(writer->stream) != 0 || ferror(writer->stream)) writer->failed = 1;
  return !writer->failed;
}

const char* csv_writer_path(const CsvWriter* writer) {
  return writer ? dynstring_data(&writer->path) : "";
}

bool csv_writer_close(CsvWriter* writer) {
  if (!writer) return true;
  bool ok = true;
  if (writer->stream) {
    // ferror catches a write that failed earlier even when close itself succeeds.
    ok = !writer->failed && !ferror(writer->stream);
    if (fclose(writer->stream) != 0) ok = false;
  }
  dynstring_free(&writer->line);
  dynstring_free(&writer->path);
  free(writer);
  return ok;
}
