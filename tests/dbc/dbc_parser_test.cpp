// DBC loading: the fixture files, attribute resolution, multiplexing, failure messages,
// hostile input, and files as editors, generators and colleagues write them (white space,
// number forms, identifiers, multiplexor ranges, bus types, long names, float signals, limits,
// the reports of what is not used), with random messages decoded against a bit-level model.
#include "dbc/dbc_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "io/stream.h"
#include "support/hash_table.h"
#include "support/log_capture.h"

namespace {

struct DbDeleter {
  void operator()(MessageDatabase* db) const { message_db_free(db); }
};
using DbPtr = std::unique_ptr<MessageDatabase, DbDeleter>;

DbPtr load_text(const std::string& text) {
  std::unique_ptr<Stream, StreamCloser> s(memory_stream_new());
  if (!s) return nullptr;
  if (!text.empty() && stream_write(s.get(), text.data(), text.size()) != int64_t(text.size()))
    return nullptr;
  stream_seek(s.get(), 0, SEEK_FROM_START);
  return DbPtr(dbc_load(s.get(), "test.dbc"));
}

DbPtr load_fixture(const std::string& name) {
  std::string path = std::string(TABULON_TEST_DATA) + "/fixtures/" + name;
  std::unique_ptr<Stream, StreamCloser> s(file_stream_open(path.c_str(), 0));
  EXPECT_TRUE(s) << path;
  if (!s) return nullptr;
  return DbPtr(dbc_load(s.get()));
}

std::string describe_list(const SignalList& list) {
  std::string out;
  for (const Signal& s : list) {
    if (!out.empty()) out += ' ';
    out += dynstring_sv(&s.name);
    if (!s.layout.is_unsigned) out += "(-)";
    if (s.ignore) out += "(ignored)";
    if (s.branches.count == 0) continue;
    out += '[';
    for (int32_t i = 0; i < s.branches.count; ++i) {
      const MuxBranch& b = s.branches[i];
      if (i) out += '|';
      out += std::to_string(b.low) + "-" + std::to_string(b.high) + ":" + describe_list(b.signals);
    }
    out += ']';
  }
  return out;
}

// One line per message in key order: key, name, size, flags and the signal tree.
std::string describe(MessageDatabase* db) {
  std::string out = std::string(dynstring_sv(&db->protocol_name)) + "\n";
  ordered_map_for_each(&db->messages, [&](const uint32_t& key, Message& m) {
    char head[32];
    snprintf(head, sizeof head, "%08X ", key);
    out += head;
    out += std::string(dynstring_sv(&m.name)) + " " + std::to_string(m.size);
    if (m.ignore) out += " ignored";
    out += ": " + describe_list(m.signals) + "\n";
    return true;
  });
  return out;
}

// "name=value" of every decoded value, in order.
std::string decode_text(const MessageDatabase* db, uint32_t key, std::vector<uint8_t> bytes) {
  DecodedMessage* m = message_db_decode(db, key, bytes.data(), bytes.size());
  if (!m) return "<none>";
  std::string out;
  for (const DecodedValue* v = decoded_values_first(m); v; v = decoded_values_next(v)) {
    char text[64];
    snprintf(text, sizeof text, "%s%s=%g", out.empty() ? "" : " ", std::string(v->name).c_str(),
             v->value);
    out += text;
  }
  decoded_message_free(m);
  return out;
}

// The captured log lines without time stamp and process fields: "W message", one per line.
std::string log_messages(const std::string& text) {
  std::istringstream in(text);
  std::string line, out;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string date, time, process, thread, rest;
    fields >> date >> time >> process >> thread;
    std::getline(fields, rest);
    out += rest.substr(rest.find_first_not_of(' ')) + "\n";
  }
  return out;
}

const char* const STRING_BUS_TYPE = "BA_DEF_  \"BusType\" STRING ;\n";

TEST(DbcFixtures, CanDatabase) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_fixture("can.dbc");
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()),
            "CAN\n"
            "000000F0 DoorStatus 2: DoorFL DoorFR DoorRL DoorRR WindowPosFL Locked\n"
            "00000100 EngineData 8: EngineSpeed EngineTemp ThrottlePos IdleActive EngineTorque "
            "FuelRate\n"
            "000001A0 VehicleDynamics 8: VehicleSpeed YawRate LatAccel LongAccel BrakePressed "
            "SteeringAngle DynCounter\n"
            "00000300 SensorMux 8: MuxSelector[0-0:S0_Temperature S0_Pressure|1-1:S1_Voltage "
            "S1_Status S1_Humidity] MuxCounter\n"
            "00000400 FdSensorArray 64: Array_Counter Array_Status Distance_00 Distance_01 "
            "Distance_02 Distance_03 Distance_04 Distance_05 Distance_06 Distance_07 Distance_08 "
            "Distance_09 Distance_10 Distance_11 Distance_12 Distance_13 Distance_14 Distance_15 "
            "Distance_16 Distance_17 Distance_18 Distance_19 Distance_20 Distance_21 Distance_22 "
            "Distance_23 Array_Timestamp Array_Temp Array_Crc\n"
            "80ABCDEF TransmissionStatus 8: GearActual GearTarget OilTemp ClutchSlip "
            "OutputShaftSpeed ShiftInProgress TcuCounter\n"
            "80FD1234 FdMotorola 64: Mot_Big Mot_Mid Mot_Cross Mot_Flag Mot_Tail\n"
            "81234567 BatteryStatus 8: BatteryVoltage BatteryCurrent StateOfCharge CellTempMax "
            "BmsCounter BmsChecksum\n");
  // "CAN FD" in BusType is a CAN database; nothing was left out.
  EXPECT_EQ(log.text(), "");

  const Message* engine = message_db_find(db.get(), 0x100);
  ASSERT_TRUE(engine);
  const Signal& temp = engine->signals[1];
  EXPECT_EQ(temp.layout.byte_order, BYTE_ORDER_LITTLE);
  EXPECT_EQ(temp.layout.start_bit, 16);
  EXPECT_EQ(temp.layout.length, 8);
  EXPECT_EQ(temp.layout.factor, 1);
  EXPECT_EQ(temp.layout.offset, -40);
  EXPECT_EQ(temp.layout.minimum, -40);
  EXPECT_EQ(temp.layout.maximum, 150);
  const Signal& speed = message_db_find(db.get(), 0x1A0)->signals[0];
  EXPECT_EQ(speed.layout.byte_order, BYTE_ORDER_BIG);
  EXPECT_EQ(speed.layout.start_bit, 0);  // DBC start 7, most significant bit first
  EXPECT_EQ(speed.layout.factor, 0.01);

  EXPECT_EQ(decode_text(db.get(), 0x100, {0x40, 0x1F, 0x82, 0xE8, 0x03, 0, 0x10, 0x27}),
            "EngineSpeed=2000 EngineTemp=90 ThrottlePos=100 IdleActive=0 EngineTorque=-500 "
            "FuelRate=500");
  EXPECT_EQ(decode_text(db.get(), 0x300, {1, 0x88, 0x13, 2, 50, 0, 0, 7}),
            "MuxSelector=1 S1_Voltage=5 S1_Status=2 S1_Humidity=50 MuxCounter=7");
  EXPECT_EQ(decode_text(db.get(), 0x300, {2, 0x88, 0x13, 2, 50, 0, 0, 7}),
            "MuxSelector=2 MuxCounter=7");
  EXPECT_EQ(decode_text(db.get(), 0x1A0, {0x27, 0x10, 0, 0, 0, 0, 0, 0}).substr(0, 17),
            "VehicleSpeed=100 ");
}

