// The terminal status line: counters of the walk and the converter, the current input and the
// throughput, handed to the log facility, which draws it and keeps it below every log line.
#include "app/progress.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "decode/converter.h"
#include "support/log.h"

bool progress_active = false;

namespace {

constexpr size_t PATH_ROOM = 1024;
constexpr size_t DEFAULT_WIDTH = 80;  // when the terminal does not tell its width

struct ProgressState {
  Converter* converter;
  int64_t started_ms;
  int64_t last_draw_ms;
  bool drawn;  // false until the first draw, which is never held back
  uint64_t files_done;
  uint64_t bytes_done;
  char path[PATH_ROOM];
  size_t path_length;
};

ProgressState state;

int64_t now_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

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
  ProgressSnapshot snapshot{
      state.files_done,       state.converter->input_files,
      state.bytes_done,       state.converter->input_frames,
      now - state.started_ms, std::string_view(state.path, state.path_length)};
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

}  // namespace

size_t progress_format(char* out, size_t capacity, size_t width, const ProgressSnapshot& s) {
  if (capacity == 0) return 0;
  size_t limit = width < capacity ? width : capacity - 1;
  double megabytes = static_cast<double>(s.bytes_done) / (1024.0 * 1024.0);
  double rate = s.elapsed_ms > 0 ? megabytes * 1000.0 / static_cast<double>(s.elapsed_ms) : 0.0;
  char counters[160];
  int n = snprintf(counters, sizeof counters, "%llu/%llu files, %.1f MB, %llu frames, %.1f MB/s",
                   static_cast<unsigned long long>(s.files_done),
                   static_cast<unsigned long long>(s.files_found), megabytes,
                   static_cast<unsigned long long>(s.frames), rate);
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

void progress_start(Converter* converter) {
  progress_active = false;
  if (!converter || converter->options->non_interactive || !isatty(STDERR_FILENO)) return;
  state = ProgressState{};
  state.converter = converter;
  state.started_ms = now_ms();
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
  int64_t now = now_ms();
  refresh(now, draw_due(now));
}

void progress_file_end(uint64_t size) {
  if (!progress_active) return;
  state.files_done += 1;
  state.bytes_done += size;
  int64_t now = now_ms();
  refresh(now, draw_due(now));
}

void progress_poll() {
  if (!progress_active) return;
  int64_t now = now_ms();
  if (draw_due(now)) refresh(now, true);
}
