// End to end: the terminal status line (on a pseudo-terminal, and its absence everywhere
// else), installation with the manual page, the manual page against the option table, and the
// Debian package.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "app/progress.h"
#include "support/container_writer.h"
#include "support/log.h"
#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

const std::string BINARY = TABULON_BINARY;
const std::string BUILD_DIR = TABULON_BUILD_DIR;
// The source tree: the test data folder is <source>/tests/data.
const std::string CLEAR = "\r\x1b[K";
constexpr uint64_t NOV_7_2023_HOUR_1 = (1699315200ULL + 3600ULL) * 1000000000ULL;

const char* const CAN_DBC =
    "VERSION \"\"\n\n"
    "BO_ 256 EngineData: 8 ECU\n"
    " SG_ Speed : 0|8@1+ (1,0) [0|100] \"km/h\" X\n";

std::vector<uint8_t> engine_log(uint32_t serial, uint32_t split, int frames) {
  test::BusLogBuilder log;
  log.start_time_ns(NOV_7_2023_HOUR_1).metadata(serial, 5, split);
  for (int i = 0; i < frames; ++i)
    log.add_can_frame(1, 0x100, false, {static_cast<uint8_t>(i % 100), 0, 0, 0, 0, 0, 0, 0},
                      0.001 * i);
  return log.build();
}

// A folder of logs whose conversion logs lines while files are being converted: a compressed
// file ("Found compressed file"), an encrypted one without password (two error lines), and
// a file of some ten thousand frames, whose rows take several chunks.
struct Workspace {
  test::TempDir dir;
  Workspace() {
    test::write_file(dir.file("can1.dbc"), std::string(CAN_DBC));
    auto plain = engine_log(0xAB, 1, 3 * 4096 + 7);
    test::write_file(dir.file("logs/day/1.MF4"), plain);
    test::write_file(dir.file("logs/day/2.MFC"),
                     test::make_compressed_container(engine_log(0xAB, 2, 50), 0xAB));
    test::write_file(dir.file("logs/day/3.MFE"),
                     test::make_encrypted_container(engine_log(0xAB, 3, 5), 0xAB, "pw", 1));
    test::write_file(dir.file("logs/day/4.MF4"), engine_log(0xAB, 4, 20));
    test::write_file(dir.file("logs/day/notes.txt"), std::string("skipped"));
  }
};

const std::vector<std::string> CONVERT_ARGS = {"--verbosity=3", "logs/day"};

std::vector<std::string> with(std::vector<std::string> args, const std::string& first) {
  args.insert(args.begin(), first);
  return args;
}

struct TerminalRun {
  int status = -1;
  std::string output;  // everything the terminal received, byte for byte
};

