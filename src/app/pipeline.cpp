// The conversion pipeline: inputs and their parts in walk order, their start on the worker
// threads within the limits, and stage B over their chunks on the walking thread.
#include "app/pipeline.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "support/dyn_string.h"
#include "support/log.h"

struct PipelinePart {
  PipelinePart* next;  // the input's next part
  PipelineInput* input;
  Pipeline* pipeline;
  void* data;
  int32_t index;
  bool started;  // handed to the workers (guarded by the pipeline's mutex)
  bool direct;   // produced by stage B's thread, which takes its chunks at once
  std::atomic<bool> stopped{false};
  ChunkQueue queue;
};

struct PipelineInput {
  PipelineInput* next;  // the next input in walk order
  void* data;
  PipelinePart* parts;  // in order; complete once `planned`
  DynString preface;    // the walk's lines before it
  bool planned;         // no more parts will be added (guarded by the pipeline's mutex)
  bool started;         // its first part has started
  uint64_t bytes;       // its size
};

struct Pipeline {
  const PipelineOps* ops;
  void* context;
  PipelineLimits limits;
  WorkerPool* pool;  // null with one job
  std::mutex mutex;
  std::condition_variable planned;  // an input's parts became known
  PipelineInput* first;             // the oldest input stage B has not ended
  PipelineInput* last;
  int32_t waiting;         // inputs added and not ended
  int32_t inputs_running;  // inputs started and not ended
  int32_t parts_running;   // parts started and not consumed
  DynString walk_lines;    // held lines of the walking thread
  bool walk_lines_failed;  // memory ran out for them: written at once from then on
  LogSink saved_sink;      // the walking thread's sink before, put back at the end
  void* saved_context;
};

