// The conversion pipeline: the inputs of a run, in walk order, pass two stages. Stage A (open,
// unwrap, read, decode and format: the bulk of the work) runs on worker threads for several
// inputs at once, and for several parts of one large input; the product of each part is a
// stream of chunks. Stage B takes the chunks of one part after the other, in walk order, on
// the thread that walks the inputs, so that everything that depends on order (output sets,
// file names, the journal, deletions, log lines) happens as in a run with one thread. With one
// job there are no threads and no queues: stage A runs inline and hands each chunk straight to
// stage B.
#pragma once

#include <cstdint>

#include "support/worker_pool.h"

struct Pipeline;
struct PipelineInput;
struct PipelinePart;

// The stages, called with the pipeline's context. produce: stage A of one part; it hands its
// chunks over with pipeline_emit, may end early once pipeline_stopped says so, and the first
// part of an input that may be split adds the other parts with pipeline_add_parts before it
// emits rows. Parts run on any thread, several at once. The stage B slots run on the walking
// thread in walk order: begin when an input's turn comes, consume for each chunk of its parts
// in order (the chunk is freed after it), end when its last part has ended; end returns the
// input's result. release frees an input's and a part's data (input or part data may be null)
// once nothing uses them any more.
struct PipelineOps {
  void (*produce)(void* context, PipelinePart* part);
  void (*begin)(void* context, PipelineInput* input);
  void (*consume)(void* context, PipelineInput* input, PipelinePart* part, Chunk* chunk);
  int32_t (*end)(void* context, PipelineInput* input);
  void (*release_input)(void* context, void* data);
  void (*release_part)(void* context, void* data);
};

// How far parts may run ahead of stage B. Parts start in walk order; at most `jobs` inputs
// (and one more of up to PIPELINE_EXTRA_INPUT_BYTES) and 2 x jobs parts are between their start
// and the end of their stage B, and each part's queue holds at most queue_limit bytes of chunks
// that stage B has not taken yet.
struct PipelineLimits {
  int32_t jobs;
  uint64_t queue_limit;
};

constexpr uint64_t PIPELINE_EXTRA_INPUT_BYTES = uint64_t{16} << 20;

// The limits for a number of jobs: queues of 24 MiB / jobs each, from 256 KiB (one chunk of
// rows) to 8 MiB, so 48 MiB in all for up to 96 jobs; with the extra input, what the pipeline
// holds besides one input per job stays within 64 MiB.
PipelineLimits pipeline_limits(int32_t jobs);

// A pipeline of `limits.jobs` worker threads (none for one job). The calling thread is the one
// that walks: from here to pipeline_destroy, the lines it logs while it is not in stage B are
// held and written before the lines of the next input it adds (or at pipeline_finish), so that
// the walk's lines keep their place among the inputs'; its sink before is put back at the
// end. Null when memory ran out.
Pipeline* pipeline_create(const PipelineOps* ops, void* context, PipelineLimits limits);
// Adds the next input in walk order, of `bytes` bytes, with the stage's data for it, which the
// pipeline releases.
// An input with `may_split` may get more parts (pipeline_add_parts); the inputs after it start
// only once its parts are known. May run stage B of earlier inputs first, so that a bounded
// number of inputs wait. Returns the OR of the results of the inputs that stage B ended here.
int32_t pipeline_add(Pipeline* pipeline, void* data, uint64_t bytes, bool may_split);
// Runs stage B for every input added, and writes the walk's lines held since the last input.
// Returns the OR of their results.
int32_t pipeline_finish(Pipeline* pipeline);
// Finishes and frees the pipeline (null is accepted).
void pipeline_destroy(Pipeline* pipeline);

// The stage's data of an input or part, and the part's place in its input (0 first).
void* pipeline_input_data(const PipelineInput* input);
void* pipeline_part_data(const PipelinePart* part);
PipelineInput* pipeline_part_input(const PipelinePart* part);
int32_t pipeline_part_index(const PipelinePart* part);
// The number of the input's parts (for stage B's end: all of them are known then).
int32_t pipeline_input_parts(const PipelineInput* input);

// Stage A: hands a chunk to stage B (which then owns it), after waiting for room in the part's
// queue; with one job, stage B takes it at once.
void pipeline_emit(PipelinePart* part, Chunk* chunk);
// Stage A, from an input's first part: the input's other parts, in order, with the stage's
// data of each (released by the pipeline, also when this fails). Called at most once, before
// the first part emits rows; false when memory ran out (the input then has its first part
// only).
bool pipeline_add_parts(PipelinePart* first, void* const* data, int32_t count);
// True once stage B wants no more of the part's rows.
bool pipeline_stopped(const PipelinePart* part);
// Stage B: the parts of the input from `from` on (an index) are to stop; their chunks still
// arrive and are consumed.
void pipeline_stop_parts(PipelineInput* input, int32_t from);
