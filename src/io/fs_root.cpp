// File-system roots on POSIX calls.
#include "io/fs_root.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/log.h"

void directory_listing_free(DirectoryListing* listing) {
  ordered_map_for_each(listing, [](DynString& name, EntryInfo&) {
    dynstring_free(&name);
    return true;
  });
  ordered_map_clear(listing);
}

namespace {

// The longest path handed to one system call: well below the system's limit (PATH_MAX), so
// that a longer path is resolved in pieces of whole components.
constexpr size_t PIECE_MAX = 3072;

// A descriptor: owned (closed when replaced or at scope end) or borrowed.
struct Descriptor {
  int fd = -1;
  bool owned = false;
  Descriptor() = default;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(-1, false); }
  void reset(int new_fd, bool own) {
    if (owned && fd >= 0) close(fd);
    fd = new_fd;
    owned = own;
  }
  int release() {
    owned = false;
    return fd;
  }
};

std::string_view without_trailing_slashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

// Opens the folder `path` (relative to `base`, or absolute) into `out` by descriptor, handing
// it to the system in pieces of whole components shorter than PIECE_MAX. The folders on the
// way are opened only to be passed through (O_PATH); the last one with `flags` as well. An
// empty path opens `base` itself anew. 0 or the error number.
int32_t open_folder(int base, std::string_view path, int flags, Descriptor* out) {
  out->reset(base, false);
  if (path.empty()) path = ".";
  ScopedDynString piece;
  while (!path.empty()) {
    size_t cut = path.size();
    if (cut > PIECE_MAX) {
      cut = path.rfind('/', PIECE_MAX);
      // A single component longer than a piece is handed over whole: the system refuses it.
      if (cut == std::string_view::npos || cut == 0) cut = path.find('/', 1);
      if (cut == std::string_view::npos) cut = path.size();
    }
    dynstring_clear(&piece.s);
    if (!dynstring_append(&piece.s, path.substr(0, cut))) return ENOMEM;
    path.remove_prefix(cut);
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    int piece_flags = (path.empty() ? flags : O_PATH) | O_DIRECTORY | O_CLOEXEC;
    int fd = openat(out->fd, dynstring_data(&piece.s), piece_flags);
    if (fd < 0) return errno;
    out->reset(fd, true);
  }
  return 0;
}

// A path split into the folder that holds its last component and that component (the leaf).
// A path short enough for one system call stays whole, relative to the base; a longer one is
// split at its last "/" (a trailing "/" stays with the leaf).
struct Resolved {
  Descriptor folder;
  ScopedDynString leaf;
};

int32_t resolve(int base, std::string_view path, Resolved* out) {
  std::string_view leaf = path.empty() ? std::string_view(".") : path;
  out->folder.reset(base, false);
  size_t slash = without_trailing_slashes(path).rfind('/');
  if (path.size() >= PIECE_MAX && slash != std::string_view::npos) {
    int32_t error = open_folder(base, path.substr(0, slash ? slash : 1), O_PATH, &out->folder);
    if (error) return error;
    leaf = path.substr(slash + 1);
  }
  return dynstring_append(&out->leaf.s, leaf) ? 0 : ENOMEM;
}

// Within a root: through the walk's current folder when the path lies directly inside it.
int32_t resolve_in_root(FsRoot* root, std::string_view relative, Resolved* out) {
  std::string_view folder = dynstring_sv(&root->folder);
  if (root->folder_fd >= 0 && relative.size() > folder.size() && relative.starts_with(folder)) {
    std::string_view leaf = relative.substr(folder.size());
    if (leaf.find('/') == std::string_view::npos) {
      out->folder.reset(root->folder_fd, false);
      return dynstring_append(&out->leaf.s, leaf) ? 0 : ENOMEM;
    }
  }
  return resolve(root->fd, relative, out);
}

void entry_info_from(const struct stat& st, EntryInfo* info) {
  *info = EntryInfo{ENTRY_OTHER, 0, 0};
  if (S_ISREG(st.st_mode)) {
    info->type = ENTRY_FILE;
    info->size = static_cast<uint64_t>(st.st_size);
  } else if (S_ISDIR(st.st_mode)) {
    info->type = ENTRY_DIRECTORY;
  }
}

// Status of a resolved path, following symbolic links; ENOENT and ENOTDIR give ENTRY_MISSING.
int32_t query_at(const Resolved& at, EntryInfo* info) {
  struct stat st;
  *info = EntryInfo{ENTRY_OTHER, 0, 0};
  if (fstatat(at.folder.fd, dynstring_data(&at.leaf.s), &st, 0) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return errno;
    info->type = ENTRY_MISSING;
    return 0;
  }
  entry_info_from(st, info);
  return 0;
}

