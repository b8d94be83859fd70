// The conversion session: creation with its DBC databases, the per-file metadata and
// concatenation rules, statistics and destruction.
#include "decode/session.h"

#include <sys/resource.h>

#include <cstdlib>
#include <cstring>

#include "dbc/dbc_parser.h"
#include "dbc/message_db.h"
#include "decode/csv_writer.h"
#include "decode/file_metadata.h"
#include "decode/frame_decoder.h"
#include "decode/journal.h"
#include "decode/output_files.h"
#include "io/stream.h"
#include "support/log.h"

namespace {

constexpr rlim_t WANTED_OPEN_FILES = 8192;

uint32_t lin_key(uint32_t id, bool) { return lin_message_key(id); }

void session_destroy_op(Converter* c) { session_destroy(reinterpret_cast<Session*>(c)); }
bool on_file_begin_op(Converter* c, const char* output_path, const FileHeader* header) {
  return session_on_file_begin(reinterpret_cast<Session*>(c), output_path, header);
}
bool on_record_op(Converter* c, RowTaker* taker, const RowRecord& record) {
  return session_take_record(reinterpret_cast<Session*>(c), taker, record);
}
RowMaker* rows_begin_op(const Converter* c, double time_base, RowWriter* out) {
  return row_maker_new(reinterpret_cast<const Session*>(c), time_base, out);
}
bool on_file_end_op(Converter* c, const char* output_path) {
  return session_on_file_end(reinterpret_cast<Session*>(c), output_path);
}
bool make_durable_op(Converter* c) { return session_make_durable(reinterpret_cast<Session*>(c)); }
void report_file_op(Converter* c, std::string_view input_path) {
  session_report_file(reinterpret_cast<Session*>(c), input_path);
}
void account_file_op(const Converter* c, FrameAccount* file,
                     FrameAccount (*channels)[TALLY_CHANNELS]) {
  session_account_file(reinterpret_cast<const Session*>(c), file, channels);
}

constexpr ConverterOps SESSION_OPS{session_destroy_op,    rows_begin_op,  row_maker_frame,
                                   row_maker_write_tally, row_maker_free, on_file_begin_op,
                                   on_record_op,          on_file_end_op, make_durable_op,
                                   report_file_op,        account_file_op};

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

uint32_t parse_unsigned(const DynString* text, int base) {
  return static_cast<uint32_t>(strtoul(dynstring_data(text), nullptr, base));
}

}  // namespace

namespace {

// The first message that has a folder name (path part): the part itself is not kept but made
// again from the message's name when another part has the same hash, so the table costs 16
// bytes per message of a database with millions of them.
struct FolderEntry {
  uint64_t hash;
  const Message* message;
};
struct FolderKey {
  uint64_t hash;
  std::string_view part;
  DynString* scratch;
};
struct FolderTraits {
  using Key = FolderKey;
  static uint64_t hash(const Key& k) { return k.hash; }
  static uint64_t hash_entry(const FolderEntry& e) { return e.hash; }
  static bool equal(const FolderEntry& e, const Key& k) {
    if (e.hash != k.hash) return false;
    dynstring_clear(k.scratch);
    return name_to_path_part(dynstring_sv(&e.message->name), k.scratch) &&
           dynstring_sv(k.scratch) == k.part;
  }
  static void destroy(FolderEntry&) {}
};

// Messages whose names differ only in characters that file names leave out ("Engine_Data" and
// "EngineData") write into one folder, the second one's files told apart by a numbered suffix:
// said once per pair at the default verbosity, since a reader of the tree could take them for
// one message.
void warn_shared_folders(const ChannelDecoders& decoders, const char* bus, int channel) {
  HashTable<FolderEntry> parts;  // path part to the first message name that has it
  int64_t messages = 0;
  for (MessageDatabase* database : decoders.databases) {
    if (!database) break;
    messages += database->messages.used;
  }
  if (messages < INT32_MAX) hash_table_rehash<FolderTraits>(&parts, static_cast<int32_t>(messages));
  ScopedDynString part, scratch;
  for (MessageDatabase* database : decoders.databases) {
    if (!database) break;
    ordered_map_for_each(&database->messages, [&](const uint32_t&, const Message& message) {
      dynstring_clear(&part.s);
      if (!name_to_path_part(dynstring_sv(&message.name), &part.s) || part.view().empty())
        return true;
      FolderKey key{string_hash(part.view()), part.view(), &scratch.s};
      HashSlot<FolderEntry> slot = hash_table_find_or_insert<FolderTraits>(&parts, key);
      if (!slot.slot) return false;
      if (slot.inserted) {
        *slot.slot = FolderEntry{key.hash, &message};
      } else if (dynstring_sv(&slot.slot->message->name) != dynstring_sv(&message.name)) {
        LOG(LOG_ERROR,
            "Messages %s and %s of %s %d share the output folder %s%d_%s: the files of the one "
            "decoded later get a numbered suffix (_2.csv)",
            dynstring_data(&slot.slot->message->name), dynstring_data(&message.name), bus, channel,
            bus, channel, dynstring_data(&part.s));
      }
      return true;
    });
  }
  hash_table_destroy<FolderTraits>(&parts);
}

}  // namespace

