// The journal: what a killed run's records let the next run repair and resume, including
// input names with any bytes, a record cut off by the kill, and another run's journal.
#include "output/journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "io/fs_root.h"
#include "support/log_capture.h"
#include "support/test_util.h"

namespace {

constexpr uint64_t FINGERPRINT = 0x1234;

struct Folder {
  test::TempDir dir;
  FsRoot* root = fs_root_create(dir.path);
  ~Folder() { fs_root_release(root); }
  std::string journal() const { return dir.file(JOURNAL_NAME); }
};

// A journal's text from lines without their checksums (the header first), each checksum chained
// from the line before as the writer does.
std::string signed_journal(const std::vector<std::string>& lines) {
  std::string text;
  uLong chain = 0;
  for (const std::string& line : lines) {
    chain = crc32(chain, reinterpret_cast<const Bytef*>(line.data()), line.size());
    char checksum[16];
    snprintf(checksum, sizeof checksum, " %08lx\n", chain);
    text += line + checksum;
  }
  return text;
}

// The lines of a journal's text without their checksums.
std::vector<std::string> unsigned_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(text.substr(at, end - at - 9));
  return lines;
}

// Records what a run does up to the middle of its third input, then "kills" it: the journal
// file is kept as the run left it.
std::string killed_run(Folder& f) {
  Journal* j = journal_open(f.root, FINGERPRINT);
  EXPECT_NE(j, nullptr);
  EXPECT_TRUE(test::write_file(f.dir.file("a.csv"), std::string("t,x\n1,2\n")));
  journal_begin(j, "odd \\name\nwith line feed.MF4");
  journal_output_set(j, 0xAB, 5, 3, 2023, 11, 7, "");
  journal_new_file(j, 17, 99, 1, "a");
  journal_previous(j, "odd \\name\nwith line feed.MF4");
  journal_last(j, 0xAB, 5, 3);
  journal_rows(j, 8, "a");
  const FileStamp stamp{1, 2, 300, 4};
  EXPECT_TRUE(journal_done(j, "odd \\name\nwith line feed.MF4", 0, true, &stamp));
  journal_begin(j, "second.MF4");
  journal_previous(j, "second.MF4");
  EXPECT_TRUE(journal_done(j, "second.MF4", 8, false, nullptr));
  journal_begin(j, "third.MF4");
  journal_touch(j, 8, "a");
  EXPECT_TRUE(test::write_file(f.dir.file("a.csv"), std::string("t,x\n1,2\n3,4\n")));
  journal_output_set(j, 0xAB, 5, 4, 2023, 11, 8, "");
  journal_new_file(j, 18, 98, 1, "b");
  EXPECT_TRUE(test::write_file(f.dir.file("b.csv"), std::string("t,y\n5,6\n")));
  std::string text = test::read_text(f.journal());
  journal_close(j);
  EXPECT_FALSE(test::exists(f.journal()));
  // The kill tore the last record.
  EXPECT_TRUE(test::write_file(f.journal(), text + "touch 4 c"));
  return text;
}

