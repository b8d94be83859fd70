// Records: channel lists, conversions, channel values, layouts, and reading sorted and
// unsorted data groups with variable-length data from SD blocks and variable-length groups.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "mdf/data_lists.h"
#include "mdf_test_helpers.h"
#include "support/mf4_writer.h"

using mdftest::LogCapture;
using mdftest::Opened;
using mdftest::ReadRecord;
using namespace test;

namespace {

// A file with one header and data groups added one by one.
struct FileBuilder {
  Mf4Writer w;
  uint64_t hd = w.add_hd({});
  uint64_t last_dg = 0;

  uint64_t dg(uint8_t id_size, uint64_t first_cg, const std::vector<uint8_t>& data) {
    uint64_t dt = w.add_dt(data);
    uint64_t dg = w.add_dg({.first_cg = first_cg, .data = dt, .record_id_size = id_size});
    if (last_dg)
      w.set_link(last_dg, DG_NEXT, dg);
    else
      w.set_link(hd, HD_FIRST_DG, dg);
    last_dg = dg;
    return dg;
  }
  // A group of `data_bytes` whose single channel is an unsigned byte at offset 0.
  uint64_t cg(uint64_t record_id, uint32_t data_bytes, uint64_t next = 0) {
    uint64_t cn = w.add_cn({.bit_count = 8});
    return w.add_cg(
        {.next = next, .first_cn = cn, .record_id = record_id, .data_bytes = data_bytes});
  }
};

std::vector<std::vector<uint8_t>> bytes_of(const std::vector<ReadRecord>& records) {
  std::vector<std::vector<uint8_t>> out;
  for (const ReadRecord& r : records) out.push_back(r.bytes);
  return out;
}

using Bytes = std::vector<std::vector<uint8_t>>;

RecordChannel channel(uint64_t offset, uint64_t count, ValueKind kind, uint8_t order) {
  RecordChannel c{};
  c.bit_offset = offset;
  c.bit_count = count;
  c.value_kind = kind;
  c.byte_order = order;
  record_channel_choose_reader(&c);
  return c;
}

}  // namespace

TEST(Conversions, LinearAndValueTable) {
  Conversion lin;
  ASSERT_TRUE(conversion_linear(&lin, 2.0, 0.5));
  EXPECT_EQ(conversion_apply(&lin, 10), 20.5);
  conversion_destroy(&lin);
  EXPECT_EQ(lin.ops, nullptr);

  const double values[] = {1, 10, 2, 20, 1, 99, -0.0, 5, NAN, 7, 3};
  Conversion table;
  ASSERT_TRUE(conversion_value_table(&table, values, std::size(values)));
  EXPECT_EQ(conversion_apply(&table, 1), 10);  // the first of two equal keys wins
  EXPECT_EQ(conversion_apply(&table, 2), 20);
  EXPECT_EQ(conversion_apply(&table, 0.0), 5);      // +0 finds the -0 key
  EXPECT_EQ(conversion_apply(&table, 3), 3);        // the odd last value is no key
  EXPECT_EQ(conversion_apply(&table, 42.5), 42.5);  // no key: the value passes unchanged
  EXPECT_TRUE(std::isnan(conversion_apply(&table, NAN)));
  conversion_destroy(&table);

  Conversion empty;
  ASSERT_TRUE(conversion_value_table(&empty, nullptr, 0));
  EXPECT_EQ(conversion_apply(&empty, 8), 8);
  conversion_destroy(&empty);
  Conversion identity = conversion_identity();
  EXPECT_EQ(conversion_apply(&identity, -3.25), -3.25);
  EXPECT_EQ(conversion_apply(nullptr, 1.5), 1.5);
}

