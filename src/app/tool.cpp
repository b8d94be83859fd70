// The tool's command line, set-up order, conversion run and statistics.
#include "app/tool.h"

#include <argtable2.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app/exit_status.h"
#include "app/inputs.h"
#include "app/option_kinds.h"
#include "app/passwords.h"
#include "app/progress.h"
#include "app/run.h"
#include "app/run_guard.h"
#include "decode/signal_filter.h"
#include "io/stream.h"
#include "output/output_writer.h"
#include "output/parquet_output.h"
#include "output/session.h"
#include "support/clock.h"
#include "support/log.h"

namespace {

constexpr const char* BUS_NAMES[2] = {"can", "lin"};

// ---- the options of concatenation and the DBC files ----

bool add_dbc_options(Tool* tool, GrowArray<void*>* entries) {
  OptionTable& table = option_table_of(entries);
  if (!option_table_add(entries, new_shared_flag(table, tool, "concat",
                                                 "concatenate output when possible (default)")) ||
      !option_table_add(entries,
                        new_shared_flag(table, tool, "no-concat", "do not concatenate output")))
    return false;
  static char names[2][CHANNELS_PER_BUS][16];
  static char glossaries[2][CHANNELS_PER_BUS][48];
  for (int bus = 0; bus < 2; ++bus) {
    for (int channel = 0; channel < CHANNELS_PER_BUS; ++channel) {
      snprintf(names[bus][channel], sizeof names[bus][channel], "dbc-%s%d", BUS_NAMES[bus],
               channel);
      snprintf(glossaries[bus][channel], sizeof glossaries[bus][channel],
               "path to DBC file (%s CHN %d)", bus == 0 ? "CAN" : "LIN", channel);
      if (!option_table_add(entries, new_dbc_option(table, tool, bus, channel, names[bus][channel],
                                                    glossaries[bus][channel])))
        return false;
    }
  }
  return true;
}

void free_dbc_paths(Tool* tool) {
  for (auto& bus : tool->dbc_paths.paths)
    for (auto& channel : bus)
      for (DynString& path : channel) dynstring_free(&path);
}

// The entries of the option table that parse_command_line reads after the parse.
struct CommonOptions {
  arg_lit* help;
  arg_lit* version;
  arg_int* verbosity;
  arg_lit* non_interactive;
  arg_lit* delete_converted;
  arg_lit* no_append_root;
  arg_int* buffer;
  arg_int* jobs;
  arg_str* shard;
  arg_str* format;
  arg_str* values;
  arg_str* time;
  arg_str* signals;
  struct arg_end* end;
};

// Fills the option table in the order of the usage text: the common options, the password
// file, the tool's own options (add_options hook), the output directory and the inputs. False
// when an entry could not be made (the caller ends with EXIT_OTHER).
bool build_option_table(Tool* tool, OptionTable& table, int argc, CommonOptions* o) {
  GrowArray<void*>* entries = &table.entries;
  o->help = arg_lit0("h", "help", "display this help and exit");
  o->version = arg_lit0("v", "version", "display tool version and exit");
  o->verbosity = arg_int0(nullptr, "verbosity", "<n>",
                          "verbosity of logging messages from 0 to 5, with 0 being fatal messages "
                          "only and 4 and 5 all messages including debug information. defaults "
                          "to 1");
  o->non_interactive = arg_lit0(nullptr, "non-interactive", "does not print any progress output");
  o->delete_converted =
      arg_lit0("d", "delete-converted", "deletes files after conversion if specified");
  o->no_append_root =
      arg_lit0("X", "no-append-root", "do not add \"_out\" when converting folders");
  o->buffer =
      arg_int0("b", "buffer", "<n>", "buffer size in bytes. 0 disables and -1 takes entire file");
  o->jobs = arg_int0("j", "jobs", "<n>",
                     "inputs converted at once, 1 to 1024; defaults to the number of CPUs");
  o->shard = arg_str0(nullptr, "shard", "<k/n>",
                      "convert only the k-th of n parts of the inputs' folders (1 <= k <= n)");
  o->format =
      arg_str0(nullptr, "format", "<csv|parquet>", "format of the output files, defaults to csv");
  o->values = arg_str0(nullptr, "values", "<physical|text>",
                       "write the text of a signal's value table in place of the value where it "
                       "has one (text), or always the number (physical, the default)");
  o->time = arg_str0(nullptr, "time", "<unix|iso>",
                     "CSV row times as seconds since 1970 (unix, the default) or as UTC date and "
                     "time (iso)");
  o->signals = arg_strn(nullptr, "signals", "<pattern,...>", 0, 64,
                        "keep only the signals whose <message>.<signal> or <message> matches a "
                        "shell-style pattern (*, ?, [...])");
  bool built =
      option_table_add(entries, o->help) && option_table_add(entries, o->version) &&
      option_table_add(entries, o->verbosity) && option_table_add(entries, o->non_interactive) &&
      option_table_add(entries, o->delete_converted) &&
      option_table_add(entries, o->no_append_root) && option_table_add(entries, o->buffer) &&
      option_table_add(entries, o->jobs) && option_table_add(entries, o->shard) &&
      option_table_add(entries,
                       new_path_list(table, tool, nullptr, "summary", "<file>", 0, 1,
                                     "write a JSON summary of the run (every input with its "
                                     "status, frames, rows and outputs) to <file>",
                                     &tool->summary_files)) &&
      option_table_add(entries, o->format) && option_table_add(entries, o->values) &&
      option_table_add(entries, o->time) && option_table_add(entries, o->signals) &&
      option_table_add(entries, new_path_list(table, tool, "p", "password-file", "<file>", 0, 1,
                                              "where to find device passwords for encrypted "
                                              "files, defaults to \"passwords.json\"",
                                              &tool->password_files));
  if (!built || !add_dbc_options(tool, entries)) return false;
  built =
      option_table_add(entries, new_path_list(table, tool, "O", "output-directory", "<file>", 0, 1,
                                              "where to place the converted files",
                                              &tool->output_directories)) &&
      option_table_add(entries, arg_lit0("i", "input-files=<file(s)/folder(s)>",
                                         "list of input files/folders, must have common root")) &&
      option_table_add(entries, new_path_list(table, tool, nullptr, nullptr, "file(s)/folder(s)", 1,
                                              argc > 2 ? argc - 1 : 1, nullptr, &tool->inputs)) &&
      option_table_add(entries, o->end = arg_end(20));
  return built && arg_nullcheck(entries->items) == 0;
}

// What a number option takes, for the message that rejects a value of it; null for others.
const char* expected_number(const CommonOptions& o, const void* entry) {
  if (entry == o.verbosity) return "a whole number from 0 to 5";
  if (entry == o.jobs) return "a whole number from 1 to 1024";
  if (entry == o.buffer) return "a size in bytes (0 disables the buffer, -1 takes the whole file)";
  return nullptr;
}

// The number of single-character edits that turn a into b.
size_t edit_distance(std::string_view a, std::string_view b) {
  size_t row[64];
  if (b.size() >= 64) return SIZE_MAX;
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Names the long option nearest to an unknown one ("--verbosty=3"), when one is near enough.
void suggest_option(GrowArray<void*>* entries, const char* given) {
  std::string_view name(given ? given : "");
  while (!name.empty() && name.front() == '-') name.remove_prefix(1);
  name = name.substr(0, name.find('='));
  if (name.empty()) return;
  std::string_view best;
  size_t best_distance = SIZE_MAX;
  for (void* entry : *entries) {
    const char* longopts = static_cast<arg_hdr*>(entry)->longopts;
    if (!longopts || (static_cast<arg_hdr*>(entry)->flag & ARG_TERMINATOR)) continue;
    std::string_view option(longopts);
    option = option.substr(0, option.find_first_of("=|"));
    size_t distance = edit_distance(name, option);
    if (distance < best_distance) best_distance = distance, best = option;
  }
  if (!best.empty() && best_distance <= std::max<size_t>(2, name.size() / 3))
    printf("%s: did you mean --%.*s?\n", TOOL_NAME, static_cast<int>(best.size()), best.data());
}

// Prints every parse error with what was expected, then "--help" as the place to look.
void print_parse_errors(GrowArray<void*>* entries, const CommonOptions& o) {
  arg_print_errors(stdout, o.end, TOOL_NAME);
  for (int i = 0; i < o.end->count; ++i) {
    if (const char* expected = expected_number(o, o.end->parent[i]))
      printf("%s: --%s takes %s\n", TOOL_NAME, static_cast<arg_hdr*>(o.end->parent[i])->longopts,
             expected);
    if (o.end->error[i] == ARG_ELONGOPT) suggest_option(entries, o.end->argval[i]);
  }
  printf("Try '%s --help' for the options.\n", TOOL_NAME);
}

// Usage, version and parse errors end the run here: false with *exit_status set (0 after usage
// and version). True when the conversion is to go on.
bool handle_parse_result(GrowArray<void*>* entries, const CommonOptions& o, int argc, int errors,
                         int* exit_status) {
  if (o.help->count > 0 || argc == 1) {
    printf("Usage: %s", TOOL_NAME);
    arg_print_syntax(stdout, entries->items, "\n\n");
    arg_print_glossary(stdout, entries->items, "  %-40s %s\n");
    print_exit_statuses(stdout);
    return false;
  }
  if (o.version->count > 0) {
    printf("Version: %s\n", TOOL_VERSION);
    return false;
  }
  if (errors == 0) return true;
  int code = o.end->error[0];
  void* parent = o.end->parent[0];
  bool in_table = false;
  for (void* entry : *entries) in_table = in_table || entry == parent;
  if (code == 3 && in_table) {
    *exit_status = EXIT_BAD_ARGUMENT;
  } else if (code == 5) {
    *exit_status = EXIT_ARGUMENT_MISSING;
  } else {
    *exit_status = EXIT_PARSE_ERROR;
  }
  print_parse_errors(entries, o);
  return false;
}

// The CPUs this process may run on (all online CPUs unless an affinity mask or a container
// limits it), at least 1.
int32_t available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int32_t>(online) : 1;
}

// "<k>/<n>" with 1 <= k <= n < 2^32, digits only; false for anything else.
bool parse_shard(const char* text, uint32_t* index, uint32_t* count) {
  uint64_t numbers[2] = {0, 0};
  int part = 0, digits = 0;
  for (const char* c = text; *c; ++c) {
    if (*c == '/' && part == 0 && digits > 0) {
      part = 1;
      digits = 0;
    } else if (*c >= '0' && *c <= '9' && numbers[part] < (uint64_t{1} << 32)) {
      numbers[part] = numbers[part] * 10 + static_cast<uint64_t>(*c - '0');
      digits += 1;
    } else {
      return false;
    }
  }
  if (part != 1 || digits == 0 || numbers[0] < 1 || numbers[0] > numbers[1] ||
      numbers[1] > UINT32_MAX)
    return false;
  *index = static_cast<uint32_t>(numbers[0] - 1);
  *count = static_cast<uint32_t>(numbers[1]);
  return true;
}

// Ends the parse with 131 for an option value out of its range, naming the option and what it
// takes.
bool reject_value(const char* value, const char* option, const char* expected, int* exit_status) {
  printf("%s: invalid value \"%s\" to option %s: expected %s\n", TOOL_NAME, value, option,
         expected);
  *exit_status = EXIT_BAD_ARGUMENT;
  return false;
}

// The number of jobs and the shard; false (131) for values out of range.
bool apply_run_options(Tool* tool, const CommonOptions& o, int* exit_status) {
  tool->options.jobs = available_cpus();
  if (o.jobs->count > 0) {
    int value = o.jobs->ival[0];
    if (value < 1 || value > MAX_JOBS) {
      char text[16];
      snprintf(text, sizeof text, "%d", value);
      return reject_value(text, "--jobs=<n>", expected_number(o, o.jobs), exit_status);
    }
    tool->options.jobs = value;
  }
  if (tool->options.jobs > MAX_JOBS) tool->options.jobs = MAX_JOBS;
  tool->options.shard_index = 0;
  tool->options.shard_count = 1;
  if (o.shard->count > 0 &&
      !parse_shard(o.shard->sval[0], &tool->options.shard_index, &tool->options.shard_count))
    return reject_value(o.shard->sval[0], "--shard=<k/n>",
                        "k/n with whole numbers 1 <= k <= n, such as 2/8", exit_status);
  // Installed before the journal repairs an interrupted run's files, which it names by it.
  output_set_format(nullptr);
  if (o.format->count > 0 && strcmp(o.format->sval[0], "csv") != 0) {
    if (strcmp(o.format->sval[0], "parquet") != 0)
      return reject_value(o.format->sval[0], "--format=<csv|parquet>", "csv or parquet",
                          exit_status);
    output_set_format(parquet_output_format());
  }
  return true;
}

// Splits a --signals value at its commas (not those inside "[...]") into the tool's patterns;
// false when a pattern is empty or memory ran out.
bool add_signal_patterns(Tool* tool, std::string_view list) {
  size_t start = 0;
  bool bracket = false;
  for (size_t i = 0; i <= list.size(); ++i) {
    if (i < list.size() && list[i] == '[') bracket = true;
    if (i < list.size() && list[i] == ']') bracket = false;
    if (i < list.size() && (list[i] != ',' || bracket)) continue;
    DynString pattern{};
    if (i == start || !dynstring_from(&pattern, list.substr(start, i - start))) return false;
    if (!grow_array_push(&tool->signal_patterns, pattern)) {
      dynstring_free(&pattern);
      return false;
    }
    start = i + 1;
  }
  return true;
}

// --values, --time and --signals; false (131) for a value they do not take.
bool apply_value_options(Tool* tool, const CommonOptions& o, int* exit_status) {
  if (o.values->count > 0) {
    std::string_view v = o.values->sval[0];
    if (v != "physical" && v != "text")
      return reject_value(o.values->sval[0], "--values=<physical|text>", "physical or text",
                          exit_status);
    tool->options.values_text = v == "text";
  }
  if (o.time->count > 0) {
    std::string_view v = o.time->sval[0];
    if (v != "unix" && v != "iso")
      return reject_value(o.time->sval[0], "--time=<unix|iso>", "unix or iso", exit_status);
    // Parquet files keep their time column as a timestamp whatever the option says.
    tool->options.time_iso = v == "iso" && strcmp(output_file_extension(), ".csv") == 0;
  }
  for (int i = 0; i < o.signals->count; ++i)
    if (!add_signal_patterns(tool, o.signals->sval[i]))
      return reject_value(o.signals->sval[i], "--signals=<pattern,...>",
                          "patterns separated by commas, none of them empty", exit_status);
  return true;
}

// The log level and the conversion options from the parsed entries; false (131) for a
// verbosity outside 0 to 5.
bool apply_options(Tool* tool, const CommonOptions& o, int* exit_status) {
  static constexpr int32_t LEVELS[] = {LOG_FATAL, LOG_ERROR,   LOG_WARN,
                                       LOG_INFO,  LOG_VERBOSE, LOG_VERBOSE};
  int32_t level = LOG_ERROR;
  if (o.verbosity->count > 0) {
    int value = o.verbosity->ival[0];
    if (value < 0 || value > 5) {
      char text[16];
      snprintf(text, sizeof text, "%d", value);
      return reject_value(text, "--verbosity=<n>", expected_number(o, o.verbosity), exit_status);
    }
    level = LEVELS[value];
  }
  log_set_output_level(level);
  tool->options.delete_converted = o.delete_converted->count == 1;
  tool->options.no_append_root = o.no_append_root->count == 1;
  tool->options.non_interactive = o.non_interactive->count == 1;
  tool->options.buffer_size = o.buffer->count == 1 ? static_cast<int64_t>(o.buffer->ival[0]) : -1;
  return apply_run_options(tool, o, exit_status) && apply_value_options(tool, o, exit_status);
}

// The input root (the common root of the inputs) and the output root (the output directory,
// or the input root); false with 136 when either cannot be opened as a folder.
bool open_roots(Tool* tool, int* exit_status) {
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
  return true;
}

void free_string_list(GrowArray<DynString>* list) {
  for (DynString& s : *list) dynstring_free(&s);
  grow_array_free(list);
}

void log_dbc_paths(const Tool* tool) {
  for (int bus = 0; bus < 2; ++bus)
    for (int channel = 0; channel < CHANNELS_PER_BUS; ++channel)
      for (const DynString& path : tool->dbc_paths.paths[bus][channel])
        if (dynstring_length(&path) > 0)
          LOG(LOG_INFO, "dbc-%s%lli: %s", BUS_NAMES[bus], static_cast<long long>(channel),
              dynstring_data(&path));
}

void log_statistics(const Run* run, int64_t elapsed_ms) {
  LOG(LOG_INFO, "Input  statistics, files: %6llu, messages: %8llu, size: %llu MB",
      static_cast<unsigned long long>(run->input_files),
      static_cast<unsigned long long>(run->input_frames),
      static_cast<unsigned long long>(run->input_bytes >> 20));
  if (const OutputStatistics* statistics = session_statistics(run->session))
    LOG(LOG_INFO, "Output statistics, files: %6llu, messages: %8llu, signals: %llu",
        static_cast<unsigned long long>(statistics->files),
        static_cast<unsigned long long>(statistics->messages),
        static_cast<unsigned long long>(statistics->signals));
  LOG(LOG_INFO, "Execution time: %u s",
      static_cast<unsigned>(static_cast<int32_t>(elapsed_ms) / 1000));
}

}  // namespace

