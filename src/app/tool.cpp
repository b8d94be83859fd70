// The tool's command line, set-up order, conversion run and statistics.
#include "app/tool.h"

#include <argtable2.h>
#include <time.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/inputs.h"
#include "app/passwords.h"
#include "app/progress.h"
#include "app/run_guard.h"
#include "decode/session.h"
#include "io/stream.h"
#include "support/log.h"

namespace {

constexpr const char* BUS_NAMES[2] = {"can", "lin"};

// Extra state of the program's own option kinds, reached through the option header's priv.
struct OptionContext {
  Tool* tool;
  arg_checkfn* base_check;
  arg_errorfn* base_error;
  int bus;                     // file-list options: 0 CAN, 1 LIN
  int channel;                 // file-list options: 0..8
  GrowArray<DynString>* list;  // path-list options
};

// Owns the option table and the option contexts for one parse.
struct OptionTable {
  GrowArray<void*> entries;
  GrowArray<OptionContext*> contexts;

  ~OptionTable() {
    for (void* entry : entries) free(entry);
    for (OptionContext* context : contexts) free(context);
    grow_array_free(&entries);
    grow_array_free(&contexts);
  }
};

bool add_entry(GrowArray<void*>* table, void* entry) {
  // A null entry is kept so that the null check over the table reports it.
  if (!grow_array_push(table, entry)) {
    free(entry);
    return false;
  }
  return true;
}

OptionContext* attach_context(OptionTable& table, void* entry, Tool* tool) {
  if (!entry) return nullptr;
  auto* context = static_cast<OptionContext*>(calloc(1, sizeof(OptionContext)));
  if (!context) return nullptr;
  if (!grow_array_push(&table.contexts, context)) {
    free(context);
    return nullptr;
  }
  auto* header = static_cast<arg_hdr*>(entry);
  context->tool = tool;
  context->base_check = header->checkfn;
  context->base_error = header->errorfn;
  header->priv = context;
  return context;
}

OptionContext* context_of(void* parent) {
  return static_cast<OptionContext*>(static_cast<arg_hdr*>(parent)->priv);
}

// ---- shared flag: concat / no-concat ----

int check_shared_flag(void* parent) {
  OptionContext* context = context_of(parent);
  int status = context->base_check ? context->base_check(parent) : 0;
  if (status) return status;
  auto* flag = static_cast<arg_lit*>(parent);
  if (flag->count == 1) {
    if (!strcmp(flag->hdr.longopts, "concat")) context->tool->concatenate = 1;
    if (!strcmp(flag->hdr.longopts, "no-concat")) context->tool->concatenate = 0;
  }
  return 0;
}

void* new_shared_flag(OptionTable& table, Tool* tool, const char* name, const char* glossary) {
  arg_lit* flag = arg_lit0(nullptr, name, glossary);
  if (OptionContext* context = attach_context(table, flag, tool)) {
    (void)context;
    flag->hdr.checkfn = check_shared_flag;
  }
  return flag;
}

// ---- file list: dbc-can1 ... dbc-lin9 ----

constexpr int CHECK_INVALID_VALUE = -1;
constexpr int CHECK_NO_MEMORY = 3;

bool has_dbc_extension(std::string_view extension) {
  return extension.size() == 4 && extension[0] == '.' && (extension[1] | 0x20) == 'd' &&
         (extension[2] | 0x20) == 'b' && (extension[3] | 0x20) == 'c';
}

int check_dbc_option(void* parent) {
  OptionContext* context = context_of(parent);
  int status = context->base_check ? context->base_check(parent) : 0;
  if (status) return status;
  auto* option = static_cast<arg_file*>(parent);
  int result = 0;
  for (int i = 0; i < option->count && i < DBC_SLOTS; ++i) {
    if (!option->extension[i] || !has_dbc_extension(option->extension[i])) continue;
    ScopedDynString path;
    const char* text = option->filename[i];
    if (!path_is_absolute(text)) {
      if (!current_directory(&path.s) || !dynstring_append(&path.s, "/")) return CHECK_NO_MEMORY;
    }
    if (!dynstring_append(&path.s, text)) return CHECK_NO_MEMORY;
    Stream* probe = file_stream_open(dynstring_data(&path.s), 0);
    if (!probe) {
      result = CHECK_INVALID_VALUE;
      continue;
    }
    stream_close(probe);
    DynString* slot = &context->tool->dbc_paths.paths[context->bus][context->channel][i];
    dynstring_free(slot);
    *slot = path.s;
    path.s = DynString{};
  }
  return result;
}

void print_option_syntax(FILE* fp, arg_hdr* header) {
  arg_print_option(fp, header->shortopts, header->longopts, header->datatype, "\n");
}

void error_dbc_option(void* parent, FILE* fp, int error, const char* argval, const char* progname) {
  auto* option = static_cast<arg_file*>(parent);
  switch (error) {
    case CHECK_INVALID_VALUE:
      fprintf(fp, "%s: invalid value \"%s\" to option ", progname,
              option->count > 0 ? option->filename[0] : "");
      print_option_syntax(fp, &option->hdr);
      break;
    case 1:  // too few occurrences
      fprintf(fp, "%s: missing option ", progname);
      print_option_syntax(fp, &option->hdr);
      break;
    case 2:  // too many occurrences
      fprintf(fp, "%s: excess option ", progname);
      print_option_syntax(fp, &option->hdr);
      break;
    case CHECK_NO_MEMORY:
      fprintf(fp, "%s: internal error, could not allocate memory\n", progname);
      break;
    default: {
      OptionContext* context = context_of(parent);
      if (context->base_error) context->base_error(parent, fp, error, argval, progname);
    }
  }
}

// ---- path list: password-file, output-directory, the inputs ----

int collect_paths(void* parent) {
  OptionContext* context = context_of(parent);
  int status = context->base_check ? context->base_check(parent) : 0;
  if (status) return status;
  auto* option = static_cast<arg_file*>(parent);
  for (int i = 0; i < option->count; ++i) {
    DynString path;
    if (!dynstring_from(&path, option->filename[i])) return CHECK_NO_MEMORY;
    normalize_path(&path);
    if (!grow_array_push(context->list, path)) {
      dynstring_free(&path);
      return CHECK_NO_MEMORY;
    }
  }
  return 0;
}

void error_path_list(void* parent, FILE* fp, int error, const char* argval, const char* progname) {
  if (error == CHECK_NO_MEMORY) {
    fprintf(fp, "%s: internal error, could not allocate memory\n", progname);
    return;
  }
  OptionContext* context = context_of(parent);
  if (context->base_error) context->base_error(parent, fp, error, argval, progname);
}

void* new_path_list(OptionTable& table, Tool* tool, const char* shortopts, const char* longopts,
                    const char* datatype, int mincount, int maxcount, const char* glossary,
                    GrowArray<DynString>* list) {
  arg_file* option = arg_filen(shortopts, longopts, datatype, mincount, maxcount, glossary);
  if (OptionContext* context = attach_context(table, option, tool)) {
    context->list = list;
    option->hdr.checkfn = collect_paths;
    option->hdr.errorfn = error_path_list;
  }
  return option;
}

// ---- the tool's hooks ----

// The hook receives the entry list, which is the first member of the option table.
OptionTable& table_of(GrowArray<void*>* entries) {
  return *reinterpret_cast<OptionTable*>(entries);
}

bool tool_add_options(Tool* tool, GrowArray<void*>* entries) {
  OptionTable& table = table_of(entries);
  if (!add_entry(entries, new_shared_flag(table, tool, "concat",
                                          "concatenate output when possible (default)")) ||
      !add_entry(entries, new_shared_flag(table, tool, "no-concat", "do not concatenate output")))
    return false;
  static char names[2][CHANNELS_PER_BUS][16];
  static char glossaries[2][CHANNELS_PER_BUS][48];
  for (int bus = 0; bus < 2; ++bus) {
    for (int channel = 0; channel < CHANNELS_PER_BUS; ++channel) {
      snprintf(names[bus][channel], sizeof names[bus][channel], "dbc-%s%d", BUS_NAMES[bus],
               channel + 1);
      snprintf(glossaries[bus][channel], sizeof glossaries[bus][channel],
               "path to DBC file (%s CHN %d)", bus == 0 ? "CAN" : "LIN", channel + 1);
      arg_file* option =
          arg_filen(nullptr, names[bus][channel], "<file>", 0, DBC_SLOTS, glossaries[bus][channel]);
      if (OptionContext* context = attach_context(table, option, tool)) {
        context->bus = bus;
        context->channel = channel;
        option->hdr.checkfn = check_dbc_option;
        option->hdr.errorfn = error_dbc_option;
      }
      if (!add_entry(entries, option)) return false;
    }
  }
  return true;
}

void tool_release(Tool* tool) {
  for (auto& bus : tool->dbc_paths.paths)
    for (auto& channel : bus)
      for (DynString& path : channel) dynstring_free(&path);
}

constexpr ToolOps TOOL_OPS{tool_add_options, discover_dbc_files, tool_release};

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
  if (name[3] < '1' || name[3] > '9') return false;
  *channel = name[3] - '1';
  return true;
}