TEST(ChannelValues, RawBitsMatchABitByBitReference) {
  std::mt19937_64 rng(42);
  for (int round = 0; round < 20000; ++round) {
    uint64_t length = 1 + rng() % 24;
    if (round % 50 == 0) length = 9000;  // offsets beyond 16 bits
    std::vector<uint8_t> record(length);
    for (auto& b : record) b = static_cast<uint8_t>(rng());
    uint64_t count = 1 + rng() % 80;
    uint64_t offset = rng() % (length * 8 + 8);
    uint8_t order = rng() % 2;
    RecordChannel c = channel(offset, count, VALUE_UNSIGNED, order);
    uint64_t expected = 0;
    if (offset + count <= length * 8) {
      if (order == 1) {
        for (uint64_t i = std::min<uint64_t>(count, 64); i-- > 0;) {
          uint64_t k = offset + i;
          expected = (expected << 1) | ((record[k / 8] >> (k % 8)) & 1);
        }
      } else {
        for (uint64_t i = 0; i < count; ++i) {
          uint64_t k = offset + i;
          expected = (expected << 1) | ((record[k / 8] >> (7 - k % 8)) & 1);
        }
      }
    }
    ASSERT_EQ(record_channel_raw(&c, record.data(), length), expected)
        << "offset " << offset << " count " << count << " order " << int(order) << " length "
        << length;
  }
}

TEST(ChannelValues, FloatsAreWidenedAndIntegersStayUnsigned) {
  uint8_t record[16] = {};
  float f = 1.1f;
  memcpy(record, &f, 4);
  RecordChannel c32 = channel(0, 32, VALUE_FLOAT, 1);
  EXPECT_EQ(record_channel_value(&c32, record, 16), static_cast<double>(1.1f));
  double d = -2.5e300;
  memcpy(record + 8, &d, 8);
  RecordChannel c64 = channel(64, 64, VALUE_FLOAT, 1);
  EXPECT_EQ(record_channel_value(&c64, record, 16), d);
  record[4] = 0x00;
  record[5] = 0xC0;  // half -2.0
  RecordChannel c16 = channel(32, 16, VALUE_FLOAT, 1);
  EXPECT_EQ(record_channel_value(&c16, record, 16), -2.0);
  RecordChannel c24 = channel(0, 24, VALUE_FLOAT, 1);
  EXPECT_TRUE(std::isnan(record_channel_value(&c24, record, 16)));
  memset(record, 0xFF, 8);
  RecordChannel u64 = channel(0, 64, VALUE_UNSIGNED, 1);
  EXPECT_EQ(record_channel_value(&u64, record, 16), 18446744073709551615.0);
  ASSERT_TRUE(conversion_linear(&u64.conversion, 0.5, 1));
  RecordChannel u8 = channel(0, 8, VALUE_UNSIGNED, 1);
  u8.conversion = u64.conversion;
  EXPECT_EQ(record_channel_value(&u8, record, 16), 128.5);
  EXPECT_EQ(record_channel_value(&u8, record, 0), 1);  // too short a record reads raw 0
  conversion_destroy(&u64.conversion);
}