// Runs the binary with standard input, output and error on a raw pseudo-terminal of 100
// columns, so that the bytes read are exactly the bytes written.
TerminalRun run_on_terminal(const std::vector<std::string>& args, const std::string& working_dir) {
  TerminalRun run;
  struct termios raw;
  memset(&raw, 0, sizeof raw);
  cfmakeraw(&raw);
  struct winsize size;
  memset(&size, 0, sizeof size);
  size.ws_row = 24;
  size.ws_col = 100;
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, &raw, &size);
  if (pid < 0) return run;
  if (pid == 0) {
    if (chdir(working_dir.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(BINARY.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(BINARY.c_str(), argv.data());
    _exit(127);
  }
  // Read until the last holder of the terminal's other side is gone; a run that hangs is
  // ended after a minute rather than hanging the test.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char buffer[4096];
  for (;;) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 1000) < 0) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
    if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    run.output.append(buffer, static_cast<size_t>(n));
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

bool is_digits(const std::string& s, size_t from, size_t count) {
  if (from + count > s.size()) return false;
  for (size_t i = from; i < from + count; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// Replaces the time stamp and the process and thread identifiers of each log line, and the
// seconds of the execution time, which differ from run to run. Lines of another shape are left
// as they are, so that they show up in a comparison.
std::string mask_log(const std::string& text) {
  std::string masked;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    bool stamped = line.size() > 20 && is_digits(line, 0, 2) && line[2] == '-' &&
                   is_digits(line, 3, 2) && line[5] == ' ' && is_digits(line, 6, 2) &&
                   line[8] == ':' && is_digits(line, 9, 2) && line[11] == ':' &&
                   is_digits(line, 12, 2) && line[14] == '.' && is_digits(line, 15, 3) &&
                   line[18] == ' ';
    if (stamped) {
      // Two right-aligned numbers, each followed by one space.
      size_t i = 19;
      for (int field = 0; field < 2 && i < line.size(); ++field) {
        while (i < line.size() && line[i] == ' ') ++i;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
        if (i < line.size() && line[i] == ' ') ++i;
      }
      line = "<stamp> " + line.substr(i);
    }
    size_t time = line.find("Execution time: ");
    if (time != std::string::npos) line = line.substr(0, time) + "Execution time: <n> s";
    size_t taken = line.rfind(". Time: ");
    if (line.rfind("Done. ", 0) == 0 && taken != std::string::npos)
      line = line.substr(0, taken) + ". Time: <n> s";
    masked += line;
    if (end != std::string::npos) masked += '\n';
  }
  return masked;
}

// The terminal output taken apart: the log lines in order, and the status texts drawn.
struct Screen {
  std::string log;
  std::vector<std::string> statuses;
  // Log lines written while the display was on, each with the status text drawn after it.
  std::vector<std::pair<std::string, std::string>> followed;
  bool whole = true;    // no status text was left in front of a log line
  bool redrawn = true;  // the status line came back after every log line it made way for
  bool cleared_at_end = false;
};

// Every clear sequence starts a piece that holds at most one log line (ending in a line feed)
// followed by the status text drawn after it. The first piece holds the lines written before
// the display started, the last the lines written after it was cleared.
Screen split_screen(const std::string& output) {
  Screen screen;
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t at = output.find(CLEAR, start);
    pieces.push_back(
        output.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + CLEAR.size();
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string& piece = pieces[i];
    size_t last_feed = piece.rfind('\n');
    std::string lines = last_feed == std::string::npos ? "" : piece.substr(0, last_feed + 1);
    std::string rest = last_feed == std::string::npos ? piece : piece.substr(last_feed + 1);
    bool first = i == 0, last = i + 1 == pieces.size();
    if (!first && !last && lines.find('\n') != lines.size() - 1 && !lines.empty())
      screen.whole = false;  // two lines in one piece: the second was written without a clear
    screen.log += lines;
    if (first || last) {
      if (!rest.empty()) screen.whole = false;
    } else if (!rest.empty()) {
      screen.statuses.push_back(rest);
      if (!lines.empty()) screen.followed.emplace_back(lines.substr(0, lines.size() - 1), rest);
    } else if (!lines.empty()) {
      screen.redrawn = false;
    }
  }
  // After the last clear only whole lines follow: no status text is left on the screen.
  screen.cleared_at_end =
      pieces.size() > 1 && (pieces.back().empty() || pieces.back().back() == '\n');
  return screen;
}

TEST(Progress, TerminalShowsStatusLineAndKeepsLogLinesWhole) {
  Workspace w;
  auto reference = test::run(BINARY, with(CONVERT_ARGS, "--non-interactive"), w.dir.path);
  ASSERT_EQ(reference.status, 2) << reference.err;  // the encrypted file has no password
  ASSERT_NE(reference.err.find("I Found compressed file\n"), std::string::npos) << reference.err;

  TerminalRun run = run_on_terminal(CONVERT_ARGS, w.dir.path);
  EXPECT_EQ(run.status, 2);
  Screen screen = split_screen(run.output);
  // Every log line arrives whole and in order, as without a terminal; the summary line comes
  // last, after the status line is cleared (without a terminal it is a plain last line).
  EXPECT_TRUE(screen.whole) << run.output;
  EXPECT_TRUE(screen.redrawn) << run.output;
  size_t summary_at = screen.log.rfind("\nDone. ");
  ASSERT_NE(summary_at, std::string::npos) << run.output;
  std::string summary = screen.log.substr(summary_at + 1);
  size_t reference_summary = reference.err.rfind("Done. ");
  ASSERT_NE(reference_summary, std::string::npos) << reference.err;
  EXPECT_EQ(mask_log(screen.log.substr(0, summary_at + 1)),
            mask_log(reference.err.substr(0, reference_summary)))
      << run.output;
  EXPECT_TRUE(std::regex_match(summary, std::regex("Done\\. Input files: 3 converted, 1 failed, 0 "
                                                   "skipped\\. Frames: 12,365 read, 12,365 "
                                                   "decoded\\. Rows: 12365 in 2 CSV files in "
                                                   ".*/logs/\\. Time: \\d+\\.\\d s\n")))
      << summary;
  // At least one status line was drawn, each one fits the terminal, and none is left behind.
  ASSERT_FALSE(screen.statuses.empty()) << run.output;
  std::regex shape(R"(\d/4 files, \d+\.\d/0\.3 MB, \d+ frames, \d+\.\d MB/s, ETA (-:--|\d+:\d\d): )"
                   R"(day/\d\.MF[4CE])");
  for (const std::string& status : screen.statuses) {
    EXPECT_TRUE(std::regex_match(status, shape)) << status;
    EXPECT_LT(status.size(), 100u) << status;
  }
  // The first draw happens when the first log file starts: nothing done of the four files the
  // walk counted before the run.
  EXPECT_EQ(screen.statuses.front(),
            "0/4 files, 0.0/0.3 MB, 0 frames, 0.0 MB/s, ETA -:--: day/1.MF4");
  EXPECT_TRUE(screen.cleared_at_end) << run.output;
  // The status line after a log line names the file the line is about, whatever the redraw
  // interval held back.
  struct After {
    std::string line, counters, path;
  } expected_after[] = {
      {"I Found compressed file", "1/4 files, ", ": day/2.MFC"},
      {"I Found encrypted file", "2/4 files, ", ": day/3.MFE"},
      {"E No password found for device 000000AB (encrypted file day/3.MFE)", "2/4 files, ",
       ": day/3.MFE"},
  };
  for (const auto& [line, counters, path] : expected_after) {
    bool seen = false;
    for (const auto& [logged, status] : screen.followed) {
      if (logged.size() < line.size() || logged.substr(logged.size() - line.size()) != line)
        continue;
      seen = true;
      EXPECT_EQ(status.substr(0, counters.size()), counters) << line << " / " << status;
      ASSERT_GT(status.size(), path.size());
      EXPECT_EQ(status.substr(status.size() - path.size()), path) << line << " / " << status;
    }
    EXPECT_TRUE(seen) << line << "\n" << run.output;
  }
  size_t last_clear = run.output.rfind(CLEAR);
  EXPECT_NE(run.output.find("I Execution time:", last_clear), std::string::npos) << run.output;
}

TEST(Progress, OnlyLogLinesWithoutTerminalOrWhenNonInteractive) {
  Workspace w;
  auto plain = test::run(BINARY, CONVERT_ARGS, w.dir.path);
  auto quiet = test::run(BINARY, with(CONVERT_ARGS, "--non-interactive"), w.dir.path);
  EXPECT_EQ(plain.status, 2);
  EXPECT_EQ(quiet.status, 2);
  // Standard error is a file: byte for byte the same log lines as with --non-interactive.
  EXPECT_EQ(mask_log(plain.err), mask_log(quiet.err));
  EXPECT_EQ(plain.err.find_first_of("\r\x1b"), std::string::npos) << plain.err;
  EXPECT_NE(plain.err.find("E Error during conversion of day/3.MFE\n"), std::string::npos)
      << plain.err;

  // On a terminal, --non-interactive leaves only the log lines as well.
  TerminalRun run = run_on_terminal(with(CONVERT_ARGS, "--non-interactive"), w.dir.path);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.output.find_first_of("\r\x1b"), std::string::npos) << run.output;
  EXPECT_EQ(mask_log(run.output), mask_log(quiet.err));
}

TEST(ProgressFormat, CountersThroughputTimeLeftAndPath) {
  char text[LOG_STATUS_ROOM];
  constexpr uint64_t MB = 1024 * 1024;
  struct Case {
    uint64_t done, total;
    int64_t elapsed_ms;
    std::string_view path;
    std::string expected;
  } cases[] = {
      {3 * MB, 9 * MB, 2000, "day/a.MF4",
       "2/5 files, 3.0/9.0 MB, 123456 frames, 1.5 MB/s, ETA 0:04: day/a.MF4"},
      // No time passed or nothing done yet: no rate and no time left, rather than a division
      // by zero.
      {3 * MB, 9 * MB, 0, "day/a.MF4",
       "2/5 files, 3.0/9.0 MB, 123456 frames, 0.0 MB/s, ETA -:--: day/a.MF4"},
      {0, 9 * MB, 5000, "", "2/5 files, 0.0/9.0 MB, 123456 frames, 0.0 MB/s, ETA -:--"},
      // Hours, and a total passed (the files grew since they were counted).
      {1 * MB, 9001 * MB, 1000, "",
       "2/5 files, 1.0/9001.0 MB, 123456 frames, 1.0 MB/s, ETA 2:30:00"},
      {12 * MB, 9 * MB, 1000, "", "2/5 files, 12.0/9.0 MB, 123456 frames, 12.0 MB/s, ETA 0:00"},
  };
  for (const Case& c : cases) {
    ProgressSnapshot s{2, 5, c.done, c.total, 123456, c.elapsed_ms, c.path};
    size_t n = progress_format(text, sizeof text, 99, s);
    EXPECT_EQ(std::string(text, n), c.expected);
  }
}

TEST(ProgressFormat, SummaryLine) {
  char text[300];
  RunSummary summary{45, 2, 1, 1234567, 19, "/data/out", 12345, {}};
  size_t n = progress_format_summary(text, sizeof text, summary);
  EXPECT_EQ(std::string(text, n),
            "Done. Input files: 45 converted, 2 failed, 1 skipped. Rows: 1234567 in 19 CSV files "
            "in /data/out. Time: 12.3 s\n");
  summary.frames = "Frames: 3 read, 2 decoded; 1 frame on CAN 2 without a DBC file.";
  n = progress_format_summary(text, sizeof text, summary);
  EXPECT_EQ(std::string(text, n),
            "Done. Input files: 45 converted, 2 failed, 1 skipped. Frames: 3 read, 2 decoded; 1 "
            "frame on CAN 2 without a DBC file. Rows: 1234567 in 19 CSV files in /data/out. "
            "Time: 12.3 s\n");
  summary.frames = {};
  // A folder name cannot break the line; a line cut by the room still ends in a line feed.
  summary.output_folder = "/a\nb\x1b";
  n = progress_format_summary(text, sizeof text, summary);
  EXPECT_NE(std::string(text, n).find(" in /a?b?. Time"), std::string::npos);
  n = progress_format_summary(text, 21, summary);
  EXPECT_EQ(std::string(text, n), "Done. Input files: \n");
}

TEST(ProgressFormat, LineFitsTheWidthAndStaysOneLine) {
  char text[LOG_STATUS_ROOM];
  const std::string counters = "1/1 files, 0.0/0.0 MB, 7 frames, 0.0 MB/s, ETA -:--";
  struct Case {
    std::string path;
    size_t width;
    std::string expected;
  } cases[] = {
      // A long path keeps its end, behind "...", and the line uses the whole width.
      {"folder/" + std::string(100, 'x') + "/last.MF4", 80,
       counters + ": ..." + std::string(80 - counters.size() - 5 - 9, 'x') + "/last.MF4"},
      // The cut never starts inside a UTF-8 character.
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9.MF4", counters.size() + 2 + 3 + 8,
       counters + ": ...\xC3\xA9\xC3\xA9.MF4"},
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9.MF4", counters.size() + 2 + 3 + 7,
       counters + ": ...\xC3\xA9.MF4"},
      // Control bytes in a name cannot move the cursor or break the line.
      {"a\nb\rc\033d\x7f.MF4", 79, counters + ": a?b?c?d?.MF4"},
      // Too narrow for a path: the counters alone, cut at the width.
      {"day/a.MF4", counters.size() + 3, counters},
      {"day/a.MF4", 10, counters.substr(0, 10)},
  };
  for (const Case& c : cases) {
    ProgressSnapshot s{1, 1, 0, 0, 7, 5, c.path};
    size_t n = progress_format(text, sizeof text, c.width, s);
    EXPECT_EQ(std::string(text, n), c.expected) << c.width;
    EXPECT_LE(n, c.width);
  }
  // The buffer bounds the text as well as the width.
  const std::string long_path = "day/" + std::string(300, 'y');
  ProgressSnapshot s{1, 1, 0, 0, 7, 5, long_path};
  EXPECT_EQ(progress_format(text, 20, 200, s), 19u);
}

