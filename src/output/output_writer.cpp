// The writer interface's common part: the installed format, file creation and reopening, and
// the failure, durability and close rules every format shares.
#include "output/output_writer.h"

#include <unistd.h>

#include "io/durable_io.h"
#include "output/csv_writer.h"

namespace {

const WriterOps* installed_format = nullptr;

const WriterOps* format() { return installed_format ? installed_format : csv_writer_ops(); }

// The format's writer around the open file, or null (the file closed) when the format refuses
// it or memory runs out.
OutputWriter* attach(int fd, DynString* file_name, std::string_view header, std::string_view kinds,
                     uint32_t count, bool resume) {
  const WriterOps* ops = format();
  OutputWriter* writer = ops->open(fd, dynstring_data(file_name), header, kinds, count, resume);
  if (!writer) {
    close(fd);
    return nullptr;
  }
  writer->ops = ops;
  writer->fd = fd;
  writer->column_count = count;
  writer->path = *file_name;
  *file_name = DynString{};
  return writer;
}

}  // namespace

void output_set_format(const WriterOps* format) { installed_format = format; }

const char* output_file_extension() { return format()->extension; }

bool output_takes_binary_rows() { return format()->write_values != nullptr; }

bool output_files_whole_when_flushed() { return format()->finish == nullptr; }

OutputWriter* writer_open_names(const char* path, const char* const* names, uint32_t count) {
  if (!path || (count && !names)) return nullptr;
  ScopedDynString header;
  // A header that cannot be built would leave a file whose rows have no names: such a writer
  // is not created, and the caller reports the file.
  if (!csv_header_line(&header.s, names, count)) return nullptr;
  return writer_open(path, header.view(), count);
}

OutputWriter* writer_open(const char* path, std::string_view header, uint32_t count,
                          std::string_view kinds) {
  if (!path || header.empty()) return nullptr;
  ScopedDynString file_name;
  if (dynstring_format(&file_name.s, "%s%s", path, output_file_extension()) < 0) return nullptr;
  int fd = io_open_output(dynstring_data(&file_name.s), false);
  if (fd < 0) return nullptr;
  return attach(fd, &file_name.s, header, kinds, count, false);
}

OutputWriter* writer_open_append(const char* path, uint32_t count) {
  if (!path) return nullptr;
  ScopedDynString file_name;
  if (dynstring_format(&file_name.s, "%s%s", path, output_file_extension()) < 0) return nullptr;
  int fd = io_open_output(dynstring_data(&file_name.s), true, format()->resume_reads);
  if (fd < 0) return nullptr;
  return attach(fd, &file_name.s, {}, {}, count, true);
}

bool writer_write(OutputWriter* writer, std::string_view rows, uint32_t count) {
  if (!writer || writer->failed || count != writer->column_count || !writer->ops->write)
    return false;
  writer->unsynced = 1;
  if (writer->ops->write(writer, rows)) return true;
  writer->failed = 1;
  return false;
}

bool writer_write_values(OutputWriter* writer, const uint8_t* row, uint64_t size, uint32_t count) {
  if (!writer || writer->failed || count != writer->column_count || !writer->ops->write_values)
    return false;
  writer->unsynced = 1;
  if (writer->ops->write_values(writer, row, size)) return true;
  writer->failed = 1;
  return false;
}

bool writer_flush(OutputWriter* writer) {
  if (!writer) return false;
  if (!writer->failed && !writer->ops->flush(writer)) writer->failed = 1;
  return !writer->failed;
}

bool writer_sync(OutputWriter* writer) {
  if (!writer_flush(writer)) return false;
  if (!writer->unsynced) return true;
  if (!io_sync(writer->fd)) {
    writer->failed = 1;
    return false;
  }
  writer->unsynced = 0;
  return true;
}

uint64_t writer_size(const OutputWriter* writer) { return writer ? writer->ops->size(writer) : 0; }

const char* writer_path(const OutputWriter* writer) {
  return writer ? dynstring_data(&writer->path) : "";
}

bool writer_close(OutputWriter* writer) {
  if (!writer) return true;
  bool ok = writer_flush(writer);
  // A failed file keeps its last bytes unwritten: it stays unfinished, as a cut-back file is.
  if (writer->ops->finish) ok = ok && writer->ops->finish(writer);
  int fd = writer->fd;
  DynString path = writer->path;
  writer->ops->free(writer);
  if (close(fd) != 0) ok = false;
  dynstring_free(&path);
  return ok;
}
