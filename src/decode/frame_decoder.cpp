// Frame decoding: stage A turns a bus frame into row records with the descriptors of their
// files, stage B moves the output sets and writes the rows.
#include "decode/frame_decoder.h"

#include <bit>
#include <cmath>
#include <cstdlib>

#include "dbc/message_db.h"
#include "decode/csv_format.h"
#include "decode/decoders.h"
#include "decode/frame_tally.h"
#include "decode/j1939_transport.h"
#include "decode/row_files.h"
#include "mdf/bus_frames.h"
#include "support/hash_table.h"
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

// False for a frame that no database can know: another kind, a channel outside 0 to 9 or
// without DBC file, or a length beyond the frame's data area. Every frame is counted in the
// tally, by kind or by channel.
bool route_frame(const Decoders* all, FrameTally* tally, const BusFrame* frame, FrameRoute* route) {
  bool extended = false;
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
      tally->other_frames += 1;
      return false;
  }
  route->tally->frames += 1;
  if (route->channel >= CHANNELS_PER_BUS) return false;
  const ChannelDecoders& decoders =
      all->channels[(route->bus_kind == BUS_KIND_CAN ? 0 : CHANNELS_PER_BUS) + route->channel];
  if (!decoders.key) return false;
  route->decoders = &decoders;
  route->key = decoders.key(frame->id, extended);
  route->source_address = decoders.key == j1939_message_key && extended
                              ? static_cast<int32_t>(frame->id & 0xFF)
                              : NO_SOURCE_ADDRESS;
  // The length is the log's DataLength value (up to 255); bytes past the frame's data area were
  // never stored, so a frame claiming them cannot be decoded, no more than one whose payload
  // could not be read.
  if (!frame->payload_lost &&
      frame->data_length <= (route->bus_kind == BUS_KIND_CAN ? CAN_DATA_AREA : LIN_DATA_AREA))
    return true;
  route->tally->unreadable += 1;
  return false;
}

// What tells a part's output files apart: the writer key and identity, and what else names the
// file (the database, whose message name it takes, and the branches its multiplexors select).
struct DescriptorKey {
  uint64_t key;
  uint64_t identity;
  uint64_t branches;
  uint32_t database;
};

struct DescriptorEntry {
  DescriptorKey key;
  uint32_t index;
};

struct DescriptorTraits {
  using Key = const DescriptorKey*;
  static uint64_t hash(Key k) {
    return k->key ^ (k->identity * 0x9E3779B97F4A7C15ULL) ^ (k->branches * 0xC2B2AE3D27D4EB4FULL) ^
           k->database;
  }
  static uint64_t hash_entry(const DescriptorEntry& e) { return hash(&e.key); }
  static bool equal(const DescriptorEntry& e, Key k) {
    return e.key.key == k->key && e.key.identity == k->identity && e.key.branches == k->branches &&
           e.key.database == k->database;
  }
  static void destroy(DescriptorEntry&) {}
};

// Descriptors of recent messages without multiplexors: their file depends only on the message
// and the route, so it is found again without hashing the decoded values.
struct RecentDescriptor {
  const Message* message;
  uint64_t route;  // route_bits
  uint32_t index;
};
constexpr uint32_t RECENT_DESCRIPTORS = 64;

// The key, bus kind, channel, source address and database of a route; the address takes 9 bits,
// so that a frame without one differs from every address.
uint64_t route_bits(const FrameRoute& route, uint32_t database) {
  return route.key | (static_cast<uint64_t>(route.bus_kind & 0xF) << 32) |
         (static_cast<uint64_t>(route.channel & 0xF) << 36) |
         (static_cast<uint64_t>(route.source_address & 0x1FF) << 40) |
         (static_cast<uint64_t>(database) << 49);
}

}  // namespace

