// The run's journal: records appended with write calls, and the repair and resumption of an
// interrupted run from the records it left.
#include "decode/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decode/csv_writer.h"
#include "io/durable_io.h"
#include "io/fs_root.h"
#include "support/log.h"

namespace {

constexpr const char* JOURNAL_MAGIC = "tabulon-journal 1";

enum RecordKind : int32_t {
  RECORD_BEGIN,
  RECORD_PREVIOUS,
  RECORD_SET,
  RECORD_NEW,
  RECORD_FILE,
  RECORD_TOUCH,
  RECORD_LAST,
  RECORD_DONE,
  RECORD_REMOVED,
  RECORD_CREATED,
  RECORD_SET_FOLDER,
};

// Each record: its word, how many decimal numbers follow it, and whether a path ends it.
constexpr int32_t MAX_NUMBERS = 6;
struct RecordSyntax {
  const char* word;
  int32_t numbers;
  bool path;
  uint64_t largest[MAX_NUMBERS];  // of each number: what the field it is read into holds
};
constexpr uint64_t U64 = UINT64_MAX, U32 = UINT32_MAX;
// A set: serial, session, split, year, month, day. A file: size, identity, columns. The last
// input: serial, session, split. A finished input: its result and whether it waits for deletion.
constexpr RecordSyntax RECORD_SYNTAX[] = {
    {"begin", 0, true, {}},
    {"previous", 0, true, {}},
    {"set", 6, false, {U32, U32, U32, UINT16_MAX, UINT8_MAX, UINT8_MAX}},
    {"new", 3, true, {U64, U64, U32}},
    {"file", 3, true, {U64, U64, U32}},
    {"touch", 1, true, {U64}},
    {"last", 3, false, {U32, U32, U32}},
    {"done", 2, true, {INT32_MAX, 1}},
    {"removed", 0, true, {}},
    {"created", 0, true, {}},
    {"set-folder", 6, true, {U32, U32, U32, UINT16_MAX, UINT8_MAX, UINT8_MAX}},
};

struct Record {
  int32_t kind;
  uint64_t numbers[MAX_NUMBERS];
  DynString path;
};

struct FinishedTraits : StringKeyTraits<FinishedInput> {};

void free_state(JournalState* state) {
  for (JournalSetFile& f : state->set_files) dynstring_free(&f.path);
  grow_array_free(&state->set_files);
  hash_table_destroy<StringKeyTraits<StringSetEntry>>(&state->created);
  dynstring_free(&state->previous_input);
  dynstring_free(&state->naming_folder);
  *state = JournalState{};
}

void free_records(GrowArray<Record>* records) {
  for (Record& r : *records) dynstring_free(&r.path);
  grow_array_free(records);
}

// ---- writing records ----

// Paths may hold any byte: a backslash and a line feed are escaped, so a record stays a line.
bool append_escaped(DynString* line, std::string_view path) {
  for (char c : path) {
    const char* text = c == '\\' ? "\\\\" : c == '\n' ? "\\n" : nullptr;
    if (!(text ? dynstring_append(line, text) : dynstring_append(line, &c, 1))) return false;
  }
  return true;
}

// Appends the record in journal->line (without its line feed) with one write call.
void write_line(Journal* journal) {
  if (!journal || journal->fd < 0 || journal->failed) return;
  DynString* line = &journal->line;
  if (dynstring_append(line, "\n") &&
      io_write_all(journal->fd, dynstring_data(line), dynstring_length(line), nullptr))
    return;
  LOG(LOG_ERROR, "Could not write to the journal %s: %s", dynstring_data(&journal->path),
      strerror(errno));
  journal->failed = true;
}

// Starts a record in journal->line: its word and numbers.
bool start_record(Journal* journal, RecordKind kind, std::initializer_list<uint64_t> numbers) {
  if (!journal || journal->fd < 0 || journal->failed) return false;
  DynString* line = &journal->line;
  dynstring_clear(line);
  if (dynstring_append(line, RECORD_SYNTAX[kind].word) == nullptr) return false;
  for (uint64_t n : numbers)
    if (dynstring_format(line, " %llu", static_cast<unsigned long long>(n)) < 0) return false;
  return true;
}

void write_record(Journal* journal, RecordKind kind, std::initializer_list<uint64_t> numbers,
                  std::string_view path) {
  if (!start_record(journal, kind, numbers)) return;
  if (!dynstring_append(&journal->line, " ") || !append_escaped(&journal->line, path)) {
    journal->failed = true;
    LOG(LOG_ERROR, "Could not write to the journal %s: out of memory",
        dynstring_data(&journal->path));
    return;
  }
  write_line(journal);
}

void write_numbers(Journal* journal, RecordKind kind, std::initializer_list<uint64_t> numbers) {
  if (start_record(journal, kind, numbers)) write_line(journal);
}

// ---- reading records ----

// A path read from a journal must stay below its folder before anything is cut or removed by
// it: not absolute and no ".." component. An output file's path (whose folders may come from an
// input's name) has no empty or "." component either, and no zero byte that would cut it short.
bool safe_path(std::string_view path, bool output_file) {
  if (path.empty() || path[0] == '/') return false;
  if (output_file && path.find('\0') != std::string_view::npos) return false;
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(at, end - at);
    if (part == ".." || (output_file && (part.empty() || part == "."))) return false;
    at = end + 1;
  }
  return true;
}

