// End to end: J1939 transport sessions in a generated log become rows of their parameter group
// and source address; broken ones give no row and one warning per channel and reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

constexpr uint64_t START = (1699315200ULL + 3600) * 1000000000ULL;  // 2023-11-07 01:00 UTC

// EngCfg (PGN 0xFEE3, 20 bytes): First (bytes 0-1) and Last (bytes 18-19); Req (PDU1 PGN
// 0xC300, 10 bytes): Value (bytes 8-9); EEC1 as a single frame.
const char* const DBC =
    "VERSION \"\"\n\n"
    "BO_ 2566841088 EngCfg: 20 ECU\n"
    " SG_ First : 0|16@1+ (1,0) [0|65535] \"\" X\n"
    " SG_ Last : 144|16@1+ (1,0) [0|65535] \"\" X\n\n"
    "BO_ 2562916352 Req: 10 ECU\n"
    " SG_ Value : 64|16@1+ (1,0) [0|65535] \"\" X\n\n"
    "BO_ 2364539904 EEC1: 8 ECU\n"
    " SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" X\n\n"
    "BA_DEF_  \"ProtocolType\" STRING ;\n"
    "BA_ \"ProtocolType\" \"J1939\";\n";

struct Message {
  uint32_t pgn;
  std::vector<uint8_t> bytes;
};

Message eng_cfg(uint8_t seed) {
  Message m{0xFEE3, std::vector<uint8_t>(20)};
  for (size_t i = 0; i < m.bytes.size(); ++i) m.bytes[i] = uint8_t(seed + i * 3);
  return m;
}
Message req(uint8_t seed) {
  Message m{0xC300, std::vector<uint8_t>(10)};
  for (size_t i = 0; i < m.bytes.size(); ++i) m.bytes[i] = uint8_t(seed ^ (i * 11));
  return m;
}

// The test's own reference: a little-endian 16-bit value, and a row as the converter prints it.
int u16(const std::vector<uint8_t>& b, size_t at) { return b[at] | (b[at + 1] << 8); }
std::string row(double t, std::vector<int> values) {
  char text[64];
  snprintf(text, sizeof text, "%.6f", 1699318800.0 + t);
  std::string line = text;
  for (int v : values) line += "," + std::to_string(v) + ".000000";
  return line + "\n";
}

struct Bus {
  test::BusLogBuilder log;
  void cm(uint8_t source, uint8_t destination, std::vector<uint8_t> d, double t) {
    log.add_can_frame(2, 0x18EC0000u | (destination << 8) | source, true, d, t);
  }
  void announce(uint8_t control, uint8_t source, uint8_t destination, const Message& m, double t) {
    auto size = m.bytes.size();
    cm(source, destination,
       {control, uint8_t(size), uint8_t(size >> 8), uint8_t((size + 6) / 7), 0xFF, uint8_t(m.pgn),
        uint8_t(m.pgn >> 8), uint8_t(m.pgn >> 16)},
       t);
  }
  // Packet n (from 1) of the message, the last one padded with 0xFF.
  void packet(uint8_t source, uint8_t destination, const Message& m, uint8_t n, double t) {
    std::vector<uint8_t> d(8, 0xFF);
    d[0] = n;
    for (size_t i = 0; i < 7 && (n - 1) * 7 + i < m.bytes.size(); ++i)
      d[1 + i] = m.bytes[(n - 1) * 7 + i];
    log.add_can_frame(2, 0x18EB0000u | (destination << 8) | source, true, d, t);
  }
};

