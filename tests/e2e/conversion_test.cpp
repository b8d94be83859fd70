// End to end: the real binary converts folders of logs made by our own writers (plain,
// compressed, encrypted, nested) into the tree of CSV files, with the exit statuses and log
// lines a script relies on.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/container_writer.h"
#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

const std::string BINARY = TABULON_BINARY;
constexpr uint64_t NOV_7_2023 = 1699315200ULL * 1000000000ULL;  // 2023-11-07 00:00:00 UTC
constexpr uint64_t HOUR = 3600ULL * 1000000000ULL;

// EngineData 0x100: Speed (byte 0, 0..100) and Temp (byte 1, x0.5 - 40, no range).
// ModeMux 0x200: Mode multiplexor (byte 0) with branch 3..5 (Level, byte 1) and 16 (Code).
const char* const CAN_DBC =
    "VERSION \"\"\n\n"
    "BO_ 256 EngineData: 8 ECU\n"
    " SG_ Speed : 0|8@1+ (1,0) [0|100] \"km/h\" X\n"
    " SG_ Temp : 8|8@1+ (0.5,-40) [0|0] \"degC\" X\n\n"
    "BO_ 512 ModeMux: 8 ECU\n"
    " SG_ Mode M : 0|8@1+ (1,0) [0|255] \"\" X\n"
    " SG_ Level m3 : 8|8@1+ (1,0) [0|255] \"\" X\n"
    " SG_ Code m16 : 8|8@1+ (1,0) [0|255] \"\" X\n\n"
    "SG_MUL_VAL_ 512 Level Mode 3-5;\n";

// A second database for channel 1 that scales EngineData's Speed differently.
const char* const CAN_DBC_2 =
    "VERSION \"\"\n\n"
    "BO_ 256 EngineData: 8 ECU\n"
    " SG_ Speed : 0|8@1+ (2,0) [0|255] \"\" X\n"
    " SG_ Temp : 8|8@1+ (0.5,-40) [0|0] \"degC\" X\n";

const char* const J1939_DBC =
    "VERSION \"\"\n\n"
    "BO_ 2364539904 EEC1: 8 ECU\n"
    " SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" X\n\n"
    "BA_DEF_  \"ProtocolType\" STRING ;\n"
    "BA_ \"ProtocolType\" \"J1939\";\n";

std::vector<uint8_t> engine_log(uint32_t serial, uint32_t session, uint32_t split,
                                std::vector<std::pair<double, uint8_t>> speeds,
                                uint64_t start = NOV_7_2023 + HOUR) {
  test::BusLogBuilder log;
  log.start_time_ns(start).metadata(serial, session, split);
  for (auto [time, speed] : speeds)
    log.add_can_frame(1, 0x100, false, {speed, 100, 0, 0, 0, 0, 0, 0}, time);
  return log.build();
}

struct LogFolder {
  test::TempDir dir;
  std::string logs = dir.file("logs");
  LogFolder() {
    test::make_dirs(logs);
    test::write_file(dir.file("can1.dbc"), std::string(CAN_DBC));
  }
  void put(const std::string& relative, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(test::write_file(logs + "/" + relative, bytes));
  }
  test::RunResult run(std::vector<std::string> args) { return test::run(BINARY, args, dir.path); }
  std::string out(const std::string& relative) { return test::read_text(logs + "/" + relative); }
  std::vector<std::string> csv_files() {
    std::vector<std::string> csv;
    for (auto& f : test::list_files(logs))
      if (f.size() > 4 && f.substr(f.size() - 4) == ".csv") csv.push_back(f);
    return csv;
  }
};

const std::string ENGINE_HEADER = "t,Speed,Temp\n";
std::string engine_row(double t, int speed) {
  char line[64];
  snprintf(line, sizeof line, "%.6f,%d.000000,10.000000\n", t, speed);
  return line;
}
const double T0 = 1699318800.0;  // NOV_7_2023 + HOUR in seconds