// Parses one line (without its line feed) into `record`; false when it is no record.
bool parse_record(std::string_view line, Record* record) {
  size_t space = line.find(' ');
  std::string_view word = line.substr(0, space);
  int32_t kind = 0;
  while (kind < static_cast<int32_t>(std::size(RECORD_SYNTAX)) && word != RECORD_SYNTAX[kind].word)
    ++kind;
  if (kind == static_cast<int32_t>(std::size(RECORD_SYNTAX))) return false;
  const RecordSyntax& syntax = RECORD_SYNTAX[kind];
  record->kind = kind;
  std::string_view rest = space == std::string_view::npos ? "" : line.substr(space + 1);
  for (int32_t i = 0; i < syntax.numbers; ++i) {
    size_t end = rest.find(' ');
    std::string_view digits = rest.substr(0, end);
    if (digits.empty() || digits.size() > 20) return false;
    uint64_t value = 0;
    for (char c : digits) {
      uint64_t digit = static_cast<uint64_t>(c - '0');
      if (c < '0' || c > '9' || value > (UINT64_MAX - digit) / 10) return false;
      value = value * 10 + digit;
    }
    if (value > syntax.largest[i]) return false;  // no journal of this program holds it
    record->numbers[i] = value;
    rest = end == std::string_view::npos ? "" : rest.substr(end + 1);
  }
  if (!syntax.path) return rest.empty();
  for (size_t i = 0; i < rest.size(); ++i) {
    char c = rest[i];
    if (c == '\\' && i + 1 < rest.size()) c = rest[++i] == 'n' ? '\n' : rest[i];
    if (!dynstring_append(&record->path, &c, 1)) return false;
  }
  bool output_file = kind == RECORD_NEW || kind == RECORD_FILE || kind == RECORD_TOUCH ||
                     kind == RECORD_CREATED || kind == RECORD_SET_FOLDER;
  return safe_path(dynstring_sv(&record->path), output_file);
}

// The records of a journal's text after its header line. A line cut off by the end of the
// text was never completed and is left out; so is everything from a line that is no record.
void parse_records(std::string_view text, GrowArray<Record>* records) {
  size_t at = text.find('\n');
  while (at != std::string_view::npos && at + 1 < text.size()) {
    size_t end = text.find('\n', at + 1);
    if (end == std::string_view::npos) break;
    Record record{};
    if (!parse_record(text.substr(at + 1, end - at - 1), &record) ||
        !grow_array_push(records, record)) {
      dynstring_free(&record.path);
      break;
    }
    at = end;
  }
}

// The fingerprint in the journal's header line; false without a header.
bool parse_header(std::string_view text, uint64_t* fingerprint) {
  std::string_view magic = JOURNAL_MAGIC;
  size_t end = text.find('\n');
  if (end == std::string_view::npos || text.substr(0, magic.size()) != magic ||
      end <= magic.size() + 1 || text[magic.size()] != ' ')
    return false;
  ScopedDynString digits(text.substr(magic.size() + 1, end - magic.size() - 1));
  char* stop = nullptr;
  *fingerprint = strtoull(dynstring_data(&digits.s), &stop, 10);
  return stop && *stop == 0;
}

}  // namespace

