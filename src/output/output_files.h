// Output files of a session: the map of open CSV writers by writer key, the relative path and
// name of each file, and the creation of its folders below the output root.
#pragma once

#include <cstdint>
#include <string_view>

#include "output/session.h"
#include "support/dyn_string.h"

struct Message;
struct DecodedMessage;
struct OutputWriter;

// Appends the output file's path relative to the output root, without ".csv", for a path part
// in the current output set: "<serial><suffix>/<part>/yyyy/mm/dd/<session>_<split>", with the
// set's folder in place of "<serial><suffix>" for a file without the logger's metadata
// (session and split are then 0, which no logger's file has). False when memory ran out or the
// set has neither serial nor folder.
bool output_set_path(const Session* session, std::string_view part, DynString* out);

// An output file as a decode describes it: writer key and identity, value columns, path part,
// header line ("t,<name>,...\n") and the kinds of its columns (see WriterOps).
struct OutputFile {
  uint64_t key;
  uint64_t identity;
  uint32_t columns;
  std::string_view path_part;
  std::string_view header;
  std::string_view kinds;
};

// The writer of the file in the current output set, created (with its folders and header,
// counted in the statistics) on first use. Null when the file cannot be created: "Could not
// create output writer" is logged at level 5 with the file's path once per output set (the
// key then holds a null writer until a later attempt succeeds).
OutputWriter* writer_for_file(Session* session, const OutputFile& file);

// Closes every writer and frees the node array; the map is then empty with no storage. False
// when any close failed (an incomplete file); each such file is logged with its path at level 5.
bool writer_map_destroy(WriterMap* writers);
// Ends the output set: closes every writer (as writer_map_destroy) and forgets the file names
// in use, so the next set starts afresh.
bool session_close_outputs(Session* session);
// Journals where the current input's rows end in each file it wrote to (and could write).
void journal_rows_of_input(Session* session);
