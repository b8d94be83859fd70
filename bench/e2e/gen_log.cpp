// Generates the end-to-end benchmark inputs: a realistic two-channel CAN log (plain, compressed
// and encrypted, and with its data in DZ blocks as other MDF writers compress it) with the DBC
// files that decode it and a password file.
//
//   bench_e2e_gen <dir> <frames>            the mixed log of about 1700 frames per second
//   bench_e2e_gen <dir> <frames> --files N  N distinct messages on channel 1, one file each
//   bench_e2e_gen <dir> <frames> --tree     a tree of 48 logs of that many frames each:
//                                           tree/<device>/<session>/<split>.MF4, 3 devices x
//                                           4 sessions x 4 splits
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/container_writer.h"
#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

constexpr uint64_t START_NS = 1699351200ULL * 1000000000ULL;  // 2023-11-07 10:00:00 UTC
constexpr uint32_t SERIAL = 0x1A2B3C4D;

struct Msg {
  uint8_t channel;
  uint32_t id;  // as on the bus
  bool extended;
  const char* name;  // null: no DBC knows it
  int period_ms;
  int size;     // payload bytes
  int signals;  // plain signals (the multiplexed message adds its own layout)
  bool motorola;
  bool mux;
};

// Ten classic messages, two J1939 parameter groups from three source addresses each, one CAN FD
// message and unknown ids on both channels: about 1620 frames per second.
const Msg MIXED[] = {
    {1, 0x100, false, "EngineData", 10, 8, 8, false, false},
    {1, 0x101, false, "ChassisMotorola", 10, 8, 6, true, false},
    {1, 0x18FF1001, true, "BodyExtended", 10, 8, 12, false, false},
    {1, 0x200, false, "ModeMux", 10, 8, 0, false, true},
    {1, 0x300, false, "BatteryCells", 100, 8, 16, false, false},
    {1, 0x1ABCDE00, true, "SlowExtended", 1000, 8, 4, true, false},
    {1, 0x120, false, "FdPayload", 10, 64, 16, false, false},
    {1, 0x400, false, "SteeringMotorola", 10, 8, 10, true, false},
    {1, 0x7F0, false, nullptr, 10, 8, 0, false, false},
    {1, 0x1FFFFF00, true, nullptr, 20, 8, 0, false, false},
    {2, 0x150, false, "Gear", 10, 8, 5, false, false},
    {2, 0x250, false, "ClimateMotorola", 20, 8, 7, true, false},
    {2, 0x350, false, "Info", 1000, 8, 4, false, false},
    {2, 0x0CF00400, true, "EEC1", 10, 8, 8, false, false},
    {2, 0x18FEF100, true, "CCVS", 10, 8, 6, true, false},
    {2, 0x18FECA00, true, nullptr, 100, 8, 0, false, false},
    {2, 0x6F0, false, nullptr, 10, 8, 0, false, false},
};
const uint8_t SOURCE_ADDRESSES[] = {0x00, 0x03, 0x21};

bool is_j1939(const Msg& m) { return m.channel == 2 && m.extended; }

uint64_t rng_state = 0x9E3779B97F4A7C15ULL;
uint64_t next_random() {
  rng_state ^= rng_state << 13;
  rng_state ^= rng_state >> 7;
  rng_state ^= rng_state << 17;
  return rng_state;
}

// One signal line: bit position given as a little-endian bit offset (Intel) or a big-endian
// position counted from the most significant bit of byte 0 (Motorola). Every fourth signal is
// signed, factors and offsets vary, and the ranges of some signals are narrower than the raw
// values reach, so that a share of the cells are out of range.
std::string signal_line(const std::string& name, const char* mux, int position, int bits,
                        bool motorola, int index) {
  static const double FACTORS[] = {0.25, 0.1, 1, 0.01, 0.5, 0.001, 2, 0.125};
  static const double OFFSETS[] = {0, -40, 0, -1000, 0, 0, 10, -0.5};
  double factor = FACTORS[index % 8], offset = OFFSETS[index % 8];
  bool is_signed = index % 4 == 3;
  int start = position;
  if (motorola) start = (position / 8) * 8 + (7 - position % 8);
  double raw_max = is_signed ? std::ldexp(1.0, bits - 1) - 1 : std::ldexp(1.0, bits) - 1;
  double raw_min = is_signed ? -std::ldexp(1.0, bits - 1) : 0;
  double lo = raw_min * factor + offset, hi = raw_max * factor + offset;
  if (factor < 0) std::swap(lo, hi);
  if (index % 5 == 2) hi = lo + (hi - lo) * 0.9;  // about a tenth of the values out of range
  if (index % 7 == 6) lo = hi = 0;                // no range
  char line[256];
  snprintf(line, sizeof line, " SG_ %s%s : %d|%d@%c%c (%g,%g) [%.9g|%.9g] \"\" ECU\n", name.c_str(),
           mux, start, bits, motorola ? '0' : '1', is_signed ? '-' : '+', factor, offset, lo, hi);
  return line;
}