TEST(Journal, RerunCutsBackTheUnfinishedInputAndResumes) {
  Folder f;
  killed_run(f);
  test::LogCapture log;
  Journal* j = journal_open(f.root, FINGERPRINT);
  ASSERT_NE(j, nullptr);
  EXPECT_TRUE(j->resumed);
  EXPECT_TRUE(
      log.contains(" W Resuming the interrupted run: 1 inputs already converted, 2 files "
                   "cut back\n"))
      << log.text();
  EXPECT_TRUE(
      log.contains(" W 1 inputs failed in the interrupted run and are not converted "
                   "again\n"))
      << log.text();
  EXPECT_EQ(test::read_text(f.dir.file("a.csv")), "t,x\n1,2\n");
  EXPECT_FALSE(test::exists(f.dir.file("b.csv")));
  int32_t result = -1;
  EXPECT_TRUE(journal_finished(j, "odd \\name\nwith line feed.MF4", &result));
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(journal_finished(j, "second.MF4", &result));
  EXPECT_EQ(result, 8);
  EXPECT_FALSE(journal_finished(j, "third.MF4", &result));
  // The state after the second input: the set of the first, nothing of the third.
  const JournalState& s = j->state;
  EXPECT_EQ(s.naming_serial * 1000 + s.naming_split, 0xABu * 1000 + 3);
  EXPECT_EQ(s.output_year * 10000 + s.output_month * 100 + s.output_day, 20231107);
  EXPECT_EQ(s.last_split, 3u);
  ASSERT_EQ(s.set_files.count, 1);
  EXPECT_EQ(s.set_files[0].key, 17u);
  EXPECT_EQ(s.set_files[0].identity, 99u);
  EXPECT_EQ(dynstring_sv(&s.set_files[0].path), "a");
  EXPECT_EQ(s.created.count, 1);
  EXPECT_EQ(dynstring_sv(&s.previous_input), "second.MF4");

  // Killed again at once: the rewritten journal holds the same state.
  std::string rewritten = test::read_text(f.journal());
  journal_close(j);
  ASSERT_TRUE(test::write_file(f.journal(), rewritten));
  j = journal_open(f.root, FINGERPRINT);
  ASSERT_NE(j, nullptr);
  EXPECT_TRUE(journal_finished(j, "odd \\name\nwith line feed.MF4", &result));
  EXPECT_EQ(j->state.set_files.count, 1);
  EXPECT_EQ(dynstring_sv(&j->state.previous_input), "second.MF4");
  journal_close(j);
  EXPECT_FALSE(test::exists(f.journal()));
}

// A log without the logger's metadata names its set and files by its input's name, whose
// folders may hold any characters: the rerun restores the set's folder and undoes the files.
TEST(Journal, SetOfALogWithoutMetadataKeepsItsFolder) {
  Folder f;
  const std::string folder = "in_out/day 1/trip-2.v3_MF4";
  const std::string file = folder + "/CAN1_EngineData/2023/11/07/00000000_00000000";
  Journal* j = journal_open(f.root, FINGERPRINT);
  ASSERT_NE(j, nullptr);
  journal_begin(j, "in/day 1/trip-2.v3.MF4");
  journal_output_set(j, 0, 0, 0, 2023, 11, 7, folder);
  journal_new_file(j, 17, 99, 1, file);
  journal_last(j, 0, 0, 0);
  EXPECT_TRUE(journal_done(j, "in/day 1/trip-2.v3.MF4", 0, false, nullptr));
  journal_begin(j, "in/next.MF4");
  journal_new_file(j, 18, 98, 1, folder + "/x");
  ASSERT_TRUE(test::write_file(f.dir.file(folder + "/x.csv"), std::string("t\n")));
  std::string text = test::read_text(f.journal());
  journal_close(j);
  ASSERT_TRUE(test::write_file(f.journal(), text));
  test::LogCapture log;
  j = journal_open(f.root, FINGERPRINT);
  ASSERT_NE(j, nullptr);
  EXPECT_TRUE(log.contains("1 inputs already converted, 1 files cut back")) << log.text();
  EXPECT_FALSE(test::exists(f.dir.file(folder + "/x.csv")));
  EXPECT_EQ(dynstring_sv(&j->state.naming_folder), folder);
  EXPECT_EQ(j->state.naming_serial + j->state.naming_session + j->state.naming_split, 0u);
  ASSERT_EQ(j->state.set_files.count, 1);
  EXPECT_EQ(dynstring_sv(&j->state.set_files[0].path), file);
  // A logger's set after it has no folder.
  journal_output_set(j, 0xAB, 5, 3, 2023, 11, 7, "");
  text = test::read_text(f.journal());
  journal_close(j);
  ASSERT_TRUE(test::write_file(f.journal(), text));
  j = journal_open(f.root, FINGERPRINT);
  ASSERT_NE(j, nullptr);
  EXPECT_EQ(dynstring_sv(&j->state.naming_folder), "");
  EXPECT_EQ(j->state.naming_serial, 0xABu);
  journal_close(j);
}

