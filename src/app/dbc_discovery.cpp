// DBC files found by name in the working directory when no DBC option was given.
#include "app/option_kinds.h"
#include "app/tool.h"
#include "io/fs_root.h"

namespace {

// "can1.dbc", "can1-engine.dbc", "lin2_body.DBC": bus by prefix, channel by the fourth byte,
// ".dbc" ending compared without regard to case. ASCII folding is the whole of simple Unicode
// case folding here: no other code point folds to "d", "b" or "c".
bool dbc_file_channel(std::string_view name, int* bus, int* channel) {
  if (name.size() < 6 || !has_dbc_extension(name.substr(name.size() - 4))) return false;
  if (name.substr(0, 3) == "can") {
    *bus = 0;
  } else if (name.substr(0, 3) == "lin") {
    *bus = 1;
  } else {
    return false;
  }
  if (name[3] < '0' || name[3] > '9') return false;
  *channel = name[3] - '0';
  return true;
}

}  // namespace

bool discover_dbc_files(Tool* tool) {
  for (auto& bus : tool->dbc_paths.paths)
    for (auto& channel : bus)
      if (dynstring_length(&channel[0]) > 0) return true;

  ScopedDynString working;
  if (!current_directory(&working.s)) return false;
  FsRoot* root = fs_root_create(working.view());
  if (!root) return false;
  DirectoryListing listing;
  fs_list(root, "", &listing);
  bool stored = false;
  ordered_map_for_each(&listing, [&](DynString& name, EntryInfo& info) {
    int bus = 0, channel = 0;
    if (info.type != ENTRY_FILE || !dbc_file_channel(dynstring_sv(&name), &bus, &channel))
      return true;
    for (DynString& slot : tool->dbc_paths.paths[bus][channel]) {
      if (dynstring_length(&slot) > 0) continue;
      if (fs_join(root, dynstring_sv(&name), &slot)) stored = true;
      break;
    }
    return true;
  });
  directory_listing_free(&listing);
  fs_root_release(root);
  return stored;
}