TEST(DbcFixtures, SignedSignalsDecodeNegative) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_fixture("can_signed.dbc");
  ASSERT_TRUE(db);
  EXPECT_EQ(log.text(), "");
  const Message* engine = message_db_find(db.get(), 0x100);
  ASSERT_TRUE(engine);
  EXPECT_EQ(describe_list(engine->signals),
            "EngineSpeed EngineTemp(-) ThrottlePos IdleActive EngineTorque(-) FuelRate");
  // EngineTemp 0xF6 = -10; EngineTorque 12 bits from bit 36 all ones = -1 * 0.5.
  EXPECT_EQ(decode_text(db.get(), 0x100, {0, 0, 0xF6, 0, 0xF0, 0xFF, 0, 0}),
            "EngineSpeed=0 EngineTemp=-10 ThrottlePos=0 IdleActive=0 EngineTorque=-0.5 "
            "FuelRate=0");
  // Motorola signed: SteeringAngle 11 bits from DBC bit 54, factor 0.5.
  const Message* dyn = message_db_find(db.get(), 0x1A0);
  ASSERT_TRUE(dyn);
  const Signal* steering = signal_list_find(&dyn->signals, "SteeringAngle");
  ASSERT_TRUE(steering);
  EXPECT_EQ(steering->layout.is_unsigned, 0);
  // S0_Temperature (m0, signed 16 bits from 8) in the multiplexed message.
  EXPECT_EQ(decode_text(db.get(), 0x300, {0, 0x9C, 0xFF, 0, 0, 0, 0, 1}),
            "MuxSelector=0 S0_Temperature=-10 S0_Pressure=0 MuxCounter=1");
  // Array_Timestamp: 32-bit signed at bit 400 of the 64-byte frame.
  std::vector<uint8_t> fd(64, 0);
  fd[50] = 0x18;
  fd[51] = 0xFC;
  fd[52] = 0xFF;
  fd[53] = 0xFF;
  DecodedMessage* m = message_db_decode(db.get(), 0x400, fd.data(), fd.size());
  ASSERT_TRUE(m);
  bool seen = false;
  for (const DecodedValue* v = decoded_values_first(m); v; v = decoded_values_next(v)) {
    if (v->name == "Array_Timestamp") {
      EXPECT_DOUBLE_EQ(v->value, -1.0);
      seen = true;
    }
  }
  decoded_message_free(m);
  EXPECT_TRUE(seen);
}

TEST(DbcFixtures, J1939AndLin) {
  test::LogCapture log(LOG_WARN);
  DbPtr j1939 = load_fixture("j1939.dbc");  // CRLF line ends
  ASSERT_TRUE(j1939);
  EXPECT_EQ(describe(j1939.get()),
            "CAN-PGN\n"
            "80000000 TSC1 8: EngOverrideCtrlMode EngRqedSpeedCtrlConditions "
            "OverrideCtrlModePriority EngRqedSpeed_SpeedLimit EngRqedTorque_TorqueLimit "
            "TSC1TransmissionRate TSC1ControlPurpose MessageCounter MessageChecksum\n"
            "80F00400 EEC1 8: EngTorqueMode ActlEngPrcntTorqueHighResolution "
            "DriversDemandEngPercentTorque ActualEngPercentTorque EngSpeed "
            "SrcAddrssOfCtrllngDvcForEngCtrl EngStarterMode EngDemandPercentTorque\n"
            "80FEEE00 ET1 8: EngCoolantTemp EngFuelTemp1 EngOilTemp1 EngTurboOilTemp "
            "EngIntercoolerTemp EngIntercoolerThermostatOpening\n"
            "80FEF100 CCVS1 8: TwoSpeedAxleSwitch ParkingBrakeSwitch CruiseCtrlPauseSwitch "
            "ParkBrakeReleaseInhibitRq WheelBasedVehicleSpeed CruiseCtrlActive BrakeSwitch "
            "ClutchSwitch CruiseCtrlSetSpeed EngShutdownOverrideSwitch\n");
  EXPECT_EQ(log.text(), "");
  // A frame from another source address finds the same message.
  EXPECT_TRUE(message_db_find(j1939.get(), j1939_message_key(0x18FEF101, true)));

  DbPtr lin = load_fixture("lin.dbc");
  ASSERT_TRUE(lin);
  EXPECT_EQ(describe(lin.get()),
            "LIN\n"
            "00000010 LinMotorStatus 4: MotorPosition MotorCurrent MotorState MotorTemp\n"
            "00000021 LinSwitches 2: SwitchUp SwitchDown SwitchAuto DimmerLevel SwitchCounter\n"
            "00000030 LinLightSensor 8: AmbientLight RainIntensity SolarLeft SolarRight "
            "SensorTemp LightCounter LightCrc\n");
}

TEST(DbcBusType, ResolutionAndMessages) {
  struct Case {
    std::string attributes;
    const char* protocol;  // null: the load fails
    const char* log;       // expected in the log, or "" for an empty log
  } cases[] = {
      {"", "CAN", "\"BusType\" attribute not found. Defaulting to \"CAN\""},
      {std::string(STRING_BUS_TYPE) + "BA_ \"BusType\" \"CAN FD\";\n", "CAN", ""},
      {std::string(STRING_BUS_TYPE) + "BA_ \"BusType\" \"can fd\";\n", "CAN", ""},
      {std::string(STRING_BUS_TYPE) + "BA_ \"BusType\" \"LIN\";\n", "LIN", ""},
      {std::string(STRING_BUS_TYPE) + "BA_ \"BusType\" \"FlexRay\";\n", nullptr,
       "\"BusType\" not supported"},
      // Networks named after their CAN bus are CAN, with a warning.
      {std::string(STRING_BUS_TYPE) + "BA_ \"BusType\" \"KCAN\";\n", "CAN",
       "W test.dbc: \"BusType\" \"KCAN\" is read as \"CAN\""},
      {std::string(STRING_BUS_TYPE) + "BA_ \"BusType\" \"PTCan\";\n", "CAN",
       "W test.dbc: \"BusType\" \"PTCan\" is read as \"CAN\""},
      {std::string(STRING_BUS_TYPE) + "BA_DEF_DEF_  \"BusType\" \"LIN\";\n", "LIN", ""},
      {std::string(STRING_BUS_TYPE) + "BA_DEF_DEF_  \"BusType\" \"LIN FD\";\n", nullptr,
       "\"BusType\" not supported"},
      {"BA_DEF_  \"BusType\" ENUM \"LIN\",\"CAN\";\nBA_ \"BusType\" 1;\n", "CAN", ""},
      // An index past the enumeration gives no value.
      {"BA_DEF_  \"BusType\" ENUM \"LIN\",\"CAN\";\nBA_ \"BusType\" 2;\n", "CAN",
       "\"BusType\" attribute not found. Defaulting to \"CAN\""},
      // Without its definition an assignment is not consulted.
      {"BA_ \"BusType\" \"LIN\";\n", "CAN",
       "\"BusType\" attribute not found. Defaulting to \"CAN\""},
      {std::string(STRING_BUS_TYPE) + "BA_DEF_  \"ProtocolType\" STRING ;\n" +
           "BA_ \"ProtocolType\" \"J1939\";\n",
       "CAN-PGN", "\"BusType\" attribute not found. Defaulting to \"CAN\""},
      {std::string(STRING_BUS_TYPE) + "BA_DEF_  \"ProtocolType\" STRING ;\n" +
           "BA_ \"BusType\" \"LIN\";\nBA_ \"ProtocolType\" \"J1939\";\n",
       "LIN", ""},
      {std::string(STRING_BUS_TYPE) + "BA_DEF_  \"ProtocolType\" STRING ;\n" +
           "BA_ \"BusType\" \"CAN\";\nBA_ \"ProtocolType\" \"j1939\";\n",
       "CAN", ""},
  };
  for (const Case& c : cases) {
    test::LogCapture log(LOG_INFO);
    DbPtr db = load_text("BO_ 256 M: 8 X\n SG_ S : 0|8@1+ (1,0) [0|255] \"\" Y\n" + c.attributes);
    if (!c.protocol) {
      EXPECT_FALSE(db) << c.attributes;
    } else {
      ASSERT_TRUE(db) << c.attributes;
      EXPECT_EQ(dynstring_sv(&db->protocol_name), c.protocol) << c.attributes;
    }
    if (*c.log) {
      EXPECT_TRUE(log.contains(c.log)) << c.attributes << log.text();
    } else {
      EXPECT_FALSE(log.contains("BusType")) << c.attributes << log.text();
    }
  }
}