struct RowMaker {
  const Decoders* decoders;
  double time_base;
  RowWriter* out;
  DecodedMessage decoded;  // reused for every decode: no allocation per frame
  GrowArray<double> values;
  // With --values=text or --time=iso: the text of each value (data null for a number) and the
  // room the row's texts take; cells_wanted says the rows take this path.
  GrowArray<std::string_view> texts;
  uint64_t text_room;
  bool cells_wanted;
  bool binary;  // rows go out in binary form (ROW_RECORD_VALUES), not as CSV lines
  HashTable<DescriptorEntry> descriptors;
  RecentDescriptor recent[RECENT_DESCRIPTORS];
  uint32_t defined;
  int64_t day_number;  // of the last row's day, -1 before the first
  PackedDay day;
  bool reported_bad_time;
  DynString part, header;  // built for each new descriptor, the header followed by the kinds
  FrameTally tally;        // of the frames since the last tally record
  // J1939 transport sessions of each CAN channel, its table allocated at its first TP frame.
  J1939Transport transport[CHANNELS_PER_BUS];
};

namespace {

// The packed UTC day of a row time; false outside the calendar.
bool row_day(RowMaker* m, double t, PackedDay* day) {
  if (!utc_seconds_in_calendar(t)) return false;
  int64_t number = static_cast<int64_t>(t) / 86400;
  if (number != m->day_number) {
    UtcDate date;
    utc_date_from_seconds(t, &date);
    m->day = static_cast<PackedDay>(date.year * 10000 + date.month * 100 + date.day);
    m->day_number = number;
  }
  *day = m->day;
  return true;
}

// The branches the decoded multiplexors select, as the output path names them.
uint64_t branch_signature(const Message* message, const DecodedMessage* decoded) {
  uint64_t signature = 0;
  for (const DecodedValue& v : decoded->values) {
    if (!v.has_branches) continue;
    const Signal* signal = signal_list_find(&message->signals, v.name);
    uint32_t selector;
    const MuxBranch* branch = signal && multiplexor_selector(v.value, &selector)
                                  ? branch_containing(&signal->branches, selector)
                                  : nullptr;
    uint64_t low = branch ? branch->low : uint64_t{1} << 32;
    signature = (signature ^ low) * 0x100000001B3ULL + 1;
  }
  return signature;
}

// Appends one letter per value column: 's' when the signal has a value table (its cells may be
// texts), 'n' otherwise; nothing when no column has one. False when memory ran out.
bool append_kinds(const MessageDatabase* database, uint32_t key, const DecodedMessage* d,
                  DynString* out) {
  bool any = false;
  for (const DecodedValue& v : d->values)
    any = any || (!v.ignore && value_tables_find(&database->value_tables, key, v.name_hash));
  if (!any) return true;
  for (const DecodedValue& v : d->values) {
    if (v.ignore) continue;
    bool table = value_tables_find(&database->value_tables, key, v.name_hash) != nullptr;
    if (!dynstring_append(out, table ? "s" : "n")) return false;
  }
  return true;
}

// The identity with the kinds of the columns folded in; unchanged when no column has a table.
uint64_t kinds_identity(const MessageDatabase* database, uint32_t key, const DecodedMessage* d,
                        uint64_t identity) {
  uint64_t kinds = 0;
  bool any = false;
  for (const DecodedValue& v : d->values) {
    bool table = !v.ignore && value_tables_find(&database->value_tables, key, v.name_hash);
    any = any || table;
    kinds = (kinds ^ table) * 0x100000001B3ULL + 1;
  }
  return any ? identity ^ (kinds * 0x9E3779B97F4A7C15ULL) : identity;
}

// The index of the row's file in this part, defined (a descriptor record) on first use;
// NO_DESCRIPTOR when memory ran out.
uint32_t descriptor_of(RowMaker* m, const Message* message, const FrameRoute& route,
                       uint32_t database) {
  const DecodedMessage* d = &m->decoded;
  DescriptorKey key{0, 0, 0, database};
  bool multiplexed = false;
  for (const DecodedValue& v : d->values) {
    if (!v.has_branches) continue;
    key.branches = branch_signature(message, d);
    multiplexed = true;
    break;
  }
  uint64_t bits = route_bits(route, database);
  RecentDescriptor* recent = nullptr;
  if (!multiplexed) {
    uint64_t mixed = (reinterpret_cast<uintptr_t>(message) ^ bits) * 0x9E3779B97F4A7C15ULL;
    recent = &m->recent[mixed >> 58];
    if (recent->message == message && recent->route == bits) return recent->index;
  }
  key.key = writer_key(route.bus_kind, route.channel, route.source_address, d);
  key.identity = writer_identity(d);
  // Columns of texts make another file than the same names with numbers (another database of
  // the channel may have no table for the signal).
  if (m->decoders->values_text)
    key.identity = kinds_identity(route.decoders->databases[database], route.key, d, key.identity);
  HashSlot<DescriptorEntry> slot =
      hash_table_find_or_insert<DescriptorTraits>(&m->descriptors, &key);
  if (!slot.slot) return NO_DESCRIPTOR;
  if (recent)
    *recent = RecentDescriptor{message, bits, slot.inserted ? m->defined : slot.slot->index};
  if (!slot.inserted) return slot.slot->index;
  slot.slot->key = key;
  slot.slot->index = m->defined++;
  dynstring_clear(&m->part);
  dynstring_clear(&m->header);
  bool built =
      output_path_part(message, route.bus_kind, route.channel, route.source_address, d, &m->part) &&
      dynstring_append(&m->header, "t");
  uint32_t columns = 0;
  for (const DecodedValue& v : d->values) {
    if (v.ignore) continue;
    built = built && dynstring_append(&m->header, ",") && dynstring_append(&m->header, v.name);
    ++columns;
  }
  built = built && dynstring_append(&m->header, "\n");
  size_t header_length = dynstring_length(&m->header);
  if (built && m->decoders->values_text)
    built = append_kinds(route.decoders->databases[database], route.key, d, &m->header);
  // Without its texts the file could not be made: its rows are lost as the writer's would be.
  if (!built) m->out->failed = true;
  RowDescriptor record{slot.slot->index,
                       columns,
                       key.key,
                       key.identity,
                       static_cast<uint32_t>(dynstring_length(&m->part)),
                       static_cast<uint32_t>(header_length),
                       static_cast<uint32_t>(dynstring_length(&m->header) - header_length)};
  row_writer_add(m->out, ROW_RECORD_DESCRIPTOR, &record, sizeof record, dynstring_sv(&m->part),
                 dynstring_sv(&m->header));
  return slot.slot->index;
}

// In a binary row, the text of a cell of a column of texts that is the number's CSV text.
constexpr char NUMBER_TEXT_MARK[1] = {0};
constexpr uint64_t BINARY_NUMBER_TEXT_ROOM = 4 + FIXED6_TEXT_MAX;

// With --values=text or --time=iso: the text of each kept value (null data for a number) and
// the room they take, one for one with the values. In binary rows every cell of a column of
// texts is a text: where the table gives none, the number as CSV writes it (NUMBER_TEXT_MARK).
[[gnu::noinline]] void collect_row_texts(RowMaker* m, const DecodedValue* first,
                                         const MessageDatabase* database, uint32_t key) {
  m->texts.count = 0;
  m->text_room = 0;
  bool texts = m->decoders->values_text;
  for (const DecodedValue* v = first; v; v = decoded_values_next(v)) {
    if (v->ignore) continue;
    std::string_view text;
    const ValueTableHead* table =
        texts ? value_tables_find(&database->value_tables, key, v->name_hash) : nullptr;
    // A value out of range stays the out-of-range mark, whatever its table says.
    if (table && v->in_range) value_tables_text(&database->value_tables, table, v->raw, &text);
    if (m->binary && table && !text.data()) text = std::string_view(NUMBER_TEXT_MARK, 0);
    if (!grow_array_push(&m->texts, text)) m->out->failed = true;
    if (!text.data()) continue;
    if (!m->binary) {
      m->text_room += csv_text_room(text.size());
    } else {
      m->text_room += text.data() == NUMBER_TEXT_MARK ? BINARY_NUMBER_TEXT_ROOM : 4 + text.size();
    }
  }
}

// Collects the values that are not ignored, with the out-of-range NaN for a value that fails
// its signal's range test. True when at least one value was kept (a row of NaN only is not
// written).
bool collect_row_values(RowMaker* m, const DecodedValue* first, const MessageDatabase* database,
                        uint32_t key) {
  GrowArray<double>& values = m->values;
  values.count = 0;
  bool kept = false;
  for (const DecodedValue* v = first; v; v = decoded_values_next(v)) {
    if (v->ignore) continue;
    m->out->counts.signals += 1;
    double value = v->value;
    if (v->in_range) {
      kept = true;
    } else {
      value = std::bit_cast<double>(OUT_OF_RANGE_NAN_BITS);
    }
    if (!grow_array_push(&values, value)) m->out->failed = true;
  }
  // Kept apart so that the plain rows' walk stays as short as it was.
  if (m->cells_wanted) collect_row_texts(m, first, database, key);
  return kept;
}

// The microseconds the six-decimal text of a row time names; false for a time too large.
bool row_time_us(double t, int64_t* time_us) {
  if (fixed6_millionths(t, time_us)) return true;
  char text[FIXED6_TEXT_MAX];
  const char* end = format_fixed6(text, t);
  const char* at = text + (text[0] == '-');
  int64_t value = 0;
  int decimals = -1;
  for (; at < end; ++at) {
    if (*at == '.' && decimals < 0) {
      decimals = 0;
    } else if (*at >= '0' && *at <= '9' && value < INT64_MAX / 10 - 9) {
      value = value * 10 + (*at - '0');
      if (decimals >= 0) ++decimals;
    } else {
      return false;
    }
  }
  *time_us = text[0] == '-' ? -value : value;
  return decimals == 6;
}

// The double the value's six-decimal CSV text spells, so that both formats hold one number.
// Its millionths are exact below 2^53, and dividing them by 1e6 rounds once, as reading the
// text does; the rare values the fast path cannot place are formatted and read back.
double six_decimal_value(double value) {
  // Below 2^49 the product is within 1/16 of the true millionths; 1/4 from the nearest whole
  // number it cannot have been rounded to the other side of a half.
  double product = value * 1e6;
  if (std::fabs(product) < 0x1p49) {
    double nearest = std::nearbyint(product);
    if (std::fabs(product - nearest) < 0.25) return nearest / 1e6;
  }
  int64_t millionths = 0;
  constexpr int64_t EXACT = int64_t{1} << 53;
  if (fixed6_millionths(value, &millionths) && millionths < EXACT && millionths > -EXACT)
    return static_cast<double>(millionths) / 1e6;
  if (!std::isfinite(value)) return value;
  char text[FIXED6_TEXT_MAX + 1];
  *format_fixed6(text, value) = '\0';
  return strtod(text, nullptr);
}

// Writes the row's cells after its numbers: their kinds, then the texts (see RowValueCell).
uint8_t* put_cell_texts(RowMaker* m, uint8_t* out) {
  uint32_t count = static_cast<uint32_t>(m->values.count);
  for (uint32_t i = 0; i < count; ++i)
    *out++ = m->texts[static_cast<int32_t>(i)].data() ? ROW_CELL_TEXT : ROW_CELL_NUMBER;
  for (uint32_t i = 0; i < count; ++i) {
    std::string_view text = m->texts[static_cast<int32_t>(i)];
    if (!text.data()) continue;
    uint8_t* length_at = out;
    out += 4;
    if (text.data() == NUMBER_TEXT_MARK) {
      out = reinterpret_cast<uint8_t*>(
          format_fixed6(reinterpret_cast<char*>(out), m->values[static_cast<int32_t>(i)]));
    } else {
      memcpy(out, text.data(), text.size());
      out += text.size();
    }
    auto length = static_cast<uint32_t>(out - length_at - 4);
    memcpy(length_at, &length, 4);
  }
  return out;
}

// A row in binary form (ROW_RECORD_VALUES).
void add_value_row(RowMaker* m, uint32_t descriptor, PackedDay day, double t) {
  uint32_t count = static_cast<uint32_t>(m->values.count);
  bool cells = m->cells_wanted && m->texts.count == m->values.count && m->text_room != 0;
  uint64_t room = sizeof(RowHead);
  if (descriptor != NO_DESCRIPTOR)
    room += 8 + 8 * uint64_t{count} + (cells ? count + m->text_room : 0);
  uint8_t* body = row_writer_reserve(m->out, room);
  if (!body) return;
  uint8_t* row = body + sizeof(RowHead);
  uint8_t* end = row;
  if (descriptor != NO_DESCRIPTOR) {
    int64_t time_us = 0;
    // A time the text could not name as microseconds: the row is lost as a full disk loses it.
    if (!row_time_us(t, &time_us)) m->out->failed = true;
    memcpy(row, &time_us, 8);
    for (uint32_t i = 0; i < count; ++i) {
      double value = six_decimal_value(m->values[static_cast<int32_t>(i)]);
      memcpy(row + 8 + 8 * uint64_t{i}, &value, 8);
    }
    end = row + 8 + 8 * uint64_t{count};
    if (cells) end = put_cell_texts(m, end);
  }
  RowHead head{descriptor, day, static_cast<uint32_t>(end - row)};
  memcpy(body, &head, sizeof head);
  row_writer_commit(m->out, ROW_RECORD_VALUES, sizeof head + head.length);
}

void add_row(RowMaker* m, uint32_t descriptor, PackedDay day, double t) {
  if (m->binary) {
    add_value_row(m, descriptor, day, t);
    return;
  }
  uint32_t count = static_cast<uint32_t>(m->values.count);
  uint64_t room =
      sizeof(RowHead) + (descriptor == NO_DESCRIPTOR ? 0 : csv_row_room(count) + m->text_room);
  uint8_t* body = row_writer_reserve(m->out, room);
  if (!body) return;
  char* text = reinterpret_cast<char*>(body + sizeof(RowHead));
  bool iso = m->decoders->time_iso;
  // Texts and values are collected one for one unless memory ran out (the rows are lost then).
  bool cells = m->cells_wanted && m->texts.count == m->values.count;
  char* end = descriptor == NO_DESCRIPTOR ? text
              : cells ? csv_format_cells(text, t, iso, m->values.items, m->texts.items, count)
                      : csv_format_row(text, t, m->values.items, count);
  RowHead head{descriptor, day, static_cast<uint32_t>(end - text)};
  memcpy(body, &head, sizeof head);
  row_writer_commit(m->out, ROW_RECORD_ROW, sizeof head + head.length);
}

}  // namespace

