// Worker threads: a fixed set of threads that run submitted jobs in the order they were
// submitted, and the byte chunks with the bounded queue through which a job hands its results
// to the thread that consumes them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// A job: `run(arg)` on one of the pool's threads.
using WorkFunction = void (*)(void* arg);

struct WorkerPool;

// Starts `threads` threads (at least one). Null when memory ran out or no thread could be
// started; fewer threads than asked for when the system refused some (worker_pool_threads).
WorkerPool* worker_pool_create(int32_t threads);
int32_t worker_pool_threads(const WorkerPool* pool);
// Queues a job; jobs start in submission order as threads become free. False (nothing queued)
// when memory ran out.
bool worker_pool_submit(WorkerPool* pool, WorkFunction run, void* arg);
// Waits until every submitted job has ended, ends the threads and frees the pool; null is
// accepted.
void worker_pool_destroy(WorkerPool* pool);

// A piece of a job's output: `size` bytes used of `capacity`.
struct Chunk {
  Chunk* next;
  uint32_t size;
  uint32_t capacity;
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
};

// A chunk of at least `capacity` bytes, empty, from a process-wide store of freed chunks when
// it holds one of that size; null when memory ran out. Any thread may call these.
Chunk* chunk_new(uint32_t capacity);
// Gives the chunk back (null is accepted); the store keeps a bounded number for reuse.
void chunk_free(Chunk* chunk);

// Chunks from one producer to one consumer, in order. The producer waits while the chunks
// queued hold `limit` bytes or more, so that a producer that runs ahead of its consumer holds
// bounded memory; a chunk larger than the limit still passes once the queue is empty.
struct ChunkQueue {
  std::mutex mutex;
  std::condition_variable changed;
  Chunk* head = nullptr;
  Chunk* tail = nullptr;
  uint64_t bytes = 0;  // capacity of the chunks queued
  uint64_t limit = 0;
  bool closed = false;  // the producer has pushed its last chunk
};

void chunk_queue_init(ChunkQueue* queue, uint64_t limit);
// Appends the chunk (the queue owns it), first waiting for room.
void chunk_queue_push(ChunkQueue* queue, Chunk* chunk);
// The producer is done; a consumer waiting for a chunk wakes up. The producer touches the
// queue no more, so the consumer may free it once a pop has returned null.
void chunk_queue_close(ChunkQueue* queue);
// The next chunk (the caller owns it), waiting for one; null once the queue is closed and
// empty.
Chunk* chunk_queue_pop(ChunkQueue* queue);
// Frees the chunks left in the queue.
void chunk_queue_clear(ChunkQueue* queue);
