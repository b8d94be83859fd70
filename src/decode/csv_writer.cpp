// CSV output files: header on creation, one formatted row per decoded frame, close at the end
// of the output set.
#include "decode/csv_writer.h"

#include <cstdlib>
#include <utility>

namespace {

constexpr uint64_t LINE_CAPACITY = 256;

// Rows of up to nine values are formatted with one call and one format string each.
constexpr int FIXED_ROW_VALUES = 9;
constexpr const char* ROW_FORMATS[FIXED_ROW_VALUES + 1] = {
    "",
    "%f,%f\n",
    "%f,%f,%f\n",
    "%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f,%f,%f,%f,%f\n",
    "%f,%f,%f,%f,%f,%f,%f,%f,%f,%f\n",
};

using RowFormatter = int64_t (*)(DynString* line, double time, const double* values);

template <size_t N>
int64_t format_fixed_row(DynString* line, double time, const double* values) {
  return [&]<size_t... I>(std::index_sequence<I...>) {
    return dynstring_format_stb(line, ROW_FORMATS[N], time, values[I]...);
  }
  (std::make_index_sequence<N>{});
}

constexpr RowFormatter ROW_FORMATTERS[FIXED_ROW_VALUES + 1] = {
    nullptr,
    format_fixed_row<1>,
    format_fixed_row<2>,
    format_fixed_row<3>,
    format_fixed_row<4>,
    format_fixed_row<5>,
    format_fixed_row<6>,
    format_fixed_row<7>,
    format_fixed_row<8>,
    format_fixed_row<9>,
};

bool format_row(DynString* line, double time, const double* values, uint32_t count) {
  if (count == 0) return true;
  if (count <= FIXED_ROW_VALUES) return ROW_FORMATTERS[count](line, time, values) >= 0;
  if (dynstring_format_stb(line, "%f", time) < 0) return false;
  for (uint32_t i = 0; i < count; ++i)
    if (dynstring_format_stb(line, ",%f", values[i]) < 0) return false;
  return dynstring_append(line, "\n", 1) != nullptr;
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
  FILE* stream = fopen(dynstring_data(&file_name.s), "wb");
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