RowMaker* row_maker_new(const Decoders* decoders, double time_base, RowWriter* out) {
  auto* maker = static_cast<RowMaker*>(calloc(1, sizeof(RowMaker)));
  if (!maker) return nullptr;
  maker->decoders = decoders;
  maker->time_base = time_base;
  maker->out = out;
  maker->day_number = -1;
  maker->binary = decoders->binary_rows;
  // Binary rows hold the time as a number: --time=iso does not reach them.
  maker->cells_wanted = decoders->values_text || (decoders->time_iso && !maker->binary);
  return maker;
}

void row_maker_free(RowMaker* maker) {
  if (!maker) return;
  decoded_message_clear(&maker->decoded);
  grow_array_free(&maker->values);
  grow_array_free(&maker->texts);
  hash_table_destroy<DescriptorTraits>(&maker->descriptors);
  dynstring_free(&maker->part);
  dynstring_free(&maker->header);
  frame_tally_free(&maker->tally);
  for (J1939Transport& tp : maker->transport) j1939_transport_free(&tp);
  free(maker);
}

namespace {

// Decodes one message (a frame's data or a reassembled transport message) with every database
// of its route that knows it, adding its rows; counts it in the route's channel tally.
void decode_message(RowMaker* m, const FrameRoute& route, uint32_t id, const uint8_t* data,
                    uint32_t length, double t) {
  bool matched = false, row = false, filtered = false;
  uint32_t other_length = DBC_SLOTS;  // the first database whose message has another length
  for (uint32_t index = 0; index < DBC_SLOTS; ++index) {
    const MessageDatabase* database = route.decoders->databases[index];
    if (!database) break;
    const Message* message = message_db_find(database, route.key);
    if (!message || message->ignore) continue;
    if (message->filtered) {
      filtered = true;
      continue;
    }
    if (message->size != length) {
      if (other_length == DBC_SLOTS) other_length = index;
      continue;
    }
    if (!message_decode_into(message, route.key, data, length, &m->decoded)) continue;
    m->out->counts.messages += 1;
    matched = true;
    const DecodedValue* first = decoded_values_first(&m->decoded);
    if (!first) continue;
    // Output files never span two UTC days: stage B starts a new output set for a row of
    // another day, also for a row that is not written.
    PackedDay day;
    if (!row_day(m, t, &day)) {
      if (!m->reported_bad_time) row_writer_add(m->out, ROW_RECORD_BAD_TIME, &t, sizeof t);
      m->reported_bad_time = true;
      route.tally->bad_time += 1;
      break;
    }
    bool kept = collect_row_values(m, first, database, route.key);
    // A row that cannot be written fails the file with its own message; it still counts as a
    // row here, where only rows the frames did not give need a reason.
    row = row || kept;
    add_row(m, kept ? descriptor_of(m, message, route, index) : NO_DESCRIPTOR, day, t);
  }
  route.tally->matched += matched;
  route.tally->rows += row;
  route.tally->filtered += !matched && filtered;
  // A frame that no database decoded for its length is told per message.
  if (!matched && !filtered && other_length < DBC_SLOTS) {
    route.tally->length_mismatch += 1;
    frame_tally_add_length(&m->tally, route.bus_kind == BUS_KIND_CAN ? TALLY_CAN : TALLY_LIN,
                           route.channel, other_length, route.key, id, length);
  }
}

// Feeds a TP.CM or TP.DT frame of a J1939 channel to the channel's reassembler; a completed
// message decodes as a frame of its PGN and source address, at the time of its last packet.
void transport_frame(RowMaker* m, FrameRoute route, const BusFrame* frame, double t) {
  J1939Transport* tp = &m->transport[route.channel];
  if (!tp->sessions && !j1939_transport_begin(tp)) {
    m->out->failed = true;
    return;
  }
  J1939Result r = j1939_transport_feed(tp, frame->id, frame->data, frame->data_length, t);
  for (int i = 0; i < J1939_BREAK_REASONS; ++i) route.tally->j1939_broken[i] += r.broken[i];
  if (!r.data) return;
  route.key = j1939_message_key((r.pgn << 8) | r.source, true);
  route.source_address = r.source;
  decode_message(m, route, (r.pgn << 8) | r.source, r.data, r.size, t);
}

}  // namespace

void row_maker_frame(RowMaker* m, const BusFrame* frame) {
  FrameRoute route;
  if (!route_frame(m->decoders, &m->tally, frame, &route)) return;
  double t = m->time_base + frame->timestamp;
  decode_message(m, route, frame->id, frame->data, frame->data_length, t);
  // TP.CM (0xEC) and TP.DT (0xEB) frames of a J1939 channel: also parts of a longer message.
  uint32_t format = (frame->id >> 16) & 0x3FF;
  if ((format == 0xEC || format == 0xEB) && route.source_address != NO_SOURCE_ADDRESS)
    transport_frame(m, route, frame, t);
}

void row_maker_write_tally(RowMaker* maker) {
  // Sessions still open at the end of a run of records cannot be completed: the next records
  // this maker reads (if any) come from another group or range. See README on split inputs.
  for (uint32_t c = 0; c < CHANNELS_PER_BUS; ++c) {
    uint32_t open = j1939_transport_close_all(&maker->transport[c]);
    maker->tally.channels[TALLY_CAN][c].j1939_broken[J1939_BREAK_UNFINISHED] += open;
  }
  frame_tally_write(&maker->tally, maker->out);
}
