// The deletion of converted inputs (--delete-converted): inputs wait in a queue until their
// output is durable, which is made so for many inputs at once, and each is deleted only when it
// is still the file that was converted. In a format whose files are finished only when they
// are closed (Parquet), an input also waits for the output set it wrote to to close.
#pragma once

#include <cstdint>
#include <string_view>

#include "io/fs_root.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"

struct Session;

// A queued input's stamp when it was opened; `known` is false when it could not be taken.
struct QueuedStamp {
  DynString path;
  FileStamp stamp;
  bool known;
};

// A queued input (relative to the input root) and the output set its rows went to.
struct QueuedInput {
  DynString path;
  uint64_t output_set;
};

struct DeletionQueue {
  GrowArray<QueuedInput> inputs;
  // The queued inputs of this run as they were when they were opened: one that has changed
  // since (a copy still being written) is kept.
  GrowArray<QueuedStamp> stamps;
  int64_t started_ms;      // when the oldest input in the queue was converted
  bool durability_failed;  // the output could not be made durable: inputs were kept
};

// The number of queued inputs after which the queue is due (256; tests lower it to delete
// inputs in the middle of a short run).
extern int32_t deletion_batch_inputs;

// Queues a converted input of this run, whose rows went to the session's current output set,
// with its stamp when it was opened (null: unknown, and the input is then kept). When memory
// runs out the input is not queued (kept).
void deletion_queue_add(DeletionQueue* queue, const Session* session, std::string_view input_path,
                        const FileStamp* opened);
// Queues an input that an interrupted run converted and did not delete (no stamp to check); its
// rows count as in the session's current output set.
void deletion_queue_add_resumed(DeletionQueue* queue, const Session* session,
                                std::string_view input_path);
// Whether the queue is due to be emptied: after deletion_batch_inputs inputs or one second since
// the oldest, so
// that one sync makes the output of many inputs durable.
bool deletion_queue_due(const DeletionQueue* queue);
// Makes the session's output durable and deletes the queued inputs below `input_root` but
// `waiting` (which the next input may repeat; empty: none) and those whose output set is still
// open in a format that finishes its files when they close, journaling each deletion. When the
// output cannot be made durable (or its folder was removed or replaced) the inputs are kept
// and durability_failed is set. written_before: the output was written by an earlier (killed)
// run, whose files this one does not know.
void deletion_queue_delete(DeletionQueue* queue, Session* session, const FsRoot* input_root,
                           std::string_view waiting, bool written_before);
void deletion_queue_free(DeletionQueue* queue);
