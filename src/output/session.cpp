// The output session: creation, the per-file concatenation rules that decide the output set,
// statistics and destruction.
#include "output/session.h"

#include <sys/resource.h>

#include <cstdlib>
#include <cstring>

#include "output/journal.h"
#include "output/output_files.h"
#include "output/output_writer.h"
#include "support/log.h"

namespace {

constexpr rlim_t WANTED_OPEN_FILES = 8192;

// Raises the soft limit of open files to min(8192, hard limit): one output file stays open per
// message and split.
void raise_open_file_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= WANTED_OPEN_FILES) return;
  rlim_t wanted = WANTED_OPEN_FILES;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) wanted = limit.rlim_max;
  limit.rlim_cur = wanted;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

Session* session_create(FsRoot* output_root, bool no_append_root, bool sync_on_close,
                        uint8_t concatenate) {
  if (!output_root) return nullptr;
  raise_open_file_limit();
  auto* session = static_cast<Session*>(calloc(1, sizeof(Session)));
  if (!session) return nullptr;
  session->output_root = output_root;
  session->sync_on_close = sync_on_close;
  session->root_suffix = no_append_root ? "" : "_out";
  session->concatenate = concatenate;

  return session;
}

void session_destroy(Session* session) {
  if (!session) return;
  session_close_outputs(session);
  hash_table_destroy<StringKeyTraits<StringSetEntry>>(&session->written_paths);
  grow_array_free(&session->touched);
  dynstring_free(&session->naming_folder);
  dynstring_free(&session->current_folder);
}

bool session_finish(Session* session) { return session_close_outputs(session); }

const OutputStatistics* session_statistics(const Session* session) {
  return session ? &session->statistics : nullptr;
}

bool session_start_output_set(Session* session, uint16_t year, uint8_t month, uint8_t day) {
  bool closed = session_close_outputs(session);
  session->naming_serial = session->current_serial;
  session->naming_session = session->current_session;
  session->naming_split = session->current_split;
  dynstring_clear(&session->naming_folder);
  // Without its folder the set has no name: output_set_path then names no file.
  bool named = dynstring_append(&session->naming_folder, dynstring_sv(&session->current_folder));
  session->output_year = year;
  session->output_month = month;
  session->output_day = day;
  session->output_set += 1;
  journal_output_set(session->journal, session->naming_serial, session->naming_session,
                     session->naming_split, year, month, day,
                     dynstring_sv(&session->naming_folder));
  return closed && named;
}

namespace {

// Takes the file's serial number, session and split as the current values. False unless the
// file carries all three, none of them 0: a file that lacks one is no logger's file, and values
// of the file before it would make it continue or repeat that file, whose place in the run is
// no property of its own.
bool take_file_numbers(Session* session, const FileHeader* header) {
  bool complete = header->serial && header->session && header->split;
  session->current_serial = complete ? header->serial : 0;
  session->current_session = complete ? header->session : 0;
  session->current_split = complete ? header->split : 0;
  return complete;
}

// A file without the logger's metadata starts an output set of its own below its own output
// name. Its numbers stay 0, so that the next file starts a set as the first file of a run does.
bool begin_own_output_set(Session* session, std::string_view folder, const FileHeader* header) {
  if (folder.empty() || !dynstring_append(&session->current_folder, folder)) return false;
  LOG(LOG_INFO,
      "The file has no logger serial number, session and split: its rows go to %.*s/ as an "
      "output set of its own",
      static_cast<int>(folder.size()), folder.data());
  session->time_base = header->start_time;
  if (!session_start_output_set(session, 0, 0, 0)) session->output_failed = true;
  return true;
}

// Whether the current file continues the recording of the previous one (same device). A split
// equal to the last one never gets here, as a repeated file has been set aside before; a
// logger whose split counter passes a multiple of 256 starts the next session number while
// the recording goes on, so session + 1 with the split going from ..00 to ..01 continues too.
bool continues_previous_file(const Session* session) {
  if (session->current_serial != session->last_serial) return false;
  uint32_t session_now = session->current_session, split_now = session->current_split;
  uint32_t session_before = session->last_session, split_before = session->last_split;
  return (session_now == session_before &&
          (split_now == split_before || split_now == split_before + 1)) ||
         (session_now == session_before + 1 && split_now == split_before + 1 &&
          (split_before & 0xFF) == 0 && (split_now & 0xFF) == 1);
}

}  // namespace

bool session_on_file_begin(Session* session, const char* output_path, const FileHeader* header,
                           bool* repeated) {
  session->input_mark += 1;
  session->warned_bad_time = false;
  *repeated = false;
  dynstring_clear(&session->current_folder);
  if (!take_file_numbers(session, header))
    return begin_own_output_set(session, output_path ? output_path : "", header);

  if (session->current_serial == session->last_serial &&
      session->current_session == session->last_session &&
      session->current_split == session->last_split) {
    LOG(LOG_WARN, "Repeated input file (%X, %u, %u)", session->current_serial,
        session->current_session, session->current_split);
    *repeated = true;
    return true;
  }
  session->time_base = header->start_time;

  bool started;
  if (session->last_serial == 0) {
    // The first file of the run: no date yet, so its first row names the output set.
    session->last_serial = session->current_serial;
    session->last_session = session->current_session;
    session->last_split = session->current_split;
    started = session_start_output_set(session, 0, 0, 0);
  } else if (continues_previous_file(session) && session->concatenate) {
    return true;
  } else {
    started = session_start_output_set(session, session->output_year, session->output_month,
                                       session->output_day);
  }
  if (!started) session->output_failed = true;
  return true;
}

bool session_on_file_end(Session* session) {
  session->last_serial = session->current_serial;
  session->last_session = session->current_session;
  session->last_split = session->current_split;
  journal_last(session->journal, session->last_serial, session->last_session, session->last_split);
  bool ok = !session->output_failed;
  session->output_failed = false;
  // The input counts as converted only once its rows are in the files.
  for (OutputWriter* writer : session->touched) {
    bool failed_before = writer->failed;
    if (writer_flush(writer)) continue;
    if (!failed_before) LOG(LOG_ERROR, "Could not flush output file %s", writer_path(writer));
    ok = false;
  }
  journal_rows_of_input(session);
  session->touched.count = 0;
  return ok;
}
