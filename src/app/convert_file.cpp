// The conversion of one input file: read buffer, container unwrapping with the device's
// password, the MDF file, and every bus frame of every data group handed to the converter.
#include "app/convert_file.h"

#include <cstdio>

#include "app/progress.h"
#include "decode/converter.h"
#include "io/fs_root.h"
#include "mdf/block.h"
#include "mdf/blocks.h"
#include "mdf/compressed_file.h"
#include "mdf/container.h"
#include "mdf/encrypted_file.h"
#include "mdf/records.h"
#include "support/log.h"

namespace {

constexpr int64_t CONTAINER_READ_WINDOW = int64_t{1} << 20;

// The password of the device (by its serial as 8 upper-case hexadecimal digits), else the
// "default" one; null when there is neither.
const StringMapEntry* device_password(const Converter* converter, uint32_t serial) {
  const PasswordStore* passwords = &converter->options->passwords;
  if (passwords->count == 0) return nullptr;
  char device_key[9];
  snprintf(device_key, sizeof device_key, "%08X", serial);
  const StringMapEntry* entry = string_map_find(passwords, device_key);
  return entry ? entry : string_map_find(passwords, "default");
}

// One container level replaced by its content; null (reported) when it cannot be decoded,
// with *result saying why. The outer stream stays open.
Stream* open_container(Converter* converter, Stream* stream, const ContainerHeader& header,
                       int32_t* result) {
  if (header.container_type == CONTAINER_TYPE_COMPRESSED) {
    LOG(LOG_INFO, "Found compressed file");
    Stream* decoded = compressed_file_open(stream, &header);
    if (!decoded) LOG(LOG_ERROR, "Could not decompress file");
    *result = CONVERT_DECOMPRESS_FAILED;
    return decoded;
  }
  *result = CONVERT_FAILED;
  if (header.container_type != CONTAINER_TYPE_ENCRYPTED) return nullptr;
  LOG(LOG_INFO, "Found encrypted file");
  *result = CONVERT_NO_PASSWORD;
  const StringMapEntry* entry = device_password(converter, header.device_serial);
  if (!entry) {
    LOG(LOG_ERROR, "No password found for device %08X", header.device_serial);
    return nullptr;
  }
  Stream* decoded = encrypted_file_open(stream, &header, dynstring_view(&entry->value));
  if (!decoded) LOG(LOG_ERROR, "Could not decrypt file");
  return decoded;
}

// Unwraps nested containers until a plain file remains. On success *stream is the innermost
// stream (every outer level closed); on failure everything is closed and the result code
// returned.
int32_t unwrap_containers(Converter* converter, Stream** stream) {
  ContainerHeader header;
  while (container_read_header(*stream, &header)) {
    int32_t result = CONVERT_OK;
    Stream* decoded = open_container(converter, *stream, header, &result);
    stream_close(*stream);
    if (!decoded) return result;
    *stream = decoded;
  }
  return CONVERT_OK;
}

// The input file under its read buffer: the whole file by default, or the buffer size of the
// options (0: no buffer). Null when the file cannot be opened or the buffer allocated (logged).
Stream* open_buffered_input(Converter* converter, std::string_view input_path) {
  const int path_length = static_cast<int>(input_path.size());
  Stream* stream = fs_open(converter->input_root, input_path, FS_OPEN_READ);
  if (!stream) {
    LOG(LOG_ERROR, "Could not open input file %.*s", path_length, input_path.data());
    return nullptr;
  }
  int64_t buffer_size = converter->options->buffer_size;
  if (buffer_size < 0) {
    buffer_size = stream_size(stream);
    // A container is read once from start to end and converted from its decoded copy in
    // memory: a window over the whole file would only hold a second copy of it.
    ContainerHeader header;
    if (buffer_size > CONTAINER_READ_WINDOW && container_read_header(stream, &header))
      buffer_size = CONTAINER_READ_WINDOW;
  }
  if (buffer_size <= 0) return stream;
  Stream* buffered = buffered_stream_new(stream, true, static_cast<uint64_t>(buffer_size));
  if (!buffered) {
    LOG(LOG_ERROR, "Could not allocate buffer of size %lld", static_cast<long long>(buffer_size));
    stream_close(stream);
  }
  return buffered;
}

// An input opened down to the header block of its MDF file.
struct OpenedLog {
  Stream* stream;
  MdfFile* file;
  HdBlock* hd;
};

// Opens, buffers and unwraps the input and opens its MDF file. On failure everything is
// closed and the result code returned.
int32_t open_log(Converter* converter, std::string_view input_path, OpenedLog* log) {
  *log = OpenedLog{};
  Stream* stream = open_buffered_input(converter, input_path);
  if (!stream) return CONVERT_FAILED;
  int32_t unwrapped = unwrap_containers(converter, &stream);
  if (unwrapped != CONVERT_OK) return unwrapped;
  MdfFile* file = mdf_open(stream);
  const char* failure = nullptr;
  if (!file) {
    failure = "Could not open MDF";
  } else if (!mdf_id(file)) {
    failure = "Could not read ID block";
  } else if (!(log->hd = mdf_hd(file))) {
    failure = "Could not read HD block";
  }
  if (failure) {
    LOG(LOG_ERROR, "%s", failure);
    if (file) mdf_close(file);
    stream_close(stream);
    return CONVERT_FAILED;
  }
  log->stream = stream;
  log->file = file;
  return CONVERT_OK;
}

// Hands every frame of every data group to the converter; false when any on_frame failed.
bool read_frames(Converter* converter, HdBlock* hd) {
  bool ok = true;
  for (const BlockRef& ref : hd->data_groups) {
    DgBlock* dg = dg_block(ref);
    if (!dg || dg->channel_groups.count == 0) continue;
    RecordReader* reader = record_reader_new(dg);
    if (!reader) {
      ok = false;
      continue;
    }
    RecordIterator it;
    for (record_iter_begin(&it, reader); it.frame; record_iter_next(&it)) {
      converter->input_frames += 1;
      progress_frame(converter->input_frames);
      if (!converter->ops->on_frame(converter, it.frame)) ok = false;
    }
    record_reader_free(reader);
  }
  return ok;
}

// The converter's file operations around the frames of the log; false when any failed.
bool run_converter(Converter* converter, std::string_view output_path, const OpenedLog& log) {
  // The converter sees the output path as a zero-terminated text.
  ScopedDynString output(output_path);
  const char* output_text = dynstring_data(&output.s);
  const ConverterOps* ops = converter->ops;
  bool success = true;
  converter->repeated_input = false;
  if (ops->on_file_begin && !ops->on_file_begin(converter, output_text, log.file)) {
    LOG(LOG_ERROR, "Error during new file callback");
    success = false;
  } else if (!converter->repeated_input && ops->on_frame) {
    success = read_frames(converter, log.hd);
  }
  if (ops->on_file_end && !ops->on_file_end(converter, output_text)) {
    LOG(LOG_ERROR, "Error during end file callback");
    success = false;
  }
  return success;
}

// Closes the log and, when it was converted and --delete-converted was given, removes the
// input. The result: CONVERT_OK only when the conversion succeeded and the input closed.
int32_t close_log(Converter* converter, std::string_view input_path, OpenedLog& log, bool success) {
  const int path_length = static_cast<int>(input_path.size());
  int32_t result = CONVERT_FAILED;
  bool closed = stream_close(log.stream) == 0;
  if (!closed) {
    LOG(LOG_ERROR, "Could not close input file after conversion: %.*s", path_length,
        input_path.data());
  } else if (success) {
    result = CONVERT_OK;
    if (converter->options->delete_converted && !fs_remove(converter->input_root, input_path))
      LOG(LOG_ERROR, "Could not remove input file after conversion: %.*s", path_length,
          input_path.data());
  }
  mdf_close(log.file);
  if (!closed) stream_close(log.stream);
  return result;
}

}  // namespace

int32_t convert_file(Converter* converter, std::string_view input_path,
                     std::string_view output_path) {
  if (!converter) return CONVERT_FAILED;
  OpenedLog log;
  int32_t opened = open_log(converter, input_path, &log);
  if (opened != CONVERT_OK) return opened;
  bool success = run_converter(converter, output_path, log);
  return close_log(converter, input_path, log, success);
}
