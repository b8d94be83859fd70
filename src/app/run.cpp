// Setting up and releasing the run object.
#include "app/run.h"

#include <cstdlib>

#include "output/output_writer.h"
#include "output/session.h"

bool run_open(Run* run, FsRoot* input_root, FsRoot* output_root, ConversionOptions* options,
              const DbcPathTable* dbc_paths, uint8_t concatenate) {
  if (!input_root || !output_root || !options || !dbc_paths) return false;
  run->options = options;
  run->input_root = input_root;
  run->session =
      session_create(output_root, options->no_append_root, options->delete_converted, concatenate);
  run->decoders.binary_rows = output_takes_binary_rows();
  return run->session &&
         decoders_load(&run->decoders, dbc_paths, options->values_text, options->time_iso);
}

void run_close(Run* run) {
  if (!run) return;
  decoders_free(&run->decoders);
  if (run->session) {
    session_destroy(run->session);
    free(run->session);
    run->session = nullptr;
  }
  dynstring_free(&run->previous_input);
  frame_tally_free(&run->tally);
  deletion_queue_free(&run->deletions);
}
