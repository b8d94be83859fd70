// Checks the test MF4 writer byte by byte with a small independent block walker, so that the
// reader's tests do not rest on an unchecked writer.
#include "support/mf4_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using test::BusLogBuilder;
using test::Mf4Writer;

uint64_t le(const std::vector<uint8_t>& f, uint64_t at, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | f.at(at + i);
  return v;
}

double f64_at(const std::vector<uint8_t>& f, uint64_t at) {
  uint64_t bits = le(f, at, 8);
  double d;
  memcpy(&d, &bits, 8);
  return d;
}

struct RawBlock {
  uint64_t at = 0;
  std::string id;
  uint64_t length = 0;
  std::vector<uint64_t> links;
  uint64_t data = 0;  // absolute offset of the data section
};

RawBlock raw_block(const std::vector<uint8_t>& f, uint64_t at) {
  RawBlock b;
  b.at = at;
  b.id.assign(f.begin() + static_cast<long>(at), f.begin() + static_cast<long>(at) + 4);
  b.length = le(f, at + 8, 8);
  uint64_t n = le(f, at + 16, 8);
  for (uint64_t i = 0; i < n; ++i) b.links.push_back(le(f, at + 24 + 8 * i, 8));
  b.data = at + 24 + 8 * n;
  return b;
}

std::string text_of(const std::vector<uint8_t>& f, uint64_t at) {
  RawBlock b = raw_block(f, at);
  return std::string(reinterpret_cast<const char*>(f.data() + b.data));  // zero-terminated
}

// Every block reachable from the HD, checked for alignment, bounds and a known identifier.
std::map<uint64_t, RawBlock> walk(const std::vector<uint8_t>& f) {
  static const std::set<std::string> known = {"##HD", "##FH", "##DG", "##CG", "##CN", "##CC",
                                              "##SI", "##TX", "##MD", "##DT", "##SD"};
  std::map<uint64_t, RawBlock> seen;
  std::vector<uint64_t> todo = {64};
  while (!todo.empty()) {
    uint64_t at = todo.back();
    todo.pop_back();
    if (seen.count(at)) continue;
    EXPECT_EQ(at % 8, 0u) << at;
    EXPECT_LE(at + 24, f.size()) << at;
    if (at % 8 || at + 24 > f.size()) continue;
    RawBlock b = raw_block(f, at);
    EXPECT_TRUE(known.count(b.id)) << b.id << " at " << at;
    EXPECT_LE(at + b.length, f.size()) << b.id << " at " << at;
    for (uint64_t l : b.links)
      if (l) todo.push_back(l);
    seen[at] = b;
  }
  return seen;
}

std::vector<RawBlock> chain(const std::vector<uint8_t>& f, uint64_t first) {
  std::vector<RawBlock> out;
  for (uint64_t at = first; at && out.size() < 1000; at = raw_block(f, at).links[0])
    out.push_back(raw_block(f, at));
  return out;
}

TEST(Mf4WriterBlocks, IdBlockAndFirstBlockAt64) {
  Mf4Writer w({.file_id = "UnFinMF", .unfinalised_flags = 5, .custom_unfinalised_flags = 9});
  EXPECT_EQ(w.size(), 64u);
  uint64_t hd = w.add_hd({.start_time_ns = 123});
  EXPECT_EQ(hd, 64u);
  const auto& f = w.bytes();
  EXPECT_EQ(std::string(f.begin(), f.begin() + 8), "UnFinMF ");
  EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 16), "4.11    ");
  EXPECT_EQ(le(f, 28, 2), 411u);
  EXPECT_EQ(le(f, 60, 2), 5u);
  EXPECT_EQ(le(f, 62, 2), 9u);
  w.set_file_id("MDF");
  w.set_unfinalised_flags(0);
  EXPECT_EQ(std::string(w.bytes().begin(), w.bytes().begin() + 8), "MDF     ");
  EXPECT_EQ(le(w.bytes(), 60, 2), 0u);
}