namespace {

// The full name of an output file from its relative path without its extension.
bool output_file_name(const Journal* journal, std::string_view relative, DynString* out) {
  return io_join_path(dynstring_sv(&journal->root), relative, out) &&
         dynstring_append(out, output_file_extension()) != nullptr;
}

// Undoes what the unfinished input did to the output files; returns how many files were cut
// back or removed. A file that cannot be repaired is reported.
int64_t cut_back(const Journal* journal, const GrowArray<Record>& records, int32_t from) {
  int64_t cut = 0;
  for (int32_t i = from; i < records.count; ++i) {
    const Record& r = records[i];
    if (r.kind != RECORD_NEW && r.kind != RECORD_TOUCH) continue;
    ScopedDynString name;
    if (!output_file_name(journal, dynstring_sv(&r.path), &name.s)) continue;
    bool ok = r.kind == RECORD_NEW ? io_remove_file(dynstring_data(&name.s))
                                   : io_cut_back(dynstring_data(&name.s), r.numbers[0]);
    if (ok) {
      ++cut;
    } else {
      LOG(LOG_ERROR, "Could not undo the interrupted run's unfinished rows in %s: %s",
          dynstring_data(&name.s), strerror(errno));
    }
  }
  return cut;
}

void add_set_file(JournalState* state, const Record& r) {
  JournalSetFile file{r.numbers[0], r.numbers[1], static_cast<uint32_t>(r.numbers[2]), {}};
  if (!dynstring_from(&file.path, dynstring_sv(&r.path))) return;
  if (!grow_array_push(&state->set_files, file)) dynstring_free(&file.path);
}

void record_finished(Journal* journal, const Record& r) {
  auto slot = hash_table_find_or_insert<FinishedTraits>(&journal->finished, dynstring_sv(&r.path));
  if (!slot.slot) return;
  if (slot.inserted && !dynstring_from(&slot.slot->key, dynstring_sv(&r.path))) {
    slot.slot->key = DynString{};
  }
  slot.slot->result = static_cast<int32_t>(r.numbers[0]);
  slot.slot->pending_deletion = r.numbers[1] != 0;
}

// Applies one finished record to the state a resumed run continues from.
void apply_record(Journal* journal, const Record& r) {
  JournalState* state = &journal->state;
  switch (r.kind) {
    case RECORD_PREVIOUS:
      dynstring_free(&state->previous_input);
      dynstring_from(&state->previous_input, dynstring_sv(&r.path));
      break;
    case RECORD_SET:
    case RECORD_SET_FOLDER:
      dynstring_free(&state->naming_folder);
      if (r.kind == RECORD_SET_FOLDER) dynstring_from(&state->naming_folder, dynstring_sv(&r.path));
      state->naming_serial = static_cast<uint32_t>(r.numbers[0]);
      state->naming_session = static_cast<uint32_t>(r.numbers[1]);
      state->naming_split = static_cast<uint32_t>(r.numbers[2]);
      state->output_year = static_cast<uint16_t>(r.numbers[3]);
      state->output_month = static_cast<uint8_t>(r.numbers[4]);
      state->output_day = static_cast<uint8_t>(r.numbers[5]);
      for (JournalSetFile& f : state->set_files) dynstring_free(&f.path);
      state->set_files.count = 0;
      break;
    case RECORD_NEW:
      string_set_insert(&state->created, dynstring_sv(&r.path));
      add_set_file(state, r);
      break;
    case RECORD_FILE:
      add_set_file(state, r);
      break;
    case RECORD_CREATED:
      string_set_insert(&state->created, dynstring_sv(&r.path));
      break;
    case RECORD_LAST:
      state->last_serial = static_cast<uint32_t>(r.numbers[0]);
      state->last_session = static_cast<uint32_t>(r.numbers[1]);
      state->last_split = static_cast<uint32_t>(r.numbers[2]);
      break;
    case RECORD_DONE:
      record_finished(journal, r);
      break;
    case RECORD_REMOVED:
      if (FinishedInput* f =
              hash_table_find<FinishedTraits>(&journal->finished, dynstring_sv(&r.path)))
        f->pending_deletion = 0;
      break;
    default:
      break;
  }
}

// Where the unfinished input's records start: after the last "begin" that no "done" follows
// (records.count when every input finished).
int32_t unfinished_start(const GrowArray<Record>& records) {
  int32_t start = records.count;
  for (int32_t i = records.count - 1; i >= 0; --i) {
    if (records[i].kind == RECORD_DONE) break;
    if (records[i].kind == RECORD_BEGIN) start = i;
  }
  return start;
}

void forget_interrupted_run(Journal* journal) {
  hash_table_destroy<FinishedTraits>(&journal->finished);
  free_state(&journal->state);
}

// Repairs the output after the interrupted run whose journal text is given and, when it ran
// with the same fingerprint, keeps its state to resume from.
void recover(Journal* journal, std::string_view text, uint64_t fingerprint) {
  uint64_t recorded = 0;
  const char* folder = dynstring_data(&journal->root);
  if (!parse_header(text, &recorded)) {
    LOG(LOG_WARN, "The journal in %s is damaged: the interrupted run cannot be repaired", folder);
    return;
  }
  GrowArray<Record> records{};
  parse_records(text, &records);
  int32_t unfinished = unfinished_start(records);
  int64_t cut = cut_back(journal, records, unfinished);
  if (recorded != fingerprint) {
    LOG(LOG_WARN,
        "The interrupted run in %s had other inputs or options: it is not resumed (%lld files "
        "cut back)",
        folder, static_cast<long long>(cut));
    free_records(&records);
    return;
  }
  for (int32_t i = 0; i < records.count; ++i)
    if (i < unfinished || records[i].kind == RECORD_REMOVED) apply_record(journal, records[i]);
  free_records(&records);
  journal->resumed = true;
  int64_t converted = 0, failed = 0;
  hash_table_for_each(&journal->finished,
                      [&](FinishedInput& f) { (f.result == 0 ? converted : failed) += 1; });
  LOG(LOG_WARN, "Resuming the interrupted run: %lld inputs already converted, %lld files cut back",
      static_cast<long long>(converted), static_cast<long long>(cut));
  if (failed > 0)
    LOG(LOG_WARN, "%lld inputs failed in the interrupted run and are not converted again",
        static_cast<long long>(failed));
}

// The state a resumed run continues from, as records after the header.
void write_state(Journal* journal) {
  hash_table_for_each(&journal->finished, [&](FinishedInput& f) {
    write_record(journal, RECORD_DONE,
                 {static_cast<uint64_t>(f.result), static_cast<uint64_t>(f.pending_deletion)},
                 dynstring_sv(&f.key));
  });
  JournalState* s = &journal->state;
  hash_table_for_each(&s->created, [&](StringSetEntry& e) {
    write_record(journal, RECORD_CREATED, {}, dynstring_sv(&e.key));
  });
  journal_output_set(journal, s->naming_serial, s->naming_session, s->naming_split, s->output_year,
                     s->output_month, s->output_day, dynstring_sv(&s->naming_folder));
  for (const JournalSetFile& f : s->set_files)
    write_record(journal, RECORD_FILE, {f.key, f.identity, f.columns}, dynstring_sv(&f.path));
  write_numbers(journal, RECORD_LAST, {s->last_serial, s->last_session, s->last_split});
  if (dynstring_length(&s->previous_input) > 0)
    write_record(journal, RECORD_PREVIOUS, {}, dynstring_sv(&s->previous_input));
}

// Writes a fresh journal (header and the state to resume from) beside the old one and puts it
// in its place, so that a crash at any moment leaves one whole journal.
bool write_fresh_journal(Journal* journal, uint64_t fingerprint) {
  ScopedDynString fresh;
  if (dynstring_format(&fresh.s, "%s.new", dynstring_data(&journal->path)) < 0) return false;
  journal->fd = path_open_descriptor(dynstring_data(&fresh.s),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW);
  if (journal->fd < 0) return false;
  dynstring_clear(&journal->line);
  if (dynstring_format(&journal->line, "%s %llu", JOURNAL_MAGIC,
                       static_cast<unsigned long long>(fingerprint)) < 0)
    return false;
  write_line(journal);
  if (journal->resumed) write_state(journal);
  if (!journal->failed &&
      path_rename_file(dynstring_data(&fresh.s), dynstring_data(&journal->path)))
    return true;
  int saved = errno;
  ::close(journal->fd);
  journal->fd = -1;
  path_remove_file(dynstring_data(&fresh.s));
  errno = saved;
  return false;
}

}  // namespace

