// Block framework: field reads, headers, the parse cache and shared blocks, chains and their
// order, cycles, nesting bounds, damaged lengths and counts, the unfinalised fix-up.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "mdf/field_reader.h"
#include "mdf_test_helpers.h"
#include "support/block_views.h"
#include "support/memory_stream.h"
#include "support/mf4_writer.h"
#include "support/process_state.h"

using mdftest::LogCapture;
using mdftest::Opened;
using namespace test;

namespace {

// ID, HD, one data group with one channel group of one 8-bit channel and a DT of `records`.
struct SmallFile {
  Mf4Writer w;
  uint64_t hd, dg, cg, cn, name, dt;
  explicit SmallFile(const std::vector<uint8_t>& records = {1, 2, 3}, const IdSpec& id = {})
      : w(id) {
    hd = w.add_hd({});
    name = w.add_tx("value");
    cn = w.add_cn({.name = name, .bit_count = 8});
    cg = w.add_cg({.first_cn = cn, .data_bytes = 1});
    dt = w.add_dt(records);
    dg = w.add_dg({.first_cg = cg, .data = dt});
    w.set_link(hd, HD_FIRST_DG, dg);
  }
};

// The one-byte records of a data group, in order.
std::vector<uint8_t> bytes_of_records(DgBlock* dg) {
  std::vector<uint8_t> out;
  for (const mdftest::ReadRecord& r : mdftest::read_all(dg))
    out.insert(out.end(), r.bytes.begin(), r.bytes.end());
  return out;
}

}  // namespace

TEST(FieldReader, ReadsLittleAndBigEndianAndStaysOnShortReads) {
  std::vector<uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                0x08, 0x11, 0x22, 0x33, 0x44, 0xAA};
  Stream* s = test::memory_stream_with(bytes);
  stream_seek(s, 1, SEEK_FROM_START);
  FieldReader r = field_reader_at(s);
  uint8_t u8;
  uint16_t u16;
  uint32_t u32;
  uint64_t u64;
  ASSERT_TRUE(field_read_u8(&r, &u8));
  EXPECT_EQ(u8, 0x02);
  ASSERT_TRUE(field_read_u16(&r, &u16));
  EXPECT_EQ(u16, 0x0403);
  // A read elsewhere in between does not disturb the cursor.
  stream_seek(s, 12, SEEK_FROM_START);
  ASSERT_TRUE(field_read_u32(&r, &u32));
  EXPECT_EQ(u32, 0x08070605u);
  ASSERT_TRUE(field_read_u32_be(&r, &u32));
  EXPECT_EQ(u32, 0x11223344u);
  EXPECT_FALSE(field_read_u64(&r, &u64));  // one byte left
  EXPECT_EQ(r.offset, 11u);
  ASSERT_TRUE(field_read_u8(&r, &u8));
  EXPECT_EQ(u8, 0xAA);
  field_skip(&r, 100);
  EXPECT_FALSE(field_read_u8(&r, &u8));
  EXPECT_EQ(r.offset, 112u);
  stream_close(s);
}

TEST(FieldReader, TextOfAHugeStatedSizeFailsWithoutAllocatingIt) {
  Stream* s = test::memory_stream_with({'a', 'b', 'c'});
  FieldReader r = field_reader_at(s, 0);
  ScopedDynString text;
  EXPECT_FALSE(field_read_text(&r, &text, uint64_t{1} << 40));
  EXPECT_EQ(r.offset, 0u);
  ASSERT_TRUE(field_read_text(&r, &text, 3));
  EXPECT_EQ(text.view(), "abc");
  uint8_t buf[4];
  EXPECT_FALSE(field_read_bytes(&r, buf, 1));
  stream_close(s);
}

TEST(BlockList, PushFrontKeepsOrderAcrossGrowth) {
  BlockList list{};
  std::vector<Block*> blocks;
  for (int i = 0; i < 1000; ++i) {
    Block* b = block_create(BLOCK_TX);
    auto* count = static_cast<int32_t*>(malloc(sizeof(int32_t)));
    *count = 1;
    ASSERT_TRUE(block_list_push_front(&list, BlockRef{b, count}));
    blocks.push_back(b);
  }
  ASSERT_EQ(list.count, 1000);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(list.first[i].block, blocks[999 - i]);
  block_list_destroy(&list);
  EXPECT_EQ(list.count, 0);
}

