// Block kinds: fields as read, link-count rules, texts, and the stream over the data section
// of data and signal-data blocks.
#include <gtest/gtest.h>

#include <cstring>

#include "mdf_test_helpers.h"
#include "support/block_views.h"
#include "support/mf4_writer.h"

using mdftest::Opened;
using namespace test;

namespace {

// A file whose header comment link names `block`.
std::vector<uint8_t> with_comment(Mf4Writer& w, uint64_t hd, uint64_t block) {
  w.set_link(hd, HD_COMMENT, block);
  return w.bytes();
}

}  // namespace

TEST(TextBlocks, EmptyPaddedAndMetadata) {
  {
    Mf4Writer w;
    uint64_t hd = w.add_hd({});
    uint64_t tx = w.add_block("##TX", {}, {});
    Opened o(with_comment(w, hd, tx));
    ASSERT_NE(o.file, nullptr);
    TextBlock* t = tx_block(o.hd()->comment);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(dynstring_length(&t->text), 0u);
  }
  {
    Mf4Writer w;
    uint64_t hd = w.add_hd({});
    uint64_t tx = w.add_block("##TX", {}, {'a', 'b', 'c', 0, 0, 0, 0, 0});
    Opened o(with_comment(w, hd, tx));
    ASSERT_NE(o.file, nullptr);
    TextBlock* t = tx_block(o.hd()->comment);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(dynstring_length(&t->text), 7u);
    EXPECT_STREQ(dynstring_data(&t->text), "abc");
    EXPECT_EQ(block_text(o.hd()->comment), "abc");
    EXPECT_EQ(t->base.length, 32u);
  }
  {
    Mf4Writer w;
    uint64_t hd = w.add_hd({});
    uint64_t md = w.add_md("<HDcomment/>");
    Opened o(with_comment(w, hd, md));
    ASSERT_NE(o.file, nullptr);
    EXPECT_EQ(tx_block(o.hd()->comment), nullptr);  // a metadata block is no text block
    ASSERT_NE(md_block(o.hd()->comment), nullptr);
    EXPECT_EQ(block_text(o.hd()->comment), "<HDcomment/>");
  }
  {
    Mf4Writer w;
    uint64_t hd = w.add_hd({});
    uint64_t tx = w.add_block("##TX", {0}, {'a', 0});  // texts take no links
    Opened o(with_comment(w, hd, tx));
    EXPECT_EQ(o.file, nullptr);
  }
}

TEST(HeaderBlocks, FieldsOfIdHdFhAndTheirLinkRules) {
  Mf4Writer w({.program = "prog1234", .version_number = 411, .custom_unfinalised_flags = 5});
  uint64_t hd = w.add_hd({.start_time_ns = 1'699'401'540'000'000'000ULL,
                          .tz_offset_min = 120,
                          .dst_offset_min = -30,
                          .time_flags = 1,
                          .time_class = 10,
                          .flags = 3,
                          .start_angle = 1.5,
                          .start_distance = -2.25});
  uint64_t fc = w.add_tx("history");
  uint64_t fh = w.add_fh(
      {.comment = fc, .time_ns = 77, .tz_offset_min = -60, .dst_offset_min = 60, .time_flags = 2});
  w.set_link(hd, HD_FIRST_FH, fh);
  Opened o(w.bytes());
  ASSERT_NE(o.file, nullptr);
  ASSERT_NE(o.hd(), nullptr);
  IdBlock* id = mdf_id(o.file);
  EXPECT_STREQ(id->program_id, "prog1234");
  EXPECT_STREQ(id->format_version, "4.11    ");
  EXPECT_EQ(id->version_number, 411);
  EXPECT_EQ(id->custom_unfinalised_flags, 5);
  HdBlock* h = o.hd();
  EXPECT_EQ(h->start_time_ns, 1'699'401'540'000'000'000ULL);
  EXPECT_EQ(h->tz_offset_min, 120);
  EXPECT_EQ(h->dst_offset_min, -30);
  EXPECT_EQ(h->time_flags, 1);
  EXPECT_EQ(h->time_class, 10);
  EXPECT_EQ(h->flags, 3);
  EXPECT_EQ(h->start_angle, 1.5);
  EXPECT_EQ(h->start_distance, -2.25);
  ASSERT_EQ(h->file_history.count, 1);
  FhBlock* f = fh_block(h->file_history.first[0]);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->time_ns, 77u);
  EXPECT_EQ(f->tz_offset_min, -60);
  EXPECT_EQ(f->dst_offset_min, 60);
  EXPECT_EQ(f->time_flags, 2);
  EXPECT_EQ(block_text(f->comment), "history");

  // Too few links fail with the block named: an HD of 5 links, an FH of 1. More links than a
  // kind uses are not followed.
  Mf4Writer bad;
  bad.add_block("##HD", {0, 0, 0, 0, 0}, std::vector<uint8_t>(32, 0));
  mdftest::LogCapture log;
  EXPECT_EQ(Opened(bad.bytes()).file, nullptr);
  EXPECT_EQ(log.count("E HD block at 0x40: 5 links where 6 are needed\n"), 1) << log.text();
  for (uint64_t links : {1, 3}) {
    Mf4Writer w_fh;
    uint64_t bhd = w_fh.add_hd({});
    uint64_t fh =
        w_fh.add_block("##FH", std::vector<uint64_t>(links, 0), std::vector<uint8_t>(16, 0));
    w_fh.set_link(bhd, HD_FIRST_FH, fh);
    EXPECT_EQ(Opened(w_fh.bytes()).file != nullptr, links == 3) << links;
  }
}

