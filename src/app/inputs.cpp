// Common root of the inputs and the recursive walk over folders in name order.
#include "app/inputs.h"

#include "app/convert_file.h"
#include "app/progress.h"
#include "app/tool.h"
#include "decode/converter.h"
#include "decode/journal.h"
#include "io/fs_root.h"
#include "support/hash_table.h"
#include "support/log.h"

namespace {

// The extension of the last path component: the text after its last ".", or the whole
// component when it has none.
std::string_view extension_of(std::string_view path) {
  size_t slash = path.rfind('/');
  std::string_view component = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = component.rfind('.');
  return dot == std::string_view::npos ? component : component.substr(dot + 1);
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Child path: the parent, "/" unless it is empty or already ends in "/", then the name.
bool child_path(std::string_view parent, std::string_view name, ScopedDynString& out) {
  if (!dynstring_append(&out.s, parent)) return false;
  if (!parent.empty() && parent.back() != '/' && !dynstring_append(&out.s, "/")) return false;
  return dynstring_append(&out.s, name) != nullptr;
}

}  // namespace

bool is_log_file_name(std::string_view name) {
  // Lower-casing by ASCII rules equals simple Unicode case mapping for these texts: no other
  // code point lower-cases to "m", "f", "c" or "e".
  std::string_view extension = extension_of(name);
  if (extension.size() != 3) return false;
  char lower[3] = {ascii_lower(extension[0]), ascii_lower(extension[1]), ascii_lower(extension[2])};
  std::string_view text(lower, 3);
  return text == "mf4" || text == "mfc" || text == "mfe" || text == "mfm";
}

bool find_common_root(Tool* tool, int* exit_status) {
  HashTable<StringSetEntry> parents;
  bool ok = true;
  for (DynString& input : tool->inputs) {
    std::string_view path = dynstring_sv(&input);
    int64_t index = static_cast<int64_t>(path.size()) - 1;
    if (!path.empty() && path.back() == '/' && path.size() >= 2) --index;
    int64_t slash = -1;
    if (index >= 1)
      for (int64_t i = index; i >= 0; --i)
        if (path[static_cast<size_t>(i)] == '/') {
          slash = i;
          break;
        }
    if (slash < 0) {
      LOG(LOG_FATAL, "Could not find root for %.*s", static_cast<int>(path.size()), path.data());
      *exit_status = EXIT_NO_ROOT;
      ok = false;
      break;
    }
    if (!string_set_insert(&parents, path.substr(0, static_cast<size_t>(slash) + 1))) {
      LOG(LOG_FATAL, "Could not allocate memory for the input roots");
      *exit_status = EXIT_SETUP_FAILED;
      ok = false;
      break;
    }
  }
  if (ok && parents.count > 1) {
    LOG(LOG_FATAL, "No common root detected for all inputs");
    *exit_status = EXIT_NO_ROOT;
    ok = false;
  }
  if (ok && parents.count == 0) {
    *exit_status = EXIT_NO_ROOT;
    ok = false;
  }
  if (ok) {
    hash_table_for_each(&parents, [&](StringSetEntry& e) {
      dynstring_free(&tool->common_root);
      tool->common_root = e.key;
      e.key = DynString{};
    });
    uint64_t root_length = dynstring_length(&tool->common_root);
    for (DynString& input : tool->inputs) {
      DynString relative;
      std::string_view path = dynstring_sv(&input);
      if (!dynstring_from(&relative, path.substr(root_length))) {
        *exit_status = EXIT_SETUP_FAILED;
        ok = false;
        break;
      }
      dynstring_free(&input);
      input = relative;
    }
  }
  hash_table_destroy<StringKeyTraits<StringSetEntry>>(&parents);
  return ok;
}

int run_inputs(Converter* converter, GrowArray<DynString>* inputs) {
  int exit_status = 0;
  for (DynString& input : *inputs) {
    std::string_view path = dynstring_sv(&input);
    ScopedDynString output(path);
    if (!converter->options->no_append_root) {
      EntryInfo info;
      if (!fs_query(converter->input_root, path, &info)) {
        LOG(LOG_FATAL, "Could not query %.*s for information", static_cast<int>(path.size()),
            path.data());
        return EXIT_OTHER;
      }
      if (info.type == ENTRY_DIRECTORY) {
        // day1/ becomes day1_out/: "_out" goes before the first "/", or at the end.
        size_t slash = path.find('/');
        ScopedDynString suffixed;
        if (slash == std::string_view::npos) slash = path.size();
        if (!dynstring_append(&suffixed.s, path.substr(0, slash)) ||
            !dynstring_append(&suffixed.s, "_out") ||
            !dynstring_append(&suffixed.s, path.substr(slash)))
          return EXIT_OTHER;
        dynstring_free(&output.s);
        output.s = suffixed.s;
        suffixed.s = DynString{};
      }
    }
    exit_status |= convert_entry(converter, path, output.view());
  }
  return exit_status;
}

int convert_entry(Converter* converter, std::string_view input_path, std::string_view output_path) {
  // An input that ended in the interrupted run this one resumes, whether or not it still exists.
  int32_t finished = 0;
  if (journal_finished(converter->journal, input_path, &finished)) return finished;
  EntryInfo info;
  if (!fs_query(converter->input_root, input_path, &info)) {
    LOG(LOG_FATAL, "Error during stat of %.*s, exiting", static_cast<int>(input_path.size()),
        input_path.data());
    return EXIT_OTHER;
  }
  switch (info.type) {
    case ENTRY_DIRECTORY: {
      DirectoryListing listing;
      fs_list(converter->input_root, input_path, &listing);
      int result = 0;
      ordered_map_for_each(&listing, [&](DynString& name, EntryInfo&) {
        ScopedDynString child_input, child_output;
        if (!child_path(input_path, dynstring_sv(&name), child_input) ||
            !child_path(output_path, dynstring_sv(&name), child_output)) {
          result |= 8;
          return true;
        }
        result |= convert_entry(converter, child_input.view(), child_output.view());
        return true;
      });
      directory_listing_free(&listing);
      return result;
    }
    case ENTRY_MISSING:
      LOG(LOG_WARN, "Could not find input file/folder %.*s", static_cast<int>(input_path.size()),
          input_path.data());
      return 1;
    case ENTRY_FILE:
      break;
    default:
      return EXIT_OTHER;
  }
  if (!is_log_file_name(input_path)) return 0;
  converter->input_files += 1;
  converter->input_bytes += info.size;
  std::string_view extension = extension_of(input_path);
  std::string_view stem = output_path;
  if (stem.size() > extension.size() && stem[stem.size() - extension.size() - 1] == '.')
    stem.remove_suffix(extension.size() + 1);
  ScopedDynString output(stem);
  progress_file_begin(input_path);
  int result = convert_file(converter, input_path, output.view());
  progress_file_end(info.size);
  if (result != 0)
    LOG(LOG_ERROR, "Error during conversion of %.*s", static_cast<int>(input_path.size()),
        input_path.data());
  return result;
}