TEST(DbcAttributes, IgnoreFlagsTakeOnlyIntegers) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(std::string(STRING_BUS_TYPE) +
                       "BO_ 256 EngineData: 8 ECM\n"
                       " SG_ EngineSpeed : 0|16@1+ (0.25,0) [0|8000] \"rpm\"  VCU\n"
                       " SG_ EngineTemp : 16|8@1+ (1,-40) [-40|150] \"degC\"  VCU\n"
                       " SG_ Other : 24|8@1+ (1,0) [0|255] \"\"  VCU\n"
                       "BO_ 512 Second: 8 ECM\n"
                       " SG_ EngineSpeed : 0|16@1+ (0.25,0) [0|8000] \"rpm\"  VCU\n"
                       "BO_ 768 Third: 8 ECM\n"
                       "BA_DEF_ BO_  \"MessageIgnore\" INT 0 1;\n"
                       "BA_DEF_ SG_  \"SignalIgnore\" INT 0 1;\n"
                       "BA_DEF_ SG_  \"EnumIgnore\" ENUM \"No\",\"Yes\";\n"
                       "BA_DEF_DEF_  \"SignalIgnore\" 0;\n"
                       "BA_DEF_DEF_  \"MessageIgnore\" 0;\n"
                       "BA_ \"BusType\" \"CAN FD\";\n"
                       "BA_ \"MessageIgnore\" BO_ 256 1;\n"
                       "BA_ \"MessageIgnore\" BO_ 768 0;\n"
                       "BA_ \"SignalIgnore\" SG_ 256 EngineSpeed 1;\n"
                       "BA_ \"SignalIgnore\" SG_ 256 EngineTemp 0;\n"
                       "BA_ \"SignalIgnore\" SG_ 256 EngineTemp 1;\n");
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()),
            "CAN\n"
            "00000100 EngineData 8 ignored: EngineSpeed(ignored) EngineTemp Other\n"
            "00000200 Second 8: EngineSpeed\n"
            "00000300 Third 8: \n");
  EXPECT_EQ(log.text(), "");

  // Only an INT counts: the same attribute defined as an ENUM ignores nothing.
  DbPtr as_enum = load_text(
      "BO_ 256 M: 8 X\n SG_ S : 0|8@1+ (1,0) [0|255] \"\" Y\n"
      "BA_DEF_ SG_  \"SignalIgnore\" ENUM \"No\",\"Yes\";\n"
      "BA_ \"SignalIgnore\" SG_ 256 S 1;\n");
  ASSERT_TRUE(as_enum);
  EXPECT_EQ(message_db_find(as_enum.get(), 0x100)->signals[0].ignore, 0);
  // An INT default of 1 ignores every signal without an assignment of its own.
  DbPtr by_default = load_text(
      "BO_ 256 M: 8 X\n SG_ S : 0|8@1+ (1,0) [0|255] \"\" Y\n"
      " SG_ T : 8|8@1+ (1,0) [0|255] \"\" Y\n"
      "BA_DEF_ SG_  \"SignalIgnore\" INT 0 1;\n"
      "BA_DEF_DEF_  \"SignalIgnore\" 1;\n"
      "BA_ \"SignalIgnore\" SG_ 256 T 0;\n");
  ASSERT_TRUE(by_default);
  EXPECT_EQ(describe_list(message_db_find(by_default.get(), 0x100)->signals), "S(ignored) T");
}

TEST(DbcSignals, PlacementRules) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(
      " SG_ Orphan : 0|8@1+ (1,0) [0|255] \"\" X\n"  // before any BO_
      "BO_ 0 Zero: 8 X\n"
      "BO_ 100 Muxed: 8 X\n"
      " SG_ Mode m3M : 8|8@1+ (1,0) [0|255] \"\" X\n"
      " SG_ Deep m2 : 16|8@1+ (1,0) [0|255] \"\" X\n"
      " SG_ Plain1 m1 : 24|8@1+ (1,0) [0|255] \"\" X\n"
      " SG_ Sel M : 0|8@1+ (1,0) [0|255] \"\" X\n"
      " SG_ Plain3 m3 : 24|8@1+ (1,0) [0|255] \"\" X\n"
      " SG_ TooFar : 60|8@1+ (1,0) [0|255] \"\" X\n"
      " SG_ Signed : 32|8@1- (1,0) [-128|127] \"\" X\n"
      " SG_ Sel : 40|8@1+ (1,0) [0|255] \"\" X\n"  // a second signal of the same name
      " SG_ BadOrder : 48|8@2+ (1,0) [0|255] \"\" X\n"
      // A start bit or length too large for the layout would wrap onto another field.
      " SG_ Wrapped : 65544|8@1+ (1,0) [0|255] \"\" X\n"
      " SG_ Long : 0|264@1+ (1,0) [0|255] \"\" X\n"
      "SG_MUL_VAL_ 100 Deep Mode 3-5;\n"
      "SG_MUL_VAL_ 100 Mode Sel 3-3;\n"
      "SG_MUL_VAL_ 100 Plain1 Sel 1-1, 7-9;\n");
  ASSERT_TRUE(db);
  // Branches and their signals in file order, whatever the order of multiplexor and signals.
  EXPECT_EQ(describe(db.get()),
            "CAN\n"
            "00000000 Zero 8: \n"
            "00000064 Muxed 8: Sel[3-3:Mode[3-5:Deep] Plain3|1-1:Plain1|7-9:Plain1] Signed(-)\n");
  // Problems of single statements as they are read, then those found while building.
  EXPECT_EQ(log_messages(log.text()),
            "W test.dbc:12: statement skipped: not of the form SG_ <name> [M|m<value>] : "
            "<start>|<length>@<order><sign> (<factor>,<offset>) [<minimum>|<maximum>] <unit> "
            "<receivers>\n"
            "W test.dbc:13: signal Wrapped skipped: start bit or length too large\n"
            "W test.dbc:14: signal Long skipped: start bit or length too large\n"
            "W test.dbc:1: signal Orphan skipped: no message statement before it\n"
            "W test.dbc:9: signal TooFar of message Muxed skipped: it does not fit into the "
            "message's 8 bytes\n"
            "W test.dbc:11: signal Sel of message Muxed skipped: the message has a signal of this "
            "name on line 7\n");
  EXPECT_EQ(decode_text(db.get(), 100, {3, 4, 5, 6, 0xFE, 0, 0, 0}),
            "Sel=3 Mode=4 Deep=5 Plain3=6 Signed=-2");
  EXPECT_EQ(decode_text(db.get(), 100, {1, 4, 5, 6, 0xFE, 0, 0, 0}), "Sel=1 Plain1=6 Signed=-2");
  EXPECT_EQ(decode_text(db.get(), 100, {8, 4, 5, 6, 0xFE, 0, 0, 0}), "Sel=8 Plain1=6 Signed=-2");
}

TEST(DbcSignals, SignedMultiplexorSelectsBySignedValue) {
  test::LogCapture log;
  DbPtr db = load_text(
      "BO_ 1 M: 2 X\n"
      " SG_ Sel M : 0|4@1- (1,0) [-8|7] \"\" X\n"
      " SG_ A m1 : 8|8@1+ (1,0) [0|255] \"\" X\n"
      "SG_MUL_VAL_ 1 A Sel 0-3;\n");
  ASSERT_TRUE(db);
  EXPECT_EQ(decode_text(db.get(), 1, {0x02, 9}), "Sel=2 A=9");
  EXPECT_EQ(decode_text(db.get(), 1, {0x0E, 9}), "Sel=-2");
}

TEST(DbcSignals, NestingDeeperThanTheLimitIsLeftOut) {
  // A chain of multiplexors, each selected by the one before it.
  std::string text = "BO_ 1 Chain: 8 X\n SG_ S0 M : 0|1@1+ (1,0) [0|1] \"\" X\n";
  const int n = MUX_DEPTH_LIMIT + 3;
  for (int i = 1; i <= n; ++i) {
    text += " SG_ S" + std::to_string(i) + " m0M : 0|1@1+ (1,0) [0|1] \"\" X\n";
    text += "SG_MUL_VAL_ 1 S" + std::to_string(i) + " S" + std::to_string(i - 1) + " 0-0;\n";
  }
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(text);
  ASSERT_TRUE(db);
  EXPECT_EQ(log.count("skipped: multiplexed more than 32 levels deep"), n - MUX_DEPTH_LIMIT);
  EXPECT_EQ(log.count(" skipped"), n - MUX_DEPTH_LIMIT);
  std::string decoded = decode_text(db.get(), 1, {0});
  EXPECT_NE(decoded.find("S" + std::to_string(MUX_DEPTH_LIMIT) + "=0"), std::string::npos);
  EXPECT_EQ(decoded.find("S" + std::to_string(MUX_DEPTH_LIMIT + 1) + "="), std::string::npos);
}

