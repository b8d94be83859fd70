// Progress on a terminal: one status line on standard error, redrawn in place below the log
// lines while the inputs are converted, and one summary line at the end of the run. Off unless
// standard error is a terminal and --non-interactive was not given; then every call here is a
// no-op and nothing but the log lines reaches standard error.
#pragma once

#include <cstdint>
#include <string_view>

struct Run;
struct ConversionOptions;

// The status line is redrawn at most this often.
constexpr int64_t PROGRESS_REDRAW_MS = 100;

// Whether the run shows progress: standard error is a terminal and the options do not say
// non_interactive.
bool progress_wanted(const ConversionOptions* options);
// Turns the display on when progress_wanted. The totals are the files and bytes the run is to
// convert; the run's frame count is read while it runs.
void progress_start(Run* run, uint64_t files_total, uint64_t bytes_total);
// Clears the status line and turns the display off.
void progress_stop();

// A log file is about to be converted.
void progress_file_begin(std::string_view input_path);
// The bytes of the current input that are done so far, up to its size (an estimate for an
// input that is converted in parts); progress_file_end adds its whole size.
void progress_file_position(uint64_t bytes);
// That file is done (whatever its result); `size` is its size in bytes.
void progress_file_end(uint64_t size);
// Redraws when the redraw interval has passed.
void progress_poll();

// Writes the status text for the given state into `out` (room for `capacity` bytes, at most
// `width` of them used, width >= 1) and returns its length: files and MB done of the totals,
// frames, throughput and the time left at that throughput. The path is cut from the left and
// control bytes in it are shown as "?" so that the line never wraps or breaks. Exposed for
// tests.
struct ProgressSnapshot {
  uint64_t files_done, files_total, bytes_done, bytes_total, frames;
  int64_t elapsed_ms;
  std::string_view path;
};
size_t progress_format(char* out, size_t capacity, size_t width, const ProgressSnapshot& s);

// What a run did, for its summary line.
struct RunSummary {
  uint64_t converted, failed, skipped;  // inputs
  uint64_t rows, csv_files;
  std::string_view output_folder;
  int64_t elapsed_ms;
  std::string_view frames;  // "Frames: ... ." (run_report_format_frames), or empty
};
// The summary line with its line feed, as progress_summary writes it; returns its length (at
// most capacity - 1, cut there). Exposed for tests.
size_t progress_format_summary(char* out, size_t capacity, const RunSummary& summary);
// Writes the summary line to standard error, whatever the log level: after the status line
// when progress_wanted, else (--non-interactive, or not a terminal) as a plain line unless the
// log level is fatal only.
void progress_summary(const ConversionOptions* options, const RunSummary& summary);
