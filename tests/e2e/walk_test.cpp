// End to end: the folder walk ends on loops of symbolic links and walks each folder once,
// reports what it cannot reach with a status a script can test, and converts logs whose paths
// are longer than the system's limit on path length.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

const std::string BINARY = TABULON_BINARY;
constexpr uint64_t NOV_7_2023_HOUR_1 = (1699315200ULL + 3600ULL) * 1000000000ULL;

const char* const CAN_DBC =
    "VERSION \"\"\n\n"
    "BO_ 256 EngineData: 8 ECU\n"
    " SG_ Speed : 0|8@1+ (1,0) [0|100] \"km/h\" X\n";

// One frame of EngineData with the given speed, from session 5, split 1 of the device.
std::vector<uint8_t> engine_log(uint32_t serial, uint8_t speed) {
  test::BusLogBuilder log;
  log.start_time_ns(NOV_7_2023_HOUR_1).metadata(serial, 5, 1);
  log.add_can_frame(1, 0x100, false, {speed, 0, 0, 0, 0, 0, 0, 0}, 0.25);
  return log.build();
}

// The output file of a device's engine_log below the output folder, and its whole text.
std::string engine_csv(uint32_t serial) {
  char path[96];
  snprintf(path, sizeof path, "%08X_out/CAN1_EngineData/2023/11/07/00000005_00000001.csv", serial);
  return path;
}
std::string engine_text(uint8_t speed) {
  return "t,Speed\n1699318800.250000," + std::to_string(speed) + ".000000\n";
}

