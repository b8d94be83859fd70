// Stage A of a conversion: an input file opened, buffered and unwrapped, its MDF file read
// and its frames decoded into the records of the row stream, with the lines it logs on the way
// among them. It runs on any thread; what it shares with other threads is only read.
#pragma once

#include <cstdint>
#include <string_view>

#include "decode/frame_decoder.h"
#include "io/fs_root.h"
#include "io/stream.h"
#include "output/row_taker.h"
#include "support/dyn_string.h"

struct Run;
struct PipelinePart;

// An input as the stages see it. Stage A reads only the fields above `file` and takes `file`
// over; the rest is stage B's.
struct InputReport;

struct InputJob {
  Run* run;
  DynString input_path;
  DynString output_name;  // the input's own output name (see convert_file)
  uint64_t size;
  bool may_split;    // large data groups of a plain file are read in parts at once
  Stream* file;      // opened by the walking thread; null when that failed (logged there)
  FileStamp opened;  // the file as it was opened (when stamped), checked before it is deleted
  bool stamped;

  RowTaker taker;
  int32_t part;          // the part whose records stage B takes
  int32_t parts_ended;   // parts whose end (or failed open) stage B has taken
  int32_t result;        // set by a failed open
  int32_t close_result;  // of the parts' ends
  bool header_read;
  bool taking;  // the rows are taken (the header was read and the input is no repeat)
  bool success;
  bool kept;            // nothing to convert: not deleted
  uint32_t data_group;  // of the segment being taken
  // Data groups whose frames could not all be read: their later records go, as one reader
  // would have stopped there; and those whose once-per-reader line has been shown.
  GrowArray<uint32_t> failed_groups;
  GrowArray<uint32_t> shown_groups;
  InputReport* report;   // its entry of the run summary (null: none)
  uint64_t rows_before;  // the session's rows when stage B began it
};

// When an input is read in parts: from split_bytes on (with more than one job and the whole
// file in memory), in ranges of about range_bytes of a data group's records. The test build of
// the tool lowers them, so that small inputs are split.
struct SplitSizes {
  uint64_t split_bytes;
  uint64_t range_bytes;
};
extern SplitSizes split_sizes;

// Stage A of one part of the input. The first part opens the input and, when the input may be
// split, hands ranges of a large data group's records on to later parts.
void read_input_part(InputJob* job, PipelinePart* part);
// Frees the data of a later part.
void release_part_plan(void* data);