TEST(Mf4WriterBlocks, HeaderLinksDataAndAlignment) {
  Mf4Writer w;
  uint64_t a = w.add_block("XY", {7, 0, 9}, {1, 2, 3});
  uint64_t b = w.add_block("##DL", {}, {}, 1000);
  const auto& f = w.bytes();
  RawBlock ra = raw_block(f, a);
  EXPECT_EQ(ra.id, "##XY");
  EXPECT_EQ(ra.length, 24u + 24 + 3);
  EXPECT_EQ(ra.links, (std::vector<uint64_t>{7, 0, 9}));
  EXPECT_EQ(f[ra.data], 1);
  EXPECT_EQ(f[ra.data + 2], 3);
  EXPECT_EQ(b, 64u + 56);                    // 51 bytes rounded up to 8
  EXPECT_EQ(raw_block(f, b).length, 1000u);  // declared, not actual
  w.set_link(a, 1, b);
  EXPECT_EQ(w.link(a, 1), b);
  EXPECT_EQ(w.data_offset(a), a + 48);
  w.set_length(a, 17);
  EXPECT_EQ(w.length(a), 17u);
}

TEST(Mf4WriterBlocks, StandardLengthsOfEachKind) {
  Mf4Writer w;
  struct Case {
    uint64_t at;
    const char* id;
    uint64_t length, links;
  } cases[] = {
      {w.add_hd({}), "##HD", 104, 6},       {w.add_fh({}), "##FH", 56, 2},
      {w.add_dg({}), "##DG", 64, 4},        {w.add_cg({}), "##CG", 104, 6},
      {w.add_cn({}), "##CN", 160, 8},       {w.add_cc({}), "##CC", 80, 4},
      {w.add_si({}), "##SI", 56, 3},        {w.add_cc_linear(2, 1), "##CC", 96, 4},
      {w.add_tx("abc"), "##TX", 32, 0},     {w.add_md("<a/>"), "##MD", 32, 0},
      {w.add_tx("1234567"), "##TX", 32, 0}, {w.add_tx("12345678"), "##TX", 40, 0},
      {w.add_dt({1, 2, 3}), "##DT", 27, 0},
  };
  for (const Case& c : cases) {
    RawBlock b = raw_block(w.bytes(), c.at);
    EXPECT_EQ(b.id, c.id) << c.at;
    EXPECT_EQ(b.length, c.length) << c.id;
    EXPECT_EQ(b.links.size(), c.links) << c.id;
  }
  // Linear conversion: offset first, then factor.
  uint64_t cc = cases[7].at;
  EXPECT_EQ(le(w.bytes(), cc + 24 + 32 + 6, 2), 2u);  // value count
  EXPECT_EQ(f64_at(w.bytes(), cc + 80), 1.0);
  EXPECT_EQ(f64_at(w.bytes(), cc + 88), 2.0);
  EXPECT_EQ(text_of(w.bytes(), cases[8].at), "abc");
}

TEST(Mf4WriterBlocks, ChannelAndGroupFieldsAtTheirOffsets) {
  Mf4Writer w;
  uint64_t cn = w.add_cn({.channel_type = 1,
                          .sync_type = 1,
                          .data_type = 10,
                          .bit_offset = 3,
                          .byte_offset = 0x01020304,
                          .bit_count = 64,
                          .extra_links = {5, 6}});
  uint64_t cg = w.add_cg({.record_id = 7, .flags = 6, .data_bytes = 28, .invalidation_bytes = 2});
  uint64_t vcg = w.add_cg({.flags = 1, .vlsd_size = 0x100000002ULL});
  uint64_t sd = 0;
  std::vector<uint64_t> offsets;
  sd = w.add_sd({{1, 2}, {}, {3}}, &offsets);
  const auto& f = w.bytes();
  EXPECT_EQ(raw_block(f, cn).links.size(), 10u);
  uint64_t d = raw_block(f, cn).data;  // data section at block offset 88 for 8 links
  EXPECT_EQ(le(f, d, 1), 1u);
  EXPECT_EQ(le(f, d + 2, 1), 10u);
  EXPECT_EQ(le(f, d + 3, 1), 3u);
  EXPECT_EQ(le(f, d + 4, 4), 0x01020304u);
  EXPECT_EQ(le(f, d + 8, 4), 64u);
  EXPECT_EQ(le(f, cg + 72, 8), 7u);
  EXPECT_EQ(le(f, cg + 88, 2), 6u);
  EXPECT_EQ(le(f, cg + 96, 4), 28u);
  EXPECT_EQ(le(f, cg + 100, 4), 2u);
  EXPECT_EQ(le(f, vcg + 96, 8), 0x100000002ULL);
  EXPECT_EQ(offsets, (std::vector<uint64_t>{0, 6, 10}));
  EXPECT_EQ(raw_block(f, sd).length, 24u + 4 + 2 + 4 + 4 + 1);
  EXPECT_EQ(le(f, sd + 24 + 10, 4), 1u);
  EXPECT_EQ(le(f, sd + 24 + 14, 1), 3u);
}