std::string message_block(uint32_t dbc_id, const std::string& name, int size, int signals,
                          bool motorola, bool mux) {
  std::string out =
      "BO_ " + std::to_string(dbc_id) + " " + name + ": " + std::to_string(size) + " ECU\n";
  if (mux) {
    // Mode (byte 0) selects one of three branches of 4, 5 and 4 signals in bytes 1 to 7.
    out += " SG_ Mode M : 0|8@1+ (1,0) [0|255] \"\" ECU\n";
    const int counts[3] = {4, 5, 4};
    for (int b = 0; b < 3; ++b) {
      int bits = 56 / counts[b];
      for (int s = 0; s < counts[b]; ++s) {
        char name[32], mux_text[8];
        static const char* const BRANCH_NAMES[3] = {"Pump", "Valve", "Heater"};
        snprintf(name, sizeof name, "%s%d", BRANCH_NAMES[b], s);
        snprintf(mux_text, sizeof mux_text, " m%d", b);
        out += signal_line(name, mux_text, 8 + s * bits, bits, false, b * 5 + s);
      }
    }
    return out + "\n";
  }
  int bits = size * 8 / signals;
  if (bits > 32) bits = 32;
  for (int s = 0; s < signals; ++s)
    out += signal_line(name + "Sig" + std::to_string(s), "", s * bits, bits, motorola, s);
  return out + "\n";
}

std::string dbc_header() { return "VERSION \"\"\n\nBS_:\n\nBU_: ECU\n\n"; }

void fill_payload(std::vector<uint8_t>& data, const Msg& m, uint64_t frame_index) {
  for (size_t i = 0; i < data.size(); i += 8) {
    uint64_t r = next_random();
    for (size_t b = 0; b < 8 && i + b < data.size(); ++b)
      data[i + b] = static_cast<uint8_t>(r >> (8 * b));
  }
  if (m.mux) data[0] = static_cast<uint8_t>(frame_index % 3);
}

bool write_outputs(const std::string& dir, const test::BusLogBuilder& log) {
  std::vector<uint8_t> mf4 = log.build();
  bool ok = test::make_dirs(dir + "/plain") && test::make_dirs(dir + "/compressed") &&
            test::make_dirs(dir + "/encrypted") && test::make_dirs(dir + "/dz");
  ok = ok && test::write_file(dir + "/plain/log.MF4", mf4);
  // Records and signal data in DZ blocks of 4 MiB (records transposed) under header lists.
  test::BusLogBuilder dz = log;
  dz.data_blocks(test::DataBlocks::HeaderList, 4 << 20);
  ok = ok && test::write_file(dir + "/dz/log.MF4", dz.build());
  ok = ok && test::write_file(dir + "/compressed/log.MFC",
                              test::make_compressed_container(mf4, SERIAL, 11, 4, true));
  ok = ok && test::write_file(dir + "/encrypted/log.MFE",
                              test::make_encrypted_container(mf4, SERIAL, "bench-secret", 1000));
  ok = ok && test::write_file(dir + "/passwords.json",
                              std::string("{\n\"default\": \"bench-secret\"\n}\n"));
  printf("%zu frames, %zu bytes of MF4\n", log.frame_count(), mf4.size());
  return ok;
}

// The DBC files of the mixed traffic.
bool write_mixed_dbc(const std::string& dir) {
  std::string can1 = dbc_header(), can2 = dbc_header();
  for (const Msg& m : MIXED) {
    if (!m.name) continue;
    uint32_t dbc_id = m.extended ? (m.id | 0x80000000u) : m.id;
    (m.channel == 1 ? can1 : can2) +=
        message_block(dbc_id, m.name, m.size, m.signals, m.motorola, m.mux);
  }
  can1 += "BA_DEF_  \"BusType\" STRING ;\nBA_DEF_DEF_  \"BusType\" \"CAN\";\n";
  can2 += "BA_DEF_  \"ProtocolType\" STRING ;\nBA_ \"ProtocolType\" \"J1939\";\n";
  return test::write_file(dir + "/can1.dbc", can1) && test::write_file(dir + "/can2.dbc", can2);
}

