// Common root of the inputs and the recursive walk over folders in name order.
#include "app/inputs.h"

#include <errno.h>

#include <cstdio>
#include <cstring>

#include "app/convert_file.h"
#include "app/input_reader.h"
#include "app/pipeline.h"
#include "app/run.h"
#include "app/run_report.h"
#include "app/tool.h"
#include "io/fs_root.h"
#include "io/stream.h"
#include "mdf/frame_source.h"
#include "output/journal.h"
#include "output/session.h"
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

uint64_t shard_hash(std::string_view folder) {
  uint64_t hash = 0xCBF29CE484222325ULL;
  for (char c : folder) hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001B3ULL;
  return hash;
}

bool folder_in_shard(const ConversionOptions* options, std::string_view folder) {
  if (!options || options->shard_count <= 1) return true;
  if (!folder.empty() && folder.back() == '/') folder.remove_suffix(1);
  return shard_hash(folder) % options->shard_count == options->shard_index;
}

bool is_log_file_name(std::string_view name) {
  // Lower-casing by ASCII rules equals simple Unicode case mapping for these texts: no other
  // code point lower-cases to "m", "f", "c" or "e".
  std::string_view extension = extension_of(name);
  if (extension.size() != 3) return false;
  char lower[3] = {ascii_lower(extension[0]), ascii_lower(extension[1]), ascii_lower(extension[2])};
  std::string_view text(lower, 3);
  return text == "mf4" || text == "mfc" || text == "mfe" || text == "mfm";
}

namespace {

// Names the first input and the first one after it that lies in another folder, and what to do
// about it.
void report_roots(const GrowArray<DynString>& inputs, std::string_view first_parent, size_t other,
                  int64_t folders) {
  std::string_view first = dynstring_sv(&inputs[0]);
  std::string_view second = dynstring_sv(&inputs[other]);
  LOG(LOG_FATAL,
      "No common root detected for all inputs: they lie in %lld folders (%.*s lies in %.*s, %.*s "
      "does not); give inputs from one folder, or their common parent folder",
      static_cast<long long>(folders), static_cast<int>(first.size()), first.data(),
      static_cast<int>(first_parent.size()), first_parent.data(), static_cast<int>(second.size()),
      second.data());
}

}  // namespace

