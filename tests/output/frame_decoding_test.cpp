// Frame decoding through the session: channel choice, keys and source addresses, the range
// rule, one row per database, the UTC day roll-over and the concatenation of input files.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "dbc/message_db.h"
#include "decode/frame_decoder.h"
#include "decode_test_helpers.h"
#include "io/fs_root.h"
#include "mdf/bus_frames.h"
#include "output/output_files.h"
#include "output/session.h"
#include "support/test_util.h"

namespace {

constexpr double DAY_2023_11_07 = 1699315200.0;  // 2023-11-07 00:00:00 UTC

SignalLayout layout(uint16_t start, uint8_t length, double factor, double offset, double minimum,
                    double maximum) {
  return SignalLayout{BYTE_ORDER_LITTLE, 1, start, length, factor, offset, minimum, maximum};
}

// Message 0x100 "EngineData" (8 bytes): Speed (0..100, byte 0) and Temp (no range, byte 1).
MessageDatabase* engine_database(BusProtocol protocol = PROTOCOL_CAN) {
  MessageDatabase* db = message_db_new(protocol);
  uint32_t key = protocol == PROTOCOL_J1939 ? j1939_message_key(0x18FEF100, true)
                                            : can_message_key(0x100, false);
  Message* m = message_db_add_message(db, "EngineData", key, 8, 0);
  SignalLayout speed = layout(0, 8, 1, 0, 0, 100), temp = layout(8, 8, 0.5, -40, 0, 0);
  signal_list_add(&m->signals, "Speed", &speed, 0);
  signal_list_add(&m->signals, "Temp", &temp, 0);
  return db;
}

// The same message 0x100 "EngineData" as one signal "Raw" over its first two bytes.
MessageDatabase* raw_database() {
  MessageDatabase* db = message_db_new(PROTOCOL_CAN);
  Message* m = message_db_add_message(db, "EngineData", can_message_key(0x100, false), 8, 0);
  SignalLayout all = layout(0, 16, 1, 0, 0, 0);
  signal_list_add(&m->signals, "Raw", &all, 0);
  return db;
}

struct SessionFixture : ::testing::Test {
  test::TempDir dir;
  FsRoot* root = nullptr;
  Decoders decoders{};
  Session* session = nullptr;

