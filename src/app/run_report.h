// The run's account of its inputs: for every input the walk found, in walk order, its result,
// why it failed or gave no rows, where its frames went and which files it wrote; written as
// the JSON run summary (--summary) and told in the closing line.
#pragma once

#include <cstdint>
#include <string_view>

#include "decode/frame_tally.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"

// Bumped when a field changes meaning or goes; new fields do not change it.
constexpr int RUN_SUMMARY_VERSION = 1;

struct InputReport {
  DynString path;     // as the walk found it, below the input root
  int32_t status;     // the input's result (0, 1, 2, 4, 8, 129)
  DynString message;  // why it failed, was skipped or gave no rows; empty when fine
  FrameAccount frames;
  uint64_t rows;
  GrowArray<DynString> outputs;  // full paths of the files it wrote or appended to
};

// The walking thread adds inputs; stage B fills each in, one input at a time; the totals are
// read after the run. Each entry stays where it is while others are added.
struct RunReport {
  bool keep_inputs;  // an entry per input (for the summary file); else only the run's frames
  GrowArray<InputReport*> inputs;
  FrameAccount frames;                       // the run's frames
  FrameAccount channels[2][TALLY_CHANNELS];  // of them, those of each bus and channel
  bool incomplete;                           // memory ran out for an entry
  DynString message;                         // the run's first error line
};

// A new entry at the end, for the input at `path`; null when the report keeps no entries, or
// (the report marked incomplete) when memory ran out.
InputReport* run_report_add(RunReport* report, std::string_view path);
// Sets the entry's status and, unless it has one, its message.
void run_report_settle(InputReport* input, int32_t status, std::string_view message);
// Adds the frames of a file of `input` (null: of no entry) to it and to the run's.
void run_report_frames(RunReport* report, InputReport* input, const FrameAccount& file);
void run_report_free(RunReport* report);

// While an input is taken on this thread, the first error line logged for it becomes its
// message: begin with the input (null ends it). The first error line of the run becomes the
// run's message. The log's observer must be run_report_observe with the report as context.
void run_report_capture(InputReport* input);
void run_report_observe(void* context, const char* text, size_t length);

// Writes the summary as JSON to `path` (through a temporary file renamed over it); false
// (logged) when it could not be written. `input_root` is put before every input's path.
bool run_report_write(const RunReport* report, int exit_status, std::string_view input_root,
                      const char* path);

// "Frames: 14,600 read, 12,000 decoded; 2,600 on CAN 2 without a DBC file, ..." with the run's
// three largest fates other than decoded; returns its length (at most capacity - 1).
size_t run_report_format_frames(const RunReport* report, char* out, size_t capacity);