TEST(DbcMessages, KeyCollisionKeepsTheFirst) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(std::string(STRING_BUS_TYPE) +
                       "BA_DEF_  \"ProtocolType\" STRING ;\n"
                       "BA_ \"ProtocolType\" \"J1939\";\n"
                       "BO_ 2566844672 CCVS1: 8 EMS\n"
                       " SG_ Speed : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       "BO_ 2566844673 CCVS1_SA1: 8 EMS\n"
                       " SG_ Other : 0|8@1+ (1,0) [0|255] \"\" X\n");
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()), "CAN-PGN\n80FEF100 CCVS1 8: Speed\n");
  EXPECT_EQ(log_messages(log.text()),
            "W test.dbc:6: message CCVS1_SA1 skipped: message CCVS1 (line 4) has the same "
            "parameter group; the first is kept\n"
            "W test.dbc:7: signal Other of message CCVS1_SA1 skipped: its message is skipped\n");
}

TEST(DbcLines, SplittingTrimmingAndDispatch) {
  test::LogCapture log;
  DbPtr db = load_text(
      "\r\r  BO_ 1 Spaced: 8 X  \r\n"
      "\t\tSG_ A : 0|8@1+ (1,0) [0|255] \"\" X\t\n"
      "\t SG_ KeptSpace : 8|8@1+ (1,0) [0|255] \"\" X\n"  // tab then space
      "BO_ 2 Broken 8 X\n"                                // no colon: skipped with its signals
      " SG_ B : 16|8@1+ (1,0) [0|255] \"\" X\n"
      "BO_ 3 Last: 2 X");  // no final line feed
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()),
            "CAN\n"
            "00000001 Spaced 8: A KeptSpace\n"
            "00000003 Last 2: \n");
  EXPECT_TRUE(
      log.contains("test.dbc:5: signal B skipped: the message statement on line 4 was not "
                   "understood"))
      << log.text();
}

TEST(DbcLoad, EmptyAndUnreadableInput) {
  test::LogCapture log;
  EXPECT_FALSE(load_text(""));
  EXPECT_EQ(log.text(), "");

  // A stream that claims 100 bytes but delivers only 10.
  struct Short {
    Stream base;
    int64_t position;
  };
  static const StreamOps ops = {
      [](Stream* s, void* buffer, uint64_t n) -> int64_t {
        auto* self = reinterpret_cast<Short*>(s);
        if (self->position >= 10) return 0;
        int64_t take = std::min<int64_t>(static_cast<int64_t>(n), 10 - self->position);
        memset(buffer, 'x', static_cast<size_t>(take));
        self->position += take;
        return take;
      },
      nullptr,
      [](Stream* s) -> int64_t { return reinterpret_cast<Short*>(s)->position; },
      [](Stream* s, int64_t offset, int32_t origin) -> int64_t {
        auto* self = reinterpret_cast<Short*>(s);
        self->position = origin == SEEK_FROM_END ? 100 + offset : offset;
        return self->position;
      },
      nullptr,
  };
  Short s{{&ops}, 0};
  EXPECT_EQ(dbc_load(&s.base), nullptr);
  EXPECT_TRUE(log.contains("Could not read DBC-file"));
}

TEST(DbcLoad, AssignmentLinesKeepIdNameAndValueWhole) {
  // Digits in the object name and a long id must not be split between the groups.
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(std::string(STRING_BUS_TYPE) +
                       "BA_DEF_ SG_  \"SignalIgnore\" INT 0 1;\n"
                       "BA_DEF_ BO_  \"MessageIgnore\" INT 0 1;\n"
                       "BO_ 2566844672 Ext: 8 X\n"
                       " SG_ 123 : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       " SG_ Sig7 : 8|8@1+ (1,0) [0|255] \"\" X\n"
                       "BA_ \"BusType\" \"CAN FD\";\n"
                       "BA_ \"MessageIgnore\" BO_ 2566844672 1;\n"
                       "BA_ \"SignalIgnore\" SG_ 2566844672 123 1;\n"
                       "BA_ \"SignalIgnore\" SG_ 2566844672 Sig7 12;\n");
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()), "CAN\n98FEF100 Ext 8 ignored: 123(ignored) Sig7(ignored)\n");
  EXPECT_EQ(log.text(), "");
}

TEST(DbcLoad, HostileInputNeverCrashes) {
  std::string base;
  {
    std::string path = std::string(TABULON_TEST_DATA) + "/fixtures/can.dbc";
    base = test::read_text(path);
  }
  ASSERT_FALSE(base.empty());
  std::mt19937 rng(99);
  test::LogCapture log;  // keeps the expected complaints out of the test output
  for (int round = 0; round < 300; ++round) {
    std::string text = base;
    int edits = 1 + static_cast<int>(rng() % 20);
    for (int e = 0; e < edits; ++e) {
      size_t at = rng() % text.size();
      switch (rng() % 4) {
        case 0:
          text[at] = static_cast<char>(rng());
          break;
        case 1:
          text.erase(at, rng() % 16);
          break;
        case 2:
          text.insert(at, 1, "\n\r\t \"|@:-+0123456789m"[rng() % 22]);
          break;
        default:
          text.insert(at, text.substr(rng() % text.size(), rng() % 64));
          break;
      }
      if (text.empty()) text = "x";
    }
    DbPtr db = load_text(text);
    if (db) {
      // Whatever was built must decode any frame safely.
      std::vector<uint8_t> frame(64);
      for (uint8_t& b : frame) b = static_cast<uint8_t>(rng());
      ordered_map_for_each(&db->messages, [&](const uint32_t& key, Message&) {
        DecodedMessage* m = message_db_decode(db.get(), key, frame.data(), rng() % 65);
        decoded_message_free(m);
        return true;
      });
    }
  }
  std::string noise(4096, 0);
  for (char& c : noise) c = static_cast<char>(rng());
  load_text(noise);
  load_text(std::string(1, '\0'));
  // A zero byte inside a line ends what the patterns can see: the line does not match.
  const char with_zero[] = "BO_ 1 A\0B: 8 X\n SG_ S : 0|8@1+ (1,0) [0|255] \"\" X\n";
  DbPtr zero = load_text(std::string(with_zero, sizeof with_zero - 1));
  ASSERT_TRUE(zero);
  EXPECT_EQ(describe(zero.get()), "CAN\n");
}

TEST(DbcLoad, LongLinesAndManyMessages) {
  // A 1 MB line of each kind the dispatcher recognises, then one ordinary message.
  std::string big(1 << 20, 'A');
  std::string text;
  for (const char* prefix :
       {"BO_ 1 ", "SG_ ", "BA_ \"", "BA_DEF_ ", "BA_DEF_DEF_ ", "SG_MUL_VAL_ "})
    text += prefix + big + "\n";
  text += "BA_ \"BusType\" \"" + big + " " + big.substr(0, 1000) + "\";\n";
  // A million blank lines inside a quoted text and after the keyword list are read once.
  std::string blank(1 << 20, '\n');
  text += "NS_ :" + blank + "CM_ \"" + blank + "\";\n";
  text += "BO_ 5 Small: 8 X\n SG_ S : 0|8@1+ (1,0) [0|255] \"\" X\n";
  test::LogCapture log;
  DbPtr db = load_text(text);
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()), "CAN\n00000005 Small 8: S\n");

  std::string many;
  const int count = 100000;
  many.reserve(static_cast<size_t>(count) * 80);
  for (int i = 0; i < count; ++i) {
    std::string id = std::to_string(0x80000000u + static_cast<uint32_t>(i));
    many += "BO_ " + id + " Msg" + id + ": 8 X\n SG_ Sig" + id + " : 0|8@1+ (1,0) [0|255] \"\" X\n";
    many += "BA_ \"MessageIgnore\" BO_ " + id + " 1;\n";
  }
  many += std::string(STRING_BUS_TYPE) + "BA_DEF_ BO_  \"MessageIgnore\" INT 0 1;\n";
  DbPtr big_db = load_text(many);
  ASSERT_TRUE(big_db);
  EXPECT_EQ(big_db->messages.used, count);
  int ignored_with_signal = 0;
  ordered_map_for_each(&big_db->messages, [&](const uint32_t&, Message& m) {
    ignored_with_signal += m.ignore == 1 && m.signals.count == 1;
    return true;
  });
  EXPECT_EQ(ignored_with_signal, count);
}

