// The input walk: the common root of the inputs, and the recursive, name-ordered walk that
// hands every log file to the conversion pipeline.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/dyn_string.h"
#include "support/grow_array.h"

struct Tool;
struct Run;
struct ConversionOptions;

// What a walk over the inputs found (files, bytes) or did (the rest).
struct RunReport;

struct RunTotals {
  uint64_t files;      // log files to convert in this run (and shard)
  uint64_t bytes;      // their sizes
  uint64_t converted;  // inputs that ended with result 0
  uint64_t failed;     // inputs that ended with another result
  uint64_t skipped;    // inputs that ended in the interrupted run this one resumes
  RunReport* report;   // every input found, when a run summary is kept (else null)
};

// The 64-bit FNV-1a hash of a folder's path relative to the common root, without a trailing
// "/" ("" for the root itself). A folder belongs to shard hash % shard_count.
uint64_t shard_hash(std::string_view folder);
// Whether the options' shard converts the files of `folder` (a trailing "/" is ignored), and
// reports what the walk meets there; true without shards.
bool folder_in_shard(const ConversionOptions* options, std::string_view folder);

// Finds the one folder that holds every input, stores it in the tool with its trailing "/"
// and makes the inputs relative to it. False with exit status 132 otherwise.
bool find_common_root(Tool* tool, int* exit_status);
// Converts every input in order, a file or every log file below a folder (walked in name order,
// each folder once however many symbolic links lead to it), and returns the OR of the results.
// What cannot be reached (a folder that cannot be listed, an entry that cannot be queried) is
// reported with its path and adds EXIT_OTHER; everything else is still converted. With shards,
// only the files of the shard's folders are converted, and what cannot be reached is reported
// by the shard of the folder it lies in (the root's shard for the inputs themselves). `totals`
// receives the counts of the inputs' results.
int run_inputs(Run* run, GrowArray<DynString>* inputs, RunTotals* totals);
// Walks the inputs as run_inputs does, without converting or reporting anything, and adds
// the files it would convert and their sizes to `totals`.
void count_inputs(Run* run, GrowArray<DynString>* inputs, RunTotals* totals);
// True for the log-file extensions (mf4, mfc, mfe, mfm in any case).
bool is_log_file_name(std::string_view name);
