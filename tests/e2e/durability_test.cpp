// End to end: nothing converted is lost and status 0 means everything was converted. A later
// output set never truncates earlier rows, a repeated input is kept unless it is a copy, a
// second run on one output folder is refused, unwritable outputs are reported once per file,
// a failing write leaves whole rows and keeps the input, and a rerun after a kill at any
// moment ends with the tree of an uninterrupted run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

const std::string BINARY = TABULON_BINARY;
const std::string HOOKED = TABULON_HOOKED_BINARY;
constexpr uint64_t NOV_7_2023 = 1699315200ULL * 1000000000ULL;  // 2023-11-07 00:00:00 UTC
constexpr uint64_t HOUR = 3600ULL * 1000000000ULL;

// EngineData 0x100 (Speed, Temp) and Gear 0x200 (Gear): two files per output set.
const char* const CAN_DBC =
    "VERSION \"\"\n\n"
    "BO_ 256 EngineData: 8 ECU\n"
    " SG_ Speed : 0|8@1+ (1,0) [0|255] \"km/h\" X\n"
    " SG_ Temp : 8|8@1+ (0.5,-40) [0|0] \"degC\" X\n\n"
    "BO_ 512 Gear: 8 ECU\n"
    " SG_ Gear : 0|8@1+ (1,0) [0|0] \"\" X\n";

// `frames` frames of both messages, 1 ms apart, from `start`; `seed` varies the bytes.
std::vector<uint8_t> log_file(uint32_t session, uint32_t split, int frames, uint8_t seed,
                              uint64_t start = NOV_7_2023 + HOUR) {
  test::BusLogBuilder log;
  log.start_time_ns(start).metadata(0xAB, session, split);
  for (int i = 0; i < frames; ++i) {
    uint8_t v = static_cast<uint8_t>(seed + i);
    log.add_can_frame(1, i % 3 ? 0x100 : 0x200, false, {v, 100, 0, 0, 0, 0, 0, 0}, 0.001 * i);
  }
  return log.build();
}

using Tree = std::map<std::string, std::string>;

// The files that differ between two trees, with their sizes.
std::string difference(const Tree& got, const Tree& expected) {
  std::string text;
  for (auto& [file, content] : got) {
    auto it = expected.find(file);
    if (it == expected.end()) {
      text += "unexpected " + file + "\n";
    } else if (it->second != content) {
      text += file + ": " + std::to_string(content.size()) + " bytes instead of " +
              std::to_string(it->second.size()) + "\n";
    }
  }
  for (auto& [file, content] : expected)
    if (!got.count(file)) text += "missing " + file + "\n";
  return text;
}

int occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// Every file below `root` with its content.
Tree read_tree(const std::string& root) {
  Tree tree;
  for (const std::string& file : test::list_files(root))
    tree[file] = test::read_text(root + "/" + file);
  return tree;
}

struct Workspace {
  test::TempDir dir;
  std::string in = dir.file("in"), out = dir.file("out");
  Workspace() {
    test::make_dirs(in);
    test::make_dirs(out);
    test::write_file(dir.file("can1.dbc"), std::string(CAN_DBC));
  }
  void put(const std::string& relative, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(test::write_file(in + "/" + relative, bytes));
  }
  test::RunResult run(std::vector<std::string> args, const std::string& program = BINARY) {
    return test::run(program, args, dir.path);
  }
  test::RunResult run_hooked(const std::string& environment, std::vector<std::string> args) {
    std::string command = environment + " exec " + HOOKED;
    for (const std::string& a : args) command += " '" + a + "'";
    return test::run("/bin/sh", {"-c", command}, dir.path);
  }
};

