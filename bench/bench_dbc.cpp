// DBC benchmarks: decoding a typical 8-byte frame of 8 signals, and loading a generated DBC
// file of 1,000 messages.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "dbc/dbc_parser.h"
#include "dbc/message_db.h"
#include "io/stream.h"

namespace {

// Eight signals of mixed width, byte order and sign, as a powertrain message has them.
const char* const FRAME_SIGNALS =
    " SG_ EngineSpeed : 0|16@1+ (0.25,0) [0|8000] \"rpm\"  VCU\n"
    " SG_ EngineTemp : 16|8@1- (1,0) [-40|150] \"degC\"  VCU\n"
    " SG_ ThrottlePos : 24|10@1+ (0.1,0) [0|100] \"%\"  VCU\n"
    " SG_ IdleActive : 34|1@1+ (1,0) [0|1] \"\"  VCU\n"
    " SG_ EngineTorque : 36|12@1- (0.5,0) [-1000|1000] \"Nm\"  VCU\n"
    " SG_ FuelRate : 48|8@1+ (0.05,0) [0|3000] \"L/h\"  VCU\n"
    " SG_ Counter : 59|4@0+ (1,0) [0|15] \"\"  VCU\n"
    " SG_ Checksum : 63|4@0+ (1,0) [0|15] \"\"  VCU\n";

std::string generated_dbc(int messages) {
  std::string text =
      "VERSION \"\"\n\nBU_: ECM VCU\n\n"
      "BA_DEF_  \"BusType\" STRING ;\nBA_DEF_DEF_  \"BusType\" \"CAN\";\n"
      "BA_ \"BusType\" \"CAN FD\";\n";
  for (int i = 0; i < messages; ++i) {
    std::string id = std::to_string(0x80000000u + 0x100u + static_cast<uint32_t>(i));
    text += "\nBO_ " + id + " Message" + std::to_string(i) + ": 8 ECM\n";
    text += FRAME_SIGNALS;
    text += "BA_ \"GenMsgCycleTime\" BO_ " + id + " 100;\n";
  }
  return text;
}

struct DbDeleter {
  void operator()(MessageDatabase* db) const { message_db_free(db); }
};

MessageDatabase* load(const std::string& text) {
  std::unique_ptr<Stream, StreamCloser> s(memory_stream_new());
  stream_write(s.get(), text.data(), text.size());
  stream_seek(s.get(), 0, SEEK_FROM_START);
  return dbc_load(s.get());
}

void BM_DecodeFrame(benchmark::State& state) {
  std::unique_ptr<MessageDatabase, DbDeleter> db(load(generated_dbc(1)));
  if (!db) {
    state.SkipWithError("the DBC did not load");
    return;
  }
  const uint32_t key = can_message_key(0x100, true);
  const uint8_t frame[8] = {0x40, 0x1F, 0xF6, 0xE8, 0xF3, 0xFF, 0x64, 0xA5};
  int64_t values = 0;
  for (auto _ : state) {
    DecodedMessage* m = message_db_decode(db.get(), key, frame, sizeof frame);
    for (const DecodedValue* v = decoded_values_first(m); v; v = decoded_values_next(v)) ++values;
    benchmark::DoNotOptimize(m);
    decoded_message_free(m);
  }
  if (values != 8 * static_cast<int64_t>(state.iterations())) state.SkipWithError("wrong values");
  state.counters["frames"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeFrame);

void BM_LoadDbc(benchmark::State& state) {
  const int messages = static_cast<int>(state.range(0));
  std::string text = generated_dbc(messages);
  for (auto _ : state) {
    std::unique_ptr<MessageDatabase, DbDeleter> db(load(text));
    if (!db || db->messages.used != messages) {
      state.SkipWithError("the DBC did not load");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
  state.counters["messages"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * messages, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LoadDbc)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
