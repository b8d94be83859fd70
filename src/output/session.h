// The output session of a run (stage B, one thread): which output set an input's rows go to,
// the open output writers and the file names in use, and the output statistics.
#pragma once

#include <cstdint>

#include "decode/file_header.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"
#include "support/hash_table.h"
#include "support/ordered_map.h"

struct OutputWriter;
struct FsRoot;
struct Journal;

struct OutputStatistics {
  uint64_t files;
  uint64_t messages;
  uint64_t signals;
  uint64_t rows;  // written to the files
};

// Open output writers by writer key (bus kind, channel, source address, message key and the
// hash of the decoded value names).
using WriterMap = OrderedMap<uint64_t, OutputWriter*>;

struct Session {
  FsRoot* output_root;
  Journal* journal;  // null: nothing is journaled
  // When set, the full path of every output file the current input writes to (or appends to)
  // is added here once per input; the caller owns the list.
  GrowArray<DynString>* output_log;
  bool sync_on_close;  // closed files are made durable (--delete-converted)
  uint32_t naming_serial, naming_session, naming_split;
  // The device folder of an output set of a file without the logger's serial number, session
  // and split (its serial, session and split are then 0); empty for a logger's set, whose
  // folder its serial names. current_folder is that of the current file.
  DynString naming_folder, current_folder;
  uint16_t output_year;
  uint8_t output_month, output_day;  // all zero: no date yet
  uint64_t output_set;               // counts the output sets started: a writer found in one
                                     // serves until the next
  double time_base;                  // start of the current file, seconds since 1970 UTC
  uint32_t current_serial, current_session, current_split;
  uint32_t last_serial, last_session, last_split;
  uint8_t concatenate;
  const char* root_suffix;  // "_out" or ""
  WriterMap writers;
  HashTable<StringSetEntry> written_paths;  // every file this run has created (relative paths)
  GrowArray<OutputWriter*> touched;         // the writers the current input has written to
  uint64_t input_mark;                      // counts the inputs whose header was read
  OutputStatistics statistics;
  bool output_failed;    // an output of the current file could not be written or closed
  bool lost_sync;        // a file closed since the last durability point did not reach
                         // the disk
  bool warned_bad_time;  // the current file had a row time outside the calendar
  bool fresh_names;      // files from before the run are not replaced: new files get names
                         // no file has
};

struct JournalState;

// A session writing below `output_root`; the output sets of a logger are named "<serial>_out"
// unless `no_append_root`, and with `concatenate` a file that continues the previous one's
// recording continues its output set. Raises the open-file limit. Null when memory ran out.
Session* session_create(FsRoot* output_root, bool no_append_root, bool sync_on_close,
                        uint8_t concatenate);
const OutputStatistics* session_statistics(const Session* session);
// Closes the outputs and frees what the session holds; the caller frees the session itself.
void session_destroy(Session* session);
// Takes the file's serial number, session and split and decides whether its rows continue the
// open outputs. *repeated is set when the file repeats the previous input (same serial,
// session and split): its rows are then not to be taken. A file without all three (none of
// them 0) writes an output set of its own below `output_path`, its own output name: it
// continues no other file's set and no other file continues its set. False only when that name
// is empty.
bool session_on_file_begin(Session* session, const char* output_path, const FileHeader* header,
                           bool* repeated);
// Remembers the file as the previous one and writes out the rows of every file it wrote to.
// False when an output of the file could not be written completely.
bool session_on_file_end(Session* session);
// Closes every open output file; false when any of them could not be written out.
bool session_finish(Session* session);
// Makes the rows written to the open output files durable (closed ones were made durable when
// they closed, with --delete-converted). False when a file could not be (logged).
bool session_make_durable(Session* session);
// Starts a new output set: closes every open output and names the next files after the
// current file's serial, session and split (or its folder) and the given UTC date (all zero:
// none yet, the first row sets it). False when an output of the closed set could not be
// written out.
bool session_start_output_set(Session* session, uint16_t year, uint8_t month, uint8_t day);
// Continues the state an interrupted run left (from its journal): the last file's numbers, the
// output set with its files opened to append to, and the names of every file it created. A
// file that cannot be reopened is reported and left out of the set.
bool session_resume(Session* session, JournalState* state);
