// Decoding one bus frame with every database of its channel and writing the rows.
#include "decode/frame_decoder.h"

#include <bit>

#include "dbc/message_db.h"
#include "decode/csv_writer.h"
#include "decode/output_files.h"
#include "decode/session.h"
#include "mdf/bus_frames.h"
#include "support/log.h"

namespace {

// Where the rows of a frame go: the decoders of its bus channel, the message key they look it
// up by, the J1939 source address that becomes part of the file's identity, and the channel's
// count of what became of its frames.
struct FrameRoute {
  const ChannelDecoders* decoders;
  ChannelTally* tally;
  int32_t bus_kind;
  uint32_t channel;
  uint32_t key;
  int32_t source_address;
};

// False for a frame that no database can know: another kind, a channel outside 1 to 9 or
// without DBC file, or a length beyond the frame's data area. Every frame is counted in the
// tally, by kind or by channel.
bool route_frame(Session* session, const BusFrame* frame, FrameRoute* route) {
  bool extended = false;
  FrameTally* tally = &session->base.tally;
  switch (frame->kind) {
    case FRAME_CAN_DATA:
      route->bus_kind = BUS_KIND_CAN;
      route->channel = frame->u.can.bus_channel;
      route->tally = &tally->channels[TALLY_CAN][frame->u.can.bus_channel];
      extended = frame->u.can.ide != 0;
      break;
    case FRAME_LIN:
      route->bus_kind = BUS_KIND_LIN;
      route->channel = frame->u.lin.bus_channel;
      route->tally = &tally->channels[TALLY_LIN][frame->u.lin.bus_channel];
      break;
    case FRAME_CAN_REMOTE:
      tally->remote_frames += 1;
      return false;
    case FRAME_CAN_ERROR:
      tally->error_frames += 1;
      return false;
    default:
      return false;
  }
  route->tally->frames += 1;
  if (route->channel < 1 || route->channel > CHANNELS_PER_BUS) return false;
  const ChannelDecoders& decoders =
      session
          ->channels[(route->bus_kind == BUS_KIND_CAN ? 0 : CHANNELS_PER_BUS) + route->channel - 1];
  if (!decoders.key) return false;
  route->decoders = &decoders;
  route->key = decoders.key(frame->id, extended);
  route->source_address = decoders.key == j1939_message_key && extended
                              ? static_cast<int32_t>(frame->id & 0xFF)
                              : NO_SOURCE_ADDRESS;
  // The length is the log's DataLength value (up to 255); bytes past the frame's data area were
  // never stored, so a frame claiming them matches no message.
  return frame->data_length <= (route->bus_kind == BUS_KIND_CAN ? CAN_DATA_AREA : LIN_DATA_AREA);
}

// Output files never span two UTC days: a row of another day than the open output set starts
// a new set. False when the row time lies outside the calendar (warned once per file); *ok
// turns false when the previous day's files could not be written out.
bool enter_row_day(Session* session, double t, bool* ok) {
  UtcDate date;
  if (!utc_date_from_seconds(t, &date)) {
    if (!session->warned_bad_time) {
      LOG(LOG_WARN, "Frames with a time outside the calendar (%f s) are skipped", t);
      session->warned_bad_time = true;
    }
    return false;
  }
  if (date.year != session->output_year || date.month != session->output_month ||
      date.day != session->output_day) {
    if (!session_start_output_set(session, static_cast<uint16_t>(date.year),
                                  static_cast<uint8_t>(date.month), static_cast<uint8_t>(date.day)))
      *ok = false;
  }
  return true;
}

// Fills the session's row values from the decoded values that are not ignored, with the
// out-of-range NaN for a value that fails its signal's range test. True when at least
// one value was kept (a row of NaN only is not written).
bool collect_row_values(Session* session, const DecodedValue* first) {
  GrowArray<double>& values = session->row_values;
  values.count = 0;
  bool kept = false;
  for (const DecodedValue* v = first; v; v = decoded_values_next(v)) {
    if (v->ignore) continue;
    session->statistics.signals += 1;
    double value = v->value;
    if (v->in_range) {
      kept = true;
    } else {
      value = std::bit_cast<double>(OUT_OF_RANGE_NAN_BITS);
    }
    grow_array_push(&values, value);
  }
  return kept;
}

// Appends the session's row values at time t to the message's file; false when the file could
// not be created or did not take the row (each reported once per file).
bool write_row(Session* session, const Message* message, const FrameRoute& route, double t) {
  CsvWriter* writer = writer_for_message(session, message, route.bus_kind, route.channel,
                                         route.source_address, &session->decoded);
  if (!writer) return false;  // writer_for_message has reported the file
  bool failed_before = writer->failed;
  const GrowArray<double>& values = session->row_values;
  if (csv_write_row(writer, t, values.items, static_cast<uint32_t>(values.count))) {
    session->statistics.rows += 1;
    return true;
  }
  if (!failed_before) LOG(LOG_ERROR, "Could not write to output file %s", csv_writer_path(writer));
  return false;
}

}  // namespace

bool session_on_frame(Session* session, const BusFrame* frame) {
  FrameRoute route;
  if (!route_frame(session, frame, &route)) return true;
  double t = session->time_base + frame->timestamp;
  bool ok = true, matched = false, row = false;
  for (MessageDatabase* database : route.decoders->databases) {
    if (!database) break;
    const Message* message = message_db_find(database, route.key);
    if (!message || message->ignore || message->size != frame->data_length) continue;
    DecodedMessage* decoded = &session->decoded;
    if (!message_db_decode_into(database, route.key, frame->data, frame->data_length, decoded))
      continue;
    session->statistics.messages += 1;
    matched = true;
    const DecodedValue* first = decoded_values_first(decoded);
    if (!first) continue;
    if (!enter_row_day(session, t, &ok)) {
      route.tally->bad_time += 1;
      break;
    }
    if (!collect_row_values(session, first)) continue;
    // A row that cannot be written fails the file with its own message; it still counts as a
    // row here, where only rows the frames did not give need a reason.
    row = true;
    if (!write_row(session, message, route, t)) ok = false;
  }
  route.tally->matched += matched;
  route.tally->rows += row;
  if (!ok) session->output_failed = true;
  return ok;
}
