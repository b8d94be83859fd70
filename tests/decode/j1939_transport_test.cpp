// The J1939 transport reassembler on its own: interleaved broadcasts, connection mode, and each
// way a session breaks.
#include "decode/j1939_transport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

uint32_t cm_id(uint8_t source, uint8_t destination) {
  return 0x18EC0000u | (destination << 8) | source;
}
uint32_t dt_id(uint8_t source, uint8_t destination) {
  return 0x18EB0000u | (destination << 8) | source;
}

struct Feeder {
  J1939Transport tp{};
  std::vector<uint8_t> last;
  uint32_t last_pgn = 0;
  int broken[J1939_BREAK_REASONS] = {};
  Feeder() { EXPECT_TRUE(j1939_transport_begin(&tp)); }
  ~Feeder() { j1939_transport_free(&tp); }
  // True when the frame completed a message (kept in `last`).
  bool feed(uint32_t id, std::vector<uint8_t> d, double t) {
    J1939Result r = j1939_transport_feed(&tp, id, d.data(), static_cast<uint32_t>(d.size()), t);
    for (int i = 0; i < J1939_BREAK_REASONS; ++i) broken[i] += r.broken[i];
    if (!r.data) return false;
    last.assign(r.data, r.data + r.size);
    last_pgn = r.pgn;
    return true;
  }
  void announce(uint8_t control, uint8_t source, uint8_t destination, uint16_t size, double t) {
    feed(cm_id(source, destination),
         {control, uint8_t(size), uint8_t(size >> 8), uint8_t((size + 6) / 7), 0xFF, 0x00, 0xFE,
          0x00},
         t);
  }
  bool packet(uint8_t source, uint8_t destination, uint8_t n, uint8_t fill, double t) {
    return feed(dt_id(source, destination),
                {n, fill, fill, fill, fill, fill, fill, uint8_t(fill + 1)}, t);
  }
};

TEST(J1939Transport, InterleavedBroadcastsAndConnectionMode) {
  Feeder f;
  f.announce(0x20, 0x10, 0xFF, 10, 0.0);
  f.announce(0x20, 0x20, 0xFF, 9, 0.01);
  EXPECT_FALSE(f.packet(0x10, 0xFF, 1, 0xA0, 0.05));
  EXPECT_FALSE(f.packet(0x20, 0xFF, 1, 0xB0, 0.06));
  ASSERT_TRUE(f.packet(0x20, 0xFF, 2, 0xB2, 0.1));
  EXPECT_EQ(f.last, (std::vector<uint8_t>{0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB1, 0xB2, 0xB2}));
  EXPECT_EQ(f.last_pgn, 0xFE00u);
  ASSERT_TRUE(f.packet(0x10, 0xFF, 2, 0xA2, 0.12));
  EXPECT_EQ(f.last.size(), 10u);
  EXPECT_EQ(f.last[9], 0xA2);
  // Connection mode: RTS, CTS from the receiver, data, acknowledgement.
  f.announce(0x10, 0x30, 0x40, 16, 1.0);
  f.feed(cm_id(0x40, 0x30), {0x11, 3, 1, 0xFF, 0xFF, 0x00, 0xFE, 0x00}, 1.5);
  EXPECT_FALSE(f.packet(0x30, 0x40, 1, 1, 2.0));
  EXPECT_FALSE(f.packet(0x30, 0xFF, 2, 1, 2.0));  // not this session's packet
  EXPECT_FALSE(f.packet(0x30, 0x40, 2, 2, 2.1));
  ASSERT_TRUE(f.packet(0x30, 0x40, 3, 3, 2.2));
  EXPECT_EQ(f.last.size(), 16u);
  EXPECT_EQ(f.last[14], 3);
  EXPECT_FALSE(f.feed(cm_id(0x40, 0x30), {0x13, 16, 0, 3, 0xFF, 0x00, 0xFE, 0x00}, 2.3));
  for (int n : f.broken) EXPECT_EQ(n, 0);
  EXPECT_EQ(j1939_transport_close_all(&f.tp), 0u);
}

TEST(J1939Transport, BrokenSessionsGiveNoMessage) {
  Feeder f;
  f.announce(0x20, 1, 0xFF, 20, 0.0);  // lost packet 2
  f.packet(1, 0xFF, 1, 0, 0.05);
  EXPECT_FALSE(f.packet(1, 0xFF, 3, 0, 0.1));
  EXPECT_EQ(f.broken[J1939_BREAK_PACKET], 1);
  f.announce(0x20, 2, 0xFF, 20, 0.0);  // repeated packet
  f.packet(2, 0xFF, 1, 0, 0.05);
  EXPECT_FALSE(f.packet(2, 0xFF, 1, 0, 0.1));
  EXPECT_EQ(f.broken[J1939_BREAK_PACKET], 2);
  f.announce(0x20, 3, 0xFF, 9, 0.0);  // 751 ms gap
  f.packet(3, 0xFF, 1, 0, 0.1);
  EXPECT_FALSE(f.packet(3, 0xFF, 2, 0, 0.851));
  EXPECT_EQ(f.broken[J1939_BREAK_TIMEOUT], 1);
  f.announce(0x20, 4, 0xFF, 9, 0.0);  // restarted, the new session completes
  f.packet(4, 0xFF, 1, 0, 0.1);
  f.announce(0x20, 4, 0xFF, 9, 0.2);
  EXPECT_EQ(f.broken[J1939_BREAK_RESTART], 1);
  f.packet(4, 0xFF, 1, 7, 0.3);
  EXPECT_TRUE(f.packet(4, 0xFF, 2, 8, 0.4));
  f.announce(0x10, 5, 6, 9, 0.0);  // aborted by the receiver
  f.feed(cm_id(6, 5), {0xFF, 1, 0xFF, 0xFF, 0xFF, 0x00, 0xFE, 0x00}, 0.1);
  EXPECT_FALSE(f.packet(5, 6, 1, 0, 0.2));
  EXPECT_EQ(f.broken[J1939_BREAK_ABORT], 1);
  f.announce(0x20, 7, 0xFF, 9, 0.0);
  EXPECT_EQ(j1939_transport_close_all(&f.tp), 1u);
  // An announcement whose packet count does not fit its size opens nothing.
  f.feed(cm_id(8, 0xFF), {0x20, 9, 0, 5, 0xFF, 0, 0xFE, 0}, 0.0);
  EXPECT_EQ(j1939_transport_close_all(&f.tp), 0u);
}

TEST(J1939Transport, FullTableMakesRoomOnlyFromTimedOutSessions) {
  Feeder f;
  for (uint32_t i = 0; i < J1939_TP_SESSIONS; ++i) f.announce(0x20, uint8_t(i), 0xFF, 9, 0.0);
  f.announce(0x20, 0xF0, 0xFF, 9, 0.5);
  EXPECT_EQ(f.broken[J1939_BREAK_NO_ROOM], 1);
  f.announce(0x20, 0xF0, 0xFF, 9, 1.0);
  EXPECT_EQ(f.broken[J1939_BREAK_TIMEOUT], int(J1939_TP_SESSIONS));
  f.packet(0xF0, 0xFF, 1, 0, 1.1);
  EXPECT_TRUE(f.packet(0xF0, 0xFF, 2, 0, 1.2));
}

}  // namespace
