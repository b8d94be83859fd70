// Stage B of a conversion: an input's records taken in walk order, its header's decisions,
// its rows into their files, the journal, and the deletion of converted inputs.
#include "app/convert_file.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "app/input_reader.h"
#include "app/inputs.h"
#include "app/progress.h"
#include "app/run.h"
#include "app/run_report.h"
#include "io/durable_io.h"
#include "io/fs_root.h"
#include "output/journal.h"
#include "output/row_taker.h"
#include "output/session.h"
#include "support/log.h"

namespace {

// A repeated input (same serial, session and split as the previous one) counts as converted
// only when it is byte for byte the previous input and that one was converted: its rows are
// then in the output already. Otherwise its frames would be lost unseen: it is kept and fails.
bool check_repeated_input(Run* run, std::string_view input_path) {
  std::string_view previous = dynstring_sv(&run->previous_input);
  std::string_view root = dynstring_sv(&run->input_root->path);
  ScopedDynString a, b;
  int same = -1;
  if (!previous.empty() && io_join_path(root, previous, &a.s) &&
      io_join_path(root, input_path, &b.s))
    same = io_files_equal(dynstring_data(&a.s), dynstring_data(&b.s));
  const int path_length = static_cast<int>(input_path.size());
  const int previous_length = static_cast<int>(previous.size());
  if (same == 1 && run->previous_converted) {
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

// Records the input's end. With --delete-converted a converted input joins the deletion
// queue (not one that is `kept`: skipped with content the tool does not convert), which is
// emptied in batches.
int32_t finish_input(Run* run, std::string_view input_path, int32_t result, bool header_read,
                     bool kept, const FileStamp* opened) {
  bool deleting = run->options->delete_converted;
  bool queued = deleting && result == CONVERT_OK && !kept;
  if (!journal_done(run->session->journal, input_path, result, queued, opened) && deleting) {
    // Without the record a crash could not tell that its rows are in the output.
    result = CONVERT_FAILED;
    queued = false;
  }
  if (header_read) run->previous_converted = result == CONVERT_OK;
  if (queued) deletion_queue_add(&run->deletions, run->session, input_path, opened);
  // The previous input stays queued: the next input may repeat it.
  if (deletion_queue_due(&run->deletions))
    deletion_queue_delete(&run->deletions, run->session, run->input_root,
                          dynstring_sv(&run->previous_input), false);
  return result;
}

// ---- Stage B of an input ----

std::string_view path_of(const DynString& s) { return dynstring_sv(&s); }

// The header's decisions, as one thread makes them before it reads any frame: a file that
// continues the open output set or starts a new one, a repeated input, or a file the session
// cannot take (no serial, session or split). Stage A is told to stop when the rows are not
// taken.
void take_header(InputJob* job, PipelineInput* input, const RowRecord& record) {
  Run* run = job->run;
  FileHeader header;
  if (record.size < sizeof header) return;
  header = row_record_head<FileHeader>(record);
  frame_tally_clear(&run->tally);
  job->header_read = true;
  bool repeated = false;
  if (!session_on_file_begin(run->session, dynstring_data(&job->output_name), &header, &repeated)) {
    LOG(LOG_ERROR, "Error during new file callback");
    job->success = false;
  } else if (repeated) {
    job->success = check_repeated_input(run, path_of(job->input_path));
  } else {
    job->taking = true;
  }
  if (!job->taking) pipeline_stop_parts(input, 0);
}

bool contains(const GrowArray<uint32_t>& list, uint32_t value) {
  for (uint32_t v : list)
    if (v == value) return true;
  return false;
}

// The end of a segment: a data group whose frames could not all be read fails the input, and
// its records in later segments go.
void take_segment_end(InputJob* job, PipelineInput* input, const RowRecord& record) {
  RowSegmentEnd end;
  if (record.size < sizeof end) return;
  end = row_record_head<RowSegmentEnd>(record);
  if (end.frames_read || !job->taking || contains(job->failed_groups, end.data_group)) return;
  job->success = false;
  if (!grow_array_push(&job->failed_groups, end.data_group)) pipeline_stop_parts(input, 0);
}

void take_end(InputJob* job, const RowRecord& record) {
  RowEnd end;
  if (record.size < sizeof end) return;
  end = row_record_head<RowEnd>(record);
  job->parts_ended += 1;
  if (end.close_result != CONVERT_OK) job->close_result = end.close_result;
  if (end.rows_lost && job->taking) {
    std::string_view path = path_of(job->input_path);
    LOG(LOG_ERROR, "Could not allocate memory for the rows of %.*s", static_cast<int>(path.size()),
        path.data());
    job->success = false;
  }
}

void show(const RowRecord& record, uint64_t skip = 0) {
  log_write_text(reinterpret_cast<const char*>(record.body) + skip, record.size - skip);
}

// A line its reader logs once: the input shows it once per data group, from the first segment
// that logs it.
void take_once_line(InputJob* job, const RowRecord& record) {
  uint32_t group;
  if (record.size < sizeof group) return;
  group = row_record_head<uint32_t>(record);
  if (contains(job->shown_groups, group)) return;
  show(record, sizeof group);
  grow_array_push(&job->shown_groups, group);
}

// A channel group whose records gave no frame, noted in the tally (the counts of one group from
// several segments add up).
void take_idle_group(Run* run, const RowRecord& record) {
  RowIdleGroup g;
  if (record.size < sizeof g) return;
  g = row_record_head<RowIdleGroup>(record);
  if (record.size - sizeof g < static_cast<uint64_t>(g.name_length) + g.reason_length) return;
  const char* texts = reinterpret_cast<const char*>(record.body + sizeof g);
  uint64_t key = static_cast<uint64_t>(g.data_group) << 32 | g.layout;
  frame_tally_add_group(&run->tally, key, std::string_view(texts, g.name_length),
                        std::string_view(texts + g.name_length, g.reason_length), g.records,
                        g.by_design);
}

// One record of a part. The frames' records (rows, their lines and counts) count only while
// the rows are taken and the data group has not failed.
void take_record(InputJob* job, PipelineInput* input, const RowRecord& record) {
  Run* run = job->run;
  bool rows = job->taking && !contains(job->failed_groups, job->data_group);
  switch (record.kind) {
    case ROW_RECORD_LOG:
      return show(record);
    case ROW_RECORD_FRAME_LOG:
      if (rows) show(record);
      return;
    case ROW_RECORD_LOG_ONCE:
      if (rows) take_once_line(job, record);
      return;
    case ROW_RECORD_FAILED:
      if (record.size >= sizeof job->result) job->result = row_record_head<int32_t>(record);
      job->parts_ended += 1;
      return;
    case ROW_RECORD_NO_BUS:
      job->kept = true;
      return;
    case ROW_RECORD_HEADER:
      return take_header(job, input, record);
    case ROW_RECORD_SEGMENT:
      if (record.size >= sizeof job->data_group)
        job->data_group = row_record_head<uint32_t>(record);
      return;
    case ROW_RECORD_SEGMENT_END:
      return take_segment_end(job, input, record);
    case ROW_RECORD_END:
      return take_end(job, record);
    case ROW_RECORD_IDLE_GROUP:
      if (rows) take_idle_group(run, record);
      return;
    case ROW_RECORD_TALLY:
      if (rows) frame_tally_add_record(&run->tally, record);
      return;
    case ROW_RECORD_COUNTS:
      if (rows && record.size >= sizeof(RowCounts))
        run->input_frames += row_record_head<RowCounts>(record).frames;
      [[fallthrough]];
    default:
      if (rows && !session_take_record(run->session, &job->taker, record)) job->success = false;
      return;
  }
}

// The input's frames into the run's account and, with its summary entry, its result, rows and
// the end of the capture of its message.
void settle_report(RunReport* report, InputJob* job, int32_t result) {
  Run* run = job->run;
  if (job->taking) {
    FrameAccount frames{};
    frame_tally_account(&run->tally, &run->decoders, &frames, report->channels);
    run_report_frames(report, job->report, frames);
  }
  if (!job->report) return;
  job->report->rows = run->session->statistics.rows - job->rows_before;
  run_report_settle(job->report, result, {});
  run_report_capture(nullptr);
  run->session->output_log = nullptr;
}

void begin_input(void* context, PipelineInput* input) {
  Run* run = static_cast<StageContext*>(context)->run;
  auto* job = static_cast<InputJob*>(pipeline_input_data(input));
  job->success = true;
  job->part = -1;
  journal_begin(run->session->journal, path_of(job->input_path));
  progress_file_begin(path_of(job->input_path));
  if (job->report) {
    run->session->output_log = &job->report->outputs;
    run_report_capture(job->report);
    job->rows_before = run->session->statistics.rows;
  }
}

void consume_chunk(void*, PipelineInput* input, PipelinePart* part, Chunk* chunk) {
  auto* job = static_cast<InputJob*>(pipeline_input_data(input));
  if (pipeline_part_index(part) != job->part) {
    // A part's descriptors are its own.
    row_taker_clear(&job->taker);
    job->part = pipeline_part_index(part);
    // The parts of an input are about equal ranges of its records: the status line shows how
    // far stage B has come through them.
    if (job->part > 0)
      progress_file_position(job->size * static_cast<uint64_t>(job->part) /
                             static_cast<uint64_t>(pipeline_input_parts(input)));
  }
  RowReader reader = row_reader(chunk);
  RowRecord record;
  while (row_reader_next(&reader, &record)) take_record(job, input, record);
  progress_poll();
}

// The input's result from what its parts reported, after the session's end of the file.
int32_t input_result(InputJob* job, int32_t parts) {
  Run* run = job->run;
  std::string_view path = path_of(job->input_path);
  if (job->result != CONVERT_OK) return job->result;  // it could not be opened
  if (job->parts_ended < parts) {
    // A part's records stopped short: stage A ran out of memory for them.
    LOG(LOG_ERROR, "Could not allocate memory for the rows of %.*s", static_cast<int>(path.size()),
        path.data());
    job->success = false;
  }
  if (job->header_read) {
    dynstring_free(&run->previous_input);
    dynstring_from(&run->previous_input, path);
    journal_previous(run->session->journal, path);
  }
  if (job->taking) frame_tally_report(&run->tally, &run->decoders, path);
  if (!job->kept && !session_on_file_end(run->session)) {
    LOG(LOG_ERROR, "Error during end file callback");
    job->success = false;
  }
  if (job->close_result != CONVERT_OK) {
    LOG(LOG_ERROR, "Could not close input file after conversion: %.*s",
        static_cast<int>(path.size()), path.data());
    return CONVERT_FAILED;
  }
  return job->success ? CONVERT_OK : CONVERT_FAILED;
}

int32_t end_input(void* context, PipelineInput* input) {
  auto* stages = static_cast<StageContext*>(context);
  auto* job = static_cast<InputJob*>(pipeline_input_data(input));
  std::string_view path = path_of(job->input_path);
  int32_t result = finish_input(stages->run, path, input_result(job, pipeline_input_parts(input)),
                                job->header_read, job->kept, job->stamped ? &job->opened : nullptr);
  if (result != 0)
    LOG(LOG_ERROR, "Error during conversion of %.*s", static_cast<int>(path.size()), path.data());
  RunTotals* totals = stages->totals;
  if (totals && totals->report) settle_report(totals->report, job, result);
  progress_file_end(job->size);
  if (totals) (result == 0 ? totals->converted : totals->failed) += 1;
  return result;
}

void produce_part(void*, PipelinePart* part) {
  auto* job = static_cast<InputJob*>(pipeline_input_data(pipeline_part_input(part)));
  read_input_part(job, part);
}

void release_part_data(void*, void* data) { release_part_plan(data); }

void release_input_job(void*, void* data) {
  auto* job = static_cast<InputJob*>(data);
  if (!job) return;
  stream_close(job->file);
  dynstring_free(&job->input_path);
  dynstring_free(&job->output_name);
  row_taker_clear(&job->taker);
  grow_array_free(&job->failed_groups);
  grow_array_free(&job->shown_groups);
  free(job);
}

}  // namespace

bool finish_conversions(Run* run) {
  if (!run) return true;
  deletion_queue_delete(&run->deletions, run->session, run->input_root, {}, false);
  return !run->deletions.durability_failed;
}

void delete_stale_inputs(Run* run) {
  deletion_queue_delete(&run->deletions, run->session, run->input_root,
                        dynstring_sv(&run->previous_input), true);
}

const PipelineOps CONVERSION_STAGES{produce_part, begin_input,       consume_chunk,
                                    end_input,    release_input_job, release_part_data};

namespace {

// Appends the components of `path` other than empty ones, "." and "..", joined by "/": a name
// built from an input's path (in/a/.. with -X gives "..") never leads out of the output
// folder. False when memory ran out.
bool append_plain_components(std::string_view path, DynString* out) {
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
    if (part.empty() || part == "." || part == "..") continue;
    if ((dynstring_length(out) && !dynstring_append(out, "/")) || !dynstring_append(out, part))
      return false;
  }
  return true;
}

// The session sees the input's own output name: its output path (extension cut) with the
// extension joined by "_" (logs/a.MF4 gives logs_out/a_MF4), so that a.MF4 and a.MFC in one
// folder get different names. The walk accepts only names with an extension. False when
// memory ran out.
bool output_name(std::string_view input_path, std::string_view output_path, DynString* out) {
  dynstring_clear(out);
  if (!append_plain_components(output_path, out)) return false;
  size_t dot = input_path.rfind('.');
  if (dot != std::string_view::npos && input_path.find('/', dot) == std::string_view::npos &&
      (!dynstring_append(out, "_") || !dynstring_append(out, input_path.substr(dot + 1))))
    return false;
  return true;
}

}  // namespace

bool worth_splitting(const Run* run, uint64_t size) {
  const ConversionOptions* options = run->options;
  return options->jobs > 1 && options->buffer_size < 0 && size >= split_sizes.split_bytes;
}

InputJob* conversion_input(Run* run, std::string_view input_path, std::string_view output_path,
                           uint64_t size, bool may_split) {
  auto* job = static_cast<InputJob*>(calloc(1, sizeof(InputJob)));
  if (!job || !dynstring_from(&job->input_path, input_path) ||
      !output_name(input_path, output_path, &job->output_name)) {
    LOG(LOG_ERROR, "Could not allocate memory for input file %.*s",
        static_cast<int>(input_path.size()), input_path.data());
    release_input_job(nullptr, job);
    return nullptr;
  }
  job->run = run;
  job->size = size;
  job->may_split = may_split;
  job->file = fs_open(run->input_root, input_path, FS_OPEN_READ);
  if (!job->file) {
    LOG(LOG_ERROR, "Could not open input file %.*s", static_cast<int>(input_path.size()),
        input_path.data());
    return job;
  }
  ScopedDynString full;
  job->stamped = io_join_path(dynstring_sv(&run->input_root->path), input_path, &full.s) &&
                 path_stamp(dynstring_data(&full.s), &job->opened);
  return job;
}

int32_t convert_file(Run* run, std::string_view input_path, std::string_view output_path) {
  if (!run) return CONVERT_FAILED;
  StageContext stages{run, nullptr};
  Pipeline* pipeline = pipeline_create(&CONVERSION_STAGES, &stages, pipeline_limits(1));
  if (!pipeline) return CONVERT_FAILED;
  InputJob* job = conversion_input(run, input_path, output_path, 0, false);
  int32_t result = job ? pipeline_add(pipeline, job, 0, false) : CONVERT_FAILED;
  result |= pipeline_finish(pipeline);
  pipeline_destroy(pipeline);
  return result;
}
