// Stage A of a conversion: buffering, container unwrapping with the device's password, the MDF
// file, and every bus frame of every data group decoded into row records.
#include "app/input_reader.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "app/convert_file.h"
#include "app/pipeline.h"
#include "app/run.h"
#include "decode/file_header.h"
#include "mdf/container.h"
#include "mdf/frame_source.h"
#include "support/log.h"

namespace {

// Frames between two deliveries of the counts (and looks at whether stage B still wants them),
// so that the status line moves on a long input without rows.
constexpr uint64_t FRAMES_PER_DELIVERY = 65536;

// The password of the device (by its serial as 8 upper-case hexadecimal digits), else the
// "default" one; null when there is neither.
const StringMapEntry* device_password(const Run* run, uint32_t serial) {
  const PasswordStore* passwords = &run->options->passwords;
  if (passwords->count == 0) return nullptr;
  char device_key[9];
  snprintf(device_key, sizeof device_key, "%08X", serial);
  const StringMapEntry* entry = string_map_find(passwords, device_key);
  return entry ? entry : string_map_find(passwords, "default");
}

// What the unwrapping of an input's containers asks the passwords of, and the entry it got.
struct PasswordAsk {
  const Run* run;
  const StringMapEntry* entry;
};

// Tells each container level as it is found; the password of an encrypted one's device.
const DynString* container_password(void* context, const ContainerHeader* header) {
  auto* ask = static_cast<PasswordAsk*>(context);
  ask->entry = nullptr;
  if (header->container_type == CONTAINER_TYPE_COMPRESSED) {
    LOG(LOG_INFO, "Found compressed file");
  } else if (header->container_type == CONTAINER_TYPE_ENCRYPTED) {
    LOG(LOG_INFO, "Found encrypted file");
    ask->entry = device_password(ask->run, header->device_serial);
  }
  return ask->entry ? &ask->entry->value : nullptr;
}

// Unwraps nested containers until a plain file remains. On success *stream is the innermost
// stream; on failure everything is closed, the failure told and its result code returned.
int32_t unwrap_containers(const Run* run, Stream** stream, std::string_view path) {
  PasswordAsk ask{run, nullptr};
  ContainerHeader header{};
  MdfStatus status = frame_source_unwrap(stream, container_password, &ask, &header);
  int length = static_cast<int>(path.size());
  switch (status) {
    case MDF_STATUS_OK:
      return CONVERT_OK;
    case MDF_STATUS_DECOMPRESS_FAILED:
      LOG(LOG_ERROR, "Could not decompress %.*s", length, path.data());
      return CONVERT_DECOMPRESS_FAILED;
    case MDF_STATUS_NO_PASSWORD:
      LOG(LOG_ERROR, "No password found for device %08X (encrypted file %.*s)",
          header.device_serial, length, path.data());
      return CONVERT_NO_PASSWORD;
    case MDF_STATUS_DECRYPT_FAILED:
      LOG(LOG_ERROR,
          "Could not decrypt %.*s of device %08X: the password file's \"%s\" password is wrong "
          "for it, or the file is damaged",
          length, path.data(), header.device_serial, dynstring_data(&ask.entry->key));
      return CONVERT_NO_PASSWORD;
    default:
      return CONVERT_FAILED;
  }
}

// The input file under its read buffer: the whole file by default, or the buffer size of the
// options (0: no buffer). Null (the file closed) when the buffer cannot be allocated (logged).
Stream* buffer_input(const Run* run, Stream* stream) {
  int64_t size = 0;
  Stream* buffered = frame_source_buffer(stream, run->options->buffer_size, &size);
  if (!buffered)
    LOG(LOG_ERROR, "Could not allocate buffer of size %lld", static_cast<long long>(size));
  return buffered;
}

// The bytes of an input that several parts read, each through a stream of its own, and the
// time base of its rows. Freed by the last part that lets go of it.
struct SharedInput {
  std::atomic<int32_t> references;
  uint64_t size;
  double time_base;
  const uint8_t* data;
  uint8_t* owned;  // the bytes when they are the shared input's own,
  Stream* owner;   // or the stream that holds them (a container's decoded content)
};

void release_shared(SharedInput* shared) {
  if (!shared || shared->references.fetch_sub(1) != 1) return;
  free(shared->owned);
  stream_close(shared->owner);
  shared->~SharedInput();
  free(shared);
}

// A container's content that lies in memory is shared as it is: the decoded stream moves into
// the shared input and *stream becomes a view of its bytes. Null (nothing changed) otherwise.
SharedInput* share_content(Stream** stream) {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  if (!stream_bytes_view(decoded_container_content(*stream), &data, &size)) return nullptr;
  Stream* view = bytes_stream_new(data, size);
  void* memory = view ? malloc(sizeof(SharedInput)) : nullptr;
  if (!memory) {
    stream_close(view);
    return nullptr;
  }
  auto* shared = new (memory) SharedInput;
  shared->references = 1;
  shared->size = size;
  shared->data = data;
  shared->owned = nullptr;
  shared->owner = *stream;
  *stream = view;
  return shared;
}

// Room for a whole input. A large one is aligned to and advised into huge pages where the
// system has them, so that filling it takes a few page faults instead of one per 4 KiB.
uint8_t* allocate_input(uint64_t size) {
  constexpr uint64_t HUGE_PAGE = uint64_t{2} << 20;
  if (size < 4 * HUGE_PAGE) return static_cast<uint8_t*>(malloc(size));
  void* memory = nullptr;
  if (posix_memalign(&memory, HUGE_PAGE, size) != 0) return nullptr;
  madvise(memory, size, MADV_HUGEPAGE);  // a hint: without huge pages it changes nothing
  return static_cast<uint8_t*>(memory);
}

// The whole file in memory for parts to share (the file closed); null when it cannot be read
// (logged).
SharedInput* read_shared(Stream* file) {
  int64_t size = stream_size(file);
  void* memory = malloc(sizeof(SharedInput));
  auto* shared = memory ? new (memory) SharedInput : nullptr;
  uint8_t* data = shared && size > 0 ? allocate_input(static_cast<uint64_t>(size)) : nullptr;
  uint64_t done = 0;
  bool reading = data && stream_seek(file, 0, SEEK_FROM_START) == 0;
  while (reading && done < static_cast<uint64_t>(size)) {
    int64_t got = stream_read(file, data + done, static_cast<uint64_t>(size) - done);
    reading = got > 0;
    if (reading) done += static_cast<uint64_t>(got);
  }
  stream_close(file);
  if (data && done == static_cast<uint64_t>(size)) {
    shared->references = 1;
    shared->size = done;
    shared->data = shared->owned = data;
    shared->owner = nullptr;
    return shared;
  }
  if (!data) {
    LOG(LOG_ERROR, "Could not allocate buffer of size %lld", static_cast<long long>(size));
  } else {
    LOG(LOG_ERROR, "Could not read the input file (%llu of %lld bytes)",
        static_cast<unsigned long long>(done), static_cast<long long>(size));
  }
  free(data);
  if (shared) shared->~SharedInput();
  free(shared);
  return nullptr;
}

using Segment = FrameSegment;

// A part after the first: the shared input and the segments it reads.
struct PartPlan {
  SharedInput* shared;
  GrowArray<Segment> segments;
};

// An input opened down to the header block of its MDF file.
struct OpenedLog {
  Stream* stream;
  MdfFile* file;
};

// Buffers (unless it is shared in memory already) and unwraps the input and opens its MDF
// file. A container's content in memory becomes the shared input. On failure everything is
// closed and the result code returned. An MDF file of a version before 4 is refused by name.
int32_t open_log(const Run* run, std::string_view input_path, Stream* stream, SharedInput** shared,
                 OpenedLog* log) {
  *log = OpenedLog{};
  if (!stream) return CONVERT_FAILED;  // the walk could not open it (logged)
  if (!*shared) stream = buffer_input(run, stream);
  if (!stream) return CONVERT_FAILED;
  Stream* outer = stream;
  int32_t unwrapped = unwrap_containers(run, &stream, input_path);
  if (unwrapped != CONVERT_OK) return unwrapped;
  if (stream != outer && !*shared) *shared = share_content(&stream);
  uint16_t version = 0;
  MdfStatus status = frame_source_open(stream, &log->file, &version);
  if (status != MDF_STATUS_OK) {
    if (status == MDF_STATUS_VERSION_UNSUPPORTED) {
      LOG(LOG_ERROR, "Could not convert %.*s: MDF %u.%02u is not supported, only MDF 4",
          static_cast<int>(input_path.size()), input_path.data(), version / 100u, version % 100u);
    } else {
      LOG(LOG_ERROR, "%s",
          status == MDF_STATUS_NO_ID_BLOCK   ? "Could not read ID block"
          : status == MDF_STATUS_NO_HD_BLOCK ? "Could not read HD block"
                                             : "Could not open MDF");
    }
    stream_close(stream);
    return CONVERT_FAILED;
  }
  log->stream = stream;
  return CONVERT_OK;
}

// Closes the log; 0, or CONVERT_FAILED when the input did not close.
int32_t close_log(OpenedLog& log) {
  bool closed = stream_close(log.stream) == 0;
  frame_source_close(log.file);
  if (!closed) stream_close(log.stream);
  return closed ? CONVERT_OK : CONVERT_FAILED;
}

// Where a part's records go: its row writer, handing chunks to the pipeline, and the lines
// logged on the part's thread, which join the records where they were logged.
struct PartOutput {
  PipelinePart* part;
  RowWriter rows;
  bool reading_frames;  // lines logged now are frame lines
  uint32_t data_group;  // of the segment being read
};

void emit_part_chunk(void* context, Chunk* chunk) {
  pipeline_emit(static_cast<PartOutput*>(context)->part, chunk);
}

void capture_line(void* context, const char* line, size_t length) {
  auto* out = static_cast<PartOutput*>(context);
  std::string_view text(line, length);
  if (!out->reading_frames) {
    row_writer_add(&out->rows, ROW_RECORD_LOG, nullptr, 0, text);
  } else if (log_thread_tag() == LOG_TAG_ONCE) {
    row_writer_add(&out->rows, ROW_RECORD_LOG_ONCE, &out->data_group, sizeof out->data_group, text);
  } else {
    row_writer_add(&out->rows, ROW_RECORD_FRAME_LOG, nullptr, 0, text);
  }
}

// A notice of the record reader, told once per input: the line is tagged so that it is shown
// once however many parts meet its cause.
void tell_notice(void*, const ReaderNotice* notice) {
  ScopedDynString text;
  reader_notice_format(notice, &text.s);
  log_set_thread_tag(LOG_TAG_ONCE);
  LOG(LOG_WARN, "%.*s", static_cast<int>(text.view().size()), text.view().data());
  log_set_thread_tag(0);
}

// Notes a bus-logging channel group of the segment's data group whose records gave no frame,
// with the reason its channels give, for the tally. Other groups of the data group hold other
// content, which is not converted.
void note_idle_group(void* context, const IdleGroup& idle) {
  auto* out = static_cast<PartOutput*>(context);
  RowIdleGroup group{out->data_group,
                     idle.group_ordinal,
                     idle.records,
                     static_cast<uint32_t>(idle.name.size()),
                     static_cast<uint32_t>(idle.why.size()),
                     idle.lin_error};
  row_writer_add(&out->rows, ROW_RECORD_IDLE_GROUP, &group, sizeof group, idle.name, idle.why);
}

// Warns once per channel group that gives frames about the channels its frames pass over
// because they are no frame field (such as "__samples_origin", which a writer that
// concatenates files adds to each group): what they hold reaches no output.
void warn_ignored(void* context, std::string_view group, std::string_view names, int32_t n) {
  auto* path = static_cast<std::string_view*>(context);
  bool one = n == 1;
  LOG(LOG_WARN, "%.*s: group %.*s: %s %.*s %s ignored (no frame field%s)",
      static_cast<int>(path->size()), path->data(), static_cast<int>(group.size()), group.data(),
      one ? "channel" : "channels", static_cast<int>(names.size()), names.data(),
      one ? "is" : "are", one ? "" : "s");
}

// Decodes the frames of one segment, read by `read`; false when its data could not be read to
// its end. Stops early when stage B no longer wants the rows. Records that give no frame are
// counted by channel group for the tally.
bool read_segment(SegmentRead* read, RowMaker* maker, PartOutput* out) {
  for (const BusFrame* frame; (frame = segment_read_next(read));) {
    out->rows.counts.frames += 1;
    if (frame->kind != FRAME_NONE) row_maker_frame(maker, frame);
    if (out->rows.counts.frames % FRAMES_PER_DELIVERY == 0) {
      row_writer_flush(&out->rows);
      if (pipeline_stopped(out->part)) break;
    }
  }
  segment_read_idle_groups(read, note_idle_group, out);
  return !segment_read_failed(read);
}

// Decodes the frames of the segments in order, each between its start and end records.
void read_segments(const Run* run, MdfFile* file, double time_base,
                   const GrowArray<Segment>& segments, PartOutput* out) {
  RowMaker* maker = row_maker_new(&run->decoders, time_base, &out->rows);
  if (!maker) {
    out->rows.failed = true;
    return;
  }
  for (const Segment& segment : segments) {
    if (pipeline_stopped(out->part)) break;
    SegmentRead* read = nullptr;
    if (!segment_read_open(file, segment, ReaderNoticeSink{tell_notice, nullptr}, &read)) continue;
    row_writer_add(&out->rows, ROW_RECORD_SEGMENT, &segment.data_group, sizeof(uint32_t));
    out->data_group = segment.data_group;
    out->reading_frames = true;
    RowSegmentEnd end{segment.data_group, read_segment(read, maker, out)};
    segment_read_free(read);
    out->reading_frames = false;
    row_maker_write_tally(maker);
    row_writer_add_counts(&out->rows);
    row_writer_add(&out->rows, ROW_RECORD_SEGMENT_END, &end, sizeof end);
  }
  row_maker_free(maker);
}

void free_plan(PartPlan* plan) {
  if (!plan) return;
  release_shared(plan->shared);
  grow_array_free(&plan->segments);
  free(plan);
}

// Hands the segments on to parts of their own: a part begins at every range that does not
// begin its data group's records, and goes on with the whole data groups after it. The first
// part keeps the segments before the first of them. When the parts cannot be made, the first
// part keeps everything. The parts are announced in every case, none when there are none.
void hand_on_segments(PipelinePart* part, SharedInput* shared, GrowArray<Segment>* segments) {
  GrowArray<void*> plans{};
  int32_t kept = segments->count;
  bool ok = true;
  for (int32_t i = 0; ok && i < segments->count; ++i) {
    const Segment& segment = (*segments)[i];
    if (segment.begin != 0) {
      auto* plan = static_cast<PartPlan*>(calloc(1, sizeof(PartPlan)));
      ok = plan && grow_array_push(&plans, static_cast<void*>(plan));
      if (!ok) {
        free(plan);
        break;
      }
      plan->shared = shared;
      shared->references += 1;
      if (kept == segments->count) kept = i;
    }
    if (plans.count > 0)
      ok = grow_array_push(&static_cast<PartPlan*>(plans[plans.count - 1])->segments, segment);
  }
  if (!ok) {
    for (void* plan : plans) free_plan(static_cast<PartPlan*>(plan));
    plans.count = 0;
  }
  // Announced also when there are no other parts: the inputs after this one wait for it.
  if (pipeline_add_parts(part, plans.items, plans.count) && plans.count > 0) segments->count = kept;
  grow_array_free(&plans);
}

// Opens the input (into memory shared with the other parts when it may be split) down to its
// MDF file; the result code.
int32_t open_input(InputJob* job, SharedInput** shared, OpenedLog* log) {
  Stream* file = job->file;
  job->file = nullptr;
  *shared = nullptr;
  // With the default buffer a plain file is read into memory whole, where the record reader
  // takes its records in place and several parts can read it at once; a container goes
  // through its own decoding.
  ContainerHeader header;
  if (file && job->run->options->buffer_size < 0 && stream_size(file) > 0 &&
      !container_read_header(file, &header)) {
    *shared = read_shared(file);
    file = *shared ? bytes_stream_new((*shared)->data, (*shared)->size) : nullptr;
    if (!file) return CONVERT_FAILED;
  }
  return open_log(job->run, dynstring_sv(&job->input_path), file, shared, log);
}

// The first part: opens the input, reads its header, hands ranges of a large input on to
// other parts and reads the frames it keeps.
void read_first_part(InputJob* job, PartOutput* out) {
  const Run* run = job->run;
  SharedInput* shared = nullptr;
  OpenedLog log{};
  int32_t result = open_input(job, &shared, &log);
  bool bus = result == CONVERT_OK && frame_source_has_bus_groups(log.file);
  bool split = job->may_split && shared && bus;
  // The inputs after one that may be split start once its parts are known: when it gets no
  // other parts, they need not wait for it to be read.
  if (job->may_split && !split) pipeline_add_parts(out->part, nullptr, 0);
  if (result != CONVERT_OK) {
    release_shared(shared);
    row_writer_add(&out->rows, ROW_RECORD_FAILED, &result, sizeof result);
    return;
  }
  RowEnd end{CONVERT_OK, 0};
  if (!bus) {
    // Nothing here is for this tool to convert, so nothing is lost by leaving it; it is not
    // deleted either, since its other content has not been converted.
    std::string_view path = dynstring_sv(&job->input_path);
    LOG(LOG_ERROR, "No CAN or LIN frames in %.*s (no bus-logging channel group): file skipped",
        static_cast<int>(path.size()), path.data());
    row_writer_add(&out->rows, ROW_RECORD_NO_BUS, nullptr, 0);
  } else {
    std::string_view path = dynstring_sv(&job->input_path);
    frame_source_ignored_channels(log.file, warn_ignored, &path);
    FileHeader header;
    read_file_header(log.file, &header);
    row_writer_add(&out->rows, ROW_RECORD_HEADER, &header, sizeof header);
    // Stage B decides at once whether it takes the rows.
    row_writer_flush(&out->rows);
    GrowArray<Segment> segments{};
    if (!frame_source_plan(log.file, split ? split_sizes.range_bytes : 0, &segments))
      out->rows.failed = true;
    if (split) {
      shared->time_base = header.start_time;
      hand_on_segments(out->part, shared, &segments);
    }
    read_segments(run, log.file, header.start_time, segments, out);
    grow_array_free(&segments);
  }
  end.close_result = close_log(log);
  release_shared(shared);
  end.rows_lost = out->rows.failed;
  row_writer_add(&out->rows, ROW_RECORD_END, &end, sizeof end);
}

// A later part: its own view of the shared input and MDF file, and its segments.
void read_later_part(InputJob* job, PartPlan* plan, PartOutput* out) {
  RowEnd end{CONVERT_OK, 0};
  Stream* view = bytes_stream_new(plan->shared->data, plan->shared->size);
  MdfFile* file = nullptr;
  {
    // The first part opened the same bytes and said what there is to say about them.
    ScopedLogSink quiet([](void*, const char*, size_t) {}, nullptr);
    uint16_t version = 0;
    if (view) frame_source_open(view, &file, &version);
  }
  if (file) {
    read_segments(job->run, file, plan->shared->time_base, plan->segments, out);
  } else {
    // The first part opened the same bytes: only memory can be missing here.
    out->rows.failed = true;
  }
  frame_source_close(file);
  stream_close(view);
  end.rows_lost = out->rows.failed;
  row_writer_add(&out->rows, ROW_RECORD_END, &end, sizeof end);
}

}  // namespace

// Inputs below 16 MiB keep the threads busy by themselves. A part reads about 1 MiB of records,
// whose rows fit the queue a part may fill ahead of stage B several times over.
SplitSizes split_sizes{uint64_t{16} << 20, uint64_t{1} << 20};

void read_input_part(InputJob* job, PipelinePart* part) {
  PartOutput out{part, RowWriter{}, false, 0};
  row_writer_init(&out.rows, emit_part_chunk, &out);
  {
    ScopedLogSink sink(capture_line, &out);
    auto* plan = static_cast<PartPlan*>(pipeline_part_data(part));
    if (plan) {
      read_later_part(job, plan, &out);
    } else {
      read_first_part(job, &out);
    }
  }
  row_writer_flush(&out.rows);
}

void release_part_plan(void* data) { free_plan(static_cast<PartPlan*>(data)); }
