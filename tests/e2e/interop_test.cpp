// End to end: logs of other MDF writers convert into the CSV tree of can_classic.MF4 byte for
// byte (a log without the logger's metadata below a folder of its own); a log without bus
// frames is skipped with one line; a log whose bus data cannot be read is refused with the
// block, its offset and why; a log whose frames give no rows says why.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

const std::string BINARY = TABULON_BINARY;
const std::string DATA = TABULON_TEST_DATA;

using Tree = std::map<std::string, std::string>;

// Every output file below `root` with its content.
Tree tree(const std::string& root) {
  Tree out;
  for (const std::string& file : test::list_files(root))
    out[file] = test::read_text(root + "/" + file);
  return out;
}

// can_classic's tree as a log with its frames but without the logger's metadata writes it:
// below `folder` instead of the logger's device folder, in files of session and split 0.
Tree without_logger(const Tree& logger, const std::string& folder) {
  const std::string device = "1A2B3C4D_out", name = "00000012_00000003.csv";
  Tree out;
  for (const auto& [name_in_logger, content] : logger) {
    std::string file = name_in_logger;
    file.replace(file.size() - name.size(), name.size(), "00000000_00000000.csv");
    out[file.replace(0, device.size(), folder)] = content;
  }
  return out;
}

// Converts one file (none when `bytes` is empty) with can.dbc on CAN channels 1 and 2.
test::RunResult convert(const test::TempDir& dir, const std::string& name,
                        const std::vector<uint8_t>& bytes, const std::string& verbosity = "1",
                        const std::string& option = "--concat") {
  if (!bytes.empty()) {
    EXPECT_TRUE(test::write_file(dir.file("in_" + name + "/" + name + ".MF4"), bytes));
  }
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
    // Only the closing line, with the frames of can_classic: the same fates as from its writer.
    EXPECT_EQ(got.err.substr(0, got.err.find(". Rows: ")),
              "Done. Input files: 1 converted, 0 failed, 0 skipped. Frames: 20,952 read, 17,400 "
              "decoded; 2,400 frames on CAN 1 with an id that no message of its DBC files has, "
              "1,100 frames on CAN 2 with an id that no message of its DBC files has, 52 frames "
              "that are remote, error or other frames without data");
    EXPECT_TRUE(tree(dir.file(std::string("out_") + name)) == expected);
  }

  // The log without the logger's metadata, first, after a logger's file and under another name
  // in one run: it neither inherits the numbers of the file before it (which made it a repeat
  // of that file) nor shares an output set with the file after it or with another such log.
  auto bytes = test::read_file(DATA + "/interop/asammdf_411_no_logger_comment.MF4");
  ASSERT_TRUE(test::write_file(dir.file("in_mix/1.MF4"), bytes));
  ASSERT_TRUE(test::write_file(dir.file("in_mix/2.MF4"),
                               test::read_file(DATA + "/fixtures/can_classic.MF4")));
  ASSERT_TRUE(test::write_file(dir.file("in_mix/3 copy.v2.MF4"), bytes));
  auto mixed = convert(dir, "mix", {});
  EXPECT_EQ(mixed.status, 0) << mixed.err;
  Tree all = expected;
  for (const char* folder : {"in_mix_out/1_MF4", "in_mix_out/3 copy.v2_MF4"})
    all.merge(without_logger(expected, folder));
  EXPECT_TRUE(tree(dir.file("out_mix")) == all);
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

namespace {

// A CAN data frame at 0.1 s; EngineData's Speed 50 by default.
void can(test::BusLogBuilder& log, uint8_t channel, uint32_t id = 0x100,
         const std::vector<uint8_t>& data = {50, 0, 0, 0, 0, 0, 0, 0}) {
  log.add_can_frame(channel, id, false, data, 0.1);
}

}  // namespace

