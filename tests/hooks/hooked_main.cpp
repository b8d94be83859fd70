// A test build of the tool (never installed) whose durable-output calls misbehave where the
// environment says, to test what a full disk or a kill leaves behind:
//   TABULON_TEST_FAIL_WRITE=n  the n-th write call takes half its bytes, the call after it
//                              fails with ENOSPC, later calls work again;
//   TABULON_TEST_FAIL_SYNC=n   the n-th sync (of a file or a file system) fails with EIO;
//   TABULON_TEST_KILL_WRITE=n  the n-th write call takes a part of its bytes (seeded by n),
//                              then the process kills itself with SIGKILL;
//   TABULON_TEST_COUNT=1       the numbers of write and sync calls are printed to standard
//                              error at exit as "write calls: <n>, sync calls: <m>";
//   TABULON_TEST_SPLIT=s:r     inputs of s bytes or more are read in parts of about r bytes
//                              of records (with more than one job);
//   TABULON_TEST_GROW=path     every sync appends a byte to the file at path first (as a
//                              copy still being written grows);
//   TABULON_TEST_MOVE=from:to  the first sync renames from to to first (an output folder
//                              moved away mid-run);
//   TABULON_TEST_DELETE_BATCH=n  with --delete-converted, converted inputs are deleted once n
//                              of them wait (instead of 256).
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/input_reader.h"
#include "app/tool.h"
#include "io/durable_io.h"
#include "output/input_deletion.h"

namespace {

long fail_write_at = 0, fail_sync_at = 0, kill_write_at = 0;
long writes = 0, syncs = 0;
bool fail_next_write = false;

long from_environment(const char* name) {
  const char* text = getenv(name);
  return text ? atol(text) : 0;
}

ssize_t hooked_write(int fd, const void* data, size_t size) {
  ++writes;
  if (fail_next_write) {
    fail_next_write = false;
    errno = ENOSPC;
    return -1;
  }
  if (writes == kill_write_at) {
    size_t part = size > 1 ? static_cast<size_t>(kill_write_at * 7919) % size : 0;
    if (part > 0 && ::write(fd, data, part) < 0) _exit(125);
    kill(getpid(), SIGKILL);
  }
  if (writes == fail_write_at) {
    fail_next_write = true;
    if (size > 1) return ::write(fd, data, size / 2);
  }
  return ::write(fd, data, size);
}

const char* grow_path = nullptr;
const char* move_paths = nullptr;

// Counts data syncs and file-system syncs alike.
bool sync_fails() {
  if (grow_path) {
    if (FILE* f = fopen(grow_path, "ab")) {
      fputc(0, f);
      fclose(f);
    }
  }
  if (const char* colon = move_paths ? strchr(move_paths, ':') : nullptr) {
    std::string from(move_paths, colon);
    rename(from.c_str(), colon + 1);
    move_paths = nullptr;
  }
  if (++syncs != fail_sync_at) return false;
  errno = EIO;
  return true;
}

int hooked_sync(int fd) { return sync_fails() ? -1 : ::fdatasync(fd); }

int hooked_sync_file_system(int fd) { return sync_fails() ? -1 : ::syncfs(fd); }

}  // namespace

int main(int argc, char** argv) {
  fail_write_at = from_environment("TABULON_TEST_FAIL_WRITE");
  fail_sync_at = from_environment("TABULON_TEST_FAIL_SYNC");
  kill_write_at = from_environment("TABULON_TEST_KILL_WRITE");
  grow_path = getenv("TABULON_TEST_GROW");
  move_paths = getenv("TABULON_TEST_MOVE");
  durable_io = DurableIoCalls{hooked_write, hooked_sync, hooked_sync_file_system};
  if (const char* split = getenv("TABULON_TEST_SPLIT")) {
    char* rest = nullptr;
    split_sizes.split_bytes = strtoull(split, &rest, 10);
    if (rest && *rest == ':') split_sizes.range_bytes = strtoull(rest + 1, nullptr, 10);
  }
  if (long batch = from_environment("TABULON_TEST_DELETE_BATCH"))
    deletion_batch_inputs = static_cast<int32_t>(batch);
  int status = tool_main(argc, argv);
  if (from_environment("TABULON_TEST_COUNT"))
    fprintf(stderr, "write calls: %ld, sync calls: %ld\n", writes, syncs);
  return status;
}