TEST(BlockHeader, IdentifiersOfTheFileStart) {
  {
    SmallFile f({}, {.file_id = "UnFinMF "});
    Opened o(f.w.bytes());
    ASSERT_NE(o.file, nullptr);
    EXPECT_STREQ(mdf_id(o.file)->file_id, "UnFinMF ");
    EXPECT_NE(o.dg(0), nullptr);
  }
  {
    SmallFile f({}, {.file_id = "XYZW    "});
    LogCapture log;
    Opened o(f.w.bytes());
    EXPECT_EQ(o.file, nullptr);
    EXPECT_EQ(log.count("Unable to load block header for type XYZW    "), 1);
  }
  {
    // A supported block identifier at offset 0 is no identification block.
    SmallFile f;
    std::vector<uint8_t> bytes = f.w.take();
    memcpy(bytes.data(), "##HD\0\0\0\0", 8);
    Opened o(bytes);
    EXPECT_EQ(o.file, nullptr);
  }
  {
    Opened o(std::vector<uint8_t>{'M', 'D', 'F'});
    EXPECT_EQ(o.file, nullptr);
  }
}

TEST(BlockHeader, BlocksOfUnreadKindsArePlaceholdersUntilTheirDataIsNeeded) {
  // A "##RV" block as the data of a group that holds no bus frames: the file opens.
  SmallFile f;
  uint64_t rv = f.w.add_block("##RV", {f.dg}, std::vector<uint8_t>(16, 0), 1 << 30);
  f.w.set_link(f.dg, DG_DATA, rv);
  f.w.set_link(f.hd, HD_FIRST_ATTACHMENT, f.w.add_block("##AT", {0, 0}, {}));
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(o.dg(0)->data.block->kind, BLOCK_OTHER);
  EXPECT_TRUE(mdftest::read_all(o.dg(0)).empty());
  // The same as the data of a bus group: refused, with the block named.
  BusLogBuilder b;
  b.add_can_frame(1, 0x100, false, {1}, 0.5);
  std::vector<uint8_t> bytes = b.build();
  uint64_t dg = 0;
  memcpy(&dg, bytes.data() + 64 + 24, 8);
  uint64_t at = bytes.size();
  const char block[] = "##RV\0\0\0\0\x18\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0";
  bytes.insert(bytes.end(), block, block + 24);
  memcpy(bytes.data() + dg + 24 + 16, &at, 8);
  LogCapture log;
  Opened bus(bytes);
  EXPECT_EQ(bus.file, nullptr);
  char expected[96];
  snprintf(expected, sizeof expected, "RV block at 0x%llX: named as data",
           static_cast<unsigned long long>(at));
  EXPECT_EQ(log.count(expected), 1) << log.text();
}

TEST(BlockChains, DataGroupsAppearInChainOrder) {
  Mf4Writer w;
  uint64_t hd = w.add_hd({});
  uint64_t dg3 = w.add_dg({.record_id_size = 3 - 3});
  uint64_t dg2 = w.add_dg({.next = dg3});
  uint64_t dg1 = w.add_dg({.next = dg2});
  w.set_link(hd, HD_FIRST_DG, dg1);
  uint64_t fh2 = w.add_fh({.time_ns = 2});
  uint64_t fh1 = w.add_fh({.next = fh2, .time_ns = 1});
  w.set_link(hd, HD_FIRST_FH, fh1);
  Opened o(w.bytes());
  ASSERT_NE(o.file, nullptr);
  HdBlock* h = o.hd();
  ASSERT_EQ(h->data_groups.count, 3);
  EXPECT_EQ(h->data_groups.first[0].block->offset, dg1);
  EXPECT_EQ(h->data_groups.first[1].block->offset, dg2);
  EXPECT_EQ(h->data_groups.first[2].block->offset, dg3);
  ASSERT_EQ(h->file_history.count, 2);
  EXPECT_EQ(fh_block(h->file_history.first[0])->time_ns, 1u);
  EXPECT_EQ(fh_block(h->file_history.first[1])->time_ns, 2u);
}