TEST(ChannelLists, LeavesOfCompositionsWithNamesConversionsAndStores) {
  Mf4Writer w;
  uint64_t hd = w.add_hd({});
  uint64_t sd = w.add_sd({{1, 2}});
  uint64_t cc_lin = w.add_cc_linear(2.0, 0.5);
  uint64_t cc_tab = w.add_cc_table({{1, 10}});
  uint64_t cc_other = w.add_cc({.type = 7});
  uint64_t m3 =
      w.add_cn({.name = w.add_tx("S.c"), .conversion = cc_other, .byte_offset = 3, .bit_count = 8});
  uint64_t m2 = w.add_cn({.next = m3,
                          .name = w.add_tx("S.b"),
                          .conversion = cc_tab,
                          .data = sd,
                          .channel_type = CN_VLSD,
                          .data_type = DT_BYTE_ARRAY,
                          .byte_offset = 4,
                          .bit_count = 64});
  uint64_t m1 = w.add_cn({.next = m2,
                          .name = w.add_tx("S.a"),
                          .conversion = cc_lin,
                          .data = sd,
                          .data_type = DT_FLOAT_LE,
                          .bit_offset = 5,
                          .byte_offset = 1,
                          .bit_count = 32});
  uint64_t s = w.add_cn(
      {.composition = m1, .name = w.add_tx("S"), .data_type = DT_BYTE_ARRAY, .bit_count = 96});
  uint64_t t = w.add_cn(
      {.next = s, .name = w.add_tx("Timestamp"), .data_type = DT_SIGNED_BE, .bit_count = 16});
  uint64_t cg = w.add_cg({.first_cn = t, .data_bytes = 12});
  uint64_t dg = w.add_dg({.first_cg = cg});
  w.set_link(hd, HD_FIRST_DG, dg);
  LogCapture log;
  Opened o(w.bytes());
  ASSERT_NE(o.file, nullptr);
  const GrowArray<RecordChannel>& list =
      cg_block(o.dg(0)->channel_groups.first[0])->record_channels;
  ASSERT_EQ(list.count, 4);  // the structure itself has no entry
  // A group that is not a bus group is never read: its odd data type draws no warning.
  EXPECT_EQ(log.count("is not supported"), 0) << log.text();
  const char* names[] = {"Timestamp", "S.a", "S.b", "S.c"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(dynstring_sv(&list[i].name), names[i]);
  EXPECT_EQ(list[0].role, ROLE_TIMESTAMP);
  EXPECT_EQ(list[0].value_kind, VALUE_SIGNED);  // signed big-endian, as stated
  EXPECT_EQ(list[0].byte_order, 0);
  EXPECT_EQ(list[1].bit_offset, 13u);
  EXPECT_EQ(list[1].value_kind, VALUE_FLOAT);
  EXPECT_EQ(conversion_apply(&list[1].conversion, 10), 20.5);
  EXPECT_EQ(list[1].payload_store, nullptr);  // a data link without channel type 1
  EXPECT_EQ(list[2].value_kind, VALUE_BYTE_ARRAY);
  ASSERT_NE(list[2].payload_store, nullptr);
  EXPECT_EQ(list[2].payload_store->kind, BLOCK_SD);
  EXPECT_EQ(conversion_apply(&list[2].conversion, 1), 10);
  EXPECT_EQ(list[3].conversion.ops, nullptr);  // an unknown conversion type is the identity
  EXPECT_EQ(list[3].role, ROLE_NONE);
}

TEST(ReadSorted, RecordsBackToBackWithoutTheIncompleteLast) {
  FileBuilder f;
  f.dg(0, f.cg(0, 3), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(bytes_of(mdftest::read_all(o.dg(0))), (Bytes{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}));
  // A group's only layout answers the lookup by key 0, whatever its record id.
  FileBuilder g;
  g.dg(0, g.cg(6, 2), {1, 2, 3, 4});
  Opened p(g.w.bytes());
  ASSERT_NE(record_layout_find(p.dg(0), 0), nullptr);
  EXPECT_EQ(bytes_of(mdftest::read_all(p.dg(0))), (Bytes{{1, 2}, {3, 4}}));
}

TEST(ReadSorted, RecordsOfNoBytesEndTheGroup) {
  FileBuilder f;
  f.dg(0, f.cg(0, 0), {1, 2, 3});
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  EXPECT_TRUE(mdftest::read_all(o.dg(0), 10).empty());
}

TEST(ReadSorted, InvalidationBytesArePartOfTheStride) {
  FileBuilder f;
  uint64_t cn = f.w.add_cn({.bit_count = 8});
  uint64_t cg = f.w.add_cg({.first_cn = cn, .data_bytes = 2, .invalidation_bytes = 1});
  f.dg(0, cg, {1, 2, 0xF0, 3, 4, 0xF1, 5, 6});
  uint64_t cn2 = f.w.add_cn({.bit_count = 8});
  uint64_t cg2 =
      f.w.add_cg({.first_cn = cn2, .record_id = 4, .data_bytes = 1, .invalidation_bytes = 2});
  f.dg(1, cg2, {4, 9, 0, 0, 4, 8, 0, 0});
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(bytes_of(mdftest::read_all(o.dg(0))), (Bytes{{1, 2}, {3, 4}}));
  EXPECT_EQ(bytes_of(mdftest::read_all(o.dg(1))), (Bytes{{9}, {8}}));
}

TEST(ReadUnsorted, RecordIdsOfEverySizeAndAnUnknownIdEndsTheGroupAsAFailure) {
  for (uint8_t size : {1, 2, 4, 8}) {
    SCOPED_TRACE(int(size));
    FileBuilder f;
    uint64_t second = f.cg(0x0102, 1);
    uint64_t first = f.cg(0x01, 2, second);
    auto id = [&](uint64_t v) {
      std::vector<uint8_t> b;
      for (int i = 0; i < size; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
      return b;
    };
    std::vector<uint8_t> data;
    auto add = [&](uint64_t rid, std::vector<uint8_t> bytes) {
      std::vector<uint8_t> p = id(rid);
      data.insert(data.end(), p.begin(), p.end());
      data.insert(data.end(), bytes.begin(), bytes.end());
    };
    uint64_t second_id = size == 1 ? 0x02 : 0x0102;
    if (size == 1) f.w.patch_u64(second + 24 + 48, 0x02);
    add(1, {10, 11});
    add(second_id, {12});
    add(1, {13, 14});
    add(0x77, {15, 16});
    add(1, {17, 18});
    f.dg(size, first, data);
    Opened o(f.w.bytes());
    ASSERT_NE(o.file, nullptr);
    std::vector<ReadRecord> records = mdftest::read_all(o.dg(0));
    EXPECT_EQ(bytes_of(records), (Bytes{{10, 11}, {12}, {13, 14}}));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].record_id, second_id);
    // The records behind the unknown id are lost to the reader: it says so and fails.
    LogCapture log;
    RecordReader* r = record_reader_new(o.dg(0));
    while (record_reader_next(r)) {
    }
    EXPECT_TRUE(record_reader_failed(r));
    record_reader_free(r);
    std::string unknown_at = std::to_string(3 * size + 5);
    EXPECT_NE(log.text().find("record id 119 at byte " + unknown_at +
                              " of its data belongs to "
                              "no channel group: the last " +
                              std::to_string(2 * size + 4) + " bytes of the data are not read"),
              std::string::npos)
        << log.text();
  }
}

TEST(ReadUnsorted, ASingleGroupWithRecordIdsIsReadThroughItsIds) {
  FileBuilder f;
  f.dg(1, f.cg(5, 2), {5, 1, 2, 5, 3, 4, 6, 9, 9});
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(record_layout_find(o.dg(0), 0), nullptr);
  ASSERT_NE(record_layout_find(o.dg(0), 5), nullptr);
  EXPECT_EQ(bytes_of(mdftest::read_all(o.dg(0))), (Bytes{{1, 2}, {3, 4}}));
}

TEST(ReadUnsorted, UnreadableRecordIdSizeRejectsOnlyThatGroup) {
  FileBuilder f;
  f.dg(3, f.cg(1, 1), {1, 0, 0, 7});
  f.dg(0, f.cg(0, 1), {8, 9});
  LogCapture log;
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(log.count("has a record id size of 3 bytes; its records are not read"), 1)
      << log.text();
  EXPECT_TRUE(mdftest::read_all(o.dg(0)).empty());
  EXPECT_EQ(bytes_of(mdftest::read_all(o.dg(1))), (Bytes{{8}, {9}}));
}

TEST(ReadUnsorted, TheEarlierOfTwoGroupsWithOneIdDefinesTheLayout) {
  FileBuilder f;
  uint64_t later = f.cg(1, 3);
  uint64_t earlier = f.cg(1, 1, later);
  f.dg(1, earlier, {1, 7, 1, 8});
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(record_layout_find(o.dg(0), 1)->record_length, 1);
  EXPECT_EQ(bytes_of(mdftest::read_all(o.dg(0))), (Bytes{{7}, {8}}));
}

TEST(VariableLength, SignalDataEntriesAtTheRecordsOffsets) {
  FileBuilder f;
  std::vector<uint64_t> at;
  uint64_t sd = f.w.add_sd({{1, 2, 3}, {}, {4, 5, 6, 7, 8}}, &at);
  // The last entry claims more bytes than the block holds: it is cut at the block end.
  f.w.patch_u32(f.w.data_offset(sd) + at[2], 1000);
  uint64_t vl = f.w.add_cn({.data = sd,
                            .channel_type = CN_VLSD,
                            .data_type = DT_BYTE_ARRAY,
                            .byte_offset = 1,
                            .bit_count = 32});
  uint64_t id = f.w.add_cn({.next = vl, .bit_count = 8});
  uint64_t cg = f.w.add_cg({.first_cn = id, .data_bytes = 5});
  ByteWriter d;
  d.u8(0xA).u32(at[0]).u8(0xB).u32(at[1]).u8(0xC).u32(at[2]).u8(0xD).u32(5000);
  f.dg(0, cg, d.bytes);
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  std::vector<ReadRecord> records = mdftest::read_all(o.dg(0));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].entries, (Bytes{{1, 2, 3}}));
  EXPECT_EQ(records[1].entries, (Bytes{{}}));
  EXPECT_EQ(records[2].entries, (Bytes{{4, 5, 6, 7, 8}}));
  EXPECT_EQ(records[3].entries, (Bytes{{}}));  // an offset outside the block
}