// Channel names of a group in list order, composition members in place of their parent.
std::vector<std::string> leaf_names(const std::vector<uint8_t>& f, uint64_t first_cn) {
  std::vector<std::string> out;
  for (const RawBlock& cn : chain(f, first_cn)) {
    if (cn.links[1]) {
      for (const std::string& n : leaf_names(f, cn.links[1])) out.push_back(n);
    } else {
      out.push_back(cn.links[2] ? text_of(f, cn.links[2]) : "");
    }
  }
  return out;
}

TEST(BusLogBuilderLayout, SortedLogHasOneDataGroupPerFrameType) {
  BusLogBuilder log;
  log.start_time_ns(1'000'000'000).metadata(0x1A2B3C4D, 12, 3);
  log.add_can_frame(1, 0x100, false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.5);
  log.add_lin_frame(2, 0x21, {9, 8}, 0.75);
  log.add_can_frame(2, 0x1234567, true, {0xAA, 0xBB}, 1.0, {.dir = true});
  log.add_can_remote_frame(1, 0x1A0, false, 4, 1.5);
  log.add_can_error_frame(1, 3, 2.0);
  std::vector<uint8_t> f = log.build();
  auto blocks = walk(f);
  RawBlock hd = raw_block(f, 64);
  EXPECT_EQ(hd.id, "##HD");
  EXPECT_EQ(le(f, 64 + 72, 8), 1'000'000'000u);
  EXPECT_EQ(text_of(f, hd.links[5]),
            test::logger_comment_xml(0x1A2B3C4D, 12, 3, test::CommentStyle::Flat));
  EXPECT_NE(text_of(f, hd.links[5]).find(">1A2B3C4D</e>"), std::string::npos);
  EXPECT_EQ(raw_block(f, hd.links[1]).id, "##FH");

  std::vector<RawBlock> dgs = chain(f, hd.links[0]);
  ASSERT_EQ(dgs.size(), 4u);
  const std::vector<std::vector<std::string>> names = {
      {"Timestamp", "CAN_DataFrame.BusChannel", "CAN_DataFrame.ID", "CAN_DataFrame.IDE",
       "CAN_DataFrame.DLC", "CAN_DataFrame.DataLength", "CAN_DataFrame.DataBytes",
       "CAN_DataFrame.Dir", "CAN_DataFrame.EDL", "CAN_DataFrame.BRS", "CAN_DataFrame.ESI"},
      {"Timestamp", "CAN_RemoteFrame.BusChannel", "CAN_RemoteFrame.ID", "CAN_RemoteFrame.IDE",
       "CAN_RemoteFrame.DLC", "CAN_RemoteFrame.DataLength", "CAN_RemoteFrame.Dir"},
      {"Timestamp", "CAN_ErrorFrame.BusChannel", "CAN_ErrorFrame.ID", "CAN_ErrorFrame.IDE",
       "CAN_ErrorFrame.DLC", "CAN_ErrorFrame.DataLength", "CAN_ErrorFrame.DataBytes",
       "CAN_ErrorFrame.Dir", "CAN_ErrorFrame.ErrorType"},
      {"Timestamp", "LIN_Frame.BusChannel", "LIN_Frame.ID", "LIN_Frame.Dir",
       "LIN_Frame.ReceivedDataByteCount", "LIN_Frame.DataLength", "LIN_Frame.DataBytes"}};
  const uint32_t record_sizes[] = {28, 17, 26, 21};
  const uint32_t record_counts[] = {2, 1, 1, 1};
  for (size_t i = 0; i < dgs.size(); ++i) {
    EXPECT_EQ(le(f, dgs[i].data, 1), 0u);  // record-id size
    std::vector<RawBlock> cgs = chain(f, dgs[i].links[1]);
    ASSERT_EQ(cgs.size(), 1u);
    EXPECT_EQ(leaf_names(f, cgs[0].links[1]), names[i]);
    EXPECT_EQ(le(f, cgs[0].at + 96, 4), record_sizes[i]);
    RawBlock si = raw_block(f, cgs[0].links[3]);
    EXPECT_EQ(si.id, "##SI");
    EXPECT_EQ(le(f, si.data, 1), 2u);                    // bus source
    EXPECT_EQ(le(f, si.data + 1, 1), i == 3 ? 3u : 2u);  // LIN or CAN
    RawBlock dt = raw_block(f, dgs[i].links[2]);
    EXPECT_EQ(dt.id, "##DT");
    EXPECT_EQ(dt.length, 24u + record_sizes[i] * record_counts[i]);
  }
  // The second CAN data record: time, channel 2, id, IDE 1, DLC 2, DataLength 2, bytes, Dir 1.
  uint64_t r = raw_block(f, dgs[0].links[2]).data + 28;
  EXPECT_EQ(f64_at(f, r), 1.0);
  EXPECT_EQ(le(f, r + 8, 1), 2u);
  EXPECT_EQ(le(f, r + 9, 4), 0x1234567u);
  EXPECT_EQ(le(f, r + 13, 1), 1u);
  EXPECT_EQ(le(f, r + 14, 1), 2u);
  EXPECT_EQ(le(f, r + 15, 1), 2u);
  EXPECT_EQ(le(f, r + 16, 8), 0xBBAAu);
  EXPECT_EQ(le(f, r + 24, 1), 1u);
  // LIN record: channel 2, id 0x21, ..., DataLength 2, bytes 9 8.
  uint64_t lin = raw_block(f, dgs[3].links[2]).data;
  EXPECT_EQ(le(f, lin + 8, 1), 2u);
  EXPECT_EQ(le(f, lin + 9, 1), 0x21u);
  EXPECT_EQ(le(f, lin + 12, 1), 2u);
  EXPECT_EQ(le(f, lin + 13, 2), 0x0809u);
  // Every DT lies after every metadata block, the last one ending the file.
  RawBlock last = raw_block(f, dgs[3].links[2]);
  EXPECT_EQ(last.at + last.length, f.size());
}

TEST(BusLogBuilderLayout, UnsortedLogWithSignalDataAndVariableLengthGroup) {
  for (auto storage : {test::DataStorage::SignalData, test::DataStorage::VlsdGroup}) {
    BusLogBuilder log;
    log.layout(test::Layout::Unsorted, 2).can_data_storage(storage);
    std::vector<uint8_t> fd(64);
    for (size_t i = 0; i < fd.size(); ++i) fd[i] = static_cast<uint8_t>(i);
    log.add_canfd_frame(1, 0x400, false, fd, 0.25);
    log.add_can_error_frame(1, 2, 0.5);
    log.add_can_frame(1, 0x100, false, {7, 7, 7}, 0.75);
    std::vector<uint8_t> f = log.build();
    walk(f);
    std::vector<RawBlock> dgs = chain(f, raw_block(f, 64).links[0]);
    ASSERT_EQ(dgs.size(), 1u);
    EXPECT_EQ(le(f, dgs[0].data, 1), 2u);
    std::vector<RawBlock> cgs = chain(f, dgs[0].links[1]);
    bool vlsd_cg = storage == test::DataStorage::VlsdGroup;
    ASSERT_EQ(cgs.size(), vlsd_cg ? 3u : 2u);
    EXPECT_EQ(le(f, cgs[0].at + 72, 8), 1u);
    EXPECT_EQ(le(f, cgs[1].at + 72, 8), 2u);
    // The DataBytes channel: variable-length, its data link the store.
    std::vector<RawBlock> members = chain(f, cgs[0].links[1]);
    ASSERT_EQ(members.size(), 2u);  // Timestamp's successor is the composition parent
    RawBlock data_bytes = chain(f, members[1].links[1])[5];
    EXPECT_EQ(text_of(f, data_bytes.links[2]), "CAN_DataFrame.DataBytes");
    EXPECT_EQ(le(f, data_bytes.data, 1), 1u);  // channel type VLSD
    RawBlock store = raw_block(f, data_bytes.links[5]);
    EXPECT_EQ(store.id, vlsd_cg ? "##CG" : "##SD");
    uint32_t record = 8 + 12 + 8;  // time, fields, 8-byte offset
    EXPECT_EQ(le(f, cgs[0].at + 96, 4), record);
    RawBlock dt = raw_block(f, dgs[0].links[2]);
    uint64_t p = dt.data;
    EXPECT_EQ(le(f, p, 2), 1u);
    EXPECT_EQ(f64_at(f, p + 2), 0.25);
    EXPECT_EQ(le(f, p + 2 + 14, 1), 15u);  // DLC of 64 bytes
    EXPECT_EQ(le(f, p + 2 + 15, 1), 64u);
    EXPECT_EQ(le(f, p + 2 + 16, 8), 0u);  // offset of the first payload
    p += 2 + record;
    if (vlsd_cg) {
      EXPECT_EQ(le(f, p, 2), 3u);
      EXPECT_EQ(le(f, p + 2, 4), 64u);
      EXPECT_EQ(le(f, p + 6 + 63, 1), 63u);
      EXPECT_EQ(le(f, store.at + 88, 2), 1u);  // variable-length flag
      p += 2 + 4 + 64;
    } else {
      EXPECT_EQ(le(f, store.data, 4), 64u);
      EXPECT_EQ(le(f, store.data + 4 + 10, 1), 10u);
    }
    EXPECT_EQ(le(f, p, 2), 2u);  // the error frame
    p += 2 + 26;
    EXPECT_EQ(le(f, p, 2), 1u);
    EXPECT_EQ(le(f, p + 2 + 16, 8), 68u);  // the second payload follows 4 + 64 bytes
    p += 2 + record;
    if (vlsd_cg) p += 2 + 4 + 3;
    EXPECT_EQ(p, dt.at + dt.length);
  }
}

TEST(BusLogBuilderLayout, OptionsReachTheFile) {
  BusLogBuilder log;
  log.timestamp_ticks(1e-6)
      .invalidation_bytes(1)
      .extra_channel(test::FrameGroup::Lin, "LIN_Frame.Checksum", 0x5A)
      .flat_channels()
      .source_type(test::SOURCE_ECU)
      .comment_style(test::CommentStyle::Nested)
      .acquisition_name(test::FrameGroup::Lin, "LIN bus 1")
      .unfinalised();
  log.add_lin_frame(1, 0x10, {1, 2, 3, 4}, 0.000123);
  log.add_lin_frame(1, 0x10, {1, 2, 3, 4}, 0.5);
  std::vector<uint8_t> f = log.build();
  EXPECT_EQ(std::string(f.begin(), f.begin() + 8), "UnFinMF ");
  EXPECT_EQ(le(f, 60, 2), 5u);
  RawBlock hd = raw_block(f, 64);
  EXPECT_NE(text_of(f, hd.links[5]).find("<tree name="), std::string::npos);
  RawBlock dg = raw_block(f, hd.links[0]);
  RawBlock cg = raw_block(f, dg.links[1]);
  EXPECT_EQ(le(f, cg.at + 100, 4), 1u);
  EXPECT_EQ(text_of(f, cg.links[2]), "LIN bus 1");
  EXPECT_EQ(le(f, raw_block(f, cg.links[3]).data, 1), 1u);  // ECU source
  std::vector<RawBlock> cns = chain(f, cg.links[1]);
  ASSERT_EQ(cns.size(), 8u);  // Timestamp, six fields, the extra one; no composition
  EXPECT_EQ(text_of(f, cns[7].links[2]), "LIN_Frame.Checksum");
  RawBlock cc = raw_block(f, cns[0].links[4]);
  EXPECT_EQ(f64_at(f, cc.data + 24 + 8), 1e-6);
  RawBlock dt = raw_block(f, dg.links[2]);
  EXPECT_EQ(dt.length, 24u);  // left as an interrupted logger leaves it
  uint64_t stride = 8 + 13 + 1 + 1;
  EXPECT_EQ(dt.data + 2 * stride, f.size());
  EXPECT_EQ(le(f, dt.data, 8), 123u);
  EXPECT_EQ(le(f, dt.data + stride, 8), 500000u);
  EXPECT_EQ(le(f, dt.data + 21, 1), 0x5Au);
}

TEST(BusLogBuilderLayout, CanFdLengthsMapToDlc) {
  const std::pair<size_t, uint8_t> cases[] = {{0, 0},   {8, 8},   {9, 9},   {12, 9},
                                              {13, 10}, {20, 11}, {24, 12}, {32, 13},
                                              {33, 14}, {48, 14}, {64, 15}};
  for (auto [length, dlc] : cases) EXPECT_EQ(test::can_dlc_for_length(length), dlc) << length;
}

}  // namespace
