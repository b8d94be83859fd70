// End to end: large runs. A tree of logs from four devices with the usual trouble (concatenated
// splits, a missing split, a repeated file, a file across midnight, an encrypted file without
// password, a damaged file) and inputs that several threads read in ranges of their records
// (signal data, compressed blocks, a short signal-data block, a damaged compressed block)
// converts to the same output, log and status with any number of jobs, and to the same output
// when it is split into shards.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/container_writer.h"
#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

const std::string BINARY = TABULON_BINARY;
const std::string HOOKED = TABULON_HOOKED_BINARY;
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

// `frames` frames of two messages from `start`, 10 ms apart, with payloads from `seed`, in
// data blocks of the given form; with `strays`, every seventh frame goes to CAN 2, which has
// no DBC file, and remote frames come between them.
std::vector<uint8_t> make_log(uint32_t serial, uint32_t session, uint32_t split, uint64_t start,
                              int frames, uint32_t seed,
                              test::DataStorage storage = test::DataStorage::Auto,
                              test::DataBlocks blocks = test::DataBlocks::Plain,
                              bool strays = false) {
  test::BusLogBuilder log;
  log.start_time_ns(start).metadata(serial, session, split).can_data_storage(storage);
  if (blocks != test::DataBlocks::Plain) log.data_blocks(blocks, 2048);
  if (strays)
    for (int i = 0; i < frames / 10; ++i) log.add_can_remote_frame(1, 0x100, false, 8, 0.1 * i);
  uint32_t state = seed * 2654435761u + 1;
  for (int i = 0; i < frames; ++i) {
    state = state * 1103515245u + 12345u;
    auto byte = [&state](int shift) { return static_cast<uint8_t>(state >> shift); };
    if (strays && i % 7 == 0)
      log.add_can_frame(2, 0x100, false, {byte(8), 0, 0, 0, 0, 0, 0, 0}, 0.01 * i);
    else if (i % 3 == 2)
      log.add_can_frame(1, 0x200, false,
                        {static_cast<uint8_t>(1 + i % 2), byte(8), byte(16), 0, 0, 0, 0, 0},
                        0.01 * i);
    else
      log.add_can_frame(1, 0x100, false, {byte(8), byte(16), 0, 0, 0, 0, 0, 0}, 0.01 * i);
  }
  return log.build();
}

// The offset of the n-th (from 0) block with the identifier, or npos.
size_t find_block(const std::vector<uint8_t>& bytes, const char* id, int n) {
  std::string text(bytes.begin(), bytes.end());
  size_t at = text.find(id);
  for (; at != std::string::npos && n > 0; --n) at = text.find(id, at + 1);
  return at;
}

// Halves the data of the first block with the identifier (its length field), so that what
// refers to its second half finds nothing.
void shorten_block(std::vector<uint8_t>& bytes, const char* id, int divisor) {
  size_t at = find_block(bytes, id, 0);
  ASSERT_NE(at, std::string::npos);
  uint64_t length;
  memcpy(&length, &bytes[at + 8], 8);
  length = 24 + (length - 24) / static_cast<uint64_t>(divisor);
  memcpy(&bytes[at + 8], &length, 8);
}

// Overwrites the middle of the deflate stream of the n-th block with the identifier.
void damage_block(std::vector<uint8_t>& bytes, const char* id, int n) {
  size_t at = find_block(bytes, id, n);
  ASSERT_NE(at, std::string::npos);
  uint64_t length;
  memcpy(&length, &bytes[at + 8], 8);
  for (size_t i = at + 48 + (length - 48) / 2; i < at + 48 + (length - 48) / 2 + 16; ++i)
    bytes[i] ^= 0x5A;
}

// Renames the CAN_DataFrame.ESI channel (0 in every frame of make_log) "__samples_origin", as
// a writer that concatenates files adds it: a channel of no frame field, which the conversion
// warns about once when it opens the file, however many parts then read it.
void add_samples_origin(std::vector<uint8_t>& bytes) {
  std::string text(bytes.begin(), bytes.end());
  const std::string esi = std::string("CAN_DataFrame.ESI") + '\0';
  size_t at = text.find(esi);
  ASSERT_NE(at, std::string::npos);
  const std::string origin = std::string("__samples_origin") + '\0' + '\0';
  memcpy(&bytes[at], origin.data(), origin.size());
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
  std::vector<uint8_t> warned = make_log(0xB, 9, 4, NOV_7_2023 + 6 * hour, 250, 12);
  add_samples_origin(warned);
  put("devB/4.MF4", warned);
  // A log directly in the folder given.
  put("loose.MF4", make_log(0xC, 1, 1, NOV_7_2023 + 7 * hour, 120, 13));
  // Device D, large enough to be read in parts: payloads in signal data, then records in
  // compressed blocks; one session over both.
  using test::DataBlocks, test::DataStorage;
  put("devD/1.MF4", make_log(0xD, 3, 1, NOV_7_2023 + 8 * hour, 3000, 14, DataStorage::SignalData,
                             DataBlocks::Plain, true));
  put("devD/2.MF4", make_log(0xD, 3, 2, NOV_7_2023 + 9 * hour, 3000, 15, DataStorage::Fixed,
                             DataBlocks::HeaderList));
  // Device E: a signal-data block cut short (records refer past its end: one warning), and a
  // compressed block damaged in the middle of the records (reading stops there).
  std::vector<uint8_t> short_sd =
      make_log(0xE, 4, 1, NOV_7_2023 + 10 * hour, 3000, 16, DataStorage::SignalData);
  shorten_block(short_sd, "##SD", 2);
  put("devE/1.MF4", short_sd);
  std::vector<uint8_t> broken_dz = make_log(0xE, 4, 2, NOV_7_2023 + 11 * hour, 3000, 17,
                                            DataStorage::Fixed, DataBlocks::Deflate);
  damage_block(broken_dz, "##DZ", 4);
  put("devE/2.MF4", broken_dz);
  // A log without the logger's metadata: an output set of its own, below its own name.
  test::BusLogBuilder anonymous;
  anonymous.comment_xml("<HDcomment><TX>bench</TX></HDcomment>").start_time_ns(NOV_7_2023);
  for (int i = 0; i < 200; ++i)
    anonymous.add_can_frame(1, 0x100, false, {static_cast<uint8_t>(i), 7, 0, 0, 0, 0, 0, 0},
                            0.5 * i);
  put("devF/trip.MF4", anonymous.build());
}

