// The conversion of one input file: read buffer, container unwrapping with the device's
// password, the MDF file, and every bus frame of every data group handed to the converter.
#include "app/convert_file.h"

#include <time.h>

#include <cstdio>

#include "app/progress.h"
#include "decode/converter.h"
#include "decode/journal.h"
#include "io/durable_io.h"
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
constexpr int32_t DELETION_BATCH = 256;
constexpr int64_t DELETION_DELAY_MS = 1000;

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

// The name a channel group goes by in messages: the prefix of its frame fields
// ("CAN_DataFrame"), else its acquisition name, else where it lies.
void group_name(const CgBlock* cg, DynString* out) {
  for (const RecordChannel& c : cg->record_channels) {
    std::string_view name = dynstring_sv(&c.name);
    if (size_t dot = name.find('.'); dot != std::string_view::npos && dot > 0) {
      dynstring_append(out, name.substr(0, dot));
      return;
    }
  }
  std::string_view acquisition = block_text(cg->acquisition_name);
  if (!acquisition.empty()) {
    dynstring_append(out, acquisition);
  } else {
    dynstring_format(out, "at 0x%llX", static_cast<unsigned long long>(cg->base.offset));
  }
}

// Notes in the tally the bus-logging channel groups of the data group whose records gave no
// frame (idle[ordinal] records each), with the reason their channels give. Other groups of
// the data group hold other content, which is not converted.
void note_idle_groups(Converter* converter, const DgBlock* dg, const uint64_t* idle) {
  for (const BlockRef& ref : dg->channel_groups) {
    const CgBlock* cg = cg_block(ref);
    const RecordLayout* l =
        cg ? record_layout_find(dg, dg->record_id_size ? cg->record_id : 0) : nullptr;
    const SiBlock* si = cg ? si_block(cg->acquisition_source) : nullptr;
    if (!l || l->group != cg || idle[l->ordinal] == 0 || !si || si->source_type != SOURCE_TYPE_BUS)
      continue;
    ScopedDynString name, why;
    group_name(cg, &name.s);
    const GrowArray<RecordChannel>& channels = cg->record_channels;
    if (!frame_group_refusal(channels.items, channels.count, l->group_kind, &why.s)) {
      dynstring_clear(&why.s);
      dynstring_append(&why.s, "records that cannot be read as frames");
    }
    bool by_design =
        l->group_kind >= GROUP_LIN_CHECKSUM_ERROR && l->group_kind <= GROUP_LIN_TRANSMISSION_ERROR;
    frame_tally_add_group(&converter->tally, name.view(), why.view(), idle[l->ordinal], by_design);
  }
}

// Hands every frame of every data group with bus frames to the converter; false when any
// on_frame failed or a data group could not be read to its end. Records that give no frame
// are counted by channel group for the tally.
bool read_frames(Converter* converter, HdBlock* hd) {
  bool ok = true;
  for (const BlockRef& ref : hd->data_groups) {
    DgBlock* dg = dg_block(ref);
    if (!dg || !dg_has_bus_groups(dg)) continue;
    RecordReader* reader = record_reader_new(dg);
    // By layout ordinal; without memory for it, such records are not told.
    auto* idle = static_cast<uint64_t*>(calloc(static_cast<size_t>(dg->layouts.count) + 1, 8));
    if (!reader) {
      ok = false;
      free(idle);
      continue;
    }
    RecordIterator it;
    for (record_iter_begin(&it, reader); it.frame; record_iter_next(&it)) {
      converter->input_frames += 1;
      progress_frame(converter->input_frames);
      if (it.frame->kind == FRAME_NONE) {
        if (idle) idle[reader->layout->ordinal] += 1;
      } else if (!converter->ops->on_frame(converter, it.frame)) {
        ok = false;
      }
    }
    if (idle) note_idle_groups(converter, dg, idle);
    free(idle);
    if (record_reader_failed(reader)) ok = false;
    record_reader_free(reader);
  }
  return ok;
}

bool has_bus_groups(HdBlock* hd) {
  for (const BlockRef& ref : hd->data_groups)
    if (DgBlock* dg = dg_block(ref); dg && dg_has_bus_groups(dg)) return true;
  return false;
}