namespace {

// The walking thread's lines are held until the next input, so that they keep their place.
void hold_walk_line(void* context, const char* line, size_t length) {
  auto* pipeline = static_cast<Pipeline*>(context);
  if (!pipeline->walk_lines_failed && dynstring_append(&pipeline->walk_lines, line, length)) return;
  pipeline->walk_lines_failed = true;
  log_write_text(line, length);
}

void write_text(DynString* text) {
  if (dynstring_length(text) > 0) log_write_text(dynstring_data(text), dynstring_length(text));
  dynstring_free(text);
}

PipelinePart* new_part(Pipeline* pipeline, PipelineInput* input, void* data, int32_t index) {
  void* memory = malloc(sizeof(PipelinePart));
  if (!memory) return nullptr;
  auto* part = new (memory) PipelinePart;
  part->next = nullptr;
  part->input = input;
  part->pipeline = pipeline;
  part->data = data;
  part->index = index;
  part->started = false;
  part->direct = false;
  chunk_queue_init(&part->queue, pipeline->limits.queue_limit);
  return part;
}

void free_part(Pipeline* pipeline, PipelinePart* part) {
  if (pipeline->ops->release_part) pipeline->ops->release_part(pipeline->context, part->data);
  chunk_queue_clear(&part->queue);
  part->~PipelinePart();
  free(part);
}

// Stage A of a part; a first part that did not split its input leaves it with the one part.
void produce(Pipeline* pipeline, PipelinePart* part) {
  pipeline->ops->produce(pipeline->context, part);
  if (part->index != 0) return;
  {
    std::lock_guard<std::mutex> lock(pipeline->mutex);
    part->input->planned = true;
  }
  pipeline->planned.notify_all();
}

void run_part(void* argument) {
  auto* part = static_cast<PipelinePart*>(argument);
  produce(part->pipeline, part);
  chunk_queue_close(&part->queue);
}

// Whether one more input may start: one per job, and one more when it is small, so that a
// worker that is done ahead of stage B has the next input to go on with.
bool may_start_input(const Pipeline* pipeline, const PipelineInput* input) {
  const int32_t jobs = pipeline->limits.jobs;
  return pipeline->inputs_running < jobs ||
         (pipeline->inputs_running == jobs && input->bytes <= PIPELINE_EXTRA_INPUT_BYTES);
}

// Starts parts in walk order while the limits allow (the caller holds the mutex). The parts
// of an input start only once the parts of the inputs before it are known and started, so
// that the workers take parts in the order in which stage B consumes them.
void start_parts(Pipeline* pipeline) {
  const int32_t jobs = pipeline->limits.jobs;
  for (PipelineInput* input = pipeline->first; input; input = input->next) {
    for (PipelinePart* part = input->parts; part; part = part->next) {
      if (part->started) continue;
      if (pipeline->parts_running >= 2 * jobs) return;
      if (!input->started && !may_start_input(pipeline, input)) return;
      if (!worker_pool_submit(pipeline->pool, run_part, part)) return;
      part->started = true;
      pipeline->parts_running += 1;
      if (!input->started) pipeline->inputs_running += 1;
      input->started = true;
    }
    if (!input->planned) return;
  }
}

// Stage B of one part: its chunks as the worker hands them over. A part that could not be
// handed to the workers (memory ran out) is produced here, its chunks taken at once.
void consume_part(Pipeline* pipeline, PipelineInput* input, PipelinePart* part) {
  bool here;
  {
    std::lock_guard<std::mutex> lock(pipeline->mutex);
    here = !part->started;
    if (here) {
      part->started = part->direct = true;
      pipeline->parts_running += 1;
      if (!input->started) pipeline->inputs_running += 1;
      input->started = true;
    }
  }
  if (here) {
    produce(pipeline, part);
  } else {
    while (Chunk* chunk = chunk_queue_pop(&part->queue)) {
      pipeline->ops->consume(pipeline->context, input, part, chunk);
      chunk_free(chunk);
    }
  }
  std::lock_guard<std::mutex> lock(pipeline->mutex);
  pipeline->parts_running -= 1;
  start_parts(pipeline);
}

// The part after `part` once the input's parts are known (after the first part they may still
// be added while it runs).
PipelinePart* next_part(Pipeline* pipeline, PipelinePart* part) {
  std::unique_lock<std::mutex> lock(pipeline->mutex);
  pipeline->planned.wait(lock, [part] { return part->input->planned; });
  return part->next;
}

void release_input(Pipeline* pipeline, PipelineInput* input) {
  while (PipelinePart* part = input->parts) {
    input->parts = part->next;
    free_part(pipeline, part);
  }
  if (pipeline->ops->release_input) pipeline->ops->release_input(pipeline->context, input->data);
  dynstring_free(&input->preface);
  free(input);
}

// Stage B of the oldest input; returns its result.
int32_t finish_oldest(Pipeline* pipeline) {
  PipelineInput* input = pipeline->first;
  // Stage B's own lines are written as they come.
  ScopedLogSink direct(nullptr, nullptr);
  write_text(&input->preface);
  pipeline->ops->begin(pipeline->context, input);
  if (pipeline->pool) {
    for (PipelinePart* part = input->parts; part; part = next_part(pipeline, part))
      consume_part(pipeline, input, part);
  } else {
    // One job: stage A runs here, its chunks going straight to stage B (pipeline_emit).
    for (PipelinePart* part = input->parts; part; part = part->next) {
      pipeline->ops->produce(pipeline->context, part);
      input->planned = true;
    }
  }
  int32_t result = pipeline->ops->end(pipeline->context, input);
  {
    std::lock_guard<std::mutex> lock(pipeline->mutex);
    pipeline->first = input->next;
    if (!pipeline->first) pipeline->last = nullptr;
    pipeline->waiting -= 1;
    if (input->started) pipeline->inputs_running -= 1;
    if (pipeline->pool) start_parts(pipeline);
  }
  release_input(pipeline, input);
  return result;
}

}  // namespace

PipelineLimits pipeline_limits(int32_t jobs) {
  if (jobs < 1) jobs = 1;
  constexpr uint64_t MIB = uint64_t{1} << 20;
  uint64_t limit = 24 * MIB / static_cast<uint64_t>(jobs);
  if (limit < MIB / 4) limit = MIB / 4;  // one chunk of rows
  if (limit > 8 * MIB) limit = 8 * MIB;
  return PipelineLimits{jobs, limit};
}

Pipeline* pipeline_create(const PipelineOps* ops, void* context, PipelineLimits limits) {
  void* memory = calloc(1, sizeof(Pipeline));
  if (!memory) return nullptr;
  auto* pipeline = new (memory) Pipeline();  // value-initialised: every plain member zero
  pipeline->ops = ops;
  pipeline->context = context;
  pipeline->limits = limits;
  if (pipeline->limits.jobs < 1) pipeline->limits.jobs = 1;
  if (pipeline->limits.jobs > 1) {
    pipeline->pool = worker_pool_create(pipeline->limits.jobs);
    // Without threads the run goes on with one job.
    if (!pipeline->pool) pipeline->limits.jobs = 1;
  }
  pipeline->saved_sink = log_thread_sink(&pipeline->saved_context);
  log_set_thread_sink(hold_walk_line, pipeline);
  return pipeline;
}