// Every cause of a file without rows is said at the default level, one line each, and the
// run's status stays 0; a file with rows tells its channels without rows as warnings.
TEST(Interop, FilesWithoutRowsSayWhy) {
  test::TempDir dir;
  const std::string dbc = dir.file("can1.dbc");
  ASSERT_TRUE(test::write_file(
      dbc, std::string("BO_ 256 EngineData: 8 ECU\n SG_ Speed : 0|8@1+ (1,0) [0|100] \"\" X\n")));
  struct Case {
    const char* name;
    void (*fill)(test::BusLogBuilder& log);
    std::string line;
  };
  const Case cases[] = {
      {"a", [](auto& log) { can(log, 2); },
       "E No rows from in/a.MF4: no DBC file for CAN 2 (1 frame)"},
      {"b", [](auto& log) { can(log, 1, 0x101), can(log, 1, 0x100, {1}); },  // {1}: too short
       "E No rows from in/b.MF4: 0 of 2 frames on CAN 1 matched a message of " + dbc},
      {"c",
       [](auto& log) {
         can(log, 1, 0x100, {200, 0, 0, 0, 0, 0, 0, 0});
       },
       "E No rows from in/c.MF4: 1 of 1 frame on CAN 1 matched a message of " + dbc +
           ", but none gave a row: no signal value lay within its range"},
      {"d", [](auto& log) { can(log, 0), log.add_lin_frame(12, 0x10, {1}, 0.2); },
       "E No rows from in/d.MF4: no DBC file for CAN 0 (1 frame)"},
      {"e",
       [](auto& log) {
         log.field_data_type("CAN_DataFrame.DataBytes", test::DT_MIME_SAMPLE), can(log, 1);
       },
       "E No rows from in/e.MF4: group CAN_DataFrame: channel \"CAN_DataFrame.DataBytes\" has "
       "data type 11 (MIME sample), which is not read (1 record)"},
      {"f", [](auto& log) { log.master_name("Stamp"), can(log, 1), can(log, 1); },
       "E No rows from in/f.MF4: group CAN_DataFrame: no time channel (2 records)"},
      {"g",
       [](auto& log) {
         log.add_can_remote_frame(1, 0x100, false, 8, 0.1), log.add_can_error_frame(1, 2, 0.2);
       },
       "E No rows from in/g.MF4: 1 remote frame and 1 error frame, which are not converted"},
      {"h", [](auto& log) { can(log, 1); },
       "E No rows from in/h.MF4: its bus-logging channel groups hold no frames"},
      {"i", [](auto& log) { can(log, 1), can(log, 3); },
       "W in/i.MF4: no DBC file for CAN 3 (1 frame)"},
  };
  uint32_t split = 1;
  for (const Case& c : cases) {
    test::BusLogBuilder log;
    log.metadata(0xAB, 1, split++);
    c.fill(log);
    std::vector<uint8_t> bytes = log.build();
    // f: the master (the file's first channel) made a plain channel; h: the data block left
    // with its header only.
    std::string text(bytes.begin(), bytes.end());
    if (c.name == std::string("f")) {
      size_t cn = text.find("##CN"), links = bytes[cn + 16];
      bytes[cn + 24 + 8 * links] = bytes[cn + 25 + 8 * links] = 0;  // type and synchronisation
    }
    if (size_t dt = text.find("##DT"); c.name == std::string("h")) {
      memset(&bytes[dt + 8], 0, 8);
      bytes[dt + 8] = 24;
    }
    ASSERT_TRUE(test::write_file(dir.file(std::string("in/") + c.name + ".MF4"), bytes));
  }
  auto r = test::run(BINARY, {"--dbc-can1=can1.dbc", "--verbosity=2", "-O", "in", "in"}, dir.path);
  EXPECT_EQ(r.status, 0) << r.err;
  for (const Case& c : cases) EXPECT_NE(r.err.find(c.line + "\n"), std::string::npos) << c.line;
  // One line per cause: the LIN frames of d are a second one; i has rows.
  EXPECT_NE(r.err.find("E No rows from in/d.MF4: 1 frame on LIN 12: channel numbers outside 0 to 9 "
                       "are not converted\n"),
            std::string::npos);
  size_t lines = 0;
  for (size_t at = r.err.find(" E "); at != std::string::npos; at = r.err.find(" E ", at + 1))
    ++lines;
  // b's frame of a known id and another length is told besides.
  EXPECT_NE(r.err.find("E No rows from in/b.MF4: 1 frame of message EngineData (id 0x100) on CAN "
                       "1 left out for their length: 1 byte, where " +
                       dbc + " gives the message 8\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(lines, std::size(cases) + 1) << r.err;
  std::vector<std::string> files = test::list_files(dir.file("in/000000AB_out"));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(test::read_text(dir.file("in/000000AB_out/" + files[0])),
            "t,Speed\n1699401540.100000,50.000000\n");
}

// A group with a channel of no frame field ("__samples_origin", from a writer that
// concatenates files) converts whole, told once as a warning that reaches the user; a payload
// whose bytes are not where its record says is counted as unreadable and gives no row. (The
// field types of other writers are tested where frames are read.)
TEST(Interop, ExtraChannelsAndLostPayloadsAreTold) {
  test::TempDir dir;
  ASSERT_TRUE(test::write_file(
      dir.file("can1.dbc"),
      std::string("BO_ 256 EngineData: 8 ECU\n SG_ Speed : 0|8@1+ (1,0) [0|100] \"\" X\n")));
  test::BusLogBuilder origin;
  origin.metadata(0xAB, 1, 1).extra_channel(test::FrameGroup::CanData, "__samples_origin");
  origin.add_can_frame(1, 0x100, false, {7, 0, 0, 0, 0, 0, 0, 0}, 0.5);
  origin.add_can_frame(1, 0x100, false, {99, 0, 0, 0, 0, 0, 0, 0}, 30.125);
  ASSERT_TRUE(test::write_file(dir.file("in/origin/a.MF4"), origin.build()));
  test::make_dirs(dir.file("out_origin"));
  auto run = test::run(
      BINARY, {"--dbc-can1=can1.dbc", "--verbosity=2", "-O", "out_origin", "in/origin"}, dir.path);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(test::read_text(dir.file("out_origin/000000AB_out/CAN1_EngineData/2023/11/07/"
                                     "00000001_00000001.csv")),
            "t,Speed\n1699401540.500000,7.000000\n1699401570.125000,99.000000\n");
  size_t told = run.err.find(
      " W origin/a.MF4: group CAN_DataFrame: channel \"__samples_origin\" is ignored (no frame "
      "field)\n");
  EXPECT_NE(told, std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(" W ", told + 1), std::string::npos) << run.err;

  // The second record's payload offset (behind its time, bus channel, id, IDE, DLC and data
  // length) moved past the signal data.
  test::BusLogBuilder log;
  log.metadata(0xAC, 1, 1).can_data_storage(test::DataStorage::SignalData);
  log.add_can_frame(1, 0x100, false, {7, 0, 0, 0, 0, 0, 0, 0}, 0.5);
  log.add_can_frame(1, 0x100, false, {8, 0, 0, 0, 0, 0, 0, 0}, 0.75);
  std::vector<uint8_t> bytes = log.build();
  size_t dt = std::string(bytes.begin(), bytes.end()).find("##DT");
  ASSERT_NE(dt, std::string::npos);
  const uint64_t far = 1 << 20, record = 28, offset_field = 17;
  memcpy(&bytes[dt + 24 + record + offset_field], &far, 8);
  ASSERT_TRUE(test::write_file(dir.file("in/lost/a.MF4"), bytes));
  test::make_dirs(dir.file("out_lost"));
  auto r = test::run(BINARY, {"--dbc-can1=can1.dbc", "-O", "out_lost", "in/lost"}, dir.path);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Frames: 2 read, 1 decoded; 1 frame on CAN 1 that could not be read."),
            std::string::npos)
      << r.err;
  EXPECT_EQ(test::read_text(dir.file("out_lost/000000AC_out/CAN1_EngineData/2023/11/07/"
                                     "00000001_00000001.csv")),
            "t,Speed\n1699401540.500000,7.000000\n");
}

// An MDF 3 file is refused by name whatever it is called, and a file named on the command line
// is never dropped without a word: read by its content when it is a log, else skipped with a
// line that says why.
TEST(Interop, Mdf3AndOtherNamesAreNeverPassedOverSilently) {
  test::TempDir dir;
  const std::string dbc = dir.file("can1.dbc");
  ASSERT_TRUE(test::write_file(
      dbc, std::string("BO_ 256 EngineData: 8 ECU\n SG_ Speed : 0|8@1+ (1,0) [0|100] \"\" X\n")));
  test::Mf4Writer mdf3(test::IdSpec{.version = "3.30    ", .version_number = 330});
  // An MDF 3 header block: two-character identifier and a 16-bit length.
  mdf3.add_raw({'H', 'D', 208, 0});
  test::BusLogBuilder log;
  log.metadata(0xAB, 1, 1);
  can(log, 1);
  for (const char* name : {"a.mdf", "b.MF4"})
    ASSERT_TRUE(test::write_file(dir.file(std::string("in/") + name), mdf3.bytes()));
  ASSERT_TRUE(test::write_file(dir.file("in/c.dat"), log.build()));
  ASSERT_TRUE(test::write_file(dir.file("in/d.txt"), std::string("notes\n")));
  auto r = test::run(BINARY,
                     {"--dbc-can1=can1.dbc", "--non-interactive", "-O", "in", "in/a.mdf",
                      "in/b.MF4", "in/c.dat", "in/d.txt"},
                     dir.path);
  EXPECT_EQ(r.status, 8) << r.err;
  for (const char* line :
       {" E Could not convert a.mdf: MDF 3.30 is not supported, only MDF 4\n",
        " E Could not convert b.MF4: MDF 3.30 is not supported, only MDF 4\n",
        " W Skipping d.txt: it is no log file (neither its name, .MF4, .MFC, .MFE or .MFM, nor its "
        "content, an MDF file or a container, says so)\n"})
    EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;
  std::vector<std::string> files = test::list_files(dir.file("in/000000AB_out"));
  ASSERT_EQ(files.size(), 1u) << r.err;
  EXPECT_EQ(test::read_text(dir.file("in/000000AB_out/" + files[0])),
            "t,Speed\n1699401540.100000,50.000000\n");
}

// Bus channel 0 (a writer's first interface) is converted like any other channel, by option or
// by a can0*.dbc in the working directory; frames on a channel without DBC file are told at the
// default level also when the file gives rows.
TEST(Interop, BusChannelZeroIsAChannelLikeTheOthers) {
  test::TempDir dir;
  const std::string dbc =
      "BO_ 256 EngineData: 8 ECU\n SG_ Speed : 0|8@1+ (1,0) [0|100] \"\" X\n"
      "BO_ 33 LinData: 1 ECU\n SG_ Level : 0|8@1+ (1,0) [0|100] \"\" X\n";
  ASSERT_TRUE(test::write_file(dir.file("db.dbc"), dbc));
  ASSERT_TRUE(test::write_file(dir.file("found/can0_body.dbc"), dbc));
  test::BusLogBuilder log;
  log.metadata(0xAB, 1, 1);
  can(log, 0, 0x100, {20, 0, 0, 0, 0, 0, 0, 0});
  can(log, 1);
  can(log, 3);
  log.add_lin_frame(0, 0x21, {7}, 0.2);
  ASSERT_TRUE(test::write_file(dir.file("in/x.MF4"), log.build()));
  test::make_dirs(dir.file("out"));
  auto r = test::run(BINARY,
                     {"--dbc-can0=db.dbc", "--dbc-can1=db.dbc", "--dbc-lin0=db.dbc",
                      "--non-interactive", "-O", "out", "in"},
                     dir.path);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(" W in/x.MF4: no DBC file for CAN 3 (1 frame)\n"), std::string::npos)
      << r.err;
  Tree got = tree(dir.file("out"));
  std::vector<std::string> names;
  for (const auto& [name, content] : got) names.push_back(name.substr(0, name.find('/', 13)));
  EXPECT_EQ(names, (std::vector<std::string>{"000000AB_out/CAN0_EngineData",
                                             "000000AB_out/CAN1_EngineData",
                                             "000000AB_out/LIN0_LinData"}));
  EXPECT_EQ(got.begin()->second, "t,Speed\n1699401540.100000,20.000000\n");

  // Found by name: can0_body.dbc in the working directory serves CAN 0.
  test::make_dirs(dir.file("found/out"));
  ASSERT_TRUE(test::write_file(dir.file("found/in/x.MF4"), log.build()));
  r = test::run(BINARY, {"--non-interactive", "-O", "out", "in"}, dir.file("found"));
  EXPECT_EQ(r.status, 0) << r.err;
  got = tree(dir.file("found/out"));
  ASSERT_EQ(got.size(), 1u) << r.err;
  EXPECT_EQ(got.begin()->first.substr(0, 30), "000000AB_out/CAN0_EngineData/2");
  EXPECT_NE(r.err.find(" W in/x.MF4: no DBC file for CAN 1 (1 frame)\n"), std::string::npos)
      << r.err;
}

