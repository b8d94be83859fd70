// Fuzz target: arbitrary bytes as an unfinished Parquet file to resume (its page headers are
// read by the Thrift compact reader), and as a lone page header. A resumed writer must take
// more rows and finish; a header that reads must read back the same after writing it again.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common.h"
#include "output/parquet_format.h"
#include "output/parquet_writer.h"
#include "parquet_setup.h"

namespace {

bool same_header(const PageHeader& a, const PageHeader& b) {
  return a.type == b.type && a.uncompressed_size == b.uncompressed_size &&
         a.compressed_size == b.compressed_size && a.num_values == b.num_values &&
         a.encoding == b.encoding && a.definition_encoding == b.definition_encoding &&
         a.repetition_encoding == b.repetition_encoding && a.has_null_count == b.has_null_count &&
         (!a.has_null_count || a.null_count == b.null_count) && a.has_min_max == b.has_min_max &&
         (!a.has_min_max || (memcmp(a.min, b.min, 8) == 0 && memcmp(a.max, b.max, 8) == 0));
}

void check_header(const uint8_t* data, size_t size) {
  PageHeader h, again;
  uint64_t length, again_length;
  if (!page_header_read(data, size, &h, &length)) return;
  if (length > size) __builtin_trap();
  ByteBuffer out{};
  if (page_header_write(&out, &h) &&
      (!page_header_read(out.data, out.size, &again, &again_length) || again_length != out.size ||
       !same_header(h, again))) {
    __builtin_trap();
  }
  byte_buffer_free(&out);
}

void resume(const fuzz::ParquetFuzzSetup& chosen, const uint8_t* data, size_t size) {
  Stream* file = fuzz::memory_stream_of(data, size);
  if (!file) return;
  ParquetStatus status;
  ParquetWriter* w = parquet_writer_resume(&chosen.setup, file, &status);
  if (w) {
    uint64_t rows = parquet_writer_written_rows(w);
    ParquetCell cells[3];
    for (uint32_t i = 0; i < 3; ++i) {
      cells[i] = chosen.columns[i].kind == PARQUET_STRING ? parquet_text(StringView("x", 1))
                                                          : parquet_number(1.5);
    }
    bool ok = parquet_writer_append(w, 1, cells, chosen.setup.column_count) &&
              parquet_writer_append(w, 2, cells, chosen.setup.column_count) &&
              parquet_writer_finish(w);
    if (!ok || parquet_writer_written_rows(w) != rows + 2) __builtin_trap();
    parquet_writer_free(w);
  } else if (status != PARQUET_BAD_FILE && status != PARQUET_NO_MEMORY) {
    __builtin_trap();  // a memory stream never fails
  }
  stream_close(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_logs();
  if (size == 0) return 0;
  check_header(data + 1, size - 1);
  resume(fuzz::ParquetFuzzSetup(data[0]), data + 1, size - 1);
  return 0;
}
