// Message database: key functions, the message tree, signal lists and branches, and the
// depth-first value walk of frame decoding.
#include "dbc/message_db.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/hash_table.h"
#include "support/log_capture.h"

namespace {

struct DbDeleter {
  void operator()(MessageDatabase* db) const { message_db_free(db); }
};
using DbPtr = std::unique_ptr<MessageDatabase, DbDeleter>;

SignalLayout intel(uint16_t start, uint8_t length, double factor = 1, double offset = 0) {
  SignalLayout l{};
  l.byte_order = BYTE_ORDER_LITTLE;
  l.is_unsigned = 1;
  l.start_bit = start;
  l.length = length;
  l.factor = factor;
  l.offset = offset;
  l.minimum = -1;
  l.maximum = 1000;
  return l;
}

// "name=value" for every decoded value, in order.
std::string decode_text(const MessageDatabase* db, uint32_t key, std::vector<uint8_t> bytes) {
  DecodedMessage* m = message_db_decode(db, key, bytes.data(), bytes.size());
  if (!m) return "<none>";
  std::string out;
  for (const DecodedValue* v = decoded_values_first(m); v; v = decoded_values_next(v)) {
    if (!out.empty()) out += ' ';
    out += std::string(v->name) + "=" + std::to_string(static_cast<int64_t>(v->value));
    if (v->has_branches) out += "*";
  }
  decoded_message_free(m);
  return out;
}

TEST(MessageKeys, Vectors) {
  EXPECT_EQ(can_message_key(0x123, false), 0x123u);
  EXPECT_EQ(can_message_key(0xFFFF, false), 0x7FFu);
  EXPECT_EQ(can_message_key(0x18FEF100, true), 0x98FEF100u);
  EXPECT_EQ(can_message_key(0xFFFFFFFF, true), 0x9FFFFFFFu);
  EXPECT_EQ(j1939_message_key(0x18FEF100, true), 0x80FEF100u);
  EXPECT_EQ(j1939_message_key(0x18EA2133, true), 0x80EA0000u);
  EXPECT_EQ(j1939_message_key(0x18FEF101, true), j1939_message_key(0x0CFEF1FE, true));
  EXPECT_EQ(j1939_message_key(0x0C000003, true), j1939_message_key(0x0C000127, true));
  EXPECT_EQ(j1939_message_key(0x0CF00400, true), 0x80F00400u);  // PF 0xF0 is PDU2
  EXPECT_EQ(j1939_message_key(0x0DF00400, true), 0x81F00400u);  // data page stays
  EXPECT_EQ(j1939_message_key(0x123, false), 0x123u);
  EXPECT_EQ(lin_message_key(0x7D), 0x3Du);
  EXPECT_EQ(dbcMsgKey2DbMsgKey(PROTOCOL_CAN, 2566844672u), 0x98FEF100u);
  EXPECT_EQ(dbcMsgKey2DbMsgKey(PROTOCOL_CAN, 256), 0x100u);
  EXPECT_EQ(dbcMsgKey2DbMsgKey(PROTOCOL_J1939, 2566844672u), 0x80FEF100u);
  EXPECT_EQ(dbcMsgKey2DbMsgKey(PROTOCOL_J1939, 2348810243u), 0x80000000u);
  EXPECT_EQ(dbcMsgKey2DbMsgKey(PROTOCOL_LIN, 0x7D), 0x3Du);
  EXPECT_EQ(dbcMsgKey2DbMsgKey(PROTOCOL_LIN, 0x17D), 0x3Du);
}

TEST(MessageKeys, InvalidProtocolLogsAndGivesZero) {
  test::LogCapture log;
  EXPECT_EQ(dbcMsgKey2DbMsgKey(0, 0x123), 0u);
  EXPECT_EQ(dbcMsgKey2DbMsgKey(4, 0x123), 0u);
  EXPECT_EQ(log.count("dbcMsgKey2DbMsgKey called with invalid bus type"), 2);
}

TEST(MessageDatabase, CollisionKeepsTheFirstMessage) {
  test::LogCapture log;
  DbPtr db(message_db_new(PROTOCOL_J1939));
  ASSERT_TRUE(db);
  EXPECT_EQ(dynstring_sv(&db->protocol_name), "CAN-PGN");
  ASSERT_TRUE(message_db_add_message(db.get(), "First", 0x80FEF100u, 8, 0));
  EXPECT_FALSE(message_db_add_message(db.get(), "Second", 0x80FEF100u, 4, 1));
  EXPECT_TRUE(log.contains("Message key collision: 2164191488"));
  const Message* m = message_db_find(db.get(), 0x80FEF100u);
  ASSERT_TRUE(m);
  EXPECT_EQ(dynstring_sv(&m->name), "First");
  EXPECT_EQ(m->size, 8u);
  EXPECT_EQ(message_db_find(db.get(), 0x80FEF101u), nullptr);
  EXPECT_EQ(message_db_find(static_cast<const MessageDatabase*>(nullptr), 1), nullptr);
}

TEST(MessageDatabase, TreeAgreesWithStdMap) {
  test::LogCapture log;  // the repeated keys are logged as collisions
  DbPtr db(message_db_new(PROTOCOL_CAN));
  std::map<uint32_t, std::string> expected;
  std::mt19937 rng(7);
  for (int i = 0; i < 5000; ++i) {
    uint32_t key = rng() % 20000;
    std::string name = "M" + std::to_string(i);
    bool fresh = expected.emplace(key, name).second;
    EXPECT_EQ(message_db_add_message(db.get(), name, key, 8, 0) != nullptr, fresh);
  }
  for (uint32_t key = 0; key < 20000; ++key) {
    const Message* m = message_db_find(db.get(), key);
    auto it = expected.find(key);
    ASSERT_EQ(m != nullptr, it != expected.end()) << key;
    if (m) {
      EXPECT_EQ(dynstring_sv(&m->name), it->second);
    }
  }
}

TEST(SignalList, FindIsDepthFirstAndBranchesKeepRanges) {
  SignalList list{};
  SignalLayout l = intel(0, 8);
  Signal* mux = signal_list_add(&list, "Mux", &l, 0);
  ASSERT_TRUE(mux);
  MuxBranch* b = branch_add(&mux->branches, 1, 1);
  ASSERT_TRUE(b);
  ASSERT_TRUE(signal_list_add(&b->signals, "Inner", &l, 1));
  ASSERT_TRUE(signal_list_add(&list, "Outer", &l, 0));
  EXPECT_EQ(branch_add(&list[0].branches, 5, 4), nullptr);
  ASSERT_TRUE(branch_add(&list[0].branches, 2, 6));
  EXPECT_EQ(list[0].branches.count, 2);
  const Signal* inner = signal_list_find(&list, "Inner");
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->ignore, 1);
  EXPECT_EQ(signal_list_find(&list, "Inne"), nullptr);
  EXPECT_EQ(signal_list_find(&list, "Outer"), &list[1]);
  EXPECT_EQ(branch_find(&list[0].branches, 2, 6), &list[0].branches[1]);
  EXPECT_EQ(branch_find(&list[0].branches, 2, 5), nullptr);
  EXPECT_EQ(branch_containing(&list[0].branches, 4), &list[0].branches[1]);
  EXPECT_EQ(branch_containing(&list[0].branches, 1), &list[0].branches[0]);
  EXPECT_EQ(branch_containing(&list[0].branches, 7), nullptr);
  // Signed layouts are stored too.
  SignalLayout s = l;
  s.is_unsigned = 0;
  EXPECT_TRUE(signal_list_add(&list, "Signed", &s, 0));
  EXPECT_EQ(signal_list_add(nullptr, "X", &l, 0), nullptr);
  signal_list_free(&list);
}

