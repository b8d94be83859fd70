// Frame extraction: the choice of extractor, each extractor's role set and storing rules on
// hand-made records, and whole files written by the test writer read back frame by frame, down
// to which channel fills which field.
#include "mdf/bus_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "mdf/frame_reading.h"
#include "mdf/mdf_test_helpers.h"
#include "mdf/records.h"
#include "support/mf4_writer.h"

namespace {

using test::BusLogBuilder;
using test::FrameValue;

// ---------------------------------------------------------------------------------------------
// Hand-made records

// A channel list and a record, built field by field; owns the channel names.
struct RecordBuilder {
  std::vector<RecordChannel> channels;
  std::vector<uint8_t> record;
  std::vector<uint8_t> payloads;

  ~RecordBuilder() {
    for (RecordChannel& c : channels) dynstring_free(&c.name);
  }

  RecordChannel& add(const std::string& name, uint64_t bit_offset, uint64_t bit_count,
                     ValueKind kind = VALUE_UNSIGNED) {
    RecordChannel c{};
    c.bit_offset = bit_offset;
    c.bit_count = bit_count;
    c.value_kind = kind;
    c.byte_order = 1;
    record_channel_choose_reader(&c);
    dynstring_from(&c.name, name);
    c.role = frame_role_from_name(name);
    channels.push_back(c);
    return channels.back();
  }
  // An unsigned little-endian field of `bytes` bytes appended to the record.
  void uint(const std::string& name, uint64_t value, uint32_t bytes = 1) {
    add(name, record.size() * 8, bytes * 8);
    for (uint32_t i = 0; i < bytes; ++i) record.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void f64(const std::string& name, double v) {
    add(name, record.size() * 8, 64, VALUE_FLOAT);
    uint64_t bits;
    memcpy(&bits, &v, 8);
    for (int i = 0; i < 8; ++i) record.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  }
  void f32(const std::string& name, float v) {
    add(name, record.size() * 8, 32, VALUE_FLOAT);
    uint32_t bits;
    memcpy(&bits, &v, 4);
    for (int i = 0; i < 4; ++i) record.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  }
  void bytes(const std::string& name, const std::vector<uint8_t>& b) {
    add(name, record.size() * 8, b.size() * 8, VALUE_BYTE_ARRAY);
    record.insert(record.end(), b.begin(), b.end());
  }
  // A variable-length byte channel: an 8-byte offset in the record, its payload as the next
  // entry of the variable-length bytes.
  void vlsd(const std::string& name, const std::vector<uint8_t>& b) {
    static int store;  // any non-null block stands for the payload store here
    RecordChannel& c = add(name, record.size() * 8, 64, VALUE_BYTE_ARRAY);
    c.payload_store = reinterpret_cast<decltype(c.payload_store)>(&store);
    record.insert(record.end(), 8, 0);
    for (int i = 0; i < 4; ++i) payloads.push_back(static_cast<uint8_t>(b.size() >> (8 * i)));
    payloads.insert(payloads.end(), b.begin(), b.end());
  }

  // A variable-length byte channel whose bytes could not be read (a lost entry).
  void lost_vlsd(const std::string& name) {
    vlsd(name, {});
    payloads.resize(payloads.size() - 4);
    for (int i = 0; i < 4; ++i)
      payloads.push_back(static_cast<uint8_t>(RECORD_ENTRY_LOST >> (8 * i)));
  }

  RecordView view() const {
    RecordView v{};
    v.record_bytes = record.data();
    v.record_length = record.size();
    v.variable_bytes = payloads.data();
    v.variable_length = payloads.size();
    v.channels = channels.data();
    v.channel_count = static_cast<int32_t>(channels.size());
    return v;
  }
  FrameValue extract(FrameExtractor extractor, uint32_t* result = nullptr) const {
    RecordView v = view();
    BusFrame frame;
    memset(&frame, 0xA5, sizeof frame);  // extractors must clear what they fill
    uint32_t r = extractor(&v, &frame);
    if (result) *result = r;
    return test::frame_value(frame);
  }
};

// The channels of a full CAN data-frame group, as a logger writes them.
RecordBuilder can_data_record(uint32_t id, std::vector<uint8_t> data, double t = 1.25) {
  RecordBuilder r;
  r.f64("Timestamp", t);
  r.uint("CAN_DataFrame.BusChannel", 2);
  r.uint("CAN_DataFrame.ID", id, 4);
  r.uint("CAN_DataFrame.IDE", 1);
  r.uint("CAN_DataFrame.DLC", data.size());
  r.uint("CAN_DataFrame.DataLength", data.size());
  r.bytes("CAN_DataFrame.DataBytes", data);
  r.uint("CAN_DataFrame.Dir", 1);
  r.uint("CAN_DataFrame.EDL", 0);
  r.uint("CAN_DataFrame.BRS", 0);
  r.uint("CAN_DataFrame.ESI", 1);
  return r;
}

TEST(SelectFrameExtractor, ByTheSinglePrefixOfDottedNames) {
  struct Case {
    std::vector<std::string> names;
    bool chosen;
    GroupKind kind;
    FrameExtractor extractor;
  };
  const Case cases[] = {
      {{"Timestamp", "CAN_DataFrame.ID", "CAN_DataFrame.Whatever"},
       true,
       GROUP_CAN_DATA,
       extract_can_data_frame},
      {{"CAN_RemoteFrame.ID"}, true, GROUP_CAN_REMOTE, extract_can_remote_frame},
      {{"CAN_ErrorFrame.ErrorType", "Timestamp"}, true, GROUP_CAN_ERROR, extract_can_error_frame},
      {{"LIN_Frame.ID", "LIN_Frame.Checksum"}, true, GROUP_LIN, extract_lin_frame},
      {{"LIN_ChecksumError.ID"}, true, GROUP_LIN_CHECKSUM_ERROR, extract_nothing},
      {{"LIN_ReceiveError.ID"}, true, GROUP_LIN_RECEIVE_ERROR, extract_nothing},
      {{"LIN_SyncError.BusChannel", "Timestamp"}, true, GROUP_LIN_SYNC_ERROR, extract_nothing},
      {{"LIN_TransmissionError.ID"}, true, GROUP_LIN_TRANSMISSION_ERROR, extract_nothing},
      {{"FlexRay_Frame.ID"}, true, GROUP_NONE, extract_nothing},
      {{"can_dataframe.ID"}, true, GROUP_NONE, extract_nothing},
      {{"CAN_DataFrame.ID", "CAN_RemoteFrame.ID"}, false, GROUP_UNSET, nullptr},
      {{"Timestamp", "Speed"}, false, GROUP_UNSET, nullptr},
      {{}, false, GROUP_UNSET, nullptr},
      // Only the part before the first dot counts.
      {{"CAN_DataFrame.ID.raw", "CAN_DataFrame.DLC"}, true, GROUP_CAN_DATA, extract_can_data_frame},
  };
  for (const Case& c : cases) {
    RecordBuilder r;
    for (const std::string& n : c.names) r.uint(n, 0);
    FrameExtractor extractor = nullptr;
    GroupKind kind = GROUP_UNSET;
    bool chosen = select_frame_extractor(r.channels.data(), static_cast<int32_t>(r.channels.size()),
                                         &extractor, &kind);
    std::string label = c.names.empty() ? "(none)" : c.names[0];
    EXPECT_EQ(chosen, c.chosen) << label;
    EXPECT_EQ(kind, c.kind) << label;
    EXPECT_EQ(extractor, c.extractor) << label;
  }
}

TEST(ExtractCanDataFrame, FullGroupYieldsEveryField) {
  RecordBuilder r = can_data_record(0x1234567, {1, 2, 3});
  uint32_t result = 0;
  FrameValue f = r.extract(extract_can_data_frame, &result);
  EXPECT_EQ(result, FRAME_CAN_DATA);
  FrameValue want;
  want.kind = FRAME_CAN_DATA;
  want.timestamp = 1.25;
  want.id = 0x1234567;
  want.data_length = 3;
  want.bus_channel = 2;
  want.ide = 1;
  want.dir = 1;
  want.esi = 1;
  want.dlc = 3;
  want.data = {1, 2, 3};
  want.data.resize(64);
  EXPECT_EQ(f, want) << test::describe(f);
}

TEST(ExtractCanDataFrame, StoringRules) {
  RecordBuilder r;
  r.uint("CAN_DataFrame.DataLength", 256, 2);  // low 8 bits kept
  r.uint("CAN_DataFrame.IDE", 2);              // any non-zero value is a set flag
  r.uint("CAN_DataFrame.BRS", 0x100, 2);       // flags look at the whole value
  r.uint("CAN_DataFrame.BusChannel", 0x103, 2);
  r.uint("CAN_DataFrame.ID", 0x80000123, 4);  // bit 31 kept as logged
  r.f32("Timestamp", 0.5f);                   // 32-bit floats are widened
  FrameValue f = r.extract(extract_can_data_frame);
  EXPECT_EQ(f.kind, FRAME_CAN_DATA);
  EXPECT_EQ(f.data_length, 0u);
  EXPECT_EQ(f.ide, 1);
  EXPECT_EQ(f.brs, 1);
  EXPECT_EQ(f.bus_channel, 3);
  EXPECT_EQ(f.id, 0x80000123u);
  EXPECT_EQ(f.timestamp, 0.5);
}

TEST(ExtractCanDataFrame, LastTimestampWinsAndIdsAreOred) {
  RecordBuilder r;
  r.f64("Timestamp", 1.0);
  r.uint("CAN_DataFrame.ID", 0x100, 4);
  r.uint("CAN_DataFrame.ID", 0x003, 2);
  r.f64("Timestamp", 2.0);
  FrameValue f = r.extract(extract_can_data_frame);
  EXPECT_EQ(f.id, 0x103u);
  EXPECT_EQ(f.timestamp, 2.0);
}

TEST(ExtractCanDataFrame, OwnPrefixFieldsItDoesNotUseAreSkipped) {
  RecordBuilder r = can_data_record(0x100, {9, 8});
  r.uint("CAN_DataFrame.SRR", 1);
  r.uint("CAN_DataFrame.WakeUp", 1);
  FrameValue f = r.extract(extract_can_data_frame);
  ASSERT_EQ(f.kind, FRAME_CAN_DATA);
  EXPECT_EQ(f.id, 0x100u);
  EXPECT_EQ(f.data[1], 8);
}

// Channels that are no field (a writer's "__samples_origin", another frame's field name) are
// passed over: the frame is that of the record without them. Whether a whole group with such
// names gives frames is decided once per group (select_frame_extractor, frame_group_ignored).
TEST(ExtractCanDataFrame, ForeignOrUndottedUnknownNamesArePassedOver) {
  const FrameValue plain = can_data_record(0x100, {1}).extract(extract_can_data_frame);
  ASSERT_EQ(plain.kind, FRAME_CAN_DATA);
  for (const char* name : {"Speed", "__samples_origin", "CAN_RemoteFrame.DataBytes",
                           "LIN_Frame.Checksum", "CAN_DataFrameX.A", "CAN_ErrorFrame.ErrorType"}) {
    RecordBuilder r = can_data_record(0x100, {1});
    r.uint(name, 0xFF);
    uint32_t result = 0;
    FrameValue f = r.extract(extract_can_data_frame, &result);
    EXPECT_EQ(result, FRAME_CAN_DATA) << name;
    EXPECT_EQ(f, plain) << name;
  }
}

TEST(ExtractCanDataFrame, VariableLengthDataUpTo64Bytes) {
  std::vector<uint8_t> p64(64), p65(65);
  for (size_t i = 0; i < p65.size(); ++i) p65[i] = static_cast<uint8_t>(i + 1);
  std::copy(p65.begin(), p65.begin() + 64, p64.begin());
  for (const auto& payload : {std::vector<uint8_t>{}, std::vector<uint8_t>{5, 6, 7}, p64, p65}) {
    RecordBuilder r;
    r.uint("CAN_DataFrame.ID", 0x400, 4);
    r.vlsd("CAN_DataFrame.DataBytes", payload);
    r.uint("CAN_DataFrame.DataLength", payload.size());
    uint32_t result = 0;
    FrameValue f = r.extract(extract_can_data_frame, &result);
    if (payload.size() > 64) {
      EXPECT_EQ(result, EXTRACT_REJECTED);
      EXPECT_EQ(f.kind, FRAME_NONE);
      continue;
    }
    std::vector<uint8_t> want = payload;
    want.resize(64);
    EXPECT_EQ(f.kind, FRAME_CAN_DATA);
    EXPECT_EQ(f.data, want);
    EXPECT_EQ(f.data_length, payload.size());
  }
}

// A payload whose bytes could not be read marks its frame (which is then never decoded), and
// the walk over the entries goes on behind it; an empty payload marks nothing.
TEST(ExtractFrames, LostPayloadsMarkTheirFrame) {
  for (bool lost : {false, true}) {
    RecordBuilder can;
    can.uint("CAN_DataFrame.ID", 0x400, 4);
    lost ? can.lost_vlsd("CAN_DataFrame.DataBytes") : can.vlsd("CAN_DataFrame.DataBytes", {});
    can.vlsd("CAN_DataFrame.Extra", {1});
    can.uint("CAN_DataFrame.DataLength", 2);
    FrameValue f = can.extract(extract_can_data_frame);
    EXPECT_EQ(f.kind, FRAME_CAN_DATA) << lost;
    EXPECT_EQ(f.payload_lost, lost) << lost;
    EXPECT_EQ(f.data_length, 2u) << lost;
    RecordBuilder lin;
    lost ? lin.lost_vlsd("LIN_Frame.DataBytes") : lin.vlsd("LIN_Frame.DataBytes", {});
    lin.uint("LIN_Frame.ID", 0x30);
    f = lin.extract(extract_lin_frame);
    EXPECT_EQ(f.kind, FRAME_LIN) << lost;
    EXPECT_EQ(f.payload_lost, lost) << lost;
    EXPECT_EQ(f.id, 0x30u) << lost;
  }
}

TEST(ExtractCanDataFrame, FixedDataLongerThan64BytesRejects) {
  RecordBuilder r;
  r.bytes("CAN_DataFrame.DataBytes", std::vector<uint8_t>(72, 1));
  EXPECT_EQ(r.extract(extract_can_data_frame).kind, FRAME_NONE);
  // Declared wider than 64 bytes, in a record too short to hold it: still rejected.
  RecordBuilder cut;
  cut.add("CAN_DataFrame.DataBytes", 0, 72 * 8, VALUE_BYTE_ARRAY);
  cut.record.resize(40, 1);
  EXPECT_EQ(cut.extract(extract_can_data_frame).kind, FRAME_NONE);
  RecordBuilder full;
  full.bytes("CAN_DataFrame.DataBytes", std::vector<uint8_t>(64, 7));
  EXPECT_EQ(full.extract(extract_can_data_frame).data, std::vector<uint8_t>(64, 7));
}

TEST(ExtractCanDataFrame, FieldsBeyondTheRecordReadAsZero) {
  RecordBuilder r = can_data_record(0x7FF, {1, 2});
  r.add("CAN_DataFrame.DLC", r.record.size() * 8 + 8, 8);  // past the end of the record
  FrameValue f = r.extract(extract_can_data_frame);
  EXPECT_EQ(f.kind, FRAME_CAN_DATA);
  EXPECT_EQ(f.dlc, 0);
}

TEST(ExtractCanDataFrame, FieldsFarIntoALongRecord) {
  RecordBuilder r;
  r.record.resize(9000);
  r.add("CAN_DataFrame.ID", 8500 * 8 + 4, 12);  // bit offset beyond 16 bits
  r.record[8500] = 0xB0;
  r.record[8501] = 0x7A;
  FrameValue f = r.extract(extract_can_data_frame);
  EXPECT_EQ(f.id, 0x7ABu);
}

TEST(ExtractCanRemoteFrame, RtrSetAndDataAreaEmpty) {
  RecordBuilder r;
  r.f64("Timestamp", 3.5);
  r.uint("CAN_RemoteFrame.BusChannel", 1);
  r.uint("CAN_RemoteFrame.ID", 0x1A0, 4);
  r.uint("CAN_RemoteFrame.IDE", 0);
  r.uint("CAN_RemoteFrame.DLC", 8);
  r.uint("CAN_RemoteFrame.DataLength", 8);
  r.uint("CAN_RemoteFrame.Dir", 1);
  r.bytes("CAN_RemoteFrame.DataBytes", {1, 2, 3});  // not a remote field: skipped
  FrameValue f = r.extract(extract_can_remote_frame);
  FrameValue want;
  want.kind = FRAME_CAN_REMOTE;
  want.timestamp = 3.5;
  want.id = 0x1A0;
  want.data_length = 8;
  want.bus_channel = 1;
  want.dlc = 8;
  want.dir = 1;
  want.rtr = 1;
  want.data.resize(64);
  EXPECT_EQ(f, want) << test::describe(f);

  // Another frame type's field is passed over here; in a file it gives the group two prefixes,
  // and so no extractor at all.
  r.uint("CAN_DataFrame.BRS", 1);
  EXPECT_EQ(r.extract(extract_can_remote_frame), want);
}

TEST(ExtractCanErrorFrame, ErrorTypesOneToFiveKept) {
  for (uint32_t type : {0u, 1u, 3u, 5u, 6u, 7u, 255u, 257u}) {
    RecordBuilder r;
    r.f64("Timestamp", 0.25);
    r.uint("CAN_ErrorFrame.BusChannel", 2);
    r.uint("CAN_ErrorFrame.ID", 0x100, 4);  // the error extractor has no use for these
    r.bytes("CAN_ErrorFrame.DataBytes", {1, 2, 3, 4, 5, 6, 7, 8});
    r.uint("CAN_ErrorFrame.ErrorType", type, 2);
    uint32_t result = 0;
    FrameValue f = r.extract(extract_can_error_frame, &result);
    EXPECT_EQ(result, FRAME_CAN_ERROR);
    EXPECT_EQ(f.kind, FRAME_CAN_ERROR);
    EXPECT_EQ(f.bus_channel, 2);
    EXPECT_EQ(f.timestamp, 0.25);
    EXPECT_EQ(f.id, 0u);
    EXPECT_TRUE(f.data.empty());
    EXPECT_EQ(f.error_type, (type & 0xFF) >= 1 && (type & 0xFF) <= 5 ? (type & 0xFF) : 0u) << type;
  }
}

TEST(ExtractLinFrame, FieldsAndFixedBytes) {
  RecordBuilder r;
  r.f64("Timestamp", 9.75);
  r.uint("LIN_Frame.BusChannel", 1);
  r.uint("LIN_Frame.ID", 0x21);
  r.uint("LIN_Frame.Dir", 3);
  r.uint("LIN_Frame.ReceivedDataByteCount", 2);
  r.uint("LIN_Frame.DataLength", 2);
  r.bytes("LIN_Frame.DataBytes", {0xAB, 0xCD, 0, 0, 0, 0, 0, 0});
  r.uint("LIN_Frame.Checksum", 0x55);
  r.uint("LIN_Frame.ChecksumModel", 1);
  FrameValue f = r.extract(extract_lin_frame);
  FrameValue want;
  want.kind = FRAME_LIN;
  want.timestamp = 9.75;
  want.id = 0x21;
  want.data_length = 2;
  want.bus_channel = 1;
  want.dir = 1;
  want.received_byte_count = 2;
  want.data = {0xAB, 0xCD, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(f, want) << test::describe(f);
}

TEST(ExtractLinFrame, VariableLengthBytesKeepFirstEightAndTheWalkGoesOn) {
  RecordBuilder r;
  r.uint("LIN_Frame.ID", 0x30);
  r.vlsd("LIN_Frame.DataBytes", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  r.uint("LIN_Frame.DataLength", 8);
  r.uint("LIN_Frame.BusChannel", 4);
  FrameValue f = r.extract(extract_lin_frame);
  EXPECT_EQ(f.kind, FRAME_LIN);
  EXPECT_EQ(f.data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(f.data_length, 8u);
  EXPECT_EQ(f.bus_channel, 4);

  RecordBuilder shortr;
  shortr.vlsd("LIN_Frame.DataBytes", {1, 2});
  EXPECT_EQ(shortr.extract(extract_lin_frame).data, (std::vector<uint8_t>{1, 2, 0, 0, 0, 0, 0, 0}));
}

TEST(ExtractLinFrame, DirIsSetByAnyNonZeroValueIncludingNaN) {
  for (double v : {0.0, -0.0, 0.25, 1.0, std::nan("")}) {
    RecordBuilder r;
    r.f64("LIN_Frame.Dir", v);
    EXPECT_EQ(r.extract(extract_lin_frame).dir, v == 0.0 ? 0 : 1) << v;
  }
}

// A flag is stored by one rule in every kind: any non-zero value sets it, a fraction or NaN
// (from a conversion or a float channel) included.
TEST(ExtractFrames, FlagsAreSetByAnyNonZeroValueInEveryKind) {
  const std::pair<const char*, FrameExtractor> flags[] = {
      {"CAN_DataFrame.Dir", extract_can_data_frame},
      {"CAN_DataFrame.EDL", extract_can_data_frame},
      {"CAN_RemoteFrame.Dir", extract_can_remote_frame},
      {"LIN_Frame.Dir", extract_lin_frame}};
  for (double v : {0.0, 0.25, -0.5, std::nan("")}) {
    for (auto [name, extractor] : flags) {
      RecordBuilder r;
      r.f64(name, v);
      FrameValue f = r.extract(extractor);
      EXPECT_EQ(std::string(name).ends_with("EDL") ? f.edl : f.dir, v == 0.0 ? 0 : 1)
          << name << " " << v;
    }
  }
}

TEST(ExtractNothing, LeavesNoFrame) {
  RecordBuilder r = can_data_record(0x100, {1});
  EXPECT_EQ(r.extract(extract_nothing).kind, FRAME_NONE);
}

TEST(ExtractNumbers, OutOfRangeValuesStoreSafely) {
  // Float fields far outside every integer range, infinities and NaN must not be undefined.
  for (double v : {1e30, -1e30, double(INFINITY), -double(INFINITY), std::nan(""), -1.0, 1.8e19}) {
    RecordBuilder r;
    r.f64("CAN_DataFrame.ID", v);
    r.f64("CAN_DataFrame.DLC", v);
    r.f64("CAN_DataFrame.IDE", v);
    FrameValue f = r.extract(extract_can_data_frame);
    EXPECT_EQ(f.kind, FRAME_CAN_DATA) << v;
  }
  RecordBuilder r;
  r.f64("CAN_DataFrame.BusChannel", -1.0);  // truncation keeps the two's complement byte
  r.f64("CAN_DataFrame.DLC", 9.99);
  FrameValue f = r.extract(extract_can_data_frame);
  EXPECT_EQ(f.bus_channel, 0xFF);
  EXPECT_EQ(f.dlc, 9);
  // Integer fields go through a double: up to 53 bits exactly, wider ones rounded to it (and
  // 2^64 saturates).
  for (auto [raw, id] : {std::pair<uint64_t, uint32_t>{(uint64_t{1} << 53) - 1, 0xFFFFFFFF},
                         {(uint64_t{1} << 53) + 1, 0},
                         {~uint64_t{0}, 0xFFFFFFFF}}) {
    RecordBuilder wide;
    wide.uint("CAN_DataFrame.ID", raw, 8);
    wide.uint("CAN_DataFrame.Dir", raw >> 1 << 1, 8);  // no low bit set, yet not zero
    f = wide.extract(extract_can_data_frame);
    EXPECT_EQ(f.id, id) << raw;
    EXPECT_EQ(f.dir, 1) << raw;
  }
}

// ---------------------------------------------------------------------------------------------
// Whole files from the test writer

// What a frame added to the builder must read back as.
FrameValue expected_can(uint8_t channel, uint32_t id, bool ide, const std::vector<uint8_t>& data,
                        double t, uint8_t dir, uint8_t edl, uint8_t brs, uint8_t esi) {
  FrameValue f;
  f.kind = FRAME_CAN_DATA;
  f.timestamp = t;
  f.id = id;
  f.data_length = data.size();
  f.bus_channel = channel;
  f.ide = ide;
  f.dir = dir;
  f.edl = edl;
  f.brs = brs;
  f.esi = esi;
  f.dlc = test::can_dlc_for_length(data.size());
  f.data = data;
  f.data.resize(CAN_DATA_AREA);
  return f;
}

FrameValue expected_remote(uint8_t channel, uint32_t id, bool ide, uint8_t dlc, double t,
                           uint8_t dir) {
  FrameValue f;
  f.kind = FRAME_CAN_REMOTE;
  f.timestamp = t;
  f.id = id;
  f.data_length = dlc < 8 ? dlc : 8;
  f.bus_channel = channel;
  f.ide = ide;
  f.dir = dir;
  f.dlc = dlc;
  f.rtr = 1;
  f.data.resize(CAN_DATA_AREA);
  return f;
}

FrameValue expected_error(uint8_t channel, uint32_t type, double t) {
  FrameValue f;
  f.kind = FRAME_CAN_ERROR;
  f.timestamp = t;
  f.bus_channel = channel;
  f.error_type = type >= 1 && type <= 5 ? type : 0;
  return f;
}

FrameValue expected_lin(uint8_t channel, uint32_t id, const std::vector<uint8_t>& data, double t,
                        uint8_t dir) {
  FrameValue f;
  f.kind = FRAME_LIN;
  f.timestamp = t;
  f.id = id;
  f.data_length = data.size();
  f.bus_channel = channel;
  f.dir = dir;
  f.received_byte_count = static_cast<uint8_t>(data.size());
  f.data = data;
  f.data.resize(LIN_DATA_AREA);
  return f;
}

void expect_frames(const test::ReadResult& read, const std::vector<FrameValue>& want,
                   const std::string& label) {
  ASSERT_TRUE(read.opened) << label;
  ASSERT_EQ(read.frames.size(), want.size()) << label;
  for (size_t i = 0; i < want.size(); ++i)
    ASSERT_EQ(read.frames[i], want[i])
        << label << " frame " << i << "\n got  " << test::describe(read.frames[i]) << "\n want "
        << test::describe(want[i]);
}

// Which channel of a written log fills which frame field: one channel added after the
// standard fields of a group (so that it is the last word on its field) changes the frame of
// that group as the lambda says. Names that are no field of the group's frame leave it as it
// is, unless they carry another frame's prefix, which hides it.
TEST(BusLogFrames, EachChannelNameFillsItsFrameField) {
  using test::FrameGroup;
  const FrameValue can = expected_can(1, 0x100, false, {1, 2, 3}, 0.5, 0, 0, 0, 0);
  const FrameValue remote = expected_remote(1, 0x1A0, false, 4, 0.5, 0);
  const FrameValue error = expected_error(1, 2, 0.5);
  const FrameValue lin = expected_lin(1, 0x21, {9, 8}, 0.5, 0);
  struct Case {
    FrameGroup group;
    const char* name;
    uint64_t value;
    std::function<void(FrameValue&)> change;
  };
  // A hidden frame is one of kind FRAME_NONE, whatever else the record left in it.
  const auto hidden = [](FrameValue& f) { f.kind = FRAME_NONE; };
  const auto unchanged = [](FrameValue&) {};
  const Case cases[] = {
      {FrameGroup::CanData, "CAN_DataFrame.BusChannel", 7,
       [](FrameValue& f) { f.bus_channel = 7; }},
      {FrameGroup::CanData, "CAN_DataFrame.ID", 0x40, [](FrameValue& f) { f.id |= 0x40; }},
      {FrameGroup::CanData, "CAN_DataFrame.IDE", 1, [](FrameValue& f) { f.ide = 1; }},
      {FrameGroup::CanData, "CAN_DataFrame.DLC", 5, [](FrameValue& f) { f.dlc = 5; }},
      {FrameGroup::CanData, "CAN_DataFrame.DataLength", 9,
       [](FrameValue& f) { f.data_length = 9; }},
      {FrameGroup::CanData, "CAN_DataFrame.DataBytes", 0xEE,
       [](FrameValue& f) { f.data[0] = 0xEE; }},
      {FrameGroup::CanData, "CAN_DataFrame.Dir", 1, [](FrameValue& f) { f.dir = 1; }},
      {FrameGroup::CanData, "CAN_DataFrame.EDL", 1, [](FrameValue& f) { f.edl = 1; }},
      {FrameGroup::CanData, "CAN_DataFrame.BRS", 1, [](FrameValue& f) { f.brs = 1; }},
      {FrameGroup::CanData, "CAN_DataFrame.ESI", 1, [](FrameValue& f) { f.esi = 1; }},
      {FrameGroup::CanData, "Timestamp", 3, [](FrameValue& f) { f.timestamp = 3; }},
      {FrameGroup::CanRemote, "CAN_RemoteFrame.BusChannel", 6,
       [](FrameValue& f) { f.bus_channel = 6; }},
      {FrameGroup::CanRemote, "CAN_RemoteFrame.ID", 0x001, [](FrameValue& f) { f.id |= 1; }},
      {FrameGroup::CanRemote, "CAN_RemoteFrame.IDE", 1, [](FrameValue& f) { f.ide = 1; }},
      {FrameGroup::CanRemote, "CAN_RemoteFrame.DLC", 2, [](FrameValue& f) { f.dlc = 2; }},
      {FrameGroup::CanRemote, "CAN_RemoteFrame.DataLength", 3,
       [](FrameValue& f) { f.data_length = 3; }},
      {FrameGroup::CanRemote, "CAN_RemoteFrame.Dir", 1, [](FrameValue& f) { f.dir = 1; }},
      {FrameGroup::CanError, "CAN_ErrorFrame.BusChannel", 4,
       [](FrameValue& f) { f.bus_channel = 4; }},
      {FrameGroup::CanError, "CAN_ErrorFrame.ErrorType", 5,
       [](FrameValue& f) { f.error_type = 5; }},
      {FrameGroup::Lin, "LIN_Frame.BusChannel", 3, [](FrameValue& f) { f.bus_channel = 3; }},
      {FrameGroup::Lin, "LIN_Frame.ID", 0x10, [](FrameValue& f) { f.id |= 0x10; }},
      {FrameGroup::Lin, "LIN_Frame.Dir", 1, [](FrameValue& f) { f.dir = 1; }},
      {FrameGroup::Lin, "LIN_Frame.DataLength", 6, [](FrameValue& f) { f.data_length = 6; }},
      {FrameGroup::Lin, "LIN_Frame.ReceivedDataByteCount", 1,
       [](FrameValue& f) { f.received_byte_count = 1; }},
      // Fields of other frame types, other cases and extensions of names are no fields.
      {FrameGroup::CanData, "CAN_DataFrame.Id", 0x7FF, unchanged},
      {FrameGroup::CanData, "CAN_DataFrame.IDEX", 1, unchanged},
      {FrameGroup::CanRemote, "CAN_RemoteFrame.DataBytes", 0xEE, unchanged},
      {FrameGroup::CanError, "CAN_ErrorFrame.ID", 0x7FF, unchanged},
      {FrameGroup::CanError, "CAN_ErrorFrame.DataLength", 8, unchanged},
      {FrameGroup::Lin, "LIN_Frame.Checksum", 0x55, unchanged},
      {FrameGroup::CanData, "timestamp", 3, unchanged},
      {FrameGroup::CanData, "Timestamp ", 3, unchanged},
      {FrameGroup::CanData, "__samples_origin", 2, unchanged},
      {FrameGroup::Lin, "CAN_DataFrame.BusChannel", 3, hidden},
  };
  for (const Case& c : cases) {
    BusLogBuilder log;
    log.extra_channel(c.group, c.name, c.value);
    FrameValue want;
    switch (c.group) {
      case FrameGroup::CanData:
        log.add_can_frame(1, 0x100, false, {1, 2, 3}, 0.5);
        want = can;
        break;
      case FrameGroup::CanRemote:
        log.add_can_remote_frame(1, 0x1A0, false, 4, 0.5);
        want = remote;
        break;
      case FrameGroup::CanError:
        log.add_can_error_frame(1, 2, 0.5);
        want = error;
        break;
      default:
        log.add_lin_frame(1, 0x21, {9, 8}, 0.5);
        want = lin;
        break;
    }
    c.change(want);
    test::ReadResult read = test::read_frames(log.build());
    ASSERT_EQ(read.frames.size(), 1u) << c.name;
    if (want.kind == FRAME_NONE) {
      EXPECT_EQ(read.frames[0].kind, FRAME_NONE) << c.name;
    } else {
      expect_frames(read, {want}, c.name);
    }
  }
}

TEST(BusLogFrames, EachFrameTypeInItsOwnDataGroup) {
  BusLogBuilder log;
  log.add_can_frame(1, 0x100, false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.5);
  log.add_lin_frame(2, 0x21, {9, 8}, 0.75, true);
  log.add_can_frame(2, 0x1234567, true, {0xAA, 0xBB}, 1.0, {.dir = true});
  log.add_can_remote_frame(1, 0x1A0, false, 4, 1.5, true);
  log.add_can_error_frame(3, 4, 2.0);
  log.add_can_error_frame(3, 9, 2.5);  // out-of-range error types read as 0
  test::ReadResult read = test::read_frames(log.build());
  expect_frames(read,
                {expected_can(1, 0x100, false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.5, 0, 0, 0, 0),
                 expected_can(2, 0x1234567, true, {0xAA, 0xBB}, 1.0, 1, 0, 0, 0),
                 expected_remote(1, 0x1A0, false, 4, 1.5, 1), expected_error(3, 4, 2.0),
                 expected_error(3, 0, 2.5), expected_lin(2, 0x21, {9, 8}, 0.75, 1)},
                "sorted");
  EXPECT_EQ(read.group_kinds,
            (std::vector<uint32_t>{GROUP_CAN_DATA, GROUP_CAN_REMOTE, GROUP_CAN_ERROR, GROUP_LIN}));
  EXPECT_EQ(read.frames_per_group, (std::vector<size_t>{2, 1, 2, 1}));
}

TEST(BusLogFrames, CanFdPayloadsInSignalDataAndVariableLengthGroups) {
  std::vector<uint8_t> p64(64), p20(20);
  for (size_t i = 0; i < 64; ++i) p64[i] = static_cast<uint8_t>(0xC0 ^ i);
  for (size_t i = 0; i < 20; ++i) p20[i] = static_cast<uint8_t>(i * 7);
  struct Case {
    test::DataStorage storage;
    test::Layout layout;
    const char* label;
  } cases[] = {
      {test::DataStorage::Auto, test::Layout::Sorted, "SD block, sorted"},
      {test::DataStorage::SignalData, test::Layout::Unsorted, "SD block, unsorted"},
      {test::DataStorage::VlsdGroup, test::Layout::Sorted, "VLSD group, own data group"},
      {test::DataStorage::VlsdGroup, test::Layout::Unsorted, "VLSD group, unsorted"},
      {test::DataStorage::Fixed, test::Layout::Sorted, "fixed 64-byte arrays"},
  };
  for (const Case& c : cases) {
    BusLogBuilder log;
    log.layout(c.layout).can_data_storage(c.storage);
    log.add_canfd_frame(1, 0x400, false, p64, 0.001);
    log.add_can_error_frame(1, 2, 0.0015);
    log.add_canfd_frame(1, 0xFD1234, true, p20, 0.002, false, true);
    log.add_can_frame(2, 0x100, false, {1, 2, 3}, 0.003);
    log.add_canfd_frame(1, 0x401, false, {}, 0.004);
    std::vector<FrameValue> can = {
        expected_can(1, 0x400, false, p64, 0.001, 0, 1, 1, 0),
        expected_can(1, 0xFD1234, true, p20, 0.002, 0, 1, 0, 1),
        expected_can(2, 0x100, false, {1, 2, 3}, 0.003, 0, 0, 0, 0),
        expected_can(1, 0x401, false, {}, 0.004, 0, 1, 1, 0),
    };
    FrameValue error = expected_error(1, 2, 0.0015);
    std::vector<FrameValue> want = can;
    if (c.layout == test::Layout::Sorted) {
      want.push_back(error);
    } else {
      want.insert(want.begin() + 1, error);
    }
    expect_frames(test::read_frames(log.build()), want, c.label);
  }
}

TEST(BusLogFrames, UnsortedRecordIdSizes) {
  for (uint8_t size : {1, 2, 4, 8}) {
    BusLogBuilder log;
    log.layout(test::Layout::Unsorted, size);
    log.add_lin_frame(1, 0x10, {1, 2, 3, 4}, 0.1);
    log.add_can_frame(1, 0x7FF, false, {5}, 0.2);
    log.add_can_remote_frame(2, 0x1FFFFFFF, true, 8, 0.3);
    log.add_lin_frame(1, 0x11, {}, 0.4);
    expect_frames(
        test::read_frames(log.build()),
        {expected_lin(1, 0x10, {1, 2, 3, 4}, 0.1, 0),
         expected_can(1, 0x7FF, false, {5}, 0.2, 0, 0, 0, 0),
         expected_remote(2, 0x1FFFFFFF, true, 8, 0.3, 0), expected_lin(1, 0x11, {}, 0.4, 0)},
        "record id size " + std::to_string(size));
  }
}

TEST(BusLogFrames, SingleGroupWithRecordIdsIsReadThroughItsIds) {
  BusLogBuilder log;
  log.record_id_size(2);
  log.add_can_frame(1, 0x100, false, {1}, 0.25);
  log.add_can_frame(1, 0x101, false, {2}, 0.5);
  expect_frames(test::read_frames(log.build()),
                {expected_can(1, 0x100, false, {1}, 0.25, 0, 0, 0, 0),
                 expected_can(1, 0x101, false, {2}, 0.5, 0, 0, 0, 0)},
                "sorted with record ids");
}

TEST(BusLogFrames, OtherWritersOptionalFieldsDoNotHideFrames) {
  BusLogBuilder log;
  log.extra_channel(test::FrameGroup::Lin, "LIN_Frame.Checksum", 0x55)
      .extra_channel(test::FrameGroup::Lin, "LIN_Frame.ChecksumModel", 1)
      .extra_channel(test::FrameGroup::CanData, "CAN_DataFrame.SRR", 1)
      .extra_channel(test::FrameGroup::CanData, "CAN_DataFrame.WakeUp", 0, 2)
      .extra_channel(test::FrameGroup::CanRemote, "CAN_RemoteFrame.DataBytes", 0, 8);
  log.add_lin_frame(1, 0x3C, {1, 2, 3, 4, 5, 6, 7, 8}, 0.5);
  log.add_can_frame(1, 0x100, false, {1, 2}, 0.75);
  log.add_can_remote_frame(1, 0x100, false, 2, 1.0);
  expect_frames(test::read_frames(log.build()),
                {expected_can(1, 0x100, false, {1, 2}, 0.75, 0, 0, 0, 0),
                 expected_remote(1, 0x100, false, 2, 1.0, 0),
                 expected_lin(1, 0x3C, {1, 2, 3, 4, 5, 6, 7, 8}, 0.5, 0)},
                "optional fields");
}

// Integer fields of either byte order and signedness are read as they are, with no warning
// (as another writer stores LIN_Frame.ChecksumModel signed): a warning must be true. A payload
// typed as an integer is still its bytes.
TEST(BusLogFrames, IntegerFieldsOfEveryTypeAreReadWithoutWarnings) {
  BusLogBuilder log;
  log.extra_channel(test::FrameGroup::Lin, "LIN_Frame.ChecksumModel", 1)
      .field_data_type("LIN_Frame.ChecksumModel", test::DT_SIGNED_LE)
      .field_data_type("LIN_Frame.ID", test::DT_SIGNED_LE)
      .field_data_type("LIN_Frame.BusChannel", test::DT_SIGNED_BE)
      .field_data_type("CAN_DataFrame.ID", test::DT_UNSIGNED_BE)
      .field_data_type("CAN_DataFrame.DataLength", test::DT_SIGNED_BE)
      .field_data_type("LIN_Frame.DataBytes", test::DT_UNSIGNED_LE);  // still its bytes
  log.add_lin_frame(1, 0x3C, {1, 2}, 0.5);
  log.add_can_frame(2, 0x12345, true, {1, 2}, 0.75);
  mdftest::LogCapture capture;
  expect_frames(test::read_frames(log.build()),
                {expected_can(2, 0x12345, true, {1, 2}, 0.75, 0, 0, 0, 0),
                 expected_lin(1, 0x3C, {1, 2}, 0.5, 0)},
                "field types");
  EXPECT_EQ(capture.text(), "");
}

// The time channel in every numeric type: signed ticks (also before the start) and unsigned
// big-endian ticks through the linear conversion, big-endian seconds as a double.
TEST(BusLogFrames, TimeChannelsOfEveryNumericType) {
  struct Case {
    uint8_t type;
    double tick;  // 0: seconds
    double times[3];
  } cases[] = {
      {test::DT_SIGNED_LE, 1e-6, {-0.25, 0.000123, 86400.5}},
      {test::DT_SIGNED_BE, 1e-5, {-2.5, 1.25, 7200.0}},
      {test::DT_UNSIGNED_BE, 1e-6, {0.5, 1.000001, 3600.25}},
      {test::DT_FLOAT_BE, 0, {-1.5, 0.1, 12345.678}},
  };
  for (const Case& c : cases) {
    BusLogBuilder log;
    log.timestamp_type(c.type);
    if (c.tick > 0) log.timestamp_ticks(c.tick);
    log.add_can_frame(1, 0x100, false, {1}, c.times[0]);
    log.add_lin_frame(2, 0x21, {2}, c.times[1]);
    log.add_can_frame(1, 0x101, false, {3}, c.times[2]);
    // Ticks give the time as their count times the factor, exactly as the conversion does.
    auto at = [&c](double t) {
      return c.tick > 0 ? static_cast<double>(std::llround(t / c.tick)) * c.tick : t;
    };
    // Data groups are read one after the other: the CAN group's, then the LIN group's.
    expect_frames(test::read_frames(log.build()),
                  {expected_can(1, 0x100, false, {1}, at(c.times[0]), 0, 0, 0, 0),
                   expected_can(1, 0x101, false, {3}, at(c.times[2]), 0, 0, 0, 0),
                   expected_lin(2, 0x21, {2}, at(c.times[1]), 0)},
                  "time type " + std::to_string(c.type));
  }
}

// Payloads stored as strings (of any encoding) are their bytes as stored, zeros included, in
// signal data and in variable-length records alike; the offset in the record is read as a
// little-endian integer whatever the string type.
TEST(BusLogFrames, StringTypedPayloadsAreTheirBytes) {
  for (uint8_t type :
       {uint8_t{test::DT_STRING_LATIN1}, uint8_t{test::DT_STRING_UTF8}, uint8_t{9}}) {
    for (auto storage : {test::DataStorage::SignalData, test::DataStorage::VlsdGroup}) {
      BusLogBuilder log;
      log.can_data_storage(storage).field_data_type("CAN_DataFrame.DataBytes", type);
      log.add_can_frame(1, 0x100, false, {0, 0x41, 0, 0xFF}, 0.5);
      log.add_can_frame(1, 0x101, false, {}, 0.6);
      log.add_can_frame(1, 0x102, false, {0x80, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 0.7);
      expect_frames(test::read_frames(log.build()),
                    {expected_can(1, 0x100, false, {0, 0x41, 0, 0xFF}, 0.5, 0, 0, 0, 0),
                     expected_can(1, 0x101, false, {}, 0.6, 0, 0, 0, 0),
                     expected_can(1, 0x102, false, {0x80, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 0.7,
                                  0, 1, 0, 0)},
                    "string type " + std::to_string(type));
    }
  }
}

// A frame field of a type that is not read refuses its group, with a reason that names the
// channel and the type; the same type on a channel that no frame needs is passed over.
TEST(BusLogFrames, FieldsOfTypesThatAreNotReadRefuseTheirGroup) {
  struct Case {
    const char* field;
    uint8_t type;
    const char* why;  // empty: the frames are read
  } cases[] = {
      {"CAN_DataFrame.DataBytes", test::DT_MIME_SAMPLE,
       "channel \"CAN_DataFrame.DataBytes\" has data type 11 (MIME sample), which is not read"},
      {"CAN_DataFrame.ID", 14,
       "channel \"CAN_DataFrame.ID\" has data type 14 (CANopen time), which is not read"},
      {"CAN_DataFrame.SRR", test::DT_MIME_SAMPLE, ""},
      {"__samples_origin", 16, ""},
  };
  for (const Case& c : cases) {
    BusLogBuilder log;
    if (!*c.why) log.extra_channel(test::FrameGroup::CanData, c.field, 1);
    log.field_data_type(c.field, c.type);
    log.add_can_frame(1, 0x100, false, {1}, 0.5);
    log.add_lin_frame(1, 0x21, {2}, 0.6);
    std::vector<uint8_t> bytes = log.build();
    test::ReadResult read = test::read_frames(bytes);
    ASSERT_EQ(read.frames.size(), 2u) << c.field;
    EXPECT_EQ(read.frames[1], expected_lin(1, 0x21, {2}, 0.6, 0)) << c.field;
    if (!*c.why) {
      EXPECT_EQ(read.frames[0], expected_can(1, 0x100, false, {1}, 0.5, 0, 0, 0, 0)) << c.field;
      continue;
    }
    EXPECT_EQ(read.frames[0].kind, FRAME_NONE) << c.field;
    mdftest::Opened o(bytes);
    ASSERT_NE(o.file, nullptr);
    const CgBlock* cg = cg_block(o.dg(0)->channel_groups.first[0]);
    ScopedDynString why;
    ASSERT_TRUE(frame_group_refusal(cg->record_channels.items, cg->record_channels.count,
                                    GROUP_CAN_DATA, &why.s));
    EXPECT_EQ(why.view(), c.why);
  }
}

// Channels that are no frame field are passed over, and frame_group_ignored names those that
// carry no prefix of the frame (an optional member of its own prefix is named not); a channel
// with another frame's prefix still leaves the group without frames.
TEST(BusLogFrames, ChannelsOfNoFieldArePassedOverAndNamed) {
  struct Case {
    std::vector<std::string> extras;
    const char* ignored;  // null: the group gives no frames
  } cases[] = {
      {{"__samples_origin"}, "\"__samples_origin\""},
      {{"Speed", "CAN_DataFrame.CRC", "__samples_origin"}, "\"Speed\", \"__samples_origin\""},
      {{"CAN_DataFrame.SRR"}, ""},
      {{"CAN_RemoteFrame.ID"}, nullptr},
  };
  for (const Case& c : cases) {
    BusLogBuilder log;
    for (const std::string& e : c.extras) log.extra_channel(test::FrameGroup::CanData, e, 3, 2);
    log.add_can_frame(1, 0x100, false, {1}, 0.5);
    log.add_can_frame(1, 0x101, false, {2}, 0.6);
    std::vector<uint8_t> bytes = log.build();
    test::ReadResult read = test::read_frames(bytes);
    ASSERT_EQ(read.frames.size(), 2u) << c.extras[0];
    if (!c.ignored) {
      for (const FrameValue& f : read.frames) EXPECT_EQ(f.kind, FRAME_NONE) << c.extras[0];
      EXPECT_EQ(read.group_kinds, std::vector<uint32_t>{GROUP_NONE}) << c.extras[0];
      continue;
    }
    expect_frames(read,
                  {expected_can(1, 0x100, false, {1}, 0.5, 0, 0, 0, 0),
                   expected_can(1, 0x101, false, {2}, 0.6, 0, 0, 0, 0)},
                  c.extras[0]);
    mdftest::Opened o(bytes);
    ASSERT_NE(o.file, nullptr);
    const CgBlock* cg = cg_block(o.dg(0)->channel_groups.first[0]);
    ScopedDynString names;
    int32_t n = frame_group_ignored(cg->record_channels.items, cg->record_channels.count,
                                    GROUP_CAN_DATA, &names.s);
    EXPECT_EQ(names.view(), c.ignored);
    EXPECT_EQ(n,
              static_cast<int32_t>(std::count(c.ignored, c.ignored + strlen(c.ignored), '"') / 2));
  }
}

TEST(BusLogFrames, LinDataBytesAsVariableLengthData) {
  for (auto storage : {test::DataStorage::SignalData, test::DataStorage::VlsdGroup}) {
    BusLogBuilder log;
    log.lin_data_storage(storage).extra_channel(test::FrameGroup::Lin, "LIN_Frame.Checksum", 7);
    log.add_lin_frame(1, 0x30, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0.5, true);
    log.add_lin_frame(2, 0x21, {0xAB}, 0.6);
    // The data length field says 10 for the first frame: the area keeps the first 8 bytes.
    expect_frames(test::read_frames(log.build()),
                  {expected_lin(1, 0x30, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0.5, 1),
                   expected_lin(2, 0x21, {0xAB}, 0.6, 0)},
                  storage == test::DataStorage::SignalData ? "SD" : "VLSD group");
  }
}

// Variable-length records are paired with their frames by the offsets the frames hold (a
// writer that puts each one before its frame), or, where the offsets do not rise (a logger
// that leaves them 0 and writes each one right after its frame), by order.
TEST(BusLogFrames, VariableLengthRecordsPairedByOffsetOrByOrder) {
  struct Case {
    bool before, unfilled;
    const char* name;
  } cases[] = {{false, false, "after, offsets"},
               {true, false, "before, offsets"},
               {false, true, "after, offsets 0"}};
  for (const Case& c : cases) {
    BusLogBuilder log;
    log.can_data_storage(test::DataStorage::VlsdGroup)
        .vlsd_before_record(c.before)
        .vlsd_offsets_unfilled(c.unfilled);
    log.add_can_frame(1, 0x100, false, {1, 2, 3}, 0.5);
    log.add_can_frame(1, 0x101, false, {4, 5, 6, 7, 8, 9, 10, 11}, 0.6);
    log.add_can_frame(1, 0x102, false, {12}, 0.7);
    expect_frames(test::read_frames(log.build()),
                  {expected_can(1, 0x100, false, {1, 2, 3}, 0.5, 0, 0, 0, 0),
                   expected_can(1, 0x101, false, {4, 5, 6, 7, 8, 9, 10, 11}, 0.6, 0, 0, 0, 0),
                   expected_can(1, 0x102, false, {12}, 0.7, 0, 0, 0, 0)},
                  c.name);
  }
}

// One data group that mixes the layouts: CAN payloads before their records with offsets, LIN
// payloads after their records with offsets left 0. Each variable-length group is paired its
// own way.
TEST(BusLogFrames, VariableLengthLayoutsMixedInOneDataGroup) {
  BusLogBuilder log;
  log.layout(test::Layout::Unsorted)
      .can_data_storage(test::DataStorage::VlsdGroup)
      .lin_data_storage(test::DataStorage::VlsdGroup)
      .vlsd_layout_of(test::FrameGroup::CanData, true, false)
      .vlsd_layout_of(test::FrameGroup::Lin, false, true);
  log.add_can_frame(1, 0x100, false, {1, 2, 3}, 0.5);
  log.add_lin_frame(1, 0x21, {0xA1, 0xA2}, 0.55);
  log.add_can_frame(1, 0x101, false, {4, 5, 6, 7, 8, 9, 10, 11}, 0.6);
  log.add_lin_frame(1, 0x22, {0xB1, 0xB2, 0xB3, 0xB4}, 0.65);
  log.add_lin_frame(1, 0x23, {0xC1}, 0.66);
  log.add_can_frame(1, 0x102, false, {12}, 0.7);
  expect_frames(test::read_frames(log.build()),
                {expected_can(1, 0x100, false, {1, 2, 3}, 0.5, 0, 0, 0, 0),
                 expected_lin(1, 0x21, {0xA1, 0xA2}, 0.55, 0),
                 expected_can(1, 0x101, false, {4, 5, 6, 7, 8, 9, 10, 11}, 0.6, 0, 0, 0, 0),
                 expected_lin(1, 0x22, {0xB1, 0xB2, 0xB3, 0xB4}, 0.65, 0),
                 expected_lin(1, 0x23, {0xC1}, 0.66, 0),
                 expected_can(1, 0x102, false, {12}, 0.7, 0, 0, 0, 0)},
                "mixed");
}

TEST(BusLogFrames, NonBusSourceYieldsNoFrames) {
  for (uint8_t source : {uint8_t{test::SOURCE_ECU}, uint8_t{0}}) {
    BusLogBuilder log;
    log.source_type(source);
    log.add_can_frame(1, 0x100, false, {1}, 0.5);
    test::ReadResult read = test::read_frames(log.build());
    ASSERT_TRUE(read.opened);
    ASSERT_EQ(read.frames.size(), 1u);
    EXPECT_EQ(read.frames[0].kind, FRAME_NONE);
    EXPECT_EQ(read.group_kinds, std::vector<uint32_t>{GROUP_NONE});
  }
}

TEST(BusLogFrames, TicksInvalidationBytesAndFlatChannels) {
  BusLogBuilder log;
  log.timestamp_ticks(1e-6).invalidation_bytes(2).flat_channels().layout(test::Layout::Unsorted);
  log.add_can_frame(1, 0x100, false, {1, 2}, 123 * 1e-6);
  log.add_lin_frame(1, 0x10, {3}, 456789 * 1e-6);
  log.add_can_frame(1, 0x101, false, {4}, 1000000 * 1e-6);
  expect_frames(test::read_frames(log.build()),
                {expected_can(1, 0x100, false, {1, 2}, 123 * 1e-6, 0, 0, 0, 0),
                 expected_lin(1, 0x10, {3}, 456789 * 1e-6, 0),
                 expected_can(1, 0x101, false, {4}, 1000000 * 1e-6, 0, 0, 0, 0)},
                "ticks");
}

TEST(BusLogFrames, UnfinalisedLogReadsToTheEndOfTheFile) {
  BusLogBuilder log;
  log.unfinalised();
  for (int i = 0; i < 5; ++i) log.add_can_frame(1, 0x100 + i, false, {uint8_t(i)}, i * 0.5);
  test::ReadResult read = test::read_frames(log.build());
  ASSERT_TRUE(read.opened);
  ASSERT_EQ(read.frames.size(), 5u);
  EXPECT_EQ(read.frames[4].id, 0x104u);
}

// Random logs of every frame type under every layout option, read back and compared with
// what was written.
TEST(BusLogFrames, RandomLogsReadBackAsWritten) {
  std::mt19937 rng(20231107);
  auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  const test::DataStorage storages[] = {test::DataStorage::Auto, test::DataStorage::Fixed,
                                        test::DataStorage::SignalData,
                                        test::DataStorage::VlsdGroup};
  const uint8_t id_sizes[] = {1, 2, 4, 8};
  for (int round = 0; round < 40; ++round) {
    BusLogBuilder log;
    bool unsorted = pick(2);
    bool ticks = pick(2);
    log.layout(unsorted ? test::Layout::Unsorted : test::Layout::Sorted, id_sizes[pick(4)])
        .can_data_storage(storages[pick(4)])
        .lin_data_storage(storages[1 + pick(3)])
        .flat_channels(pick(2))
        .invalidation_bytes(pick(3));
    if (ticks) log.timestamp_ticks(1e-6);
    if (pick(2)) log.extra_channel(test::FrameGroup::CanData, "CAN_DataFrame.SRR", pick(2));
    if (pick(2)) log.extra_channel(test::FrameGroup::CanError, "CAN_ErrorFrame.Extra", 3, 4);
    std::vector<FrameValue> by_group[4];
    std::vector<FrameValue> in_order;
    uint32_t frames = 1 + pick(60);
    uint64_t tick = 0;
    for (uint32_t i = 0; i < frames; ++i) {
      tick += 1 + pick(5000);
      double t = ticks ? static_cast<double>(tick) * 1e-6 : static_cast<double>(tick) / 1024.0;
      uint8_t channel = static_cast<uint8_t>(1 + pick(9));
      bool ext = pick(2);
      uint32_t id = ext ? pick(0x20000000) : pick(0x800);
      FrameValue f;
      size_t group = pick(4);
      if (group == 0) {
        bool fd = pick(3) == 0;
        std::vector<uint8_t> data(fd ? pick(65) : pick(9));
        for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
        uint8_t dir = pick(2), brs = fd && pick(2), esi = fd && pick(2);
        if (fd) {
          log.add_canfd_frame(channel, id, ext, data, t, brs, esi, dir);
        } else {
          log.add_can_frame(channel, id, ext, data, t, {.dir = dir != 0});
        }
        f = expected_can(channel, id, ext, data, t, dir, fd || data.size() > 8, brs, esi);
      } else if (group == 1) {
        uint8_t dlc = static_cast<uint8_t>(pick(16)), dir = pick(2);
        log.add_can_remote_frame(channel, id, ext, dlc, t, dir);
        f = expected_remote(channel, id, ext, dlc, t, dir);
      } else if (group == 2) {
        uint32_t type = pick(8);
        log.add_can_error_frame(channel, type, t, id);
        f = expected_error(channel, type, t);
      } else {
        std::vector<uint8_t> data(pick(9));
        for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
        uint8_t dir = pick(2);
        uint32_t lin_id = pick(64);
        log.add_lin_frame(channel, lin_id, data, t, dir);
        f = expected_lin(channel, lin_id, data, t, dir);
      }
      by_group[group].push_back(f);
      in_order.push_back(f);
    }
    std::vector<FrameValue> want;
    if (unsorted) {
      want = in_order;
    } else {
      for (const auto& g : by_group) want.insert(want.end(), g.begin(), g.end());
    }
    expect_frames(test::read_frames(log.build()), want, "round " + std::to_string(round));
    if (HasFatalFailure()) return;
  }
}

}  // namespace

// Writers that log no DataLength channel: the DLC gives the length (CAN FD codes above 8 by
// the EDL flag or, without one, by the payload's size; remote frames are classic), and a LIN
// frame takes the count of bytes received. A LIN payload logged as an integer channel keeps
// its bytes as stored.
TEST(BusLogFrames, LengthWithoutDataLengthChannel) {
  std::vector<uint8_t> fd32(32), fd12(12);
  for (size_t i = 0; i < fd32.size(); ++i) fd32[i] = static_cast<uint8_t>(i + 1);
  for (size_t i = 0; i < fd12.size(); ++i) fd12[i] = static_cast<uint8_t>(0xA0 + i);
  for (bool with_edl : {true, false}) {
    BusLogBuilder log;
    log.can_data_storage(test::DataStorage::VlsdGroup)
        .omit_field("CAN_DataFrame.DataLength")
        .omit_field("CAN_RemoteFrame.DataLength")
        .omit_field("LIN_Frame.DataLength")
        .field_data_type("LIN_Frame.DataBytes", test::DT_UNSIGNED_LE);
    if (!with_edl) log.omit_field("CAN_DataFrame.EDL");
    log.add_can_frame(1, 0x100, false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.5);
    log.add_canfd_frame(1, 0x101, false, fd32, 0.6);
    log.add_canfd_frame(1, 0x102, false, fd12, 0.65, false);
    log.add_can_remote_frame(1, 0x103, false, 3, 0.7);
    log.add_lin_frame(2, 0x21, {9, 8, 7, 6, 5}, 0.8);
    uint8_t edl = with_edl ? 1 : 0;
    expect_frames(test::read_frames(log.build()),
                  {expected_can(1, 0x100, false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.5, 0, 0, 0, 0),
                   expected_can(1, 0x101, false, fd32, 0.6, 0, edl, 1, 0),
                   expected_can(1, 0x102, false, fd12, 0.65, 0, edl, 0, 0),
                   expected_remote(1, 0x103, false, 3, 0.7, 0),
                   expected_lin(2, 0x21, {9, 8, 7, 6, 5}, 0.8, 0)},
                  with_edl ? "with EDL" : "without EDL");
  }
}
