// The pipeline with stages that stand in for the conversion: inputs with one part or several
// and parts that stage B stops are consumed in walk order, within the limits, with the walk's
// lines in their place, whatever the number of jobs.
#include "app/pipeline.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "support/log.h"
#include "support/log_capture.h"

namespace {

struct InputPlan {
  int parts;   // more than 1: the first part splits the input
  int chunks;  // per part
  bool stop;   // stage B stops the parts after the first when it sees the first chunk
};

struct PartData {
  int input, part;
};

struct Record {
  int input, part, chunk;
};

struct Stages {
  std::vector<InputPlan> plans;
  std::vector<Record> consumed;
  std::vector<int32_t> ended;
  int jobs;
  std::atomic<int> producing{0}, most_producing{0};
  std::atomic<bool> stopped_seen{false};
};

void produce(void* context, PipelinePart* part) {
  auto* stages = static_cast<Stages*>(context);
  auto* data = static_cast<PartData*>(pipeline_part_data(part));
  if (!data) data = static_cast<PartData*>(pipeline_input_data(pipeline_part_input(part)));
  int now = stages->producing.fetch_add(1) + 1;
  for (int seen = stages->most_producing.load(); now > seen;)
    stages->most_producing.compare_exchange_weak(seen, now);
  const InputPlan& plan = stages->plans[static_cast<size_t>(data->input)];
  if (pipeline_part_index(part) == 0 && plan.parts > 1) {
    std::vector<void*> more;
    for (int p = 1; p < plan.parts; ++p) more.push_back(new PartData{data->input, p});
    ASSERT_TRUE(pipeline_add_parts(part, more.data(), static_cast<int32_t>(more.size())));
  }
  for (int c = 0; c < plan.chunks; ++c) {
    if (pipeline_stopped(part)) {
      stages->stopped_seen = true;
      break;
    }
    if ((data->input * 7 + data->part * 3 + c) % 5 == 0) usleep(300);
    Chunk* chunk = chunk_new(64 * 1024);
    ASSERT_NE(chunk, nullptr);
    Record r{data->input, data->part, c};
    memcpy(chunk->bytes(), &r, sizeof r);
    chunk->size = sizeof r;
    pipeline_emit(part, chunk);
  }
  stages->producing.fetch_sub(1);
}

void begin(void*, PipelineInput* input) {
  LOG(LOG_INFO, "begin %d", static_cast<PartData*>(pipeline_input_data(input))->input);
}

void consume(void* context, PipelineInput* input, PipelinePart*, Chunk* chunk) {
  auto* stages = static_cast<Stages*>(context);
  Record r;
  memcpy(&r, chunk->bytes(), sizeof r);
  stages->consumed.push_back(r);
  if (r.part == 0 && r.chunk == 0 && stages->plans[static_cast<size_t>(r.input)].stop)
    pipeline_stop_parts(input, 1);
}

int32_t end(void* context, PipelineInput* input) {
  auto* stages = static_cast<Stages*>(context);
  int id = static_cast<PartData*>(pipeline_input_data(input))->input;
  LOG(LOG_INFO, "end %d", id);
  stages->ended.push_back(id);
  return id % 4 == 3 ? 8 : 0;
}

void release(void*, void* data) { delete static_cast<PartData*>(data); }

constexpr PipelineOps OPS{produce, begin, consume, end, release, release};

struct Outcome {
  std::vector<Record> consumed;
  std::string log;
  int32_t status;
};

Outcome run(const std::vector<InputPlan>& plans, int jobs, int* most_producing) {
  Stages stages;
  stages.plans = plans;
  stages.jobs = jobs;
  test::LogCapture capture(LOG_INFO);
  PipelineLimits limits = pipeline_limits(jobs);
  limits.queue_limit = 2 * 64 * 1024;  // two chunks: producers that run ahead wait
  Pipeline* pipeline = pipeline_create(&OPS, &stages, limits);
  EXPECT_NE(pipeline, nullptr);
  int32_t status = 0;
  for (size_t i = 0; i < plans.size(); ++i) {
    LOG(LOG_INFO, "walk before %zu", i);
    status |=
        pipeline_add(pipeline, new PartData{static_cast<int>(i), 0}, 1000, plans[i].parts > 1);
  }
  LOG(LOG_INFO, "walk done");
  status |= pipeline_finish(pipeline);
  pipeline_destroy(pipeline);
  *most_producing = stages.most_producing.load();
  EXPECT_EQ(stages.ended.size(), plans.size());
  std::string log;
  // The stamps differ from run to run: the messages alone.
  std::string text = capture.text();
  for (size_t at = 0; at < text.size();) {
    size_t end_of_line = text.find('\n', at);
    size_t message = text.find(" I ", at) + 3;
    log += text.substr(message, end_of_line + 1 - message);
    at = end_of_line + 1;
  }
  return {stages.consumed, log, status};
}

TEST(Pipeline, StageBTakesEveryPartInWalkOrderWithinTheLimits) {
  std::vector<InputPlan> plans;
  for (int i = 0; i < 14; ++i)
    plans.push_back(InputPlan{i % 3 == 1 ? 4 : 1, 3 + i % 4, i == 4 || i == 10});
  int most = 0;
  Outcome one = run(plans, 1, &most);
  EXPECT_EQ(most, 1);
  // Everything in walk order: the inputs, their parts, their chunks; a stopped input's later
  // parts emit nothing.
  std::vector<Record> expected;
  for (int i = 0; i < 14; ++i)
    for (int p = 0; p < plans[static_cast<size_t>(i)].parts; ++p)
      for (int c = 0; c < plans[static_cast<size_t>(i)].chunks; ++c)
        if (!(plans[static_cast<size_t>(i)].stop && p > 0)) expected.push_back({i, p, c});
  ASSERT_EQ(one.consumed.size(), expected.size());
  for (size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(one.consumed[k].input, expected[k].input) << k;
    EXPECT_EQ(one.consumed[k].part, expected[k].part) << k;
    EXPECT_EQ(one.consumed[k].chunk, expected[k].chunk) << k;
  }
  EXPECT_EQ(one.status, 8);
  std::string lines;
  for (int i = 0; i < 14; ++i)
    lines += "walk before " + std::to_string(i) + "\nbegin " + std::to_string(i) + "\nend " +
             std::to_string(i) + "\n";
  EXPECT_EQ(one.log, lines + "walk done\n");

  for (int jobs : {2, 3}) {
    Outcome many = run(plans, jobs, &most);
    EXPECT_LE(most, jobs);
    // Stopped parts may have emitted some chunks before they saw the stop: every other chunk
    // arrives exactly as with one job.
    std::vector<Record> kept;
    for (const Record& r : many.consumed)
      if (!(plans[static_cast<size_t>(r.input)].stop && r.part > 0)) kept.push_back(r);
    ASSERT_EQ(kept.size(), expected.size()) << jobs;
    for (size_t k = 0; k < expected.size(); ++k)
      EXPECT_TRUE(kept[k].input == expected[k].input && kept[k].part == expected[k].part &&
                  kept[k].chunk == expected[k].chunk)
          << jobs << " " << k;
    EXPECT_EQ(many.status, one.status);
    // The walk's lines are held while inputs wait, so the log reads as with one job.
    EXPECT_EQ(many.log, one.log) << jobs;
  }
}

}  // namespace
