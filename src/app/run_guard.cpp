// The output folder's lock and journal around a conversion run.
#include "app/run_guard.h"

#include <errno.h>

#include <cstdio>
#include <cstring>

#include "app/convert_file.h"
#include "app/run.h"
#include "app/tool.h"
#include "io/durable_io.h"
#include "output/journal.h"
#include "output/output_writer.h"
#include "output/session.h"
#include "support/log.h"

namespace {

// FNV-1a over the parts of the fingerprint, each ended by a zero byte.
struct Fingerprint {
  uint64_t hash = 0xCBF29CE484222325ULL;
  void add(std::string_view text) {
    for (char c : text) step(static_cast<uint8_t>(c));
    step(0);
  }
  void step(uint8_t byte) { hash = (hash ^ byte) * 0x100000001B3ULL; }
};

// Marks the finished inputs that are no longer the files the journal recorded (replaced,
// grown, or without a recorded stamp while converted): they are converted again, never
// deleted unconverted. A missing input counts as unchanged: it was deleted.
void mark_changed_inputs(Journal* journal, const FsRoot* input_root) {
  hash_table_for_each(&journal->finished, [&](FinishedInput& input) {
    ScopedDynString full;
    FileStamp now{};
    bool same = input.stamped;
    if (same && io_join_path(dynstring_sv(&input_root->path), dynstring_sv(&input.key), &full.s) &&
        path_stamp(dynstring_data(&full.s), &now))
      same = now.size == input.size && now.modified_ns == input.modified_ns;
    if (same || (!input.stamped && input.result != 0)) return;
    input.changed = 1;
    input.pending_deletion = 0;
    LOG_SHOWN_WARNING(
        "Input file %s has changed since the interrupted run converted it: it is converted again",
        dynstring_data(&input.key));
  });
}

// Lets the session journal its work and, for a resumed run, restores the run's and the
// session's state and completes the deletions the interrupted run left due. False when the
// resumed run's files could not all be reopened (logged).
bool attach(Journal* journal, Run* run) {
  Session* session = run->session;
  session->journal = journal;
  session->fresh_names = journal->fresh_names;
  if (journal->distrusted)
    LOG_SHOWN_WARNING(
        "The journal %s failed its check at line %lld (%s): the interrupted run is neither "
        "repaired nor resumed, no input is deleted for it, and this run converts afresh into "
        "new files beside the existing ones",
        dynstring_data(&journal->path), static_cast<long long>(journal->fault_line),
        journal->fault);
  if (!journal->resumed) return true;
  mark_changed_inputs(journal, run->input_root);
  bool reopened = session_resume(session, &journal->state);
  std::string_view previous = dynstring_sv(&journal->state.previous_input);
  dynstring_from(&run->previous_input, previous);
  const FinishedInput* f =
      hash_table_find<StringKeyTraits<FinishedInput>>(&journal->finished, previous);
  run->previous_converted = f && f->result == 0 && !f->changed;
  if (!run->options->delete_converted) return reopened;
  // The interrupted run's converted inputs that were not deleted yet join the queue; all but
  // the previous one, which the next input may repeat, are deleted at once.
  hash_table_for_each(&journal->finished, [&](FinishedInput& input) {
    if (input.pending_deletion)
      deletion_queue_add_resumed(&run->deletions, run->session, dynstring_sv(&input.key));
  });
  delete_stale_inputs(run);
  return reopened;
}

}  // namespace

uint64_t run_fingerprint(const Tool* tool) {
  Fingerprint f;
  f.add(dynstring_sv(&tool->common_root));
  for (const DynString& input : tool->inputs) f.add(dynstring_sv(&input));
  f.add("dbc");
  for (const auto& bus : tool->dbc_paths.paths)
    for (int channel = 1; channel < CHANNELS_PER_BUS; ++channel)
      for (const DynString& path : bus[channel]) f.add(dynstring_sv(&path));
  // Channel 0 came later: a run without its files keeps the fingerprint it always had.
  for (int bus = 0; bus < 2; ++bus) {
    for (const DynString& path : tool->dbc_paths.paths[bus][0]) {
      if (dynstring_length(&path) == 0) continue;
      f.add(bus == 0 ? "can0" : "lin0");
      f.add(dynstring_sv(&path));
    }
  }
  f.step(tool->concatenate);
  f.step(tool->options.no_append_root);
  f.add(dynstring_sv(&tool->output_root->path));
  // A shard converts other inputs than the whole run (an unsharded run's fingerprint is as it
  // always was).
  if (tool->options.shard_count > 1) {
    char shard[32];
    snprintf(shard, sizeof shard, "shard %u/%u", tool->options.shard_index + 1,
             tool->options.shard_count);
    f.add(shard);
  }
  // Files of another format are others (a CSV run's fingerprint is as it always was).
  if (strcmp(output_file_extension(), ".csv") != 0) f.add(output_file_extension());
  // Texts for values, ISO times and a signal selection give files of another shape (a run
  // without them keeps the fingerprint it always had).
  if (tool->options.values_text) f.add("values=text");
  if (tool->options.time_iso) f.add("time=iso");
  if (tool->signal_patterns.count > 0) {
    f.add("signals");
    for (const DynString& pattern : tool->signal_patterns) f.add(dynstring_sv(&pattern));
  }
  return f.hash;
}

bool run_guard_begin(RunGuard* guard, const Tool* tool, Run* run, int* exit_status) {
  *guard = RunGuard{-1, nullptr, false};
  const char* folder = dynstring_data(&tool->output_root->path);
  guard->lock_fd = io_lock_folder(folder);
  if (guard->lock_fd < 0) {
    if (errno == EWOULDBLOCK) {
      LOG(LOG_FATAL,
          "Another run is converting into the output folder %s; try again when it has ended",
          folder);
    } else {
      LOG(LOG_FATAL, "Could not lock the output folder %s: %s", folder, strerror(errno));
    }
    *exit_status = EXIT_SETUP_FAILED;
    return false;
  }
  guard->journal = journal_open(tool->output_root, run_fingerprint(tool));
  if (!guard->journal) {
    io_unlock_folder(guard->lock_fd);
    guard->lock_fd = -1;
    *exit_status = EXIT_SETUP_FAILED;
    return false;
  }
  guard->resume_failed = !attach(guard->journal, run);
  return true;
}

int run_guard_end(RunGuard* guard, Run* run) {
  int status = finish_conversions(run) && !guard->resume_failed ? 0 : 8;
  run->session->journal = nullptr;
  journal_close(guard->journal);
  guard->journal = nullptr;
  io_unlock_folder(guard->lock_fd);
  guard->lock_fd = -1;
  return status;
}
