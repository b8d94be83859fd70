// The log facility: one line per message on standard error, with a local-time stamp,
// process and thread identifiers and a level letter, filtered by one global output level.
// Any thread may log; each line reaches the output whole, in one write. A thread can instead
// hand its lines to a sink of its own (a worker that converts ahead of the order in which its
// lines are to appear).
#pragma once

#include <cstddef>
#include <cstdint>

enum LogLevel : int32_t {
  LOG_VERBOSE = 1,
  LOG_DEBUG = 2,
  LOG_INFO = 3,
  LOG_WARN = 4,
  LOG_ERROR = 5,
  LOG_FATAL = 6,
};

// Lowest level that is written. 0 until the command line has been parsed, so everything
// logged before that is written. Set before any other thread starts.
extern int32_t log_output_level;

void log_set_output_level(int32_t level);

// Formats and writes one line (at most 510 characters plus a line feed) with a single write
// call. Does not filter: call sites test the level first, which LOG() does.
void log_write(int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Builds the line that log_write would write for the given time and identifiers, without
// the line feed, into `out` (at least 511 bytes); returns its length. Exposed for tests.
struct LogStamp {
  int month, day, hour, minute, second, millisecond;
  long long process_id, thread_id;
};
int log_format_line(char* out, const LogStamp& stamp, int32_t level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Where log lines go: standard error (2) unless a test redirects it.
void log_set_output_fd(int fd);

// Receives each line the thread logs, formatted and ending in its line feed, in place of the
// output; `context` is the one given with the sink.
using LogSink = void (*)(void* context, const char* line, size_t length);
// Sets the calling thread's sink (null: its lines are written again).
void log_set_thread_sink(LogSink sink, void* context);
// The calling thread's sink (null for none) and its context.
LogSink log_thread_sink(void** context);

// A tag the calling thread puts on the lines it logs, for a sink that tells kinds of lines
// apart (0: none); set around the lines it concerns.
constexpr int32_t LOG_TAG_ONCE = 1;  // a line its cause logs once, however often it recurs
void log_set_thread_tag(int32_t tag);
int32_t log_thread_tag();

// Sets the calling thread's sink for the scope and puts the one before it back at its end.
class ScopedLogSink {
 public:
  ScopedLogSink(LogSink sink, void* context) : saved_(log_thread_sink(&saved_context_)) {
    log_set_thread_sink(sink, context);
  }
  ~ScopedLogSink() { log_set_thread_sink(saved_, saved_context_); }
  ScopedLogSink(const ScopedLogSink&) = delete;
  ScopedLogSink& operator=(const ScopedLogSink&) = delete;

 private:
  void* saved_context_ = nullptr;
  LogSink saved_;
};
// Sees every text log_write_text writes (whole lines, as written, on the writing thread) before
// it is written, one text at a time; null: none. Set before other threads start. The observer
// must not log.
using LogObserver = void (*)(void* context, const char* text, size_t length);
void log_set_observer(LogObserver observer, void* context);

// Writes text that holds whole lines (a sink's lines, a summary) as log_write writes its line:
// in one write call, after which the status line is redrawn. Ignores the thread's sink.
void log_write_text(const char* text, size_t length);

// The status line of a terminal, kept below the log lines. log_set_status draws `text` in place
// of the current status line (an empty text clears it and stops the redraws); text beyond
// LOG_STATUS_ROOM bytes is cut. While a status line is shown, each log line clears it first and
// redraws it after the line feed, all in the line's single write, so lines stay whole. With no
// status line set, log lines are written exactly as without this facility.
constexpr int LOG_STATUS_ROOM = 255;
void log_set_status(const char* text, size_t length);
// Replaces the text of a status line that is shown, without drawing it: the next log line
// redraws the new text. Does nothing while no status line is shown.
void log_update_status(const char* text, size_t length);

#define LOG(level, ...)                                               \
  do {                                                                \
    if (log_output_level <= (level)) log_write((level), __VA_ARGS__); \
  } while (0)
// A warning shown from the default level (errors) up: a loss the run does not fail for but that
// no user may miss (frames left out, an input passed over).
#define LOG_SHOWN_WARNING(...)                                           \
  do {                                                                   \
    if (log_output_level <= LOG_ERROR) log_write(LOG_WARN, __VA_ARGS__); \
  } while (0)
