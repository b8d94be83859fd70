// Small helpers for tests: temporary folders, whole-file reads and writes, and running the
// real binary with its standard output and standard error captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test {

// A fresh folder below the system's temp folder, removed with everything in it at the end.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

std::vector<uint8_t> read_file(const std::string& path);
std::string read_text(const std::string& path);
bool write_file(const std::string& path, const void* data, size_t size);
inline bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  return write_file(path, bytes.data(), bytes.size());
}
inline bool write_file(const std::string& path, const std::string& text) {
  return write_file(path, text.data(), text.size());
}
bool make_dirs(const std::string& path);
bool exists(const std::string& path);
// Makes at `path` a device that takes no bytes, like /dev/full (outputs never follow a link to
// it); false when this machine or user cannot make one that opens.
bool make_full_device(const std::string& path);
// Every regular file below `root`, as paths relative to it, sorted.
std::vector<std::string> list_files(const std::string& root);

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs `program` with `args` in `working_dir`, standard input closed.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& working_dir = ".");

}  // namespace test