TEST(Conversion, PlainFileWithWalkOrderAndSuffixes) {
  LogFolder r;
  // B.MF4 (split 3) comes before a.mf4 (split 4) in byte order, so a.mf4 continues B.MF4.
  r.put("day1/B.MF4", engine_log(0x0A1B2C3D, 12, 3, {{0.5, 10}, {0.75, 101}}));
  r.put("day1/a.mf4", engine_log(0x0A1B2C3D, 12, 4, {{1.5, 20}}));
  r.put("day1/c.txt", {1, 2, 3});
  auto result = r.run({"logs/day1"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(r.csv_files(), std::vector<std::string>{
                               "0A1B2C3D_out/CAN1_EngineData/2023/11/07/00000012_00000003.csv"});
  EXPECT_EQ(r.out("0A1B2C3D_out/CAN1_EngineData/2023/11/07/00000012_00000003.csv"),
            ENGINE_HEADER + engine_row(T0 + 0.5, 10) + "1699318800.750000,-NaN,10.000000\n" +
                engine_row(T0 + 1.5, 20));

  // With --no-append-root the device folder has no suffix; --no-concat splits the outputs.
  auto plain = r.run({"--no-append-root", "--no-concat", "-O", r.dir.path, "logs/day1"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(
      test::read_text(r.dir.file("0A1B2C3D/CAN1_EngineData/2023/11/07/00000012_00000004.csv")),
      ENGINE_HEADER + engine_row(T0 + 1.5, 20));
  EXPECT_TRUE(
      test::exists(r.dir.file("0A1B2C3D/CAN1_EngineData/2023/11/07/00000012_00000003.csv")));
}

TEST(Conversion, SplitsConcatenateAndRepeatedFilesAreSkipped) {
  LogFolder r;
  r.put("s/1.MF4", engine_log(0xAB, 5, 3, {{0, 1}}));
  r.put("s/2.MF4", engine_log(0xAB, 5, 4, {{1, 2}}));
  r.put("s/3.MF4", engine_log(0xAB, 5, 4, {{1, 2}}));  // the same file again
  r.put("s/4.MF4", engine_log(0xAB, 5, 5, {{2, 3}}));
  r.put("s/5.MF4", engine_log(0xAB, 5, 7, {{3, 4}}));  // split 6 missing: new outputs
  auto result = r.run({"--verbosity=2", "logs/s"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("W Repeated input file (AB, 5, 4)"), std::string::npos) << result.err;
  EXPECT_EQ(r.csv_files(), (std::vector<std::string>{
                               "000000AB_out/CAN1_EngineData/2023/11/07/00000005_00000003.csv",
                               "000000AB_out/CAN1_EngineData/2023/11/07/00000005_00000007.csv"}));
  EXPECT_EQ(r.out("000000AB_out/CAN1_EngineData/2023/11/07/00000005_00000003.csv"),
            ENGINE_HEADER + engine_row(T0, 1) + engine_row(T0 + 1, 2) + engine_row(T0 + 2, 3));
}

TEST(Conversion, ConcatFlagsAndBufferSizes) {
  LogFolder r;
  r.put("s/1.MF4", engine_log(0xAB, 5, 3, {{0, 1}}));
  r.put("s/2.MF4", engine_log(0xAB, 5, 4, {{1, 2}}));
  // no-concat wins when both are given, in either order.
  for (auto flags : {std::vector<std::string>{"--concat", "--no-concat"},
                     std::vector<std::string>{"--no-concat", "--concat"}}) {
    test::TempDir out;
    flags.insert(flags.end(), {"-O", out.path, "logs/s"});
    EXPECT_EQ(r.run(flags).status, 0);
    EXPECT_EQ(test::list_files(out.path).size(), 2u) << flags[0];
  }
  // Reading through a small window or straight from the file gives the same bytes.
  std::string expected;
  for (const char* buffer : {"--buffer=-1", "--buffer=0", "--buffer=100", "-b16"}) {
    test::TempDir out;
    std::vector<std::string> args = {buffer, "-O", out.path, "logs/s"};
    EXPECT_EQ(r.run(args).status, 0) << buffer;
    std::string text = test::read_text(
        out.path + "/000000AB_out/CAN1_EngineData/2023/11/07/00000005_00000003.csv");
    if (expected.empty()) expected = text;
    EXPECT_EQ(text, expected) << buffer;
  }
  EXPECT_EQ(expected, ENGINE_HEADER + engine_row(T0, 1) + engine_row(T0 + 1, 2));

  // An empty file is not buffered and is no MDF file; an unknown container type fails quietly.
  r.put("bad/empty.MF4", {});
  auto empty = r.run({"logs/bad/empty.MF4"});
  EXPECT_EQ(empty.status, 8);
  EXPECT_NE(empty.err.find("E Could not open MDF"), std::string::npos) << empty.err;
  auto unknown = test::make_compressed_container(engine_log(0xAB, 5, 3, {{0, 1}}), 0xAB);
  unknown[14] = 0x33;  // container type
  r.put("bad/unknown.MFM", unknown);
  auto quiet = r.run({"logs/bad/unknown.MFM"});
  EXPECT_EQ(quiet.status, 8);
  EXPECT_EQ(quiet.err.find("Could not"), std::string::npos) << quiet.err;
}

TEST(Conversion, MidnightStartsNewFilesUnderTheNewDate) {
  LogFolder r;
  r.put("x.MF4",
        engine_log(0xAB, 5, 3, {{0.5, 1}, {1.5, 2}}, NOV_7_2023 + 24 * HOUR - 1000000000ULL));
  EXPECT_EQ(r.run({"logs/x.MF4"}).status, 0);
  EXPECT_EQ(r.csv_files(), (std::vector<std::string>{
                               "000000AB_out/CAN1_EngineData/2023/11/07/00000005_00000003.csv",
                               "000000AB_out/CAN1_EngineData/2023/11/08/00000005_00000003.csv"}));
}

// Forty messages whose path part and header are short: every file of both days gets its own
// name, with its own rows, however the table of the log's files grows.
TEST(Conversion, MidnightWithManyShortNamedMessagesMisfilesNothing) {
  LogFolder r;
  std::string dbc = "VERSION \"\"\n\n";
  test::BusLogBuilder log;
  log.start_time_ns(NOV_7_2023 + 24 * HOUR - 1000000000ULL).metadata(0xAB, 5, 3);
  std::vector<std::string> expected;
  for (uint8_t i = 0; i < 40; ++i) {
    std::string name = "M" + std::to_string(i);
    dbc += "BO_ " + std::to_string(0x300 + i) + " " + name +
           ": 1 X\n SG_ a : 0|8@1+ (1,0) [0|0] \"\" X\n\n";
    for (const char* day : {"07", "08"})
      expected.push_back("000000AB_out/CAN1_" + name + "/2023/11/" + day +
                         "/00000005_00000003.csv");
  }
  // In time order: every file is first named before midnight, then again after it.
  for (double t : {0.25, 0.5, 1.5})
    for (uint8_t i = 0; i < 40; ++i) log.add_can_frame(1, 0x300 + i, false, {i}, t);
  test::write_file(r.dir.file("can1.dbc"), dbc);
  r.put("x.MF4", log.build());
  // Freed memory is overwritten at once (glibc), so a name read from it is never right by luck.
  auto result = test::run(
      "/usr/bin/env",
      {"GLIBC_TUNABLES=glibc.malloc.tcache_count=0:glibc.malloc.perturb=165", BINARY, "logs/x.MF4"},
      r.dir.path);
  EXPECT_EQ(result.status, 0) << result.err;
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(r.csv_files(), expected);
  for (uint8_t i = 0; i < 40; ++i) {
    std::string folder = "000000AB_out/CAN1_M" + std::to_string(i) + "/2023/11/";
    std::string value = "," + std::to_string(i) + ".000000\n";
    EXPECT_EQ(r.out(folder + "07/00000005_00000003.csv"),
              "t,a\n1699401599.250000" + value + "1699401599.500000" + value);
    EXPECT_EQ(r.out(folder + "08/00000005_00000003.csv"), "t,a\n1699401600.500000" + value);
  }
}

TEST(Conversion, ContainersAndPasswords) {
  LogFolder r;
  auto mf4 = engine_log(0x1A2B, 7, 1, {{0, 42}});
  std::string csv = "00001A2B_out/CAN1_EngineData/2023/11/07/00000007_00000001.csv";
  std::string expected = ENGINE_HEADER + engine_row(T0, 42);
  struct Case {
    std::string name;
    std::vector<uint8_t> bytes;
    std::string passwords;  // empty: no password file
    int status;
    std::string log;
  } cases[] = {
      {"compressed.MFC", test::make_compressed_container(mf4, 0x1A2B), "", 0,
       "I Found compressed file"},
      {"by_serial.MFE", test::make_encrypted_container(mf4, 0x1A2B, "pw", 1),
       "{\n  \"00001A2B\": \"pw\",\n  \"default\": \"other\"\n}\n", 0, "I Found encrypted file"},
      {"by_default.MFE", test::make_encrypted_container(mf4, 0x1A2B, "fallback", 1),
       "{\n  \"default\": \"fallback\"\n}\n", 0, "I Found encrypted file"},
      {"nested.MFE",
       test::make_encrypted_container(test::make_compressed_container(mf4, 0x1A2B, 10, 5), 0x1A2B,
                                      "pw", 1),
       "\"00001A2B\": \"pw\"\n", 0, "I Found compressed file"},
      {"no_password.MFE", test::make_encrypted_container(mf4, 0x1A2B, "pw", 1), "", 2,
       "E No password found for device 00001A2B"},
      {"wrong_password.MFE", test::make_encrypted_container(mf4, 0x1A2B, "pw", 1),
       "\"00001A2B\": \"nope\"\n", 2, "E Could not decrypt file"},
  };
  for (const Case& c : cases) {
    test::TempDir out;
    r.put(c.name, c.bytes);
    std::vector<std::string> args = {"--verbosity=3", "-O", out.path, "logs/" + c.name};
    if (!c.passwords.empty()) {
      test::write_file(r.dir.file("pw.json"), c.passwords);
      args.insert(args.begin(), "--password-file=pw.json");
    }
    auto result = r.run(args);
    EXPECT_EQ(result.status, c.status) << c.name << "\n" << result.err;
    EXPECT_NE(result.err.find(c.log), std::string::npos) << c.name << "\n" << result.err;
    if (c.status == 0) {
      EXPECT_EQ(test::read_text(out.path + "/" + csv), expected) << c.name;
    } else {
      EXPECT_TRUE(test::list_files(out.path).empty()) << c.name;
      EXPECT_NE(result.err.find("E Error during conversion of " + c.name), std::string::npos);
    }
  }

  // A damaged bit stream fails its CRC check: status 4.
  auto compressed = test::make_compressed_container(mf4, 0x1A2B);
  compressed[compressed.size() / 2] ^= 0x5A;
  r.put("damaged.MFC", compressed);
  auto damaged = r.run({"logs/damaged.MFC"});
  EXPECT_EQ(damaged.status, 4) << damaged.err;
  EXPECT_NE(damaged.err.find("E Could not decompress file"), std::string::npos);
}

TEST(Conversion, ContainersLargerThanTheirReadWindowMatchThePlainLog) {
  // About 2.8 MB of log: a container is read through a 1 MiB window by default, a plain file
  // whole; every way must give the same rows.
  std::vector<std::pair<double, uint8_t>> speeds;
  for (int i = 0; i < 100000; ++i) speeds.push_back({i * 0.001, static_cast<uint8_t>(i % 101)});
  auto mf4 = engine_log(0x1A2B, 7, 1, speeds);
  ASSERT_GT(mf4.size(), 2u << 20);
  LogFolder r;
  r.put("plain/00000001.MF4", mf4);
  r.put("compressed/00000001.MFC", test::make_compressed_container(mf4, 0x1A2B));
  r.put("encrypted/00000001.MFE", test::make_encrypted_container(mf4, 0x1A2B, "pw", 1));
  test::write_file(r.dir.file("pw.json"), std::string("{\n  \"default\": \"pw\"\n}\n"));
  std::string csv = "/00001A2B_out/CAN1_EngineData/2023/11/07/00000007_00000001.csv";
  std::string expected;
  for (const char* kind : {"plain", "compressed", "encrypted"}) {
    for (const char* buffer : {"--buffer=-1", "--buffer=4096"}) {
      test::TempDir out;
      auto result =
          r.run({buffer, "--password-file=pw.json", "-O", out.path, std::string("logs/") + kind});
      EXPECT_EQ(result.status, 0) << kind << " " << buffer << "\n" << result.err;
      std::string text = test::read_text(out.path + csv);
      if (expected.empty()) expected = text;
      EXPECT_EQ(text, expected) << kind << " " << buffer;
    }
  }
  EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 100001);
}

TEST(Conversion, NamesMultiplexorsSourceAddressesAndTwoDatabases) {
  LogFolder r;
  test::write_file(r.dir.file("j1939.dbc"), std::string(J1939_DBC));
  test::write_file(r.dir.file("second.dbc"), std::string(CAN_DBC_2));
  test::BusLogBuilder log;
  log.start_time_ns(NOV_7_2023 + HOUR).metadata(0xC0FFEE, 1, 1);
  log.add_can_frame(1, 0x100, false, {5, 100, 0, 0, 0, 0, 0, 0}, 0);
  log.add_can_frame(1, 0x200, false, {4, 9, 0, 0, 0, 0, 0, 0}, 1);   // Mode 4: Level
  log.add_can_frame(1, 0x200, false, {16, 7, 0, 0, 0, 0, 0, 0}, 2);  // Mode 16: Code
  log.add_can_frame(2, 0x0CF00421, true, {0, 0, 0, 0x40, 0x1F, 0, 0, 0}, 3);
  log.add_can_frame(2, 0x0CF00433, true, {0, 0, 0, 0x80, 0x3E, 0, 0, 0}, 4);
  log.add_can_frame(3, 0x100, false, {5, 100, 0, 0, 0, 0, 0, 0}, 5);  // no DBC on channel 3
  r.put("mixed.MF4", log.build());
  auto result = r.run({"--dbc-can1=can1.dbc", "--dbc-can1=second.dbc", "--dbc-can2=j1939.dbc",
                       "--verbosity=3", "logs/mixed.MF4"});
  ASSERT_EQ(result.status, 0) << result.err;
  std::string base = "00C0FFEE_out/";
  std::string tail = "/2023/11/07/00000001_00000001.csv";
  EXPECT_EQ(r.csv_files(),
            (std::vector<std::string>{
                base + "CAN1_EngineData" + tail, base + "CAN1_ModeMux_Mode_M03" + tail,
                base + "CAN1_ModeMux_Mode_M10" + tail, base + "CAN2_EEC1_S21" + tail,
                base + "CAN2_EEC1_S33" + tail}));
  // Both databases of channel 1 know EngineData with the same signal names: one file, a row
  // from each.
  EXPECT_EQ(r.out(base + "CAN1_EngineData" + tail),
            "t,Speed,Temp\n1699318800.000000,5.000000,10.000000\n"
            "1699318800.000000,10.000000,10.000000\n");
  EXPECT_EQ(r.out(base + "CAN1_ModeMux_Mode_M03" + tail),
            "t,Mode,Level\n1699318801.000000,4.000000,9.000000\n");
  EXPECT_EQ(r.out(base + "CAN1_ModeMux_Mode_M10" + tail),
            "t,Mode,Code\n1699318802.000000,16.000000,7.000000\n");
  EXPECT_EQ(r.out(base + "CAN2_EEC1_S21" + tail), "t,EngineSpeed\n1699318803.000000,1000.000000\n");
  EXPECT_EQ(r.out(base + "CAN2_EEC1_S33" + tail), "t,EngineSpeed\n1699318804.000000,2000.000000\n");
  EXPECT_NE(result.err.find("Input  statistics, files:      1, messages:        6, size: 0 MB"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("Output statistics, files:      5, messages:        6, signals: 10"),
            std::string::npos)
      << result.err;
}

TEST(Conversion, MissingInputAndDeleteConverted) {
  LogFolder r;
  auto missing = r.run({"--verbosity=2", "logs/gone.MF4"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("W Could not find input file/folder gone.MF4"), std::string::npos)
      << missing.err;

  r.put("keep/ok.MF4", engine_log(0xAB, 5, 3, {{0, 1}}));
  r.put("keep/torn.MF4", [] {
    std::vector<uint8_t> bytes = engine_log(0xAB, 5, 4, {{0, 1}});
    bytes.resize(64);  // the identification block only
    return bytes;
  }());
  auto result = r.run({"-d", "logs/keep"});
  EXPECT_EQ(result.status, 8) << result.err;
  EXPECT_NE(result.err.find("E Error during conversion of keep/torn.MF4"), std::string::npos)
      << result.err;
  EXPECT_FALSE(test::exists(r.logs + "/keep/ok.MF4"));
  EXPECT_TRUE(test::exists(r.logs + "/keep/torn.MF4"));

  // An output that cannot be written keeps the input, whatever --delete-converted says.
  test::TempDir out;
  test::write_file(out.path + "/000000AB_out", std::string("in the way"));
  r.put("keep2/ok.MF4", engine_log(0xAB, 5, 3, {{0, 1}}));
  auto blocked = r.run({"-d", "-O", out.path, "logs/keep2"});
  EXPECT_EQ(blocked.status, 8) << blocked.err;
  EXPECT_NE(blocked.err.find("E Could not create output writer"), std::string::npos) << blocked.err;
  EXPECT_TRUE(test::exists(r.logs + "/keep2/ok.MF4"));
}

// More output files than the process may open: the files that cannot be created are reported
// and the input counts as failed; nothing is silently lost.
TEST(Conversion, OpenFileLimitIsReportedNotSilent) {
  LogFolder r;
  std::string dbc = "VERSION \"\"\n\n";
  test::BusLogBuilder log;
  log.start_time_ns(NOV_7_2023 + HOUR).metadata(0xAB, 1, 1);
  for (uint32_t id = 1; id <= 40; ++id) {
    dbc += "BO_ " + std::to_string(id) + " M" + std::to_string(id) +
           ": 1 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n\n";
    log.add_can_frame(1, id, false, {static_cast<uint8_t>(id)}, id * 0.01);
  }
  test::write_file(r.dir.file("can1.dbc"), dbc);
  r.put("many.MF4", log.build());
  // A hard limit of 24 open files leaves room for fewer than 40 outputs.
  auto limited = test::run(
      "/bin/sh", {"-c", "ulimit -n 24 && exec " + BINARY + " -d logs/many.MF4"}, r.dir.path);
  EXPECT_EQ(limited.status, 8) << limited.err;
  EXPECT_NE(limited.err.find("E Could not create output writer"), std::string::npos) << limited.err;
  EXPECT_TRUE(test::exists(r.logs + "/many.MF4"));
  // Without the limit every message gets its file.
  test::TempDir out;
  auto full = r.run({"-O", out.path, "logs/many.MF4"});
  EXPECT_EQ(full.status, 0) << full.err;
  EXPECT_EQ(test::list_files(out.path).size(), 40u);
}

// Ten thousand small files in one folder: walked in name order and concatenated as one
// recording (consecutive splits), so the one output file holds every row in order.
TEST(Conversion, TenThousandFilesInOneFolder) {
  LogFolder r;
  constexpr uint32_t FILES = 10000;
  std::string expected = ENGINE_HEADER;
  for (uint32_t split = 1; split <= FILES; ++split) {
    char name[32];
    snprintf(name, sizeof name, "many/%05u.MF4", split);
    uint8_t speed = static_cast<uint8_t>(split % 100);
    r.put(name, engine_log(0xAB, 9, split, {{split * 0.001, speed}}));
    expected += engine_row(T0 + split * 0.001, speed);
  }
  auto result = r.run({"--verbosity=3", "logs/many"});
  EXPECT_EQ(result.status, 0) << result.err.substr(0, 2000);
  EXPECT_NE(result.err.find("Input  statistics, files:  10000, messages:    10000"),
            std::string::npos);
  EXPECT_EQ(r.csv_files(), std::vector<std::string>{
                               "000000AB_out/CAN1_EngineData/2023/11/07/00000009_00000001.csv"});
  EXPECT_EQ(r.out("000000AB_out/CAN1_EngineData/2023/11/07/00000009_00000001.csv"), expected);
}

// Thousands of outputs open at once: the soft limit of open files is raised for them.
TEST(Conversion, RaisesTheOpenFileLimitForThousandsOfOutputs) {
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 8192)
    GTEST_SKIP() << "the hard limit of open files is below 8192";
  LogFolder r;
  std::string dbc = "VERSION \"\"\n\n";
  test::BusLogBuilder log;
  log.start_time_ns(NOV_7_2023 + HOUR).metadata(0xAB, 1, 1);
  constexpr uint32_t MESSAGES = 8000;
  for (uint32_t id = 1; id <= MESSAGES; ++id) {
    uint32_t dbc_id = 0x80000000u | id;  // extended ids
    dbc += "BO_ " + std::to_string(dbc_id) + " M" + std::to_string(id) +
           ": 1 X\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n";
    log.add_can_frame(1, id, true, {static_cast<uint8_t>(id)}, id * 0.001);
  }
  test::write_file(r.dir.file("can1.dbc"), dbc);
  r.put("many.MF4", log.build());
  auto result = test::run("/bin/sh", {"-c", "ulimit -Sn 1024 && exec " + BINARY + " logs/many.MF4"},
                          r.dir.path);
  EXPECT_EQ(result.status, 0) << result.err.substr(0, 2000);
  EXPECT_EQ(r.csv_files().size(), MESSAGES);
}

}  // namespace