Session* session_create(FsRoot* input_root, FsRoot* output_root, ConversionOptions* options,
                        const DbcPathTable* dbc_paths, uint8_t concatenate) {
  if (!input_root || !output_root || !options || !dbc_paths) return nullptr;
  raise_open_file_limit();
  auto* session = static_cast<Session*>(calloc(1, sizeof(Session)));
  if (!session) return nullptr;
  session->base.ops = &SESSION_OPS;
  session->base.input_root = input_root;
  session->base.output_root = output_root;
  session->base.options = options;
  session->root_suffix = options->no_append_root ? "" : "_out";
  session->concatenate = concatenate;

  bool ok = true;
  for (int bus = 0; bus < 2; ++bus) {
    for (int channel = 0; channel < CHANNELS_PER_BUS; ++channel) {
      ChannelDecoders& decoders = session->channels[bus * CHANNELS_PER_BUS + channel];
      int used = 0;
      for (const DynString& path : dbc_paths->paths[bus][channel]) {
        if (dynstring_length(&path) == 0) continue;
        Stream* stream = file_stream_open(dynstring_data(&path), 0);
        if (!stream) {
          LOG(LOG_FATAL, "Could not open DBC file %s", dynstring_data(&path));
          ok = false;
          continue;
        }
        MessageDatabase* database = dbc_load(stream, dynstring_sv(&path), options->values_text);
        stream_close(stream);
        if (!database) {
          LOG(LOG_FATAL, "Could not load DBC file %s", dynstring_data(&path));
          ok = false;
          continue;
        }
        decoders.databases[used++] = database;
        if ((used > 1 && !dynstring_append(&decoders.files, " or ")) ||
            !dynstring_append(&decoders.files, dynstring_sv(&path))) {
          LOG(LOG_FATAL, "Out of memory loading DBC file %s", dynstring_data(&path));
          ok = false;
        }
        if (bus == 1) {
          decoders.key = lin_key;
        } else {
          decoders.key = database->protocol == PROTOCOL_J1939 ? j1939_message_key : can_message_key;
        }
      }
    }
  }
  if (!ok) {
    session_destroy(session);
    free(session);
    return nullptr;
  }
  for (int index = 0; index < 2 * CHANNELS_PER_BUS; ++index)
    warn_shared_folders(session->channels[index], index < CHANNELS_PER_BUS ? "CAN" : "LIN",
                        index % CHANNELS_PER_BUS);
  return session;
}

void session_destroy(Session* session) {
  if (!session) return;
  for (ChannelDecoders& decoders : session->channels) {
    for (MessageDatabase*& database : decoders.databases) {
      if (database) message_db_free(database);
      database = nullptr;
    }
    dynstring_free(&decoders.files);
  }
  session_close_outputs(session);
  hash_table_destroy<StringKeyTraits<StringSetEntry>>(&session->written_paths);
  grow_array_free(&session->touched);
  dynstring_free(&session->base.previous_input);
  frame_tally_free(&session->base.tally);
  dynstring_free(&session->naming_folder);
  dynstring_free(&session->current_folder);
  for (DynString& path : session->base.deletion_queue) dynstring_free(&path);
  grow_array_free(&session->base.deletion_queue);
  for (QueuedStamp& s : session->base.deletion_stamps) dynstring_free(&s.path);
  grow_array_free(&session->base.deletion_stamps);
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
  journal_output_set(session->base.journal, session->naming_serial, session->naming_session,
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

void read_file_header(MdfFile* file, FileHeader* header) {
  *header = FileHeader{};
  FileMetadata metadata;
  read_file_metadata(file, &metadata);
  hash_table_for_each(&metadata, [&](MetadataEntry& e) {
    const MetadataRecord& r = e.record;
    if (dynstring_equals(&r.name, "serial number")) header->serial = parse_unsigned(&r.value, 16);
    if (dynstring_equals(&r.name, "session")) header->session = parse_unsigned(&r.value, 10);
    if (dynstring_equals(&r.name, "split")) header->split = parse_unsigned(&r.value, 10);
  });
  file_metadata_destroy(&metadata);
  header->start_time = file_start_time_seconds(file);
}

bool session_on_file_begin(Session* session, const char* output_path, const FileHeader* header) {
  session->input_mark += 1;
  session->warned_bad_time = false;
  session->base.repeated_input = false;
  dynstring_clear(&session->current_folder);
  if (!take_file_numbers(session, header))
    return begin_own_output_set(session, output_path ? output_path : "", header);

  if (session->current_serial == session->last_serial &&
      session->current_session == session->last_session &&
      session->current_split == session->last_split) {
    LOG(LOG_WARN, "Repeated input file (%X, %u, %u)", session->current_serial,
        session->current_session, session->current_split);
    session->base.repeated_input = true;
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

bool session_on_file_end(Session* session, const char*) {
  session->last_serial = session->current_serial;
  session->last_session = session->current_session;
  session->last_split = session->current_split;
  journal_last(session->base.journal, session->last_serial, session->last_session,
               session->last_split);
  bool ok = !session->output_failed;
  session->output_failed = false;
  // The input counts as converted only once its rows are in the files.
  for (CsvWriter* writer : session->touched) {
    bool failed_before = writer->failed;
    if (csv_writer_flush(writer)) continue;
    if (!failed_before) LOG(LOG_ERROR, "Could not flush output file %s", csv_writer_path(writer));
    ok = false;
  }
  journal_rows_of_input(session);
  session->touched.count = 0;
  return ok;
}