Journal* journal_open(FsRoot* output_root, uint64_t fingerprint) {
  if (!output_root) return nullptr;
  auto* journal = static_cast<Journal*>(calloc(1, sizeof(Journal)));
  if (!journal) return nullptr;
  journal->fd = -1;
  bool ok = dynstring_from(&journal->root, dynstring_sv(&output_root->path)) &&
            io_join_path(dynstring_sv(&journal->root), JOURNAL_NAME, &journal->path);
  ScopedDynString text;
  if (ok && io_read_file(dynstring_data(&journal->path), &text.s)) {
    recover(journal, text.view(), fingerprint);
  } else if (ok && errno != ENOENT) {
    LOG(LOG_FATAL, "Could not read the journal %s: %s", dynstring_data(&journal->path),
        strerror(errno));
    ok = false;
  }
  if (ok && !write_fresh_journal(journal, fingerprint)) {
    LOG(LOG_FATAL, "Could not write the journal %s: %s", dynstring_data(&journal->path),
        strerror(errno));
    ok = false;
  }
  if (ok) return journal;
  journal_close(journal);
  return nullptr;
}

void journal_close(Journal* journal) {
  if (!journal) return;
  // Only a journal of this run is in place while its descriptor is open.
  if (journal->fd >= 0) {
    ::close(journal->fd);
    if (!io_remove_file(dynstring_data(&journal->path)))
      LOG(LOG_ERROR, "Could not remove the journal %s: %s", dynstring_data(&journal->path),
          strerror(errno));
  }
  forget_interrupted_run(journal);
  dynstring_free(&journal->path);
  dynstring_free(&journal->root);
  dynstring_free(&journal->line);
  free(journal);
}

