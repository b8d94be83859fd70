// Captures the log lines written while it lives into a temporary file, for tests that check
// the text of a message. Lines below `level` are not written (0: every line).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "support/log.h"
#include "support/test_util.h"

namespace test {

class LogCapture {
 public:
  explicit LogCapture(int32_t level = 0) : saved_level_(log_output_level) {
    fd_ = open(dir_.file("log.txt").c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    log_set_output_level(level);
    if (fd_ >= 0) log_set_output_fd(fd_);
  }
  ~LogCapture() {
    log_set_output_fd(2);
    log_set_output_level(saved_level_);
    if (fd_ >= 0) close(fd_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const { return read_text(dir_.file("log.txt")); }
  bool contains(const std::string& needle) const {
    return text().find(needle) != std::string::npos;
  }
  // Occurrences of `needle` in the log so far.
  int count(const std::string& needle) const {
    std::string t = text();
    int n = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  TempDir dir_;
  int fd_ = -1;
  int32_t saved_level_;
};

}  // namespace test