// Lists the folder open as `fd`, which it takes over. Entries that vanished or are dangling
// or looping symbolic links are left out; other entries whose status cannot be read are
// listed as ENTRY_UNREADABLE.
int32_t list_descriptor(int fd, DirectoryListing* listing) {
  DIR* dir = fdopendir(fd);
  if (!dir) {
    int32_t error = errno;
    close(fd);
    return error;
  }
  int32_t error = 0;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (!entry) {
      error = errno;
      break;
    }
    const char* name = entry->d_name;
    if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
    struct stat st;
    EntryInfo info{ENTRY_UNREADABLE, 0, 0};
    if (fstatat(dirfd(dir), name, &st, 0) == 0) {
      entry_info_from(st, &info);
      if (info.type == ENTRY_OTHER) continue;
    } else if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) {
      continue;
    } else {
      info.error = errno;
    }
    DynString key;
    if (!dynstring_from(&key, name)) {
      error = ENOMEM;
      break;
    }
    auto slot = ordered_map_insert(listing, key);
    if (!slot.inserted) dynstring_free(&key);
    if (!slot.value) {
      error = ENOMEM;
      break;
    }
    if (slot.inserted) *slot.value = info;
  }
  closedir(dir);
  return error;
}

// Opens the resolved path as a stdio stream for FS_OPEN_* flags.
FILE* open_file_at(const Resolved& at, int32_t flags) {
  int open_flags = 0;
  const char* mode = nullptr;
  switch (flags & (FS_OPEN_READ | FS_OPEN_WRITE)) {
    case FS_OPEN_READ:
      open_flags = O_RDONLY;
      mode = "rb";
      break;
    case FS_OPEN_WRITE:
      open_flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
      mode = "wb";
      break;
    case FS_OPEN_READ | FS_OPEN_WRITE:
      open_flags = O_RDWR | O_NOFOLLOW;
      mode = "r+b";
      break;
    default:
      errno = EINVAL;
      return nullptr;
  }
  int fd = openat(at.folder.fd, dynstring_data(&at.leaf.s), open_flags | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, mode);
  if (!file) {
    int error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

// Sets errno to `error` and tells whether it is 0. The operations below keep their descriptors
// and texts in an inner scope and call this after it has closed, so that no clean-up can
// change the errno the caller reads.
bool succeeded(int32_t error) {
  errno = error;
  return error == 0;
}

void posix_dispose(FsRoot* root) {
  if (root->fd >= 0) close(root->fd);
  root->fd = -1;
}

bool posix_query(FsRoot* root, std::string_view relative, EntryInfo* info) {
  int32_t error;
  {
    Resolved at;
    error = resolve_in_root(root, relative, &at);
    if (!error) error = query_at(at, info);
  }
  return succeeded(error);
}

bool posix_list(FsRoot* root, std::string_view relative, DirectoryListing* listing) {
  int32_t error;
  {
    Descriptor folder;
    error = open_folder(root->fd, relative, O_RDONLY, &folder);
    if (!error) error = list_descriptor(folder.release(), listing);
  }
  return succeeded(error);
}

bool posix_make_directory(FsRoot* root, std::string_view relative) {
  int32_t error;
  {
    Resolved at;
    error = resolve_in_root(root, relative, &at);
    if (!error && mkdirat(at.folder.fd, dynstring_data(&at.leaf.s), 0777) != 0) error = errno;
  }
  return succeeded(error);
}

FILE* posix_open_file(FsRoot* root, std::string_view relative, int32_t flags) {
  FILE* file = nullptr;
  int32_t error;
  {
    Resolved at;
    error = resolve_in_root(root, relative, &at);
    if (!error && !(file = open_file_at(at, flags))) error = errno;
  }
  errno = error;
  return file;
}

constexpr FsRootOps POSIX_OPS{posix_dispose, posix_query, posix_list, posix_make_directory,
                              posix_open_file};

int32_t folder_identity(Descriptor* folder, FsFolder* out) {
  struct stat st;
  if (fstat(folder->fd, &st) != 0) return errno;
  *out = FsFolder{folder->release(), static_cast<uint64_t>(st.st_dev),
                  static_cast<uint64_t>(st.st_ino)};
  return 0;
}

}  // namespace

bool fs_root_in_place(FsRoot* root) {
  struct stat held;
  FileStamp now;
  return root && root->fd >= 0 && fstat(root->fd, &held) == 0 &&
         path_stamp(dynstring_data(&root->path), &now) &&
         now.device == static_cast<uint64_t>(held.st_dev) &&
         now.inode == static_cast<uint64_t>(held.st_ino);
}

bool fs_is_symbolic_link(FsRoot* root, std::string_view relative) {
  if (!root) return false;
  Resolved at;
  struct stat st;
  return resolve_in_root(root, relative, &at) == 0 &&
         fstatat(at.folder.fd, dynstring_data(&at.leaf.s), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(st.st_mode);
}

bool path_query(const char* path, EntryInfo* info) {
  int32_t error;
  {
    Resolved at;
    error = resolve(AT_FDCWD, path, &at);
    if (!error) error = query_at(at, info);
  }
  return succeeded(error);
}

int path_open_descriptor(const char* path, int flags) {
  int fd = -1;
  int32_t error;
  {
    Resolved at;
    error = resolve(AT_FDCWD, path, &at);
    if (!error) {
      fd = openat(at.folder.fd, dynstring_data(&at.leaf.s), flags | O_CLOEXEC, 0666);
      if (fd < 0) error = errno;
    }
  }
  errno = error;
  return fd;
}

bool path_remove_file(const char* path) {
  int32_t error;
  {
    Resolved at;
    error = resolve(AT_FDCWD, path, &at);
    if (!error && unlinkat(at.folder.fd, dynstring_data(&at.leaf.s), 0) != 0) error = errno;
  }
  return succeeded(error);
}

bool path_stamp(const char* path, FileStamp* out) {
  int32_t error;
  struct stat info;
  {
    Resolved at;
    error = resolve(AT_FDCWD, path, &at);
    if (!error && fstatat(at.folder.fd, dynstring_data(&at.leaf.s), &info, 0) != 0) error = errno;
  }
  if (!error)
    *out = FileStamp{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                     static_cast<uint64_t>(info.st_size),
                     static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
  return succeeded(error);
}

bool path_rename_file(const char* from, const char* to) {
  int32_t error;
  {
    Resolved source, target;
    error = resolve(AT_FDCWD, from, &source);
    if (!error) error = resolve(AT_FDCWD, to, &target);
    if (!error && renameat(source.folder.fd, dynstring_data(&source.leaf.s), target.folder.fd,
                           dynstring_data(&target.leaf.s)) != 0)
      error = errno;
  }
  return succeeded(error);
}

FsRoot* fs_root_create(std::string_view path) {
  if (path.empty()) return nullptr;
  auto* root = static_cast<FsRoot*>(calloc(1, sizeof(FsRoot)));
  if (!root) return nullptr;
  root->ops = &POSIX_OPS;
  root->fd = -1;
  root->folder_fd = -1;
  Descriptor folder;
  if (!dynstring_from(&root->path, path) || open_folder(AT_FDCWD, path, O_PATH, &folder) != 0) {
    fs_root_release(root);
    return nullptr;
  }
  root->fd = folder.release();
  return root;
}

void fs_root_release(FsRoot* root) {
  if (!root) return;
  if (root->ops->dispose) root->ops->dispose(root);
  dynstring_free(&root->path);
  dynstring_free(&root->folder);
  free(root);
}

bool fs_query(FsRoot* root, std::string_view relative, EntryInfo* info) {
  if (!root || !info || !root->ops->query) return false;
  return root->ops->query(root, relative, info);
}

bool fs_list(FsRoot* root, std::string_view relative, DirectoryListing* listing) {
  if (!root || !listing || !root->ops->list) return false;
  return root->ops->list(root, relative, listing);
}

FILE* fs_open_file(FsRoot* root, std::string_view relative, int32_t flags) {
  if (!root || !root->ops->open_file) return nullptr;
  return root->ops->open_file(root, relative, flags);
}

Stream* fs_open(FsRoot* root, std::string_view relative, int32_t flags) {
  FILE* file = fs_open_file(root, relative, flags);
  if (!file) return nullptr;
  int32_t mode = (flags & FS_OPEN_READ) ? ((flags & FS_OPEN_WRITE) ? 2 : 0) : 1;
  return file_stream_adopt(file, mode);
}

bool fs_ensure_directory(FsRoot* root, std::string_view relative) {
  if (!root || !root->ops->query) return false;
  EntryInfo info;
  if (!root->ops->query(root, relative, &info)) return false;
  if (info.type == ENTRY_DIRECTORY) return true;
  if (info.type != ENTRY_MISSING || !root->ops->make_directory) return false;
  return root->ops->make_directory(root, relative);
}

int32_t fs_folder_open(FsRoot* root, std::string_view relative, FsFolder* out) {
  *out = FsFolder{-1, 0, 0};
  if (!root) return EINVAL;
  Descriptor folder;
  int32_t error = open_folder(root->fd, relative, O_PATH, &folder);
  return error ? error : folder_identity(&folder, out);
}

int32_t fs_folder_open_child(const FsFolder* parent, const char* name, FsFolder* out) {
  *out = FsFolder{-1, 0, 0};
  Descriptor folder;
  int fd = openat(parent->fd, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  folder.reset(fd, true);
  return folder_identity(&folder, out);
}

int32_t fs_folder_list(const FsFolder* folder, DirectoryListing* listing) {
  int fd = openat(folder->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd < 0 ? errno : list_descriptor(fd, listing);
}

void fs_folder_close(FsFolder* folder) {
  if (folder->fd >= 0) close(folder->fd);
  folder->fd = -1;
}

void fs_root_set_folder(FsRoot* root, std::string_view relative, const FsFolder* folder) {
  root->folder_fd = -1;
  dynstring_clear(&root->folder);
  if (!folder) return;
  relative = without_trailing_slashes(relative);
  if (!dynstring_append(&root->folder, relative) ||
      (!relative.empty() && !dynstring_append(&root->folder, "/")))
    return;  // without its path the folder is not used: paths resolve from the root
  root->folder_fd = folder->fd;
}

bool fs_join(FsRoot* root, std::string_view relative, DynString* out) {
  if (relative == "..") return true;
  if (!dynstring_append(out, dynstring_sv(&root->path))) return false;
  if (!relative.empty() && (!dynstring_append(out, "/") || !dynstring_append(out, relative)))
    return false;
  return true;
}

bool path_is_absolute(std::string_view path) {
  if (!path.empty() && path[0] == '/') return true;
  return path.size() >= 3 &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
         path[1] == ':';
}

bool current_directory(DynString* out) {
  char buffer[2049];
  if (!getcwd(buffer, sizeof buffer)) return false;
  for (char* p = buffer; *p; ++p)
    if (*p == '\\') *p = '/';
  return dynstring_append(out, buffer) != nullptr;
}

namespace {

// Resolves "." and ".." components of an absolute path by name; the root (and a drive) stays.
void resolve_dot_components(DynString* path) {
  std::string_view text = dynstring_sv(path);
  size_t start = text.find('/');
  if (start == std::string_view::npos) return;
  std::string out(text.substr(0, start + 1));  // "/" or "C:/"
  size_t root = out.size();
  bool trailing = text.size() > start + 1 && text.back() == '/';
  for (size_t at = start + 1; at < text.size();) {
    size_t end = text.find('/', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view part = text.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (out.size() > root) out.resize(out.rfind('/', out.size() - 2) + 1);
      continue;
    }
    out.append(part);
    out += '/';
  }
  if (out.size() > root && !trailing) out.pop_back();
  if (out == text) return;
  DynString resolved{};
  if (!dynstring_from(&resolved, out)) return;
  dynstring_free(path);
  *path = resolved;
}

}  // namespace

bool path_stays_below(std::string_view relative) {
  if (relative.empty() || relative.front() == '/') return false;
  for (size_t at = 0; at <= relative.size();) {
    size_t end = relative.find('/', at);
    if (end == std::string_view::npos) end = relative.size();
    std::string_view part = relative.substr(at, end - at);
    if (part.empty() || part == "." || part == "..") return false;
    at = end + 1;
  }
  return true;
}

void normalize_path(DynString* path) {
  char* text = dynstring_data(path);
  uint64_t length = dynstring_length(path);
  for (uint64_t i = 0; i < length; ++i)
    if (text[i] == '\\') text[i] = '/';
  // One left-to-right pass over non-overlapping "//": "///" becomes "//".
  uint64_t out = 0;
  for (uint64_t i = 0; i < length; ++i) {
    text[out++] = text[i];
    if (text[i] == '/' && i + 1 < length && text[i + 1] == '/') ++i;
  }
  dynstring_truncate(path, out);
  std::string_view view = dynstring_sv(path);
  if (view.size() == 2 &&
      ((view[0] >= 'A' && view[0] <= 'Z') || (view[0] >= 'a' && view[0] <= 'z')) && view[1] == ':')
    dynstring_append(path, "/");

  if (!path_is_absolute(dynstring_sv(path))) {
    ScopedDynString working;
    if (current_directory(&working.s)) {
      if (FsRoot* root = fs_root_create(working.view())) {
        ScopedDynString joined;
        if (fs_join(root, dynstring_sv(path), &joined.s)) {
          dynstring_free(path);
          *path = joined.s;
          joined.s = DynString{};
        }
        fs_root_release(root);
      }
    }
  }

  resolve_dot_components(path);
  EntryInfo info;
  if (!path_query(dynstring_data(path), &info)) {
    LOG(LOG_ERROR, "Could not stat path %s", dynstring_data(path));
    return;
  }
  std::string_view final_view = dynstring_sv(path);
  bool slash = !final_view.empty() && final_view.back() == '/';
  if (info.type == ENTRY_DIRECTORY && !slash) dynstring_append(path, "/");
  if (info.type == ENTRY_FILE && slash) dynstring_truncate(path, final_view.size() - 1);
}