Tool* tool_create() {
  auto* tool = static_cast<Tool*>(calloc(1, sizeof(Tool)));
  if (!tool) return nullptr;
  tool->options.buffer_size = -1;
  tool->options.jobs = 1;
  tool->options.shard_count = 1;
  tool->concatenate = 1;
  return tool;
}

void tool_destroy(Tool* tool) {
  if (!tool) return;
  free_dbc_paths(tool);
  hash_table_destroy<StringMapTraits>(&tool->options.passwords);
  dynstring_free(&tool->common_root);
  free_string_list(&tool->inputs);
  free_string_list(&tool->password_files);
  free_string_list(&tool->output_directories);
  free_string_list(&tool->summary_files);
  free_string_list(&tool->signal_patterns);
  run_report_free(&tool->report);
  if (tool->output_root != tool->input_root) fs_root_release(tool->output_root);
  fs_root_release(tool->input_root);
  free(tool);
}

bool parse_command_line(Tool* tool, int argc, char** argv, int* exit_status) {
  OptionTable table;
  CommonOptions options{};
  if (!build_option_table(tool, table, argc, &options)) {
    *exit_status = EXIT_OTHER;
    return false;
  }
  int errors = arg_parse(argc, argv, table.entries.items);
  if (!handle_parse_result(&table.entries, options, argc, errors, exit_status) ||
      !apply_options(tool, options, exit_status))
    return false;
  // From here on every run ends with its summary, when one was asked for.
  tool->report.keep_inputs = tool->summary_files.count == 1;
  tool->summary_due = tool->report.keep_inputs;

  if (!load_password_file(tool, exit_status)) return false;
  LOG(LOG_INFO, "%lld password(s) loaded", static_cast<long long>(tool->options.passwords.count));

  if (!find_common_root(tool, exit_status) || !open_roots(tool, exit_status)) return false;
  if (!discover_dbc_files(tool)) {
    ScopedDynString working;
    current_directory(&working.s);
    LOG(LOG_FATAL, "No DBC file given and none named can<0-9>*.dbc or lin<0-9>*.dbc found in %s",
        dynstring_data(&working.s));
    *exit_status = EXIT_SETUP_FAILED;
    return false;
  }
  return true;
}

