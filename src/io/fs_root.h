// File-system roots: a handle on an existing directory through which the files below it are
// queried, listed, opened, created and removed; and the path helpers of the command line.
// Paths are UTF-8 with "/" separators.
#pragma once

#include <cstdint>
#include <string_view>

#include "io/stream.h"
#include "support/dyn_string.h"
#include "support/ordered_map.h"

enum EntryType : int32_t {
  ENTRY_OTHER = 0,
  ENTRY_FILE = 1,
  ENTRY_DIRECTORY = 2,
  ENTRY_MISSING = 3,
};

struct EntryInfo {
  int32_t type;
  uint64_t size;  // for files; 0 otherwise
};

// Directory entries by name, in unsigned byte order. Keys are owned DynStrings.
using DirectoryListing = OrderedMap<DynString, EntryInfo, DynStringKeyOrder>;
void directory_listing_free(DirectoryListing* listing);

constexpr int32_t FS_OPEN_READ = 1;
constexpr int32_t FS_OPEN_WRITE = 2;

struct FsRoot;

// Every operation takes a full path. query: false only for an unexpected status error (a
// missing entry is type ENTRY_MISSING). list: files and directories of a directory, nothing
// when it cannot be enumerated. open flags: bit 0 read, bit 1 write, both update.
struct FsRootOps {
  void (*dispose)(FsRoot* root);
  bool (*query)(FsRoot* root, const char* path, EntryInfo* info);
  void (*list)(FsRoot* root, const char* path, DirectoryListing* listing);
  bool (*make_directory)(FsRoot* root, const char* path);
  bool (*remove)(FsRoot* root, const char* path);
  Stream* (*open)(FsRoot* root, const char* path, int32_t flags);
};

struct FsRoot {
  const FsRootOps* ops;
  DynString path;
};

// Null unless `path` exists and is a directory.
FsRoot* fs_root_create(std::string_view path);
void fs_root_release(FsRoot* root);

// Relative paths below a root. The full path is the root's path, "/" when the relative path
// is not empty, and the relative path.
bool fs_query(FsRoot* root, std::string_view relative, EntryInfo* info);
void fs_list(FsRoot* root, std::string_view relative, DirectoryListing* listing);
Stream* fs_open(FsRoot* root, std::string_view relative, int32_t flags);
bool fs_remove(FsRoot* root, std::string_view relative);
// True when the directory exists or was created.
bool fs_ensure_directory(FsRoot* root, std::string_view relative);
// Appends the full path to `out` (nothing for the relative path ".."); false on exhaustion.
bool fs_join(FsRoot* root, std::string_view relative, DynString* out);

// Status of a path without a root; false only for an unexpected error.
bool path_query(const char* path, EntryInfo* info);
// Absolute: begins with "/", or with a drive letter and ":" and one more character.
bool path_is_absolute(std::string_view path);
// The working directory (at most 2048 bytes) with "\" turned into "/".
bool current_directory(DynString* out);
// Separators to "/", doubled separators collapsed once, made absolute against the working
// directory, and a trailing "/" exactly when the path is a directory.
void normalize_path(DynString* path);
