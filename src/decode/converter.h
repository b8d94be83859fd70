// The converter interface through which the conversion pipeline drives a session: an
// operations table and the common leading record of every converter.
#pragma once

#include <cstdint>
#include <string_view>

#include "decode/frame_tally.h"
#include "io/fs_root.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"
#include "support/hash_table.h"

// Device key ("default" or hexadecimal serial, as written) to password.
using PasswordStore = HashTable<StringMapEntry>;

// What the command line decided; the converter and the pipeline read it.
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

struct FsRoot;
struct Journal;
struct BusFrame;
struct Converter;
struct FileHeader;
struct RowMaker;
struct RowTaker;
struct RowWriter;
struct RowRecord;

// Slots may be empty; the caller skips them.
// Stage A (reading and decoding; any thread, several parts of inputs at once; the converter is
// only read): rows_begin makes the decoder of one part's frames, whose rows, descriptors and
// counts go to `out` (null when memory ran out); rows_frame decodes one frame; rows_tally
// writes what became of the frames since the last tally (for the converter's tally); rows_end
// frees the decoder.
// Stage B (output; one thread, input after input in walk order): on_file_begin false: the
// pipeline logs and goes on to on_file_end; on_file_begin may instead mark the file as a
// repeated input, whose rows the pipeline then does not take. on_record takes one record of
// stage A's (descriptors, rows, counts, tallies); false: a row's output could not be written
// (the file's result becomes a failure and the input is kept). on_file_end false: the file's
// output could not be written out (it then counts as failed as well). make_durable: everything
// written so far reaches the disk, as it must before inputs are deleted; false when it could
// not be made durable. report_file: called after the records of a file's frames were taken
// (the tally counted them), logs why the file or some of its channels gave no rows;
// account_file then says where each of its frames went. The output
// path of on_file_begin and on_file_end is the input's own output name (see convert_file),
// below which a file without the logger's metadata writes its rows.
struct ConverterOps {
  void (*destroy)(Converter* c);
  RowMaker* (*rows_begin)(const Converter* c, double time_base, RowWriter* out);
  void (*rows_frame)(RowMaker* rows, const BusFrame* frame);
  void (*rows_tally)(RowMaker* rows);
  void (*rows_end)(RowMaker* rows);
  bool (*on_file_begin)(Converter* c, const char* output_path, const FileHeader* header);
  bool (*on_record)(Converter* c, RowTaker* taker, const RowRecord& record);
  bool (*on_file_end)(Converter* c, const char* output_path);
  bool (*make_durable)(Converter* c);
  void (*report_file)(Converter* c, std::string_view input_path);
  // The fates of the frames of the file whose records were taken last (see report_file), in
  // all and by bus and channel (session_account_file).
  void (*account_file)(const Converter* c, FrameAccount* file,
                       FrameAccount (*channels)[TALLY_CHANNELS]);
};

// A queued input's stamp when it was opened; `known` is false when it could not be taken.
struct QueuedStamp {
  DynString path;
  FileStamp stamp;
  bool known;
};

struct Converter {
  const ConverterOps* ops;
  FsRoot* input_root;
  FsRoot* output_root;
  int32_t kind;  // 0 for the session
  uint64_t input_bytes;
  uint64_t input_frames;
  uint64_t input_files;
  ConversionOptions* options;
  Journal* journal;  // null: nothing is journaled
  // The last input whose header was read, which a repeated input is compared with, and
  // whether it was converted (only then are its rows in the output).
  DynString previous_input;
  bool previous_converted;
  // Converted inputs whose deletion (--delete-converted) waits: for the output to be made
  // durable, which is done for many inputs at once, and, for the previous input, for the next
  // input to be compared with it.
  GrowArray<DynString> deletion_queue;
  // The queued inputs of this run as they were when they were opened: one that has changed
  // since (a copy still being written) is kept.
  GrowArray<QueuedStamp> deletion_stamps;
  int64_t queue_started_ms;  // when the oldest input in the queue was converted
  bool durability_failed;    // the output could not be made durable: inputs were kept
  // Set by on_file_begin when the file repeats the previous input (same serial, session and
  // split): the pipeline then reads none of its records.
  bool repeated_input;
  // What became of the current file's frames: the pipeline clears it when a file begins and
  // notes the channel groups that gave no frames, and the row makers' tallies of the frames by
  // channel are added to it.
  FrameTally tally;
  // When set, the full path of every output file the current input writes to (or appends to)
  // is added here once per input; the caller owns the list.
  GrowArray<DynString>* output_log;
};
