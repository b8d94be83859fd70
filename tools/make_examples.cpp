// Writes the example logs of examples/logs with our own MF4 and container writers: one plain,
// one compressed and one encrypted file of one logging session (splits 1 to 3).
// Usage: make_examples <examples folder>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "support/container_writer.h"
#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

constexpr uint32_t SERIAL = 0x0A1B2C3D;
constexpr uint64_t START_NS = 1699354800ULL * 1000000000ULL;  // 2023-11-07 11:00:00 UTC
constexpr double SPLIT_SECONDS = 20.0;

std::vector<uint8_t> split_log(uint32_t split) {
  test::BusLogBuilder log;
  uint64_t start = START_NS + static_cast<uint64_t>((split - 1) * SPLIT_SECONDS * 1e9);
  log.start_time_ns(start).metadata(SERIAL, 1, split);
  for (int i = 0; i < static_cast<int>(SPLIT_SECONDS * 10); ++i) {
    double t = i * 0.1;
    double phase = (split - 1) * SPLIT_SECONDS + t;
    // EngineData: speed in 0.25 rpm, coolant +40, throttle in 0.4 %, signed torque in 0.5 Nm.
    uint16_t rpm = static_cast<uint16_t>((1500 + 900 * std::sin(phase / 7)) * 4);
    uint8_t coolant = static_cast<uint8_t>(40 + 85 + 5 * std::sin(phase / 50));
    uint8_t throttle = static_cast<uint8_t>((30 + 25 * std::sin(phase / 5)) / 0.4);
    int16_t torque = static_cast<int16_t>(std::lround(240 * std::sin(phase / 3) / 0.5));
    uint16_t raw_torque = static_cast<uint16_t>(torque);
    log.add_can_frame(
        1, 0x100, false,
        {static_cast<uint8_t>(rpm), static_cast<uint8_t>(rpm >> 8), coolant, throttle,
         static_cast<uint8_t>(raw_torque), static_cast<uint8_t>(raw_torque >> 8), 0, 0},
        t);
    if (i % 2 == 0) {
      // VehicleSpeed, Motorola: WheelSpeed in 0.01 km/h, Odometer in 0.1 km.
      uint16_t speed = static_cast<uint16_t>((60 + 40 * std::sin(phase / 11)) * 100);
      uint32_t odometer = 123456 + static_cast<uint32_t>(phase);
      log.add_can_frame(1, 0x1A0, false,
                        {static_cast<uint8_t>(speed >> 8), static_cast<uint8_t>(speed),
                         static_cast<uint8_t>(odometer >> 16), static_cast<uint8_t>(odometer >> 8),
                         static_cast<uint8_t>(odometer), 0, 0, 0},
                        t + 0.01);
    }
    if (i % 5 == 0) {
      // BatteryMux: page 0 cell voltages, page 1 signed pack current.
      uint8_t page = (i / 5) % 2;
      if (page == 0) {
        uint16_t cell1 = static_cast<uint16_t>(3700 + 50 * std::sin(phase / 13));
        uint16_t cell2 = static_cast<uint16_t>(3690 + 50 * std::cos(phase / 13));
        log.add_can_frame(1, 0x300, false,
                          {0, static_cast<uint8_t>(cell1), static_cast<uint8_t>(cell1 >> 8),
                           static_cast<uint8_t>(cell2), static_cast<uint8_t>(cell2 >> 8), 0, 0, 0},
                          t + 0.02);
      } else {
        uint16_t current =
            static_cast<uint16_t>(static_cast<int16_t>(-1200 + 300 * std::sin(phase)));
        log.add_can_frame(
            1, 0x300, false,
            {1, static_cast<uint8_t>(current), static_cast<uint8_t>(current >> 8), 0, 0, 0, 0, 0},
            t + 0.02);
      }
    }
    if (i % 10 == 0) {
      uint8_t position = static_cast<uint8_t>(50 + 30 * std::sin(phase / 17));
      log.add_lin_frame(1, 0x10, {position, static_cast<uint8_t>(0x10 | 2), 0, 0}, t + 0.03);
    }
    if (i % 25 == 0) log.add_can_frame(1, 0x7DF, false, {2, 1, 0x0D, 0, 0, 0, 0, 0}, t + 0.04);
  }
  return log.build();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <examples folder>\n", argv[0]);
    return 2;
  }
  std::string folder = std::string(argv[1]) + "/logs/0A1B2C3D";
  bool ok = test::write_file(folder + "/00000001.MF4", split_log(1)) &&
            test::write_file(folder + "/00000002.MFC",
                             test::make_compressed_container(split_log(2), SERIAL, 11, 4, true)) &&
            test::write_file(
                folder + "/00000003.MFE",
                test::make_encrypted_container(split_log(3), SERIAL, "example-password", 10000, 7));
  return ok ? 0 : 1;
}