// Each multiplexed signal has its own ranges (extended multiplexing): every branch holding the
// multiplexor's value is in use.
TEST(MessageDecode, MultiplexorSelectsEveryContainingBranch) {
  DbPtr db(message_db_new(PROTOCOL_CAN));
  Message* m = message_db_add_message(db.get(), "Muxed", 0x300, 8, 1);
  ASSERT_TRUE(m);
  SignalLayout l8 = intel(0, 8);
  Signal* mux = signal_list_add(&m->signals, "Mux", &l8, 0);
  struct {
    uint32_t low, high;
    const char* name;
    uint16_t start;
  } branches[] = {{1, 1, "One", 8}, {3, 3, "Three", 16}, {2, 5, "TwoToFive", 24}};
  for (auto& b : branches) {
    MuxBranch* branch = branch_add(&mux->branches, b.low, b.high);
    SignalLayout l = intel(b.start, 8);
    ASSERT_TRUE(signal_list_add(&branch->signals, b.name, &l, 0));
  }
  SignalLayout tail = intel(56, 8);
  ASSERT_TRUE(signal_list_add(&m->signals, "Tail", &tail, 0));

  EXPECT_EQ(decode_text(db.get(), 0x300, {3, 10, 11, 12, 0, 0, 0, 99}),
            "Mux=3* Three=11 TwoToFive=12 Tail=99");
  EXPECT_EQ(decode_text(db.get(), 0x300, {4, 10, 11, 12, 0, 0, 0, 99}),
            "Mux=4* TwoToFive=12 Tail=99");
  EXPECT_EQ(decode_text(db.get(), 0x300, {1, 10, 11, 12, 0, 0, 0, 99}), "Mux=1* One=10 Tail=99");
  EXPECT_EQ(decode_text(db.get(), 0x300, {9, 10, 11, 12, 0, 0, 0, 99}), "Mux=9* Tail=99");
  // A short frame: the tail does not fit; the multiplexor and its branch still decode.
  EXPECT_EQ(decode_text(db.get(), 0x300, {3, 10, 11}), "Mux=3* Three=11");
  EXPECT_EQ(decode_text(db.get(), 0x301, {3}), "<none>");

  std::vector<uint8_t> frame{3, 10, 11, 12, 0, 0, 0, 99};
  DecodedMessage* d = message_db_decode(db.get(), 0x300, frame.data(), frame.size());
  ASSERT_TRUE(d);
  EXPECT_EQ(d->key, 0x300u);
  EXPECT_EQ(d->name, "Muxed");
  EXPECT_EQ(d->size, 8u);
  EXPECT_EQ(d->ignore, 1);
  const DecodedValue* v = decoded_values_first(d);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->name, "Mux");
  const SignalLayout& limits = message_db_find(db.get(), 0x300)->signals[0].layout;
  EXPECT_EQ(limits.minimum, -1);
  EXPECT_EQ(limits.maximum, 1000);
  decoded_message_free(d);
}

