// Logs of other MDF writers (tests/data/interop) yield exactly the frames of can_classic.MF4:
// kinds, times, identifiers, channels as stored, flags and data, whatever the layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "mdf/frame_reading.h"
#include "support/test_util.h"

namespace {

// The frames of a file that are frames, in one order for all files (writers order their
// groups and records differently).
std::vector<test::FrameValue> sorted_frames(const std::string& path) {
  test::ReadResult r = test::read_frames(test::read_file(path));
  EXPECT_TRUE(r.opened) << path;
  std::vector<test::FrameValue> out;
  for (const test::FrameValue& f : r.frames)
    if (f.kind != FRAME_NONE) out.push_back(f);
  auto key = [](const test::FrameValue& f) {
    return std::tie(f.kind, f.timestamp, f.id, f.bus_channel, f.data);
  };
  std::sort(out.begin(), out.end(), [&](const auto& a, const auto& b) { return key(a) < key(b); });
  return out;
}

}  // namespace

TEST(InteropFiles, EachYieldsTheFramesOfCanClassic) {
  const std::string data = TABULON_TEST_DATA;
  std::vector<test::FrameValue> expected = sorted_frames(data + "/fixtures/can_classic.MF4");
  ASSERT_EQ(expected.size(), 14600u + 6300 + 40 + 12);
  // What a writer leaves out: two store no error type (it reads 0 in every error frame), one
  // stores a DataLength of 0 in every remote frame.
  struct File {
    const char* name;
    bool error_types, remote_lengths;
  };
  const File files[] = {{"asammdf_411_dz_transposed", true, true},
                        {"asammdf_420_default", true, true},
                        {"asammdf_411_plus_texttable_group", true, true},
                        {"mdflib_can_sd", false, true},
                        {"mdflib_can_vlsdcg", false, true},
                        {"pycan_default", false, false}};
  for (const File& file : files) {
    SCOPED_TRACE(file.name);
    std::vector<test::FrameValue> got = sorted_frames(data + "/interop/" + file.name + ".MF4");
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
      test::FrameValue want = expected[i];
      if (!file.error_types) want.error_type = 0;
      if (!file.remote_lengths && want.kind == FRAME_CAN_REMOTE) want.data_length = 0;
      ASSERT_EQ(got[i], want) << i << "\n"
                              << test::describe(got[i]) << "\n"
                              << test::describe(want);
    }
  }
}