TEST(BlockChains, LongChainsLoadWithoutDeepRecursion) {
  // Far more elements than a stack of one frame per element would hold under the sanitizer.
  constexpr int kChannels = 100000, kGroups = 100000;
  Mf4Writer w;
  uint64_t hd = w.add_hd({});
  uint64_t name = w.add_tx("c");
  uint64_t next = 0;
  for (int i = 0; i < kChannels; ++i) next = w.add_cn({.next = next, .name = name, .bit_count = 8});
  uint64_t cg = w.add_cg({.first_cn = next, .data_bytes = 1});
  uint64_t dt = w.add_dt({7, 8});
  next = w.add_dg({.first_cg = cg, .data = dt});
  for (int i = 1; i < kGroups; ++i) next = w.add_dg({.next = next});
  w.set_link(hd, HD_FIRST_DG, next);
  Opened o(w.bytes());
  ASSERT_NE(o.file, nullptr);
  ASSERT_EQ(o.hd()->data_groups.count, kGroups);
  DgBlock* last = dg_block(o.hd()->data_groups.first[kGroups - 1]);
  ASSERT_EQ(last->channel_groups.count, 1);
  CgBlock* g = cg_block(last->channel_groups.first[0]);
  EXPECT_EQ(g->channels.count, kChannels);
  EXPECT_EQ(g->record_channels.count, kChannels);
  // Every channel names the one text block: one object, counted by each holder.
  EXPECT_EQ(*cn_block(g->channels.first[0])->name.count, kChannels);
  EXPECT_EQ(mdftest::read_all(last).size(), 2u);
}

TEST(BlockChains, OneDataGroupWithAHundredThousandChannelGroups) {
  // Every group's record is found through the layout table by its 4-byte record id.
  constexpr uint32_t kGroups = 100000;
  Mf4Writer w;
  uint64_t hd = w.add_hd({});
  uint64_t cn = w.add_cn({.name = w.add_tx("c"), .bit_count = 8});
  uint64_t next = 0;
  for (uint32_t id = kGroups; id >= 1; --id)
    next = w.add_cg({.next = next, .first_cn = cn, .record_id = id, .data_bytes = 1});
  ByteWriter records;
  for (uint32_t id = 1; id <= kGroups; ++id) records.u32(id).u8(id & 0xFF);
  uint64_t dt = w.add_dt(records.bytes);
  w.set_link(hd, HD_FIRST_DG, w.add_dg({.first_cg = next, .data = dt, .record_id_size = 4}));
  Opened o(w.bytes());
  ASSERT_NE(o.file, nullptr);
  DgBlock* dg = dg_block(o.hd()->data_groups.first[0]);
  ASSERT_EQ(dg->channel_groups.count, static_cast<int32_t>(kGroups));
  auto read = mdftest::read_all(dg);
  ASSERT_EQ(read.size(), kGroups);
  EXPECT_EQ(read[kGroups - 1].record_id, kGroups);
  EXPECT_EQ(read[kGroups - 1].bytes.back(), kGroups & 0xFF);
}

TEST(BlockChains, AGroupFirstReachedAsChannelDataKeepsItsChain) {
  // a -> v -> b, where a's channel names v as its data store before the chain reaches v.
  Mf4Writer w;
  uint64_t hd = w.add_hd({});
  uint64_t b = w.add_cg({.record_id = 3, .data_bytes = 1});
  uint64_t v = w.add_cg({.next = b, .record_id = 2, .flags = CG_FLAG_VLSD});
  uint64_t cn =
      w.add_cn({.data = v, .channel_type = CN_VLSD, .data_type = DT_BYTE_ARRAY, .bit_count = 64});
  uint64_t a = w.add_cg({.next = v, .first_cn = cn, .record_id = 1, .data_bytes = 8});
  w.set_link(hd, HD_FIRST_DG, w.add_dg({.first_cg = a, .record_id_size = 1}));
  Opened o(w.bytes());
  ASSERT_NE(o.file, nullptr);
  const BlockList& groups = o.dg(0)->channel_groups;
  ASSERT_EQ(groups.count, 3);
  EXPECT_EQ(groups.first[0].block->offset, a);
  EXPECT_EQ(groups.first[1].block->offset, v);
  EXPECT_EQ(groups.first[2].block->offset, b);
  EXPECT_NE(record_layout_find(o.dg(0), 3), nullptr);
}

