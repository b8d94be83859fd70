// Test helpers built on POSIX calls and std::filesystem.
#include "support/test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace test {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "tabulon-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  char* made = mkdtemp(buffer.data());
  path = made ? made : "";
}

TempDir::~TempDir() {
  if (path.empty()) return;
  std::error_code ec;
  // Folders made read-only by a test must become writable again to be removed.
  for (auto it = fs::recursive_directory_iterator(path, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path, ec);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const void* data, size_t size) {
  std::error_code ec;
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

bool make_dirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  return fs::is_directory(path, ec);
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::vector<std::string> list_files(const std::string& root) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file()) files.push_back(fs::relative(it->path(), root).string());
  std::sort(files.begin(), files.end());
  return files;
}

namespace {

std::string drain(int fd) {
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& working_dir) {
  RunResult result;
  TempDir capture;
  std::string out_path = capture.file("out"), err_path = capture.file("err");
  pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || chdir(working_dir.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  int out = open(out_path.c_str(), O_RDONLY), err = open(err_path.c_str(), O_RDONLY);
  if (out >= 0) {
    result.out = drain(out);
    close(out);
  }
  if (err >= 0) {
    result.err = drain(err);
    close(err);
  }
  return result;
}

bool make_full_device(const std::string& path) {
  if (mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) return false;
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

}  // namespace test
