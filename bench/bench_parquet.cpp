// Parquet encoding against CSV text: 100,000 rows of ten signals (raw integer values that
// step by one, times a scale factor, as bus signals are) that change slowly (30 % of the rows
// step) or busily (90 %), encoded into a counting sink, or formatted as the CSV writer formats
// its rows. Reports the bytes per row of each and the time per row.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "decode/csv_format.h"
#include "io/stream.h"
#include "output/output_writer.h"
#include "output/parquet_writer.h"

namespace {

constexpr int ROWS = 100'000;
constexpr int SIGNALS = 10;

struct Table {
  std::vector<int64_t> times;  // microseconds
  std::vector<double> values;  // ROWS x SIGNALS
};

Table make_table(uint32_t step_percent) {
  static constexpr double SCALES[SIGNALS] = {0.1, 0.01, 0.25, 1, 0.05, 0.5, 0.125, 2, 0.001, 1};
  static constexpr double OFFSETS[SIGNALS] = {0, -40, 0, 0, -100, 0, 0, 0, 0, -1};
  Table table;
  int64_t raw[SIGNALS] = {500, 2000, 40, 3, 3000, 100, 800, 10, 12000, 1};
  uint64_t random = 42;
  for (int r = 0; r < ROWS; ++r) {
    table.times.push_back(1699437600000000 + int64_t{r} * 10000 + (r * 37) % 1000);
    for (int s = 0; s < SIGNALS; ++s) {
      random = random * 6364136223846793005u + 1442695040888963407u;
      uint32_t draw = static_cast<uint32_t>(random >> 40) % 100;
      if (draw < step_percent / 2) raw[s] += 1;
      if (draw >= 100 - step_percent / 2) raw[s] -= 1;
      table.values.push_back(static_cast<double>(raw[s]) * SCALES[s] + OFFSETS[s]);
    }
  }
  return table;
}

// Argument: 0 for slow signals, 1 for busy ones.
const Table& table(int64_t busy) {
  static const Table tables[2] = {make_table(30), make_table(90)};
  return tables[busy != 0];
}

// A sink that counts the bytes written to it and keeps none.
struct CountingSink {
  Stream base;
  uint64_t bytes;
};

int64_t count_write(Stream* s, const void*, uint64_t n) {
  reinterpret_cast<CountingSink*>(s)->bytes += n;
  return static_cast<int64_t>(n);
}

constexpr StreamOps COUNTING_OPS{nullptr, count_write, nullptr, nullptr, nullptr};

// Arguments: busy signals, the zstd level, rows per page.
void BM_ParquetEncode(benchmark::State& state) {
  const Table& t = table(state.range(0));
  static const char* NAMES[SIGNALS] = {"s0", "s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8", "s9"};
  ParquetColumn columns[SIGNALS];
  for (int s = 0; s < SIGNALS; ++s) columns[s] = {StringView(NAMES[s], 2), PARQUET_DOUBLE};
  ParquetSetup setup{columns,
                     SIGNALS,
                     nullptr,
                     0,
                     static_cast<uint32_t>(state.range(2)),
                     static_cast<int32_t>(state.range(1))};
  uint64_t bytes = 0;
  for (auto _ : state) {
    CountingSink sink{{&COUNTING_OPS}, 0};
    ParquetWriter* w = parquet_writer_open(&setup, &sink.base, nullptr);
    ParquetCell cells[SIGNALS];
    for (int r = 0; r < ROWS; ++r) {
      for (int s = 0; s < SIGNALS; ++s) cells[s] = parquet_number(t.values[r * SIGNALS + s]);
      if (!parquet_writer_append(w, t.times[r], cells, SIGNALS)) state.SkipWithError("append");
    }
    if (!parquet_writer_finish(w)) state.SkipWithError("finish");
    parquet_writer_free(w);
    bytes = sink.bytes;
  }
  state.counters["bytes_per_row"] = static_cast<double>(bytes) / ROWS;
  state.SetItemsProcessed(state.iterations() * ROWS);
}
BENCHMARK(BM_ParquetEncode)
    ->Args({0, 1, 16384})
    ->Args({0, 3, 16384})
    ->Args({0, -1, 16384})
    ->Args({0, 1, 4096})
    ->Args({0, 1, 65536})
    ->Args({1, 1, 16384})
    ->Args({1, -1, 16384})
    ->Unit(benchmark::kMillisecond);

// The same rows as the CSV writer's text (time in seconds, six decimals everywhere). Argument:
// busy signals.
void BM_CsvFormat(benchmark::State& state) {
  const Table& t = table(state.range(0));
  std::vector<char> line(csv_row_room(SIGNALS));
  uint64_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (int r = 0; r < ROWS; ++r) {
      char* end = csv_format_row(line.data(), static_cast<double>(t.times[r]) / 1e6,
                                 &t.values[static_cast<size_t>(r) * SIGNALS], SIGNALS);
      bytes += static_cast<uint64_t>(end - line.data());
    }
    benchmark::DoNotOptimize(line.data());
  }
  state.counters["bytes_per_row"] = static_cast<double>(bytes) / ROWS;
  state.SetItemsProcessed(state.iterations() * ROWS);
}
BENCHMARK(BM_CsvFormat)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
