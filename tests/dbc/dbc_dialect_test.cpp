// DBC files as editors, generators and colleagues write them: white space, number forms,
// identifiers, multiplexor ranges, bus types, long names, float signals, limits, the reports of
// what is not used, and random messages decoded against a bit-level model.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dbc_test_helpers.h"
#include "support/log_capture.h"

namespace {

using test::DbPtr;
using test::decode_text;
using test::describe;
using test::load_text;

const std::string HEADER = "VERSION \"\"\nNS_ :\nBS_:\nBU_: X\n";

// The decoded value of one signal, or null.
const DecodedValue* find_value(const DecodedMessage* m, const std::string& name) {
  for (const DecodedValue* v = decoded_values_first(m); v; v = decoded_values_next(v))
    if (dynstring_sv(&v->name) == name) return v;
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
  EXPECT_EQ(test::log_messages(log.text()),
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
  EXPECT_EQ(test::log_messages(log.text()),
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
  EXPECT_EQ(test::log_messages(log.text()),
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
      test::log_messages(log.text()),
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

// ---------------------------------------------------------------------------------------------
// Random messages against a bit-level model

struct ModelSignal {
  std::string name;
  bool motorola, is_signed;
  int type;           // 0 integer, 1 float, 2 double
  int start, length;  // DBC start bit
  double factor, offset;
  int mux;  // index of its multiplexor in the message, -1: none
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  bool is_mux;
};

// The field's raw bits straight from the DBC numbering: Intel bit k of byte k / 8 weighs 2^i for
// the i-th bit from the start; Motorola starts at the most significant bit and walks down each
// byte, then on to bit 7 of the next byte.
uint64_t model_bits(const std::vector<uint8_t>& frame, const ModelSignal& s) {
  uint64_t raw = 0;
  int pos = s.start;
  for (int i = 0; i < s.length; ++i) {
    uint64_t bit = (frame[pos / 8] >> (pos % 8)) & 1;
    if (s.motorola) {
      raw = (raw << 1) | bit;
      pos = pos % 8 == 0 ? pos + 15 : pos - 1;
    } else {
      raw |= bit << i;
      ++pos;
    }
  }
  return raw;
}

double model_raw(const std::vector<uint8_t>& frame, const ModelSignal& s) {
  uint64_t bits = model_bits(frame, s);
  if (s.type == 1) return std::bit_cast<float>(static_cast<uint32_t>(bits));
  if (s.type == 2) return std::bit_cast<double>(bits);
  if (s.is_signed && s.length < 64 && (bits >> (s.length - 1)) & 1)
    bits |= ~uint64_t{0} << s.length;
  return s.is_signed ? static_cast<double>(static_cast<int64_t>(bits)) : static_cast<double>(bits);
}

// A double as C writes it in one of several forms, each reading back exactly.
std::string spell(double v, std::mt19937& rng) {
  static const char* const FORMS[] = {"%.17g", "%+.17g", "%.17e", "%+.16E", "%.20g"};
  char text[64];
  snprintf(text, sizeof text, FORMS[rng() % 5], v);
  return text;
}

std::string gap(std::mt19937& rng, bool required) {
  static const char* const GAPS[] = {"", " ", "  ", "\t", " \t "};
  return GAPS[required ? 1 + rng() % 4 : rng() % 5];
}

struct ModelMessage {
  uint32_t id;
  bool extended;
  int size;
  std::vector<ModelSignal> signals;
};

ModelMessage random_message(std::mt19937& rng, int index) {
  static const int SIZES[] = {1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 24, 32, 48, 64};
  static const double FACTORS[] = {1, 0.1, 0.25, -0.5, 1e-3, 3.5, 100};
  static const double OFFSETS[] = {0, -40, 100.5, -1e3, 0.125};
  ModelMessage m{};
  m.extended = rng() % 2;
  m.id =
      m.extended ? 0x800u + static_cast<uint32_t>(index) * 0x10001u : static_cast<uint32_t>(index);
  m.size = SIZES[rng() % 14];
  int mux_top = -1, mux_nested = -1;
  int count = 1 + static_cast<int>(rng() % 8);
  for (int k = 0; k < count; ++k) {
    ModelSignal s{};
    s.name = "S" + std::to_string(index) + "_" + std::to_string(k);
    s.type = m.size >= 8 && rng() % 5 == 0 ? 1 + static_cast<int>(rng() % 2) : 0;
    s.length = s.type == 1   ? 32
               : s.type == 2 ? 64
                             : 1 + static_cast<int>(rng() % std::min(64, m.size * 8));
    s.motorola = rng() % 2;
    s.is_signed = rng() % 2;
    s.factor = FACTORS[rng() % 7];
    s.offset = OFFSETS[rng() % 5];
    // An Intel field starts at its least significant bit, a Motorola one at its most
    // significant bit; both are placed by their first sequential bit.
    int first = static_cast<int>(rng() % static_cast<uint32_t>(m.size * 8 - s.length + 1));
    s.start = s.motorola ? (first / 8) * 8 + 7 - first % 8 : first;
    s.mux = -1;
    if (s.type == 0 && s.length <= 6 && mux_top < 0) {
      s.is_mux = true;
      s.is_signed = false;
      s.factor = 1;
      s.offset = 0;
      mux_top = k;
    } else if (mux_top >= 0 && rng() % 2) {
      uint32_t top_values = 1u << m.signals[mux_top].length;
      bool nested = mux_nested >= 0 && rng() % 2;
      s.mux = nested ? mux_nested : mux_top;
      uint32_t values = nested ? 1u << m.signals[mux_nested].length : top_values;
      int ranges = 1 + static_cast<int>(rng() % 3);
      for (int r = 0; r < ranges; ++r) {
        uint32_t low = rng() % values, high = low + rng() % (values - low);
        s.ranges.push_back({low, r == 0 && !nested && rng() % 2 ? low : high});
      }
      if (!nested && s.type == 0 && s.length <= 4 && mux_nested < 0) {
        s.is_mux = true;  // a multiplexor inside a branch of the first
        s.is_signed = false;
        s.factor = 1;
        s.offset = 0;
        s.ranges.resize(1);
        mux_nested = k;
      }
    }
    m.signals.push_back(s);
  }
  return m;
}

// The message as DBC text: a single-value range without nesting as m<value>, every other
// multiplexed signal with its SG_MUL_VAL_ line.
std::string render(const ModelMessage& m, std::mt19937& rng, std::string* tail) {
  uint32_t written = m.extended && (m.id <= 0x7FF || rng() % 2) ? m.id | 0x80000000u : m.id;
  std::string id = std::to_string(written);
  std::string out = "BO_" + gap(rng, true) + id + gap(rng, true) + "M" + id + gap(rng, false) +
                    ":" + gap(rng, false) + std::to_string(m.size) + gap(rng, true) + "X\n";
  for (const ModelSignal& s : m.signals) {
    std::string indicator;
    bool simple = s.mux >= 0 && s.ranges.size() == 1 && s.ranges[0].first == s.ranges[0].second &&
                  m.signals[s.mux].mux < 0;
    if (s.mux >= 0) indicator = "m" + std::to_string(simple ? s.ranges[0].first : 0);
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

bool model_selected(const ModelMessage& m, const ModelSignal& s, const std::vector<uint8_t>& f) {
  if (s.mux < 0) return true;
  const ModelSignal& mux = m.signals[s.mux];
  if (!model_selected(m, mux, f)) return false;
  double value = model_raw(f, mux);
  for (auto [low, high] : s.ranges)
    if (low <= value && value <= high) return true;
  return false;
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
        std::map<std::string, double> expected, decoded;
        for (const ModelSignal& s : m.signals)
          if (model_selected(m, s, f)) expected[s.name] = model_raw(f, s) * s.factor + s.offset;
        DecodedMessage* d =
            message_db_decode(db.get(), can_message_key(m.id, m.extended), f.data(), f.size());
        ASSERT_TRUE(d) << text + tail;
        for (const DecodedValue* v = decoded_values_first(d); v; v = decoded_values_next(v))
          decoded[std::string(dynstring_sv(&v->name))] = v->value;
        decoded_message_free(d);
        // NaN payloads of float signals compare by their presence only.
        for (auto& [name, value] : expected)
          if (value != value && decoded.count(name) && decoded[name] != decoded[name])
            decoded[name] = value = 0;
        ASSERT_EQ(decoded, expected) << text + tail;
      }
    }
  }
  EXPECT_EQ(log.text(), "");
}

}  // namespace
