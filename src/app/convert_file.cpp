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

// Unwraps nested containers until a plain file remains. On success *stream is the innermost
// stream (every outer level closed); on failure everything is closed and the result code
// returned.
int32_t unwrap_containers(Converter* converter, Stream** stream) {
  ContainerHeader header;
  while (container_read_header(*stream, &header)) {
    Stream* decoded = nullptr;
    if (header.container_type == CONTAINER_TYPE_COMPRESSED) {
      LOG(LOG_INFO, "Found compressed file");
      decoded = compressed_file_open(*stream, &header);
      if (!decoded) {
        LOG(LOG_ERROR, "Could not decompress file");
        stream_close(*stream);
        return CONVERT_DECOMPRESS_FAILED;
      }
    } else if (header.container_type == CONTAINER_TYPE_ENCRYPTED) {
      LOG(LOG_INFO, "Found encrypted file");
      char device_key[9];
      snprintf(device_key, sizeof device_key, "%08X", header.device_serial);
      const PasswordStore* passwords = &converter->options->passwords;
      const StringMapEntry* entry = nullptr;
      if (passwords->count > 0) {
        entry = string_map_find(passwords, device_key);
        if (!entry) entry = string_map_find(passwords, "default");
      }
      if (!entry) {
        LOG(LOG_ERROR, "No password found for device %08X", header.device_serial);
        stream_close(*stream);
        return CONVERT_NO_PASSWORD;
      }
      decoded = encrypted_file_open(*stream, &header, dynstring_view(&entry->value));
      if (!decoded) {
        LOG(LOG_ERROR, "Could not decrypt file");
        stream_close(*stream);
        return CONVERT_NO_PASSWORD;
      }
    } else {
      stream_close(*stream);
      return CONVERT_FAILED;
    }
    stream_close(*stream);
    *stream = decoded;
  }
  return CONVERT_OK;
}

// Hands every frame of every data group with bus frames to the converter; false when any
// on_frame failed or a data group could not be read to its end.
bool read_frames(Converter* converter, HdBlock* hd) {
  bool ok = true;
  for (const BlockRef& ref : hd->data_groups) {
    DgBlock* dg = dg_block(ref);
    if (!dg || !dg_has_bus_groups(dg)) continue;
    // The on_frame slot is looked up per group: the converter may clear it for a repeated file.
    if (!converter->ops->on_frame) continue;
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
    if (record_reader_failed(reader)) ok = false;
    record_reader_free(reader);
  }
  return ok;
}

}  // namespace

int32_t convert_file(Converter* converter, std::string_view input_path,
                     std::string_view output_path) {
  if (!converter) return CONVERT_FAILED;
  const int path_length = static_cast<int>(input_path.size());
  Stream* stream = fs_open(converter->input_root, input_path, FS_OPEN_READ);
  if (!stream) {
    LOG(LOG_ERROR, "Could not open input file %.*s", path_length, input_path.data());
    return CONVERT_FAILED;
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
  if (buffer_size > 0) {
    Stream* buffered = buffered_stream_new(stream, true, static_cast<uint64_t>(buffer_size));
    if (!buffered) {
      LOG(LOG_ERROR, "Could not allocate buffer of size %lld", static_cast<long long>(buffer_size));
      stream_close(stream);
      return CONVERT_FAILED;
    }
    stream = buffered;
  }

  int32_t unwrapped = unwrap_containers(converter, &stream);
  if (unwrapped != CONVERT_OK) return unwrapped;

  MdfFile* file = mdf_open(stream);
  if (!file) {
    LOG(LOG_ERROR, "Could not open MDF");
    stream_close(stream);
    return CONVERT_FAILED;
  }
  if (!mdf_id(file)) {
    LOG(LOG_ERROR, "Could not read ID block");
    mdf_close(file);
    stream_close(stream);
    return CONVERT_FAILED;
  }
  HdBlock* hd = mdf_hd(file);
  if (!hd) {
    LOG(LOG_ERROR, "Could not read HD block");
    mdf_close(file);
    stream_close(stream);
    return CONVERT_FAILED;
  }

  bool has_bus_groups = false;
  for (const BlockRef& ref : hd->data_groups)
    if (DgBlock* dg = dg_block(ref); dg && dg_has_bus_groups(dg)) has_bus_groups = true;
  if (!has_bus_groups) {
    LOG(LOG_WARN, "No CAN or LIN frames in %.*s (no bus-logging channel group): file skipped",
        path_length, input_path.data());
    mdf_close(file);
    stream_close(stream);
    return CONVERT_OK;
  }

  // The converter sees the output path as a zero-terminated text.
  ScopedDynString output(output_path);
  const char* output_text = dynstring_data(&output.s);
  const ConverterOps* ops = converter->ops;
  bool success = true;
  if (ops->on_file_begin && !ops->on_file_begin(converter, output_text, file)) {
    LOG(LOG_ERROR, "Error during new file callback");
    success = false;
  } else {
    success = read_frames(converter, hd);
  }
  if (ops->on_file_end && !ops->on_file_end(converter, output_text)) {
    LOG(LOG_ERROR, "Error during end file callback");
    success = false;
  }

  int32_t result = CONVERT_FAILED;
  bool closed = stream_close(stream) == 0;
  if (!closed) {
    LOG(LOG_ERROR, "Could not close input file after conversion: %.*s", path_length,
        input_path.data());
  } else if (success) {
    result = CONVERT_OK;
    if (converter->options->delete_converted && !fs_remove(converter->input_root, input_path))
      LOG(LOG_ERROR, "Could not remove input file after conversion: %.*s", path_length,
          input_path.data());
  }
  mdf_close(file);
  if (!closed) stream_close(stream);
  return result;
}