std::string drain_pipe(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Masks the log lines of each piece between clear sequences, where stamps also begin.
std::string mask_pieces(const std::string& text) {
  std::string masked;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(CLEAR, start);
    masked +=
        mask_log(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return masked;
    masked += CLEAR;
    start = at + CLEAR.size();
  }
}

TEST(LogStatusLine, ClearsBeforeEachLineAndRedrawsAfterIt) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  log_set_output_fd(fds[1]);
  log_write(LOG_INFO, "before");
  log_set_status("", 0);  // nothing shown: nothing to clear
  log_set_status("1/2 files", 9);
  log_write(LOG_WARN, "during %d", 7);
  log_update_status("2/2 files", 9);  // shown with the next line, not drawn by itself
  log_write(LOG_ERROR, "%s", std::string(600, 'x').c_str());
  log_set_status("", 0);
  log_update_status("ignored", 7);  // no status line shown any more
  log_write(LOG_INFO, "after");
  log_set_output_fd(2);
  close(fds[1]);
  std::string out = drain_pipe(fds[0]);
  close(fds[0]);

  // The long line is cut to 510 characters, header included, and the status still follows.
  size_t x = out.find(" E x");
  ASSERT_NE(x, std::string::npos) << out;
  size_t line_start = out.rfind(CLEAR, x) + CLEAR.size();
  size_t line_end = out.find('\n', x);
  EXPECT_EQ(line_end - line_start, 510u);
  std::string cut_message(line_end - x - 3, 'x');
  EXPECT_EQ(mask_pieces(out), "<stamp> I before\n" + CLEAR + "1/2 files" + CLEAR +
                                  "<stamp> W during 7\n1/2 files" + CLEAR + "<stamp> E " +
                                  cut_message + "\n2/2 files" + CLEAR + "<stamp> I after\n");
}

