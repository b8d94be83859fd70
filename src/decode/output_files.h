// Output files of a session: the map of open CSV writers by writer key, the relative path and
// name of each file, and the creation of its folders below the output root.
#pragma once

#include <cstdint>
#include <string_view>

#include "decode/session.h"
#include "support/dyn_string.h"

struct Message;
struct DecodedMessage;
struct CsvWriter;

// The source address of a frame that has none (anything but a J1939 extended frame).
constexpr int32_t NO_SOURCE_ADDRESS = -1;

// Bits 0-3 bus kind, 4-7 channel, 8-15 source address (0 for none), 16-47 the message key,
// 48-63 the XOR of the low 16 bits of string_hash over the names of all decoded values (ignored
// ones too), so that different multiplexor selections get different files.
uint64_t writer_key(int32_t bus_kind, uint32_t channel, int32_t source_address,
                    const DecodedMessage* decoded);

// The names of all decoded values (ignored ones too), in order, hashed together: what makes a
// writer's header. Writers found under one key are checked against it.
uint64_t writer_identity(const DecodedMessage* decoded);

// Appends the ASCII letters and digits of `name` to `out`, walking it by UTF-8 characters;
// every other character is dropped, as is a character cut off by the end of the name. False
// when memory ran out.
bool name_to_path_part(std::string_view name, DynString* out);

// Appends "<bus><channel>_<message>[_<mux>_M<low>...][_S<sa>]": the part of an output file's
// path that depends on the frame and its decode alone. False when memory ran out.
bool output_path_part(const Message* message, int32_t bus_kind, uint32_t channel,
                      int32_t source_address, const DecodedMessage* decoded, DynString* out);
// Appends the output file's path relative to the output root, without ".csv", for a path part
// in the current output set: "<serial><suffix>/<part>/yyyy/mm/dd/<session>_<split>", with the
// set's folder in place of "<serial><suffix>" for a file without the logger's metadata
// (session and split are then 0, which no logger's file has). False when memory ran out or the
// set has neither serial nor folder.
bool output_set_path(const Session* session, std::string_view part, DynString* out);

// An output file as a decode describes it: writer key and identity, value columns, path part,
// header line ("t,<name>,...\n") and the kinds of its columns (see OutputEncoder::open).
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
CsvWriter* writer_for_file(Session* session, const OutputFile& file);

// Closes every writer and frees the node array; the map is then empty with no storage. False
// when any close failed (an incomplete file); each such file is logged with its path at level 5.
bool writer_map_destroy(WriterMap* writers);
// Ends the output set: closes every writer (as writer_map_destroy) and forgets the file names
// in use, so the next set starts afresh.
bool session_close_outputs(Session* session);
// Journals where the current input's rows end in each file it wrote to (and could write).
void journal_rows_of_input(Session* session);
