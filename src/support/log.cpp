// Log line formatting and writing.
#include "support/log.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

int32_t log_output_level = 0;
static int log_fd = 2;
// Writers of the output and the status line take turns, so that a line and the status drawn
// after it are never torn by another thread's.
static std::mutex output_mutex;
static thread_local LogSink thread_sink = nullptr;
static thread_local void* thread_sink_context = nullptr;
static thread_local int32_t thread_tag = 0;

// Moves to the start of the terminal line and erases it.
static constexpr char CLEAR_LINE[] = "\r\x1b[K";
static constexpr size_t CLEAR_LENGTH = sizeof CLEAR_LINE - 1;
static char status_text[LOG_STATUS_ROOM];
static size_t status_length = 0;

void log_set_output_level(int32_t level) { log_output_level = level; }
void log_set_output_fd(int fd) {
  std::lock_guard<std::mutex> lock(output_mutex);
  log_fd = fd;
}

void log_set_thread_sink(LogSink sink, void* context) {
  thread_sink = sink;
  thread_sink_context = context;
}

void log_set_thread_tag(int32_t tag) { thread_tag = tag; }
int32_t log_thread_tag() { return thread_tag; }

LogSink log_thread_sink(void** context) {
  *context = thread_sink_context;
  return thread_sink;
}

namespace {

constexpr int LINE_ROOM = 510;  // header and message; one more byte holds the line feed

char level_letter(int32_t level) {
  static constexpr char letters[] = {'V', 'D', 'I', 'W', 'E', 'F'};
  return level >= 1 && level <= 6 ? letters[level - 1] : '?';
}

// Fills buffer[0 .. LINE_ROOM) with header and message; returns the line length without the
// line feed.
int format_line(char* buffer, const LogStamp& s, int32_t level, const char* format, va_list args) {
  char header[128];
  int header_length = snprintf(
      header, sizeof header, "%02d-%02d %02d:%02d:%02d.%03d %5lld %5lld %c ", s.month, s.day,
      s.hour, s.minute, s.second, s.millisecond, s.process_id, s.thread_id, level_letter(level));
  if (header_length < 0) header_length = 0;
  if (header_length > LINE_ROOM) header_length = LINE_ROOM;
  memcpy(buffer, header, static_cast<size_t>(header_length));

  int room = LINE_ROOM - header_length;
  if (room <= 0) return LINE_ROOM;
  // vsnprintf writes at most room - 1 characters and a zero; a message that fills the room
  // or more is cut at the buffer's end.
  int message_length =
      vsnprintf(buffer + header_length, static_cast<size_t>(room) + 1, format, args);
  if (message_length < 0) return header_length;
  if (message_length < room) return header_length + message_length;
  return LINE_ROOM;
}

}  // namespace

int log_format_line(char* out, const LogStamp& stamp, int32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = format_line(out, stamp, level, format, args);
  va_end(args);
  out[n] = 0;
  return n;
}

void log_write(int32_t level, const char* format, ...) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  LogStamp stamp{local.tm_mon + 1,
                 local.tm_mday,
                 local.tm_hour,
                 local.tm_min,
                 local.tm_sec,
                 static_cast<int>(now.tv_usec / 1000),
                 static_cast<long long>(getpid()),
                 static_cast<long long>(syscall(SYS_gettid))};

  char line[LINE_ROOM + 1];
  va_list args;
  va_start(args, format);
  int n = format_line(line, stamp, level, format, args);
  va_end(args);
  line[n] = '\n';
  if (thread_sink) {
    thread_sink(thread_sink_context, line, static_cast<size_t>(n) + 1);
    return;
  }
  log_write_text(line, static_cast<size_t>(n) + 1);
}

static LogObserver observer = nullptr;
static void* observer_context = nullptr;

void log_set_observer(LogObserver callback, void* context) {
  observer = callback;
  observer_context = context;
}

void log_write_text(const char* text, size_t length) {
  std::lock_guard<std::mutex> lock(output_mutex);
  // Under the lock: the observer sees the texts one at a time, in the order they are written.
  if (observer) observer(observer_context, text, length);
  struct iovec parts[3] = {
      {const_cast<char*>(CLEAR_LINE), status_length > 0 ? CLEAR_LENGTH : 0},
      {const_cast<char*>(text), length},
      {status_text, status_length},
  };
  ssize_t written = writev(log_fd, parts, 3);
  (void)written;  // a failed write on standard error is ignored
}

void log_update_status(const char* text, size_t length) {
  std::lock_guard<std::mutex> lock(output_mutex);
  if (status_length == 0 || length == 0) return;
  if (length > sizeof status_text) length = sizeof status_text;
  memcpy(status_text, text, length);
  status_length = length;
}

void log_set_status(const char* text, size_t length) {
  std::lock_guard<std::mutex> lock(output_mutex);
  if (length == 0 && status_length == 0) return;  // nothing shown, nothing to clear
  if (length > sizeof status_text) length = sizeof status_text;
  if (length > 0) memcpy(status_text, text, length);
  status_length = length;
  char buffer[CLEAR_LENGTH + LOG_STATUS_ROOM];
  memcpy(buffer, CLEAR_LINE, CLEAR_LENGTH);
  memcpy(buffer + CLEAR_LENGTH, status_text, status_length);
  ssize_t written = write(log_fd, buffer, CLEAR_LENGTH + status_length);
  (void)written;
}
