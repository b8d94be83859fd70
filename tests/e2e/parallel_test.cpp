// End to end: large runs. A tree of logs from two devices with the usual trouble (concatenated
// splits, a missing split, a repeated file, a file across midnight, an encrypted file without
// password, a damaged file) converts to the same output whether it is split into shards.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/container_writer.h"
#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

const std::string BINARY = TABULON_BINARY;
constexpr uint64_t NOV_7_2023 = 1699315200ULL * 1000000000ULL;  // 2023-11-07 00:00:00 UTC
constexpr uint64_t SECOND = 1000000000ULL;

const char* const CAN_DBC =
    "VERSION \"\"\n\n"
    "BO_ 256 EngineData: 8 ECU\n"
    " SG_ Speed : 0|8@1+ (1,0) [0|200] \"km/h\" X\n"
    " SG_ Temp : 8|8@1+ (0.5,-40) [0|0] \"degC\" X\n\n"
    "BO_ 512 ModeMux: 8 ECU\n"
    " SG_ Mode M : 0|8@1+ (1,0) [0|255] \"\" X\n"
    " SG_ Level m1 : 8|8@1+ (1,0) [0|255] \"\" X\n"
    " SG_ Code m2 : 8|16@1+ (0.1,0) [0|100] \"\" X\n";

// `frames` frames of two messages from `start`, 10 ms apart, with payloads from `seed`.
std::vector<uint8_t> make_log(uint32_t serial, uint32_t session, uint32_t split, uint64_t start,
                              int frames, uint32_t seed) {
  test::BusLogBuilder log;
  log.start_time_ns(start).metadata(serial, session, split);
  uint32_t state = seed * 2654435761u + 1;
  for (int i = 0; i < frames; ++i) {
    state = state * 1103515245u + 12345u;
    auto byte = [&state](int shift) { return static_cast<uint8_t>(state >> shift); };
    if (i % 3 == 2)
      log.add_can_frame(1, 0x200, false,
                        {static_cast<uint8_t>(1 + i % 2), byte(8), byte(16), 0, 0, 0, 0, 0},
                        0.01 * i);
    else
      log.add_can_frame(1, 0x100, false, {byte(8), byte(16), 0, 0, 0, 0, 0, 0}, 0.01 * i);
  }
  return log.build();
}

// The tree below `logs`, every folder holding the files of one logging session or device.
void write_tree(const std::string& logs) {
  const uint64_t hour = 3600 * SECOND;
  auto put = [&logs](const std::string& name, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(test::write_file(logs + "/" + name, bytes));
  };
  // Device A, session 1: splits 1 to 3 concatenate, split 4 is missing, 5 starts a new set; a
  // byte-for-byte copy of split 2 follows it.
  for (uint32_t split : {1u, 2u, 3u, 5u})
    put("devA/s1/" + std::to_string(split) + ".MF4",
        make_log(0xA, 1, split, NOV_7_2023 + hour + split * 10 * SECOND, 400, split));
  put("devA/s1/2copy.MF4", test::read_file(logs + "/devA/s1/2.MF4"));
  // Device A, session 2: a compressed split, and a split whose rows pass midnight.
  put("devA/s2/1.MFC",
      test::make_compressed_container(make_log(0xA, 2, 1, NOV_7_2023 + 2 * hour, 300, 7), 0xA));
  put("devA/s2/2.MF4", make_log(0xA, 2, 2, NOV_7_2023 + 24 * hour - 2 * SECOND, 500, 8));
  // Device B: an encrypted file without password, a damaged file and two good splits.
  put("devB/1.MF4", make_log(0xB, 9, 1, NOV_7_2023 + 5 * hour, 250, 9));
  put("devB/2.MFE", test::make_encrypted_container(
                        make_log(0xB, 9, 2, NOV_7_2023 + 5 * hour, 10, 10), 0xB, "pw", 1));
  std::vector<uint8_t> damaged = make_log(0xB, 9, 3, NOV_7_2023 + 5 * hour, 100, 11);
  damaged.resize(damaged.size() / 3);
  put("devB/3.MF4", damaged);
  put("devB/4.MF4", make_log(0xB, 9, 4, NOV_7_2023 + 6 * hour, 250, 12));
  // A log directly in the folder given.
  put("loose.MF4", make_log(0xC, 1, 1, NOV_7_2023 + 7 * hour, 120, 13));
}

// Every file below `root` with its content.
std::map<std::string, std::string> read_tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const std::string& f : test::list_files(root)) tree[f] = test::read_text(root + "/" + f);
  return tree;
}

struct Workspace {
  test::TempDir dir;
  Workspace() {
    test::write_file(dir.file("can1.dbc"), std::string(CAN_DBC));
    write_tree(dir.file("logs"));
  }
  // Converts the logs into the fresh folder `out` with the extra arguments.
  test::RunResult convert(const std::string& out, std::vector<std::string> args) {
    test::make_dirs(dir.file(out));
    args.insert(args.end(), {"--dbc-can1=can1.dbc", "-O", out, "logs"});
    return test::run(BINARY, args, dir.path);
  }
};

TEST(Parallel, UnionOfShardsEqualsOneRun) {
  Workspace w;
  auto whole = w.convert("whole", {});
  EXPECT_EQ(whole.status, 2 | 8) << whole.err;
  auto expected = read_tree(w.dir.file("whole"));
  ASSERT_EQ(expected.size(), 21u);  // 7 output sets of 3 messages

  constexpr int SHARDS = 3;
  std::map<std::string, std::string> joined;
  int status = 0, shards_with_output = 0;
  for (int k = 1; k <= SHARDS; ++k) {
    std::string out = "shard" + std::to_string(k);
    auto run = w.convert(out, {"--shard=" + std::to_string(k) + "/" + std::to_string(SHARDS)});
    status |= run.status;
    auto tree = read_tree(w.dir.file(out));
    shards_with_output += !tree.empty();
    for (auto& [path, text] : tree) EXPECT_TRUE(joined.emplace(path, text).second) << path;
  }
  EXPECT_GE(shards_with_output, 2);
  EXPECT_EQ(joined, expected);
  EXPECT_EQ(status, whole.status);
}

}  // namespace
