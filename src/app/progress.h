// Progress on a terminal: one status line on standard error, redrawn in place below the log
// lines while the inputs are converted. Off unless standard error is a terminal and
// --non-interactive was not given; then every call here is a no-op and nothing but the log lines
// reaches standard error.
#pragma once

#include <cstdint>
#include <string_view>

struct Converter;

// Frames between two readings of the clock; a power of two so the per-frame check is a mask.
constexpr uint64_t PROGRESS_FRAME_INTERVAL = 4096;
// The status line is redrawn at most this often.
constexpr int64_t PROGRESS_REDRAW_MS = 100;

// True between progress_start and progress_stop when the display is on.
extern bool progress_active;

// Turns the display on when standard error is a terminal and the converter's options do not say
// non_interactive. The converter's counters (files found, frames) are read while it runs.
void progress_start(Converter* converter);
// Clears the status line and turns the display off.
void progress_stop();

// A log file accepted by the walk (already counted as found) is about to be converted.
void progress_file_begin(std::string_view input_path);
// That file is done (whatever its result); `size` is its size in bytes.
void progress_file_end(uint64_t size);
// Redraws when the redraw interval has passed.
void progress_poll();

// Called after each decoded frame with the converter's frame count: one test and a mask.
inline void progress_frame(uint64_t frames) {
  if (progress_active && (frames & (PROGRESS_FRAME_INTERVAL - 1)) == 0) progress_poll();
}

// Writes the status text for the given state into `out` (room for `capacity` bytes, at most
// `width` of them used, width >= 1) and returns its length. The path is cut from the left
// and control bytes in it are shown as "?" so that the line never wraps or breaks. Exposed
// for tests.
struct ProgressSnapshot {
  uint64_t files_done, files_found, bytes_done, frames;
  int64_t elapsed_ms;
  std::string_view path;
};
size_t progress_format(char* out, size_t capacity, size_t width, const ProgressSnapshot& s);