// A repeated input (same serial, session and split as the previous one) counts as converted
// only when it is byte for byte the previous input and that one was converted: its rows are
// then in the output already. Otherwise its frames would be lost unseen: it is kept and fails.
bool check_repeated_input(Converter* converter, std::string_view input_path) {
  std::string_view previous = dynstring_sv(&converter->previous_input);
  std::string_view root = dynstring_sv(&converter->input_root->path);
  ScopedDynString a, b;
  int same = -1;
  if (!previous.empty() && io_join_path(root, previous, &a.s) &&
      io_join_path(root, input_path, &b.s))
    same = io_files_equal(dynstring_data(&a.s), dynstring_data(&b.s));
  const int path_length = static_cast<int>(input_path.size());
  const int previous_length = static_cast<int>(previous.size());
  if (same == 1 && converter->previous_converted) {
    LOG(LOG_INFO, "Input file %.*s repeats %.*s byte for byte: its rows are converted already",
        path_length, input_path.data(), previous_length, previous.data());
    return true;
  }
  const char* why = same == 1   ? "which was not converted"
                    : same == 0 ? "but differs from it"
                                : "but cannot be compared with it";
  LOG(LOG_WARN,
      "Input file %.*s repeats the serial, session and split of %.*s, %s: it is kept and its "
      "frames are not converted",
      path_length, input_path.data(), previous_length, previous.data(), why);
  return false;
}

// The converter's file operations around the frames of the log; false when any failed.
// *header_read tells whether the converter has read the log's header, which makes the input
// the previous one for the next input.
bool run_converter(Converter* converter, std::string_view input_path, std::string_view output_path,
                   const OpenedLog& log, bool* header_read) {
  // The converter sees the input's own output name: its output path (extension cut) with the
  // extension joined by "_" (logs/a.MF4 gives logs_out/a_MF4), so that a.MF4 and a.MFC in one
  // folder get different names. The walk accepts only names with an extension.
  ScopedDynString output(output_path);
  size_t dot = input_path.rfind('.');
  if (dot != std::string_view::npos && input_path.find('/', dot) == std::string_view::npos &&
      (!dynstring_append(&output.s, "_") ||
       !dynstring_append(&output.s, input_path.substr(dot + 1))))
    dynstring_clear(&output.s);
  const char* output_text = dynstring_data(&output.s);
  const ConverterOps* ops = converter->ops;
  bool success = true;
  converter->repeated_input = false;
  frame_tally_clear(&converter->tally);
  *header_read = ops->on_file_begin != nullptr;
  if (ops->on_file_begin && !ops->on_file_begin(converter, output_text, log.file)) {
    LOG(LOG_ERROR, "Error during new file callback");
    success = false;
  } else if (converter->repeated_input) {
    success = check_repeated_input(converter, input_path);
  } else if (ops->on_frame) {
    success = read_frames(converter, log.hd);
    if (ops->report_file) ops->report_file(converter, input_path);
  }
  if (*header_read) {
    dynstring_free(&converter->previous_input);
    dynstring_from(&converter->previous_input, input_path);
    journal_previous(converter->journal, input_path);
  }
  if (ops->on_file_end && !ops->on_file_end(converter, output_text)) {
    LOG(LOG_ERROR, "Error during end file callback");
    success = false;
  }
  return success;
}

// Closes the log. The result: CONVERT_OK only when the conversion succeeded and the input
// closed.
int32_t close_log(std::string_view input_path, OpenedLog& log, bool success) {
  int32_t result = CONVERT_FAILED;
  bool closed = stream_close(log.stream) == 0;
  if (!closed) {
    LOG(LOG_ERROR, "Could not close input file after conversion: %.*s",
        static_cast<int>(input_path.size()), input_path.data());
  } else if (success) {
    result = CONVERT_OK;
  }
  mdf_close(log.file);
  if (!closed) stream_close(log.stream);
  return result;
}

