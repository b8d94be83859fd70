// The exit statuses of the program and what each means: one table, printed by --help and
// checked against the README and the man page by the tests.
#pragma once

#include <cstdio>
#include <span>

struct ExitStatusMeaning {
  int status;
  const char* meaning;  // one sentence, plain text
};

// Every status the program ends with, in ascending order (per-file results 1, 2, 4, 8 and 129
// are also combined with a bitwise OR, see the README).
std::span<const ExitStatusMeaning> exit_status_table();

// Writes the table under an "Exit status:" heading, one status per line.
void print_exit_statuses(FILE* out);