  void SetUp() override {
    root = fs_root_create(dir.path);
    ASSERT_NE(root, nullptr);
    session = session_create(root, false, false, 1);
    ASSERT_NE(session, nullptr);
    session->current_serial = 0x0A1B2C3D;
    session->current_session = 12;
    session->current_split = 3;
    session->time_base = DAY_2023_11_07 + 3600;
  }
  void TearDown() override {
    if (session) {
      session_destroy(session);
      free(session);
    }
    decoders_free(&decoders);
    fs_root_release(root);
  }
  // `bus_index`: the channel number for CAN, CHANNELS_PER_BUS + the channel number for LIN.
  void add_database(int bus_index, MessageDatabase* db, MessageKeyFunction key) {
    ChannelDecoders& d = decoders.channels[bus_index];
    int slot = 0;
    while (d.databases[slot]) ++slot;
    d.databases[slot] = db;
    d.key = key;
  }
  bool send_can(uint32_t channel, uint32_t id, bool extended, std::vector<uint8_t> bytes,
                double timestamp) {
    BusFrame frame{};
    frame.kind = FRAME_CAN_DATA;
    frame.timestamp = timestamp;
    frame.id = id;
    frame.u.can.bus_channel = static_cast<uint8_t>(channel);
    frame.u.can.ide = extended;
    std::copy(bytes.begin(), bytes.end(), frame.u.can.data);
    frame.data = frame.u.can.data;
    frame.data_length = bytes.size();
    return decodetest::session_on_frame(session, &decoders, &frame);
  }
  std::string csv(const std::string& relative) {
    EXPECT_TRUE(session_finish(session));
    return test::read_text(dir.file(relative));
  }
};

TEST_F(SessionFixture, RowsWithRangeRuleAndNaN) {
  add_database(2, engine_database(), can_message_key);  // CAN channel 2
  ASSERT_TRUE(send_can(2, 0x100, false, {50, 100, 0, 0, 0, 0, 0, 0}, 0.5));
  ASSERT_TRUE(send_can(2, 0x100, false, {120, 0, 0, 0, 0, 0, 0, 0}, 1.25));  // Speed out of range
  ASSERT_TRUE(send_can(2, 0x100, false, {1, 2, 3}, 1.5));                    // wrong length
  ASSERT_TRUE(send_can(1, 0x100, false, {1, 2, 0, 0, 0, 0, 0, 0}, 1.5));     // no DBC on CAN1
  ASSERT_TRUE(send_can(10, 0x100, false, {1, 2, 0, 0, 0, 0, 0, 0}, 1.5));    // no such channel
  ASSERT_TRUE(send_can(2, 0x101, false, {1, 2, 0, 0, 0, 0, 0, 0}, 1.5));     // unknown id
  EXPECT_EQ(session->statistics.files, 1u);
  EXPECT_EQ(session->statistics.messages, 2u);
  EXPECT_EQ(session->statistics.signals, 4u);
  EXPECT_EQ(csv("0A1B2C3D_out/CAN2_EngineData/2023/11/07/00000012_00000003.csv"),
            "t,Speed,Temp\n"
            "1699318800.500000,50.000000,10.000000\n"
            "1699318801.250000,-NaN,-40.000000\n");
  EXPECT_EQ(test::list_files(dir.path).size(), 1u);
}

TEST_F(SessionFixture, TwoDatabasesAndJ1939SourceAddresses) {
  add_database(1, engine_database(), can_message_key);
  add_database(1, engine_database(), can_message_key);
  add_database(3, engine_database(PROTOCOL_J1939), j1939_message_key);
  ASSERT_TRUE(send_can(1, 0x100, false, {1, 0, 0, 0, 0, 0, 0, 0}, 0));
  ASSERT_TRUE(send_can(3, 0x18FEF121, true, {2, 0, 0, 0, 0, 0, 0, 0}, 0));
  ASSERT_TRUE(send_can(3, 0x18FEF133, true, {3, 0, 0, 0, 0, 0, 0, 0}, 0));
  // Both databases of channel 1 know the message and share its file: two rows.
  std::string row1 = "1699318800.000000,1.000000,-40.000000\n";
  EXPECT_EQ(csv("0A1B2C3D_out/CAN1_EngineData/2023/11/07/00000012_00000003.csv"),
            "t,Speed,Temp\n" + row1 + row1);
  EXPECT_EQ(test::read_text(
                dir.file("0A1B2C3D_out/CAN3_EngineData_S21/2023/11/07/00000012_00000003.csv")),
            "t,Speed,Temp\n1699318800.000000,2.000000,-40.000000\n");
  EXPECT_EQ(test::read_text(
                dir.file("0A1B2C3D_out/CAN3_EngineData_S33/2023/11/07/00000012_00000003.csv")),
            "t,Speed,Temp\n1699318800.000000,3.000000,-40.000000\n");
}

// Two databases that decode one message into different signal sets write two files: the
// second gets its own name instead of truncating the first one's rows.
TEST_F(SessionFixture, DifferentSignalSetsNeverShareAFile) {
  add_database(1, engine_database(), can_message_key);
  add_database(1, raw_database(), can_message_key);
  ASSERT_TRUE(send_can(1, 0x100, false, {1, 2, 0, 0, 0, 0, 0, 0}, 0));
  ASSERT_TRUE(send_can(1, 0x100, false, {3, 4, 0, 0, 0, 0, 0, 0}, 1));
  std::string folder = "0A1B2C3D_out/CAN1_EngineData/2023/11/07/";
  EXPECT_EQ(csv(folder + "00000012_00000003.csv"),
            "t,Speed,Temp\n1699318800.000000,1.000000,-39.000000\n"
            "1699318801.000000,3.000000,-38.000000\n");
  EXPECT_EQ(test::read_text(dir.file(folder + "00000012_00000003_2.csv")),
            "t,Raw\n1699318800.000000,513.000000\n1699318801.000000,1027.000000\n");
  EXPECT_EQ(session->statistics.files, 2u);
}

// Branches whose value names hash alike in the writer key (16 bits of XORed name hashes) still
// get their own files and headers.
TEST_F(SessionFixture, ValueSetsWithEqualKeyHashesKeepTheirOwnFiles) {
  MessageDatabase* db = message_db_new(PROTOCOL_CAN);
  Message* m = message_db_add_message(db, "Mux", can_message_key(0x100, false), 8, 0);
  SignalLayout selector = layout(0, 8, 1, 0, 0, 0);
  Signal* mux = signal_list_add(&m->signals, "Sel", &selector, 0);
  for (uint32_t branch : {0u, 2u}) {
    MuxBranch* b = branch_add(&mux->branches, branch, branch);
    for (int i = 0; i < 4; ++i) {
      SignalLayout l = layout(static_cast<uint16_t>(8 + 8 * i), 8, 1, 0, 0, 0);
      std::string name = "B" + std::to_string(branch) + "Sig" + std::to_string(i);
      signal_list_add(&b->signals, name, &l, 0);
    }
  }
  add_database(1, db, can_message_key);
  uint8_t zero[8] = {0, 1, 2, 3, 4}, two[8] = {2, 5, 6, 7, 8};
  DecodedMessage* a = message_db_decode(db, can_message_key(0x100, false), zero, 8);
  DecodedMessage* b = message_db_decode(db, can_message_key(0x100, false), two, 8);
  ASSERT_TRUE(a && b);
  // The names were chosen so that the keys collide; the files must not.
  EXPECT_EQ(writer_key(BUS_KIND_CAN, 1, NO_SOURCE_ADDRESS, a),
            writer_key(BUS_KIND_CAN, 1, NO_SOURCE_ADDRESS, b));
  EXPECT_NE(writer_identity(a), writer_identity(b));
  decoded_message_free(a);
  decoded_message_free(b);
  ASSERT_TRUE(send_can(1, 0x100, false, {0, 1, 2, 3, 4, 0, 0, 0}, 0));
  ASSERT_TRUE(send_can(1, 0x100, false, {2, 5, 6, 7, 8, 0, 0, 0}, 1));
  ASSERT_TRUE(send_can(1, 0x100, false, {0, 9, 9, 9, 9, 0, 0, 0}, 2));
  std::string tail = "/2023/11/07/00000012_00000003.csv";
  EXPECT_EQ(csv("0A1B2C3D_out/CAN1_Mux_Sel_M00" + tail),
            "t,Sel,B0Sig0,B0Sig1,B0Sig2,B0Sig3\n"
            "1699318800.000000,0.000000,1.000000,2.000000,3.000000,4.000000\n"
            "1699318802.000000,0.000000,9.000000,9.000000,9.000000,9.000000\n");
  EXPECT_EQ(test::read_text(dir.file("0A1B2C3D_out/CAN1_Mux_Sel_M02" + tail)),
            "t,Sel,B2Sig0,B2Sig1,B2Sig2,B2Sig3\n"
            "1699318801.000000,2.000000,5.000000,6.000000,7.000000,8.000000\n");
}

// One row maker finds the files of recent messages again without decoding their names: each
// route (channel, source address, database, multiplexor branch) must still keep its own file
// when frames of one message alternate between them.
TEST_F(SessionFixture, AlternatingRoutesOfOneMessageKeepTheirFiles) {
  add_database(1, engine_database(), can_message_key);
  add_database(1, raw_database(), can_message_key);
  add_database(2, engine_database(), can_message_key);
  add_database(3, engine_database(PROTOCOL_J1939), j1939_message_key);
  std::vector<BusFrame> frames;
  for (uint8_t i = 0; i < 3; ++i) {
    for (uint32_t route = 0; route < 4; ++route) {
      BusFrame f{};
      f.kind = FRAME_CAN_DATA;
      f.timestamp = i;
      f.u.can.bus_channel = static_cast<uint8_t>(route < 2 ? route + 1 : 3);
      f.u.can.ide = route >= 2;
      f.id = route < 2 ? 0x100 : (route == 2 ? 0x18FEF121 : 0x18FEF133);
      f.u.can.data[0] = static_cast<uint8_t>(10 * route + i);
      f.data_length = 8;
      frames.push_back(f);
    }
  }
  for (BusFrame& f : frames) f.data = f.u.can.data;
  ASSERT_TRUE(decodetest::session_on_frames(session, &decoders, frames.data(), frames.size()));
  auto rows = [](int first) {
    std::string text = "t,Speed,Temp\n";
    for (int i = 0; i < 3; ++i)
      text += "169931880" + std::to_string(i) + ".000000," + std::to_string(first + i) +
              ".000000,-40.000000\n";
    return text;
  };
  std::string tail = "/2023/11/07/00000012_00000003";
  EXPECT_EQ(csv("0A1B2C3D_out/CAN1_EngineData" + tail + ".csv"), rows(0));
  EXPECT_EQ(test::read_text(dir.file("0A1B2C3D_out/CAN1_EngineData" + tail + "_2.csv")),
            "t,Raw\n1699318800.000000,0.000000\n1699318801.000000,1.000000\n"
            "1699318802.000000,2.000000\n");
  EXPECT_EQ(test::read_text(dir.file("0A1B2C3D_out/CAN2_EngineData" + tail + ".csv")), rows(10));
  EXPECT_EQ(test::read_text(dir.file("0A1B2C3D_out/CAN3_EngineData_S21" + tail + ".csv")),
            rows(20));
  EXPECT_EQ(test::read_text(dir.file("0A1B2C3D_out/CAN3_EngineData_S33" + tail + ".csv")),
            rows(30));
  EXPECT_EQ(session->statistics.files, 5u);
}

TEST_F(SessionFixture, NewUtcDayStartsNewFiles) {
  add_database(1, engine_database(), can_message_key);
  session->time_base = DAY_2023_11_07 + 86400 - 1;
  ASSERT_TRUE(send_can(1, 0x100, false, {1, 0, 0, 0, 0, 0, 0, 0}, 0.9));
  session->current_split = 4;  // the next file of the set goes on past midnight
  ASSERT_TRUE(send_can(1, 0x100, false, {2, 0, 0, 0, 0, 0, 0, 0}, 1.1));
  EXPECT_EQ(csv("0A1B2C3D_out/CAN1_EngineData/2023/11/07/00000012_00000003.csv"),
            "t,Speed,Temp\n1699401599.900000,1.000000,-40.000000\n");
  EXPECT_EQ(
      test::read_text(dir.file("0A1B2C3D_out/CAN1_EngineData/2023/11/08/00000012_00000004.csv")),
      "t,Speed,Temp\n1699401600.100000,2.000000,-40.000000\n");
}

TEST_F(SessionFixture, TimesOutsideTheCalendarAreSkipped) {
  add_database(1, engine_database(), can_message_key);
  session->time_base = -5000;
  EXPECT_TRUE(send_can(1, 0x100, false, {1, 0, 0, 0, 0, 0, 0, 0}, 0));
  EXPECT_TRUE(session->warned_bad_time);
  EXPECT_TRUE(test::list_files(dir.path).empty());
}

TEST_F(SessionFixture, UnwritableOutputFailsTheFrame) {
  add_database(1, engine_database(), can_message_key);
  // A file where the device folder should be: the output cannot be created.
  ASSERT_TRUE(test::write_file(dir.file("0A1B2C3D_out"), std::string("x")));
  EXPECT_FALSE(send_can(1, 0x100, false, {1, 0, 0, 0, 0, 0, 0, 0}, 0));
  EXPECT_TRUE(session->output_failed);
  EXPECT_FALSE(session_on_file_end(session));
  EXPECT_TRUE(session_on_file_end(session));  // the next file starts clean
}

// The DataLength channel may say up to 255 bytes while a frame holds at most 64 (CAN) or 8
// (LIN); a message as long as the claimed length must not be decoded from the bytes behind
// the frame's data area.
TEST_F(SessionFixture, LengthBeyondTheDataAreaDecodesNothing) {
  auto long_message = [](BusProtocol protocol, uint32_t key, uint32_t size) {
    MessageDatabase* db = message_db_new(protocol);
    Message* m = message_db_add_message(db, "Long", key, size, 0);
    SignalLayout last = layout(static_cast<uint16_t>(8 * (size - 1)), 8, 1, 0, 0, 0);
    signal_list_add(&m->signals, "Last", &last, 0);
    return db;
  };
  add_database(1, long_message(PROTOCOL_CAN, can_message_key(0x100, false), 100), can_message_key);
  add_database(CHANNELS_PER_BUS + 1, long_message(PROTOCOL_LIN, lin_message_key(0x21), 9),
               [](uint32_t id, bool) { return lin_message_key(id); });
  // On the heap and exactly as large as a frame, so a read past it is caught by the sanitizer.
  auto can = std::make_unique<BusFrame>();
  can->kind = FRAME_CAN_DATA;
  can->id = 0x100;
  can->u.can.bus_channel = 1;
  can->data = can->u.can.data;
  can->data_length = 100;
  EXPECT_TRUE(decodetest::session_on_frame(session, &decoders, can.get()));
  auto lin = std::make_unique<BusFrame>();
  lin->kind = FRAME_LIN;
  lin->id = 0x21;
  lin->u.lin.bus_channel = 1;
  lin->data = lin->u.lin.data;
  lin->data_length = 9;
  EXPECT_TRUE(decodetest::session_on_frame(session, &decoders, lin.get()));
  EXPECT_EQ(session->statistics.messages, 0u);
  EXPECT_TRUE(session_finish(session));
  EXPECT_TRUE(test::list_files(dir.path).empty());
}

TEST(UtcDate, CalendarSplit) {
  UtcDate d{};
  ASSERT_TRUE(utc_date_from_seconds(0, &d));
  EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, 19700101);
  ASSERT_TRUE(utc_date_from_seconds(951782400.5, &d));  // 2000-02-29 00:00:00.5
  EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, 20000229);
  ASSERT_TRUE(utc_date_from_seconds(1699401599.9, &d));
  EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, 20231107);
  ASSERT_TRUE(utc_date_from_seconds(253402300799.0, &d));
  EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, 99991231);
  EXPECT_FALSE(utc_date_from_seconds(253402300800.0, &d));
  EXPECT_FALSE(utc_date_from_seconds(-0.5, &d));
  EXPECT_FALSE(utc_date_from_seconds(std::nan(""), &d));
  EXPECT_FALSE(utc_date_from_seconds(1e300, &d));
}

}  // namespace
