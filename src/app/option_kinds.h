// The program's own command-line option kinds, built on argtable2's option header: the shared
// concat/no-concat flag, the DBC file lists and the path lists. Each option's extra state lives
// in an OptionContext reached through the header's priv pointer.
#pragma once

#include <string_view>

#include "support/dyn_string.h"
#include "support/grow_array.h"

struct Tool;
struct OptionContext;

// Owns the argtable entries and the option contexts of one parse. `entries` stays the first
// member: the tool's add_options hook receives it and finds the table from it.
struct OptionTable {
  GrowArray<void*> entries;
  GrowArray<OptionContext*> contexts;

  ~OptionTable();
};

// The table whose entry list this is (entries is its first member).
OptionTable& option_table_of(GrowArray<void*>* entries);

// Appends an argtable entry; a null entry is kept, so that argtable's null check over the table
// reports it. False (the entry freed) when the list cannot grow.
bool option_table_add(GrowArray<void*>* entries, void* entry);

// "--concat" or "--no-concat": sets tool->concatenate to 1 or 0 when given.
void* new_shared_flag(OptionTable& table, Tool* tool, const char* name, const char* glossary);

// "--dbc-<bus><channel>=<file>", up to DBC_SLOTS times: every path, whatever its ending, is
// stored, made absolute, in the tool's DBC path table; a path that cannot be opened or is not a
// regular file fails the parse as an invalid value, printed with the reason. `name` and
// `glossary` must outlive the parse.
void* new_dbc_option(OptionTable& table, Tool* tool, int bus, int channel, const char* name,
                     const char* glossary);

// A file option whose values are normalized (normalize_path) and appended to `list`.
void* new_path_list(OptionTable& table, Tool* tool, const char* shortopts, const char* longopts,
                    const char* datatype, int mincount, int maxcount, const char* glossary,
                    GrowArray<DynString>* list);

// True for ".dbc" in any case (the four bytes of a file name's ending).
bool has_dbc_extension(std::string_view extension);