namespace {

// The closing line's text: inputs, frames, rows, output folder and time.
void close_run(Tool* tool, Session* session, const RunTotals& totals, int64_t elapsed_ms) {
  char frames[512];
  run_report_format_frames(&tool->report, frames, sizeof frames);
  RunSummary summary{totals.converted,
                     totals.failed,
                     totals.skipped,
                     session->statistics.rows,
                     session->statistics.files,
                     dynstring_sv(&tool->output_root->path),
                     elapsed_ms,
                     frames};
  progress_summary(&tool->options, summary);
}

// Applies --signals to the loaded databases, warning once for each pattern that matches no
// message or signal of any DBC file. False when memory ran out.
bool select_signals(Tool* tool, Decoders* decoders) {
  uint32_t count = static_cast<uint32_t>(tool->signal_patterns.count);
  if (count == 0) return true;
  GrowArray<const char*> patterns{};
  GrowArray<uint8_t> matched{};
  bool ok = grow_array_reserve(&patterns, count) && grow_array_reserve(&matched, count);
  for (uint32_t i = 0; ok && i < count; ++i) {
    const char* pattern = dynstring_data(&tool->signal_patterns[static_cast<int32_t>(i)]);
    grow_array_push(&patterns, pattern);
    grow_array_push(&matched, uint8_t{0});
  }
  ok = ok && decoders_select_signals(decoders, patterns.items, count, matched.items);
  for (uint32_t i = 0; ok && i < count; ++i)
    if (!matched[static_cast<int32_t>(i)])
      LOG_SHOWN_WARNING("--signals: pattern \"%s\" matches no message or signal of the DBC files",
                        patterns[static_cast<int32_t>(i)]);
  grow_array_free(&patterns);
  grow_array_free(&matched);
  if (!ok) LOG(LOG_FATAL, "Could not allocate memory for the signal selection");
  return ok;
}

// Converts the inputs with the parsed command line; returns the exit status.
int convert_inputs(Tool* tool) {
  int exit_status = 0;
  log_dbc_paths(tool);
  Run run{};
  if (!run_open(&run, tool->input_root, tool->output_root, &tool->options, &tool->dbc_paths,
                tool->concatenate) ||
      !select_signals(tool, &run.decoders)) {
    run_close(&run);
    return EXIT_SETUP_FAILED;
  }
  RunGuard guard;
  if (!run_guard_begin(&guard, tool, &run, &exit_status)) {
    run_close(&run);
    return exit_status;
  }
  int64_t started = monotonic_milliseconds();
  RunTotals totals{};
  totals.report = &tool->report;
  // The totals are counted only for the display.
  if (progress_wanted(&tool->options)) count_inputs(&run, &tool->inputs, &totals);
  progress_start(&run, totals.files, totals.bytes);
  exit_status = run_inputs(&run, &tool->inputs, &totals);
  progress_stop();
  log_statistics(&run, monotonic_milliseconds() - started);
  // Closing the outputs is part of the run: a file that cannot be closed was not written.
  if (!session_finish(run.session)) exit_status |= 8;
  exit_status |= run_guard_end(&guard, &run);
  close_run(tool, run.session, totals, monotonic_milliseconds() - started);
  run_close(&run);
  return exit_status;
}

}  // namespace

int tool_main(int argc, char** argv) {
  int exit_status = 0;
  Tool* tool = tool_create();
  if (!tool) {
    LOG(LOG_FATAL, "Could not allocate memory for the tool");
    return EXIT_SETUP_FAILED;
  }
  log_set_observer(run_report_observe, &tool->report);
  if (parse_command_line(tool, argc, argv, &exit_status)) exit_status = convert_inputs(tool);
  log_set_observer(nullptr, nullptr);
  if (tool->summary_due &&
      !run_report_write(&tool->report, exit_status, dynstring_sv(&tool->common_root),
                        dynstring_data(&tool->summary_files[0])))
    exit_status |= 8;
  tool_destroy(tool);
  return exit_status;
}