TEST(VariableLength, AStoreThatHoldsNoPayloadsGivesEmptyEntriesWithOneWarning) {
  FileBuilder f;
  uint64_t attachment = f.w.add_block("##AT", {0, 0, 0, 0}, std::vector<uint8_t>(16, 0));
  uint64_t vl = f.w.add_cn({.data = attachment,
                            .channel_type = CN_VLSD,
                            .data_type = DT_BYTE_ARRAY,
                            .byte_offset = 1,
                            .bit_count = 32});
  uint64_t cg = f.w.add_cg({.first_cn = f.w.add_cn({.next = vl, .bit_count = 8}), .data_bytes = 5});
  f.dg(0, cg, {0xA, 0, 0, 0, 0, 0xB, 8, 0, 0, 0});
  LogCapture log;
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  std::vector<ReadRecord> records = mdftest::read_all(o.dg(0));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].entries, (Bytes{{}}));
  EXPECT_EQ(records[1].entries, (Bytes{{}}));
  EXPECT_EQ(log.count("said to be in the AT block at 0x"), 1) << log.text();
}

TEST(VariableLength, RecordsOfAVariableLengthGroupAreFoundByTheOffsetARecordHolds) {
  FileBuilder f;
  uint64_t vgroup = f.w.add_cg({.record_id = 2, .flags = CG_FLAG_VLSD, .vlsd_size = 1000});
  uint64_t vl = f.w.add_cn({.data = vgroup,
                            .channel_type = CN_VLSD,
                            .data_type = DT_BYTE_ARRAY,
                            .byte_offset = 12,
                            .bit_count = 64});
  uint64_t cg = f.w.add_cg({.next = vgroup, .first_cn = vl, .record_id = 1, .data_bytes = 20});
  ByteWriter d;
  uint64_t stream = 0;  // where the next variable-length record starts in the group's stream
  auto frame = [&](uint64_t offset) { d.u8(1).zeros(12).u64(offset); };
  auto payload = [&](std::vector<uint8_t> p) {
    d.u8(2).u32(p.size()).raw(p);
    stream += 4 + p.size();
    return stream - 4 - p.size();
  };
  payload({0xEE});  // no record refers to it: passed over
  frame(stream);    // its bytes follow it
  payload({1, 2, 3, 4, 5, 6, 7, 8});
  frame(payload({9, 9}));  // its bytes come before it
  frame(0);     // back to the first one: offsets that stop rising switch to pairing by order,
  frame(1000);  // which finds no variable-length record after either of these
  f.dg(1, cg, d.bytes);
  LogCapture log;
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  std::vector<ReadRecord> records = mdftest::read_all(o.dg(0));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].entries, (Bytes{{1, 2, 3, 4, 5, 6, 7, 8}}));
  EXPECT_EQ(records[1].entries, (Bytes{{9, 9}}));
  EXPECT_EQ(records[2].entries, (Bytes{{}}));
  EXPECT_EQ(records[3].entries, (Bytes{{}}));
  // The two without bytes are told apart from empty payloads, so that no frame decodes them.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(records[i].lost, std::vector<bool>{i >= 2}) << i;
  EXPECT_EQ(log.count("that the file does not hold; they are not read"), 1) << log.text();
  // A reader with a sink tells it the notice, in the same words, instead of logging it.
  std::vector<std::string> told;
  RecordReader* r = record_reader_new(o.dg(0));
  r->notices =
      ReaderNoticeSink{[](void* context, const ReaderNotice* notice) {
                         ScopedDynString text;
                         reader_notice_format(notice, &text.s);
                         static_cast<std::vector<std::string>*>(context)->emplace_back(text.view());
                       },
                       &told};
  while (record_reader_next(r)) {
  }
  record_reader_free(r);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_NE(told[0].find("that the file does not hold; they are not read"), std::string::npos);
  EXPECT_EQ(log.count("that the file does not hold; they are not read"), 1) << log.text();
}

