// Writes a small fleet of logs for the batch tests: <dir>/fleet/<serial>/<session>/<split>.MF4
// as loggers leave them (one folder per device and session), the DBC file that decodes them,
// and one damaged compressed split so that exactly one folder's part fails.
// Usage: make_fleet <dir>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "support/container_writer.h"
#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

constexpr uint32_t FIRST_SERIAL = 0x5E7A0001;
constexpr uint32_t DEVICES = 4;
constexpr uint32_t SESSIONS = 3;
constexpr uint32_t SPLITS = 3;
constexpr uint64_t START_NS = 1700006340ULL * 1000000000ULL;  // 2023-11-14 23:59:00 UTC
constexpr double SPLIT_SECONDS = 30.0;

// Two messages on CAN 1, the second in Motorola byte order; a third id that no DBC knows.
const char DBC[] =
    "VERSION \"\"\n\nBS_:\n\nBU_: ECU\n\n"
    "BO_ 256 EngineData: 8 ECU\n"
    " SG_ EngineSpeed : 0|16@1+ (0.25,0) [0|8000] \"rpm\" ECU\n"
    " SG_ CoolantTemp : 16|8@1+ (1,-40) [-40|150] \"degC\" ECU\n"
    " SG_ EngineTorque : 32|16@1- (0.5,0) [-1000|1000] \"Nm\" ECU\n\n"
    "BO_ 416 VehicleSpeed: 8 ECU\n"
    " SG_ WheelSpeed : 7|16@0+ (0.01,0) [0|300] \"km/h\" ECU\n"
    " SG_ Odometer : 23|24@0+ (0.1,0) [0|100000] \"km\" ECU\n";

// One split of one session: 10 Hz engine data, 5 Hz speed, 1 Hz unknown frames. Devices start
// ten minutes apart and sessions six hours apart; the first device's first session runs past
// midnight UTC, so its output sets span two days.
std::vector<uint8_t> split_log(uint32_t serial, uint32_t session, uint32_t split) {
  test::BusLogBuilder log;
  uint64_t session_start = START_NS + (serial - FIRST_SERIAL) * 600ULL * 1000000000ULL +
                           (session - 1) * 6ULL * 3600ULL * 1000000000ULL;
  log.start_time_ns(session_start + static_cast<uint64_t>((split - 1) * SPLIT_SECONDS * 1e9))
      .metadata(serial, session, split);
  for (int i = 0; i < static_cast<int>(SPLIT_SECONDS * 10); ++i) {
    double t = i * 0.1;
    double phase = (split - 1) * SPLIT_SECONDS + t + serial % 97;
    uint16_t rpm = static_cast<uint16_t>((1500 + 900 * std::sin(phase / 7)) * 4);
    uint8_t coolant = static_cast<uint8_t>(40 + 85 + 5 * std::sin(phase / 50));
    uint16_t torque =
        static_cast<uint16_t>(static_cast<int16_t>(std::lround(240 * std::sin(phase / 3) / 0.5)));
    log.add_can_frame(1, 0x100, false,
                      {static_cast<uint8_t>(rpm), static_cast<uint8_t>(rpm >> 8), coolant, 0,
                       static_cast<uint8_t>(torque), static_cast<uint8_t>(torque >> 8), 0, 0},
                      t);
    if (i % 2 == 0) {
      uint16_t speed = static_cast<uint16_t>((60 + 40 * std::sin(phase / 11)) * 100);
      uint32_t odometer = 123456 + static_cast<uint32_t>(phase);
      log.add_can_frame(1, 0x1A0, false,
                        {static_cast<uint8_t>(speed >> 8), static_cast<uint8_t>(speed),
                         static_cast<uint8_t>(odometer >> 16), static_cast<uint8_t>(odometer >> 8),
                         static_cast<uint8_t>(odometer), 0, 0, 0},
                        t + 0.01);
    }
    if (i % 10 == 0)
      log.add_can_frame(1, 0x7E8, false, {3, 0x41, 0x0D, 0x40, 0, 0, 0, 0}, t + 0.02);
  }
  return log.build();
}

// Every split is a plain MF4 file, but the second split of each device's second session is
// a compressed container, and in the last device's last session that container is damaged
// (one byte of its compressed stream flipped, so its checksum fails).
bool write_session(const std::string& folder, uint32_t serial, uint32_t session) {
  for (uint32_t split = 1; split <= SPLITS; ++split) {
    char name[32];
    std::vector<uint8_t> mf4 = split_log(serial, session, split);
    bool compressed = (session == 2 && split == 2) ||
                      (serial == FIRST_SERIAL + DEVICES - 1 && session == SESSIONS && split == 2);
    if (!compressed) {
      snprintf(name, sizeof name, "/%08u.MF4", split);
      if (!test::write_file(folder + name, mf4)) return false;
      continue;
    }
    std::vector<uint8_t> mfc = test::make_compressed_container(mf4, serial, 11, 4, true);
    if (session == SESSIONS) mfc[mfc.size() / 2] ^= 0x5A;
    snprintf(name, sizeof name, "/%08u.MFC", split);
    if (!test::write_file(folder + name, mfc)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <dir>\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  if (!test::make_dirs(dir) || !test::write_file(dir + "/can1.dbc", std::string(DBC))) return 1;
  for (uint32_t device = 0; device < DEVICES; ++device) {
    for (uint32_t session = 1; session <= SESSIONS; ++session) {
      char folder[64];
      snprintf(folder, sizeof folder, "/fleet/%08X/%08u", FIRST_SERIAL + device, session);
      if (!test::make_dirs(dir + folder) ||
          !write_session(dir + folder, FIRST_SERIAL + device, session))
        return 1;
    }
  }
  return 0;
}
