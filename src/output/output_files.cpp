// Output files of a session: writer keys, file paths and names, folder creation, and the
// writer map's flush and destruction.
#include "output/output_files.h"

#include <errno.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>

#include "dbc/message_db.h"
#include "io/durable_io.h"
#include "io/fs_root.h"
#include "output/journal.h"
#include "output/output_writer.h"
#include "support/grow_array.h"
#include "support/hash_table.h"
#include "support/log.h"

namespace {

// Creates every folder of the relative file path, outermost first; stops at the first
// failure, which then shows as a file that cannot be created. A folder that is a symbolic link
// (planted to send the output elsewhere) is refused with a message: false, errno ELOOP.
bool make_parent_directories(FsRoot* root, std::string_view relative_file) {
  size_t end = relative_file.rfind('/');
  if (end == std::string_view::npos) return true;
  for (size_t at = 0; at < end;) {
    size_t next = relative_file.find('/', at);
    if (next == std::string_view::npos || next > end) next = end;
    std::string_view folder = relative_file.substr(0, next);
    if (next > at && fs_is_symbolic_link(root, folder)) {
      LOG(LOG_ERROR, "Output folder %.*s is a symbolic link: nothing is written through it",
          static_cast<int>(folder.size()), folder.data());
      errno = ELOOP;
      return false;
    }
    if (next > at && !fs_ensure_directory(root, folder)) return true;
    at = next + 1;
  }
  return true;
}

}  // namespace

bool output_set_path(const Session* session, std::string_view part, DynString* out) {
  if (!session) return false;
  const char* suffix = session->root_suffix ? session->root_suffix : "";
  std::string_view folder = dynstring_sv(&session->naming_folder);
  // A logger's serial is never 0: a set with neither serial nor folder has no name.
  if (folder.empty() && session->naming_serial == 0) return false;
  bool device = folder.empty()
                    ? dynstring_format(out, "%08X%s", session->naming_serial, suffix) >= 0
                    : dynstring_append(out, folder) != nullptr;
  // Every name of the path stays below the output folder, whatever the input's names were.
  return device && dynstring_append(out, "/") && dynstring_append(out, part) &&
         dynstring_format(out, "/%04i/%02i/%02i/%08u_%08u", session->output_year,
                          session->output_month, session->output_day, session->naming_session,
                          session->naming_split) >= 0 &&
         path_stays_below(dynstring_sv(out));
}

