// The run summary (--summary): every input found with its status, message, frames by fate,
// rows and outputs, the totals, and a summary after a run that failed in its set-up.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/container_writer.h"
#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

using json = nlohmann::json;

const char* const DBC =
    "VERSION \"\"\n\n"
    "BO_ 256 EngineData: 8 ECU\n"
    " SG_ Speed : 0|8@1+ (1,0) [0|100] \"km/h\" X\n";

struct Workspace {
  test::TempDir dir;
  Workspace() {
    test::make_dirs(dir.file("logs"));
    test::make_dirs(dir.file("out"));
    test::write_file(dir.file("can1.dbc"), std::string(DBC));
  }
  test::RunResult run(std::vector<std::string> args) {
    return test::run(TABULON_BINARY, args, dir.path);
  }
  json summary() { return json::parse(test::read_text(dir.file("summary.json"))); }
};

// `read` is the sum of the fates, for an input and for the totals.
void expect_read_is_sum(const json& frames) {
  uint64_t sum = 0;
  for (const auto& [name, count] : frames.items())
    if (name != "read") sum += count.get<uint64_t>();
  EXPECT_EQ(frames["read"].get<uint64_t>(), sum) << frames.dump();
}

TEST(Summary, EveryInputAndEveryFrameIsAccountedFor) {
  Workspace w;
  test::BusLogBuilder log;
  log.start_time_ns(1699315200ULL * 1000000000ULL).metadata(0x0A, 1, 1);
  for (int i = 0; i < 3; ++i) log.add_can_frame(1, 0x100, false, {10, 0, 0, 0, 0, 0, 0, 0}, i);
  log.add_can_frame(1, 0x100, false, {10, 0, 0, 0}, 3.0);             // another length
  log.add_can_frame(1, 0x300, false, {1, 2, 3, 4, 5, 6, 7, 8}, 4.0);  // an unknown id
  log.add_can_frame(1, 0x301, false, {1, 2, 3, 4, 5, 6, 7, 8}, 4.5);
  log.add_can_frame(2, 0x100, false, {10, 0, 0, 0, 0, 0, 0, 0}, 5.0);  // no DBC for CAN 2
  log.add_can_frame(2, 0x100, false, {10, 0, 0, 0, 0, 0, 0, 0}, 5.5);
  log.add_can_remote_frame(1, 0x100, false, 8, 6.0);
  std::vector<uint8_t> mf4 = log.build();
  test::write_file(w.dir.file("logs/a.MF4"), mf4);
  test::write_file(w.dir.file("logs/b.MFE"), test::make_encrypted_container(mf4, 0x0A, "pw", 1));
  test::write_file(w.dir.file("logs/notes.txt"), std::string("not a log"));

  auto r = w.run({"--summary=summary.json", "-O", w.dir.file("out"), "logs"});
  EXPECT_EQ(r.status, 2) << r.err;
  json s = w.summary();
  EXPECT_EQ(s["version"], 1);
  EXPECT_EQ(s["status"], 2);
  ASSERT_EQ(s["inputs"].size(), 2u) << s.dump(2);

  const json& a = s["inputs"][0];
  EXPECT_EQ(a["path"], w.dir.file("logs/a.MF4"));
  EXPECT_EQ(a["status"], 0);
  EXPECT_EQ(a["message"], "");
  EXPECT_EQ(a["frames"], json::parse(R"({"read": 9, "decoded": 3, "no_dbc": 2, "unknown_id": 2,
      "length_mismatch": 1, "out_of_range": 0, "bad_time": 0, "unreadable": 0, "not_data": 1,
      "filtered": 0})"));
  EXPECT_EQ(a["rows"], 3);
  EXPECT_EQ(a["outputs"], json::array({w.dir.file("out/0000000A_out/CAN1_EngineData/2023/11/07/"
                                                  "00000001_00000001.csv")}));

  const json& b = s["inputs"][1];
  EXPECT_EQ(b["path"], w.dir.file("logs/b.MFE"));
  EXPECT_EQ(b["status"], 2);
  EXPECT_NE(b["message"].get<std::string>().find("No password found for device 0000000A"),
            std::string::npos)
      << b.dump();
  EXPECT_EQ(b["frames"]["read"], 0);
  EXPECT_EQ(b["outputs"], json::array());

  EXPECT_EQ(s["totals"]["frames"], a["frames"]);
  EXPECT_EQ(s["totals"]["inputs"], 2);
  EXPECT_EQ(s["totals"]["outputs"], 1);
  EXPECT_EQ(s["totals"]["rows"], 3);
  for (const json& input : s["inputs"]) expect_read_is_sum(input["frames"]);
  expect_read_is_sum(s["totals"]["frames"]);
  // The closing line names the largest fates with their channels.
  EXPECT_NE(r.err.find("Frames: 9 read, 3 decoded; 2 frames on CAN 1 with an id that no message "
                       "of its DBC files has, 2 frames on CAN 2 without a DBC file, 1 frame "),
            std::string::npos)
      << r.err;
}

// A run that fails in its set-up still leaves a summary that says why.
TEST(Summary, WrittenAfterASetUpFailure) {
  Workspace w;
  test::write_file(w.dir.file("bad.dbc"),
                   std::string("BA_DEF_ \"BusType\" STRING;\nBA_ \"BusType\" \"FlexRay\";\n"));
  auto r = w.run({"--summary=summary.json", "--dbc-can1=bad.dbc", "logs"});
  EXPECT_EQ(r.status, 136) << r.err;
  json s = w.summary();
  EXPECT_EQ(s["status"], 136);
  EXPECT_NE(s["message"].get<std::string>().find("bad.dbc"), std::string::npos) << s.dump();
  EXPECT_EQ(s["inputs"], json::array());
  // Command-line mistakes end before any run: no summary.
  std::remove(w.dir.file("summary.json").c_str());
  EXPECT_EQ(w.run({"--summary=summary.json", "--jobs=0", "logs"}).status, 131);
  EXPECT_FALSE(test::exists(w.dir.file("summary.json")));
}

// Two message names that make one folder name are said at the default verbosity; the paths stay.
TEST(Summary, MessagesSharingAFolderAreSaid) {
  Workspace w;
  test::write_file(w.dir.file("can1.dbc"),
                   std::string("VERSION \"\"\n\n"
                               "BO_ 256 Engine_Data: 8 ECU\n SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n\n"
                               "BO_ 257 EngineData: 8 ECU\n SG_ B : 0|8@1+ (1,0) [0|0] \"\" X\n"));
  test::BusLogBuilder log;
  log.start_time_ns(1699315200ULL * 1000000000ULL).metadata(0x0A, 1, 1);
  log.add_can_frame(1, 0x100, false, {1, 0, 0, 0, 0, 0, 0, 0}, 0.0);
  log.add_can_frame(1, 0x101, false, {2, 0, 0, 0, 0, 0, 0, 0}, 1.0);
  test::write_file(w.dir.file("logs/a.MF4"), log.build());
  auto r = w.run({"--summary=summary.json", "-O", w.dir.file("out"), "logs"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(" E Messages Engine_Data and EngineData of CAN 1 share the output folder "
                       "CAN1_EngineData: "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(test::list_files(w.dir.file("out/0000000A_out/CAN1_EngineData/2023/11/07")),
            (std::vector<std::string>{"00000001_00000001.csv", "00000001_00000001_2.csv"}));
}

}  // namespace