struct WalkFolder {
  test::TempDir dir;
  WalkFolder() { test::write_file(dir.file("can1.dbc"), std::string(CAN_DBC)); }
  void put(const std::string& relative, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(test::write_file(dir.file(relative), bytes));
  }
  void link(const std::string& target, const std::string& relative) {
    ASSERT_EQ(symlink(target.c_str(), dir.file(relative).c_str()), 0) << relative;
  }
  // A walk that does not end fails the test (status 124) instead of hanging it. With a
  // `user` (a user id), the run drops to that user first.
  test::RunResult run(const std::vector<std::string>& inputs, const std::string& user = "") {
    std::vector<std::string> args = {"60", BINARY, "--non-interactive", "--verbosity=3"};
    args.insert(args.end(), inputs.begin(), inputs.end());
    if (user.empty()) return test::run("/usr/bin/timeout", args, dir.path);
    args.insert(args.begin(),
                {"--reuid=" + user, "--regid=" + user, "--clear-groups", "/usr/bin/timeout"});
    return test::run("/usr/bin/setpriv", args, dir.path);
  }
  std::vector<std::string> csv_files() {
    std::vector<std::string> csv;
    for (auto& f : test::list_files(dir.path))
      if (f.ends_with(".csv")) csv.push_back(f);
    return csv;
  }
};

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(Walk, SymbolicLinkLoopsAndSecondLinksAreWalkedOnce) {
  WalkFolder w;
  w.put("in/1.MF4", engine_log(0xA1, 1));
  w.put("in/sub/2.MF4", engine_log(0xA2, 2));
  w.put("other/3.MF4", engine_log(0xA3, 3));
  w.link(".", "in/s1");
  w.link(".", "in/s2");
  w.link("..", "in/sub/up");
  w.link("../other", "in/elsewhere");  // a folder elsewhere is still walked ...
  w.link("../other", "in/zz_again");   // ... once

  auto result = w.run({"in"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(w.csv_files(),
            (std::vector<std::string>{engine_csv(0xA1), engine_csv(0xA2), engine_csv(0xA3)}));
  EXPECT_EQ(count(result.err, "Input  statistics, files:      3,"), 1u) << result.err;
  for (const char* line :
       {"W Skipping in/s1: it leads back to folder in, which contains it (a loop)\n",
        "W Skipping in/s2: it leads back to folder in, which contains it (a loop)\n",
        "W Skipping in/sub/up: it leads back to folder in, which contains it (a loop)\n",
        "W Skipping in/zz_again: it leads to folder in/elsewhere, which was walked already\n"})
    EXPECT_EQ(count(result.err, line), 1u) << line << result.err;
  EXPECT_EQ(count(result.err, "W Skipping"), 4u) << result.err;
}

// A log without the logger's metadata is named after its path from the common root: "in/a/.."
// has the root in/a/, and with -X the log's name would be ../x_MF4, outside the output folder.
TEST(Walk, InputPathWithDotDotStaysInsideTheOutputFolder) {
  WalkFolder w;
  test::BusLogBuilder anonymous;
  anonymous.comment_xml("<HDcomment><TX>bench</TX></HDcomment>").start_time_ns(NOV_7_2023_HOUR_1);
  anonymous.add_can_frame(1, 0x100, false, {9, 0, 0, 0, 0, 0, 0, 0}, 0.25);
  w.put("in/x.MF4", anonymous.build());
  ASSERT_TRUE(test::make_dirs(w.dir.file("in/a")) && test::make_dirs(w.dir.file("out")));

  auto result = w.run({"-X", "-O", "out", "in/a/.."});
  ASSERT_EQ(result.status, 0) << result.err;
  // As for naming in/ itself: its name, then the file's.
  std::string csv = "out/in/x_MF4/CAN1_EngineData/2023/11/07/00000000_00000000.csv";
  EXPECT_EQ(w.csv_files(), std::vector<std::string>{csv});
  EXPECT_EQ(test::read_text(w.dir.file(csv)), engine_text(9));
}

TEST(Walk, UnlistableFolderIsReportedAndTheRestConverted) {
  WalkFolder w;
  w.put("in/a/1.MF4", engine_log(0xB1, 1));
  w.put("in/locked/2.MF4", engine_log(0xB2, 2));
  w.put("in/z/3.MF4", engine_log(0xB3, 3));
  ASSERT_EQ(chmod(w.dir.file("in/locked").c_str(), 0), 0);
  // Permissions do not bind a privileged user: as root the walk runs as "nobody" (65534), in a
  // folder that user may write to.
  std::string user;
  if (DIR* probe = opendir(w.dir.file("in/locked").c_str())) {
    closedir(probe);
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
      GTEST_SKIP() << "folder permissions do not apply to this user";
    ASSERT_EQ(chmod(w.dir.path.c_str(), 0777), 0);
    user = "65534";
  }
  auto result = w.run({"in"}, user);
  EXPECT_EQ(result.status, 129) << result.err;
  EXPECT_EQ(count(result.err, "E Could not list folder in/locked: Permission denied\n"), 1u)
      << result.err;
  ASSERT_EQ(chmod(w.dir.file("in/locked").c_str(), 0755), 0);  // so that the outputs can be listed
  EXPECT_EQ(w.csv_files(), (std::vector<std::string>{engine_csv(0xB1), engine_csv(0xB3)}));
}

// Folder `from` to folder `to` - 1 of a chain of folders with 31-byte names, one in the other.
std::string chain(int from, int to) {
  std::string path;
  for (int i = from; i < to; ++i)
    path += (i > from ? "/" : "") + ("a_folder_with_a_longer_name_" + std::to_string(100 + i));
  return path;
}

TEST(Walk, PathsBeyondTheSystemLimit) {
  WalkFolder w;
  // 200 nested folders, 6,400 bytes of path beyond the system's limit of 4,096: made as two
  // halves of 100 folders, the second then moved into the first.
  const std::string upper = "in/" + chain(0, 100), lower = chain(100, 200);
  const std::string top = lower.substr(0, lower.find('/'));
  ASSERT_TRUE(test::make_dirs(w.dir.file(upper)));
  w.put(lower + "/1.MF4", engine_log(0xC1, 7));
  ASSERT_EQ(rename(w.dir.file(top).c_str(), w.dir.file(upper + "/" + top).c_str()), 0);

  // Walked into from a short input path; the outputs land beside the input folder.
  auto walked = w.run({"in"});
  EXPECT_EQ(walked.status, 0) << walked.err;
  EXPECT_EQ(test::read_text(w.dir.file(engine_csv(0xC1))), engine_text(7));

  // Given as the input itself: the common root, and so the output folder, is folder 199.
  auto given = w.run({w.dir.file(upper + "/" + lower)});
  EXPECT_EQ(given.status, 0) << given.err;
  ASSERT_EQ(rename(w.dir.file(upper + "/" + top).c_str(), w.dir.file(top).c_str()), 0);
  std::string root = lower.substr(0, lower.rfind('/'));  // within reach again
  EXPECT_EQ(test::read_text(w.dir.file(root + "/" + engine_csv(0xC1))), engine_text(7));
}

}  // namespace
