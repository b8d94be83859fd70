// The program's own option kinds: argtable2 entries whose check and error functions are
// replaced, with their context in the option header's priv pointer.
#include "app/option_kinds.h"

#include <argtable2.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/tool.h"
#include "io/fs_root.h"
#include "io/stream.h"

struct OptionContext {
  Tool* tool;
  arg_checkfn* base_check;
  arg_errorfn* base_error;
  int bus;                     // file-list options: 0 CAN, 1 LIN
  int channel;                 // file-list options: 0..9
  GrowArray<DynString>* list;  // path-list options
  int failed;                  // DBC options: the value the check refused
  int failed_error;            // and the system's error number for it (0: a folder)
};

namespace {

constexpr int CHECK_INVALID_VALUE = -1;  // a DBC path that cannot be opened as a file
constexpr int CHECK_NO_MEMORY = 3;

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

// The path as given when absolute, else below the working directory.
bool absolute_path(const char* text, DynString* out) {
  if (!path_is_absolute(text) && (!current_directory(out) || !dynstring_append(out, "/")))
    return false;
  return dynstring_append(out, text) != nullptr;
}

int check_dbc_option(void* parent) {
  OptionContext* context = context_of(parent);
  int status = context->base_check ? context->base_check(parent) : 0;
  if (status) return status;
  auto* option = static_cast<arg_file*>(parent);
  // A file named explicitly is taken whatever its name ends in: only the discovery looks at
  // the ".dbc" ending.
  for (int i = 0; i < option->count && i < DBC_SLOTS; ++i) {
    ScopedDynString path;
    if (!absolute_path(option->filename[i], &path.s)) return CHECK_NO_MEMORY;
    struct stat info;
    int opened = open(dynstring_data(&path.s), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    bool file = opened >= 0 && fstat(opened, &info) == 0 && S_ISREG(info.st_mode);
    int error = opened < 0 ? errno : 0;
    if (opened >= 0) close(opened);
    if (!file) {
      context->failed = i;
      context->failed_error = error;
      return CHECK_INVALID_VALUE;
    }
    DynString* slot = &context->tool->dbc_paths.paths[context->bus][context->channel][i];
    dynstring_free(slot);
    *slot = path.s;
    path.s = DynString{};
  }
  return 0;
}

void print_option_syntax(FILE* fp, arg_hdr* header) {
  arg_print_option(fp, header->shortopts, header->longopts, header->datatype, "\n");
}

void error_dbc_option(void* parent, FILE* fp, int error, const char* argval, const char* progname) {
  auto* option = static_cast<arg_file*>(parent);
  switch (error) {
    case CHECK_INVALID_VALUE: {
      OptionContext* context = context_of(parent);
      int index = context->failed < option->count ? context->failed : 0;
      fprintf(fp, "%s: invalid value \"%s\" to option ", progname,
              option->count > 0 ? option->filename[index] : "");
      arg_print_option(fp, option->hdr.shortopts, option->hdr.longopts, option->hdr.datatype, "");
      fprintf(fp, ": %s\n",
              context->failed_error ? strerror(context->failed_error)
                                    : "not a file (a DBC file is expected)");
      break;
    }
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

}  // namespace

OptionTable::~OptionTable() {
  for (void* entry : entries) free(entry);
  for (OptionContext* context : contexts) free(context);
  grow_array_free(&entries);
  grow_array_free(&contexts);
}

OptionTable& option_table_of(GrowArray<void*>* entries) {
  static_assert(offsetof(OptionTable, entries) == 0);
  return *reinterpret_cast<OptionTable*>(entries);
}

bool option_table_add(GrowArray<void*>* entries, void* entry) {
  if (!grow_array_push(entries, entry)) {
    free(entry);
    return false;
  }
  return true;
}

void* new_shared_flag(OptionTable& table, Tool* tool, const char* name, const char* glossary) {
  arg_lit* flag = arg_lit0(nullptr, name, glossary);
  if (attach_context(table, flag, tool)) flag->hdr.checkfn = check_shared_flag;
  return flag;
}

void* new_dbc_option(OptionTable& table, Tool* tool, int bus, int channel, const char* name,
                     const char* glossary) {
  arg_file* option = arg_filen(nullptr, name, "<file>", 0, DBC_SLOTS, glossary);
  if (OptionContext* context = attach_context(table, option, tool)) {
    context->bus = bus;
    context->channel = channel;
    option->hdr.checkfn = check_dbc_option;
    option->hdr.errorfn = error_dbc_option;
  }
  return option;
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

bool has_dbc_extension(std::string_view extension) {
  return extension.size() == 4 && extension[0] == '.' && (extension[1] | 0x20) == 'd' &&
         (extension[2] | 0x20) == 'b' && (extension[3] | 0x20) == 'c';
}