// A large file whose text is freed before the database is built (its names live on in copies),
// and whose indexes keep no keys: every message is found by its key with its name (long name
// where one is assigned) and its signals in order, duplicates are told apart from names that
// only look alike, and the lists hold no room to spare.
TEST(DbcLoad, LargeFileKeepsEveryNameAndFindsEveryMessage) {
  const int count = 10000;
  const std::string huge(3 << 19, 'N');  // a name longer than a block of the name arena
  std::string text = std::string(STRING_BUS_TYPE) +
                     "BA_DEF_ BO_ \"SystemMessageLongSymbol\" STRING ;\n"
                     "BA_DEF_ SG_ \"SystemSignalLongSymbol\" STRING ;\n";
  std::string tail;
  for (int i = 0; i < count; ++i) {
    std::string id = std::to_string(0x80000000u + static_cast<uint32_t>(i));
    std::string n = std::to_string(i);
    text += "BO_ " + id + " Message_" + n + (i == 7 ? huge : "") + ": 8 X\n";
    text += " SG_ Mux_" + n + " M : 0|8@1+ (1,0) [0|0] \"\" X\n";
    text += " SG_ Value_" + n + "_of_a_long_signal_name m1 : 8|8@1+ (1,0) [0|0] \"\" X\n";
    text += " SG_ Float_" + n + " : 32|32@1- (1,0) [0|0] \"\" X\n";
    // Every 1000th message repeats a name: the second one is skipped, never a look-alike.
    if (i % 1000 == 0) text += " SG_ Float_" + n + " : 16|8@1+ (1,0) [0|0] \"\" X\n";
    tail += "SIG_VALTYPE_ " + id + " Float_" + n + " : 1;\n";
    if (i % 11 == 0) tail += "BA_ \"SystemMessageLongSymbol\" BO_ " + id + " \"Long_" + n + "\";\n";
    if (i % 7 == 0)
      tail +=
          "BA_ \"SystemSignalLongSymbol\" SG_ " + id + " Mux_" + n + " \"LongMux_" + n + "\";\n";
  }
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(text + tail);
  ASSERT_TRUE(db);
  ASSERT_EQ(db->messages.used, count);
  int checked = 0;
  for (int i = 0; i < count; ++i) {
    std::string n = std::to_string(i);
    const Message* m = message_db_find(db.get(), 0x80000000u + static_cast<uint32_t>(i));
    ASSERT_TRUE(m) << i;
    std::string name = i % 11 == 0 ? "Long_" + n : "Message_" + n + (i == 7 ? huge : "");
    EXPECT_EQ(dynstring_sv(&m->name), name);
    ASSERT_EQ(m->signals.count, 2) << i;
    EXPECT_EQ(m->signals.capacity, 2);
    const Signal& mux = m->signals[0];
    EXPECT_EQ(dynstring_sv(&mux.name), i % 7 == 0 ? "LongMux_" + n : "Mux_" + n);
    ASSERT_EQ(mux.branches.count, 1);
    EXPECT_EQ(mux.branches.capacity, 1);
    const SignalList& inner = mux.branches[0].signals;
    ASSERT_EQ(inner.count, 1);
    EXPECT_EQ(inner.capacity, 1);
    EXPECT_EQ(dynstring_sv(&inner[0].name), "Value_" + n + "_of_a_long_signal_name");
    EXPECT_EQ(dynstring_sv(&m->signals[1].name), "Float_" + n);
    EXPECT_EQ(m->signals[1].layout.value_type, SIGNAL_FLOAT32);
    ++checked;
  }
  EXPECT_EQ(checked, count);
  size_t repeated = 0;
  for (size_t at = 0; (at = log.text().find("has a signal of this name", at)) != std::string::npos;
       ++at)
    ++repeated;
  EXPECT_EQ(repeated, static_cast<size_t>(count / 1000)) << log.text().substr(0, 2000);
}

// ---------------------------------------------------------------------------------------------
// Files as people write them

const std::string HEADER = "VERSION \"\"\nNS_ :\nBS_:\nBU_: X\n";

// The decoded value of one signal, or null.
const DecodedValue* find_value(const DecodedMessage* m, const std::string& name) {
  for (const DecodedValue* v = decoded_values_first(m); v; v = decoded_values_next(v))
    if (v->name == name) return v;
  return nullptr;
}

TEST(DbcDialect, WhitespaceSeparatesTokens) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(HEADER +
                       "BO_ 257 B : 1 X\n"
                       " SG_ T : 0|4@1+ (1,0) [0|15] \"\" X\n"
                       "\tSG_\tU\t:\t4 | 4 @ 1 + ( 1 , 0 ) [ 0 | 15 ]\t\"\"\tX\n"
                       "BO_ 258 C: 1 X\n"
                       " SG_ S  : 0|8@1+  (1,0)  [0|100] \"\" X\n"
                       "BO_ 259 D: 2 X\n"
                       " SG_ X M  : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       " SG_ Y m1: 8|8@1+ (1,0) [0|255] \"\" X\n");
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()),
            "CAN\n00000101 B 1: T U\n00000102 C 1: S\n00000103 D 2: X[1-1:Y]\n");
  EXPECT_EQ(decode_text(db.get(), 0x101, {0x07}), "T=7 U=0");
  EXPECT_EQ(decode_text(db.get(), 0x102, {0x05}), "S=5");
  EXPECT_EQ(decode_text(db.get(), 0x103, {1, 9}), "X=1 Y=9");
  EXPECT_EQ(log.text(), "");
}

TEST(DbcDialect, NumbersInEveryCForm) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(HEADER +
                       "BO_ 1 N: 8 X\n"
                       " SG_ D : 7|64@0+ (1,0) [0|1.84467440737096E+019] \"\" X\n"
                       "BO_ 2 P: 1 X\n"
                       " SG_ A : 0|8@1+ (+127,1e+02) [-1.5e-3|+1E5] \"\" X\n"
                       " SG_ Bad : 0|8@1+ (1,0x) [0|1] \"\" X\n");
  ASSERT_TRUE(db);
  DecodedMessage* d =
      message_db_decode(db.get(), 1, std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}.data(), 8);
  ASSERT_TRUE(d);
  const DecodedValue* v = find_value(d, "D");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->value, static_cast<double>(72623859790382856ULL));
  EXPECT_TRUE(v->in_range);
  decoded_message_free(d);
  const SignalLayout& a = message_db_find(db.get(), 2)->signals[0].layout;
  EXPECT_EQ(a.factor, 127);
  EXPECT_EQ(a.offset, 100);
  EXPECT_EQ(a.minimum, -1.5e-3);
  EXPECT_EQ(a.maximum, 1e5);
  EXPECT_EQ(log_messages(log.text()),
            "W test.dbc:9: signal Bad skipped: offset \"0x\" is not a number\n");
}

TEST(DbcDialect, ExtendedIdentifiersAndRepeatedMessages) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(HEADER +
                       "BO_ 13274 A: 1 X\n"
                       " SG_ V : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       "BO_ 2147496922 Again: 1 X\n"  // 0x80000000 | 13274
                       " SG_ W : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       "BO_ 3221225472 VECTOR__INDEPENDENT_SIG_MSG: 0 Vector__XXX\n"
                       " SG_ Lone : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       "BO_ 1073741824 TooLarge: 1 X\n");
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()), "CAN\n800033DA A 1: V\n");
  EXPECT_EQ(decode_text(db.get(), can_message_key(0x33DA, true), {5}), "V=5");
  EXPECT_FALSE(message_db_find(db.get(), can_message_key(0x3DA, false)));
  EXPECT_EQ(log_messages(log.text()),
            "W test.dbc:7: message Again skipped: message A (line 5) has the same identifier; the "
            "first is kept\n"
            "W test.dbc:11: message TooLarge skipped: 1073741824 is no CAN identifier\n"
            "W test.dbc:8: signal W of message Again skipped: its message is skipped\n");
}

TEST(DbcDialect, MultiplexRangesBelongToTheirMessage) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(HEADER +
                       "BO_ 2147483649 E: 2 X\n"
                       " SG_ MUX M : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       " SG_ S m0 : 8|8@1+ (1,0) [0|255] \"\" X\n"
                       "BO_ 2 F: 2 X\n"
                       " SG_ MUX M : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       " SG_ S m7 : 8|8@1+ (1,0) [0|255] \"\" X\n"
                       "SG_MUL_VAL_ 2147483649 S MUX 0-0, 3-5;\n");
  ASSERT_TRUE(db);
  const uint32_t e = can_message_key(1, true);
  for (uint8_t mux = 0; mux < 8; ++mux) {
    bool in_e = mux == 0 || (mux >= 3 && mux <= 5);
    std::string value = "MUX=" + std::to_string(mux);
    EXPECT_EQ(decode_text(db.get(), e, {mux, 9}), value + (in_e ? " S=9" : ""));
    EXPECT_EQ(decode_text(db.get(), 2, {mux, 9}), value + (mux == 7 ? " S=9" : ""));
  }
  EXPECT_EQ(log.text(), "");
}

