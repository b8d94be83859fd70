// File-system calls of durable output: whole writes, data syncs, cutting files back, removing
// them, comparing two files, and the advisory lock that keeps two runs out of one output
// folder. Writes and syncs go through one table of calls, which tests replace to inject
// failures; nothing else changes it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string_view>

#include "support/dyn_string.h"

// write: as write(2), the bytes written (possibly fewer than asked) or -1 with errno.
// sync: as fdatasync(2), the file's data made durable; 0 or -1 with errno.
// sync_file_system: as syncfs(2), everything written to the file system of `fd` made durable;
// 0 or -1 with errno.
struct DurableIoCalls {
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*sync)(int fd);
  int (*sync_file_system)(int fd);
};
extern DurableIoCalls durable_io;

// Writes all bytes, going on after short writes and interruptions. False when a call failed;
// *written (may be null) is then the number of bytes that did reach the file.
bool io_write_all(int fd, const void* data, uint64_t size, uint64_t* written);
// Makes the file's data durable (fdatasync); false on failure.
bool io_sync(int fd);
// Makes everything written to the file system that holds `fd` durable, file data and folder
// entries alike (syncfs); false on failure.
bool io_sync_file_system(int fd);
// Opens a file for writing: created or truncated, or with `append` an existing file written
// at its end, which may also be read (by position). A symbolic link at `path` is not followed
// (ELOOP). -1 on failure (errno says why).
int io_open_output(const char* path, bool append);
// The size of an open file, -1 on failure.
int64_t io_file_size(int fd);
// Cuts the file at `path` back to `size` bytes when it is longer (it is never lengthened);
// false when it cannot be opened or cut (a missing file is a failure too).
bool io_cut_back(const char* path, uint64_t size);
// Removes a file; true also when it is already gone.
bool io_remove_file(const char* path);
// The whole content of a file into `out` (replacing it); false when it cannot be read.
bool io_read_file(const char* path, DynString* out);
// 1 when both files hold the same bytes, 0 when they differ, -1 when either cannot be read.
int io_files_equal(const char* a, const char* b);
// Appends `folder`, a "/" unless the folder already ends in one, and `name` to `out`; false
// when memory runs out.
bool io_join_path(std::string_view folder, std::string_view name, DynString* out);
// Opens the folder and takes an exclusive advisory lock on it without waiting. The folder's
// descriptor, or -1: errno EWOULDBLOCK when another process holds the lock.
int io_lock_folder(const char* path);
// Releases the lock and closes the descriptor (nothing for -1).
void io_unlock_folder(int fd);
