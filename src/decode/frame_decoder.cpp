// Decoding one bus frame with every database of its channel and writing the rows.
#include "decode/frame_decoder.h"

#include <bit>
#include <cmath>

#include "dbc/message_db.h"
#include "decode/csv_writer.h"
#include "decode/output_files.h"
#include "decode/session.h"
#include "mdf/bus_frames.h"
#include "support/log.h"

namespace {

// Days since 1970-01-01 to a proleptic Gregorian date.
UtcDate civil_from_days(int64_t days) {
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t day_of_era = days - era * 146097;
  int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  int64_t year = year_of_era + era * 400;
  int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  int64_t mp = (5 * day_of_year + 2) / 153;
  int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int32_t>(year + (month <= 2)), static_cast<int32_t>(month),
          static_cast<int32_t>(day)};
}

constexpr double FIRST_UNNAMEABLE_SECOND = 253402300800.0;  // 10000-01-01 00:00:00 UTC

}  // namespace

bool utc_date_from_seconds(double seconds, UtcDate* date) {
  if (!(seconds >= 0.0) || !(seconds < FIRST_UNNAMEABLE_SECOND)) return false;
  int64_t whole = static_cast<int64_t>(seconds);  // truncation toward zero
  *date = civil_from_days(whole / 86400);
  return true;
}

bool session_on_frame(Session* session, const BusFrame* frame) {
  double t = session->time_base + frame->timestamp;
  int bus_kind;
  uint32_t channel;
  bool extended = false;
  switch (frame->kind) {
    case FRAME_CAN_DATA:
      bus_kind = BUS_KIND_CAN;
      channel = frame->u.can.bus_channel;
      extended = frame->u.can.ide != 0;
      break;
    case FRAME_LIN:
      bus_kind = BUS_KIND_LIN;
      channel = frame->u.lin.bus_channel;
      break;
    default:
      return true;
  }
  if (channel < 1 || channel > CHANNELS_PER_BUS) return true;
  ChannelDecoders& decoders =
      session->channels[(bus_kind == BUS_KIND_CAN ? 0 : CHANNELS_PER_BUS) + channel - 1];
  if (!decoders.key) return true;
  uint32_t key = decoders.key(frame->id, extended);
  int32_t source_address = decoders.key == j1939_message_key && extended
                               ? static_cast<int32_t>(frame->id & 0xFF)
                               : NO_SOURCE_ADDRESS;
  const uint8_t* data = frame->data;
  uint64_t data_length = frame->data_length;
  // The length is the log's DataLength value (up to 255); bytes past the frame's data area were
  // never stored, so a frame claiming them matches no message.
  if (data_length > (bus_kind == BUS_KIND_CAN ? CAN_DATA_AREA : LIN_DATA_AREA)) return true;

  bool ok = true;
  for (MessageDatabase* database : decoders.databases) {
    if (!database) break;
    const Message* message = message_db_find(database, key);
    if (!message || message->ignore || message->size != data_length) continue;
    DecodedMessage* decoded = &session->decoded;
    if (!message_db_decode_into(database, key, data, data_length, decoded)) continue;
    session->statistics.messages += 1;
    const DecodedValue* first = decoded_values_first(decoded);
    if (!first) continue;

    UtcDate date;
    if (!utc_date_from_seconds(t, &date)) {
      if (!session->warned_bad_time) {
        LOG(LOG_WARN, "Frames with a time outside the calendar (%f s) are skipped", t);
        session->warned_bad_time = true;
      }
      return ok;
    }
    if (date.year != session->output_year || date.month != session->output_month ||
        date.day != session->output_day) {
      // Output files never span two UTC days.
      if (!session_close_outputs(session)) ok = false;
      session->naming_serial = session->current_serial;
      session->naming_session = session->current_session;
      session->naming_split = session->current_split;
      session->output_year = static_cast<uint16_t>(date.year);
      session->output_month = static_cast<uint8_t>(date.month);
      session->output_day = static_cast<uint8_t>(date.day);
    }

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
    if (kept) {
      CsvWriter* writer =
          writer_for_message(session, message, bus_kind, channel, source_address, decoded);
      if (!writer) {
        ok = false;  // writer_for_message has reported the file
      } else {
        bool failed_before = writer->failed;
        if (!csv_write_row(writer, t, values.items, static_cast<uint32_t>(values.count))) {
          if (!failed_before)
            LOG(LOG_ERROR, "Could not write to output file %s", csv_writer_path(writer));
          ok = false;
        }
      }
    }
  }
  if (!ok) session->output_failed = true;
  return ok;
}
