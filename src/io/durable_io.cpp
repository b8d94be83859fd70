// Durable-output file-system calls on POSIX.
#include "io/durable_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "io/fs_root.h"

DurableIoCalls durable_io{::write, ::fdatasync, ::syncfs};

namespace {

constexpr size_t COMPARE_CHUNK = 1 << 16;

// Reads up to n bytes, going on after short reads; the count read, or -1.
ssize_t read_full(int fd, char* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t got = ::read(fd, buffer + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

// Compares two open files chunk by chunk.
int compare_open_files(int a, int b) {
  static char left[COMPARE_CHUNK], right[COMPARE_CHUNK];
  for (;;) {
    ssize_t n = read_full(a, left, sizeof left);
    ssize_t m = read_full(b, right, sizeof right);
    if (n < 0 || m < 0) return -1;
    if (n != m || memcmp(left, right, static_cast<size_t>(n)) != 0) return 0;
    if (n == 0) return 1;
  }
}

}  // namespace

bool io_write_all(int fd, const void* data, uint64_t size, uint64_t* written) {
  const char* bytes = static_cast<const char*>(data);
  uint64_t done = 0;
  bool ok = true;
  while (done < size) {
    ssize_t n = durable_io.write(fd, bytes + done, static_cast<size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<uint64_t>(n);
  }
  if (written) *written = done;
  return ok;
}

bool io_sync(int fd) { return durable_io.sync(fd) == 0; }

bool io_sync_file_system(int fd) { return durable_io.sync_file_system(fd) == 0; }

int io_open_output(const char* path, bool append) {
  // A link planted at an output's path must not send the rows (or a truncation) elsewhere. A
  // file opened to go on with may have to be read first (an unfinished Parquet file's pages).
  int flags = O_CLOEXEC | O_NOFOLLOW | (append ? O_RDWR | O_APPEND : O_WRONLY | O_CREAT | O_TRUNC);
  return path_open_descriptor(path, flags);
}

int64_t io_file_size(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool io_cut_back(const char* path, uint64_t size) {
  int fd = path_open_descriptor(path, O_WRONLY | O_NOFOLLOW);
  if (fd < 0) return false;
  int64_t now = io_file_size(fd);
  bool ok = now >= 0 &&
            (static_cast<uint64_t>(now) <= size || ftruncate(fd, static_cast<off_t>(size)) == 0);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

bool io_remove_file(const char* path) { return path_remove_file(path) || errno == ENOENT; }

bool io_read_file(const char* path, DynString* out) {
  dynstring_clear(out);
  int fd = path_open_descriptor(path, O_RDONLY);
  if (fd < 0) return false;
  int64_t size = io_file_size(fd);
  bool ok = size >= 0;
  if (ok) {
    char* data = dynstring_reserve(out, static_cast<uint64_t>(size));
    ssize_t n = data ? read_full(fd, data, static_cast<size_t>(size)) : -1;
    ok = n == size;
    if (ok) dynstring_extend(out, static_cast<uint64_t>(size));
  }
  ::close(fd);
  return ok;
}

int io_files_equal(const char* a, const char* b) {
  int fa = path_open_descriptor(a, O_RDONLY);
  int fb = fa < 0 ? -1 : path_open_descriptor(b, O_RDONLY);
  int result = -1;
  if (fa >= 0 && fb >= 0) {
    int64_t size_a = io_file_size(fa), size_b = io_file_size(fb);
    if (size_a >= 0 && size_b >= 0) result = size_a != size_b ? 0 : compare_open_files(fa, fb);
  }
  if (fa >= 0) ::close(fa);
  if (fb >= 0) ::close(fb);
  return result;
}

int io_lock_folder(const char* path) {
  int fd = path_open_descriptor(path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void io_unlock_folder(int fd) {
  if (fd < 0) return;
  flock(fd, LOCK_UN);
  ::close(fd);
}

bool io_join_path(std::string_view folder, std::string_view name, DynString* out) {
  if (!dynstring_append(out, folder)) return false;
  if (!folder.empty() && folder.back() != '/' && !dynstring_append(out, "/")) return false;
  return dynstring_append(out, name) != nullptr;
}
