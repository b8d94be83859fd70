// The run's journal: a text file in the output folder that says, before the output files
// change, which input is being converted, which files it creates and how long the files it
// appends to were before it, and what each finished input left behind. A journal that exists
// when a run starts is the trace of a run that was killed: its unfinished input's files are cut
// back, and a run with the same inputs and options resumes where it stopped.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/dyn_string.h"
#include "support/grow_array.h"
#include "support/hash_table.h"

struct FsRoot;
struct FileStamp;

// The journal's name in the output folder.
constexpr const char* JOURNAL_NAME = ".tabulon-journal";

// A file of the open output set: its writer key and identity, its value columns and its path
// relative to the output root without ".csv".
struct JournalSetFile {
  uint64_t key;
  uint64_t identity;
  uint32_t columns;
  DynString path;
};

// An input that ended in the journal's run, with its result; with pending_deletion it was
// converted and waits for its deletion. With stamped, its size and modification time when it was
// opened; the run marks it changed when the input is no longer that file, and then converts it
// again.
struct FinishedInput {
  DynString key;
  int32_t result;
  uint8_t pending_deletion;
  uint8_t stamped;
  uint8_t changed;
  uint64_t size;
  int64_t modified_ns;
};

// An output file and the bytes of finished inputs' rows it holds at least.
struct JournalRows {
  DynString key;  // relative, without the extension
  uint64_t size;
  int64_t line;  // of the record that said so
};

// The session state as the last finished input left it: what the next input's rows depend on.
struct JournalState {
  uint32_t last_serial, last_session, last_split;
  uint32_t naming_serial, naming_session, naming_split;
  DynString naming_folder;  // empty for a logger's set
  uint16_t output_year;
  uint8_t output_month, output_day;
  GrowArray<JournalSetFile> set_files;
  HashTable<StringSetEntry> created;  // every file the run has created (relative, no ".csv")
  HashTable<JournalRows> rows;        // what the finished inputs' rows need of the files
  DynString previous_input;           // the last input whose header was read
};

struct Journal {
  int fd;          // the journal file, appended to; -1 when there is none
  DynString path;  // its full name
  DynString root;  // the output folder
  bool failed;     // a record could not be written: the journal no longer protects the run
  bool resumed;    // the state and finished inputs come from an interrupted run
  // A journal was found that failed a check: nothing of it was repaired, resumed or deleted.
  // fault says what, at line fault_line (1 is the header).
  bool distrusted;
  const char* fault;
  int64_t fault_line;
  // Outputs are created under names no file has yet (after a distrusted journal, kept by the
  // runs that resume this one): files from before the run are never replaced.
  bool fresh_names;
  uint32_t chain;  // the checksum of the last record written
  HashTable<FinishedInput> finished;
  JournalState state;
  DynString line;     // reused for every record
  DynString pending;  // whole records not written yet (rows wait for the record after them)
};

// Opens the journal of the output folder. An existing journal is first checked whole: every
// line's checksum (chained, so a line removed is seen), its records and values, and that the
// output files hold at least the rows its finished inputs wrote. One that fails is distrusted
// (see Journal) and nothing of it is used. A trusted one is repaired from: the files that its
// unfinished input created are removed and those it appended to are cut back to their sizes
// before it. When its fingerprint equals `fingerprint`, the journal's finished inputs and state
// are kept for the run to resume (logged); otherwise the run starts afresh (warned). Then a
// journal holding just that state is written in its place. Null when the journal cannot be read
// or written, or is no regular file (logged).
Journal* journal_open(FsRoot* output_root, uint64_t fingerprint);
// Closes and removes the journal file and frees the journal; null is accepted.
void journal_close(Journal* journal);
// True when the input ended in the interrupted run and has not changed since; *result is then
// its result.
bool journal_finished(const Journal* journal, std::string_view input, int32_t* result);

// Records, each appended with one write call. A null journal records nothing; a record that
// cannot be written is logged once and leaves the journal failed.
// An input's conversion begins.
void journal_begin(Journal* journal, std::string_view input);
// The input's header was read: it is what the next input is compared with.
void journal_previous(Journal* journal, std::string_view input);
// A new output set: naming serial, session and split, its UTC date and its folder (empty for a
// logger's set).
void journal_output_set(Journal* journal, uint32_t serial, uint32_t session, uint32_t split,
                        uint16_t year, uint8_t month, uint8_t day, std::string_view folder);
// A file created (empty) for the output set by the current input.
void journal_new_file(Journal* journal, uint64_t key, uint64_t identity, uint32_t columns,
                      std::string_view relative);
// The current input is about to append to a file that is `size` bytes long.
void journal_touch(Journal* journal, uint64_t size, std::string_view relative);
// The serial, session and split of the file that ended.
void journal_last(Journal* journal, uint32_t serial, uint32_t session, uint32_t split);
// The current input's rows in the file end at `size` bytes (written with the next record).
void journal_rows(Journal* journal, uint64_t size, std::string_view relative);
// The input ended with `result`, its rows written to the files; `opened` is its stamp when it
// was opened (null: unknown, and then it cannot wait for deletion). False when that could not
// be recorded: the input must then be kept.
bool journal_done(Journal* journal, std::string_view input, int32_t result, bool pending_deletion,
                  const FileStamp* opened);
// Makes the journal's records durable (with all_files: everything written to its file system,
// as the output a killed run left behind); false when that failed (logged). True without a
// journal.
bool journal_make_durable(Journal* journal, bool all_files);
// A converted input has been deleted.
void journal_removed(Journal* journal, std::string_view input);
