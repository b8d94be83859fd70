// The command line of the real binary: usage, version, parse errors and their exit statuses,
// DBC options and discovery, and the set-up failures.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "support/test_util.h"

namespace {

const std::string BINARY = TABULON_BINARY;

// A DBC file with one message, enough for the session to load.
const char* const MINIMAL_DBC =
    "VERSION \"\"\n\n"
    "BO_ 256 EngineData: 8 Vector__XXX\n"
    " SG_ EngineSpeed : 0|16@1+ (0.125,0) [0|8031.875] \"rpm\" Vector__XXX\n";

struct Workspace {
  test::TempDir dir;
  std::string logs = dir.file("logs");
  Workspace() { test::make_dirs(logs); }
  test::RunResult run(std::vector<std::string> args) { return test::run(BINARY, args, dir.path); }
};

TEST(CommandLine, UsageAndVersion) {
  Workspace w;
  auto bare = w.run({});
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(bare.out.rfind("Usage: tabulon", 0), 0u) << bare.out;
  EXPECT_NE(bare.out.find("  --no-concat"), std::string::npos);
  EXPECT_NE(bare.out.find("do not add \"_out\" when converting folders"), std::string::npos);
  EXPECT_NE(bare.out.find("--dbc-lin9=<file>"), std::string::npos);
  EXPECT_NE(bare.out.find("list of input files/folders, must have common root"), std::string::npos);
  EXPECT_EQ(bare.err, "");

  auto help = w.run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, bare.out);
  auto help_with_error = w.run({"--help", "--bogus"});
  EXPECT_EQ(help_with_error.status, 0);
  // The syntax line lists the positional inputs once per argument; the glossary is the same.
  EXPECT_EQ(help_with_error.out.substr(help_with_error.out.find("\n\n")),
            bare.out.substr(bare.out.find("\n\n")));

  auto version = w.run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "Version: " TABULON_VERSION "\n");
  EXPECT_EQ(w.run({"-v", "x"}).out, "Version: " TABULON_VERSION "\n");
}

TEST(CommandLine, ParseErrorStatuses) {
  Workspace w;
  struct Case {
    std::vector<std::string> args;
    int status;
    bool prints;
  } cases[] = {
      {{"--verbosity=6", "logs"}, 131, true},
      {{"--verbosity=-1", "logs"}, 131, true},
      {{"--verbosity=abc", "logs"}, 131, true},
      {{"logs", "--verbosity"}, 130, true},
      {{"--bogus", "logs"}, 134, true},
      {{"--dbc-can1=a.dbc", "--dbc-can1=b.dbc", "--dbc-can1=c.dbc", "--dbc-can1=d.dbc",
        "--dbc-can1=e.dbc", "--dbc-can1=f.dbc", "logs"},
       134,
       true},
      {{"--dbc-can2=missing.dbc", "--dbc-can2=other.dbc", "logs"}, 134, true},
      {{"--jobs=0", "logs"}, 131, true},
      {{"-j", "1025", "logs"}, 131, true},
      {{"--shard=0/2", "logs"}, 131, true},
      {{"--shard=3/2", "logs"}, 131, true},
      {{"--shard=1/", "logs"}, 131, true},
      {{"--shard=/2", "logs"}, 131, true},
      {{"--shard=1/2/3", "logs"}, 131, true},
      {{"--shard=1/99999999999", "logs"}, 131, true},
      {{"--shard=+1/2", "logs"}, 131, true},
  };
  for (const Case& c : cases) {
    auto r = w.run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(!r.out.empty(), c.prints) << c.args[0] << ": " << r.out;
  }
  auto invalid = w.run({"--dbc-can2=missing.dbc", "--dbc-can2=other.dbc", "logs"});
  EXPECT_EQ(invalid.out,
            "tabulon: invalid value \"missing.dbc\" to option --dbc-can2=<file>: No such file or "
            "directory\nTry 'tabulon --help' for the options.\n");
  auto shard = w.run({"--shard=2-3", "logs"});
  EXPECT_EQ(shard.out,
            "tabulon: invalid value \"2-3\" to option --shard=<k/n>: expected k/n with whole "
            "numbers 1 <= k <= n, such as 2/8\n");
  auto excess = w.run({"--dbc-can1=a.dbc", "--dbc-can1=b.dbc", "--dbc-can1=c.dbc",
                       "--dbc-can1=d.dbc", "--dbc-can1=e.dbc", "--dbc-can1=f.dbc", "logs"});
  EXPECT_NE(excess.out.find("excess option --dbc-can1=<file>"), std::string::npos) << excess.out;
}