TEST(BlockCache, SharedTextBlockIsOneObjectThatOutlivesOneHolder) {
  SmallFile f;
  uint64_t cn2 = f.w.add_cn({.name = f.name, .byte_offset = 0, .bit_count = 8});
  f.w.set_link(f.cn, CN_NEXT, cn2);
  Opened o(f.w.bytes());
  ASSERT_NE(o.file, nullptr);
  CgBlock* cg = cg_block(o.dg(0)->channel_groups.first[0]);
  ASSERT_EQ(cg->channels.count, 2);
  CnBlock* a = cn_block(cg->channels.first[0]);
  CnBlock* b = cn_block(cg->channels.first[1]);
  ASSERT_EQ(a->name.block, b->name.block);
  EXPECT_EQ(*a->name.count, 2);
  block_release(&a->name);
  EXPECT_TRUE(block_ref_empty(a->name));
  EXPECT_EQ(*b->name.count, 1);
  EXPECT_EQ(block_text(b->name), "value");
}

TEST(BlockCache, LinkCyclesFailTheOpenWithAMessage) {
  struct Case {
    const char* what;
    void (*make)(SmallFile&);
  };
  const Case cases[] = {
      {"data group names itself as next", [](SmallFile& f) { f.w.set_link(f.dg, DG_NEXT, f.dg); }},
      {"two data groups name each other",
       [](SmallFile& f) {
         uint64_t dg2 = f.w.add_dg({.next = f.dg});
         f.w.set_link(f.dg, DG_NEXT, dg2);
       }},
      {"channel is its own composition",
       [](SmallFile& f) { f.w.set_link(f.cn, CN_COMPOSITION, f.cn); }},
      {"member's composition leads back to its parent",
       [](SmallFile& f) {
         uint64_t member = f.w.add_cn({.composition = f.cn, .bit_count = 8});
         f.w.set_link(f.cn, CN_COMPOSITION, member);
       }},
      {"conversion is its own inverse",
       [](SmallFile& f) {
         uint64_t cc = f.w.add_cc_linear(1, 0);
         f.w.set_link(cc, CC_INVERSE, cc);
         f.w.set_link(f.cn, CN_CONVERSION, cc);
       }},
      {"channel data names its own channel group",
       [](SmallFile& f) { f.w.set_link(f.cn, CN_DATA, f.cg); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SmallFile f;
    c.make(f);
    LogCapture log;
    Opened o(f.w.bytes());
    EXPECT_EQ(o.file, nullptr);
    EXPECT_EQ(log.count("a link cycle leads back to it"), 1) << log.text();
  }
}

TEST(BlockCache, NestingIsBoundedButOrdinaryDepthsLoad) {
  for (int depth : {10, 200}) {
    SCOPED_TRACE(depth);
    SmallFile f;
    uint64_t inner = f.w.add_cn({.name = f.name, .bit_count = 8});
    for (int i = 0; i < depth; ++i) inner = f.w.add_cn({.composition = inner});
    f.w.set_link(f.cn, CN_NEXT, inner);
    LogCapture log;
    Opened o(f.w.bytes());
    if (depth == 10) {
      ASSERT_NE(o.file, nullptr);
      CgBlock* cg = cg_block(o.dg(0)->channel_groups.first[0]);
      EXPECT_EQ(cg->record_channels.count, 2);  // the first channel and the innermost leaf
    } else {
      EXPECT_EQ(o.file, nullptr);
      EXPECT_EQ(log.count("Blocks nested deeper than 64 levels"), 1) << log.text();
    }
  }
}

TEST(BlockCache, SharedBlocksCountTowardsTheNestingBound) {
  // A structure nested 40 deep, reached a second time from 10 or 30 levels of another
  // structure: the second path is as deep as a fresh load of it would be.
  for (int outer : {10, 30}) {
    SCOPED_TRACE(outer);
    Mf4Writer w;
    uint64_t hd = w.add_hd({});
    uint64_t inner = w.add_cn({.bit_count = 8});
    for (int i = 0; i < 40; ++i) inner = w.add_cn({.composition = inner});
    uint64_t cg1 = w.add_cg({.first_cn = inner, .data_bytes = 1});
    uint64_t other = w.add_cn({.composition = inner});
    for (int i = 1; i < outer; ++i) other = w.add_cn({.composition = other});
    uint64_t cg2 = w.add_cg({.first_cn = other, .data_bytes = 1});
    uint64_t dg2 = w.add_dg({.first_cg = cg2});
    w.set_link(hd, HD_FIRST_DG, w.add_dg({.next = dg2, .first_cg = cg1}));
    LogCapture log;
    Opened o(w.bytes());
    if (outer == 10) {
      ASSERT_NE(o.file, nullptr);
      EXPECT_EQ(cg_block(o.dg(1)->channel_groups.first[0])->record_channels.count, 1);
    } else {
      EXPECT_EQ(o.file, nullptr);
      EXPECT_EQ(log.count("Blocks nested deeper than 64 levels"), 1) << log.text();
    }
  }
}

TEST(BlockDamage, BadLengthsAndCountsFailWithoutCrashing) {
  struct Case {
    const char* what;
    void (*damage)(SmallFile&);
    const char* message;  // expected in the log, or null for a silent failure
  };
  const Case cases[] = {
      {"HD length beyond the file", [](SmallFile& f) { f.w.set_length(f.hd, uint64_t{1} << 62); },
       "does not fit the file"},
      {"HD length shorter than its links", [](SmallFile& f) { f.w.set_length(f.hd, 40); },
       "does not fit the file"},
      {"channel with a link count of 2^60",
       [](SmallFile& f) { f.w.patch_u64(f.cn + 16, uint64_t{1} << 60); }, "does not fit the file"},
      {"text length beyond the file", [](SmallFile& f) { f.w.set_length(f.name, f.w.size() * 4); },
       "does not fit the file"},
      {"conversion announcing more values than its length holds",
       [](SmallFile& f) {
         uint64_t cc = f.w.add_cc({.type = CC_VALUE_TO_VALUE, .values = {1, 2}});
         f.w.patch_u16(cc + 24 + 32 + 6, 65535);
         f.w.set_link(f.cn, CN_CONVERSION, cc);
       },
       "65535 values do not fit its length"},
      {"conversion whose values would run past its end counted as if it had four links",
       [](SmallFile& f) {
         uint64_t cc =
             f.w.add_cc({.type = CC_VALUE_TO_VALUE, .values = {1, 2}, .extra_links = {0, 0}});
         f.w.patch_u16(cc + 24 + 48 + 6,
                       4);  // the two link slots make room for 4 only without them
         f.w.set_link(f.cn, CN_CONVERSION, cc);
       },
       "4 values do not fit its length"},
      {"link past the end of the file",
       [](SmallFile& f) { f.w.set_link(f.cn, CN_UNIT, f.w.size() + 4096); },
       "points past the end of the file"},
      {"channel with seven links", [](SmallFile& f) { f.w.patch_u64(f.cn + 16, 7); },
       "CN block at 0x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SmallFile f;
    c.damage(f);
    LogCapture log;
    Opened o(f.w.bytes());
    EXPECT_EQ(o.file, nullptr);
    if (c.message) {
      EXPECT_EQ(log.count(c.message), 1) << log.text();
    }
  }
}

TEST(BlockDamage, LinksTheConversionDoesNotNeedAreNotFollowed) {
  const std::pair<const char*, void (*)(SmallFile&)> cases[] = {
      {"channel with attachment links",
       [](SmallFile& f) {
         uint64_t cn = f.w.add_cn({.bit_count = 8, .extra_links = {f.w.size() + 999, 1}});
         f.w.set_link(f.cn, CN_NEXT, cn);
       }},
      {"text table conversion with reference links",
       [](SmallFile& f) {
         uint64_t cc = f.w.add_cc({.type = 7, .extra_links = {f.name, f.w.size() + 999}});
         f.w.set_link(f.cn, CN_CONVERSION, cc);
       }},
      {"header with an event, an attachment and a hierarchy",
       [](SmallFile& f) {
         f.w.set_link(f.hd, HD_FIRST_EVENT, f.w.add_block("##EV", {0, 0, 0, 0, 0}, {}));
         f.w.set_link(f.hd, HD_FIRST_ATTACHMENT, f.w.size() + 4096);
         f.w.set_link(f.hd, HD_CHANNEL_HIERARCHY, f.name);
       }},
      {"channel group with a sample reduction",
       [](SmallFile& f) { f.w.set_link(f.cg, CG_FIRST_SAMPLE_REDUCTION, f.w.size() + 4096); }},
  };
  for (const auto& [what, change] : cases) {
    SCOPED_TRACE(what);
    SmallFile f;
    change(f);
    Opened o(f.w.bytes());
    ASSERT_NE(o.file, nullptr);
    EXPECT_EQ(bytes_of_records(o.dg(0)), (std::vector<uint8_t>{1, 2, 3}));
  }
}

TEST(BlockDamage, EveryTruncationAndRandomCorruptionIsHandled) {
  BusLogBuilder b;
  b.layout(Layout::Unsorted, 1).can_data_storage(DataStorage::VlsdGroup);
  b.add_can_frame(1, 0x100, false, {1, 2, 3}, 0.1);
  b.add_can_frame(2, 0x200, true, {4, 5}, 0.2);
  b.add_lin_frame(1, 0x21, {1, 2}, 0.3);
  std::vector<uint8_t> good = b.build();
  {
    Opened o(good);
    ASSERT_NE(o.file, nullptr);
  }
  // Cut anywhere: the open fails or the records end early, never a crash.
  test::ScopedLogLevel quiet(LOG_FATAL);
  for (size_t n = 0; n < good.size(); n += 3) {
    Opened o(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<ptrdiff_t>(n)));
    for (int i = 0; o.file && o.dg(i); ++i) mdftest::read_all(o.dg(i), 1000);
  }
  std::mt19937 rng(1234);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bad = good;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < flips; ++k) {
      size_t at = rng() % bad.size();
      bad[at] = rng() % 3 == 0 ? static_cast<uint8_t>(rng())
                               : static_cast<uint8_t>(bad[at] ^ (1u << (rng() % 8)));
    }
    Opened o(bad);
    for (int i = 0; o.file && o.dg(i); ++i) {
      mdftest::read_all(o.dg(i), 1000);
      mdftest::frame_counts(o.dg(i));
    }
  }
}

