// Worker threads over one job list, and the chunk store and queues between threads.
#include "support/worker_pool.h"

#include <pthread.h>

#include <cstdlib>
#include <new>

namespace {

struct Job {
  Job* next;
  WorkFunction run;
  void* arg;
};

}  // namespace

struct WorkerPool {
  std::mutex mutex;
  std::condition_variable wake;
  Job* first = nullptr;
  Job* last = nullptr;
  bool stopping = false;
  int32_t started = 0;
  pthread_t* threads = nullptr;
};

namespace {

void* worker_main(void* argument) {
  auto* pool = static_cast<WorkerPool*>(argument);
  std::unique_lock<std::mutex> lock(pool->mutex);
  for (;;) {
    pool->wake.wait(lock, [pool] { return pool->first || pool->stopping; });
    Job* job = pool->first;
    if (!job) return nullptr;  // stopping with nothing left to run
    pool->first = job->next;
    if (!pool->first) pool->last = nullptr;
    lock.unlock();
    job->run(job->arg);
    free(job);
    lock.lock();
  }
}

}  // namespace

WorkerPool* worker_pool_create(int32_t threads) {
  if (threads < 1) threads = 1;
  void* memory = malloc(sizeof(WorkerPool));
  if (!memory) return nullptr;
  auto* pool = new (memory) WorkerPool;
  pool->threads = static_cast<pthread_t*>(calloc(static_cast<size_t>(threads), sizeof(pthread_t)));
  for (int32_t i = 0; pool->threads && i < threads; ++i) {
    if (pthread_create(&pool->threads[i], nullptr, worker_main, pool) != 0) break;
    pool->started += 1;
  }
  if (pool->started == 0) {
    worker_pool_destroy(pool);
    return nullptr;
  }
  return pool;
}

int32_t worker_pool_threads(const WorkerPool* pool) { return pool ? pool->started : 0; }

bool worker_pool_submit(WorkerPool* pool, WorkFunction run, void* arg) {
  auto* job = static_cast<Job*>(malloc(sizeof(Job)));
  if (!job) return false;
  *job = Job{nullptr, run, arg};
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    if (pool->last) {
      pool->last->next = job;
    } else {
      pool->first = job;
    }
    pool->last = job;
  }
  pool->wake.notify_one();
  return true;
}

void worker_pool_destroy(WorkerPool* pool) {
  if (!pool) return;
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    pool->stopping = true;
  }
  pool->wake.notify_all();
  for (int32_t i = 0; i < pool->started; ++i) pthread_join(pool->threads[i], nullptr);
  free(pool->threads);
  pool->~WorkerPool();
  free(pool);
}

// ---- chunks ----

namespace {

// Freed chunks of the usual sizes wait here for reuse, so that a long run does not go back to
// the allocator for every chunk.
constexpr int32_t STORED_CHUNKS = 64;
std::mutex store_mutex;
Chunk* stored = nullptr;
int32_t stored_count = 0;

}  // namespace

Chunk* chunk_new(uint32_t capacity) {
  {
    std::lock_guard<std::mutex> lock(store_mutex);
    for (Chunk** at = &stored; *at; at = &(*at)->next) {
      if ((*at)->capacity < capacity) continue;
      Chunk* chunk = *at;
      *at = chunk->next;
      stored_count -= 1;
      chunk->next = nullptr;
      chunk->size = 0;
      return chunk;
    }
  }
  auto* chunk = static_cast<Chunk*>(malloc(sizeof(Chunk) + capacity));
  if (chunk) *chunk = Chunk{nullptr, 0, capacity};
  return chunk;
}

void chunk_free(Chunk* chunk) {
  if (!chunk) return;
  {
    std::lock_guard<std::mutex> lock(store_mutex);
    if (stored_count < STORED_CHUNKS) {
      chunk->next = stored;
      stored = chunk;
      stored_count += 1;
      return;
    }
  }
  free(chunk);
}

void chunk_queue_init(ChunkQueue* queue, uint64_t limit) { queue->limit = limit; }

void chunk_queue_push(ChunkQueue* queue, Chunk* chunk) {
  chunk->next = nullptr;
  {
    std::unique_lock<std::mutex> lock(queue->mutex);
    queue->changed.wait(lock, [queue] { return !queue->head || queue->bytes < queue->limit; });
    if (queue->tail) {
      queue->tail->next = chunk;
    } else {
      queue->head = chunk;
    }
    queue->tail = chunk;
    queue->bytes += chunk->capacity;
  }
  queue->changed.notify_all();
}

void chunk_queue_close(ChunkQueue* queue) {
  // Notified under the lock: once the consumer sees the queue closed it may free it.
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->closed = true;
  queue->changed.notify_all();
}

Chunk* chunk_queue_pop(ChunkQueue* queue) {
  Chunk* chunk;
  {
    std::unique_lock<std::mutex> lock(queue->mutex);
    queue->changed.wait(lock, [queue] { return queue->head || queue->closed; });
    chunk = queue->head;
    if (!chunk) return nullptr;
    queue->head = chunk->next;
    if (!queue->head) queue->tail = nullptr;
    queue->bytes -= chunk->capacity;
  }
  queue->changed.notify_all();
  chunk->next = nullptr;
  return chunk;
}

void chunk_queue_clear(ChunkQueue* queue) {
  std::lock_guard<std::mutex> lock(queue->mutex);
  while (Chunk* chunk = queue->head) {
    queue->head = chunk->next;
    chunk_free(chunk);
  }
  queue->tail = nullptr;
  queue->bytes = 0;
}