int64_t monotonic_milliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Deletes the queued inputs once the output is made durable: all of them, or all but the
// previous input, which the next input may repeat. When the output cannot be made durable the
// queued inputs are kept. written_before: the output was written by an earlier (killed) run,
// whose files this one does not know.
void delete_queued_inputs(Converter* converter, bool all, bool written_before = false) {
  GrowArray<DynString>& queue = converter->deletion_queue;
  std::string_view waiting = all ? std::string_view{} : dynstring_sv(&converter->previous_input);
  if (queue.count == 0 || (queue.count == 1 && dynstring_sv(&queue[0]) == waiting)) return;
  const ConverterOps* ops = converter->ops;
  bool durable = (!ops->make_durable || ops->make_durable(converter)) &&
                 journal_make_durable(converter->journal, written_before);
  if (!durable) {
    converter->durability_failed = true;
    LOG(LOG_ERROR, "Converted input files are kept: their output could not be made durable");
  }
  int32_t kept = 0;
  for (DynString& path : queue) {
    if (!waiting.empty() && dynstring_sv(&path) == waiting) {
      queue[kept++] = path;
      continue;
    }
    if (durable) remove_converted_input(converter, dynstring_sv(&path));
    dynstring_free(&path);
  }
  queue.count = kept;
  converter->queue_started_ms = monotonic_milliseconds();
}

// Records the input's end. With --delete-converted a converted input joins the deletion
// queue (not one that is `kept`: skipped with content the tool does not convert); the queue is
// emptied every DELETION_BATCH inputs or DELETION_DELAY_MS, so that one sync makes the output of
// many inputs durable.
int32_t finish_input(Converter* converter, std::string_view input_path, int32_t result,
                     bool header_read, bool kept) {
  bool deleting = converter->options->delete_converted;
  bool queued = deleting && result == CONVERT_OK && !kept;
  if (!journal_done(converter->journal, input_path, result, queued) && deleting) {
    // Without the record a crash could not tell that its rows are in the output.
    result = CONVERT_FAILED;
    queued = false;
  }
  if (header_read) converter->previous_converted = result == CONVERT_OK;
  GrowArray<DynString>& queue = converter->deletion_queue;
  if (queued) {
    DynString path;
    if (dynstring_from(&path, input_path) && grow_array_push(&queue, path)) {
      if (queue.count == 1) converter->queue_started_ms = monotonic_milliseconds();
    } else {
      dynstring_free(&path);
    }
  }
  if (queue.count >= DELETION_BATCH ||
      (queue.count > 0 &&
       monotonic_milliseconds() - converter->queue_started_ms >= DELETION_DELAY_MS))
    delete_queued_inputs(converter, false);
  return result;
}

}  // namespace

int32_t convert_file(Converter* converter, std::string_view input_path,
                     std::string_view output_path) {
  if (!converter) return CONVERT_FAILED;
  journal_begin(converter->journal, input_path);
  OpenedLog log;
  bool header_read = false, kept = false;
  int32_t result = open_log(converter, input_path, &log);
  if (result == CONVERT_OK && !has_bus_groups(log.hd)) {
    // Nothing here is for this tool to convert, so nothing is lost by leaving it; it is not
    // deleted either, since its other content has not been converted.
    LOG(LOG_ERROR, "No CAN or LIN frames in %.*s (no bus-logging channel group): file skipped",
        static_cast<int>(input_path.size()), input_path.data());
    kept = true;
    result = close_log(input_path, log, true);
  } else if (result == CONVERT_OK) {
    bool success = run_converter(converter, input_path, output_path, log, &header_read);
    result = close_log(input_path, log, success);
  }
  return finish_input(converter, input_path, result, header_read, kept);
}

void remove_converted_input(Converter* converter, std::string_view input_path) {
  ScopedDynString full;
  if (io_join_path(dynstring_sv(&converter->input_root->path), input_path, &full.s) &&
      io_remove_file(dynstring_data(&full.s))) {
    journal_removed(converter->journal, input_path);
    return;
  }
  LOG(LOG_ERROR, "Could not remove input file after conversion: %.*s",
      static_cast<int>(input_path.size()), input_path.data());
}

bool finish_conversions(Converter* converter) {
  if (!converter) return true;
  delete_queued_inputs(converter, true);
  return !converter->durability_failed;
}

void delete_stale_inputs(Converter* converter) { delete_queued_inputs(converter, false, true); }
