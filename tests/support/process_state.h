// Guards that change process-wide state (the log level, an environment variable, the file
// size limit) for one scope and put it back at its end, and a look at the process's open files.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "support/log.h"

namespace test {

class ScopedLogLevel {
 public:
  explicit ScopedLogLevel(int32_t level) : saved_(log_output_level) { log_set_output_level(level); }
  ~ScopedLogLevel() { log_set_output_level(saved_); }
  ScopedLogLevel(const ScopedLogLevel&) = delete;
  ScopedLogLevel& operator=(const ScopedLogLevel&) = delete;

 private:
  int32_t saved_;
};

// Sets an environment variable, and at the end puts back its old value or its absence.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) saved_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { saved_ ? setenv(name_, saved_->c_str(), 1) : unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

// Files of this process can grow to `bytes` and no further: a write beyond fails with EFBIG,
// as on a full disk (the signal that would end the process is ignored meanwhile).
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_limit_);
    rlimit limit = saved_limit_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
    saved_signal_ = signal(SIGXFSZ, SIG_IGN);
  }
  ~ScopedFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_limit_);
    signal(SIGXFSZ, saved_signal_);
  }
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  rlimit saved_limit_{};
  sighandler_t saved_signal_{};
};

// How many open descriptors of this process name a file in `dir`, linked or not.
inline int open_files_in(const std::string& dir) {
  int count = 0;
  std::error_code error;
  const std::string prefix = std::filesystem::canonical(dir, error).string() + "/";
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (!error && target.rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

}  // namespace test
