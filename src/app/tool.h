// The tool: command line, set-up order, the conversion run and its statistics.
#pragma once

#include <cstdint>

#include "app/run.h"
#include "app/run_report.h"
#include "decode/decoders.h"
#include "io/fs_root.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"

struct Tool;
struct arg_hdr;

struct Tool {
  ConversionOptions options;
  DynString common_root;
  GrowArray<DynString> inputs;              // relative to the common root after find_common_root
  GrowArray<DynString> password_files;      // zero or one
  GrowArray<DynString> output_directories;  // zero or one
  GrowArray<DynString> summary_files;       // zero or one: where the run summary goes
  GrowArray<DynString> signal_patterns;     // --signals, one pattern each, zero-terminated
  FsRoot* input_root;
  FsRoot* output_root;  // the input root unless --output-directory was given
  DbcPathTable dbc_paths;
  uint8_t concatenate;
  RunReport report;  // the run's frames, and every input found when a summary file was given
  bool summary_due;  // the command line was read and asked for a summary
};

// Exit statuses of the tool itself (per-file results are ORed bits 1, 2, 4, 8 and 129).
constexpr int EXIT_NO_ROOT = 132;
constexpr int EXIT_ARGUMENT_MISSING = 130;
constexpr int EXIT_BAD_ARGUMENT = 131;
constexpr int EXIT_PARSE_ERROR = 134;
constexpr int EXIT_SETUP_FAILED = 136;
constexpr int EXIT_OTHER = 129;

// The most jobs --jobs takes, and the default's bound on machines with more CPUs.
constexpr int32_t MAX_JOBS = 1024;

constexpr const char* TOOL_NAME = "tabulon";
constexpr const char* TOOL_VERSION = TABULON_VERSION;  // from the project declaration

Tool* tool_create();
void tool_destroy(Tool* tool);
// True when the conversion is to run; otherwise *exit_status is set (or stays 0).
bool parse_command_line(Tool* tool, int argc, char** argv, int* exit_status);
// Fills the DBC path table from the working directory when no DBC option was given.
bool discover_dbc_files(Tool* tool);

int tool_main(int argc, char** argv);