// One reused record against a fresh decode per frame: branches of different sizes, names too
// long to live in place, short frames and unknown keys in between.
TEST(MessageDecode, ReusedRecordMatchesFreshDecodes) {
  DbPtr db(message_db_new(PROTOCOL_CAN));
  Message* m = message_db_add_message(db.get(), "AMessageNameLongerThanTheShortForm", 0x300, 8, 0);
  ASSERT_TRUE(m && message_db_add_message(db.get(), "Other", 0x301, 2, 1));
  SignalLayout l8 = intel(0, 8);
  Signal* mux = signal_list_add(&m->signals, "Mux", &l8, 0);
  ASSERT_TRUE(mux);
  for (uint32_t b = 0; b < 4; ++b) {
    MuxBranch* branch = branch_add(&mux->branches, b, b);
    ASSERT_TRUE(branch);
    for (uint32_t s = 0; s < b * 2; ++s) {
      SignalLayout l = intel(static_cast<uint16_t>(8 + s * 7), 7, 0.5, -3);
      std::string name =
          "Branch" + std::to_string(b) + "SignalWithAVeryLongName" + std::to_string(s);
      ASSERT_TRUE(signal_list_add(&branch->signals, name, &l, static_cast<uint8_t>(s == 1)));
    }
  }
  DecodedMessage reused{};
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> frame(1 + rng() % 8);
    for (uint8_t& b : frame) b = static_cast<uint8_t>(rng());
    frame[0] %= 5;
    uint32_t key = rng() % 8 == 0 ? 0x301 + rng() % 2 : 0x300;
    DecodedMessage* fresh = message_db_decode(db.get(), key, frame.data(), frame.size());
    bool decoded = message_db_decode_into(db.get(), key, frame.data(), frame.size(), &reused);
    ASSERT_EQ(decoded, fresh != nullptr);
    if (!fresh) {
      EXPECT_EQ(decoded_values_first(&reused), nullptr);
      continue;
    }
    EXPECT_EQ(reused.key, fresh->key);
    EXPECT_EQ(reused.name, fresh->name);
    EXPECT_EQ(reused.size, fresh->size);
    EXPECT_EQ(reused.ignore, fresh->ignore);
    ASSERT_EQ(reused.values.count, fresh->values.count) << "round " << round;
    for (decltype(fresh->values.count) i = 0; i < fresh->values.count; ++i) {
      const DecodedValue &a = reused.values[i], &b = fresh->values[i];
      EXPECT_EQ(a.name, b.name);
      EXPECT_EQ(a.name_hash, string_hash(b.name));
      EXPECT_EQ(a.name_hash, b.name_hash);
      EXPECT_EQ(a.value, b.value);
      EXPECT_EQ(a.ignore, b.ignore);
      EXPECT_EQ(a.has_branches, b.has_branches);
      EXPECT_EQ(a.last, b.last);
    }
    decoded_message_free(fresh);
  }
  decoded_message_clear(&reused);
  EXPECT_EQ(reused.values.items, nullptr);
}