TEST(Unfinalised, LastDataBlockRunsToTheEndOfTheFile) {
  BusLogBuilder b;
  b.unfinalised();
  for (int i = 0; i < 5; ++i) b.add_can_frame(1, 0x100 + i, false, {1, 2, 3, 4, 5, 6, 7, 8}, i);
  std::vector<uint8_t> bytes = b.build();
  Opened o(bytes);
  ASSERT_NE(o.file, nullptr);
  EXPECT_STREQ(mdf_id(o.file)->file_id, "UnFinMF ");
  EXPECT_EQ(mdf_id(o.file)->unfinalised_flags & UNFIN_LAST_DT_LENGTH, 0);
  DataBlock* dt = dt_block(o.dg(0)->data);
  ASSERT_NE(dt, nullptr);
  EXPECT_EQ(dt->base.offset + dt->base.length, bytes.size());
  EXPECT_EQ(mdftest::frame_counts(o.dg(0))[FRAME_CAN_DATA], 5);
}

TEST(Unfinalised, WithoutTheFlagTheShortLengthStands) {
  BusLogBuilder b;
  b.unfinalised(UNFIN_CG_CYCLE_COUNTERS);
  b.add_can_frame(1, 0x100, false, {1}, 0.5);
  Opened o(b.build());
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(mdftest::frame_counts(o.dg(0))[FRAME_CAN_DATA], 0);
}