TEST(VariableLength, APayloadLongerThanTheDataEndsTheGroup) {
  FileBuilder f;
  uint64_t vgroup = f.w.add_cg({.record_id = 2, .flags = CG_FLAG_VLSD});
  uint64_t vl = f.w.add_cn(
      {.data = vgroup, .channel_type = CN_VLSD, .data_type = DT_BYTE_ARRAY, .bit_count = 64});
  uint64_t cg = f.w.add_cg({.next = vgroup, .first_cn = vl, .record_id = 1, .data_bytes = 8});
  ByteWriter d;
  d.u8(1).zeros(8).u8(2).u32(0xFFFFFFF0).zeros(4);
  f.dg(1, cg, d.bytes);
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  std::vector<ReadRecord> records = mdftest::read_all(o.dg(0));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].entries, (Bytes{{}}));
}

TEST(Iterator, FramesOfWholeBusLogsInEveryLayout) {
  struct Case {
    Layout layout;
    uint8_t id_size;
    DataStorage storage;
  };
  const Case cases[] = {
      {Layout::Sorted, 0, DataStorage::Fixed},       {Layout::Sorted, 0, DataStorage::SignalData},
      {Layout::Unsorted, 1, DataStorage::Fixed},     {Layout::Unsorted, 2, DataStorage::SignalData},
      {Layout::Unsorted, 4, DataStorage::VlsdGroup}, {Layout::Unsorted, 8, DataStorage::VlsdGroup},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.storage) * 100 + c.id_size);
    BusLogBuilder b;
    b.layout(c.layout, c.id_size).can_data_storage(c.storage).invalidation_bytes(1);
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < 50; ++i) {
      std::vector<uint8_t> payload(static_cast<size_t>(i % 9), static_cast<uint8_t>(i));
      sent.push_back(payload);
      b.add_can_frame(1 + i % 2, 0x100 + i, i % 3 == 0, payload, 0.01 * i);
      if (i % 10 == 0) b.add_lin_frame(1, 0x21, {1, 2}, 0.01 * i + 0.001);
    }
    std::vector<uint8_t> file = b.build();
    Opened o(file);
    ASSERT_NE(o.file, nullptr);
    std::vector<std::vector<uint8_t>> got;
    for (int g = 0; o.dg(g); ++g) {
      RecordReader* r = record_reader_new(o.dg(g));
      RecordIterator it;
      for (record_iter_begin(&it, r); it.frame; record_iter_next(&it)) {
        if (it.frame->kind == FRAME_CAN_DATA) {
          EXPECT_EQ(it.result, 1u);
          got.emplace_back(it.frame->data, it.frame->data + it.frame->data_length);
        }
      }
      EXPECT_EQ(it.reader, nullptr);
      record_reader_free(r);
    }
    EXPECT_EQ(got, sent);
  }
}

