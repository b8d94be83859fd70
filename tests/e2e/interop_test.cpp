// End to end: logs of other MDF writers convert into the CSV tree of can_classic.MF4 byte for
// byte; a log without bus frames is skipped with one line; a log whose bus data cannot be
// read is refused with the block, its offset and why.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

const std::string BINARY = TABULON_BINARY;
const std::string DATA = TABULON_TEST_DATA;

// Every output file below `root` with its content.
std::vector<std::pair<std::string, std::string>> tree(const std::string& root) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& file : test::list_files(root))
    out.emplace_back(file, test::read_text(root + "/" + file));
  return out;
}

// Converts one file with can.dbc on CAN channels 1 and 2.
test::RunResult convert(const test::TempDir& dir, const std::string& name,
                        const std::vector<uint8_t>& bytes, const std::string& verbosity = "1",
                        const std::string& option = "--concat") {
  EXPECT_TRUE(test::write_file(dir.file("in_" + name + "/" + name + ".MF4"), bytes));
  test::make_dirs(dir.file("out_" + name));
  std::string dbc = DATA + "/fixtures/can.dbc";
  return test::run(BINARY,
                   {"--dbc-can1=" + dbc, "--dbc-can2=" + dbc, "--verbosity=" + verbosity, option,
                    "-O", "out_" + name, "in_" + name},
                   dir.path);
}

}  // namespace

TEST(Interop, OtherWritersLogsGiveTheCsvTreeOfCanClassic) {
  test::TempDir dir;
  auto r = convert(dir, "can_classic", test::read_file(DATA + "/fixtures/can_classic.MF4"));
  ASSERT_EQ(r.status, 0) << r.err;
  auto expected = tree(dir.file("out_can_classic"));
  ASSERT_EQ(expected.size(), 20u);
  for (const char* name :
       {"asammdf_411_dz_transposed", "asammdf_420_default", "asammdf_411_plus_texttable_group",
        "mdflib_can_sd", "mdflib_can_vlsdcg", "pycan_default"}) {
    SCOPED_TRACE(name);
    auto got = convert(dir, name, test::read_file(DATA + "/interop/" + name + ".MF4"));
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.err, "");
    EXPECT_TRUE(tree(dir.file(std::string("out_") + name)) == expected);
  }
}

TEST(Interop, NoBusFramesIsSkippedAndUnreadableBusDataIsRefused) {
  test::TempDir dir;
  test::BusLogBuilder analog;
  analog.source_type(test::SOURCE_ECU);
  analog.add_can_frame(1, 0x100, false, {1}, 0.1);
  // Visible at the default verbosity: a file that gives no rows says why. Its other content
  // is not converted, so it is kept even with --delete-converted.
  auto skipped = convert(dir, "analog", analog.build(), "1", "--delete-converted");
  EXPECT_EQ(skipped.status, 0) << skipped.err;
  EXPECT_NE(skipped.err.find(" E No CAN or LIN frames in in_analog/analog.MF4 (no bus-logging "
                             "channel group): file skipped\n"),
            std::string::npos)
      << skipped.err;
  EXPECT_TRUE(test::list_files(dir.file("out_analog")).empty());
  EXPECT_EQ(test::list_files(dir.file("in_analog")), std::vector<std::string>{"analog.MF4"});

  test::BusLogBuilder b;
  b.data_blocks(test::DataBlocks::Deflate);
  b.add_can_frame(1, 0x100, false, {1}, 0.1);
  std::vector<uint8_t> bytes = b.build();
  size_t dz = std::string(bytes.begin(), bytes.end()).find("##DZ");
  ASSERT_NE(dz, std::string::npos);
  bytes[dz + 24 + 2] = 7;
  auto refused = convert(dir, "zip7", bytes);
  EXPECT_EQ(refused.status, 8);
  char line[80];
  snprintf(line, sizeof line, " E DZ block at 0x%zX: zip type 7 is not supported\n", dz);
  EXPECT_NE(refused.err.find(line), std::string::npos) << refused.err;
}