TEST(MessageDecode, UnfitMultiplexorSkipsItsBranches) {
  DbPtr db(message_db_new(PROTOCOL_CAN));
  Message* m = message_db_add_message(db.get(), "M", 1, 8, 0);
  SignalLayout far = intel(40, 8);
  Signal* mux = signal_list_add(&m->signals, "FarMux", &far, 0);
  MuxBranch* b = branch_add(&mux->branches, 0, 255);
  SignalLayout near = intel(0, 8);
  signal_list_add(&b->signals, "Inside", &near, 0);
  signal_list_add(&m->signals, "Near", &near, 0);
  EXPECT_EQ(decode_text(db.get(), 1, {5, 6, 7, 8}), "Near=5");
  EXPECT_EQ(decode_text(db.get(), 1, {}), "");
  DecodedMessage* d = message_db_decode(db.get(), 1, nullptr, 0);
  ASSERT_TRUE(d);
  EXPECT_EQ(decoded_values_first(d), nullptr);
  decoded_message_free(d);
}

TEST(MessageDecode, SignedMultiplexorSelectsBySignedValue) {
  DbPtr db(message_db_new(PROTOCOL_CAN));
  Message* m = message_db_add_message(db.get(), "M", 2, 2, 0);
  SignalLayout mux_layout = intel(0, 4);
  mux_layout.is_unsigned = 0;
  Signal* mux = signal_list_add(&m->signals, "SMux", &mux_layout, 0);
  MuxBranch* b = branch_add(&mux->branches, 0, 7);
  SignalLayout l = intel(8, 8);
  l.is_unsigned = 0;
  signal_list_add(&b->signals, "Temp", &l, 0);
  // 0xF is -1 as a 4-bit signed value: no branch holds it.
  EXPECT_EQ(decode_text(db.get(), 2, {0x0F, 0xF6}), "SMux=-1*");
  EXPECT_EQ(decode_text(db.get(), 2, {0x07, 0xF6}), "SMux=7* Temp=-10");
}

}  // namespace