TEST(Journal, OtherRunsAndDamagedJournalsStartAfresh) {
  {
    Folder f;
    killed_run(f);
    test::LogCapture log;
    Journal* j = journal_open(f.root, FINGERPRINT + 1);
    ASSERT_NE(j, nullptr);
    EXPECT_FALSE(j->resumed);
    EXPECT_TRUE(log.contains(" W The interrupted run in " + f.dir.path +
                             " had other inputs or options: it is not resumed (2 files cut "
                             "back)\n"))
        << log.text();
    int32_t result;
    EXPECT_FALSE(journal_finished(j, "second.MF4", &result));
    // Its unfinished input is undone all the same.
    EXPECT_EQ(test::read_text(f.dir.file("a.csv")), "t,x\n1,2\n");
    EXPECT_FALSE(test::exists(f.dir.file("b.csv")));
    journal_close(j);
  }
  {
    // Records that point out of the output folder are not followed.
    Folder f;
    ASSERT_TRUE(test::make_dirs(f.dir.file("out")));
    ASSERT_TRUE(test::write_file(f.dir.file("victim.csv"), std::string("keep me\n")));
    FsRoot* out = fs_root_create(f.dir.file("out"));
    test::LogCapture quiet;
    ASSERT_TRUE(test::write_file(f.dir.file("out/") + JOURNAL_NAME,
                                 "tabulon-journal 1 4660\nbegin x.MF4\ntouch 2 ../victim\n"
                                 "new 1 2 1 ../victim\n"));
    Journal* j = journal_open(out, FINGERPRINT);
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(test::read_text(f.dir.file("victim.csv")), "keep me\n");
    journal_close(j);
    fs_root_release(out);
  }
  for (const char* columns : {"1", "4294967297", "18446744073709551617"}) {
    // Numbers beyond the fields they are read into (or beyond 64 bits) are damage: the file of
    // a record with 2^32 + 1 or 2^64 + 1 columns is not touched, the one with 1 column is removed.
    Folder f;
    ASSERT_TRUE(test::write_file(f.dir.file("a.csv"), std::string("t,x\n")));
    test::LogCapture quiet;
    ASSERT_TRUE(
        test::write_file(f.journal(), signed_journal({"tabulon-journal 2 4660 0", "begin x.MF4",
                                                      "new 1 2 " + std::string(columns) + " a"})));
    Journal* j = journal_open(f.root, FINGERPRINT);
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(test::exists(f.dir.file("a.csv")), std::string(columns) != "1") << columns;
    journal_close(j);
  }
  Folder f;
  ASSERT_TRUE(test::write_file(f.journal(), std::string("not a journal\n")));
  test::LogCapture log;
  Journal* j = journal_open(f.root, FINGERPRINT);
  ASSERT_NE(j, nullptr);
  EXPECT_FALSE(j->resumed);
  EXPECT_TRUE(j->distrusted);
  EXPECT_EQ(j->fault_line, 1);
  EXPECT_EQ(test::read_text(f.journal()).rfind("tabulon-journal 2 4660 1 ", 0), 0u);
  journal_close(j);
}

