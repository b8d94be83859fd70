// The terminal status line: counters of the walk and the run, the current input and the
// throughput, handed to the log facility, which draws it and keeps it below every log line.
#include "app/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/run.h"
#include "output/output_writer.h"
#include "support/clock.h"
#include "support/log.h"

namespace {

// True between progress_start and progress_stop when the display is on.
bool progress_active = false;

constexpr size_t PATH_ROOM = 1024;
constexpr size_t DEFAULT_WIDTH = 80;  // when the terminal does not tell its width

struct ProgressState {
  Run* run;
  int64_t started_ms;
  int64_t last_draw_ms;
  bool drawn;  // false until the first draw, which is never held back
  uint64_t files_done, files_total;
  uint64_t bytes_done, bytes_total;
  uint64_t position;  // bytes done of the current input
  char path[PATH_ROOM];
  size_t path_length;
};

ProgressState state;

// Columns of the terminal on standard error, less one: writing into the last column makes
// some terminals wrap, and "\r" would then return to the wrong line.
size_t line_width() {
  struct winsize size;
  size_t columns = DEFAULT_WIDTH;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) columns = size.ws_col;
  return columns - 1;
}

// Formats the status line; draws it, or, when `draw` is false, only lets the next log line
// show it.
void refresh(int64_t now, bool draw) {
  ProgressSnapshot snapshot{state.files_done,
                            state.files_total,
                            state.bytes_done + state.position,
                            state.bytes_total,
                            state.run->input_frames,
                            now - state.started_ms,
                            std::string_view(state.path, state.path_length)};
  char text[LOG_STATUS_ROOM];
  size_t length = progress_format(text, sizeof text, line_width(), snapshot);
  // An empty status would clear the line and stop the redraws around log lines.
  if (length == 0) return;
  if (!draw) {
    log_update_status(text, length);
    return;
  }
  log_set_status(text, length);
  state.last_draw_ms = now;
  state.drawn = true;
}

bool draw_due(int64_t now) {
  return !state.drawn || now - state.last_draw_ms >= PROGRESS_REDRAW_MS;
}

// The time left as "m:ss" or "h:mm:ss" (at most 9999 hours), or "-:--" when nothing is done yet
// to tell the throughput by.
void format_time_left(char* out, size_t capacity, const ProgressSnapshot& s) {
  if (s.bytes_done == 0 || s.elapsed_ms <= 0) {
    snprintf(out, capacity, "-:--");
    return;
  }
  uint64_t left = s.bytes_total > s.bytes_done ? s.bytes_total - s.bytes_done : 0;
  double seconds = static_cast<double>(left) * static_cast<double>(s.elapsed_ms) /
                   static_cast<double>(s.bytes_done) / 1000.0;
  if (seconds > 9999.0 * 3600.0) seconds = 9999.0 * 3600.0;
  auto whole = static_cast<unsigned long long>(seconds + 0.5);
  if (whole < 3600) {
    snprintf(out, capacity, "%llu:%02llu", whole / 60, whole % 60);
  } else {
    snprintf(out, capacity, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
  }
}

}  // namespace

size_t progress_format(char* out, size_t capacity, size_t width, const ProgressSnapshot& s) {
  if (capacity == 0) return 0;
  size_t limit = width < capacity ? width : capacity - 1;
  constexpr double MB = 1024.0 * 1024.0;
  double megabytes = static_cast<double>(s.bytes_done) / MB;
  double rate = s.elapsed_ms > 0 ? megabytes * 1000.0 / static_cast<double>(s.elapsed_ms) : 0.0;
  char left[24];
  format_time_left(left, sizeof left, s);
  char counters[200];
  int n = snprintf(
      counters, sizeof counters, "%llu/%llu files, %.1f/%.1f MB, %llu frames, %.1f MB/s, ETA %s",
      static_cast<unsigned long long>(s.files_done), static_cast<unsigned long long>(s.files_total),
      megabytes, static_cast<double>(s.bytes_total) / MB, static_cast<unsigned long long>(s.frames),
      rate, left);
  if (n < 0) return 0;
  size_t length =
      static_cast<size_t>(n) < sizeof counters ? static_cast<size_t>(n) : sizeof counters - 1;
  if (length > limit) length = limit;
  memcpy(out, counters, length);

  constexpr std::string_view SEPARATOR = ": ", ELLIPSIS = "...";
  std::string_view path = s.path;
  if (path.empty() || length + SEPARATOR.size() + ELLIPSIS.size() + 1 > limit) return length;
  memcpy(out + length, SEPARATOR.data(), SEPARATOR.size());
  length += SEPARATOR.size();
  size_t room = limit - length;
  if (path.size() > room) {
    // Keep the end of the path, which names the file; start on a whole UTF-8 character.
    path = path.substr(path.size() - (room - ELLIPSIS.size()));
    while (!path.empty() && (static_cast<unsigned char>(path[0]) & 0xC0) == 0x80)
      path.remove_prefix(1);
    memcpy(out + length, ELLIPSIS.data(), ELLIPSIS.size());
    length += ELLIPSIS.size();
  }
  for (char c : path) {
    unsigned char byte = static_cast<unsigned char>(c);
    out[length++] = byte < 0x20 || byte == 0x7F ? '?' : c;
  }
  return length;
}