TEST(ChannelBlocks, FieldsOfDgCgCnCcSi) {
  Mf4Writer w;
  uint64_t hd = w.add_hd({});
  uint64_t name = w.add_tx("speed");
  uint64_t unit = w.add_tx("km/h");
  uint64_t cc = w.add_cc({.type = CC_LINEAR,
                          .precision = 2,
                          .flags = 1,
                          .phys_min = -1,
                          .phys_max = 1,
                          .values = {0.5, 2.0}});
  uint64_t si = w.add_si(
      {.name = w.add_tx("CAN1"), .source_type = SOURCE_BUS, .bus_type = BUS_CAN, .flags = 1});
  const uint8_t types[4] = {DT_UNSIGNED_LE, DT_FLOAT_LE, DT_BYTE_ARRAY, DT_SIGNED_LE};
  uint64_t next = 0;
  for (int i = 3; i >= 0; --i)
    next = w.add_cn({.next = next, .data_type = types[i], .bit_count = 8});
  uint64_t cn = w.add_cn({.next = next,
                          .name = name,
                          .conversion = cc,
                          .unit = unit,
                          .channel_type = CN_MASTER,
                          .sync_type = SYNC_TIME,
                          .data_type = DT_UNSIGNED_LE,
                          .bit_offset = 3,
                          .byte_offset = 2,
                          .bit_count = 12,
                          .flags = 9,
                          .invalidation_bit = 4,
                          .precision = 1,
                          .range_min = -5,
                          .range_max = 5,
                          .limit_min = -4,
                          .limit_max = 4,
                          .ext_limit_min = -6,
                          .ext_limit_max = 6});
  uint64_t cg = w.add_cg({.first_cn = cn,
                          .acq_name = w.add_tx("frames"),
                          .acq_source = si,
                          .record_id = 7,
                          .cycle_count = 99,
                          .flags = 6,
                          .path_separator = '/',
                          .data_bytes = 8,
                          .invalidation_bytes = 1});
  uint64_t dg = w.add_dg({.first_cg = cg, .record_id_size = 1});
  w.set_link(hd, HD_FIRST_DG, dg);
  mdftest::LogCapture log;
  Opened o(w.bytes());
  ASSERT_NE(o.file, nullptr);
  DgBlock* d = o.dg(0);
  EXPECT_EQ(d->record_id_size, 1);
  EXPECT_TRUE(block_ref_empty(d->data));
  CgBlock* g = cg_block(d->channel_groups.first[0]);
  EXPECT_EQ(g->record_id, 7u);
  EXPECT_EQ(g->cycle_count, 99u);
  EXPECT_FALSE(g->variable_length);
  EXPECT_TRUE(g->bus_event);
  EXPECT_TRUE(g->plain_bus_event);
  EXPECT_EQ(g->path_separator, '/');
  EXPECT_EQ(g->data_bytes, 8u);
  EXPECT_EQ(g->invalidation_bytes, 1u);
  EXPECT_EQ(block_text(g->acquisition_name), "frames");
  SiBlock* s = si_block(g->acquisition_source);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->source_type, SOURCE_TYPE_BUS);
  EXPECT_EQ(s->bus_type, BUS_CAN);
  EXPECT_EQ(s->flags, 1);
  EXPECT_EQ(block_text(s->name), "CAN1");
  ASSERT_EQ(g->channels.count, 5);
  CnBlock* c = cn_block(g->channels.first[0]);
  EXPECT_EQ(c->channel_type, CN_MASTER);
  EXPECT_EQ(c->sync_type, SYNC_TIME);
  EXPECT_EQ(c->bit_offset, 3);
  EXPECT_EQ(c->byte_offset, 2u);
  EXPECT_EQ(c->bit_count, 12u);
  EXPECT_EQ(c->flags, 9u);
  EXPECT_EQ(c->invalidation_bit, 4u);
  EXPECT_EQ(c->precision, 1);
  EXPECT_EQ(c->range_min, -5);
  EXPECT_EQ(c->ext_limit_max, 6);
  EXPECT_EQ(block_text(c->unit), "km/h");
  // Every data type is read as it is stated: nothing to warn about when a file opens.
  EXPECT_EQ(log.count(" W "), 0) << log.text();
  const uint8_t stated[5] = {DT_UNSIGNED_LE, DT_UNSIGNED_LE, DT_FLOAT_LE, DT_BYTE_ARRAY,
                             DT_SIGNED_LE};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(cn_block(g->channels.first[i])->data_type, stated[i]);
  CcBlock* k = cc_block(c->conversion);
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->type, CC_LINEAR);
  EXPECT_EQ(k->precision, 2);
  EXPECT_EQ(k->value_count, 2);
  EXPECT_EQ(k->phys_max, 1);
  double v = 0;
  EXPECT_TRUE(cc_value(k, 1, &v));
  EXPECT_EQ(v, 2.0);
  EXPECT_FALSE(cc_value(k, 2, &v));
  // The wrong kind through a typed view counts as absent.
  EXPECT_EQ(cn_block(c->conversion), nullptr);
  EXPECT_EQ(dg_block(g->acquisition_source), nullptr);
}