TEST(J1939Transport, ReassemblesSessionsAndCountsBrokenOnes) {
  test::TempDir dir;
  test::make_dirs(dir.file("logs"));
  test::write_file(dir.file("j1939.dbc"), std::string(DBC));
  Message a = eng_cfg(1), b = eng_cfg(100), c = req(0x5A), lost = eng_cfg(7);
  Bus one;
  one.log.start_time_ns(START).metadata(0xC0FFEE, 1, 1);
  // Two interleaved broadcasts with a single frame in between.
  one.announce(0x20, 0x21, 0xFF, a, 0.00);
  one.announce(0x20, 0x33, 0xFF, b, 0.01);
  one.packet(0x21, 0xFF, a, 1, 0.02);
  one.packet(0x33, 0xFF, b, 1, 0.03);
  one.log.add_can_frame(2, 0x0CF00421, true, {0, 0, 0, 0x40, 0x1F, 0, 0, 0}, 0.04);
  one.packet(0x21, 0xFF, a, 2, 0.05);
  one.packet(0x33, 0xFF, b, 2, 0.06);
  one.packet(0x21, 0xFF, a, 3, 0.07);
  one.packet(0x33, 0xFF, b, 3, 0.08);
  // Connection mode with CTS and acknowledgement.
  one.announce(0x10, 0x44, 0x55, c, 1.00);
  one.cm(0x55, 0x44, {0x11, 2, 1, 0xFF, 0xFF, 0x00, 0xC3, 0x00}, 1.01);
  one.packet(0x44, 0x55, c, 1, 1.02);
  one.packet(0x44, 0x55, c, 2, 1.03);
  one.cm(0x55, 0x44, {0x13, 10, 0, 2, 0xFF, 0x00, 0xC3, 0x00}, 1.04);
  // Lost packet, abort, timeout.
  one.announce(0x20, 0x21, 0xFF, lost, 2.00);
  one.packet(0x21, 0xFF, lost, 1, 2.01);
  one.packet(0x21, 0xFF, lost, 3, 2.02);
  one.announce(0x10, 0x44, 0x55, c, 3.00);
  one.packet(0x44, 0x55, c, 1, 3.01);
  one.cm(0x55, 0x44, {0xFF, 3, 0xFF, 0xFF, 0xFF, 0x00, 0xC3, 0x00}, 3.02);
  one.packet(0x44, 0x55, c, 2, 3.03);
  one.announce(0x20, 0x33, 0xFF, lost, 4.00);
  one.packet(0x33, 0xFF, lost, 1, 4.01);
  one.packet(0x33, 0xFF, lost, 2, 4.90);
  one.packet(0x33, 0xFF, lost, 3, 4.91);
  // Cut by the end of the split file: the rest is in the next one.
  one.announce(0x20, 0x21, 0xFF, lost, 5.00);
  one.packet(0x21, 0xFF, lost, 1, 5.01);
  Bus two;
  two.log.start_time_ns(START + 6000000000ULL).metadata(0xC0FFEE, 1, 2);
  two.packet(0x21, 0xFF, lost, 2, 0.0);
  two.packet(0x21, 0xFF, lost, 3, 0.01);
  two.log.add_can_frame(2, 0x0CF00421, true, {0, 0, 0, 0x80, 0x3E, 0, 0, 0}, 0.02);
  ASSERT_TRUE(test::write_file(dir.file("logs/1.MF4"), one.log.build()));
  ASSERT_TRUE(test::write_file(dir.file("logs/2.MF4"), two.log.build()));

  auto result =
      test::run(TABULON_BINARY, {"--dbc-can2=j1939.dbc", "--verbosity=2", "logs"}, dir.path);
  ASSERT_EQ(result.status, 0) << result.err;
  std::string out = dir.file("00C0FFEE_out/");
  std::string day = "/2023/11/07/00000001_00000001.csv";
  EXPECT_EQ(test::read_text(out + "CAN2_EngCfg_S21" + day),
            "t,First,Last\n" + row(0.07, {u16(a.bytes, 0), u16(a.bytes, 18)}));
  EXPECT_EQ(test::read_text(out + "CAN2_EngCfg_S33" + day),
            "t,First,Last\n" + row(0.08, {u16(b.bytes, 0), u16(b.bytes, 18)}));
  EXPECT_EQ(test::read_text(out + "CAN2_Req_S44" + day),
            "t,Value\n" + row(1.03, {u16(c.bytes, 8)}));
  EXPECT_EQ(test::read_text(out + "CAN2_EEC1_S21" + day),
            "t,EngineSpeed\n" + row(0.04, {1000}) + row(6.02, {2000}));
  // The second split file's packets belong to no session: only its single frame gives a row.
  EXPECT_EQ(test::list_files(dir.file("00C0FFEE_out")).size(), 4u);
  for (const char* reason : {"(missing or repeated packet)", "(aborted)", "(timeout)",
                             "(unfinished at the end of the input or of its part)"}) {
    std::string line =
        std::string("CAN channel 2: 1 J1939 transport session gave no message ") + reason;
    auto at = result.err.find(line);
    EXPECT_NE(at, std::string::npos) << line << "\n" << result.err;
    EXPECT_EQ(result.err.find(line, at + 1), std::string::npos) << line;
  }
}

}  // namespace