// A log of `frames` frames of the mixed traffic from `start_ns`.
test::BusLogBuilder mixed_log(uint64_t frames, uint32_t serial, uint32_t session, uint32_t split,
                              uint64_t start_ns) {
  test::BusLogBuilder log;
  log.start_time_ns(start_ns)
      .metadata(serial, session, split)
      .can_data_storage(test::DataStorage::SignalData);
  std::vector<uint8_t> data;
  uint64_t count = 0;
  for (uint64_t ms = 0; count < frames; ++ms) {
    for (const Msg& m : MIXED) {
      if (ms % static_cast<uint64_t>(m.period_ms) != 0) continue;
      int senders = is_j1939(m) && m.name ? 3 : 1;
      for (int s = 0; s < senders && count < frames; ++s, ++count) {
        uint32_t id = m.id | (is_j1939(m) ? SOURCE_ADDRESSES[s] : 0);
        // Frames of one millisecond are spread over it so that no two share a timestamp.
        double t = static_cast<double>(ms) * 1e-3 + static_cast<double>(count % 37) * 1e-5;
        data.resize(static_cast<size_t>(m.size));
        fill_payload(data, m, ms / static_cast<uint64_t>(m.period_ms));
        if (m.size > 8)
          log.add_canfd_frame(m.channel, id, m.extended, data, t);
        else
          log.add_can_frame(m.channel, id, m.extended, data, t);
      }
    }
  }
  return log;
}

int generate_mixed(const std::string& dir, uint64_t frames) {
  if (!write_mixed_dbc(dir)) return 1;
  return write_outputs(dir, mixed_log(frames, SERIAL, 7, 1, START_NS)) ? 0 : 1;
}

// 3 devices x 4 sessions x 4 splits of the mixed traffic, each split `frames` frames that
// follow the split before it in time, as a fleet's logger writes them.
int generate_tree(const std::string& dir, uint64_t frames) {
  if (!write_mixed_dbc(dir)) return 1;
  uint64_t total = 0;
  for (uint32_t device = 0; device < 3; ++device) {
    uint32_t serial = SERIAL + device;
    for (uint32_t session = 1; session <= 4; ++session) {
      // Sessions an hour apart, splits of about 12 seconds at 1,620 frames per second.
      uint64_t start = START_NS + session * 3600ULL * 1000000000ULL;
      for (uint32_t split = 1; split <= 4; ++split) {
        char folder[64];
        snprintf(folder, sizeof folder, "/tree/%08X/%08u", serial, session);
        uint64_t offset = (split - 1) * (frames * 1000000000ULL / 1620);
        std::vector<uint8_t> mf4 =
            mixed_log(frames, serial, session, split, start + offset).build();
        char name[32];
        snprintf(name, sizeof name, "/%08u.MF4", split);
        if (!test::make_dirs(dir + folder) || !test::write_file(dir + folder + name, mf4)) return 1;
        total += mf4.size();
      }
    }
  }
  printf("48 logs of %llu frames, %llu bytes of MF4\n", static_cast<unsigned long long>(frames),
         static_cast<unsigned long long>(total));
  return 0;
}

// `files` messages of 8 one-byte signals on channel 1, sent round robin: one output file each.
int generate_many_files(const std::string& dir, uint64_t frames, uint32_t files) {
  std::string can1 = dbc_header();
  for (uint32_t k = 0; k < files; ++k)
    can1 +=
        message_block(0x80000000u | (0x10000u + k), "Many" + std::to_string(k), 8, 8, false, false);
  if (!test::write_file(dir + "/can1.dbc", can1) ||
      !test::write_file(dir + "/can2.dbc", dbc_header()))
    return 1;
  test::BusLogBuilder log;
  log.start_time_ns(START_NS)
      .metadata(SERIAL, 7, 1)
      .can_data_storage(test::DataStorage::SignalData);
  std::vector<uint8_t> data(8);
  Msg m{1, 0, true, "", 10, 8, 8, false, false};
  for (uint64_t i = 0; i < frames; ++i) {
    fill_payload(data, m, i);
    log.add_can_frame(1, 0x10000u + static_cast<uint32_t>(i % files), true, data,
                      static_cast<double>(i) * 6e-4);
  }
  return write_outputs(dir, log) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool tree = argc == 4 && strcmp(argv[3], "--tree") == 0;
  if (argc != 3 && !tree && !(argc == 5 && strcmp(argv[3], "--files") == 0)) {
    fprintf(stderr, "usage: %s <dir> <frames> [--files N | --tree]\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  uint64_t frames = strtoull(argv[2], nullptr, 10);
  if (!test::make_dirs(dir)) return 1;
  if (argc == 5) return generate_many_files(dir, frames, static_cast<uint32_t>(atoi(argv[4])));
  if (tree) return generate_tree(dir, frames);
  return generate_mixed(dir, frames);
}