// Runs a shell command line in `dir` with a fixed locale, so that tools print plain ASCII.
test::RunResult shell(const std::string& command, const std::string& dir) {
  return test::run("/bin/sh", {"-c", "unset MAN_KEEP_FORMATTING; LC_ALL=C MANWIDTH=80 " + command},
                   dir);
}

std::string sh_quote(const std::string& path) { return "'" + path + "'"; }

TEST(Install, PutsBinaryAndManualPageUnderThePrefix) {
  test::TempDir prefix;
  auto install = shell(
      "cmake --install " + sh_quote(BUILD_DIR) + " --prefix " + sh_quote(prefix.path), prefix.path);
  ASSERT_EQ(install.status, 0) << install.out << install.err;

  std::string binary = prefix.file("bin/tabulon");
  struct stat info;
  ASSERT_EQ(stat(binary.c_str(), &info), 0);
  EXPECT_TRUE(info.st_mode & S_IXUSR);
  auto version = test::run(binary, {"--version"}, prefix.path);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "Version: " TABULON_VERSION "\n");

  std::string page = prefix.file("share/man/man1/tabulon.1");
  EXPECT_EQ(test::read_text(page), test::read_text(BUILD_DIR + "/man/tabulon.1"));
  // The installed page formats without a warning and has its sections.
  auto man = shell("man --warnings -l " + sh_quote(page), prefix.path);
  EXPECT_EQ(man.status, 0) << man.err;
  EXPECT_EQ(man.err, "");
  for (const char* section : {"NAME", "SYNOPSIS", "OPTIONS", "DBC DISCOVERY", "PASSWORD FILE",
                              "OUTPUT", "CSV FORMAT", "EXIT STATUS", "EXAMPLES"})
    EXPECT_NE(man.out.find(std::string("\n") + section + "\n"), std::string::npos) << section;
  EXPECT_NE(man.out.find("0A1B2C3D_out/CAN2_EngineData/2023/11/07/00000012_00000003.csv"),
            std::string::npos);
  EXPECT_NE(man.out.find("-NaN"), std::string::npos);
  EXPECT_NE(man.out.find("       136    set-up failed"), std::string::npos) << man.out;
}

