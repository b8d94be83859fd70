// Frame iteration speed: every frame of a generated one-million-frame bus log held in memory,
// opened the way the conversion pipeline opens files (a buffered stream holding the file).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "io/stream.h"
#include "mdf/block.h"
#include "mdf/blocks.h"
#include "mdf/mdf_file.h"
#include "mdf/records.h"
#include "support/mf4_writer.h"

namespace {

constexpr int FRAMES = 1'000'000;

// Classic CAN frames on two channels with a spread of ids, 10 kHz, sorted layout with fixed
// 8-byte data (layout 0); or CAN FD frames of up to 64 bytes whose payloads live in an SD
// block, in an unsorted data group next to remote frames (layout 1).
std::vector<uint8_t> make_log(int layout) {
  test::BusLogBuilder log;
  log.metadata(0x1A2B3C4D, 1, 1);
  std::vector<uint8_t> data(8), fd(64);
  if (layout == 1) log.layout(test::Layout::Unsorted, 1);
  for (int i = 0; i < FRAMES; ++i) {
    double t = i * 1e-4;
    uint32_t id = 0x100 + static_cast<uint32_t>(i % 37) * 0x10;
    if (layout == 0) {
      for (int b = 0; b < 8; ++b) data[b] = static_cast<uint8_t>(i >> b);
      log.add_can_frame(static_cast<uint8_t>(1 + i % 2), id, i % 5 == 0, data, t);
    } else if (i % 10 == 9) {
      log.add_can_remote_frame(1, id, false, 8, t);
    } else {
      fd.resize(8 + static_cast<size_t>(i % 8) * 8);
      for (size_t b = 0; b < fd.size(); ++b) fd[b] = static_cast<uint8_t>(i + b);
      log.add_canfd_frame(1, id, false, fd, t);
    }
  }
  return log.build();
}

const std::vector<uint8_t>& log_image(int layout) {
  static std::vector<uint8_t> images[2];
  if (images[layout].empty()) images[layout] = make_log(layout);
  return images[layout];
}

void BM_IterateFrames(benchmark::State& state) {
  const std::vector<uint8_t>& image = log_image(static_cast<int>(state.range(0)));
  Stream* memory = memory_stream_new();
  stream_write(memory, image.data(), image.size());
  stream_seek(memory, 0, SEEK_FROM_START);
  Stream* buffered = buffered_stream_new(memory, true, image.size());
  MdfFile* file = mdf_open(buffered);
  HdBlock* hd = file ? mdf_hd(file) : nullptr;
  if (!hd) {
    state.SkipWithError("the generated log does not open");
    mdf_close(file);
    stream_close(buffered);
    return;
  }
  uint64_t frames = 0, data_frames = 0, id_sum = 0;
  for (auto _ : state) {
    for (const BlockRef& ref : hd->data_groups) {
      RecordReader* reader = record_reader_new(dg_block(ref));
      RecordIterator it;
      for (record_iter_begin(&it, reader); it.frame; record_iter_next(&it)) {
        ++frames;
        if (it.frame->kind == FRAME_CAN_DATA) {
          ++data_frames;
          id_sum += it.frame->id + it.frame->data[0];
        }
      }
      record_reader_free(reader);
    }
  }
  benchmark::DoNotOptimize(id_sum);
  if (frames != static_cast<uint64_t>(FRAMES) * state.iterations())
    state.SkipWithError("the reader did not yield every frame");
  state.counters["frames_per_second"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["data_frames"] = static_cast<double>(data_frames / state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(image.size() * state.iterations()));
  mdf_close(file);
  stream_close(buffered);
}

// layout:0 is the classic sorted log, layout:1 the CAN FD log with signal data.
BENCHMARK(BM_IterateFrames)->ArgName("layout")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