TEST(DbcDialect, BusTypeEmptyOrMissingIsCan) {
  for (const char* attributes :
       {"", "BA_DEF_ \"BusType\" STRING ;\nBA_DEF_DEF_ \"BusType\" \"\";\n",
        "BA_DEF_ \"BusType\" STRING ;\nBA_ \"BusType\" \"\";\n"}) {
    test::LogCapture log(LOG_WARN);
    DbPtr db =
        load_text(HEADER + attributes + "BO_ 1 M: 1 X\n SG_ S : 0|8@1+ (1,0) [0|1] \"\" X\n");
    ASSERT_TRUE(db) << attributes;
    EXPECT_EQ(describe(db.get()), "CAN\n00000001 M 1: S\n") << attributes;
    EXPECT_EQ(log.text(), "") << attributes;
  }
}

TEST(DbcDialect, BareMultiplexIndicatorIsAPlainSignal) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(HEADER +
                       "BO_ 1 M: 2 X\n"
                       " SG_ A m : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       " SG_ B : 8|8@1+ (1,0) [0|255] \"\" X\n");
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()), "CAN\n00000001 M 2: A B\n");
  EXPECT_EQ(decode_text(db.get(), 1, {7, 9}), "A=7 B=9");
  EXPECT_EQ(log_messages(log.text()),
            "W test.dbc:6: signal A of message M: multiplexing \"m\" without a value is read as "
            "a plain signal\n");
}

TEST(DbcDialect, LongNamesReplaceTheShortOnes) {
  test::LogCapture log(LOG_WARN);
  DbPtr db =
      load_text(HEADER +
                "BO_ 100 Engine_Data_From_The_Control_U: 2 X\n"
                " SG_ Selector_Of_The_Engine_Data_Pag M : 0|8@1+ (1,0) [0|255] \"\" X\n"
                " SG_ Temperature_Of_The_Coolant_Bef m1 : 8|8@1+ (1,0) [0|255] \"\" X\n"
                " SG_ Short m2 : 8|8@1+ (1,0) [0|255] \"\" X\n"
                "BA_DEF_ BO_ \"SystemMessageLongSymbol\" STRING ;\n"
                "BA_DEF_ SG_ \"SystemSignalLongSymbol\" STRING ;\n"
                "BA_DEF_DEF_ \"SystemMessageLongSymbol\" \"\";\n"
                "BA_DEF_DEF_ \"SystemSignalLongSymbol\" \"\";\n"
                "BA_ \"SystemMessageLongSymbol\" BO_ 100 \"Engine_Data_From_The_Control_Unit\";\n"
                "BA_ \"SystemSignalLongSymbol\" SG_ 100 Selector_Of_The_Engine_Data_Pag "
                "\"Selector_Of_The_Engine_Data_Page\";\n"
                "BA_ \"SystemSignalLongSymbol\" SG_ 100 Temperature_Of_The_Coolant_Bef "
                "\"Temperature_Of_The_Coolant_Before_The_Radiator\";\n"
                // Other statements keep naming the signals by their short names.
                "SG_MUL_VAL_ 100 Short Selector_Of_The_Engine_Data_Pag 2-3;\n");
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()),
            "CAN\n00000064 Engine_Data_From_The_Control_Unit 2: Selector_Of_The_Engine_Data_Page["
            "1-1:Temperature_Of_The_Coolant_Before_The_Radiator|2-3:Short]\n");
  EXPECT_EQ(decode_text(db.get(), 100, {3, 7}), "Selector_Of_The_Engine_Data_Page=3 Short=7");
  EXPECT_EQ(log.text(), "");
}

TEST(DbcDialect, FloatSignalsInBothByteOrders) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(HEADER +
                       "BO_ 1 F: 16 X\n"
                       " SG_ I : 0|32@1- (1,0) [0|0] \"\" X\n"
                       " SG_ M : 39|32@0- (2,1) [-10|0] \"\" X\n"
                       " SG_ D : 64|64@1- (1,0) [-1|1] \"\" X\n"
                       " SG_ Bad : 0|16@1- (1,0) [0|0] \"\" X\n"
                       "BO_ 2 G: 8 X\n"
                       " SG_ E : 7|64@0+ (1,0) [0|1] \"\" X\n"
                       "SIG_VALTYPE_ 1 I : 1;\nSIG_VALTYPE_ 1 M : 1;\nSIG_VALTYPE_ 1 D : 2;\n"
                       "SIG_VALTYPE_ 1 Bad : 1;\nSIG_VALTYPE_ 2 E : 2;\n");
  ASSERT_TRUE(db);
  std::vector<uint8_t> f(16, 0);
  uint32_t i = std::bit_cast<uint32_t>(1.5f), m = std::bit_cast<uint32_t>(-2.25f);
  uint64_t d = std::bit_cast<uint64_t>(0.5);
  memcpy(&f[0], &i, 4);
  for (int k = 0; k < 4; ++k) f[4 + k] = static_cast<uint8_t>(m >> (24 - 8 * k));
  memcpy(&f[8], &d, 8);
  EXPECT_EQ(decode_text(db.get(), 1, f), "I=1.5 M=-3.5 D=0.5");
  std::vector<uint8_t> g(8);
  uint64_t e = std::bit_cast<uint64_t>(1e300);
  for (int k = 0; k < 8; ++k) g[k] = static_cast<uint8_t>(e >> (56 - 8 * k));
  DecodedMessage* decoded = message_db_decode(db.get(), 2, g.data(), g.size());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->values[0].value, 1e300);
  EXPECT_FALSE(decoded->values[0].in_range);  // the range applies to the scaled float
  decoded_message_free(decoded);
  EXPECT_EQ(log_messages(log.text()),
            "W test.dbc:9: signal Bad of message F skipped: a float of 16 bits (line 15) must have "
            "32 bits\n");
}

TEST(DbcDialect, ValuesEqualToTheirLimitsAreInRange) {
  struct Case {
    const char* signal;
    std::vector<uint8_t> payload;
    bool in_range;
  } cases[] = {
      {"SG_ R : 0|11@1+ (0.1,0) [0|204.7] \"m\" X", {0xFF, 0x07}, true},
      {"SG_ R : 0|11@1+ (0.1,0) [0|204.6] \"m\" X", {0xFF, 0x07}, false},
      {"SG_ R : 0|11@1+ (0.1,0) [0.1|204.7] \"m\" X", {0x01, 0x00}, true},
      {"SG_ R : 0|11@1+ (0.1,0) [0.1|204.7] \"m\" X", {0x00, 0x00}, false},
      {"SG_ R : 7|12@0+ (0.01,-20.48) [-20.48|20.47] \"\" X", {0xFF, 0xF0}, true},
      {"SG_ R : 0|8@1- (-0.3,7.7) [-30.4|46.1] \"\" X", {0x80}, true},  // -128 * -0.3 + 7.7
      {"SG_ R : 0|8@1- (-0.3,7.7) [-30.4|46.1] \"\" X", {0x7F}, true},  // 127 * -0.3 + 7.7
      {"SG_ R : 0|8@1- (-0.3,7.7) [-30.3|46.1] \"\" X", {0x7F}, false},
      {"SG_ R : 0|8@1+ (1,0) [0|0] \"\" X", {0xFF}, true},   // no range
      {"SG_ R : 0|8@1+ (1,0) [9|1] \"\" X", {0x05}, false},  // an empty range
  };
  for (const Case& c : cases) {
    test::LogCapture log(LOG_WARN);
    DbPtr db = load_text(HEADER + "BO_ 1 M: " + std::to_string(c.payload.size()) + " X\n " +
                         c.signal + "\n");
    ASSERT_TRUE(db) << c.signal;
    DecodedMessage* d = message_db_decode(db.get(), 1, c.payload.data(), c.payload.size());
    ASSERT_TRUE(d && d->values.count == 1) << c.signal;
    EXPECT_EQ(d->values[0].in_range, c.in_range) << c.signal << " value " << d->values[0].value;
    decoded_message_free(d);
  }
}