TEST(OpenThroughReadCache, FreshBuffersOfAnySizeOpenAndReadToTheEnd) {
  BusLogBuilder b;
  b.unfinalised();
  for (int i = 0; i < 300; ++i) b.add_can_frame(1, 0x100, false, {1, 2, 3, 4, 5, 6, 7, 8}, i);
  std::vector<uint8_t> bytes = b.build();
  for (uint64_t capacity :
       {uint64_t{16}, uint64_t{1000}, uint64_t{bytes.size()}, uint64_t{1} << 20}) {
    SCOPED_TRACE(capacity);
    Stream* mem = test::memory_stream_with(bytes);
    // A read cache that has read nothing yet cannot tell its size by seeking to its end.
    Stream* cached = buffered_stream_new(mem, true, capacity);
    MdfFile* file = mdf_open(cached);
    ASSERT_NE(file, nullptr);
    HdBlock* hd = mdf_hd(file);
    ASSERT_EQ(hd->data_groups.count, 1);
    DataBlock* dt = dt_block(dg_block(hd->data_groups.first[0])->data);
    EXPECT_EQ(dt->base.offset + dt->base.length, bytes.size());
    EXPECT_EQ(mdftest::frame_counts(dg_block(hd->data_groups.first[0]))[FRAME_CAN_DATA], 300);
    mdf_close(file);
    EXPECT_EQ(stream_close(cached), 0);
  }
}