TEST(DataBlocks, SectionStreamStopsAtTheSectionEnd) {
  Mf4Writer w;
  uint64_t hd = w.add_hd({});
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  uint64_t dt = w.add_dt(data);
  w.add_raw(std::vector<uint8_t>(64, 0xEE));  // bytes behind the block are not its data
  uint64_t dg = w.add_dg({.data = dt});
  w.set_link(hd, HD_FIRST_DG, dg);
  Opened o(w.bytes());
  ASSERT_NE(o.file, nullptr);
  Stream* s = dt_stream(o.dg(0)->data);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(dt_block(o.dg(0)->data)->base.length, 1024u);
  std::vector<uint8_t> got(4096);
  EXPECT_EQ(stream_read(s, got.data(), got.size()), 1000);
  EXPECT_EQ(memcmp(got.data(), data.data(), 1000), 0);
  EXPECT_EQ(stream_read(s, got.data(), 1), 0);
}

TEST(DataBlocks, LinksAreIgnoredAndSectionsAreCutAtTheFileEnd) {
  Mf4Writer w;
  uint64_t hd = w.add_hd({});
  // A signal-data block announcing links: its section still starts right after the header.
  uint64_t sd = w.add_block("##SD", {0, 0}, {}, 24 + 12);
  w.patch_u64(sd + 24, 0x0403020100000000ULL);
  w.patch_u32(sd + 32, 0x0A090807);
  uint64_t dt = w.add_block("##DT", {}, {1, 2, 3, 4}, uint64_t{1} << 40);
  uint64_t cn =
      w.add_cn({.data = sd, .channel_type = CN_VLSD, .data_type = DT_BYTE_ARRAY, .bit_count = 64});
  uint64_t cg = w.add_cg({.first_cn = cn, .data_bytes = 8});
  uint64_t dg = w.add_dg({.first_cg = cg, .data = dt});
  w.set_link(hd, HD_FIRST_DG, dg);
  Opened o(w.bytes());
  ASSERT_NE(o.file, nullptr);
  Stream* s = test::sd_stream(
      cn_block(cg_block(o.dg(0)->channel_groups.first[0])->channels.first[0])->data.block);
  ASSERT_NE(s, nullptr);
  uint8_t got[16];
  ASSERT_EQ(stream_read(s, got, 16), 12);
  EXPECT_EQ(got[0], 0);
  EXPECT_EQ(got[4], 1);
  EXPECT_EQ(got[11], 0x0A);
  DataBlock* d = dt_block(o.dg(0)->data);
  EXPECT_EQ(block_data_stream_size(&d->data), w.size() - dt - 24);
}
