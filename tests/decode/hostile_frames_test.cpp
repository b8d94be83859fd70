// Frames whose fields come from a damaged or hostile log: the decoder reads no byte that the
// frame does not hold.
#include <gtest/gtest.h>

#include <memory>

#include "dbc/message_db.h"
#include "decode/frame_decoder.h"
#include "decode/session.h"
#include "io/fs_root.h"
#include "mdf/bus_frames.h"
#include "support/test_util.h"

namespace {

uint32_t lin_key(uint32_t id, bool) { return lin_message_key(id); }

struct HostileFrames : ::testing::Test {
  test::TempDir dir;
  FsRoot* root = nullptr;
  ConversionOptions options{};
  DbcPathTable paths{};
  Session* session = nullptr;

  void SetUp() override {
    root = fs_root_create(dir.path);
    ASSERT_NE(root, nullptr);
    session = session_create(root, root, &options, &paths, 1);
    ASSERT_NE(session, nullptr);
    session->current_serial = 0x0A1B2C3D;
    session->current_session = 1;
    session->current_split = 1;
    session->time_base = 1699315200.0;
  }
  void TearDown() override {
    if (session) {
      session_destroy(session);
      free(session);
    }
    fs_root_release(root);
  }
  // A message of `size` bytes whose only signal is its last byte, on channel 1 of the bus.
  void add_message(int bus_index, MessageKeyFunction key_function, uint32_t key, uint32_t size) {
    MessageDatabase* db = message_db_new(bus_index < CHANNELS_PER_BUS ? "CAN" : "LIN");
    Message* m = message_db_add_message(db, "Long", key, size, 0);
    SignalLayout last{BYTE_ORDER_LITTLE, 1, static_cast<uint16_t>(8 * (size - 1)), 8, 1, 0, 0, 0};
    signal_list_add(&m->signals, "Last", &last, 0);
    session->channels[bus_index].databases[0] = db;
    session->channels[bus_index].key = key_function;
  }
};

// The DataLength channel may say up to 255 bytes while a frame holds at most 64 (CAN) or 8
// (LIN); a message as long as the claimed length must not be decoded from the bytes behind
// the frame's data area.
TEST_F(HostileFrames, LengthBeyondTheDataAreaDecodesNothing) {
  add_message(0, can_message_key, can_message_key(0x100, false), 100);
  add_message(CHANNELS_PER_BUS, lin_key, lin_message_key(0x21), 9);
  // On the heap and exactly as large as a frame, so a read past it is caught by the sanitizer.
  auto can = std::make_unique<BusFrame>();
  can->kind = FRAME_CAN_DATA;
  can->id = 0x100;
  can->u.can.bus_channel = 1;
  can->data = can->u.can.data;
  can->data_length = 100;
  EXPECT_TRUE(session_on_frame(session, can.get()));
  auto lin = std::make_unique<BusFrame>();
  lin->kind = FRAME_LIN;
  lin->id = 0x21;
  lin->u.lin.bus_channel = 1;
  lin->data = lin->u.lin.data;
  lin->data_length = 9;
  EXPECT_TRUE(session_on_frame(session, lin.get()));
  EXPECT_EQ(session->statistics.messages, 0u);
  EXPECT_TRUE(session_finish(session));
  EXPECT_TRUE(test::list_files(dir.path).empty());
}

}  // namespace