int64_t elapsed_milliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void free_string_list(GrowArray<DynString>* list) {
  for (DynString& s : *list) dynstring_free(&s);
  grow_array_free(list);
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

Tool* tool_create() {
  auto* tool = static_cast<Tool*>(calloc(1, sizeof(Tool)));
  if (!tool) return nullptr;
  tool->ops = &TOOL_OPS;
  tool->options.buffer_size = -1;
  tool->concatenate = 1;
  return tool;
}

void tool_destroy(Tool* tool) {
  if (!tool) return;
  if (tool->ops->release) tool->ops->release(tool);
  hash_table_destroy<StringMapTraits>(&tool->options.passwords);
  dynstring_free(&tool->common_root);
  free_string_list(&tool->inputs);
  free_string_list(&tool->password_files);
  free_string_list(&tool->output_directories);
  if (tool->output_root != tool->input_root) fs_root_release(tool->output_root);
  fs_root_release(tool->input_root);
  free(tool);
}

bool parse_command_line(Tool* tool, int argc, char** argv, int* exit_status) {
  OptionTable table;
  static_assert(offsetof(OptionTable, entries) == 0);
  GrowArray<void*>* entries = &table.entries;
  auto* help = arg_lit0(nullptr, "help", "display this help and exit");
  auto* version = arg_lit0("v", "version", "display tool version and exit");
  auto* verbosity =
      arg_int0(nullptr, "verbosity", "<n>",
               "verbosity of logging messages from 0 to 4, with 0 being fatal messages "
               "only 4 being all messages including debug information. defaults to 1");
  auto* non_interactive =
      arg_lit0(nullptr, "non-interactive", "does not print any progress output");
  auto* delete_converted =
      arg_lit0("d", "delete-converted", "deletes files after conversion if specified");
  auto* no_append_root =
      arg_lit0("X", "no-append-root", "do not add \"_out\" when converting folders");
  auto* buffer =
      arg_int0("b", "buffer", "<n>", "buffer size in bytes. 0 disables and -1 takes entire file");
  bool built = add_entry(entries, help) && add_entry(entries, version) &&
               add_entry(entries, verbosity) && add_entry(entries, non_interactive) &&
               add_entry(entries, delete_converted) && add_entry(entries, no_append_root) &&
               add_entry(entries, buffer) &&
               add_entry(entries, new_path_list(table, tool, "p", "password-file", "<file>", 0, 1,
                                                "where to find device passwords for encrypted "
                                                "files, defaults to \"passwords.json\"",
                                                &tool->password_files));
  if (built && tool->ops->add_options && !tool->ops->add_options(tool, entries)) {
    *exit_status = EXIT_OTHER;
    return false;
  }
  struct arg_end* end = nullptr;
  built = built &&
          add_entry(entries, new_path_list(table, tool, "O", "output-directory", "<file>", 0, 1,
                                           "where to place the converted files",
                                           &tool->output_directories)) &&
          add_entry(entries, arg_lit0("i", "input-files=<file(s)/folder(s)>",
                                      "list of input files/folders, must have common root")) &&
          add_entry(entries, new_path_list(table, tool, nullptr, nullptr, "file(s)/folder(s)", 1,
                                           argc > 2 ? argc - 1 : 1, nullptr, &tool->inputs)) &&
          add_entry(entries, end = arg_end(20));
  if (!built || arg_nullcheck(entries->items) != 0) {
    *exit_status = EXIT_OTHER;
    return false;
  }

  int errors = arg_parse(argc, argv, entries->items);

  if (help->count > 0 || argc == 1) {
    printf("Usage: %s", TOOL_NAME);
    arg_print_syntax(stdout, entries->items, "\n\n");
    arg_print_glossary(stdout, entries->items, "  %-40s %s\n");
    return false;
  }
  if (version->count > 0) {
    printf("Version: %s\n", TOOL_VERSION);
    return false;
  }
  if (errors > 0) {
    int code = end->error[0];
    void* parent = end->parent[0];
    bool in_table = false;
    for (void* entry : *entries) in_table = in_table || entry == parent;
    if (code == 3 && in_table) {
      *exit_status = EXIT_BAD_ARGUMENT;
    } else if (code == 5) {
      *exit_status = EXIT_ARGUMENT_MISSING;
    } else {
      arg_print_errors(stdout, end, TOOL_NAME);
      *exit_status = EXIT_PARSE_ERROR;
    }
    return false;
  }

  static constexpr int32_t LEVELS[] = {LOG_FATAL, LOG_ERROR,   LOG_WARN,
                                       LOG_INFO,  LOG_VERBOSE, LOG_VERBOSE};
  int32_t level = LOG_ERROR;
  if (verbosity->count > 0) {
    int value = verbosity->ival[0];
    if (value < 0 || value > 5) {
      *exit_status = EXIT_BAD_ARGUMENT;
      return false;
    }
    level = LEVELS[value];
  }
  log_set_output_level(level);

  tool->options.delete_converted = delete_converted->count == 1;
  tool->options.no_append_root = no_append_root->count == 1;
  tool->options.non_interactive = non_interactive->count == 1;
  tool->options.buffer_size = buffer->count == 1 ? static_cast<int64_t>(buffer->ival[0]) : -1;

  if (!load_password_file(tool, exit_status)) return false;
  LOG(LOG_INFO, "%lld password(s) loaded", static_cast<long long>(tool->options.passwords.count));

  if (!find_common_root(tool, exit_status)) return false;
  tool->input_root = fs_root_create(dynstring_sv(&tool->common_root));
  if (!tool->input_root) {
    LOG(LOG_FATAL, "Could not open input folder %s", dynstring_data(&tool->common_root));
    *exit_status = EXIT_SETUP_FAILED;
    return false;
  }
  tool->output_root = tool->input_root;
  if (tool->output_directories.count == 1) {
    tool->output_root = fs_root_create(dynstring_sv(&tool->output_directories[0]));
    if (!tool->output_root) {
      tool->output_root = tool->input_root;
      LOG(LOG_FATAL, "Output directory %s is not an existing directory",
          dynstring_data(&tool->output_directories[0]));
      *exit_status = EXIT_SETUP_FAILED;
      return false;
    }
  }
  if (tool->ops->after_parse && !tool->ops->after_parse(tool)) {
    ScopedDynString working;
    current_directory(&working.s);
    LOG(LOG_FATAL, "No DBC file given and none named can<1-9>*.dbc or lin<1-9>*.dbc found in %s",
        dynstring_data(&working.s));
    *exit_status = EXIT_SETUP_FAILED;
    return false;
  }
  return true;
}

int tool_main(int argc, char** argv) {
  int exit_status = 0;
  Tool* tool = tool_create();
  if (!tool) {
    LOG(LOG_FATAL, "Could not allocate memory for the tool");
    return EXIT_SETUP_FAILED;
  }
  if (!parse_command_line(tool, argc, argv, &exit_status)) {
    tool_destroy(tool);
    return exit_status;
  }
  for (int bus = 0; bus < 2; ++bus)
    for (int channel = 0; channel < CHANNELS_PER_BUS; ++channel)
      for (DynString& path : tool->dbc_paths.paths[bus][channel])
        if (dynstring_length(&path) > 0)
          LOG(LOG_INFO, "dbc-%s%lli: %s", BUS_NAMES[bus], static_cast<long long>(channel + 1),
              dynstring_data(&path));

  Session* session = session_create(tool->input_root, tool->output_root, &tool->options,
                                    &tool->dbc_paths, tool->concatenate);
  if (!session) {
    tool_destroy(tool);
    return EXIT_SETUP_FAILED;
  }
  RunGuard guard;
  if (!run_guard_begin(&guard, tool, session, &exit_status)) {
    session->base.ops->destroy(&session->base);
    free(session);
    tool_destroy(tool);
    return exit_status;
  }
  int64_t started = elapsed_milliseconds();
  progress_start(&session->base);
  exit_status = run_inputs(&session->base, &tool->inputs);
  progress_stop();
  int64_t finished = elapsed_milliseconds();
  Converter* converter = &session->base;
  LOG(LOG_INFO, "Input  statistics, files: %6llu, messages: %8llu, size: %llu MB",
      static_cast<unsigned long long>(converter->input_files),
      static_cast<unsigned long long>(converter->input_frames),
      static_cast<unsigned long long>(converter->input_bytes >> 20));
  if (const OutputStatistics* statistics = session_statistics(session))
    LOG(LOG_INFO, "Output statistics, files: %6llu, messages: %8llu, signals: %llu",
        static_cast<unsigned long long>(statistics->files),
        static_cast<unsigned long long>(statistics->messages),
        static_cast<unsigned long long>(statistics->signals));
  LOG(LOG_INFO, "Execution time: %u s",
      static_cast<unsigned>(static_cast<int32_t>(finished - started) / 1000));
  // Closing the outputs is part of the run: a file that cannot be closed was not written.
  if (!session_finish(session)) exit_status |= 8;
  exit_status |= run_guard_end(&guard, session);
  converter->ops->destroy(converter);
  free(session);
  tool_destroy(tool);
  return exit_status;
}
