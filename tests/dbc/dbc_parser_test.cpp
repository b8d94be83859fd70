// DBC loading: the fixture files, attribute resolution, multiplexing, failure messages and
// hostile input.
#include "dbc/dbc_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dbc_test_helpers.h"
#include "io/stream.h"
#include "support/log_capture.h"

namespace {

using test::DbPtr;
using test::decode_text;
using test::describe;
using test::describe_list;
using test::load_fixture;
using test::load_text;

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
    if (dynstring_sv(&v->name) == "Array_Timestamp") {
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
  EXPECT_EQ(test::log_messages(log.text()),
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
  EXPECT_EQ(test::log_messages(log.text()),
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

}  // namespace