TEST(Iterator, NonBusSourceYieldsNoFramesAndANullReaderEndsAtOnce) {
  BusLogBuilder b;
  b.source_type(SOURCE_ECU);
  b.add_can_frame(1, 0x100, false, {1, 2}, 0.1);
  Opened o(b.build());
  ASSERT_NE(o.file, nullptr);
  std::vector<int> counts = mdftest::frame_counts(o.dg(0));
  EXPECT_EQ(counts[FRAME_NONE], 1);
  EXPECT_EQ(record_layout_find(o.dg(0), 0)->group_kind, GROUP_NONE);
  RecordIterator it;
  record_iter_begin(&it, nullptr);
  EXPECT_EQ(it.frame, nullptr);
  EXPECT_EQ(it.result, EXTRACT_REJECTED);
  record_iter_next(&it);
  EXPECT_EQ(it.frame, nullptr);
}

namespace {

// The frames of a data group as ID, time and data bytes, read between two record positions.
std::vector<std::vector<uint8_t>> frames_between(DgBlock* dg, uint64_t begin, uint64_t end) {
  std::vector<std::vector<uint8_t>> frames;
  RecordReader* r = record_reader_new(dg);
  r->range_begin = begin;
  r->range_end = end;
  RecordIterator it;
  for (record_iter_begin(&it, r); it.frame; record_iter_next(&it)) {
    std::vector<uint8_t> f(it.frame->data, it.frame->data + it.frame->data_length);
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(it.frame->id >> (8 * i)));
    frames.push_back(f);
  }
  EXPECT_FALSE(record_reader_failed(r));
  record_reader_free(r);
  return frames;
}