// Every file below `root` with its content.
std::map<std::string, std::string> read_tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const std::string& f : test::list_files(root)) tree[f] = test::read_text(root + "/" + f);
  return tree;
}

// The log without what differs from run to run: each line's time stamp and process and thread
// identifiers, and the execution time.
std::string mask_log(const std::string& text) {
  std::string masked;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t level = line.find_first_of("VDIWEF", 19);
    if (level != std::string::npos && level + 1 < line.size() && line[level + 1] == ' ')
      line = line.substr(level);
    if (line.rfind("I Execution time: ", 0) == 0) line = "I Execution time";
    if (line.rfind("Done. ", 0) == 0) line = line.substr(0, line.find(" CSV files in "));
    masked += line + "\n";
  }
  return masked;
}

struct Workspace {
  test::TempDir dir;
  Workspace() {
    test::write_file(dir.file("can1.dbc"), std::string(CAN_DBC));
    write_tree(dir.file("logs"));
  }
  // Converts the logs into the fresh folder `out` with the extra arguments; with `split`, by
  // the test build, which reads inputs of 4 KiB or more in parts of about 1 KiB of records.
  test::RunResult convert(const std::string& out, std::vector<std::string> args,
                          bool split = false) {
    test::make_dirs(dir.file(out));
    args.insert(args.end(), {"--dbc-can1=can1.dbc", "-O", out, "logs"});
    if (!split) return test::run(BINARY, args, dir.path);
    std::string command = "TABULON_TEST_SPLIT=4096:1024 exec " + HOOKED;
    for (const std::string& a : args) command += " '" + a + "'";
    return test::run("/bin/sh", {"-c", command}, dir.path);
  }
};

TEST(Parallel, AnyNumberOfJobsGivesTheOutputLogAndStatusOfOne) {
  Workspace w;
  auto one = w.convert("one", {"--jobs=1", "--verbosity=3"});
  EXPECT_EQ(one.status, 2 | 8) << one.err;
  auto expected = read_tree(w.dir.file("one"));
  // 9 output sets of 3 messages and the file of the log without metadata: the frames whose
  // payloads lie past the cut signal data cannot be read, and give no rows (of zeros).
  ASSERT_EQ(expected.size(), 28u);
  // The short signal data warns once, the damaged block fails its input, the frames without
  // DBC file are told.
  EXPECT_NE(one.err.find("no DBC file for CAN 2 (429 frames)"), std::string::npos) << one.err;
  size_t warning = one.err.find("refers to variable-length bytes");
  EXPECT_NE(warning, std::string::npos) << one.err;
  EXPECT_EQ(one.err.find("refers to variable-length bytes", warning + 1), std::string::npos);
  EXPECT_NE(one.err.find("Error during conversion of logs/devE/2.MF4"), std::string::npos);
  EXPECT_NE(one.err.find("W logs/devB/4.MF4: group CAN_DataFrame: channel \"__samples_origin\" is "
                         "ignored (no frame field)"),
            std::string::npos)
      << one.err;
  struct Run {
    const char* jobs;
    bool split;
  } runs[] = {{"--jobs=2", false}, {"--jobs=5", false}, {"--jobs=2", true}, {"--jobs=3", true}};
  for (const Run& r : runs) {
    std::string out = std::string(r.jobs + 2) + (r.split ? "split" : "");
    auto many = w.convert(out, {r.jobs, "--verbosity=3"}, r.split);
    EXPECT_EQ(many.status, one.status) << out;
    EXPECT_EQ(read_tree(w.dir.file(out)), expected) << out;
    // Every line in its place: the files in walk order, each file's lines together.
    EXPECT_EQ(mask_log(many.err), mask_log(one.err)) << out;
  }
}

TEST(Parallel, DeleteConvertedRemovesTheSameInputsWithAnyNumberOfJobs) {
  Workspace one_job, two_jobs;
  auto one = one_job.convert("out", {"--jobs=1", "-d"});
  auto two = two_jobs.convert("out", {"--jobs=2", "-d"});
  EXPECT_EQ(one.status, 2 | 8) << one.err;
  EXPECT_EQ(two.status, one.status) << two.err;
  std::vector<std::string> kept = test::list_files(one_job.dir.file("logs"));
  // Only the failed files stay: the byte-for-byte copy of a converted split counts as converted.
  EXPECT_EQ(kept, (std::vector<std::string>{"devB/2.MFE", "devB/3.MF4", "devE/2.MF4"}));
  EXPECT_EQ(test::list_files(two_jobs.dir.file("logs")), kept);
  EXPECT_EQ(read_tree(two_jobs.dir.file("out")), read_tree(one_job.dir.file("out")));
}

TEST(Parallel, UnionOfShardsEqualsOneRun) {
  Workspace w;
  auto whole = w.convert("whole", {});
  EXPECT_EQ(whole.status, 2 | 8) << whole.err;
  auto expected = read_tree(w.dir.file("whole"));
  ASSERT_EQ(expected.size(), 28u);

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
