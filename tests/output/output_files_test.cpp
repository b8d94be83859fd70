// Output files: names and paths of the CSV tree, one writer per message identity, folder
// creation below the output root, and failures that must be reported with the file's path.
#include "output/output_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "dbc/message_db.h"
#include "decode_test_helpers.h"
#include "io/fs_root.h"
#include "output/output_writer.h"
#include "support/log_capture.h"
#include "support/test_util.h"

namespace {

struct DbDeleter {
  void operator()(MessageDatabase* db) const { message_db_free(db); }
};
using DbPtr = std::unique_ptr<MessageDatabase, DbDeleter>;
struct DecodedDeleter {
  void operator()(DecodedMessage* d) const { decoded_message_free(d); }
};
using DecodedPtr = std::unique_ptr<DecodedMessage, DecodedDeleter>;

constexpr uint32_t ENGINE_ID = 0x100;
constexpr uint32_t MODES_ID = 0x200;

SignalLayout byte_at(uint16_t byte) {
  SignalLayout l{};
  l.byte_order = BYTE_ORDER_LITTLE;
  l.is_unsigned = 1;
  l.start_bit = static_cast<uint16_t>(byte * 8);
  l.length = 8;
  l.factor = 1;
  return l;
}

// EngineData: Speed and Rpm in bytes 0 and 1. Modes: multiplexor Mode in byte 0 selecting
// A (3 to 5) or B (16) in byte 1, and Tail in byte 7.
DbPtr make_database(const char* engine_name = "EngineData") {
  DbPtr db(message_db_new(PROTOCOL_CAN));
  Message* engine =
      message_db_add_message(db.get(), engine_name, can_message_key(ENGINE_ID, false), 8, 0);
  SignalLayout b0 = byte_at(0), b1 = byte_at(1), b7 = byte_at(7);
  signal_list_add(&engine->signals, "Speed", &b0, 0);
  signal_list_add(&engine->signals, "Rpm", &b1, 0);
  Message* modes =
      message_db_add_message(db.get(), "Modes", can_message_key(MODES_ID, false), 8, 0);
  Signal* mode = signal_list_add(&modes->signals, "Mode", &b0, 0);
  signal_list_add(&branch_add(&mode->branches, 3, 5)->signals, "A", &b1, 0);
  signal_list_add(&branch_add(&mode->branches, 16, 16)->signals, "B", &b1, 0);
  signal_list_add(&modes->signals, "Tail", &b7, 0);
  return db;
}

struct Output {
  test::TempDir dir;
  FsRoot* root = nullptr;
  Session session{};

