// The output options through the program: value-table texts in CSV cells (--values=text), ISO
// row times (--time=iso) and the signal selection (--signals) with its frame accounting.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

using json = nlohmann::json;

constexpr uint64_t START_S = 1699437600;  // 2023-11-08 10:00:00 UTC

struct Workspace {
  test::TempDir dir;
  explicit Workspace(const std::string& dbc) {
    test::make_dirs(dir.file("logs"));
    test::make_dirs(dir.file("out"));
    test::write_file(dir.file("can1.dbc"), dbc);
  }
  void write_log(test::BusLogBuilder& log) {
    log.start_time_ns(START_S * 1000000000ULL).metadata(0x0A, 1, 1);
    test::write_file(dir.file("logs/a.MF4"), log.build());
  }
  test::RunResult run(std::vector<std::string> args) {
    args.insert(args.end(), {"--non-interactive", "-O", dir.file("out"), "logs"});
    return test::run(TABULON_BINARY, args, dir.path);
  }
  std::string csv(const std::string& message) {
    return test::read_text(
        dir.file("out/0000000A_out/CAN1_" + message + "/2023/11/08/00000001_00000001.csv"));
  }
};

// Gear is signed and scaled: its table is looked up by the raw value, not the physical one.
const char* const VALUE_DBC =
    "VERSION \"\"\n\n"
    "BO_ 256 EngineData: 8 ECU\n"
    " SG_ Speed : 0|8@1+ (1,0) [0|0] \"km/h\" X\n"
    " SG_ Gear : 8|8@1- (2,0) [0|0] \"\" X\n\n"
    "VAL_ 256 Gear -1 \"Reverse\" 0 \"Neutral\" 1 \"First, low\" 2 \"say \\\"hi\\\"\" ;\n";

TEST(OutputOptions, ValueTextsReplaceNumbersWhereTheTableHasAnEntry) {
  Workspace w(VALUE_DBC);
  test::BusLogBuilder log;
  const uint8_t gears[] = {0xFF, 0, 1, 2, 7};
  for (int i = 0; i < 5; ++i)
    log.add_can_frame(1, 0x100, false, {static_cast<uint8_t>(10 + i), gears[i], 0, 0, 0, 0, 0, 0},
                      i);
  w.write_log(log);
  auto r = w.run({"--values=text"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(w.csv("EngineData"),
            "t,Speed,Gear\n"
            "1699437600.000000,10.000000,Reverse\n"
            "1699437601.000000,11.000000,Neutral\n"
            "1699437602.000000,12.000000,\"First, low\"\n"
            "1699437603.000000,13.000000,\"say \"\"hi\"\"\"\n"
            "1699437604.000000,14.000000,14.000000\n");
}

TEST(OutputOptions, IsoTimesNameTheSameMicrosecondInUtc) {
  Workspace w(VALUE_DBC);
  test::BusLogBuilder log;
  log.add_can_frame(1, 0x100, false, {1, 0, 0, 0, 0, 0, 0, 0}, 0.25);
  log.add_can_frame(1, 0x100, false, {2, 1, 0, 0, 0, 0, 0, 0}, 3723.5);  // 1 h 2 min 3.5 s on
  w.write_log(log);
  auto r = w.run({"--time=iso"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(w.csv("EngineData"),
            "t,Speed,Gear\n"
            "2023-11-08T10:00:00.250000Z,1.000000,0.000000\n"
            "2023-11-08T11:02:03.500000Z,2.000000,2.000000\n");
  EXPECT_EQ(w.run({"--time=local"}).status, 131);
}

const char* const SELECTION_DBC =
    "VERSION \"\"\n\n"
    "BO_ 256 EngineData: 8 ECU\n"
    " SG_ Speed : 0|8@1+ (1,0) [0|0] \"\" X\n"
    " SG_ Gear : 8|8@1+ (1,0) [0|0] \"\" X\n\n"
    "BO_ 512 Body: 8 ECU\n"
    " SG_ DoorFL : 0|8@1+ (1,0) [0|0] \"\" X\n"
    " SG_ Light : 8|8@1+ (1,0) [0|0] \"\" X\n\n"
    "BO_ 768 Climate: 8 ECU\n"
    " SG_ Temp : 0|8@1+ (1,0) [0|0] \"\" X\n";

TEST(OutputOptions, SignalPatternsKeepMessagesAndSignalsAndCountTheRestAsFiltered) {
  Workspace w(SELECTION_DBC);
  test::BusLogBuilder log;
  for (int i = 0; i < 2; ++i) {
    log.add_can_frame(1, 0x100, false, {1, 2, 0, 0, 0, 0, 0, 0}, i);
    log.add_can_frame(1, 0x200, false, {3, 4, 0, 0, 0, 0, 0, 0}, i + 0.5);
  }
  for (int i = 0; i < 3; ++i) log.add_can_frame(1, 0x300, false, {5, 0, 0, 0, 0, 0, 0, 0}, i + 3);
  w.write_log(log);
  auto r = w.run({"--signals=EngineData,Body.Door*", "--signals=Nothing*", "--summary=s.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(w.csv("EngineData"),
            "t,Speed,Gear\n1699437600.000000,1.000000,2.000000\n"
            "1699437601.000000,1.000000,2.000000\n");
  EXPECT_EQ(w.csv("Body"), "t,DoorFL\n1699437600.500000,3.000000\n1699437601.500000,3.000000\n");
  EXPECT_FALSE(test::exists(w.dir.file("out/0000000A_out/CAN1_Climate")));

  // The pattern that matches nothing is named once, at the default verbosity.
  std::string warning = "--signals: pattern \"Nothing*\" matches no message or signal";
  size_t at = r.err.find(warning);
  EXPECT_NE(at, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(warning, at + 1), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("EngineData,Body"), std::string::npos) << r.err;

  json s = json::parse(test::read_text(w.dir.file("s.json")));
  const json& frames = s["inputs"][0]["frames"];
  EXPECT_EQ(frames["read"], 7) << frames.dump();
  EXPECT_EQ(frames["decoded"], 4) << frames.dump();
  EXPECT_EQ(frames["filtered"], 3) << frames.dump();
  EXPECT_EQ(frames["unknown_id"], 0) << frames.dump();
  EXPECT_NE(r.err.find("3 frames on CAN 1 of messages that --signals leaves out"),
            std::string::npos)
      << r.err;
}

}  // namespace
