// The guards of a conversion run on its output folder: an advisory lock on the folder that
// keeps a second run out, and the journal through which a rerun repairs and resumes a run that
// was killed.
#pragma once

#include <cstdint>

struct Tool;
struct Session;
struct Journal;

struct RunGuard {
  int lock_fd;  // the locked output folder, -1 when not locked
  Journal* journal;
};

// What decides the output: the inputs as given, the DBC files, concatenation, the "_out"
// suffix and the output folder. A journal is resumed only by a run with the same fingerprint.
uint64_t run_fingerprint(const Tool* tool);
// Locks the output folder and opens its journal (repairing an interrupted run). False with
// *exit_status 136 when another run holds the folder or the journal cannot be kept (logged);
// the guard then holds nothing.
bool run_guard_begin(RunGuard* guard, const Tool* tool, int* exit_status);
// Lets the session journal its work; for a resumed run, restores the session's state and
// completes the deletions the interrupted run left due.
void run_guard_attach(RunGuard* guard, Session* session);
// Completes the deletions that wait for the end of the run, removes the journal and releases
// the lock. The session may be null (it was never created). Returns 8 when converted inputs
// had to be kept because the output could not be made durable, else 0.
int run_guard_end(RunGuard* guard, Session* session);
