// What the decode tests drive the session and its outputs with, as compositions of the
// program's own steps: a row formatted and written, the path and writer of a decoded message,
// and both stages of the frame decoding.
#pragma once

#include <string>
#include <vector>

#include "dbc/message_db.h"
#include "decode/csv_format.h"
#include "decode/decoders.h"
#include "decode/frame_decoder.h"
#include "decode/row_files.h"
#include "mdf/bus_frames.h"
#include "output/output_files.h"
#include "output/output_writer.h"
#include "output/row_taker.h"
#include "output/session.h"

namespace decodetest {

// "<time>,<value>,...\n" appended to the writer, as stage A formats it and stage B writes it.
inline bool write_row(OutputWriter* writer, double time, const double* values, uint32_t count) {
  std::string row(csv_row_room(count), '\0');
  char* end = csv_format_row(row.data(), time, values, count);
  return writer_write(writer, std::string_view(row.data(), end - row.data()), count);
}

// The path of the message's file in the session's output set.
inline bool output_relative_path(const Session* session, const Message* message, int32_t bus_kind,
                                 uint32_t channel, int32_t source_address,
                                 const DecodedMessage* decoded, DynString* out) {
  ScopedDynString part;
  return output_path_part(message, bus_kind, channel, source_address, decoded, &part.s) &&
         output_set_path(session, part.view(), out);
}

// The writer of the message's file in the session's output set, as stage B finds it from the
// descriptor stage A makes; null without a message when bus kind or channel is 16 or more.
inline OutputWriter* writer_for_message(Session* session, const Message* message, int32_t bus_kind,
                                        uint32_t channel, int32_t source_address,
                                        const DecodedMessage* decoded) {
  if (!session || !decoded || bus_kind < 0 || bus_kind >= 16 || channel >= 16) return nullptr;
  ScopedDynString part, header;
  std::vector<std::string> texts;
  std::vector<const char*> names;
  if (!output_path_part(message, bus_kind, channel, source_address, decoded, &part.s))
    return nullptr;
  for (const DecodedValue& v : decoded->values)
    if (!v.ignore) texts.emplace_back(v.name);
  for (const std::string& text : texts) names.push_back(text.c_str());
  if (!csv_header_line(&header.s, names.data(), static_cast<uint32_t>(names.size())))
    return nullptr;
  OutputFile file{writer_key(bus_kind, channel, source_address, decoded),
                  writer_identity(decoded),
                  static_cast<uint32_t>(names.size()),
                  part.view(),
                  header.view(),
                  {}};
  return writer_for_file(session, file);
}

struct DirectRows {
  Session* session;
  RowTaker taker;
  bool ok;
};

inline void take_chunk(void* context, Chunk* chunk) {
  auto* direct = static_cast<DirectRows*>(context);
  RowReader reader = row_reader(chunk);
  RowRecord record;
  while (row_reader_next(&reader, &record))
    if (!session_take_record(direct->session, &direct->taker, record)) direct->ok = false;
  chunk_free(chunk);
}

// Both stages for frames that one row maker decodes in turn, at the time base of the session's
// current file: their rows are made and taken at once. False when a row could not be written.
inline bool session_on_frames(Session* session, const Decoders* decoders, const BusFrame* frames,
                              size_t count) {
  DirectRows direct{session, RowTaker{}, true};
  RowWriter out;
  row_writer_init(&out, take_chunk, &direct);
  RowMaker* maker = row_maker_new(decoders, session->time_base, &out);
  if (maker) {
    for (size_t i = 0; i < count; ++i) row_maker_frame(maker, &frames[i]);
    row_maker_write_tally(maker);
  }
  row_writer_flush(&out);
  row_maker_free(maker);
  row_taker_clear(&direct.taker);
  return maker && !out.failed && direct.ok;
}

// One frame through a row maker of its own.
inline bool session_on_frame(Session* session, const Decoders* decoders, const BusFrame* frame) {
  return session_on_frames(session, decoders, frame, 1);
}

}  // namespace decodetest
