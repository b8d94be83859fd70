// The run object: what one conversion run owns besides the command line. The options it was
// given, its roots, stage A's decoders, stage B's output session, what the run counts of its
// inputs, and the inputs that wait for their deletion. Owned by the tool (or a test); the
// pipeline's stages read it.
#pragma once

#include <cstdint>

#include "decode/decoders.h"
#include "decode/frame_tally.h"
#include "io/fs_root.h"
#include "output/input_deletion.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"
#include "support/hash_table.h"

struct Session;

// Device key ("default" or hexadecimal serial, as written) to password.
using PasswordStore = HashTable<StringMapEntry>;

// What the command line decided; the run and the pipeline read it.
struct ConversionOptions {
  uint8_t delete_converted;
  uint8_t no_append_root;
  uint8_t non_interactive;
  int64_t buffer_size;  // -1: the whole file
  int32_t jobs;         // inputs (or parts of one) converted at once, 1 or more
  // Of the inputs' folders, only those of shard shard_index (0 to shard_count - 1) are
  // converted; shard_count 0 or 1 converts all.
  uint32_t shard_index, shard_count;
  // --values=text: a value with an entry in its signal's value table is written as its text.
  uint8_t values_text;
  // --time=iso: CSV row times as "yyyy-mm-ddThh:mm:ss.uuuuuuZ" (stage A formats them).
  uint8_t time_iso;
  PasswordStore passwords;
};

struct Run {
  ConversionOptions* options;
  FsRoot* input_root;
  Decoders decoders;  // stage A's: only read while the pipeline runs
  Session* session;   // stage B's output; its journal is the run's
  uint64_t input_bytes;
  uint64_t input_frames;
  uint64_t input_files;
  // The last input whose header was read, which a repeated input is compared with, and
  // whether it was converted (only then are its rows in the output).
  DynString previous_input;
  bool previous_converted;
  // Converted inputs whose deletion (--delete-converted) waits: for the output to be made
  // durable, and, for the previous input, for the next input to be compared with it.
  DeletionQueue deletions;
  // What became of the current file's frames: stage B clears it when a file begins and
  // notes the channel groups that gave no frames, and the row makers' tallies of the frames by
  // channel are added to it.
  FrameTally tally;
};

// Sets up `run` (zeroed by the caller): loads every configured DBC file into its decoders and
// creates its output session. False when a DBC file cannot be opened or loaded (logged with its
// path) or memory ran out; run_close then releases what was set up.
bool run_open(Run* run, FsRoot* input_root, FsRoot* output_root, ConversionOptions* options,
              const DbcPathTable* dbc_paths, uint8_t concatenate);
// Frees the decoders, the session (its outputs closed) and the run's lists.
void run_close(Run* run);
