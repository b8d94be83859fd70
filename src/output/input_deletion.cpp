// The deletion queue of converted inputs: batching, the check that an input is unchanged, and
// the deletion once the output is durable.
#include "output/input_deletion.h"

#include "io/durable_io.h"
#include "output/journal.h"
#include "output/output_writer.h"
#include "output/session.h"
#include "support/clock.h"
#include "support/log.h"

namespace {

constexpr int64_t DELETION_DELAY_MS = 1000;

// Whether an input of this run is still the file it was when it was opened (a file still
// being copied grows, one replaced is another file); its stamp is forgotten. Inputs queued
// from an interrupted run have none here and pass.
bool unchanged_since_opened(DeletionQueue* queue, std::string_view input_path, const char* full) {
  GrowArray<QueuedStamp>& stamps = queue->stamps;
  int32_t i = 0;
  while (i < stamps.count && dynstring_sv(&stamps[i].path) != input_path) ++i;
  if (i == stamps.count) return true;
  QueuedStamp queued = stamps[i];
  stamps[i] = stamps[stamps.count - 1];
  stamps.count -= 1;
  dynstring_free(&queued.path);
  FileStamp now;
  if (queued.known && path_stamp(full, &now) && now == queued.stamp) return true;
  LOG_SHOWN_WARNING(
      "Input file %.*s is kept: its size or modification time is not what it was when it was "
      "opened for conversion (it may still be being written)",
      static_cast<int>(input_path.size()), input_path.data());
  return false;
}

// Deletes a converted input (a missing one counts as deleted) and journals it; a failure is
// logged with the input's path.
void remove_converted_input(DeletionQueue* queue, Session* session, const FsRoot* input_root,
                            std::string_view input_path) {
  ScopedDynString full;
  bool joined = io_join_path(dynstring_sv(&input_root->path), input_path, &full.s);
  if (joined && !unchanged_since_opened(queue, input_path, dynstring_data(&full.s))) return;
  if (joined && io_remove_file(dynstring_data(&full.s))) {
    journal_removed(session->journal, input_path);
    return;
  }
  LOG(LOG_ERROR, "Could not remove input file after conversion: %.*s",
      static_cast<int>(input_path.size()), input_path.data());
}

}  // namespace

int32_t deletion_batch_inputs = 256;

void deletion_queue_add(DeletionQueue* queue, const Session* session, std::string_view input_path,
                        const FileStamp* opened) {
  GrowArray<QueuedInput>& inputs = queue->inputs;
  QueuedInput input{{}, session->output_set};
  if (dynstring_from(&input.path, input_path) && grow_array_push(&inputs, input)) {
    if (inputs.count == 1) queue->started_ms = monotonic_milliseconds();
    QueuedStamp stamp{{}, opened ? *opened : FileStamp{}, opened != nullptr};
    // Without its stamp the input cannot be checked and is kept.
    if (!dynstring_from(&stamp.path, input_path) || !grow_array_push(&queue->stamps, stamp)) {
      dynstring_free(&stamp.path);
      inputs.count -= 1;
      dynstring_free(&input.path);
    }
  } else {
    dynstring_free(&input.path);
  }
}

void deletion_queue_add_resumed(DeletionQueue* queue, const Session* session,
                                std::string_view input_path) {
  QueuedInput input{{}, session->output_set};
  if (!dynstring_from(&input.path, input_path)) return;
  if (!grow_array_push(&queue->inputs, input)) dynstring_free(&input.path);
}

bool deletion_queue_due(const DeletionQueue* queue) {
  int32_t count = queue->inputs.count;
  return count >= deletion_batch_inputs ||
         (count > 0 && monotonic_milliseconds() - queue->started_ms >= DELETION_DELAY_MS);
}

namespace {

// Whether the input's rows are in finished files once the output is durable: always for a
// format whose files are whole when flushed, otherwise once its output set was closed (a later
// set started, or the session closed every file).
bool rows_in_finished_files(const QueuedInput& input, const Session* session) {
  return output_files_whole_when_flushed() || input.output_set < session->output_set ||
         session->writers.used == 0;
}

// Whether any queued input but `waiting` may be deleted now.
bool any_deletable(const DeletionQueue* queue, const Session* session, std::string_view waiting) {
  for (const QueuedInput& input : queue->inputs)
    if (dynstring_sv(&input.path) != waiting && rows_in_finished_files(input, session)) return true;
  return false;
}

}  // namespace

void deletion_queue_delete(DeletionQueue* queue, Session* session, const FsRoot* input_root,
                           std::string_view waiting, bool written_before) {
  GrowArray<QueuedInput>& inputs = queue->inputs;
  if (!any_deletable(queue, session, waiting)) return;
  // An output folder removed or replaced since the run locked it holds none of the rows.
  bool in_place = fs_root_in_place(session->output_root);
  if (!in_place)
    LOG(LOG_ERROR,
        "The output folder %s is no longer the one this run writes to (removed or "
        "replaced)",
        dynstring_data(&session->output_root->path));
  bool durable = in_place && session_make_durable(session) &&
                 journal_make_durable(session->journal, written_before);
  if (!durable) {
    queue->durability_failed = true;
    LOG(LOG_ERROR, "Converted input files are kept: their output could not be made durable");
  }
  int32_t kept = 0;
  for (QueuedInput& input : inputs) {
    std::string_view path = dynstring_sv(&input.path);
    if (path == waiting || !rows_in_finished_files(input, session)) {
      inputs[kept++] = input;
      continue;
    }
    if (durable) remove_converted_input(queue, session, input_root, path);
    dynstring_free(&input.path);
  }
  inputs.count = kept;
  queue->started_ms = monotonic_milliseconds();
}

void deletion_queue_free(DeletionQueue* queue) {
  for (QueuedInput& input : queue->inputs) dynstring_free(&input.path);
  grow_array_free(&queue->inputs);
  for (QueuedStamp& s : queue->stamps) dynstring_free(&s.path);
  grow_array_free(&queue->stamps);
}
