// Container throughput: a 50 MB log-like payload decoded from memory into memory, compressed
// (with the CRC-32 footer check) and encrypted (AES-256-GCM with the tag check, 1,000 key
// derivation rounds); bytes processed are decoded bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <vector>

#include "io/stream.h"
#include "mdf/compressed_file.h"
#include "mdf/container.h"
#include "mdf/encrypted_file.h"
#include "support/container_writer.h"

namespace {

constexpr size_t PAYLOAD_SIZE = 50u << 20;

// Bus-log-like records: an 8-byte timestamp that grows slowly, an identifier from a small set,
// a length byte and 8 data bytes of which some change per record.
const std::vector<uint8_t>& payload() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b;
    b.reserve(PAYLOAD_SIZE);
    std::mt19937 rng(1);
    uint64_t time = 0;
    uint8_t data[16][8] = {};
    while (b.size() < PAYLOAD_SIZE) {
      time += 200 + rng() % 800;
      for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(time >> (8 * i)));
      uint32_t id = rng() % 16;
      uint32_t can_id = 0x100 + id * 0x10;
      for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(can_id >> (8 * i)));
      b.push_back(8);
      data[id][rng() % 8] = static_cast<uint8_t>(rng());
      b.insert(b.end(), data[id], data[id] + 8);
    }
    b.resize(PAYLOAD_SIZE);
    return b;
  }();
  return bytes;
}

const std::vector<uint8_t>& container(uint32_t w, uint32_t l) {
  static std::map<std::pair<uint32_t, uint32_t>, std::vector<uint8_t>> cache;
  auto& c = cache[{w, l}];
  if (c.empty()) c = test::make_compressed_container(payload(), 0x1234, w, l, true);
  return c;
}

// Opens the container `file` from memory once per iteration with `open`, which must give
// back the whole payload.
template <typename Open>
void open_container_each_iteration(benchmark::State& state, const std::vector<uint8_t>& file,
                                   Open open) {
  Stream* input = memory_stream_new();
  stream_write(input, file.data(), file.size());
  for (auto _ : state) {
    ContainerHeader header;
    if (!container_read_header(input, &header)) {
      state.SkipWithError("not a container");
      break;
    }
    Stream* decoded = open(input, &header);
    if (!decoded || stream_size(decoded) != static_cast<int64_t>(PAYLOAD_SIZE)) {
      state.SkipWithError("decoding failed");
      stream_close(decoded);
      break;
    }
    stream_close(decoded);
  }
  stream_close(input);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(PAYLOAD_SIZE));
}

void BM_DecompressContainer(benchmark::State& state) {
  const uint32_t w = static_cast<uint32_t>(state.range(0));
  const uint32_t l = static_cast<uint32_t>(state.range(1));
  const std::vector<uint8_t>& file = container(w, l);
  open_container_each_iteration(state, file, compressed_file_open);
  state.counters["ratio"] = static_cast<double>(PAYLOAD_SIZE) / static_cast<double>(file.size());
}

void BM_DecryptContainer(benchmark::State& state) {
  static const std::vector<uint8_t> file =
      test::make_encrypted_container(payload(), 0x1234, "bench-secret", 1000);
  open_container_each_iteration(state, file, [](Stream* input, const ContainerHeader* header) {
    return encrypted_file_open(input, header, StringView{"bench-secret", 12});
  });
}

BENCHMARK(BM_DecryptContainer)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_DecompressContainer)
    ->Args({8, 4})
    ->Args({11, 4})
    ->Args({13, 6})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
