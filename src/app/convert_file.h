// The conversion of input files in the pipeline's two stages: stage A (input_reader.h) reads
// and decodes an input, stage B here takes its records in walk order: the header's decisions
// (continued output set, repeated input), the rows into their files, the journal, the input's
// end and the deletion of converted inputs.
#pragma once

#include <cstdint>
#include <string_view>

#include "app/pipeline.h"

struct Run;
struct InputJob;
struct RunTotals;

// Result codes, ORed into the exit status by the input walk.
constexpr int32_t CONVERT_OK = 0;
constexpr int32_t CONVERT_NO_PASSWORD = 2;
constexpr int32_t CONVERT_DECOMPRESS_FAILED = 4;
constexpr int32_t CONVERT_FAILED = 8;

// The pipeline's context for the conversion stages: the run, and the totals that stage B
// counts each input's result into (may be null).
struct StageContext {
  Run* run;
  RunTotals* totals;
};
extern const PipelineOps CONVERSION_STAGES;

// An input for the pipeline (its stage data), with its file opened here, on the walking thread,
// in the folder the walk has set. A file that cannot be opened is logged here and fails in
// stage B. Both paths are relative to the roots; the output path has no extension. An input
// that `may_split` is read into memory whole, and a large data group of its records is read by
// several parts at once. Null when memory ran out (logged).
InputJob* conversion_input(Run* run, std::string_view input_path, std::string_view output_path,
                           uint64_t size, bool may_split);
// Whether an input of `size` bytes is worth reading in parts with these options.
bool worth_splitting(const Run* run, uint64_t size);

// Converts one input with both stages on the calling thread; returns its result. With
// --delete-converted a converted input is deleted once its output has been made durable
// (done for many inputs at once) and the next input whose header is read has ended (it may
// repeat this one and is compared with it), or by finish_conversions.
int32_t convert_file(Run* run, std::string_view input_path, std::string_view output_path);
// Deletes every converted input that still waits for its deletion, at the end of a run. False
// when the output could not be made durable during the run (inputs were kept then).
bool finish_conversions(Run* run);
// Deletes the queued inputs other than the previous input, after making everything written to
// the output's file system durable: when a resumed run takes over the deletions that an
// interrupted run left.
void delete_stale_inputs(Run* run);