int32_t pipeline_add(Pipeline* pipeline, void* data, uint64_t bytes, bool may_split) {
  auto* input = static_cast<PipelineInput*>(calloc(1, sizeof(PipelineInput)));
  PipelinePart* part = input ? new_part(pipeline, input, data, 0) : nullptr;
  if (!part) {
    free(input);
    if (pipeline->ops->release_input) pipeline->ops->release_input(pipeline->context, data);
    LOG(LOG_ERROR, "Could not allocate memory for an input");
    return 8;
  }
  // The first part's data is the input's data: a part owns none of its own.
  part->data = nullptr;
  input->data = data;
  input->bytes = bytes;
  input->parts = part;
  input->planned = !may_split || !pipeline->pool;
  input->preface = pipeline->walk_lines;
  pipeline->walk_lines = DynString{};
  {
    std::lock_guard<std::mutex> lock(pipeline->mutex);
    if (pipeline->last) {
      pipeline->last->next = input;
    } else {
      pipeline->first = input;
    }
    pipeline->last = input;
    pipeline->waiting += 1;
    if (pipeline->pool) start_parts(pipeline);
  }
  // With workers, one input more than they can take waits, ready to start when one ends; with
  // one job the input is converted at once.
  int32_t result = 0;
  const int32_t waiting = pipeline->pool ? pipeline->limits.jobs + 2 : 0;
  while (pipeline->waiting > waiting) result |= finish_oldest(pipeline);
  return result;
}

int32_t pipeline_finish(Pipeline* pipeline) {
  int32_t result = 0;
  while (pipeline->first) result |= finish_oldest(pipeline);
  ScopedLogSink direct(nullptr, nullptr);
  write_text(&pipeline->walk_lines);
  return result;
}

void pipeline_destroy(Pipeline* pipeline) {
  if (!pipeline) return;
  pipeline_finish(pipeline);
  log_set_thread_sink(pipeline->saved_sink, pipeline->saved_context);
  worker_pool_destroy(pipeline->pool);
  pipeline->~Pipeline();
  free(pipeline);
}

void* pipeline_input_data(const PipelineInput* input) { return input->data; }
void* pipeline_part_data(const PipelinePart* part) { return part->data; }
PipelineInput* pipeline_part_input(const PipelinePart* part) { return part->input; }
int32_t pipeline_part_index(const PipelinePart* part) { return part->index; }
int32_t pipeline_input_parts(const PipelineInput* input) {
  int32_t count = 0;
  for (const PipelinePart* part = input->parts; part; part = part->next) ++count;
  return count;
}

void pipeline_emit(PipelinePart* part, Chunk* chunk) {
  Pipeline* pipeline = part->pipeline;
  if (pipeline->pool && !part->direct) {
    chunk_queue_push(&part->queue, chunk);
    return;
  }
  // Stage B's lines are written as they come, not captured with stage A's.
  ScopedLogSink direct(nullptr, nullptr);
  pipeline->ops->consume(pipeline->context, part->input, part, chunk);
  chunk_free(chunk);
}

bool pipeline_add_parts(PipelinePart* first, void* const* data, int32_t count) {
  Pipeline* pipeline = first->pipeline;
  PipelineInput* input = first->input;
  PipelinePart* parts = nullptr;
  PipelinePart** tail = &parts;
  bool ok = true;
  for (int32_t i = 0; i < count; ++i) {
    PipelinePart* part = ok ? new_part(pipeline, input, data[i], i + 1) : nullptr;
    if (!part) {
      ok = false;
      if (pipeline->ops->release_part) pipeline->ops->release_part(pipeline->context, data[i]);
      continue;
    }
    *tail = part;
    tail = &part->next;
  }
  if (!ok) {
    while (PipelinePart* part = parts) {
      parts = part->next;
      free_part(pipeline, part);
    }
  }
  {
    std::lock_guard<std::mutex> lock(pipeline->mutex);
    first->next = parts;
    input->planned = true;
    if (pipeline->pool) start_parts(pipeline);
  }
  pipeline->planned.notify_all();
  return ok;
}

bool pipeline_stopped(const PipelinePart* part) {
  return part->stopped.load(std::memory_order_relaxed);
}

void pipeline_stop_parts(PipelineInput* input, int32_t from) {
  Pipeline* pipeline = input->parts->pipeline;
  std::lock_guard<std::mutex> lock(pipeline->mutex);
  for (PipelinePart* part = input->parts; part; part = part->next)
    if (part->index >= from) part->stopped.store(true, std::memory_order_relaxed);
}