// A journal that fails any check (a line removed, duplicated, edited or added without its
// checksum, records that contradict each other or the files, an earlier version's) repairs
// nothing, finishes no input and makes the run write to fresh names, also when resumed.
TEST(Journal, DamagedOrForeignJournalsAreNeitherRepairedNorReplayed) {
  std::vector<std::string> lines;
  {
    Folder f;
    lines = unsigned_lines(killed_run(f));
  }
  ASSERT_EQ(lines[3], "new 17 99 1 a");
  ASSERT_EQ(lines[6], "rows 8 a");
  auto without = [&](size_t i) {
    std::vector<std::string> l = lines;
    l.erase(l.begin() + static_cast<long>(i));
    return l;
  };
  auto with = [&](size_t i, const std::string& line) {
    std::vector<std::string> l = lines;
    l.insert(l.begin() + static_cast<long>(i), line);
    return l;
  };
  std::string whole = signed_journal(lines);
  std::string second_new = signed_journal(with(4, lines[3]));
  size_t new_line = whole.find("new 17");
  struct Case {
    const char* what;
    std::string text;
    int64_t line;
    bool cut_short = false;  // the output file "a" is shorter than its rows
  } cases[] = {
      {"a line removed",
       signed_journal(lines).erase(new_line, whole.find('\n', new_line) - new_line + 1), 4},
      {"a line repeated", whole.substr(0, whole.find('\n', new_line) + 1) + whole.substr(new_line),
       5},
      {"a file created twice", second_new, 5},
      {"a record without its checksum", whole + "done 0 1 1 5 6 notes.txt\n", 16},
      {"a file cut back below its rows", signed_journal(with(7, "rows 9 a")), 14},
      {"an output file shorter than its rows", whole, 7, true},
      {"a removal of an input not converted", signed_journal(with(11, "removed second.MF4")), 12},
      {"a record without a creation", signed_journal(without(3)), 6},
      {"an edited number", signed_journal(lines).replace(whole.find("rows 8"), 6, "rows 9"), 7},
      {"an earlier version", "tabulon-journal 1 4660\nbegin x.MF4\n", 1},
  };
  for (const Case& c : cases) {
    Folder f;
    killed_run(f);
    std::string a = c.cut_short ? "t,x\n1," : "t,x\n1,2\n3,4\n";
    ASSERT_TRUE(test::write_file(f.dir.file("a.csv"), a));
    ASSERT_TRUE(test::write_file(f.journal(), c.text));
    Journal* j = journal_open(f.root, FINGERPRINT);
    ASSERT_NE(j, nullptr);
    EXPECT_TRUE(j->distrusted && !j->resumed && j->fresh_names) << c.what;
    EXPECT_EQ(j->fault_line, c.line) << c.what << ": " << (j->fault ? j->fault : "");
    int32_t result;
    EXPECT_FALSE(journal_finished(j, "odd \\name\nwith line feed.MF4", &result)) << c.what;
    EXPECT_EQ(test::read_text(f.dir.file("a.csv")), a) << c.what;
    EXPECT_TRUE(test::exists(f.dir.file("b.csv"))) << c.what;
    // Killed again: the run resumed from this journal keeps writing to fresh names.
    std::string rewritten = test::read_text(f.journal());
    journal_close(j);
    ASSERT_TRUE(test::write_file(f.journal(), rewritten));
    j = journal_open(f.root, FINGERPRINT);
    ASSERT_NE(j, nullptr);
    EXPECT_TRUE(j->resumed && j->fresh_names && !j->distrusted) << c.what;
    journal_close(j);
  }
}

// A journal that is no regular file is refused at once: a FIFO would block the run for good.
TEST(Journal, NonRegularJournalIsRefused) {
  Folder f;
  ASSERT_EQ(mkfifo(f.journal().c_str(), 0600), 0);
  test::LogCapture log;
  EXPECT_EQ(journal_open(f.root, FINGERPRINT), nullptr);
  EXPECT_TRUE(log.contains(" F The journal " + f.journal() + " is no regular file")) << log.text();
  // Nor is a FIFO in the place of the journal being written.
  ASSERT_EQ(unlink(f.journal().c_str()), 0);
  ASSERT_EQ(mkfifo((f.journal() + ".new").c_str(), 0600), 0);
  EXPECT_EQ(journal_open(f.root, FINGERPRINT), nullptr);
  EXPECT_TRUE(log.contains(" F Could not write the journal " + f.journal())) << log.text();
}

}  // namespace
