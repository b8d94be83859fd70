// The input walk: the common root of the inputs, and the recursive, name-ordered walk that
// hands every log file to the conversion pipeline.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/dyn_string.h"
#include "support/grow_array.h"

struct Tool;
struct Converter;

// Finds the one folder that holds every input, stores it in the tool with its trailing "/"
// and makes the inputs relative to it. False with exit status 132 otherwise.
bool find_common_root(Tool* tool, int* exit_status);
// Converts every input in order, a file or every log file below a folder (walked in name order,
// each folder once however many symbolic links lead to it), and returns the OR of the results.
// What cannot be reached (a folder that cannot be listed, an entry that cannot be queried) is
// reported with its path and adds EXIT_OTHER; everything else is still converted.
int run_inputs(Converter* converter, GrowArray<DynString>* inputs);
// True for the log-file extensions (mf4, mfc, mfe, mfm in any case).
bool is_log_file_name(std::string_view name);