TEST(ManualPage, NamesEveryOptionOfTheUsageText) {
  test::TempDir dir;
  auto help = test::run(BINARY, {"--help"}, dir.path);
  ASSERT_EQ(help.status, 0);
  // Glossary lines: "  -v, --version   text" or "  --help   text".
  std::regex entry(R"(^  (?:-([A-Za-z]), )?--([a-z0-9][a-z0-9-]*))");
  std::vector<std::pair<std::string, std::string>> options;  // short (may be empty), long
  size_t start = 0;
  while (start < help.out.size()) {
    size_t end = help.out.find('\n', start);
    if (end == std::string::npos) end = help.out.size();
    std::string line = help.out.substr(start, end - start);
    std::smatch m;
    if (std::regex_search(line, m, entry)) options.emplace_back(m[1].str(), m[2].str());
    start = end + 1;
  }
  // help, version, verbosity, non-interactive, delete-converted, no-append-root, buffer, jobs,
  // shard, summary, format, values, time, signals, password-file, concat, no-concat, 20 DBC
  // options, output-directory, input-files.
  ASSERT_EQ(options.size(), 39u) << help.out;

  auto man = shell("man -l " + sh_quote(BUILD_DIR + "/man/tabulon.1"), dir.path);
  ASSERT_EQ(man.status, 0) << man.err;
  for (const auto& [short_name, long_name] : options) {
    std::regex named("--" + long_name + "([^a-z0-9-]|$)");
    EXPECT_TRUE(std::regex_search(man.out, named)) << long_name;
    if (!short_name.empty()) {
      EXPECT_NE(man.out.find("-" + short_name + ", --" + long_name), std::string::npos)
          << short_name;
    }
  }
}