bool progress_wanted(const ConversionOptions* options) {
  return options && !options->non_interactive && isatty(STDERR_FILENO);
}

void progress_start(Run* run, uint64_t files_total, uint64_t bytes_total) {
  progress_active = false;
  if (!run || !progress_wanted(run->options)) return;
  state = ProgressState{};
  state.run = run;
  state.started_ms = monotonic_milliseconds();
  state.files_total = files_total;
  state.bytes_total = bytes_total;
  progress_active = true;
}

void progress_stop() {
  if (!progress_active) return;
  progress_active = false;
  log_set_status("", 0);
}

void progress_file_begin(std::string_view input_path) {
  if (!progress_active) return;
  state.path_length = input_path.size() < PATH_ROOM ? input_path.size() : PATH_ROOM;
  // A path longer than the room keeps its end, which names the file.
  memcpy(state.path, input_path.data() + (input_path.size() - state.path_length),
         state.path_length);
  // Between draws the text is still brought up to date, so that a log line about this file
  // is followed by a status line that names it.
  int64_t now = monotonic_milliseconds();
  refresh(now, draw_due(now));
}

void progress_file_position(uint64_t bytes) {
  if (progress_active) state.position = bytes;
}

void progress_file_end(uint64_t size) {
  if (!progress_active) return;
  state.files_done += 1;
  state.bytes_done += size;
  state.position = 0;
  int64_t now = monotonic_milliseconds();
  refresh(now, draw_due(now));
}

void progress_poll() {
  if (!progress_active) return;
  int64_t now = monotonic_milliseconds();
  if (draw_due(now)) refresh(now, true);
}

size_t progress_format_summary(char* out, size_t capacity, const RunSummary& summary) {
  if (capacity < 2) return 0;
  int64_t tenths = summary.elapsed_ms > 0 ? (summary.elapsed_ms + 50) / 100 : 0;
  int n = snprintf(out, capacity,
                   "Done. Input files: %llu converted, %llu failed, %llu skipped. %.*s%sRows: %llu "
                   "in %llu %s files in %.*s. Time: %lld.%lld s\n",
                   static_cast<unsigned long long>(summary.converted),
                   static_cast<unsigned long long>(summary.failed),
                   static_cast<unsigned long long>(summary.skipped),
                   static_cast<int>(summary.frames.size()), summary.frames.data(),
                   summary.frames.empty() ? "" : " ", static_cast<unsigned long long>(summary.rows),
                   static_cast<unsigned long long>(summary.csv_files),
                   strcmp(output_file_extension(), ".csv") == 0 ? "CSV" : "Parquet",
                   static_cast<int>(summary.output_folder.size()), summary.output_folder.data(),
                   static_cast<long long>(tenths / 10), static_cast<long long>(tenths % 10));
  if (n < 0) return 0;
  size_t length = static_cast<size_t>(n) < capacity ? static_cast<size_t>(n) : capacity - 1;
  // A cut line still ends in its line feed, and control bytes of the folder's name cannot move
  // the cursor or break the line.
  out[length - 1] = '\n';
  for (size_t i = 0; i + 1 < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(out[i]);
    if (byte < 0x20 || byte == 0x7F) out[i] = '?';
  }
  return length;
}

void progress_summary(const ConversionOptions* options, const RunSummary& summary) {
  if (!progress_wanted(options) && log_output_level > LOG_ERROR) return;
  char line[PATH_ROOM + 256];
  size_t length = progress_format_summary(line, sizeof line, summary);
  if (length > 0) log_write_text(line, length);
}