  Output() {
    root = fs_root_create(dir.path);
    session.output_root = root;
    session.root_suffix = "_out";
    session.naming_serial = 0x0A1B2C3D;
    session.naming_session = 12;
    session.naming_split = 3;
    session.output_year = 2023;
    session.output_month = 11;
    session.output_day = 7;
  }
  ~Output() {
    session_destroy(&session);
    fs_root_release(root);
  }
  std::string text(const std::string& relative) const {
    return test::read_text(dir.file(relative));
  }
};

DecodedPtr decode(const MessageDatabase* db, uint32_t id, std::vector<uint8_t> bytes) {
  return DecodedPtr(message_db_decode(db, can_message_key(id, false), bytes.data(), bytes.size()));
}

const Message* find(const MessageDatabase* db, uint32_t id) {
  return message_db_find(db, can_message_key(id, false));
}

std::string relative_path(const Session& s, const Message* m, int32_t sa, const DecodedMessage* d) {
  ScopedDynString out;
  EXPECT_TRUE(decodetest::output_relative_path(&s, m, BUS_KIND_CAN, 2, sa, d, &out.s));
  return std::string(out.view());
}

TEST(NameToPathPart, KeepsOnlyAsciiLettersAndDigits) {
  struct Case {
    const char* name;
    const char* part;
  } cases[] = {
      {"Engine_Data 1", "EngineData1"},
      {"EngineData", "EngineData"},
      {"\xC3\x96lstand-2", "lstand2"},  // a two-byte letter is dropped whole
      {"\xE2\x82\xAC"
       "5",
       "5"},                       // three bytes
      {"\xF0\x9F\x9A\x97x", "x"},  // four bytes
      {"__ .,;", ""},
      {"a\xE2\x82", "a"},  // cut inside a character: the walk stops
      {"b\xF0", "b"},
      {"\x80"
       "Z9",
       "9"},  // a stray continuation byte takes the next byte with it
  };
  for (const Case& c : cases) {
    ScopedDynString out;
    EXPECT_TRUE(name_to_path_part(c.name, &out.s));
    EXPECT_EQ(out.view(), c.part) << c.name;
  }
  ScopedDynString appended("CAN2_");
  EXPECT_TRUE(name_to_path_part("Engine Data", &appended.s));
  EXPECT_EQ(appended.view(), "CAN2_EngineData");
}

TEST(OutputRelativePath, PiecesOfTheName) {
  Output out;
  DbPtr db = make_database();
  DecodedPtr engine = decode(db.get(), ENGINE_ID, {1, 2, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(engine);
  const Message* engine_message = find(db.get(), ENGINE_ID);
  EXPECT_EQ(relative_path(out.session, engine_message, NO_SOURCE_ADDRESS, engine.get()),
            "0A1B2C3D_out/CAN2_EngineData/2023/11/07/00000012_00000003");
  EXPECT_EQ(relative_path(out.session, engine_message, 0x21, engine.get()),
            "0A1B2C3D_out/CAN2_EngineData_S21/2023/11/07/00000012_00000003");
  EXPECT_EQ(relative_path(out.session, engine_message, 0, engine.get()),
            "0A1B2C3D_out/CAN2_EngineData_S00/2023/11/07/00000012_00000003");

  const Message* modes = find(db.get(), MODES_ID);
  struct Case {
    uint8_t mode;
    const char* path;
  } cases[] = {
      {4, "0A1B2C3D_out/CAN2_Modes_Mode_M03/2023/11/07/00000012_00000003"},
      {3, "0A1B2C3D_out/CAN2_Modes_Mode_M03/2023/11/07/00000012_00000003"},
      {16, "0A1B2C3D_out/CAN2_Modes_Mode_M10/2023/11/07/00000012_00000003"},
      {7, "0A1B2C3D_out/CAN2_Modes/2023/11/07/00000012_00000003"},  // in no branch
  };
  for (const Case& c : cases) {
    DecodedPtr d = decode(db.get(), MODES_ID, {c.mode, 9, 0, 0, 0, 0, 0, 1});
    ASSERT_TRUE(d);
    EXPECT_EQ(relative_path(out.session, modes, NO_SOURCE_ADDRESS, d.get()), c.path);
  }

  // Without the root suffix, with large session numbers and a LIN bus.
  out.session.root_suffix = "";
  out.session.naming_serial = 0xFFFFFFFF;
  out.session.naming_session = 4000000000u;
  out.session.output_year = 2024;
  out.session.output_month = 2;
  out.session.output_day = 29;
  ScopedDynString lin;
  EXPECT_TRUE(decodetest::output_relative_path(&out.session, engine_message, BUS_KIND_LIN, 9,
                                               NO_SOURCE_ADDRESS, engine.get(), &lin.s));
  EXPECT_EQ(lin.view(), "FFFFFFFF/LIN9_EngineData/2024/02/29/4000000000_00000003");
}

TEST(WriterKey, FieldsAndValueNames) {
  DbPtr db = make_database();
  DecodedPtr engine = decode(db.get(), ENGINE_ID, {1, 2, 0, 0, 0, 0, 0, 0});
  DecodedPtr a = decode(db.get(), MODES_ID, {4, 9, 0, 0, 0, 0, 0, 1});
  DecodedPtr a2 = decode(db.get(), MODES_ID, {5, 7, 0, 0, 0, 0, 0, 3});
  DecodedPtr b = decode(db.get(), MODES_ID, {16, 9, 0, 0, 0, 0, 0, 1});
  ASSERT_TRUE(engine && a && a2 && b);
  uint64_t k = writer_key(BUS_KIND_CAN, 2, 0x33, engine.get());
  EXPECT_EQ(k & 0xFFFFFFFFFFFFull, 0x0100u << 16 | 0x33u << 8 | 2u << 4 | 1u);
  uint64_t names = (string_hash("Speed") ^ string_hash("Rpm")) & 0xFFFF;
  EXPECT_EQ(k >> 48, names);
  EXPECT_EQ(writer_key(BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS, engine.get()),
            writer_key(BUS_KIND_CAN, 2, 0, engine.get()));
  // The same branch gives the same key whatever the values; another branch another key.
  EXPECT_EQ(writer_key(BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS, a.get()),
            writer_key(BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS, a2.get()));
  EXPECT_NE(writer_key(BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS, a.get()),
            writer_key(BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS, b.get()));
  EXPECT_NE(writer_key(BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS, a.get()),
            writer_key(BUS_KIND_LIN, 2, NO_SOURCE_ADDRESS, a.get()));
}

// Rows of several messages, branches, source addresses and two databases, and the whole tree
// of files they produce.
TEST(WriterForMessage, WholeOutputTree) {
  Output out;
  DbPtr db = make_database();
  DbPtr second = make_database();
  const Message* engine_message = find(db.get(), ENGINE_ID);
  const Message* modes = find(db.get(), MODES_ID);
  struct Row {
    const MessageDatabase* db;
    uint32_t id;
    int32_t sa;
    std::vector<uint8_t> bytes;
    double time;
  } rows[] = {
      {db.get(), ENGINE_ID, NO_SOURCE_ADDRESS, {10, 20, 0, 0, 0, 0, 0, 0}, 1699315200.5},
      {db.get(), ENGINE_ID, 0x21, {11, 21, 0, 0, 0, 0, 0, 0}, 1699315201.25},
      {db.get(), ENGINE_ID, 0x33, {12, 22, 0, 0, 0, 0, 0, 0}, 1699315202},
      {second.get(), ENGINE_ID, NO_SOURCE_ADDRESS, {13, 23, 0, 0, 0, 0, 0, 0}, 1699315203},
      {db.get(), MODES_ID, NO_SOURCE_ADDRESS, {4, 9, 0, 0, 0, 0, 0, 1}, 1699315204},
      {db.get(), MODES_ID, NO_SOURCE_ADDRESS, {16, 8, 0, 0, 0, 0, 0, 2}, 1699315205},
      {db.get(), MODES_ID, NO_SOURCE_ADDRESS, {5, 7, 0, 0, 0, 0, 0, 3}, 1699315206},
  };
  OutputWriter* engine_writer = nullptr;
  for (const Row& r : rows) {
    DecodedPtr d = decode(r.db, r.id, r.bytes);
    ASSERT_TRUE(d);
    const Message* m = r.id == ENGINE_ID ? engine_message : modes;
    OutputWriter* w =
        decodetest::writer_for_message(&out.session, m, BUS_KIND_CAN, 2, r.sa, d.get());
    ASSERT_NE(w, nullptr);
    if (r.id == ENGINE_ID && r.sa == NO_SOURCE_ADDRESS) {
      // The same message from a second database with the same signal names shares the file.
      if (engine_writer) {
        EXPECT_EQ(w, engine_writer);
      }
      engine_writer = w;
    }
    std::vector<double> values;
    for (const DecodedValue& v : d->values) values.push_back(v.value);
    EXPECT_TRUE(
        decodetest::write_row(w, r.time, values.data(), static_cast<uint32_t>(values.size())));
  }
  EXPECT_EQ(out.session.statistics.files, 5u);
  EXPECT_TRUE(session_close_outputs(&out.session));
  EXPECT_EQ(out.session.writers.nodes, nullptr);
  EXPECT_EQ(out.session.writers.root, 0);

  const std::string day = "/2023/11/07/00000012_00000003.csv";
  EXPECT_EQ(test::list_files(out.dir.path),
            (std::vector<std::string>{
                "0A1B2C3D_out/CAN2_EngineData" + day, "0A1B2C3D_out/CAN2_EngineData_S21" + day,
                "0A1B2C3D_out/CAN2_EngineData_S33" + day, "0A1B2C3D_out/CAN2_Modes_Mode_M03" + day,
                "0A1B2C3D_out/CAN2_Modes_Mode_M10" + day}));
  EXPECT_EQ(out.text("0A1B2C3D_out/CAN2_EngineData" + day),
            "t,Speed,Rpm\n"
            "1699315200.500000,10.000000,20.000000\n"
            "1699315203.000000,13.000000,23.000000\n");
  EXPECT_EQ(out.text("0A1B2C3D_out/CAN2_EngineData_S33" + day),
            "t,Speed,Rpm\n1699315202.000000,12.000000,22.000000\n");
  EXPECT_EQ(out.text("0A1B2C3D_out/CAN2_Modes_Mode_M03" + day),
            "t,Mode,A,Tail\n"
            "1699315204.000000,4.000000,9.000000,1.000000\n"
            "1699315206.000000,5.000000,7.000000,3.000000\n");
  EXPECT_EQ(out.text("0A1B2C3D_out/CAN2_Modes_Mode_M10" + day),
            "t,Mode,B,Tail\n1699315205.000000,16.000000,8.000000,2.000000\n");
}

TEST(WriterForMessage, IgnoredSignalsHaveNoColumnAndNoAppendRoot) {
  Output out;
  out.session.root_suffix = "";
  DbPtr db(message_db_new(PROTOCOL_CAN));
  Message* m =
      message_db_add_message(db.get(), "Engine_Data 1", can_message_key(ENGINE_ID, false), 8, 0);
  SignalLayout b0 = byte_at(0), b1 = byte_at(1);
  signal_list_add(&m->signals, "Kept", &b0, 0);
  signal_list_add(&m->signals, "Hidden", &b1, 1);
  DecodedPtr d = decode(db.get(), ENGINE_ID, {1, 2, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(d);
  OutputWriter* w =
      decodetest::writer_for_message(&out.session, m, BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS, d.get());
  ASSERT_NE(w, nullptr);
  double kept[] = {1};
  EXPECT_TRUE(decodetest::write_row(w, 5, kept, 1));
  EXPECT_TRUE(session_close_outputs(&out.session));
  EXPECT_EQ(out.text("0A1B2C3D/CAN2_EngineData1/2023/11/07/00000012_00000003.csv"),
            "t,Kept\n5.000000,1.000000\n");
}

TEST(WriterForMessage, BusKindOrChannelOutOfRange) {
  Output out;
  DbPtr db = make_database();
  DecodedPtr d = decode(db.get(), ENGINE_ID, {1, 2, 0, 0, 0, 0, 0, 0});
  test::LogCapture log;
  EXPECT_EQ(decodetest::writer_for_message(&out.session, find(db.get(), ENGINE_ID), 16, 2,
                                           NO_SOURCE_ADDRESS, d.get()),
            nullptr);
  EXPECT_EQ(decodetest::writer_for_message(&out.session, find(db.get(), ENGINE_ID), BUS_KIND_CAN,
                                           16, NO_SOURCE_ADDRESS, d.get()),
            nullptr);
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(test::list_files(out.dir.path).empty());
}

// A file where the device folder should be: the folders cannot be made, the file is reported
// once with its path and the reason, and a later attempt succeeds once the way is clear.
TEST(WriterForMessage, FailedFolderCreationIsReportedWithThePath) {
  Output out;
  ASSERT_TRUE(test::write_file(out.dir.file("0A1B2C3D_out"), std::string("in the way")));
  DbPtr db = make_database();
  const Message* m = find(db.get(), ENGINE_ID);
  DecodedPtr d = decode(db.get(), ENGINE_ID, {1, 2, 0, 0, 0, 0, 0, 0});
  {
    test::LogCapture log;
    EXPECT_EQ(decodetest::writer_for_message(&out.session, m, BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS,
                                             d.get()),
              nullptr);
    EXPECT_EQ(decodetest::writer_for_message(&out.session, m, BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS,
                                             d.get()),
              nullptr);
    std::string path =
        out.dir.file("0A1B2C3D_out/CAN2_EngineData/2023/11/07/00000012_00000003.csv");
    EXPECT_EQ(log.count("Could not create output writer for " + path + ": Not a directory\n"), 1)
        << log.text();
    EXPECT_EQ(log.count(" E "), 1) << log.text();
  }
  EXPECT_EQ(out.session.statistics.files, 0u);
  ASSERT_EQ(unlink(out.dir.file("0A1B2C3D_out").c_str()), 0);
  OutputWriter* w =
      decodetest::writer_for_message(&out.session, m, BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS, d.get());
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(
      decodetest::writer_for_message(&out.session, m, BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS, d.get()),
      w);
  EXPECT_EQ(out.session.statistics.files, 1u);
  EXPECT_TRUE(session_close_outputs(&out.session));
  EXPECT_EQ(
      test::list_files(out.dir.path),
      (std::vector<std::string>{"0A1B2C3D_out/CAN2_EngineData/2023/11/07/00000012_00000003.csv"}));
}

// A file on a device that takes no bytes: flush and close fail, and both name the file.
TEST(WriterMap, CloseFailuresNameTheFile) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  Output out;
  std::string folder = "0A1B2C3D_out/CAN2_EngineData/2023/11/07";
  ASSERT_TRUE(test::make_dirs(out.dir.file(folder)));
  std::string path = out.dir.file(folder + "/00000012_00000003.csv");
  if (!test::make_full_device(path)) GTEST_SKIP() << "no full device here";
  DbPtr db = make_database();
  DecodedPtr engine = decode(db.get(), ENGINE_ID, {1, 2, 0, 0, 0, 0, 0, 0});
  DecodedPtr modes = decode(db.get(), MODES_ID, {4, 9, 0, 0, 0, 0, 0, 1});
  OutputWriter* bad = decodetest::writer_for_message(
      &out.session, find(db.get(), ENGINE_ID), BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS, engine.get());
  OutputWriter* good = decodetest::writer_for_message(
      &out.session, find(db.get(), MODES_ID), BUS_KIND_CAN, 2, NO_SOURCE_ADDRESS, modes.get());
  ASSERT_TRUE(bad && good);
  double two[] = {1, 2};
  EXPECT_TRUE(decodetest::write_row(bad, 1, two, 2));
  test::LogCapture log;
  EXPECT_FALSE(writer_flush(bad));  // the device takes nothing
  EXPECT_FALSE(session_close_outputs(&out.session));
  EXPECT_EQ(log.count("Could not close output file " + path + "\n"), 1) << log.text();
  EXPECT_EQ(log.count(" E "), 1) << log.text();
  // The good file was still written out whole.
  EXPECT_EQ(out.text("0A1B2C3D_out/CAN2_Modes_Mode_M03/2023/11/07/00000012_00000003.csv"),
            "t,Mode,A,Tail\n");
  EXPECT_TRUE(session_close_outputs(&out.session));  // an empty map
}

}  // namespace
