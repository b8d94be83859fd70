// The worker pool, the chunk queue between a producer and a consumer thread, and the log
// sinks of threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/log.h"
#include "support/test_util.h"
#include "support/worker_pool.h"

namespace {

TEST(WorkerPool, RunsEveryJobOnceAndDestroyWaitsForThem) {
  struct Counts {
    std::atomic<int> runs[500];
  } counts{};
  struct Job {
    Counts* counts;
    int index;
  };
  std::vector<Job> jobs(500);
  WorkerPool* pool = worker_pool_create(3);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(worker_pool_threads(pool), 3);
  for (int i = 0; i < 500; ++i) {
    jobs[i] = Job{&counts, i};
    ASSERT_TRUE(worker_pool_submit(
        pool,
        [](void* arg) {
          auto* job = static_cast<Job*>(arg);
          job->counts->runs[job->index].fetch_add(1);
        },
        &jobs[i]));
  }
  worker_pool_destroy(pool);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(counts.runs[i].load(), 1) << i;
}

TEST(ChunkQueue, KeepsOrderAndHoldsTheProducerAtTheLimit) {
  constexpr int CHUNKS = 300;
  constexpr uint64_t LIMIT = 8 * 1024;
  ChunkQueue queue;
  chunk_queue_init(&queue, LIMIT);
  std::thread producer([&queue] {
    for (int i = 0; i < CHUNKS; ++i) {
      Chunk* chunk = chunk_new(1024 + static_cast<uint32_t>(i % 3) * 512);
      ASSERT_NE(chunk, nullptr);
      memcpy(chunk->bytes(), &i, sizeof i);
      chunk->size = sizeof i;
      chunk_queue_push(&queue, chunk);
    }
    chunk_queue_close(&queue);
  });
  uint64_t most_queued = 0;
  for (int expected = 0;; ++expected) {
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      most_queued = std::max(most_queued, queue.bytes);
    }
    if (expected % 50 == 0) usleep(2000);  // let the producer run into the limit
    Chunk* chunk = chunk_queue_pop(&queue);
    if (!chunk) {
      EXPECT_EQ(expected, CHUNKS);
      break;
    }
    int value = -1;
    memcpy(&value, chunk->bytes(), sizeof value);
    EXPECT_EQ(value, expected);
    chunk_free(chunk);
  }
  producer.join();
  // The producer pushes only below the limit, so the queue holds at most one chunk more. Chunks
  // come from the store at least as large as asked for, never larger than the largest asked.
  EXPECT_GE(most_queued, LIMIT);
  EXPECT_LT(most_queued, LIMIT + 2048);
  chunk_queue_clear(&queue);
}

struct SinkLines {
  std::string text;
  int calls = 0;
};

void collect(void* context, const char* line, size_t length) {
  auto* lines = static_cast<SinkLines*>(context);
  lines->text.append(line, length);
  lines->calls += 1;
}

TEST(LogSink, ThreadLinesGoToTheirSinkAndTheRestToTheOutput) {
  test::TempDir dir;
  FILE* f = fopen(dir.file("log").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  log_set_output_fd(fileno(f));
  int32_t saved = log_output_level;
  log_set_output_level(LOG_INFO);
  SinkLines sunk[2];
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &sunk] {
      if (t < 2) log_set_thread_sink(collect, &sunk[t]);
      for (int i = 0; i < 100; ++i) LOG(LOG_INFO, "thread %d line %d", t, i);
      LOG(LOG_VERBOSE, "filtered before any sink sees it");
    });
  }
  for (std::thread& thread : threads) thread.join();
  log_write_text("two lines\nas one text\n", 22);
  log_set_output_level(saved);
  log_set_output_fd(2);
  fclose(f);

  for (int t = 0; t < 2; ++t) {
    EXPECT_EQ(sunk[t].calls, 100);
    EXPECT_NE(sunk[t].text.find(" I thread " + std::to_string(t) + " line 99\n"),
              std::string::npos);
    EXPECT_EQ(sunk[t].text.find("thread " + std::to_string(1 - t)), std::string::npos);
  }
  // The threads without a sink wrote whole lines, in order per thread.
  std::string written = test::read_text(dir.file("log"));
  for (int t = 2; t < 4; ++t) {
    size_t at = 0;
    for (int i = 0; i < 100; ++i) {
      std::string line = " I thread " + std::to_string(t) + " line " + std::to_string(i) + "\n";
      at = written.find(line, at);
      ASSERT_NE(at, std::string::npos) << line;
    }
  }
  EXPECT_EQ(written.find("thread 0"), std::string::npos);
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 202);
  EXPECT_EQ(written.substr(written.size() - 22), "two lines\nas one text\n");
}

}  // namespace
