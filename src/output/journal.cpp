// The run's journal: records appended with write calls, and the repair and resumption of an
// interrupted run from the records it left.
#include "output/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/durable_io.h"
#include "io/fs_root.h"
#include "output/output_writer.h"
#include "support/log.h"

namespace {

// Version 2 ends every line with the CRC-32 of its text chained from the line before (the
// header's from 0), as " " and 8 hexadecimal digits. A journal of version 1 has none and is
// not trusted.
constexpr const char* JOURNAL_MAGIC = "tabulon-journal 2";
constexpr size_t CHECKSUM_WIDTH = 9;

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
  RECORD_ROWS,
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
// input: serial, session, split. A finished input: its result, whether it waits for deletion,
// whether its stamp is known, its size and modification time (nanoseconds, two's complement).
// Rows: the size of a file once the current input's rows are in it.
constexpr RecordSyntax RECORD_SYNTAX[] = {
    {"begin", 0, true, {}},
    {"previous", 0, true, {}},
    {"set", 6, false, {U32, U32, U32, UINT16_MAX, UINT8_MAX, UINT8_MAX}},
    {"new", 3, true, {U64, U64, U32}},
    {"file", 3, true, {U64, U64, U32}},
    {"touch", 1, true, {U64}},
    {"last", 3, false, {U32, U32, U32}},
    {"done", 5, true, {INT32_MAX, 1, 1, U64, U64}},
    {"removed", 0, true, {}},
    {"created", 0, true, {}},
    {"set-folder", 6, true, {U32, U32, U32, UINT16_MAX, UINT8_MAX, UINT8_MAX}},
    {"rows", 1, true, {U64}},
};

struct Record {
  int32_t kind;
  int64_t line;
  uint64_t numbers[MAX_NUMBERS];
  DynString path;
};

struct FinishedTraits : StringKeyTraits<FinishedInput> {};
using RowsTraits = StringKeyTraits<JournalRows>;
using SetTraits = StringKeyTraits<StringSetEntry>;

void free_state(JournalState* state) {
  for (JournalSetFile& f : state->set_files) dynstring_free(&f.path);
  grow_array_free(&state->set_files);
  hash_table_destroy<SetTraits>(&state->created);
  hash_table_destroy<RowsTraits>(&state->rows);
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

uint32_t chained_checksum(uint32_t previous, std::string_view text) {
  return static_cast<uint32_t>(
      crc32(previous, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
}

// Ends the record in journal->line with its checksum and line feed and appends it, with the
// records that waited for it, with one write call; with `wait`, it waits for the next record.
void write_line(Journal* journal, bool wait = false) {
  if (!journal || journal->fd < 0 || journal->failed) return;
  DynString* line = &journal->line;
  journal->chain = chained_checksum(journal->chain, dynstring_sv(line));
  DynString* all = &journal->pending;
  if (dynstring_format(line, " %08x\n", journal->chain) >= 0 &&
      dynstring_append(all, dynstring_sv(line))) {
    if (wait) return;
    bool written = io_write_all(journal->fd, dynstring_data(all), dynstring_length(all), nullptr);
    dynstring_clear(all);
    if (written) return;
  }
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
                  std::string_view path, bool wait = false) {
  if (!start_record(journal, kind, numbers)) return;
  if (!dynstring_append(&journal->line, " ") || !append_escaped(&journal->line, path)) {
    journal->failed = true;
    LOG(LOG_ERROR, "Could not write to the journal %s: out of memory",
        dynstring_data(&journal->path));
    return;
  }
  write_line(journal, wait);
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

// Parses one record's text (without its checksum) into `record`; the fault, or null.
const char* parse_record(std::string_view line, Record* record) {
  size_t space = line.find(' ');
  std::string_view word = line.substr(0, space);
  int32_t kind = 0;
  while (kind < static_cast<int32_t>(std::size(RECORD_SYNTAX)) && word != RECORD_SYNTAX[kind].word)
    ++kind;
  if (kind == static_cast<int32_t>(std::size(RECORD_SYNTAX))) return "an unknown record";
  const RecordSyntax& syntax = RECORD_SYNTAX[kind];
  record->kind = kind;
  std::string_view rest = space == std::string_view::npos ? "" : line.substr(space + 1);
  for (int32_t i = 0; i < syntax.numbers; ++i) {
    size_t end = rest.find(' ');
    std::string_view digits = rest.substr(0, end);
    if (digits.empty() || digits.size() > 20) return "a field that is no number";
    uint64_t value = 0;
    for (char c : digits) {
      uint64_t digit = static_cast<uint64_t>(c - '0');
      if (c < '0' || c > '9' || value > (UINT64_MAX - digit) / 10)
        return "a field that is no number";
      value = value * 10 + digit;
    }
    // No journal of this program holds it.
    if (value > syntax.largest[i]) return "a number beyond its field";
    record->numbers[i] = value;
    rest = end == std::string_view::npos ? "" : rest.substr(end + 1);
  }
  if (!syntax.path) return rest.empty() ? nullptr : "a field too many";
  for (size_t i = 0; i < rest.size(); ++i) {
    char c = rest[i];
    if (c == '\\' && i + 1 < rest.size()) c = rest[++i] == 'n' ? '\n' : rest[i];
    if (!dynstring_append(&record->path, &c, 1)) return "out of memory";
  }
  bool output_file = kind == RECORD_NEW || kind == RECORD_FILE || kind == RECORD_TOUCH ||
                     kind == RECORD_CREATED || kind == RECORD_SET_FOLDER || kind == RECORD_ROWS;
  return safe_path(dynstring_sv(&record->path), output_file) ? nullptr
                                                             : "a path outside its folder";
}

// The text of a line when its checksum is the one chained from *chain (which then becomes it).
bool checked_text(std::string_view line, uint32_t* chain, std::string_view* text) {
  if (line.size() < CHECKSUM_WIDTH || line[line.size() - CHECKSUM_WIDTH] != ' ') return false;
  uint32_t value = 0;
  for (char c : line.substr(line.size() - CHECKSUM_WIDTH + 1)) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  *text = line.substr(0, line.size() - CHECKSUM_WIDTH);
  if (chained_checksum(*chain, *text) != value) return false;
  *chain = value;
  return true;
}

// The header's text: the magic, the fingerprint and whether outputs get fresh names.
bool parse_header(std::string_view text, uint64_t* fingerprint, bool* fresh_names) {
  std::string_view magic = JOURNAL_MAGIC;
  if (text.size() < magic.size() + 4 || text.substr(0, magic.size()) != magic ||
      text[magic.size()] != ' ' || text.substr(text.size() - 2, 1) != " ")
    return false;
  char flag = text.back();
  ScopedDynString digits(text.substr(magic.size() + 1, text.size() - magic.size() - 3));
  char* stop = nullptr;
  errno = 0;
  *fingerprint = strtoull(dynstring_data(&digits.s), &stop, 10);
  *fresh_names = flag == '1';
  return (flag == '0' || flag == '1') && errno == 0 && stop && *stop == 0 &&
         dynstring_length(&digits.s) > 0 && dynstring_data(&digits.s)[0] != '-';
}

// Says why the journal is not trusted (the first fault only).
bool distrust(Journal* journal, int64_t line, const char* why) {
  if (!journal->distrusted) {
    journal->distrusted = true;
    journal->fault = why;
    journal->fault_line = line;
  }
  return false;
}

// Reads the journal's header and records; false at the first fault. A last line without its
// line feed was cut off when the run that wrote it was killed and is left out.
bool read_records(Journal* journal, std::string_view text, uint64_t* fingerprint, bool* fresh_names,
                  GrowArray<Record>* records) {
  uint32_t chain = 0;
  int64_t number = 0;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string_view::npos; at = end + 1) {
    std::string_view line = text.substr(at, end - at), body;
    ++number;
    if (!checked_text(line, &chain, &body)) {
      bool old = number == 1 && line.substr(0, 18) == "tabulon-journal 1 ";
      return distrust(journal, number,
                      old ? "it was written by an earlier version, without checksums"
                          : "its checksum does not match: the line is damaged, or one before it "
                            "was removed");
    }
    if (number == 1) {
      if (!parse_header(body, fingerprint, fresh_names))
        return distrust(journal, 1, "it is no journal header");
      continue;
    }
    Record record{};
    record.line = number;
    const char* why = parse_record(body, &record);
    if (why || !grow_array_push(records, record)) {
      dynstring_free(&record.path);
      return distrust(journal, number, why ? why : "out of memory");
    }
  }
  return number > 0 || distrust(journal, 1, "it has no header");
}

// The rows size recorded for an output file (0 when none).
uint64_t rows_of(HashTable<JournalRows>* rows, std::string_view path) {
  const JournalRows* r = hash_table_find<RowsTraits>(rows, path);
  return r ? r->size : 0;
}

bool set_rows(HashTable<JournalRows>* rows, const Record& r) {
  auto slot = hash_table_find_or_insert<RowsTraits>(rows, dynstring_sv(&r.path));
  if (!slot.slot) return false;
  if (slot.inserted && !dynstring_from(&slot.slot->key, dynstring_sv(&r.path))) {
    slot.slot->key = DynString{};
    return false;
  }
  slot.slot->size = r.numbers[0];
  slot.slot->line = r.line;
  return true;
}

// Marks whether an input waits for deletion; false without memory.
bool set_waiting(HashTable<FinishedInput>* waiting, std::string_view path, bool pending) {
  auto slot = hash_table_find_or_insert<FinishedTraits>(waiting, path);
  if (!slot.slot) return false;
  if (slot.inserted && !dynstring_from(&slot.slot->key, path)) {
    slot.slot->key = DynString{};
    return false;
  }
  slot.slot->pending_deletion = pending;
  return true;
}

// Tables of what the records before the one checked said.
struct Said {
  HashTable<StringSetEntry> created;
  HashTable<JournalRows> rows;
  HashTable<FinishedInput> finished;
};

// What a record says against what the records before it said; the fault, or null.
const char* contradiction(const Record& r, Said* said) {
  std::string_view path = dynstring_sv(&r.path);
  bool known = hash_table_find<SetTraits>(&said->created, path) != nullptr;
  switch (r.kind) {
    case RECORD_NEW:
    case RECORD_CREATED:
      if (known) return "a file is created twice";
      return string_set_insert(&said->created, path) ? nullptr : "out of memory";
    case RECORD_FILE:
    case RECORD_TOUCH:
    case RECORD_ROWS:
      if (!known) return "a file that no record created";
      if (r.kind == RECORD_FILE) return nullptr;
      if (r.numbers[0] < rows_of(&said->rows, path)) return "a file shorter than its rows";
      return r.kind == RECORD_TOUCH || set_rows(&said->rows, r) ? nullptr : "out of memory";
    case RECORD_DONE:
      if (r.numbers[1] && (r.numbers[0] != 0 || !r.numbers[2]))
        return "an input waits for deletion that was not converted or has no stamp";
      return set_waiting(&said->finished, path, r.numbers[1]) ? nullptr : "out of memory";
    case RECORD_REMOVED: {
      FinishedInput* f = hash_table_find<FinishedTraits>(&said->finished, path);
      if (!f || !f->pending_deletion) return "an input removed that waited for no deletion";
      f->pending_deletion = 0;
      return nullptr;
    }
    default:
      return nullptr;
  }
}

// Checks that the records agree with each other; false at the first that does not.
bool check_records(Journal* journal, const GrowArray<Record>& records) {
  Said said{};
  bool ok = true;
  for (const Record& r : records) {
    const char* why = contradiction(r, &said);
    if (why) {
      ok = distrust(journal, r.line, why);
      break;
    }
  }
  hash_table_destroy<SetTraits>(&said.created);
  hash_table_destroy<RowsTraits>(&said.rows);
  hash_table_destroy<FinishedTraits>(&said.finished);
  return ok;
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
  slot.slot->stamped = r.numbers[2] != 0;
  slot.slot->changed = 0;
  slot.slot->size = r.numbers[3];
  slot.slot->modified_ns = static_cast<int64_t>(r.numbers[4]);
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
    case RECORD_ROWS:
      set_rows(&state->rows, r);
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

// Whether the output file holds at least `size` bytes: a regular file, not reached through a
// link.
bool file_holds(const Journal* journal, std::string_view relative, uint64_t size) {
  ScopedDynString name;
  if (!output_file_name(journal, relative, &name.s)) return false;
  int fd = path_open_descriptor(dynstring_data(&name.s), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  bool holds =
      fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) >= size;
  ::close(fd);
  return holds;
}

// Checks that every output file holds the rows the finished inputs wrote to it.
bool verify_rows(Journal* journal) {
  hash_table_for_each(&journal->state.rows, [&](JournalRows& r) {
    if (!file_holds(journal, dynstring_sv(&r.key), r.size))
      distrust(journal, r.line, "an output file is missing or shorter than the rows it held");
  });
  return !journal->distrusted;
}

// Repairs the output after the interrupted run whose journal text is given and, when it ran
// with the same fingerprint, keeps its state to resume from. A journal that fails a check is
// left as it is (distrusted).
void recover(Journal* journal, std::string_view text, uint64_t fingerprint) {
  uint64_t recorded = 0;
  bool fresh_names = false;
  const char* folder = dynstring_data(&journal->root);
  GrowArray<Record> records{};
  bool trusted = read_records(journal, text, &recorded, &fresh_names, &records) &&
                 check_records(journal, records);
  int32_t unfinished = unfinished_start(records);
  if (trusted && recorded == fingerprint) {
    for (int32_t i = 0; i < records.count; ++i)
      if (i < unfinished || records[i].kind == RECORD_REMOVED) apply_record(journal, records[i]);
    trusted = verify_rows(journal);
  }
  if (!trusted) {
    journal->fresh_names = true;
    forget_interrupted_run(journal);
    free_records(&records);
    return;
  }
  int64_t cut = cut_back(journal, records, unfinished);
  free_records(&records);
  if (recorded != fingerprint) {
    LOG(LOG_WARN,
        "The interrupted run in %s had other inputs or options: it is not resumed (%lld files "
        "cut back)",
        folder, static_cast<long long>(cut));
    return;
  }
  journal->resumed = true;
  journal->fresh_names = fresh_names;
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
  JournalState* s = &journal->state;
  hash_table_for_each(&s->created, [&](StringSetEntry& e) {
    write_record(journal, RECORD_CREATED, {}, dynstring_sv(&e.key));
  });
  hash_table_for_each(&s->rows, [&](JournalRows& r) {
    write_record(journal, RECORD_ROWS, {r.size}, dynstring_sv(&r.key));
  });
  hash_table_for_each(&journal->finished, [&](FinishedInput& f) {
    write_record(journal, RECORD_DONE,
                 {static_cast<uint64_t>(f.result), f.pending_deletion, f.stamped, f.size,
                  static_cast<uint64_t>(f.modified_ns)},
                 dynstring_sv(&f.key));
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
  // Not blocking on a FIFO planted under the name; anything but a regular file is refused.
  journal->fd = path_open_descriptor(dynstring_data(&fresh.s),
                                     O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK);
  struct stat info;
  if (journal->fd >= 0) {
    bool stated = fstat(journal->fd, &info) == 0;
    if (stated && !S_ISREG(info.st_mode)) errno = EINVAL;
    if (!stated || !S_ISREG(info.st_mode) || ftruncate(journal->fd, 0) != 0) {
      ::close(journal->fd);
      journal->fd = -1;
    }
  }
  if (journal->fd < 0) return false;
  dynstring_clear(&journal->line);
  journal->chain = 0;
  if (dynstring_format(&journal->line, "%s %llu %d", JOURNAL_MAGIC,
                       static_cast<unsigned long long>(fingerprint), journal->fresh_names) < 0)
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

namespace {

// Reads the journal whole: 1 when read, 0 when there is none, -1 on failure (errno), -2 when
// it is no regular file (a FIFO would block the run, a link leads elsewhere).
int32_t read_journal(const char* path, DynString* out) {
  int fd = path_open_descriptor(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? 0 : errno == ELOOP ? -2 : -1;
  struct stat info;
  int32_t result = fstat(fd, &info) != 0 ? -1 : S_ISREG(info.st_mode) ? 1 : -2;
  uint64_t size = result == 1 ? static_cast<uint64_t>(info.st_size) : 0;
  char* data = result == 1 ? dynstring_reserve(out, size) : nullptr;
  if (result == 1 && !data) result = -1;
  uint64_t got = 0;
  while (result == 1 && got < size) {
    ssize_t n = ::read(fd, data + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // shorter than it was: read what there is
    got += static_cast<uint64_t>(n);
  }
  if (result == 1) dynstring_extend(out, got);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return result;
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
  int32_t read = ok ? read_journal(dynstring_data(&journal->path), &text.s) : 0;
  if (read == 1) {
    recover(journal, text.view(), fingerprint);
  } else if (read == -2) {
    LOG(LOG_FATAL,
        "The journal %s is no regular file: remove it (or what it is) to convert into this "
        "folder",
        dynstring_data(&journal->path));
    ok = false;
  } else if (read < 0) {
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
  dynstring_free(&journal->pending);
  free(journal);
}

bool journal_finished(const Journal* journal, std::string_view input, int32_t* result) {
  if (!journal) return false;
  const FinishedInput* f = hash_table_find<FinishedTraits>(&journal->finished, input);
  if (!f || f->changed) return false;
  *result = f->result;
  return true;
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

void journal_rows(Journal* journal, uint64_t size, std::string_view relative) {
  write_record(journal, RECORD_ROWS, {size}, relative, true);
}

bool journal_done(Journal* journal, std::string_view input, int32_t result, bool pending_deletion,
                  const FileStamp* opened) {
  if (!journal || journal->fd < 0) return true;
  FileStamp stamp = opened ? *opened : FileStamp{};
  write_record(journal, RECORD_DONE,
               {static_cast<uint64_t>(result), pending_deletion && opened, opened != nullptr,
                stamp.size, static_cast<uint64_t>(stamp.modified_ns)},
               input);
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