TEST(DbcDialect, EveryUnusedStatementMessageAndSignalIsReported) {
  test::LogCapture log(LOG_INFO);
  DbPtr db = load_text(HEADER +
                       "\tCM_\n"
                       "VAL_TABLE_ OnOff 1 \"On\" 0 \"Off\" ;\n"
                       "BO_ 1 M: 8 X\n"
                       " SG_ A : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       " SG_ Far : 60|8@1+ (1,0) [0|255] \"\" X\n"
                       " SG_ Orphan m1 : 8|8@1+ (1,0) [0|255] \"\" X\n"
                       "BO_ 2 Bad Message: 8 X\n"
                       " SG_ B : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       "BO_ 4 Muxed: 8 X\n"
                       " SG_ Sel M : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       " SG_ C m1 : 8|8@1+ (1,0) [0|255] \"\" X\n"
                       " SG_ D m2 : 16|8@1+ (1,0) [0|255] \"\" X\n"
                       "BO_TX_BU_ 1 : X;\n"
                       "SIG_GROUP_ 1 G 1 : A;\n"
                       "EV_ Env: 0 [0|0] \"\" 0 1 DUMMY_NODE_VECTOR0 Vector__XXX;\n"
                       "ENVVAR_DATA_ Env: 4;\n"
                       "SGTYPE_ T : 8@1+ (1,0) [0|0] \"\" 0, OnOff;\n"
                       "BA_DEF_REL_ BU_SG_REL_ \"R\" INT 0 1;\n"
                       "CM_ SG_ 1 A \"One; two\n"
                       "three; \\\"four\\\"\";\n"
                       "CM_ \"bytes \xFF\xFE that are not UTF-8\";\n"
                       "VAL_ 1 A 0 \"Zero\" 1 \"One\" ;\n"
                       "SG_MUL_VAL_ 4 C Nowhere 1-1;\n"
                       "SG_MUL_VAL_ 4 D Sel 2-1;\n"
                       "SG_MUL_VAL_ 9 Ghost Sel 0-0;\n"
                       "FOO_ bar;\n");
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()), "CAN\n00000001 M 8: A\n00000004 Muxed 8: Sel\n");
  EXPECT_EQ(
      log_messages(log.text()),
      "W test.dbc:11: statement skipped: not of the form BO_ <id> <name>: <size> <sender>\n"
      "W test.dbc:30: statement skipped: \"FOO_\" is no DBC keyword\n"
      "I test.dbc: \"BusType\" attribute not found. Defaulting to \"CAN\"\n"
      "W test.dbc:9: signal Far of message M skipped: it does not fit into the message's 8 "
      "bytes\n"
      "W test.dbc:12: signal B skipped: the message statement on line 11 was not understood\n"
      "W test.dbc:10: signal Orphan of message M skipped: the message has no multiplexor (M) for "
      "it\n"
      "W test.dbc:15: signal C of message Muxed skipped: its multiplexor Nowhere is not a "
      "multiplexor (M) of the message\n"
      "W test.dbc:28: multiplexor range 2-1 of signal D left out\n"
      "W test.dbc:16: signal D of message Muxed skipped: no multiplexor range of line 28 can be "
      "used\n"
      "W test.dbc:29: multiplexor ranges skipped: message 9 has no signal Ghost\n"
      "I test.dbc: 2 messages and 2 signals loaded; skipped: 4 lines, 0 messages, 5 signals\n");
}

// Numbers beyond what a message or signal holds, and digits of other scripts, are reported and
// never read as other numbers.
TEST(DbcDialect, NumbersBeyondTheirFieldsAreReported) {
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(HEADER +
                       "BO_ 1 Big: 99999999999 X\n"
                       " SG_ A : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       "BO_ 2 M: 8 X\n"
                       " SG_ Sel M : 0|8@1+ (1,0) [0|255] \"\" X\n"
                       " SG_ Far m99999999999 : 8|8@1+ (1,0) [0|255] \"\" X\n"
                       " SG_ Arabic : \xD9\xA3|8@1+ (1,0) [0|255] \"\" X\n"
                       "BO_ \xD9\xA3 Three: 8 X\n");
  ASSERT_TRUE(db);
  EXPECT_EQ(describe(db.get()), "CAN\n00000002 M 8: Sel\n");
  EXPECT_EQ(log_messages(log.text()),
            "W test.dbc:5: message Big skipped: size 99999999999 is too large\n"
            "W test.dbc:9: signal Far skipped: multiplexor value 99999999999 is too large\n"
            "W test.dbc:10: statement skipped: not of the form SG_ <name> [M|m<value>] : "
            "<start>|<length>@<order><sign> (<factor>,<offset>) [<minimum>|<maximum>] <unit> "
            "<receivers>\n"
            "W test.dbc:11: statement skipped: not of the form BO_ <id> <name>: <size> <sender>\n"
            "W test.dbc:6: signal A skipped: the message statement on line 5 was not understood\n");
}

// ---------------------------------------------------------------------------------------------
// Random messages against a bit-level model

struct ModelSignal {
  std::string name;
  bool motorola, is_signed, is_mux;
  int type;           // 0 integer, 1 float, 2 double
  int start, length;  // DBC start bit: Intel the least, Motorola the most significant bit
  double factor, offset;
  int mux;  // index of its multiplexor in the message, -1: none
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
};

struct ModelMessage {
  uint32_t id;
  bool extended;
  int size;
  std::vector<ModelSignal> signals;
};

// Writes the raw bits into the frame straight from the DBC numbering: Intel bit i of the value
// at bit start + i; Motorola from the most significant bit down through each byte, then on to
// bit 7 of the next byte.
void model_encode(std::vector<uint8_t>& frame, const ModelSignal& s, uint64_t raw) {
  int pos = s.start;
  for (int i = 0; i < s.length; ++i) {
    uint64_t bit = raw >> (s.motorola ? s.length - 1 - i : i) & 1;
    frame[pos / 8] = static_cast<uint8_t>((frame[pos / 8] & ~(1 << pos % 8)) | bit << pos % 8);
    pos = !s.motorola ? pos + 1 : pos % 8 == 0 ? pos + 15 : pos - 1;
  }
}

double model_value(const ModelSignal& s, uint64_t raw) {
  if (s.type == 1) return std::bit_cast<float>(static_cast<uint32_t>(raw)) * s.factor + s.offset;
  if (s.type == 2) return std::bit_cast<double>(raw) * s.factor + s.offset;
  if (s.is_signed && s.length < 64 && raw >> (s.length - 1) & 1) raw |= ~uint64_t{0} << s.length;
  double v =
      s.is_signed ? static_cast<double>(static_cast<int64_t>(raw)) : static_cast<double>(raw);
  return v * s.factor + s.offset;
}

// Signals side by side in the frame: a multiplexor of a few bits first, then signals that it
// (or a multiplexor inside one of its branches) selects by one or several ranges.
ModelMessage random_message(std::mt19937& rng, int index) {
  static const double FACTORS[] = {1, 0.1, 0.25, -0.5, 1e-3, 3.5, 100};
  static const double OFFSETS[] = {0, -40, 100.5, -1e3, 0.125};
  ModelMessage m{};
  m.extended = rng() % 2;
  m.id =
      m.extended ? 0x800u + static_cast<uint32_t>(index) * 0x10001u : static_cast<uint32_t>(index);
  m.size = 1 + static_cast<int>(rng() % 64);
  int next = 0, nested = -1;
  for (int k = 0; k < 8; ++k) {
    ModelSignal s{};
    s.name = "S" + std::to_string(index) + "_" + std::to_string(k);
    s.type = rng() % 6 == 0 ? 1 + static_cast<int>(rng() % 2) : 0;
    s.length = s.type ? 32 * s.type : 1 + static_cast<int>(rng() % 64);
    s.is_mux = k == 0 || (k == 1 && rng() % 2);
    if (s.is_mux) s.type = 0, s.length = 1 + static_cast<int>(rng() % 4);
    s.motorola = rng() % 2;
    // Intel counts bits from the least, Motorola from the most significant end of a byte: a
    // change of order starts a new byte, so that no two fields share a bit.
    if (k > 0 && s.motorola != m.signals.back().motorola) next = (next + 7) / 8 * 8;
    int first = next + static_cast<int>(rng() % 4);  // the field's first bit in its order
    if (first + s.length > m.size * 8) break;
    next = first + s.length;
    s.start = s.motorola ? (first / 8) * 8 + 7 - first % 8 : first;
    s.is_signed = !s.is_mux && rng() % 2;
    s.factor = s.is_mux ? 1 : FACTORS[rng() % 7];
    s.offset = s.is_mux ? 0 : OFFSETS[rng() % 5];
    s.mux = k == 0 ? -1 : k == 1 || nested < 0 || rng() % 2 ? 0 : nested;
    if (k == 1 && s.is_mux) nested = 1;
    for (int r = 1 + static_cast<int>(rng() % 3); k > 0 && r > 0; --r) {
      uint32_t values = 1u << m.signals[s.mux].length;
      uint32_t low = static_cast<uint32_t>(rng() % values);
      s.ranges.push_back({low, low + static_cast<uint32_t>(rng() % (values - low))});
    }
    m.signals.push_back(s);
  }
  return m;
}

