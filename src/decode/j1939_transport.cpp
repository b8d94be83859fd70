// J1939 transport-protocol reassembly: announcements (TP.CM) open a session per source
// (broadcast) or per source and destination (connection mode), data packets (TP.DT) fill it in
// order, and the last packet completes it.
#include "decode/j1939_transport.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t CM_RTS = 0x10;
constexpr uint8_t CM_CTS = 0x11;
constexpr uint8_t CM_ACK = 0x13;
constexpr uint8_t CM_BAM = 0x20;
constexpr uint8_t CM_ABORT = 0xFF;
constexpr uint8_t GLOBAL = 0xFF;

J1939Session* find(J1939Transport* tp, uint8_t source, uint8_t destination) {
  for (uint32_t i = 0; i < J1939_TP_SESSIONS; ++i) {
    J1939Session* s = &tp->sessions[i];
    if (s->open && s->source == source && s->destination == destination) return s;
  }
  return nullptr;
}

void close(J1939Session* s, J1939Result* r, J1939Break reason) {
  s->open = false;
  r->broken[reason] += 1;
}

// A free entry; when none is left, sessions that have timed out make room.
J1939Session* free_entry(J1939Transport* tp, double time, J1939Result* r) {
  for (uint32_t i = 0; i < J1939_TP_SESSIONS; ++i)
    if (!tp->sessions[i].open) return &tp->sessions[i];
  J1939Session* room = nullptr;
  for (uint32_t i = 0; i < J1939_TP_SESSIONS; ++i) {
    J1939Session* s = &tp->sessions[i];
    if (time - s->last_time <= J1939_TP_TIMEOUT) continue;
    close(s, r, J1939_BREAK_TIMEOUT);
    room = s;
  }
  if (!room) r->broken[J1939_BREAK_NO_ROOM] += 1;
  return room;
}

// An RTS or BAM announcement; an invalid one (size outside 9 to 1785, packet count that does
// not fit the size) is ignored.
void announce(J1939Transport* tp, uint8_t source, uint8_t destination, const uint8_t* d,
              double time, J1939Result* r) {
  uint32_t size = d[1] | (d[2] << 8);
  uint32_t packets = d[3];
  if (size < 9 || size > J1939_TP_MAX_SIZE || packets != (size + 6) / 7) return;
  if (J1939Session* old = find(tp, source, destination)) close(old, r, J1939_BREAK_RESTART);
  J1939Session* s = free_entry(tp, time, r);
  if (!s) return;
  s->last_time = time;
  s->pgn = (d[5] | (d[6] << 8) | (d[7] << 16)) & 0x3FFFF;
  s->size = static_cast<uint16_t>(size);
  s->packets = static_cast<uint8_t>(packets);
  s->next = 1;
  s->source = source;
  s->destination = destination;
  s->open = true;
}

// A session that has waited too long is broken by the frame that comes late.
J1939Session* live(J1939Transport* tp, uint8_t source, uint8_t destination, double time,
                   J1939Result* r) {
  J1939Session* s = find(tp, source, destination);
  if (s && time - s->last_time > J1939_TP_TIMEOUT) {
    close(s, r, J1939_BREAK_TIMEOUT);
    return nullptr;
  }
  return s;
}

void control(J1939Transport* tp, uint8_t source, uint8_t destination, const uint8_t* d, double time,
             J1939Result* r) {
  switch (d[0]) {
    case CM_BAM:
      announce(tp, source, GLOBAL, d, time, r);
      break;
    case CM_RTS:
      if (destination != GLOBAL) announce(tp, source, destination, d, time, r);
      break;
    case CM_CTS:  // from the receiver: keeps the sender's session alive
      if (J1939Session* s = live(tp, destination, source, time, r)) s->last_time = time;
      break;
    case CM_ACK:  // the session completed with its last packet
      break;
    case CM_ABORT:
      if (J1939Session* s = find(tp, source, destination)) close(s, r, J1939_BREAK_ABORT);
      if (J1939Session* s = find(tp, destination, source)) close(s, r, J1939_BREAK_ABORT);
      break;
    default:
      break;
  }
}

void packet(J1939Transport* tp, uint8_t source, uint8_t destination, const uint8_t* d, double time,
            J1939Result* r) {
  J1939Session* s = live(tp, source, destination, time, r);
  if (!s) return;
  if (d[0] != s->next) {
    close(s, r, J1939_BREAK_PACKET);
    return;
  }
  uint32_t at = (s->next - 1u) * 7u;
  uint32_t take = s->size - at < 7 ? s->size - at : 7;
  memcpy(s->data + at, d + 1, take);
  s->last_time = time;
  if (s->next < s->packets) {
    s->next += 1;
    return;
  }
  s->open = false;
  r->data = s->data;
  r->size = s->size;
  r->pgn = s->pgn;
  r->source = s->source;
}

}  // namespace

const char* j1939_break_name(int reason) {
  static const char* const names[J1939_BREAK_REASONS] = {
      "missing or repeated packet",
      "new announcement before the end",
      "timeout",
      "aborted",
      "unfinished at the end of the input or of its part",
      "too many open sessions"};
  return reason >= 0 && reason < J1939_BREAK_REASONS ? names[reason] : "unknown";
}

bool j1939_transport_begin(J1939Transport* tp) {
  tp->sessions = static_cast<J1939Session*>(calloc(J1939_TP_SESSIONS, sizeof(J1939Session)));
  return tp->sessions != nullptr;
}

J1939Result j1939_transport_feed(J1939Transport* tp, uint32_t id, const uint8_t* data,
                                 uint32_t length, double time) {
  J1939Result r{};
  uint32_t format = (id >> 16) & 0x3FF;  // data page bits and PDU format
  if (!tp->sessions || length < 8 || (format != 0xEC && format != 0xEB)) return r;
  auto source = static_cast<uint8_t>(id & 0xFF);
  auto destination = static_cast<uint8_t>((id >> 8) & 0xFF);
  if (format == 0xEC) {
    control(tp, source, destination, data, time, &r);
  } else {
    packet(tp, source, destination, data, time, &r);
  }
  return r;
}

uint32_t j1939_transport_close_all(J1939Transport* tp) {
  uint32_t open = 0;
  for (uint32_t i = 0; tp->sessions && i < J1939_TP_SESSIONS; ++i) {
    open += tp->sessions[i].open;
    tp->sessions[i].open = false;
  }
  return open;
}

void j1939_transport_free(J1939Transport* tp) {
  free(tp->sessions);
  tp->sessions = nullptr;
}
