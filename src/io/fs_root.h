// File-system roots: a handle on an existing directory through which the files below it are
// queried, listed, opened and created; folder handles for walks; and the path helpers
// of the command line. Paths are UTF-8 with "/" separators. Nothing here depends on the
// system's limit on path length: long paths are resolved folder by folder through descriptors.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "io/stream.h"
#include "support/dyn_string.h"
#include "support/ordered_map.h"

enum EntryType : int32_t {
  ENTRY_OTHER = 0,
  ENTRY_FILE = 1,
  ENTRY_DIRECTORY = 2,
  ENTRY_MISSING = 3,
  ENTRY_UNREADABLE = 4,  // listed, but its status could not be read (see error)
};

struct EntryInfo {
  int32_t type;
  int32_t error;  // the system's error number for ENTRY_UNREADABLE; 0 otherwise
  uint64_t size;  // for files; 0 otherwise
};

// Directory entries by name, in unsigned byte order. Keys are owned DynStrings.
using DirectoryListing = OrderedMap<DynString, EntryInfo, DynStringKeyOrder>;
void directory_listing_free(DirectoryListing* listing);

constexpr int32_t FS_OPEN_READ = 1;
constexpr int32_t FS_OPEN_WRITE = 2;

struct FsRoot;

// Every operation takes a path relative to the root ("" is the root itself) and works at any
// depth; on failure errno tells why. query: false only for an unexpected status error (a
// missing entry is type ENTRY_MISSING). list: adds the files and folders of a folder, and the
// entries whose status could not be read (ENTRY_UNREADABLE); false when the folder could not
// be opened or read to its end (what was read stays listed). open_file: flags bit 0 read,
// bit 1 write (creates or truncates), both update (an existing file); null on failure.
struct FsRootOps {
  void (*dispose)(FsRoot* root);
  bool (*query)(FsRoot* root, std::string_view relative, EntryInfo* info);
  bool (*list)(FsRoot* root, std::string_view relative, DirectoryListing* listing);
  bool (*make_directory)(FsRoot* root, std::string_view relative);
  FILE* (*open_file)(FsRoot* root, std::string_view relative, int32_t flags);
};

struct FsRoot {
  const FsRootOps* ops;
  DynString path;
  int32_t fd;         // the root folder, open for the root's lifetime
  int32_t folder_fd;  // the walk's current folder (-1: none), borrowed; see fs_root_set_folder
  DynString folder;   // its path relative to the root, ending in "/" unless empty
};

// Null unless `path` exists and is a directory.
FsRoot* fs_root_create(std::string_view path);
void fs_root_release(FsRoot* root);

// Relative paths below a root. The full path is the root's path, "/" when the relative path
// is not empty, and the relative path.
bool fs_query(FsRoot* root, std::string_view relative, EntryInfo* info);
bool fs_list(FsRoot* root, std::string_view relative, DirectoryListing* listing);
Stream* fs_open(FsRoot* root, std::string_view relative, int32_t flags);
// A stdio handle on the file, for writers that format into it; null on failure.
FILE* fs_open_file(FsRoot* root, std::string_view relative, int32_t flags);
// True when the directory exists or was created.
bool fs_ensure_directory(FsRoot* root, std::string_view relative);
// Appends the full path to `out` (nothing for the relative path ".."); false on exhaustion.
bool fs_join(FsRoot* root, std::string_view relative, DynString* out);

// A folder held open by descriptor while a walk is inside it, so that what lies below it is
// reached however long its path is. Device and inode identify the folder, so that a walk can
// tell a folder it reaches a second time (through a symbolic link).
struct FsFolder {
  int32_t fd;
  uint64_t device;
  uint64_t inode;
};
// These return 0, or the system's error number when the folder could not be opened or read.
// Opens the folder at `relative` below the root.
int32_t fs_folder_open(FsRoot* root, std::string_view relative, FsFolder* out);
// Opens the entry `name` of `parent` as a folder (symbolic links followed).
int32_t fs_folder_open_child(const FsFolder* parent, const char* name, FsFolder* out);
// Adds the folder's files and folders to `listing`, as the root's list operation does; an
// error leaves in the listing what was read before it.
int32_t fs_folder_list(const FsFolder* folder, DirectoryListing* listing);
void fs_folder_close(FsFolder* folder);
// While a folder is set, the root reaches the entries directly inside `relative` (the
// folder's path below the root) through the folder's descriptor: a walk opens and queries the
// files it listed in the very folder it listed. The caller keeps the folder open until it sets
// another one or none (null).
void fs_root_set_folder(FsRoot* root, std::string_view relative, const FsFolder* folder);

// Whether the root's path still leads to the folder the root holds open (same device and
// inode): false when the folder was removed, moved or replaced since, or cannot be reached.
bool fs_root_in_place(FsRoot* root);

// Whether `relative` below the root is itself a symbolic link (not followed); false for
// anything else, a missing entry included.
bool fs_is_symbolic_link(FsRoot* root, std::string_view relative);

// Status of a path without a root; false only for an unexpected error.
bool path_query(const char* path, EntryInfo* info);
// A descriptor on the file at `path` (absolute, or relative to the working directory), opened
// with the open(2) flags `flags` (close-on-exec added; a created file gets mode 0666 less the
// umask), at any depth; -1 with errno on failure.
int path_open_descriptor(const char* path, int flags);
// Removes the file at `path`, at any depth; false with errno on failure.
bool path_remove_file(const char* path);
// What tells one state of a file from another: its identity, size and modification time.
struct FileStamp {
  uint64_t device, inode, size;
  int64_t modified_ns;
  bool operator==(const FileStamp&) const = default;
};
// The stamp of the file at `path` (a final link followed), at any depth; false with errno.
bool path_stamp(const char* path, FileStamp* out);
// Renames the file at `from` to `to` (replacing a file there), at any depth; false with errno
// on failure.
bool path_rename_file(const char* from, const char* to);
// Absolute: begins with "/", or with a drive letter and ":" and one more character.
bool path_is_absolute(std::string_view path);
// The working directory (at most 2048 bytes) with "\" turned into "/".
bool current_directory(DynString* out);
// Separators to "/", doubled separators collapsed once, made absolute against the working
// directory, "." and ".." components resolved by name ("in/a/.." is "in"; never above the
// root), and a trailing "/" exactly when the path is a directory.
void normalize_path(DynString* path);
// True when the relative path names an entry below its root: not empty, not absolute, and no
// component is empty, "." or "..".
bool path_stays_below(std::string_view relative);