bool journal_finished(const Journal* journal, std::string_view input, int32_t* result) {
  if (!journal) return false;
  const FinishedInput* f = hash_table_find<FinishedTraits>(&journal->finished, input);
  if (f) *result = f->result;
  return f != nullptr;
}

void journal_begin(Journal* journal, std::string_view input) {
  write_record(journal, RECORD_BEGIN, {}, input);
}

void journal_previous(Journal* journal, std::string_view input) {
  write_record(journal, RECORD_PREVIOUS, {}, input);
}

void journal_output_set(Journal* journal, uint32_t serial, uint32_t session, uint32_t split,
                        uint16_t year, uint8_t month, uint8_t day, std::string_view folder) {
  if (folder.empty()) {
    write_numbers(journal, RECORD_SET, {serial, session, split, year, month, day});
  } else {
    write_record(journal, RECORD_SET_FOLDER, {serial, session, split, year, month, day}, folder);
  }
}

void journal_new_file(Journal* journal, uint64_t key, uint64_t identity, uint32_t columns,
                      std::string_view relative) {
  write_record(journal, RECORD_NEW, {key, identity, columns}, relative);
}

void journal_touch(Journal* journal, uint64_t size, std::string_view relative) {
  write_record(journal, RECORD_TOUCH, {size}, relative);
}

void journal_last(Journal* journal, uint32_t serial, uint32_t session, uint32_t split) {
  write_numbers(journal, RECORD_LAST, {serial, session, split});
}

bool journal_done(Journal* journal, std::string_view input, int32_t result, bool pending_deletion) {
  if (!journal || journal->fd < 0) return true;
  write_record(journal, RECORD_DONE,
               {static_cast<uint64_t>(result), static_cast<uint64_t>(pending_deletion)}, input);
  return !journal->failed;
}

bool journal_make_durable(Journal* journal, bool all_files) {
  if (!journal || journal->fd < 0) return true;
  if (!journal->failed && (all_files ? io_sync_file_system(journal->fd) : io_sync(journal->fd)))
    return true;
  LOG(LOG_ERROR, "Could not make the output in %s durable: %s", dynstring_data(&journal->root),
      journal->failed ? "its journal is incomplete" : strerror(errno));
  return false;
}

void journal_removed(Journal* journal, std::string_view input) {
  write_record(journal, RECORD_REMOVED, {}, input);
}