TEST(Ranges, ReadersOfTheRangesTogetherReadEveryRecordOnce) {
  struct Case {
    Layout layout;
    DataStorage storage;
    DataBlocks blocks;
    bool cut;
  } cases[] = {
      {Layout::Sorted, DataStorage::SignalData, DataBlocks::Plain, true},
      {Layout::Sorted, DataStorage::Fixed, DataBlocks::HeaderList, true},
      {Layout::Sorted, DataStorage::Fixed, DataBlocks::ListOffsets, true},
      {Layout::Unsorted, DataStorage::Fixed, DataBlocks::Plain, false},  // record ids
      {Layout::Sorted, DataStorage::VlsdGroup, DataBlocks::Plain, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.blocks) * 10 + static_cast<int>(c.storage));
    BusLogBuilder b;
    b.layout(c.layout, c.layout == Layout::Unsorted ? 1 : 0).can_data_storage(c.storage);
    if (c.blocks != DataBlocks::Plain) b.data_blocks(c.blocks, 700);
    for (int i = 0; i < 400; ++i)
      b.add_can_frame(1, 0x100 + i, false, std::vector<uint8_t>(8, static_cast<uint8_t>(i)),
                      0.01 * i);
    Opened o(b.build());
    DgBlock* dg = o.dg(0);
    ASSERT_NE(dg, nullptr);
    GrowArray<uint64_t> cuts{};
    uint64_t end = 0;
    ASSERT_EQ(record_ranges(dg, 500, &cuts, &end), c.cut);
    if (!c.cut) continue;
    const RecordLayout* layout = record_layout_find(dg, 0);
    uint64_t stride = static_cast<uint64_t>(layout->record_length) + layout->invalidation_bytes;
    DataPieces pieces{};
    if (c.blocks != DataBlocks::Plain) {
      DataListProblem problem;
      ASSERT_EQ(data_pieces_resolve(dg->data.block, 0, &problem, &pieces), DATA_LIST_OK);
    }
    std::vector<std::vector<uint8_t>> joined;
    uint64_t begin = 0;
    for (int32_t i = 0; i <= cuts.count; ++i) {
      uint64_t cut = i < cuts.count ? cuts[i] : end;
      EXPECT_GT(cut, begin);
      EXPECT_EQ(cut % stride, i < cuts.count ? 0u : end % stride);
      // Over pieces, a cut is the first record that starts in one.
      bool first_in_piece = pieces.pieces.count == 0 || i == cuts.count;
      for (const DataPiece& p : pieces.pieces)
        first_in_piece = first_in_piece || (cut >= p.start && cut - p.start < stride);
      EXPECT_TRUE(first_in_piece) << cut;
      auto part = frames_between(dg, begin, cut);
      joined.insert(joined.end(), part.begin(), part.end());
      begin = cut;
    }
    data_pieces_free(&pieces);
    EXPECT_GT(cuts.count, 2);
    EXPECT_EQ(joined, frames_between(dg, 0, UINT64_MAX));
    EXPECT_EQ(joined.size(), 400u);
    grow_array_free(&cuts);
  }
}

}  // namespace
