// CSV output files: header on creation, one formatted row per decoded frame collected in the
// writer's buffer, whole rows written, and the file cut back to its last whole row when the
// disk does not take them.
#include "output/csv_writer.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "decode/csv_format.h"
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
  writer->base.unsynced = 1;
  if (io_write_all(writer->base.fd, rows, size, &written)) {
    writer->file_size += size;
    return true;
  }
  uint64_t whole = written;
  while (whole > 0 && rows[whole - 1] != '\n') --whole;
  writer->file_size += whole;
  if (whole != written) {
    // Nothing more can be done if the cut fails too; the writer reports the file as failed.
    [[maybe_unused]] int cut = ftruncate(writer->base.fd, static_cast<off_t>(writer->file_size));
  }
  writer->base.failed = 1;
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

void free_writer(OutputWriter* base) {
  auto* writer = reinterpret_cast<CsvWriter*>(base);
  grown_buffer_bytes.fetch_sub(grown_part(writer->capacity), std::memory_order_relaxed);
  free(writer->buffer);
  free(writer);
}

// A new file starts with its header line; a resumed one goes on after its last whole row.
OutputWriter* open_writer(int fd, const char*, std::string_view header, std::string_view, uint32_t,
                          bool resume) {
  auto* writer = static_cast<CsvWriter*>(calloc(1, sizeof(CsvWriter)));
  char* buffer = static_cast<char*>(malloc(FIRST_BUFFER_CAPACITY));
  if (!writer || !buffer) {
    free(writer);
    free(buffer);
    return nullptr;
  }
  writer->base.fd = fd;
  writer->buffer = buffer;
  writer->capacity = FIRST_BUFFER_CAPACITY;
  bool started;
  if (resume) {
    int64_t size = io_file_size(fd);
    started = size >= 0;
    writer->file_size = static_cast<uint64_t>(size);
  } else {
    started = append_rows(writer, header.data(), header.size());
  }
  if (started) return &writer->base;
  free_writer(&writer->base);
  return nullptr;
}

bool write_text(OutputWriter* writer, std::string_view rows) {
  return append_rows(reinterpret_cast<CsvWriter*>(writer), rows.data(), rows.size());
}

bool flush_buffer(OutputWriter* writer) {
  return drain_buffer(reinterpret_cast<CsvWriter*>(writer));
}

uint64_t file_size(const OutputWriter* base) {
  auto* writer = reinterpret_cast<const CsvWriter*>(base);
  return writer->file_size + writer->buffered;
}

constexpr WriterOps CSV_WRITER_OPS{".csv",       false,     open_writer, write_text, nullptr,
                                   flush_buffer, file_size, nullptr,     free_writer};

}  // namespace

const WriterOps* csv_writer_ops() { return &CSV_WRITER_OPS; }
