// The interoperability fixtures (bus logs written by an independent MDF library) open and
// yield exactly the frames their README lists: per data group, bus channel, identifier, IDE
// flag and data length, plus the remote and error frames and the time of the last frame.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "mdf/frame_reading.h"
#include "support/test_util.h"

namespace {

struct IdCount {
  size_t group;
  uint8_t channel;
  uint32_t id;
  uint8_t ide;
  uint64_t length;
  size_t count;
};

struct Fixture {
  const char* file;
  std::vector<IdCount> data_frames;
  size_t remote_frames, error_frames;
  double last_frame;  // seconds after the start time
  FrameKind data_kind;
  uint64_t start_time_s;              // UTC
  std::vector<uint32_t> group_kinds;  // of each data group
};

const std::vector<IdCount> SEQUENCE = {
    {0, 1, 0x100, 0, 8, 3000},
    {0, 1, 0x1A0, 0, 8, 1200},
    {0, 1, 0x300, 0, 8, 600},
    {0, 1, 0x7DF, 0, 8, 120},
};

const Fixture FIXTURES[] = {
    {"can_classic.MF4",
     {
         {0, 1, 0xF0, 0, 2, 200},
         {0, 1, 0x100, 0, 8, 5000},
         {0, 1, 0x1A0, 0, 8, 5000},
         {0, 1, 0x300, 0, 8, 2000},
         {0, 1, 0x555, 0, 4, 1000},
         {0, 1, 0x7DF, 0, 8, 400},
         {0, 1, 0x18FEF100, 1, 8, 1000},
         {0, 2, 0xF0, 0, 2, 200},
         {0, 2, 0x100, 1, 8, 1000},
         {0, 2, 0x1A0, 0, 8, 2000},
         {0, 2, 0xABCDEF, 1, 8, 2000},
         {0, 2, 0x1234567, 1, 8, 1000},
         {0, 2, 0x1FFFFFFF, 1, 0, 100},
     },
     40,
     12,
     99.997940,
     FRAME_CAN_DATA,
     1699401540,
     {GROUP_CAN_DATA, GROUP_CAN_REMOTE, GROUP_CAN_ERROR}},
    {"can_fd.MF4",
     {
         {0, 1, 0x400, 0, 64, 6000},
         {0, 1, 0x401, 0, 64, 300},
         {0, 1, 0xFD1234, 1, 64, 3000},
         {1, 1, 0x100, 0, 8, 3000},
         {1, 1, 0x1A0, 0, 8, 1200},
     },
     0,
     0,
     59.996355,
     FRAME_CAN_DATA,
     1699431330,
     {GROUP_CAN_DATA, GROUP_CAN_DATA}},
    {"j1939.MF4",
     {
         {0, 1, 0x123, 0, 8, 300},
         {0, 1, 0xC000003, 1, 8, 1200},
         {0, 1, 0xC000127, 1, 8, 600},
         {0, 1, 0xCF00400, 1, 8, 3000},
         {0, 1, 0xDF00400, 1, 8, 60},
         {0, 1, 0x18F00401, 1, 8, 600},
         {0, 1, 0x18FECA00, 1, 8, 60},
         {0, 1, 0x18FEEE00, 1, 8, 60},
         {0, 1, 0x18FEEE01, 1, 8, 60},
         {0, 1, 0x18FEF100, 1, 8, 600},
         {0, 1, 0x18FEF101, 1, 8, 600},
         {0, 1, 0x18FF1000, 1, 8, 600},
     },
     0,
     0,
     59.990473,
     FRAME_CAN_DATA,
     1699425000,
     {GROUP_CAN_DATA}},
    {"lin.MF4",
     {
         {0, 1, 0x10, 0, 4, 3000},
         {0, 1, 0x21, 0, 2, 1200},
         {0, 1, 0x30, 0, 8, 600},
         {0, 1, 0x3C, 0, 8, 60},
         {0, 1, 0x3D, 0, 8, 60},
     },
     0,
     0,
     59.994344,
     FRAME_LIN,
     1699444800,
     {GROUP_LIN}},
    {"sequence_split3.MF4",
     SEQUENCE,
     0,
     0,
     59.988646,
     FRAME_CAN_DATA,
     1699437600,
     {GROUP_CAN_DATA}},
    {"sequence_split4.MF4",
     SEQUENCE,
     0,
     0,
     59.988671,
     FRAME_CAN_DATA,
     1699437660,
     {GROUP_CAN_DATA}},
    {"sequence_split5.MF4",
     SEQUENCE,
     0,
     0,
     59.988513,
     FRAME_CAN_DATA,
     1699437720,
     {GROUP_CAN_DATA}},
    {"sequence_split7.MF4",
     SEQUENCE,
     0,
     0,
     59.988706,
     FRAME_CAN_DATA,
     1699437840,
     {GROUP_CAN_DATA}},
};

void PrintTo(const Fixture& f, std::ostream* os) { *os << f.file; }

class FixtureFrames : public ::testing::TestWithParam<Fixture> {};

TEST_P(FixtureFrames, YieldTheFramesTheReadmeLists) {
  const Fixture& fx = GetParam();
  std::vector<uint8_t> bytes =
      test::read_file(std::string(TABULON_TEST_DATA) + "/fixtures/" + fx.file);
  ASSERT_FALSE(bytes.empty()) << fx.file;
  test::ReadResult read = test::read_frames(bytes);
  ASSERT_TRUE(read.opened) << fx.file;

  // Data frames counted per (group, channel, id, IDE, length); extended ids may carry bit 31.
  using Key = std::tuple<size_t, uint8_t, uint32_t, uint8_t, uint64_t>;
  std::map<Key, size_t> got, want;
  for (const IdCount& c : fx.data_frames)
    want[{c.group, c.channel, c.id, c.ide, c.length}] = c.count;
  size_t remote = 0, error = 0, none = 0, index = 0;
  double last = 0;
  for (size_t g = 0; g < read.frames_per_group.size(); ++g) {
    for (size_t i = 0; i < read.frames_per_group[g]; ++i, ++index) {
      const test::FrameValue& f = read.frames[index];
      if (f.kind == fx.data_kind) {
        uint8_t ide = fx.data_kind == FRAME_LIN ? 0 : f.ide;
        uint32_t id = ide ? f.id & 0x1FFFFFFF : f.id;
        ++got[{g, f.bus_channel, id, ide, f.data_length}];
      } else if (f.kind == FRAME_CAN_REMOTE) {
        ++remote;
        EXPECT_EQ(f.rtr, 1);
      } else if (f.kind == FRAME_CAN_ERROR) {
        ++error;
      } else {
        ++none;
      }
      EXPECT_GE(f.timestamp, 0.0);
      if (f.timestamp > last) last = f.timestamp;
    }
  }
  EXPECT_EQ(got, want) << fx.file;
  EXPECT_EQ(remote, fx.remote_frames) << fx.file;
  EXPECT_EQ(error, fx.error_frames) << fx.file;
  EXPECT_EQ(none, 0u) << fx.file;
  EXPECT_NEAR(last, fx.last_frame, 1e-9) << fx.file;
  EXPECT_EQ(read.start_time_ns, fx.start_time_s * 1'000'000'000) << fx.file;
  EXPECT_EQ(read.group_kinds, fx.group_kinds) << fx.file;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FixtureFrames, ::testing::ValuesIn(FIXTURES),
                         [](const ::testing::TestParamInfo<Fixture>& info) {
                           std::string name = info.param.file;
                           return name.substr(0, name.find('.'));
                         });

// Details the README states beyond the counts.
TEST(FixtureDetails, CanFdFlagsAndPayloadPadding) {
  std::vector<uint8_t> bytes =
      test::read_file(std::string(TABULON_TEST_DATA) + "/fixtures/can_fd.MF4");
  test::ReadResult read = test::read_frames(bytes);
  ASSERT_TRUE(read.opened);
  size_t checked = 0;
  for (const test::FrameValue& f : read.frames) {
    if (f.kind != FRAME_CAN_DATA) continue;
    uint32_t id = f.id & 0x1FFFFFFF;
    if (f.data_length == 64) {
      EXPECT_EQ(f.edl, 1);
      EXPECT_EQ(f.dlc, 15);
      EXPECT_EQ(f.brs, id == 0xFD1234 ? 0 : 1) << std::hex << id;
    } else {
      EXPECT_EQ(f.edl, 0);
      EXPECT_EQ(f.dlc, 8);
    }
    ++checked;
  }
  EXPECT_EQ(checked, 13500u);
}

TEST(FixtureDetails, ClassicDoorStatusOnChannelTwoIsTransmitted) {
  std::vector<uint8_t> bytes =
      test::read_file(std::string(TABULON_TEST_DATA) + "/fixtures/can_classic.MF4");
  test::ReadResult read = test::read_frames(bytes);
  ASSERT_TRUE(read.opened);
  size_t tx = 0, rx = 0;
  for (const test::FrameValue& f : read.frames) {
    if (f.kind != FRAME_CAN_DATA || f.id != 0xF0) continue;
    (f.bus_channel == 2 ? tx : rx) += f.dir;
    // Bytes beyond DataLength are zero padding.
    for (size_t i = f.data_length; i < f.data.size(); ++i) EXPECT_EQ(f.data[i], 0) << i;
  }
  EXPECT_EQ(tx, 200u);
  EXPECT_EQ(rx, 0u);
}

TEST(FixtureDetails, J1939ExtendedIdsCarryBit31) {
  std::vector<uint8_t> bytes =
      test::read_file(std::string(TABULON_TEST_DATA) + "/fixtures/j1939.MF4");
  test::ReadResult read = test::read_frames(bytes);
  ASSERT_TRUE(read.opened);
  size_t extended = 0;
  for (const test::FrameValue& f : read.frames) {
    if (f.kind != FRAME_CAN_DATA) continue;
    if (f.ide) {
      EXPECT_EQ(f.id & 0x80000000u, 0x80000000u);
      ++extended;
    } else {
      EXPECT_EQ(f.id, 0x123u);
    }
  }
  EXPECT_EQ(extended, 7440u);
}

}  // namespace
