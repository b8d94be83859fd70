// The interoperability fixtures (bus logs written by another MDF library, with their DBC files)
// convert into the tree of files and the row counts their description implies: every known id
// of every channel, J1939 source addresses, multiplexor branches, the midnight roll-over of
// can_classic.MF4 and the concatenation of splits 3 to 5 of the sequence files.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "support/test_util.h"

namespace {

const std::string BINARY = TABULON_BINARY;
const std::string FIXTURES = std::string(TABULON_TEST_DATA) + "/fixtures/";

std::map<std::string, size_t> rows_per_file(const std::string& root) {
  std::map<std::string, size_t> rows;
  for (const std::string& file : test::list_files(root)) {
    std::string text = test::read_text(root + "/" + file);
    rows[file] = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) - 1;
  }
  return rows;
}

void copy_fixture(const std::string& name, const std::string& folder) {
  ASSERT_TRUE(test::write_file(folder + "/" + name, test::read_file(FIXTURES + name)));
}

TEST(Fixtures, CanFdAndLinLogs) {
  test::TempDir dir;
  for (const char* name : {"can_classic.MF4", "can_fd.MF4", "lin.MF4"})
    copy_fixture(name, dir.file("in"));
  test::make_dirs(dir.file("out"));
  std::string dbc = FIXTURES + "can.dbc";
  auto r = test::run(BINARY,
                     {"--dbc-can1=" + dbc, "--dbc-can2=" + dbc,
                      "--dbc-lin1=" + FIXTURES + "lin.dbc", "-O", "out", "in"},
                     dir.path);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string d = "1A2B3C4D_out/";
  const std::string s12_7 = "/2023/11/07/00000012_00000003.csv",
                    s12_8 = "/2023/11/08/00000012_00000003.csv";
  const std::string s13 = "/2023/11/08/00000013_00000001.csv",
                    s14 = "/2023/11/08/00000014_00000001.csv";
  std::map<std::string, size_t> expected = {
      {d + "CAN1_DoorStatus" + s12_7, 120},
      {d + "CAN1_DoorStatus" + s12_8, 80},
      {d + "CAN1_EngineData" + s12_7, 3000},
      {d + "CAN1_EngineData" + s12_8, 2000},
      {d + "CAN1_EngineData" + s13, 3000},
      {d + "CAN1_FdMotorola" + s13, 3000},
      {d + "CAN1_FdSensorArray" + s13, 6000},
      {d + "CAN1_SensorMux" + s12_7, 39},
      {d + "CAN1_SensorMux" + s12_8, 20},
      {d + "CAN1_SensorMux_MuxSelector_M00" + s12_7, 578},
      {d + "CAN1_SensorMux_MuxSelector_M00" + s12_8, 388},
      {d + "CAN1_SensorMux_MuxSelector_M01" + s12_7, 583},
      {d + "CAN1_SensorMux_MuxSelector_M01" + s12_8, 392},
      {d + "CAN1_VehicleDynamics" + s12_7, 3000},
      {d + "CAN1_VehicleDynamics" + s12_8, 2000},
      {d + "CAN1_VehicleDynamics" + s13, 1200},
      {d + "CAN2_BatteryStatus" + s12_7, 600},
      {d + "CAN2_BatteryStatus" + s12_8, 400},
      {d + "CAN2_DoorStatus" + s12_7, 120},
      {d + "CAN2_DoorStatus" + s12_8, 80},
      {d + "CAN2_TransmissionStatus" + s12_7, 1200},
      {d + "CAN2_TransmissionStatus" + s12_8, 800},
      {d + "CAN2_VehicleDynamics" + s12_7, 1200},
      {d + "CAN2_VehicleDynamics" + s12_8, 800},
      {d + "LIN1_LinLightSensor" + s14, 600},
      {d + "LIN1_LinMotorStatus" + s14, 3000},
      {d + "LIN1_LinSwitches" + s14, 1200},
  };
  EXPECT_EQ(rows_per_file(dir.file("out")), expected);
  // The first EngineData row: the time is the file's start plus the first timestamp.
  std::string engine = test::read_text(dir.file("out/" + d + "CAN1_EngineData" + s12_7));
  EXPECT_EQ(engine.substr(0, engine.find('\n')),
            "t,EngineSpeed,EngineTemp,ThrottlePos,IdleActive,EngineTorque,FuelRate");
  EXPECT_EQ(engine.substr(engine.find('\n') + 1, 11), "1699401540.");
}

TEST(Fixtures, J1939SourceAddressesAndSplitSequence) {
  test::TempDir dir;
  copy_fixture("j1939.MF4", dir.file("j"));
  for (const char* name :
       {"sequence_split3.MF4", "sequence_split4.MF4", "sequence_split5.MF4", "sequence_split7.MF4"})
    copy_fixture(name, dir.file("seq"));
  auto j = test::run(BINARY, {"--dbc-can1=" + FIXTURES + "j1939.dbc", "j"}, dir.path);
  ASSERT_EQ(j.status, 0) << j.err;
  auto s = test::run(BINARY, {"--dbc-can1=" + FIXTURES + "can.dbc", "seq"}, dir.path);
  ASSERT_EQ(s.status, 0) << s.err;

  const std::string jd = "5E6F7A8B_out/", jt = "/2023/11/08/00000002_00000001.csv";
  const std::string sd = "9C8B7A65_out/", s3 = "/2023/11/08/00000021_00000003.csv",
                    s7 = "/2023/11/08/00000021_00000007.csv";
  std::map<std::string, size_t> expected = {
      {jd + "CAN1_CCVS1_S00" + jt, 600},
      {jd + "CAN1_CCVS1_S01" + jt, 600},
      {jd + "CAN1_EEC1_S00" + jt, 3000},
      {jd + "CAN1_EEC1_S01" + jt, 600},
      {jd + "CAN1_ET1_S00" + jt, 60},
      {jd + "CAN1_ET1_S01" + jt, 60},
      {jd + "CAN1_TSC1_S03" + jt, 1200},
      {jd + "CAN1_TSC1_S27" + jt, 600},
      {sd + "CAN1_EngineData" + s3, 9000},
      {sd + "CAN1_EngineData" + s7, 3000},
      {sd + "CAN1_SensorMux" + s3, 66},
      {sd + "CAN1_SensorMux" + s7, 14},
      {sd + "CAN1_SensorMux_MuxSelector_M00" + s3, 869},
      {sd + "CAN1_SensorMux_MuxSelector_M00" + s7, 293},
      {sd + "CAN1_SensorMux_MuxSelector_M01" + s3, 865},
      {sd + "CAN1_SensorMux_MuxSelector_M01" + s7, 293},
      {sd + "CAN1_VehicleDynamics" + s3, 3600},
      {sd + "CAN1_VehicleDynamics" + s7, 1200},
  };
  std::map<std::string, size_t> rows;
  for (auto& [file, n] : rows_per_file(dir.path))
    if (file.size() > 4 && file.substr(file.size() - 4) == ".csv") rows[file] = n;
  EXPECT_EQ(rows, expected);
}

}  // namespace