namespace {

// A read-only stream of `size` bytes, zero except for the regions it maps: a file of several
// gigabytes without the memory for one.
struct SparseStream {
  Stream base;
  uint64_t size;
  uint64_t position;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> regions;
};

int64_t sparse_read(Stream* st, void* buffer, uint64_t n) {
  auto* s = reinterpret_cast<SparseStream*>(st);
  if (s->position >= s->size) return 0;
  n = std::min(n, s->size - s->position);
  auto* out = static_cast<uint8_t*>(buffer);
  memset(out, 0, n);
  for (const auto& [at, bytes] : s->regions) {
    uint64_t from = std::max(at, s->position), to = std::min(at + bytes.size(), s->position + n);
    if (from < to) memcpy(out + (from - s->position), bytes.data() + (from - at), to - from);
  }
  s->position += n;
  return static_cast<int64_t>(n);
}
int64_t sparse_tell(Stream* st) {
  return static_cast<int64_t>(reinterpret_cast<SparseStream*>(st)->position);
}
int64_t sparse_seek(Stream* st, int64_t offset, int32_t origin) {
  auto* s = reinterpret_cast<SparseStream*>(st);
  int64_t target = origin == SEEK_FROM_START     ? offset
                   : origin == SEEK_FROM_CURRENT ? static_cast<int64_t>(s->position) + offset
                   : origin == SEEK_FROM_END     ? static_cast<int64_t>(s->size) + offset
                                                 : -1;
  if (target < 0) return -1;
  s->position = static_cast<uint64_t>(target);
  return target;
}
constexpr StreamOps kSparseOps = {sparse_read, nullptr, sparse_tell, sparse_seek, nullptr};

}  // namespace

