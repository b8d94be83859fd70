// File-system roots on POSIX calls.
#include "io/fs_root.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "support/log.h"

void directory_listing_free(DirectoryListing* listing) {
  ordered_map_for_each(listing, [](DynString& name, EntryInfo&) {
    dynstring_free(&name);
    return true;
  });
  ordered_map_clear(listing);
}

bool path_query(const char* path, EntryInfo* info) {
  struct stat st;
  info->type = ENTRY_OTHER;
  info->size = 0;
  if (stat(path, &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      info->type = ENTRY_MISSING;
      return true;
    }
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    info->type = ENTRY_FILE;
    info->size = static_cast<uint64_t>(st.st_size);
  } else if (S_ISDIR(st.st_mode)) {
    info->type = ENTRY_DIRECTORY;
  }
  return true;
}

namespace {

void posix_dispose(FsRoot*) {}

bool posix_query(FsRoot*, const char* path, EntryInfo* info) { return path_query(path, info); }

void posix_list(FsRoot*, const char* path, DirectoryListing* listing) {
  DIR* dir = opendir(path);
  if (!dir) return;
  ScopedDynString child;
  while (struct dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
    dynstring_clear(&child.s);
    if (!dynstring_append(&child.s, path) || !dynstring_append(&child.s, "/") ||
        !dynstring_append(&child.s, name))
      break;
    EntryInfo info;
    if (!path_query(dynstring_data(&child.s), &info)) continue;
    if (info.type != ENTRY_FILE && info.type != ENTRY_DIRECTORY) continue;
    DynString key;
    if (!dynstring_from(&key, name)) break;
    auto slot = ordered_map_insert(listing, key);
    if (!slot.inserted) {
      dynstring_free(&key);
      if (!slot.value) break;
      continue;
    }
    *slot.value = info;
  }
  closedir(dir);
}

bool posix_make_directory(FsRoot*, const char* path) { return mkdir(path, 0777) == 0; }

bool posix_remove(FsRoot*, const char* path) { return unlink(path) == 0; }

Stream* posix_open(FsRoot*, const char* path, int32_t flags) {
  switch (flags & (FS_OPEN_READ | FS_OPEN_WRITE)) {
    case FS_OPEN_READ:
      return file_stream_open(path, 0);
    case FS_OPEN_WRITE:
      return file_stream_open(path, 1);
    case FS_OPEN_READ | FS_OPEN_WRITE:
      return file_stream_open(path, 2);
    default:
      return nullptr;
  }
}

constexpr FsRootOps POSIX_OPS{posix_dispose,        posix_query,  posix_list,
                              posix_make_directory, posix_remove, posix_open};

// Full path of `relative` below the root, in `out`.
bool full_path(FsRoot* root, std::string_view relative, ScopedDynString& out) {
  if (!dynstring_append(&out.s, dynstring_sv(&root->path))) return false;
  if (!relative.empty() && (!dynstring_append(&out.s, "/") || !dynstring_append(&out.s, relative)))
    return false;
  return true;
}

}  // namespace

FsRoot* fs_root_create(std::string_view path) {
  auto* root = static_cast<FsRoot*>(calloc(1, sizeof(FsRoot)));
  if (!root) return nullptr;
  root->ops = &POSIX_OPS;
  EntryInfo info;
  if (!dynstring_from(&root->path, path) ||
      !root->ops->query(root, dynstring_data(&root->path), &info) || info.type != ENTRY_DIRECTORY) {
    fs_root_release(root);
    return nullptr;
  }
  return root;
}

void fs_root_release(FsRoot* root) {
  if (!root) return;
  if (root->ops->dispose) root->ops->dispose(root);
  dynstring_free(&root->path);
  free(root);
}

bool fs_query(FsRoot* root, std::string_view relative, EntryInfo* info) {
  if (!root || !info || !root->ops->query) return false;
  ScopedDynString path;
  return full_path(root, relative, path) && root->ops->query(root, dynstring_data(&path.s), info);
}

void fs_list(FsRoot* root, std::string_view relative, DirectoryListing* listing) {
  if (!root || !root->ops->list) return;
  ScopedDynString path;
  if (full_path(root, relative, path)) root->ops->list(root, dynstring_data(&path.s), listing);
}

Stream* fs_open(FsRoot* root, std::string_view relative, int32_t flags) {
  if (!root || !root->ops->open) return nullptr;
  ScopedDynString path;
  return full_path(root, relative, path) ? root->ops->open(root, dynstring_data(&path.s), flags)
                                         : nullptr;
}

bool fs_remove(FsRoot* root, std::string_view relative) {
  if (!root || !root->ops->remove) return false;
  ScopedDynString path;
  return full_path(root, relative, path) && root->ops->remove(root, dynstring_data(&path.s));
}

bool fs_ensure_directory(FsRoot* root, std::string_view relative) {
  if (!root || !root->ops->query) return false;
  ScopedDynString path;
  if (!full_path(root, relative, path)) return false;
  EntryInfo info;
  if (!root->ops->query(root, dynstring_data(&path.s), &info)) return false;
  if (info.type == ENTRY_DIRECTORY) return true;
  if (info.type != ENTRY_MISSING || !root->ops->make_directory) return false;
  return root->ops->make_directory(root, dynstring_data(&path.s));
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