// A later log that repeats an earlier one's output names (a copy in another folder) writes to
// new files; the earlier rows stay. A rerun replaces its own earlier output.
TEST(Durability, LaterOutputSetsNeverTruncateEarlierRows) {
  Workspace w;
  auto x = log_file(5, 3, 30, 1), y = log_file(5, 4, 30, 50, NOV_7_2023 + 2 * HOUR);
  w.put("a/x.MF4", x);
  w.put("a/y.MF4", y);
  w.put("b/x.MF4", x);
  auto first = w.run({"-O", "out", "-d", "in"});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(test::list_files(w.in).empty());
  Tree tree = read_tree(w.out);
  const std::string engine = "000000AB_out/CAN1_EngineData/2023/11/07/00000005_00000003";
  ASSERT_EQ(tree.size(), 4u);
  std::string copy_rows = tree[engine + "_2.csv"];
  EXPECT_EQ(std::count(copy_rows.begin(), copy_rows.end(), '\n'), 1 + 20);
  // The first file holds x's rows, then y's: the copy's rows again after them.
  EXPECT_EQ(tree[engine + ".csv"].substr(0, copy_rows.size()), copy_rows);
  EXPECT_EQ(std::count(tree[engine + ".csv"].begin(), tree[engine + ".csv"].end(), '\n'), 1 + 40);

  w.put("a/x.MF4", x);
  w.put("a/y.MF4", y);
  w.put("b/x.MF4", x);
  auto again = w.run({"-O", "out", "in"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(read_tree(w.out), tree);
}

// A repeated input (the serial, session and split of the one before it) counts as converted
// and is deleted only when it is byte for byte that input; otherwise it is kept, named with the
// input it repeats, and the status says that not everything was converted.
TEST(Durability, RepeatedInputIsKeptUnlessItIsACopy) {
  Workspace w;
  auto split4 = log_file(5, 4, 6, 20);
  w.put("s/1.MF4", log_file(5, 3, 6, 10));
  w.put("s/2.MF4", split4);
  w.put("s/3.MF4", split4);                 // a copy: compared with 2.MF4, which still exists
  w.put("s/4.MF4", log_file(5, 4, 6, 90));  // other frames under the same numbers
  w.put("s/5.MF4", log_file(5, 5, 6, 30));
  auto result = w.run({"--verbosity=2", "-d", "-O", "out", "in"});
  EXPECT_EQ(result.status, 8) << result.err;
  EXPECT_EQ(test::list_files(w.in), std::vector<std::string>{"s/4.MF4"});
  EXPECT_NE(result.err.find("W Input file in/s/4.MF4 repeats the serial, session and split of "
                            "in/s/3.MF4, but differs from it: it is kept and its frames are not "
                            "converted"),
            std::string::npos)
      << result.err;
  Tree tree = read_tree(w.out);
  ASSERT_EQ(tree.size(), 2u);
  // Splits 3, 4 and 5 once each: 4 rows of EngineData per file.
  std::string engine = tree["000000AB_out/CAN1_EngineData/2023/11/07/00000005_00000003.csv"];
  EXPECT_EQ(std::count(engine.begin(), engine.end(), '\n'), 1 + 3 * 4) << engine;
}

// A log cut short (or still being copied) is refused with the block and the bytes it lacks, and
// a log that changes between its opening and its deletion is kept: neither is ever deleted.
TEST(Durability, InputCutShortOrStillGrowingIsKept) {
  Workspace w;
  std::vector<uint8_t> whole = log_file(5, 3, 600, 1);
  std::string bytes(whole.begin(), whole.end());
  size_t dt = bytes.rfind("##DT");
  ASSERT_NE(dt, std::string::npos);
  uint64_t dt_length;
  memcpy(&dt_length, whole.data() + dt + 8, 8);
  ASSERT_EQ(dt + dt_length, whole.size());  // the data block ends the file
  w.put("a/cut.MF4", std::vector<uint8_t>(whole.begin(), whole.end() - 100));
  auto cut = w.run({"-d", "-O", "out", "in/a"});
  EXPECT_EQ(cut.status, 8) << cut.err;
  char line[160];
  snprintf(line, sizeof line,
           "E DT block at 0x%zX: its data runs 100 bytes past the end of the file (cut short, or "
           "still being copied)\n",
           dt);
  EXPECT_NE(cut.err.find(line), std::string::npos) << cut.err;
  EXPECT_TRUE(test::exists(w.in + "/a/cut.MF4"));

  w.put("b/growing.MF4", whole);
  ASSERT_TRUE(test::make_dirs(w.dir.file("out2")));
  auto growing = w.run_hooked("TABULON_TEST_GROW=in/b/growing.MF4",
                              {"-d", "-O", "out2", "in/b"});  // shown by default
  EXPECT_EQ(growing.status, 0) << growing.err;
  EXPECT_NE(growing.err.find("W Input file b/growing.MF4 is kept: its size or modification "
                             "time is not what it was when it was opened for conversion"),
            std::string::npos)
      << growing.err;
  EXPECT_TRUE(test::exists(w.in + "/b/growing.MF4"));
}

// Links planted in the output folder (at an output file, at a folder of outputs, at the
// journal's fresh copy) never lead the run's writes outside it; the run says what failed.
TEST(Durability, LinksPlantedInTheOutputFolderAreNotFollowed) {
  Workspace w;
  w.put("x.MF4", log_file(5, 3, 6, 1));
  ASSERT_TRUE(test::write_file(w.dir.file("victim"), std::string("precious\n")));
  ASSERT_TRUE(test::make_dirs(w.dir.file("elsewhere")));
  ASSERT_EQ(symlink(w.dir.file("victim").c_str(), (w.out + "/.tabulon-journal.new").c_str()), 0);
  auto journal = w.run({"-O", "out", "in"});
  EXPECT_EQ(journal.status, 136) << journal.err;
  EXPECT_EQ(test::read_text(w.dir.file("victim")), "precious\n");
  ASSERT_EQ(unlink((w.out + "/.tabulon-journal.new").c_str()), 0);

  std::string day = w.out + "/000000AB_out/CAN1_EngineData/2023/11/07";
  ASSERT_TRUE(test::make_dirs(day));
  ASSERT_EQ(symlink(w.dir.file("victim").c_str(), (day + "/00000005_00000003.csv").c_str()), 0);
  ASSERT_EQ(symlink(w.dir.file("elsewhere").c_str(), (w.out + "/000000AB_out/CAN1_Gear").c_str()),
            0);
  auto outputs = w.run({"-O", "out", "in"});
  EXPECT_EQ(outputs.status, 8) << outputs.err;
  EXPECT_EQ(test::read_text(w.dir.file("victim")), "precious\n");
  EXPECT_TRUE(test::list_files(w.dir.file("elsewhere")).empty());
  EXPECT_NE(outputs.err.find("E Output folder 000000AB_out/CAN1_Gear is a symbolic link: nothing "
                             "is written through it\n"),
            std::string::npos)
      << outputs.err;
  EXPECT_NE(outputs.err.find("000000AB_out/CAN1_EngineData/2023/11/07/00000005_00000003.csv"),
            std::string::npos)
      << outputs.err;
}

// An output folder moved away (or removed) while the run writes it: no input is deleted.
TEST(Durability, OutputFolderGoneMidRunKeepsTheInputs) {
  Workspace w;
  w.put("x.MF4", log_file(5, 3, 6, 1));
  w.put("y.MF4", log_file(6, 3, 6, 2));
  auto moved = w.run_hooked("TABULON_TEST_MOVE=out:gone", {"-d", "-O", "out", "in"});
  EXPECT_NE(moved.status, 0) << moved.err;
  EXPECT_NE(moved.err.find("E The output folder " + w.out +
                           "/ is no longer the one this run writes to (removed or replaced)"),
            std::string::npos)
      << moved.err;
  EXPECT_EQ(test::list_files(w.in), (std::vector<std::string>{"x.MF4", "y.MF4"}));
}

// A run whose output folder another run holds is refused before it touches anything.
TEST(Durability, SecondRunOnTheOutputFolderIsRefused) {
  Workspace w;
  w.put("x.MF4", log_file(5, 3, 6, 1));
  int held = open(w.out.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  auto refused = w.run({"-d", "-O", "out", "in"});
  EXPECT_EQ(refused.status, 136);
  EXPECT_NE(refused.err.find("F Another run is converting into the output folder " + w.out +
                             "/; try again when it has ended"),
            std::string::npos)
      << refused.err;
  EXPECT_TRUE(test::exists(w.in + "/x.MF4"));
  EXPECT_TRUE(test::list_files(w.out).empty());
  close(held);
  auto alone = w.run({"-d", "-O", "out", "in"});
  EXPECT_EQ(alone.status, 0) << alone.err;
  EXPECT_EQ(test::list_files(w.out).size(), 2u);  // no lock or journal file left behind
}

// An output that cannot be created is reported once, with its path (no "//" in it), however
// many frames it would have taken.
TEST(Durability, UncreatableOutputIsReportedOncePerFile) {
  Workspace w;
  w.put("x.MF4", log_file(5, 3, 600, 1));
  test::write_file(w.out + "/000000AB_out", std::string("in the way"));
  auto result = w.run({"-O", "out/", "in/"});
  EXPECT_EQ(result.status, 8);
  std::string folder = w.out + "/000000AB_out/";
  for (const char* message : {"CAN1_EngineData", "CAN1_Gear"})
    EXPECT_EQ(occurrences(result.err, "E Could not create output writer for " + folder + message +
                                          "/2023/11/07/00000005_00000003.csv: Not a directory\n"),
              1)
        << result.err;
  EXPECT_EQ(occurrences(result.err, "Could not create"), 2) << result.err;
  EXPECT_EQ(result.err.find("//"), std::string::npos) << result.err;
}

// Inputs whose rows go through several buffer fills, concatenated splits, a copy of a split,
// a new output set, a midnight, a log without session and split (an output set of its own,
// named after it, over a midnight) and a repeated input with other frames (kept, status 8).
struct RunCase {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs;
  RunCase(int frames) {
    auto split3 = log_file(5, 3, frames, 3, NOV_7_2023 + HOUR + 1200 * HOUR / 3600);
    inputs = {
        {"d/01.MF4", log_file(5, 1, frames, 1)},
        {"d/02.MF4", log_file(5, 2, frames, 2, NOV_7_2023 + HOUR + 600 * HOUR / 3600)},
        {"d/03.MF4", split3},
        {"d/04.MF4", split3},
        {"d/05.MF4", log_file(5, 5, frames, 5, NOV_7_2023 + 2 * HOUR)},
        {"e/05 trip-1.v2.MF4", log_file(0, 0, frames, 9, NOV_7_2023 + 48 * HOUR - HOUR / 36000)},
        {"e/06.MF4", log_file(6, 1, frames, 6, NOV_7_2023 + 24 * HOUR - HOUR / 18000)},
        {"e/07.MF4", log_file(6, 1, frames, 7, NOV_7_2023 + 24 * HOUR)},
    };
  }
  void put(Workspace& w) const {
    for (auto& [name, bytes] : inputs) w.put(name, bytes);
  }
};

// The whole rows of a CSV text that belong to the input with index `i` of a RunCase (by their
// times) are all in `text`.
bool holds_rows_of(const std::string& reference, const std::string& text, int input) {
  const double starts[] = {3600, 4200, 4800, 4800, 7200, 172799.9, 86399.5, 86400};
  size_t at = reference.find('\n');
  while (at != std::string::npos && at + 1 < reference.size()) {
    size_t end = reference.find('\n', at + 1);
    std::string row = reference.substr(at + 1, end - at);
    double t = std::stod(row) - 1699315200.0;
    bool mine = t >= starts[input] && t < starts[input] + 30;
    if (mine && text.find(row) == std::string::npos) return false;
    at = end;
  }
  return true;
}

long count_from(const std::string& err, const std::string& label) {
  size_t at = err.find(label);
  return at == std::string::npos ? 0 : std::stol(err.substr(at + label.size()));
}

// A write that fails at any point (a full disk that frees up again) or a failing sync: every
// file holds whole rows that an undisturbed run writes too, every input deleted has all its
// rows in the files, and the status says that not everything was converted.
TEST(FaultInjection, EveryFailingWriteOrSyncLeavesWholeRowsAndKeepsTheInput) {
  RunCase inputs(200);
  const std::vector<std::string> args = {"-d", "-O", "out", "in"};
  Workspace reference;
  inputs.put(reference);
  auto undisturbed = reference.run_hooked("TABULON_TEST_COUNT=1", args);
  ASSERT_EQ(undisturbed.status, 8) << undisturbed.err;
  Tree expected = read_tree(reference.out);
  long writes = count_from(undisturbed.err, "write calls: ");
  long syncs = count_from(undisturbed.err, "sync calls: ");
  ASSERT_GT(writes, 30);
  ASSERT_GE(syncs, 1);
  for (long n = 1; n <= writes + syncs; ++n) {
    std::string fault = n <= writes ? "TABULON_TEST_FAIL_WRITE=" + std::to_string(n)
                                    : "TABULON_TEST_FAIL_SYNC=" + std::to_string(n - writes);
    Workspace w;
    inputs.put(w);
    auto result = w.run_hooked(fault, args);
    Tree tree = read_tree(w.out);
    if (result.status == 136) {
      // The journal could not be made: nothing was converted, nothing deleted.
      EXPECT_TRUE(tree.empty()) << fault;
      EXPECT_EQ(test::list_files(w.in).size(), inputs.inputs.size()) << fault;
      continue;
    }
    EXPECT_EQ(result.status, 8) << fault;
    // Inputs are deleted only after the output was made durable.
    if (n > writes) {
      EXPECT_EQ(test::list_files(w.in).size(), inputs.inputs.size()) << fault;
    }
    for (auto& [file, text] : tree) {
      ASSERT_TRUE(expected.count(file)) << fault << " " << file;
      EXPECT_EQ(expected[file].substr(0, text.size()), text) << fault << " " << file;
      EXPECT_TRUE(text.empty() || text.back() == '\n') << fault << " " << file;
    }
    for (size_t i = 0; i < inputs.inputs.size(); ++i) {
      if (test::exists(w.in + "/" + inputs.inputs[i].first)) continue;
      for (auto& [file, text] : expected)
        EXPECT_TRUE(holds_rows_of(text, tree[file], static_cast<int>(i)))
            << fault << ": " << inputs.inputs[i].first << " deleted, rows missing in " << file;
    }
  }
}

// Killed at a random write (seeded), sometimes killed again while resuming, then run to the
// end: the output tree and the inputs left are those of a run that was never killed, with and
// without --delete-converted, and so is the status.
TEST(KillAndRerun, OutputEqualsAnUninterruptedRun) {
  RunCase inputs(400);
  for (bool deleting : {false, true}) {
    std::vector<std::string> args = {"-O", "out", "in"};
    if (deleting) args.insert(args.begin(), "-d");
    Workspace reference;
    inputs.put(reference);
    auto undisturbed = reference.run_hooked("TABULON_TEST_COUNT=1", args);
    ASSERT_EQ(undisturbed.status, 8) << undisturbed.err;
    long writes = count_from(undisturbed.err, "write calls: ");
    ASSERT_GT(writes, 40);
    Tree expected = read_tree(reference.out);
    std::vector<std::string> left = test::list_files(reference.in);
    std::mt19937 random(deleting ? 7 : 3);
    std::uniform_int_distribution<long> pick(1, writes);
    for (int trial = 0; trial < 40; ++trial) {
      Workspace w;
      inputs.put(w);
      long at = pick(random);
      std::string context =
          (deleting ? "-d, killed at write " : "killed at write ") + std::to_string(at);
      EXPECT_EQ(w.run_hooked("TABULON_TEST_KILL_WRITE=" + std::to_string(at), args).status, -1)
          << context;
      test::RunResult rerun;
      if (trial % 3 == 0) {
        long again = pick(random);
        context += ", then at " + std::to_string(again);
        // The resumed run may end before that write: it is then the last run.
        rerun = w.run_hooked("TABULON_TEST_KILL_WRITE=" + std::to_string(again), args);
      }
      if (rerun.status == -1) rerun = w.run(args);
      EXPECT_EQ(rerun.status, undisturbed.status) << context << "\n" << rerun.err;
      EXPECT_TRUE(read_tree(w.out) == expected) << context << "\n"
                                                << difference(read_tree(w.out), expected);
      EXPECT_EQ(test::list_files(w.in), left) << context;
    }
  }
}

}  // namespace

namespace {

// Every file of the reference tree with rows of an input that `w` no longer holds has them
// somewhere in `w`'s output.
void expect_no_rows_lost(const RunCase& inputs, Workspace& w, const Tree& expected,
                         const std::string& context) {
  std::string all;
  for (auto& [file, text] : read_tree(w.out)) all += text;
  for (size_t i = 0; i < inputs.inputs.size(); ++i) {
    if (test::exists(w.in + "/" + inputs.inputs[i].first)) continue;
    for (auto& [file, text] : expected)
      EXPECT_TRUE(holds_rows_of(text, all, static_cast<int>(i)))
          << context << ": " << inputs.inputs[i].first << " deleted, rows missing of " << file;
  }
}

// Every input gone from `w` at a kill has its rows in finished Parquet files only: each file
// that holds rows of it (as `csv`, the CSV tree of the same run, tells) is already the file
// the undisturbed run ends with.
void expect_deleted_only_with_finished_files(const RunCase& inputs, Workspace& w, const Tree& csv,
                                             const Tree& expected, const std::string& context) {
  Tree killed = read_tree(w.out);
  for (size_t i = 0; i < inputs.inputs.size(); ++i) {
    if (test::exists(w.in + "/" + inputs.inputs[i].first)) continue;
    for (auto& [file, text] : csv) {
      if (holds_rows_of(text, "", static_cast<int>(i))) continue;  // none of its rows
      std::string parquet = file.substr(0, file.size() - 4) + ".parquet";
      EXPECT_TRUE(killed[parquet] == expected.at(parquet))
          << context << ": " << inputs.inputs[i].first << " deleted before " << parquet
          << " was finished";
    }
  }
}

// Whether every file of the tree holds rows of one time form only (ISO or seconds).
bool one_time_form_per_file(const Tree& tree) {
  for (auto& [file, content] : tree) {
    bool iso = content.find("\n2023-") != std::string::npos;
    bool unix = content.find("\n1699") != std::string::npos;
    if (iso && unix) return false;
  }
  return true;
}

}  // namespace

// A damaged or forged journal (a "new" line removed, a "done" record added for any file) is
// not replayed: the rerun cuts nothing back, deletes nothing for it, warns with the line, and
// converts what is left into fresh names beside the outputs that are there.
TEST(KillAndRerun, DamagedOrForgedJournalIsNotReplayed) {
  RunCase inputs(200);
  const std::vector<std::string> args = {"-d", "-O", "out", "in"};
  Workspace reference;
  inputs.put(reference);
  auto undisturbed = reference.run_hooked("TABULON_TEST_COUNT=1", args);
  long writes = count_from(undisturbed.err, "write calls: ");
  Tree expected = read_tree(reference.out);
  for (const char* fault : {"new removed", "done forged"}) {
    Workspace w;
    inputs.put(w);
    ASSERT_TRUE(test::write_file(w.in + "/notes.txt", std::string("not a log\n")));
    w.run_hooked("TABULON_TEST_KILL_WRITE=" + std::to_string(writes - 3), args);
    ASSERT_LE(test::list_files(w.in).size(), inputs.inputs.size()) << "nothing deleted yet";
    std::string journal = test::read_text(w.out + "/.tabulon-journal");
    size_t at = journal.find("\nnew ");
    ASSERT_NE(at, std::string::npos);
    if (fault == std::string("new removed")) {
      journal.erase(at + 1, journal.find('\n', at + 1) - at);
    } else {
      journal += "done 0 1 1 10 0 notes.txt\n";
    }
    ASSERT_TRUE(test::write_file(w.out + "/.tabulon-journal", journal));
    Tree killed = read_tree(w.out);
    auto rerun = w.run(args);
    EXPECT_GE(rerun.status, 0) << fault;
    EXPECT_NE(
        rerun.err.find(" W The journal " + w.out + "/.tabulon-journal failed its check at line"),
        std::string::npos)
        << fault << "\n"
        << rerun.err;
    EXPECT_TRUE(test::exists(w.in + "/notes.txt")) << fault;
    Tree after = read_tree(w.out);
    for (auto& [file, text] : killed) {
      if (file == ".tabulon-journal") continue;
      EXPECT_EQ(after[file], text) << fault << " " << file;
    }
    expect_no_rows_lost(inputs, w, expected, fault);
  }
}

// An input replaced between the kill and the rerun, after the killed run converted it but
// before it deleted it, is converted again: it is deleted only with its new rows in the output.
TEST(KillAndRerun, InputReplacedSinceTheKillIsConvertedAgain) {
  RunCase inputs(200);
  const std::vector<std::string> args = {"-d", "-O", "out", "in"};
  auto replacement = log_file(9, 1, 200, 77, NOV_7_2023 + 10 * HOUR);
  Workspace alone;
  alone.put("d/01.MF4", replacement);
  ASSERT_EQ(alone.run(args).status, 0);
  Tree replaced_rows = read_tree(alone.out);
  bool met = false;
  Workspace counted;
  inputs.put(counted);
  long writes = count_from(counted.run_hooked("TABULON_TEST_COUNT=1", args).err, "write calls: ");
  for (long at = 3; at < writes && !met; ++at) {
    Workspace w;
    inputs.put(w);
    w.run_hooked("TABULON_TEST_KILL_WRITE=" + std::to_string(at), args);
    std::string journal = test::read_text(w.out + "/.tabulon-journal");
    // Converted, waiting for its deletion, still there.
    size_t done = journal.find("\ndone 0 1 1 ");
    if (done == std::string::npos ||
        journal.substr(done, journal.find('\n', done + 1) - done).find(" in/d/01.MF4 ") ==
            std::string::npos ||
        journal.find("removed in/d/01.MF4") != std::string::npos ||
        !test::exists(w.in + "/d/01.MF4"))
      continue;
    met = true;
    w.put("d/01.MF4", replacement);
    auto rerun = w.run(args);
    EXPECT_NE(
        rerun.err.find("Input file in/d/01.MF4 has changed since the interrupted run converted "
                       "it: it is converted again"),
        std::string::npos)
        << rerun.err;
    std::string all;
    for (auto& [file, text] : read_tree(w.out)) all += text;
    if (test::exists(w.in + "/d/01.MF4")) continue;
    for (auto& [file, text] : replaced_rows)
      EXPECT_NE(all.find(text.substr(text.find('\n') + 1)), std::string::npos)
          << "killed at write " << at << ": d/01.MF4 deleted without its rows in " << file;
  }
  EXPECT_TRUE(met) << "no kill left d/01.MF4 converted and waiting for its deletion";
}

// A FIFO in the journal's place is refused at once (it would block the run).
TEST(KillAndRerun, JournalThatIsAFifoIsRefused) {
  Workspace w;
  w.put("x.MF4", log_file(5, 3, 10, 1));
  ASSERT_EQ(mkfifo((w.out + "/.tabulon-journal").c_str(), 0600), 0);
  auto result = w.run({"-O", "out", "in"});
  EXPECT_EQ(result.status, 136);
  EXPECT_NE(result.err.find("is no regular file"), std::string::npos) << result.err;
  EXPECT_TRUE(test::exists(w.in + "/x.MF4"));
}

// Killed runs with the output options (value texts, ISO times, a signal selection; in CSV and
// in Parquet, whose unfinished files keep their STRING columns) resume into the same output as
// a run that was never killed; a rerun with other options does not resume, so no file holds
// rows of two shapes.
TEST(KillAndRerun, OutputOptionsResumeOnlyWithTheSameOptions) {
  RunCase inputs(60);
  const std::string dbc = std::string(CAN_DBC) + "VAL_ 512 Gear 1 \"One, first\" 2 \"Two\" ;\n";
  for (const char* format : {"--format=csv", "--format=parquet"}) {
    std::vector<std::string> args = {
        format, "--values=text", "--time=iso", "--signals=EngineData.Speed,Gear",
        "-O",   "out",           "in"};
    Workspace reference;
    test::write_file(reference.dir.file("can1.dbc"), dbc);
    inputs.put(reference);
    auto undisturbed = reference.run_hooked("TABULON_TEST_COUNT=1", args);
    long writes = count_from(undisturbed.err, "write calls: ");
    ASSERT_GT(writes, 10) << undisturbed.err;
    Tree expected = read_tree(reference.out);
    for (long at = writes / 7; at < writes; at += writes / 7) {
      Workspace w;
      test::write_file(w.dir.file("can1.dbc"), dbc);
      inputs.put(w);
      std::string context = std::string(format) + ", killed at write " + std::to_string(at);
      ASSERT_EQ(w.run_hooked("TABULON_TEST_KILL_WRITE=" + std::to_string(at), args).status, -1)
          << context;
      auto rerun = w.run(args);
      EXPECT_EQ(rerun.status, undisturbed.status) << context << "\n" << rerun.err;
      EXPECT_TRUE(read_tree(w.out) == expected) << context << "\n"
                                                << difference(read_tree(w.out), expected);
    }
  }
  Workspace w;
  test::write_file(w.dir.file("can1.dbc"), dbc);
  inputs.put(w);
  std::vector<std::string> iso = {"--time=iso", "-O", "out", "in"};
  ASSERT_EQ(w.run_hooked("TABULON_TEST_KILL_WRITE=20", iso).status, -1);
  auto other = w.run({"--verbosity=2", "-O", "out", "in"});
  EXPECT_NE(other.err.find("it is not resumed"), std::string::npos) << other.err;
  EXPECT_TRUE(one_time_form_per_file(read_tree(w.out)));
}

// A Parquet run over several output sets killed at any write (a footer half written, a set
// closed but not yet journaled, a row group cut short) resumes into exactly the files of a run
// that was never killed. With --delete-converted over concatenated sets, an input is gone at a
// kill only once every file with its rows is finished, and the rerun leaves the same inputs.
TEST(KillAndRerun, ParquetRunKilledAtAnyWriteResumesExactly) {
  RunCase inputs(20);
  for (bool deleting : {false, true}) {
    std::vector<std::string> args = {"-O", "out", "in"};
    if (deleting) args.insert(args.begin(), {"-d", "--concat"});
    Workspace csv_reference;
    inputs.put(csv_reference);
    csv_reference.run(args);
    Tree csv = read_tree(csv_reference.out);
    args.insert(args.begin(), "--format=parquet");
    Workspace reference;
    inputs.put(reference);
    // Inputs are deleted as soon as one waits, not only at the end of this short run.
    std::string hooks = deleting ? "TABULON_TEST_DELETE_BATCH=1 " : "";
    auto undisturbed = reference.run_hooked(hooks + "TABULON_TEST_COUNT=1", args);
    Tree expected = read_tree(reference.out);
    std::vector<std::string> left = test::list_files(reference.in);
    long writes = count_from(undisturbed.err, "write calls: ");
    ASSERT_GT(writes, 20) << undisturbed.err;
    for (long at = 1; at < writes; ++at) {
      Workspace w;
      inputs.put(w);
      std::string context =
          (deleting ? "-d, killed at write " : "killed at write ") + std::to_string(at);
      ASSERT_EQ(w.run_hooked(hooks + "TABULON_TEST_KILL_WRITE=" + std::to_string(at), args).status,
                -1);
      if (deleting) expect_deleted_only_with_finished_files(inputs, w, csv, expected, context);
      auto rerun = w.run(args);
      EXPECT_EQ(rerun.status, undisturbed.status) << context << "\n" << rerun.err;
      EXPECT_TRUE(read_tree(w.out) == expected) << context;
      EXPECT_EQ(test::list_files(w.in), left) << context;
    }
  }
}