std::string gap(std::mt19937& rng, bool required) {
  static const char* const GAPS[] = {"", " ", "  ", "\t", " \t "};
  return GAPS[required ? 1 + rng() % 4 : rng() % 5];
}

// A double as C writes it in one of several forms, each reading back exactly.
std::string spell(double v, std::mt19937& rng) {
  static const char* const FORMS[] = {"%.17g", "%+.17g", "%.17e", "%+.16E", "%.20g"};
  char text[64];
  snprintf(text, sizeof text, FORMS[rng() % 5], v);
  return text;
}

// The message as DBC text with random spacing and number forms; its SG_MUL_VAL_ and
// SIG_VALTYPE_ statements go to `tail`. A multiplexed signal of the first multiplexor with one
// value is written m<value> alone.
std::string render(const ModelMessage& m, std::mt19937& rng, std::string* tail) {
  std::string id = std::to_string(m.extended && rng() % 2 ? m.id | 0x80000000u : m.id);
  std::string out = "BO_" + gap(rng, true) + id + gap(rng, true) + "M" + id + gap(rng, false) +
                    ":" + gap(rng, false) + std::to_string(m.size) + gap(rng, true) + "X\n";
  for (const ModelSignal& s : m.signals) {
    bool simple = s.mux == 0 && s.ranges.size() == 1 && s.ranges[0].first == s.ranges[0].second;
    std::string indicator = s.mux < 0 ? "" : "m" + std::to_string(simple ? s.ranges[0].first : 0);
    if (s.is_mux) indicator += "M";
    if (s.mux >= 0 && !simple) {
      *tail += "SG_MUL_VAL_ " + id + " " + s.name + " " + m.signals[s.mux].name + " ";
      for (size_t r = 0; r < s.ranges.size(); ++r)
        *tail += (r ? ", " : "") + std::to_string(s.ranges[r].first) + "-" +
                 std::to_string(s.ranges[r].second);
      *tail += ";\n";
    }
    if (s.type)
      *tail += "SIG_VALTYPE_ " + id + " " + s.name + " : " + std::to_string(s.type) + ";\n";
    out += gap(rng, false) + "SG_" + gap(rng, true) + s.name +
           (indicator.empty() ? "" : gap(rng, true) + indicator) + gap(rng, false) + ":" +
           gap(rng, false) + std::to_string(s.start) + "|" + std::to_string(s.length) + "@" +
           (s.motorola ? "0" : "1") + (s.is_signed ? "-" : "+") + gap(rng, false) + "(" +
           spell(s.factor, rng) + "," + gap(rng, false) + spell(s.offset, rng) + ")" +
           gap(rng, false) + "[" + spell(-1e9, rng) + "|" + spell(1e9, rng) + "]" + gap(rng, true) +
           "\"\"" + gap(rng, true) + "X\n";
  }
  return out;
}

TEST(DbcDialect, RandomMessagesDecodeAsTheBitLevelModel) {
  std::mt19937 rng(2024);
  test::LogCapture log(LOG_WARN);
  for (int round = 0; round < 200; ++round) {
    std::vector<ModelMessage> messages;
    std::string text = HEADER, tail;
    for (int i = 0; i < 1 + static_cast<int>(rng() % 4); ++i) {
      messages.push_back(random_message(rng, i));
      text += render(messages.back(), rng, &tail) + (rng() % 3 ? "" : "CM_ \"a;\nb\";\n");
    }
    DbPtr db = load_text(text + tail);
    ASSERT_TRUE(db) << text + tail;
    for (const ModelMessage& m : messages) {
      for (int frame = 0; frame < 8; ++frame) {
        std::vector<uint8_t> f(static_cast<size_t>(m.size));
        for (uint8_t& b : f) b = static_cast<uint8_t>(rng());
        std::vector<uint64_t> raws;
        std::map<std::string, double> expected, decoded;
        for (const ModelSignal& s : m.signals) {
          uint64_t raw = (static_cast<uint64_t>(rng()) << 32 | rng()) >> (64 - s.length);
          if (s.type == 1) raw = std::bit_cast<uint32_t>(static_cast<float>(raw % 2000000) / 7);
          if (s.type == 2) raw = std::bit_cast<uint64_t>(static_cast<double>(raw % 2000000) / 7);
          model_encode(f, s, raw);
          raws.push_back(raw);
          bool selected = s.mux < 0;
          for (auto [low, high] : s.ranges)
            selected |=
                expected.count(m.signals[s.mux].name) && low <= raws[s.mux] && raws[s.mux] <= high;
          if (selected) expected[s.name] = model_value(s, raw);
        }
        DecodedMessage* d =
            message_db_decode(db.get(), can_message_key(m.id, m.extended), f.data(), f.size());
        ASSERT_TRUE(d) << text + tail;
        for (const DecodedValue* v = decoded_values_first(d); v; v = decoded_values_next(v))
          decoded[std::string(v->name)] = v->value;
        decoded_message_free(d);
        ASSERT_EQ(decoded, expected) << text + tail;
      }
    }
  }
  EXPECT_EQ(log.text(), "");
}

}  // namespace

namespace {

DbPtr load_with_value_tables(const std::string& text) {
  std::unique_ptr<Stream, StreamCloser> s(memory_stream_new());
  if (!s || stream_write(s.get(), text.data(), text.size()) != int64_t(text.size())) return nullptr;
  stream_seek(s.get(), 0, SEEK_FROM_START);
  return DbPtr(dbc_load(s.get(), "test.dbc", true));
}

// The text of a raw value of a signal of message 1, or "-" when there is none.
std::string value_text(const MessageDatabase* db, const char* signal, double raw) {
  const ValueTableHead* head = value_tables_find(&db->value_tables, 1, string_hash(signal));
  std::string_view text;
  return value_tables_text(&db->value_tables, head, raw, &text) ? std::string(text) : "-";
}

}  // namespace

TEST(DbcValueTables, ReadOnlyWhenAskedForTheFirstTextOfARawValueWins) {
  const std::string text = HEADER +
                           "BO_ 1 M: 8 X\n"
                           " SG_ A : 0|8@1- (1,0) [0|0] \"\" X\n"
                           " SG_ B : 8|8@1+ (1,0) [0|0] \"\" X\n"
                           "VAL_ 1 A -3 \"minus three\" 2 \"two\" 2 \"again\" 5 \"a;b \\\"q\\\"\" "
                           "6 \"90\xB0"
                           "C\" 7 \"90\xC2\xB0"
                           "C\" ;\n"
                           "VAL_ 1 A 0 \"later\" ;\n"
                           "VAL_ 1 Ghost 0 \"x\" ;\n"
                           "VAL_ Env 0 \"e\" ;\n"
                           "VAL_ 1 B zero \"bad\" ;\n";
  {
    test::LogCapture log(LOG_WARN);
    DbPtr db = load_with_value_tables(text);
    ASSERT_TRUE(db);
    EXPECT_EQ(value_text(db.get(), "A", -3), "minus three");
    EXPECT_EQ(value_text(db.get(), "A", 2), "two");
    EXPECT_EQ(value_text(db.get(), "A", 5), "a;b \"q\"");
    EXPECT_EQ(value_text(db.get(), "A", 6),
              "90\xC2\xB0"
              "C");  // Latin-1 becomes UTF-8
    EXPECT_EQ(value_text(db.get(), "A", 7),
              "90\xC2\xB0"
              "C");
    EXPECT_EQ(value_text(db.get(), "A", 0), "-");  // only in the repeated line
    EXPECT_EQ(value_text(db.get(), "A", 2.5), "-");
    EXPECT_EQ(value_text(db.get(), "B", 0), "-");
    EXPECT_EQ(log_messages(log.text()),
              "W test.dbc:12: statement skipped: not of the form VAL_ <message id> <signal> <raw> "
              "\"<text>\" ...;\n"
              "W test.dbc:9: value table of signal A skipped: line 8 gives it already\n"
              "W test.dbc:10: value table skipped: message 1 has no signal Ghost\n");
  }
  // Without the option the statements stay unread, as they always were.
  test::LogCapture log(LOG_WARN);
  DbPtr db = load_text(text);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->value_tables.heads.count, 0);
  EXPECT_EQ(log.text(), "");
}