namespace {

// Within one run an output file is written by one writer only: a second writer would truncate
// the first one's rows. That happens when two databases decode a message into different signal
// sets (or two value sets hash alike), and when a later output set gets the name of an earlier
// one (a copy of a log converted again, or rows that go back to an earlier day). The later
// writer's file name then gets "_2", "_3", ... Files from before the run are replaced, unless
// the session keeps them (fresh_names): a name that any entry has is then taken too.
bool name_taken(Session* session, std::string_view relative) {
  if (hash_table_find<StringKeyTraits<StringSetEntry>>(&session->written_paths, relative))
    return true;
  if (!session->fresh_names) return false;
  ScopedDynString full;
  EntryInfo info{};
  return !io_join_path(dynstring_sv(&session->output_root->path), relative, &full.s) ||
         !dynstring_append(&full.s, output_file_extension()) ||
         !path_query(dynstring_data(&full.s), &info) || info.type != ENTRY_MISSING;
}

bool make_path_unique(Session* session, DynString* relative) {
  if (!name_taken(session, dynstring_sv(relative))) return true;
  uint64_t length = dynstring_length(relative);
  for (uint32_t n = 2; n != 0; ++n) {
    dynstring_truncate(relative, length);
    if (dynstring_format(relative, "_%u", n) < 0) return false;
    if (!name_taken(session, dynstring_sv(relative))) return true;
  }
  return false;
}

// The writer's path relative to the output root, without ".csv" (as the journal names files).
std::string_view writer_relative_path(const Session* session, const OutputWriter* writer) {
  std::string_view path = dynstring_sv(&writer->path);
  std::string_view root = dynstring_sv(&session->output_root->path);
  size_t skip = root.size() + (!root.empty() && root.back() != '/');
  size_t extension = strlen(output_file_extension());
  if (path.size() < skip + extension) return {};
  return path.substr(skip, path.size() - skip - extension);
}

// The current input writes to the writer for the first time: the journal learns the file's
// size before it, and the writer joins those that are flushed when the input ends.
void note_first_use(Session* session, OutputWriter* writer, bool created) {
  writer->input_mark = session->input_mark;
  if (!grow_array_push(&session->touched, writer)) session->output_failed = true;
  if (GrowArray<DynString>* log = session->output_log) {
    DynString path{};
    if (!dynstring_from(&path, writer_path(writer)) || !grow_array_push(log, path))
      dynstring_free(&path);
  }
  if (!created)
    journal_touch(session->journal, writer_size(writer), writer_relative_path(session, writer));
}

// Probes from the writer key on for the value set's writer: a key held by a writer of another
// identity sends the set on to the next key, so two sets never share a file or a header.
// Returns the slot of the writer or of a failed attempt (null writer), or null when the key is
// new; *key is then the key to insert.
OutputWriter** find_writer_slot(Session* session, uint64_t* key, uint64_t identity) {
  OutputWriter** known = ordered_map_find(&session->writers, *key);
  while (known && *known && (*known)->identity != identity) {
    *key += uint64_t{1} << 48;
    known = ordered_map_find(&session->writers, *key);
  }
  return known;
}

// Creates the file under a unique name with its folders and header; null when it cannot be
// created (errno says why). *full receives the full path without ".csv", or the relative one
// when no full path could be built.
OutputWriter* create_writer(Session* session, const OutputFile& file, DynString* relative,
                            DynString* full) {
  bool built =
      output_set_path(session, file.path_part, relative) && make_path_unique(session, relative) &&
      io_join_path(dynstring_sv(&session->output_root->path), dynstring_sv(relative), full);
  if (!built) {
    dynstring_free(full);
    dynstring_from(full, dynstring_sv(relative));
    return nullptr;
  }
  if (!make_parent_directories(session->output_root, dynstring_sv(relative))) return nullptr;
  return writer_open(dynstring_data(full), file.header, file.columns, file.kinds);
}

}  // namespace

namespace {

// Makes the rows of the open files that were written since their last sync durable.
bool sync_open_files(Session* session) {
  bool ok = true;
  if (!session->writers.nodes) return ok;
  ordered_map_for_each(&session->writers, [&](const uint64_t&, OutputWriter*& writer) {
    struct stat info;
    // A file removed while it was written keeps its rows nowhere the inputs could be deleted for.
    if (writer && fstat(writer->fd, &info) == 0 && info.st_nlink == 0) {
      LOG(LOG_ERROR, "Output file %s was removed while the run wrote it", writer_path(writer));
      ok = false;
      return true;
    }
    if (!writer || !writer->unsynced || writer_sync(writer)) return true;
    LOG(LOG_ERROR, "Could not make output file %s durable: %s", writer_path(writer),
        strerror(errno));
    ok = false;
    return true;
  });
  return ok;
}

}  // namespace

bool session_make_durable(Session* session) {
  // A file that closed without reaching the disk has rows that the open files cannot vouch for.
  bool ok = sync_open_files(session) && !session->lost_sync;
  session->lost_sync = false;
  return ok;
}

void journal_rows_of_input(Session* session) {
  for (OutputWriter* writer : session->touched)
    if (!writer->failed)
      journal_rows(session->journal, writer_size(writer), writer_relative_path(session, writer));
}