bool find_common_root(Tool* tool, int* exit_status) {
  HashTable<StringSetEntry> parents;
  std::string_view first_parent;
  size_t other = 0;  // the first input outside the first one's folder
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
    std::string_view parent = path.substr(0, static_cast<size_t>(slash) + 1);
    if (first_parent.empty()) first_parent = parent;
    if (other == 0 && parent != first_parent)
      other = static_cast<size_t>(&input - tool->inputs.items);
    if (!string_set_insert(&parents, parent)) {
      LOG(LOG_FATAL, "Could not allocate memory for the input roots");
      *exit_status = EXIT_SETUP_FAILED;
      ok = false;
      break;
    }
  }
  if (ok && parents.count > 1) {
    report_roots(tool->inputs, first_parent, other, parents.count);
    *exit_status = EXIT_NO_ROOT;
    ok = false;
  }
  if (ok && parents.count == 0) {
    LOG(LOG_FATAL, "No input given: name the log files or folders to convert");
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

namespace {

// A folder the walk has entered in this run, by device and inode, with the path it was first
// reached by. on_path: the walk is inside it now (so reaching it again closes a loop).
struct WalkedFolder {
  uint64_t device;
  uint64_t inode;
  DynString path;
  uint8_t on_path;
};

struct WalkedTraits {
  using Key = const FsFolder*;
  static uint64_t hash(Key k) { return k->inode + k->device * 0x9E3779B97F4A7C15ULL; }
  static uint64_t hash_entry(const WalkedFolder& e) {
    return e.inode + e.device * 0x9E3779B97F4A7C15ULL;
  }
  static bool equal(const WalkedFolder& e, Key k) {
    return e.device == k->device && e.inode == k->inode;
  }
  static void destroy(WalkedFolder& e) { dynstring_free(&e.path); }
};

// One run over the inputs: every folder is walked once, however many symbolic links lead to
// it, so that links back up the tree cannot make the walk endless. A counting walk only adds
// up the files it would convert.
struct Walk {
  Run* run;
  HashTable<WalkedFolder> folders;
  RunTotals* totals;
  Pipeline* pipeline;  // null while counting
  bool counting;
  uint64_t log_files_met;  // files with a log file's name, in any shard
};

int walk_folder(Walk* walk, FsFolder* folder, std::string_view input_path,
                std::string_view output_path);

// Whether this run reports what the walk meets in `folder`: not while counting, and with
// shards only in the folder's shard.
bool reports(const Walk* walk, std::string_view folder) {
  return !walk->counting && folder_in_shard(walk->run->options, folder);
}

// An entry of the run summary for an input that ends in the walk, with its status and why.
void report_input(const Walk* walk, std::string_view path, int32_t status,
                  std::string_view message) {
  if (RunReport* report = walk->totals->report)
    run_report_settle(run_report_add(report, path), status, message);
}

// Reports a path that cannot be reached, when the run reports what it meets in `folder`.
int report_unreachable(const Walk* walk, std::string_view folder, const char* what,
                       std::string_view path, int32_t error) {
  if (!reports(walk, folder)) return 0;
  char line[256];
  snprintf(line, sizeof line, "Could not %s %.*s: %s", what, static_cast<int>(path.size()),
           path.data(), strerror(error));
  LOG(LOG_ERROR, "%s", line);
  report_input(walk, path, EXIT_OTHER, line);
  return EXIT_OTHER;
}

// Whether a file named on the command line with another name than a log file's is one by its
// content (an MDF identification or a container's header); otherwise it says why it is passed
// over. The walk of a folder takes log files by name alone.
bool named_input_is_log(const Walk* walk, std::string_view input_path) {
  Stream* stream = fs_open(walk->run->input_root, input_path, FS_OPEN_READ);
  bool log = frame_source_is_log(stream);
  int error = errno;
  stream_close(stream);
  if (log || !reports(walk, {})) return log;
  const int n = static_cast<int>(input_path.size());
  if (!stream) {
    LOG_SHOWN_WARNING(
        "Skipping %.*s: its name is no log file's (.MF4, .MFC, .MFE or .MFM) and it "
        "could not be opened to look inside: %s",
        n, input_path.data(), strerror(error));
  } else {
    LOG_SHOWN_WARNING(
        "Skipping %.*s: it is no log file (neither its name, .MF4, .MFC, .MFE or "
        ".MFM, nor its content, an MDF file or a container, says so)",
        n, input_path.data());
  }
  report_input(walk, input_path, 0, "skipped: not a log file");
  return false;
}

// Converts one log file (other files are skipped); `folder` is the open folder it lies in,
// or null for a file directly below the root, which was named on the command line.
int convert_log_file(Walk* walk, const FsFolder* folder, std::string_view folder_path,
                     std::string_view input_path, std::string_view output_path, uint64_t size) {
  if (!is_log_file_name(input_path) && (folder || !named_input_is_log(walk, input_path))) return 0;
  walk->log_files_met += 1;
  if (!folder_in_shard(walk->run->options, folder_path)) return 0;
  Run* run = walk->run;
  int32_t finished = 0;
  if (journal_finished(run->session->journal, input_path, &finished)) {
    if (walk->counting) return 0;
    walk->totals->skipped += 1;
    report_input(walk, input_path, finished, "ended in the interrupted run this one resumes");
    return finished;
  }
  if (walk->counting) {
    walk->totals->files += 1;
    walk->totals->bytes += size;
    return 0;
  }
  run->input_files += 1;
  run->input_bytes += size;
  std::string_view extension = extension_of(input_path);
  std::string_view stem = output_path;
  if (stem.size() > extension.size() && stem[stem.size() - extension.size() - 1] == '.')
    stem.remove_suffix(extension.size() + 1);
  ScopedDynString output(stem);
  // The file is opened here, in the folder the walk holds; the pipeline converts it in turn.
  bool split = worth_splitting(run, size);
  fs_root_set_folder(run->input_root, folder_path, folder);
  InputJob* job = conversion_input(run, input_path, output.view(), size, split);
  fs_root_set_folder(run->input_root, {}, nullptr);
  if (!job) {
    walk->totals->failed += 1;
    report_input(walk, input_path, CONVERT_FAILED, "could not allocate memory for the input");
    return CONVERT_FAILED;
  }
  if (walk->totals->report) job->report = run_report_add(walk->totals->report, input_path);
  return pipeline_add(walk->pipeline, job, size, split);
}

// Walks the folder `name` of `parent` unless the run has been there already: a folder reached
// again through a symbolic link is skipped with a warning that names the link and the folder.
int walk_child_folder(Walk* walk, const FsFolder* parent, const char* name,
                      std::string_view input_path, std::string_view output_path) {
  FsFolder child;
  if (int32_t error = fs_folder_open_child(parent, name, &child))
    return report_unreachable(walk, input_path, "open folder", input_path, error);
  return walk_folder(walk, &child, input_path, output_path);
}

// Converts every log file below the open folder, which it closes, in name order. What cannot
// be listed, queried or opened is reported and gives EXIT_OTHER; the rest is still converted.
// A folder the run has been in already is skipped with a warning that names the path it was
// reached by now (a symbolic link) and the one it was walked by.
int walk_folder(Walk* walk, FsFolder* folder, std::string_view input_path,
                std::string_view output_path) {
  HashSlot<WalkedFolder> walked = hash_table_find_or_insert<WalkedTraits>(&walk->folders, folder);
  if (!walked.slot || !walked.inserted) {
    if (walked.slot && reports(walk, input_path)) {
      std::string_view first = dynstring_sv(&walked.slot->path);
      LOG(LOG_WARN, "Skipping %.*s: it leads %s folder %.*s, %s",
          static_cast<int>(input_path.size()), input_path.data(),
          walked.slot->on_path ? "back to" : "to", static_cast<int>(first.size()), first.data(),
          walked.slot->on_path ? "which contains it (a loop)" : "which was walked already");
    }
    fs_folder_close(folder);
    return walked.slot ? 0
                       : report_unreachable(walk, input_path, "walk folder", input_path, ENOMEM);
  }
  // Without memory for its path the folder is still walked; a warning would name it "".
  *walked.slot = WalkedFolder{folder->device, folder->inode, DynString{}, 1};
  std::string_view shown = input_path;
  if (shown.size() > 1 && shown.back() == '/') shown.remove_suffix(1);
  dynstring_from(&walked.slot->path, shown);
  const uint64_t device = folder->device, inode = folder->inode;

  int result = 0;
  DirectoryListing listing;
  if (int32_t error = fs_folder_list(folder, &listing))
    result |= report_unreachable(walk, input_path, "list folder", input_path, error);
  ordered_map_for_each(&listing, [&](DynString& name, EntryInfo& info) {
    ScopedDynString child_input, child_output;
    if (!child_path(input_path, dynstring_sv(&name), child_input) ||
        !child_path(output_path, dynstring_sv(&name), child_output)) {
      result |= report_unreachable(walk, input_path, "walk", dynstring_sv(&name), ENOMEM);
      return true;
    }
    if (info.type == ENTRY_UNREADABLE)
      result |= report_unreachable(walk, input_path, "query", child_input.view(), info.error);
    else if (info.type == ENTRY_DIRECTORY)
      result |= walk_child_folder(walk, folder, dynstring_data(&name), child_input.view(),
                                  child_output.view());
    else if (info.type == ENTRY_FILE)
      result |= convert_log_file(walk, folder, input_path, child_input.view(), child_output.view(),
                                 info.size);
    return true;
  });
  directory_listing_free(&listing);
  fs_folder_close(folder);
  // The table may have grown below this folder: find its entry again.
  FsFolder key{-1, device, inode};
  if (WalkedFolder* entry = hash_table_find<WalkedTraits>(&walk->folders, &key)) entry->on_path = 0;
  return result;
}

// Converts an input of the command line: a file, or every file below a folder.
int walk_input(Walk* walk, std::string_view input_path, std::string_view output_path) {
  // An input that ended in the interrupted run this one resumes, whether or not it still exists.
  // The inputs are entries of the root: the root's shard reports what is wrong with them.
  bool own = reports(walk, {});
  int32_t finished = 0;
  if (journal_finished(walk->run->session->journal, input_path, &finished)) {
    if (!own) return 0;
    walk->totals->skipped += 1;
    report_input(walk, input_path, finished, "ended in the interrupted run this one resumes");
    return finished;
  }
  EntryInfo info;
  if (!fs_query(walk->run->input_root, input_path, &info))
    return report_unreachable(walk, {}, "query", input_path, errno);
  switch (info.type) {
    case ENTRY_DIRECTORY: {
      FsFolder folder;
      if (int32_t error = fs_folder_open(walk->run->input_root, input_path, &folder))
        return report_unreachable(walk, input_path, "open folder", input_path, error);
      uint64_t met = walk->log_files_met;
      int result = walk_folder(walk, &folder, input_path, output_path);
      if (own && walk->log_files_met == met)
        LOG(LOG_ERROR, "No log files (*.MF4, *.MFC, *.MFE, *.MFM) found in %s%.*s",
            dynstring_data(&walk->run->input_root->path), static_cast<int>(input_path.size()),
            input_path.data());
      return result;
    }
    case ENTRY_MISSING:
      if (!own) return 0;
      LOG(LOG_ERROR, "Could not find input file/folder %.*s: no such file or folder in %s",
          static_cast<int>(input_path.size()), input_path.data(),
          dynstring_data(&walk->run->input_root->path));
      report_input(walk, input_path, 1, "no such file or folder");
      return 1;
    case ENTRY_FILE:
      return convert_log_file(walk, nullptr, {}, input_path, output_path, info.size);
    default:
      if (!own) return 0;
      LOG(LOG_ERROR, "Input %.*s is neither a file nor a folder",
          static_cast<int>(input_path.size()), input_path.data());
      report_input(walk, input_path, EXIT_OTHER, "neither a file nor a folder");
      return EXIT_OTHER;
  }
}

// The output path of an input: a folder gets "_out" before its first "/" (day1/ becomes
// day1_out/) unless --no-append-root was given.
bool input_output_path(Run* run, std::string_view path, const EntryInfo& info,
                       ScopedDynString& out) {
  size_t slash = path.find('/');
  if (run->options->no_append_root || info.type != ENTRY_DIRECTORY)
    return dynstring_append(&out.s, path) != nullptr;
  if (slash == std::string_view::npos) slash = path.size();
  return dynstring_append(&out.s, path.substr(0, slash)) && dynstring_append(&out.s, "_out") &&
         dynstring_append(&out.s, path.substr(slash));
}

}  // namespace

namespace {

int walk_inputs(Walk* walk, GrowArray<DynString>* inputs) {
  Run* run = walk->run;
  int exit_status = 0;
  for (DynString& input : *inputs) {
    std::string_view path = dynstring_sv(&input);
    EntryInfo info{ENTRY_MISSING, 0, 0};
    if (!run->options->no_append_root && !fs_query(run->input_root, path, &info)) {
      exit_status |= report_unreachable(walk, {}, "query", path, errno);
      continue;
    }
    ScopedDynString output;
    if (!input_output_path(run, path, info, output)) {
      exit_status |= report_unreachable(walk, {}, "convert", path, ENOMEM);
      continue;
    }
    exit_status |= walk_input(walk, path, output.view());
  }
  hash_table_destroy<WalkedTraits>(&walk->folders);
  return exit_status;
}

}  // namespace

int run_inputs(Run* run, GrowArray<DynString>* inputs, RunTotals* totals) {
  StageContext stages{run, totals};
  Walk walk{run, {}, totals, nullptr, false, 0};
  walk.pipeline = pipeline_create(&CONVERSION_STAGES, &stages, pipeline_limits(run->options->jobs));
  if (!walk.pipeline) {
    LOG(LOG_ERROR, "Could not allocate memory for the conversion");
    return CONVERT_FAILED;
  }
  int exit_status = walk_inputs(&walk, inputs);
  exit_status |= pipeline_finish(walk.pipeline);
  pipeline_destroy(walk.pipeline);
  return exit_status;
}

void count_inputs(Run* run, GrowArray<DynString>* inputs, RunTotals* totals) {
  Walk walk{run, {}, totals, nullptr, true, 0};
  walk_inputs(&walk, inputs);
}
