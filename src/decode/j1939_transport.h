// Reassembly of J1939 transport-protocol sessions (broadcast and connection mode) from their
// TP.CM and TP.DT frames into the message they carry, in a fixed table allocated once.
#pragma once

#include <cstdint>

constexpr uint32_t J1939_TP_CM_PGN = 0xEC00;
constexpr uint32_t J1939_TP_DT_PGN = 0xEB00;
constexpr uint32_t J1939_TP_MAX_SIZE = 1785;  // 255 packets of 7 bytes
constexpr uint32_t J1939_TP_SESSIONS = 64;    // open sessions at once, all sources and pairs
constexpr double J1939_TP_TIMEOUT = 0.75;     // seconds allowed between two packets

// Why a session gave no message.
enum J1939Break : uint8_t {
  J1939_BREAK_PACKET = 0,  // a missing or repeated packet number
  J1939_BREAK_RESTART,     // a new announcement from the same source before the end
  J1939_BREAK_TIMEOUT,     // more than 750 ms between packets
  J1939_BREAK_ABORT,       // an abort from either side
  J1939_BREAK_UNFINISHED,  // still open at the end of the input or of its part
  J1939_BREAK_NO_ROOM,     // no free entry in the table
  J1939_BREAK_REASONS
};
// The reason as the warning names it.
const char* j1939_break_name(int reason);

struct J1939Session {
  double last_time;             // of its last frame
  uint32_t pgn;                 // of the message carried
  uint16_t size;                // announced, 9 to 1785
  uint8_t packets;              // announced
  uint8_t next;                 // number of the packet expected next
  uint8_t source, destination;  // destination 0xFF for broadcast
  bool open;
  uint8_t data[J1939_TP_MAX_SIZE];
};

struct J1939Transport {
  J1939Session* sessions;  // J1939_TP_SESSIONS entries, from j1939_transport_begin
};

// What one frame did: a complete message (valid until the next call), and the sessions it
// broke, per reason (a frame can break several and open another).
struct J1939Result {
  const uint8_t* data;  // the message, null when none was completed
  uint32_t size;
  uint32_t pgn;
  uint8_t source;
  uint8_t broken[J1939_BREAK_REASONS];
};

// Allocates the table; false when memory ran out (the transport then stays empty and feeding it
// gives nothing).
bool j1939_transport_begin(J1939Transport* tp);
// Takes one frame of the channel with its 29-bit id and time in seconds. Frames other than
// TP.CM and TP.DT, and frames shorter than 8 bytes, give nothing. Never allocates.
J1939Result j1939_transport_feed(J1939Transport* tp, uint32_t id, const uint8_t* data,
                                 uint32_t length, double time);
// Closes every open session and returns how many there were (broken as unfinished).
uint32_t j1939_transport_close_all(J1939Transport* tp);
void j1939_transport_free(J1939Transport* tp);