// Frames whose length is not their message's are left out, and told per message and channel at
// the default level with how many there were and their lengths, also when the file gives rows.
TEST(Interop, FramesOfAnotherLengthAreToldPerMessage) {
  test::TempDir dir;
  ASSERT_TRUE(test::write_file(
      dir.file("db.dbc"),
      std::string("BO_ 256 EngineData: 8 ECU\n SG_ Speed : 0|8@1+ (1,0) [0|100] \"\" X\n"
                  "BO_ 2147484160 Ext: 2 ECU\n SG_ E : 0|8@1+ (1,0) [0|100] \"\" X\n")));
  test::BusLogBuilder log;
  log.metadata(0xAB, 1, 1);
  can(log, 1);
  can(log, 1, 0x100, {1, 2, 3, 4, 5, 6});
  can(log, 1, 0x100, {1, 2, 3, 4, 5, 6, 7});
  can(log, 1, 0x100, {1, 2, 3, 4, 5, 6});
  can(log, 2, 0x100, {1});
  log.add_can_frame(2, 0x200, true, {1, 2, 3}, 0.3);
  ASSERT_TRUE(test::write_file(dir.file("in/x.MF4"), log.build()));
  auto r = test::run(
      BINARY, {"--dbc-can1=db.dbc", "--dbc-can2=db.dbc", "--non-interactive", "-O", "in", "in"},
      dir.path);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string dbc = dir.file("db.dbc");
  for (const std::string& line :
       {" W in/x.MF4: 3 frames of message EngineData (id 0x100) on CAN 1 left out for their "
        "length: 6, 7 bytes, where " +
            dbc + " gives the message 8\n",
        " W in/x.MF4: 1 frame of message EngineData (id 0x100) on CAN 2 left out for their "
        "length: 1 byte, where " +
            dbc + " gives the message 8\n",
        " W in/x.MF4: 1 frame of message Ext (id 0x200) on CAN 2 left out for their length: 3 "
        "bytes, where " +
            dbc + " gives the message 2\n"})
    EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;
  std::vector<std::string> files = test::list_files(dir.file("in/000000AB_out"));
  ASSERT_EQ(files.size(), 1u) << r.err;
  EXPECT_EQ(test::read_text(dir.file("in/000000AB_out/" + files[0])),
            "t,Speed\n1699401540.100000,50.000000\n");

  // Read in many parts at once, the counts of the parts add up to one line per message.
  test::BusLogBuilder big;
  big.metadata(0xAB, 1, 2);
  for (int i = 0; i < 600; ++i)
    big.add_can_frame(1, 0x100, false, std::vector<uint8_t>(i % 3 ? 6 : 7, 1), 0.001 * i);
  ASSERT_TRUE(test::write_file(dir.file("big/y.MF4"), big.build()));
  r = test::run("/bin/sh",
                {"-c", "TABULON_TEST_SPLIT=4096:1024 exec '" + std::string(TABULON_HOOKED_BINARY) +
                           "' --dbc-can1=db.dbc --jobs=3 --non-interactive -O big big"},
                dir.path);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("E No rows from big/y.MF4: 600 frames of message EngineData (id 0x100) on "
                       "CAN 1 left out for their length: 6, 7 bytes, where " +
                       dbc + " gives the message 8\n"),
            std::string::npos)
      << r.err;
}