TEST(Package, DebianPackageDeclaresItsDependencies) {
  test::TempDir dir;
  auto pack = shell("cpack -G DEB --config " + sh_quote(BUILD_DIR + "/CPackConfig.cmake") + " -B " +
                        sh_quote(dir.path),
                    dir.path);
  ASSERT_EQ(pack.status, 0) << pack.out << pack.err;
  std::string deb;
  for (const std::string& f : test::list_files(dir.path))
    if (f.find('/') == std::string::npos && f.size() > 4 && f.substr(f.size() - 4) == ".deb")
      deb = dir.file(f);
  ASSERT_FALSE(deb.empty()) << pack.out;

  auto info = shell("dpkg-deb --info " + sh_quote(deb), dir.path);
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find(" Package: tabulon\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find(" Version: " TABULON_VERSION "\n"), std::string::npos) << info.out;
  std::smatch depends;
  std::regex depends_line(R"( Depends: ([^\n]*)\n)");
  ASSERT_TRUE(std::regex_search(info.out, depends, depends_line)) << info.out;
  std::string list = ", " + depends[1].str() + ",";
  for (const char* package : {"libexpat1", "libmbedcrypto7", "libargtable2-0", "libstb0"})
    EXPECT_NE(list.find(std::string(", ") + package + ","), std::string::npos) << list;

  auto contents = shell("dpkg-deb --contents " + sh_quote(deb), dir.path);
  ASSERT_EQ(contents.status, 0) << contents.err;
  EXPECT_NE(contents.out.find(" ./usr/bin/tabulon\n"), std::string::npos) << contents.out;
  EXPECT_NE(contents.out.find(" ./usr/share/man/man1/tabulon.1\n"), std::string::npos)
      << contents.out;
}

}  // namespace