bool session_close_outputs(Session* session) {
  // Flushed on closing: the sizes are those the files end with (or more, a footer added).
  journal_rows_of_input(session);
  session->touched.count = 0;
  // With --delete-converted a file's rows reach the disk before it closes, so that the inputs
  // queued for deletion only wait for the files that are still open.
  bool synced = !session->sync_on_close || sync_open_files(session);
  if (!synced) session->lost_sync = true;
  return writer_map_destroy(&session->writers) && synced;
}

OutputWriter* writer_for_file(Session* session, const OutputFile& file) {
  if (!session || !session->output_root) return nullptr;
  uint64_t key = file.key;
  OutputWriter** known = find_writer_slot(session, &key, file.identity);
  if (known && *known) {
    if ((*known)->input_mark != session->input_mark) note_first_use(session, *known, false);
    return *known;
  }

  ScopedDynString relative, full;
  OutputWriter* writer = create_writer(session, file, &relative.s, &full.s);
  int reason = errno;
  if (writer) {
    // A key known from a failed attempt already has its node.
    OutputWriter** slot = known ? known : ordered_map_insert(&session->writers, key).value;
    if (slot && string_set_insert(&session->written_paths, relative.view())) {
      writer->identity = file.identity;
      *slot = writer;
      ++session->statistics.files;
      journal_new_file(session->journal, key, file.identity, writer->column_count, relative.view());
      note_first_use(session, writer, true);
      return writer;
    }
    writer_close(writer);
    reason = ENOMEM;
  }
  if (!known) {
    LOG(LOG_ERROR, "Could not create output writer for %s%s: %s", dynstring_data(&full.s),
        output_file_extension(), strerror(reason));
    // Remembers that the file has been reported; later attempts still try to create it.
    ordered_map_insert(&session->writers, key);
  }
  return nullptr;
}

bool writer_map_destroy(WriterMap* writers) {
  bool ok = true;
  if (writers->nodes) {
    ordered_map_for_each(writers, [&](const uint64_t&, OutputWriter*& writer) {
      if (!writer) return true;
      // Kept for the report after the writer is gone.
      ScopedDynString path;
      path.s = writer->path;
      writer->path = DynString{};
      if (!writer_close(writer)) {
        LOG(LOG_ERROR, "Could not close output file %s", dynstring_data(&path.s));
        ok = false;
      }
      writer = nullptr;
      return true;
    });
  }
  ordered_map_clear(writers);
  return ok;
}

bool session_resume(Session* session, JournalState* state) {
  bool ok = true;
  session->last_serial = session->current_serial = state->last_serial;
  session->last_session = session->current_session = state->last_session;
  session->last_split = session->current_split = state->last_split;
  session->naming_serial = state->naming_serial;
  session->naming_session = state->naming_session;
  session->naming_split = state->naming_split;
  dynstring_clear(&session->naming_folder);
  dynstring_append(&session->naming_folder, dynstring_sv(&state->naming_folder));
  session->output_year = state->output_year;
  session->output_month = state->output_month;
  session->output_day = state->output_day;
  hash_table_for_each(&state->created, [&](StringSetEntry& e) {
    string_set_insert(&session->written_paths, dynstring_sv(&e.key));
  });
  for (const JournalSetFile& file : state->set_files) {
    ScopedDynString full;
    OutputWriter* writer = nullptr;
    if (io_join_path(dynstring_sv(&session->output_root->path), dynstring_sv(&file.path), &full.s))
      writer = writer_open_append(dynstring_data(&full.s), file.columns);
    OutputWriter** slot = writer ? ordered_map_insert(&session->writers, file.key).value : nullptr;
    if (!slot || *slot) {
      // A key twice would leave the first writer unreachable: it is not reopened again.
      if (!slot)
        LOG(LOG_ERROR, "Could not reopen output file %s%s to go on with it: %s",
            dynstring_data(&full.s), output_file_extension(), strerror(errno));
      writer_close(writer);
      ok = ok && slot;
      continue;
    }
    writer->identity = file.identity;
    *slot = writer;
  }
  return ok;
}