TEST(CommandLine, SetUpFailuresAreReportedWith136) {
  Workspace w;
  // No DBC option and no DBC file in the working directory.
  auto no_dbc = w.run({"logs"});
  EXPECT_EQ(no_dbc.status, 136);
  EXPECT_NE(no_dbc.err.find(" F No DBC file given"), std::string::npos) << no_dbc.err;

  test::write_file(w.dir.file("engine.dbc"), std::string(MINIMAL_DBC));
  auto no_output = w.run({"--dbc-can1=engine.dbc", "-O", w.dir.file("nowhere"), "logs"});
  EXPECT_EQ(no_output.status, 136);
  EXPECT_NE(no_output.err.find("nowhere"), std::string::npos) << no_output.err;

  test::write_file(w.dir.file("broken.dbc"),
                   std::string("BA_DEF_ \"BusType\" STRING;\nBA_ \"BusType\" \"FlexRay\";\n"));
  auto bad_dbc = w.run({"--dbc-can1=broken.dbc", "logs"});
  EXPECT_EQ(bad_dbc.status, 136);
  EXPECT_NE(bad_dbc.err.find("broken.dbc"), std::string::npos) << bad_dbc.err;
}

TEST(CommandLine, RootsAndPasswordFile) {
  Workspace w;
  test::write_file(w.dir.file("can1.dbc"), std::string(MINIMAL_DBC));
  test::make_dirs(w.dir.file("other"));
  auto two_roots = w.run({"logs", "other/x.MF4", w.dir.file("logs/y.MF4")});
  EXPECT_EQ(two_roots.status, 132);
  EXPECT_NE(two_roots.err.find("No common root detected for all inputs: they lie in 3 folders"),
            std::string::npos)
      << two_roots.err;
  EXPECT_NE(two_roots.err.find("(" + w.dir.file("logs/") + " lies in " + w.dir.path + "/, " +
                               w.dir.file("other/x.MF4") + " does not)"),
            std::string::npos)
      << two_roots.err;

  auto missing_passwords = w.run({"-p", "nothere.json", "logs"});
  EXPECT_EQ(missing_passwords.status, 1);
  EXPECT_NE(missing_passwords.err.find("Failed to open password file at"), std::string::npos);

  auto missing_input = w.run({"logs/gone.MF4"});
  EXPECT_EQ(missing_input.status, 1);
  // An empty folder converts to nothing, and says so.
  auto empty = w.run({"logs"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_NE(
      empty.err.find(" E No log files (*.MF4, *.MFC, *.MFE, *.MFM) found in " + w.dir.file("logs")),
      std::string::npos)
      << empty.err;
}

TEST(CommandLine, DbcDiscoveryAndInformationLines) {
  Workspace w;
  for (const char* name :
       {"can1b.dbc", "can1.dbc", "CAN1.dbc", "can0.dbc", "can1.txt", "lin2_body.DBC", "can3a.dbc",
        "can3b.dbc", "can3c.dbc", "can3d.dbc", "can3e.dbc", "can3f.dbc"})
    test::write_file(w.dir.file(name), std::string(MINIMAL_DBC));
  auto r = w.run({"--verbosity=3", "logs"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> dbc_lines;
  std::regex header(R"(^\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d +\d{1,} +\d{1,} [IWE] (.*)$)");
  size_t start = 0;
  while (start < r.err.size()) {
    size_t end = r.err.find('\n', start);
    std::string line = r.err.substr(start, end - start);
    start = end + 1;
    if (line.rfind("Done. ", 0) == 0) continue;  // the closing line
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, header)) << line;
    if (m[1].str().rfind("dbc-", 0) == 0) dbc_lines.push_back(m[1].str());
  }
  std::string prefix = w.dir.path + "/";
  EXPECT_EQ(dbc_lines, (std::vector<std::string>{
                           "dbc-can0: " + prefix + "can0.dbc", "dbc-can1: " + prefix + "can1.dbc",
                           "dbc-can1: " + prefix + "can1b.dbc", "dbc-can3: " + prefix + "can3a.dbc",
                           "dbc-can3: " + prefix + "can3b.dbc", "dbc-can3: " + prefix + "can3c.dbc",
                           "dbc-can3: " + prefix + "can3d.dbc", "dbc-can3: " + prefix + "can3e.dbc",
                           "dbc-lin2: " + prefix + "lin2_body.DBC"}));
  EXPECT_NE(r.err.find("0 password(s) loaded"), std::string::npos);
  EXPECT_NE(r.err.find("Input  statistics, files:      0, messages:        0, size: 0 MB"),
            std::string::npos);
  EXPECT_NE(r.err.find("Execution time: 0 s"), std::string::npos);

  // Verbosity 1 hides information and warnings; an explicit option switches discovery off.
  auto quiet = w.run({"--verbosity=1", "--dbc-can4=can3a.dbc", "logs"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err.find(" W "), std::string::npos) << quiet.err;
  EXPECT_EQ(quiet.err.find(" I "), std::string::npos) << quiet.err;
  auto explicit_only = w.run({"--verbosity=3", "--dbc-can4=can3a.dbc", "logs"});
  EXPECT_NE(explicit_only.err.find("dbc-can4: " + prefix + "can3a.dbc"), std::string::npos);
  EXPECT_EQ(explicit_only.err.find("dbc-can1:"), std::string::npos);
}

// Every mistake on the command line ends with a line that names what is wrong and what is
// expected.
TEST(CommandLine, MistakesAreExplained) {
  Workspace w;
  test::write_file(w.dir.file("engine.txt"), std::string(MINIMAL_DBC));
  test::make_dirs(w.dir.file("folder.dbc"));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{"--verbosity=9", "logs"},
       131,
       "invalid value \"9\" to option --verbosity=<n>: expected a whole number from 0 to 5"},
      {{"-j", "abc", "logs"}, 131, "--jobs takes a whole number from 1 to 1024"},
      {{"-b", "abc", "logs"}, 131, "--buffer takes a size in bytes"},
      {{"-j", "0", "logs"}, 131, "expected a whole number from 1 to 1024"},
      {{"logs", "-j"}, 130, "requires an argument"},
      {{"--verbosty=3", "logs"}, 134, "did you mean --verbosity?"},
      {{"--format=xlsx", "logs"}, 131, "expected csv or parquet"},
      {{"--dbc-can1=folder.dbc", "logs"},
       134,
       "invalid value \"folder.dbc\" to option --dbc-can1=<file>: not a file"},
  };
  for (const Case& c : cases) {
    auto r = w.run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args[0] << ": " << r.out;
  }
  auto help = w.run({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, w.run({"--help"}).out);
  // A DBC file given explicitly is used whatever its name ends in.
  auto other_extension = w.run({"--verbosity=3", "--dbc-can1=engine.txt", "logs"});
  EXPECT_EQ(other_extension.status, 0) << other_extension.err;
  EXPECT_NE(other_extension.err.find("dbc-can1: " + w.dir.file("engine.txt")), std::string::npos)
      << other_extension.err;
}

// The README, the man page and --help list the same exit statuses with the same sentences, which
// are the program's own table.
TEST(CommandLine, ExitStatusesAgreeEverywhere) {
  const std::string source = TABULON_SOURCE_DIR;
  std::map<int, std::string> program;
  for (const ExitStatusMeaning& row : exit_status_table()) program[row.status] = row.meaning;

  std::map<int, std::string> readme;
  std::string text = test::read_text(source + "/README.md");
  std::regex readme_row(R"(\n\| (\d+) \| ([^\n]*) \|(?=\n))");
  for (std::sregex_iterator it(text.begin(), text.end(), readme_row), end; it != end; ++it) {
    std::string meaning = std::regex_replace((*it)[2].str(), std::regex("`"), "");
    readme[std::stoi((*it)[1].str())] = meaning;
  }
  EXPECT_EQ(readme, program);

  std::map<int, std::string> man;
  std::string page = test::read_text(source + "/man/tabulon.1.in");
  size_t section = page.find(".SH EXIT STATUS\n");
  ASSERT_NE(section, std::string::npos);
  page = page.substr(section, page.find("\n.PP", section) - section);
  std::regex man_entry(R"(\.TP\n\.B (\d+)\n((?:[^.\n][^\n]*\n?)+))");
  for (std::sregex_iterator it(page.begin(), page.end(), man_entry), end; it != end; ++it) {
    std::string meaning = std::regex_replace((*it)[2].str(), std::regex(R"(\\-)"), "-");
    meaning = std::regex_replace(meaning, std::regex("\n+$"), "");
    man[std::stoi((*it)[1].str())] = std::regex_replace(meaning, std::regex("\n"), " ");
  }
  EXPECT_EQ(man, program);

  Workspace w;
  std::string help = w.run({"--help"}).out;
  for (const auto& [status, meaning] : program) {
    char line[32];
    snprintf(line, sizeof line, "\n  %-5d ", status);
    EXPECT_NE(help.find(line + meaning + "\n"), std::string::npos) << status;
  }
}

}  // namespace
