// The guards of a conversion run on its output folder: an advisory lock on the folder that
// keeps a second run out, and the journal through which a rerun repairs and resumes a run that
// was killed.
#pragma once

#include <cstdint>

struct Tool;
struct Run;
struct Journal;

struct RunGuard {
  int lock_fd;  // the locked output folder, -1 when not locked
  Journal* journal;
  bool resume_failed;  // an output file of the resumed run could not be reopened
};

// What decides the output: the inputs as given, the DBC files, concatenation, the "_out"
// suffix and the output folder. A journal is resumed only by a run with the same fingerprint.
uint64_t run_fingerprint(const Tool* tool);
// Locks the output folder, opens its journal (repairing an interrupted run) and lets the
// session journal its work; for a resumed run, restores the session's state and completes the
// deletions the interrupted run left due. Called once the session is ready, so that a run that
// cannot start leaves an interrupted run's journal alone. False with *exit_status 136 when
// another run holds the folder or the journal cannot be kept (logged); the guard then holds
// nothing.
bool run_guard_begin(RunGuard* guard, const Tool* tool, Run* run, int* exit_status);
// Completes the deletions that wait for the end of the run, removes the journal and releases
// the lock. Returns 8 when converted inputs had to be kept because the output could not be
// made durable or the resumed run's files could not all be reopened, else 0.
int run_guard_end(RunGuard* guard, Run* run);