TEST(LargeFiles, BlocksBeyondFourGigabytesAreReachedAndRead) {
  // ID and HD stay at the start; every block after them moves up by 5 GiB and links to them
  // are moved with them.
  constexpr uint64_t kShift = uint64_t{5} << 30;
  SmallFile f({0, 5, 6, 7});
  uint64_t sd = f.w.add_sd({{9, 8, 7}});
  uint64_t vl =
      f.w.add_cn({.data = sd, .channel_type = CN_VLSD, .data_type = DT_BYTE_ARRAY, .bit_count = 8});
  f.w.set_link(f.cn, CN_NEXT, vl);
  std::vector<uint8_t> bytes = f.w.take();
  uint64_t moved = f.name;  // the first block after the HD
  for (uint64_t at = 64; at < bytes.size();) {
    uint64_t length, links;
    memcpy(&length, &bytes[at + 8], 8);
    memcpy(&links, &bytes[at + 16], 8);
    for (uint64_t i = 0; i < links; ++i) {
      uint64_t link;
      memcpy(&link, &bytes[at + 24 + 8 * i], 8);
      if (link >= moved) link += kShift;
      memcpy(&bytes[at + 24 + 8 * i], &link, 8);
    }
    at = (at + length + 7) & ~uint64_t{7};
  }
  SparseStream big{{&kSparseOps}, kShift + bytes.size() + 100, 0, {}};
  big.regions.emplace_back(0, std::vector<uint8_t>(bytes.begin(), bytes.begin() + moved));
  big.regions.emplace_back(kShift + moved,
                           std::vector<uint8_t>(bytes.begin() + moved, bytes.end()));
  MdfFile* file = mdf_open(&big.base);
  ASSERT_NE(file, nullptr);
  DgBlock* dg = dg_block(mdf_hd(file)->data_groups.first[0]);
  ASSERT_NE(dg, nullptr);
  EXPECT_EQ(dg->base.offset, kShift + f.dg);
  std::vector<mdftest::ReadRecord> records = mdftest::read_all(dg);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[3].bytes, std::vector<uint8_t>{7});
  // Each record's value is its offset into the signal data: only offset 0 starts an entry.
  EXPECT_EQ(records[0].entries, (std::vector<std::vector<uint8_t>>{{9, 8, 7}}));
  EXPECT_EQ(records[1].entries, (std::vector<std::vector<uint8_t>>{{}}));
  mdf_close(file);
}

TEST(SharedFixtures, OpenWithTheirDataGroups) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, uint64_t>> groups;  // record bytes and record count per DG
  };
  const Case cases[] = {
      {"can_classic.MF4", {{28, 20900}, {17, 40}, {26, 12}}},
      {"can_fd.MF4", {{84, 9300}, {28, 4200}}},
      {"j1939.MF4", {{28, 7740}}},
      {"lin.MF4", {{23, 4920}}},
      {"sequence_split3.MF4", {{28, 4920}}},
      {"sequence_split7.MF4", {{28, 4920}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = read_file(std::string(TABULON_TEST_DATA) + "/fixtures/" + c.name);
    ASSERT_FALSE(bytes.empty());
    Opened o(bytes);
    ASSERT_NE(o.file, nullptr);
    ASSERT_EQ(o.hd()->data_groups.count, static_cast<int32_t>(c.groups.size()));
    EXPECT_TRUE(block_text(o.hd()->comment).starts_with("<HDcomment>"));
    for (size_t i = 0; i < c.groups.size(); ++i) {
      DgBlock* dg = o.dg(static_cast<int32_t>(i));
      EXPECT_EQ(dg->record_id_size, 0);
      ASSERT_EQ(dg->channel_groups.count, 1);
      CgBlock* cg = cg_block(dg->channel_groups.first[0]);
      EXPECT_EQ(cg->data_bytes, c.groups[i].first);
      SiBlock* si = si_block(cg->acquisition_source);
      ASSERT_NE(si, nullptr);
      EXPECT_EQ(si->source_type, SOURCE_TYPE_BUS);
      DataBlock* dt = dt_block(dg->data);
      ASSERT_NE(dt, nullptr);
      EXPECT_EQ(block_data_stream_size(&dt->data), c.groups[i].first * c.groups[i].second);
      EXPECT_EQ(mdftest::read_all(dg).size(), c.groups[i].second);
      const RecordLayout* layout = record_layout_find(dg, 0);
      ASSERT_NE(layout, nullptr);
      EXPECT_EQ(layout->record_length, c.groups[i].first);
    }
  }
}
