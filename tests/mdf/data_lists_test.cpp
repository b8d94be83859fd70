// Data spread over data lists, compressed blocks, header lists and the LD lists of column
// storage: every layout reads back the frames of the plain log, a stream over pieces reads what
// they hold from anywhere, and damaged lists are refused with the block, its offset and why.
#include "mdf/data_lists.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "mdf/data_stream.h"
#include "mdf/frame_reading.h"
#include "mdf_test_helpers.h"
#include "support/mf4_writer.h"

using mdftest::LogCapture;
using mdftest::Opened;
using namespace test;

namespace {

// Frames of every kind with payloads of every length, so that records of several sizes and
// variable-length data of several sizes meet the piece boundaries at many places.
void add_frames(BusLogBuilder& b) {
  for (int i = 0; i < 60; ++i) {
    std::vector<uint8_t> payload(static_cast<size_t>(i % 9), static_cast<uint8_t>(0x11 * i));
    double t = 0.001 * i;
    if (i % 7 == 3) {
      b.add_canfd_frame(2, 0x400 + i, true, std::vector<uint8_t>(12 + i % 50, 0xC3), t);
    } else {
      b.add_can_frame(1 + i % 2, 0x100 + i, i % 3 == 0, payload, t);
    }
    if (i % 10 == 0) b.add_can_remote_frame(1, 0x1A0, false, 4, t + 0.0001);
    if (i % 15 == 0) b.add_can_error_frame(2, 1 + i % 5, t + 0.0002);
    if (i % 6 == 0) b.add_lin_frame(1, 0x21, {1, 2, static_cast<uint8_t>(i)}, t + 0.0003);
  }
}

// The frames a file yields, without the records that give none (master groups of their own).
std::vector<FrameValue> frames_of(const std::vector<uint8_t>& mf4) {
  ReadResult r = read_frames(mf4);
  EXPECT_TRUE(r.opened);
  std::vector<FrameValue> out;
  for (const FrameValue& f : r.frames)
    if (f.kind != FRAME_NONE) out.push_back(f);
  return out;
}

struct Layout_ {
  Layout layout;
  DataStorage storage;
  bool column;
  bool vlsd_before;
  const char* master;
};

}  // namespace

TEST(DataLayouts, EveryLayoutGivesTheFramesOfThePlainLog) {
  const Layout_ layouts[] = {
      {Layout::Sorted, DataStorage::Fixed, false, false, "Timestamp"},
      {Layout::Sorted, DataStorage::SignalData, false, false, "time"},
      {Layout::Unsorted, DataStorage::Fixed, false, false, "t"},
      {Layout::Unsorted, DataStorage::VlsdGroup, false, false, "Timestamp"},
      {Layout::Unsorted, DataStorage::VlsdGroup, false, true, "t"},
      {Layout::Sorted, DataStorage::Fixed, true, false, "Timestamp"},
      {Layout::Sorted, DataStorage::SignalData, true, false, "time"},
  };
  const DataBlocks forms[] = {DataBlocks::List, DataBlocks::ListOffsets, DataBlocks::Deflate,
                              DataBlocks::Transposed, DataBlocks::HeaderList};
  for (const Layout_& l : layouts) {
    auto make = [&](DataBlocks form, uint64_t piece) {
      BusLogBuilder b;
      b.layout(l.layout, 2).can_data_storage(l.storage).invalidation_bytes(1);
      b.column_storage(l.column).vlsd_before_record(l.vlsd_before).master_name(l.master);
      b.data_blocks(form, piece);
      add_frames(b);
      return b.build();
    };
    // The reference: the same log in plain blocks with the master named "Timestamp".
    BusLogBuilder plain;
    plain.layout(l.layout, 2).can_data_storage(l.storage).invalidation_bytes(1);
    plain.column_storage(l.column).vlsd_before_record(l.vlsd_before);
    add_frames(plain);
    std::vector<FrameValue> expected = frames_of(plain.build());
    ASSERT_EQ(expected.size(), 60u + 6 + 4 + 10);
    for (DataBlocks form : forms) {
      for (uint64_t piece : {0, 7, 100}) {
        SCOPED_TRACE(::testing::Message() << "layout " << (&l - layouts) << " form "
                                          << static_cast<int>(form) << " piece " << piece);
        std::vector<FrameValue> got = frames_of(make(form, piece));
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i)
          ASSERT_EQ(got[i], expected[i]) << i << ": " << describe(got[i]);
      }
    }
  }
}

namespace {

// A bus data group of records of 12 bytes (time, identifier) whose data each case lays out.
struct BusFile {
  Mf4Writer w;
  uint64_t cg, dg;
  std::vector<uint8_t> records;  // 10 records
  BusFile() {
    uint64_t hd = w.add_hd({});
    uint64_t id =
        w.add_cn({.name = w.add_tx("CAN_DataFrame.ID"), .byte_offset = 8, .bit_count = 32});
    uint64_t t = w.add_cn({.next = id,
                           .name = w.add_tx("t"),
                           .channel_type = CN_MASTER,
                           .sync_type = SYNC_TIME,
                           .data_type = DT_FLOAT_LE,
                           .bit_count = 64});
    cg = w.add_cg({.first_cn = t, .acq_source = w.add_si({}), .data_bytes = 12});
    dg = w.add_dg({.first_cg = cg});
    w.set_link(hd, HD_FIRST_DG, dg);
    ByteWriter b;
    for (int i = 0; i < 10; ++i) b.f64(0.5 * i).u32(0x100 + i);
    records = b.bytes;
  }
  std::vector<uint8_t> part(size_t from, size_t to) const {
    return {records.begin() + static_cast<ptrdiff_t>(from),
            records.begin() + static_cast<ptrdiff_t>(to)};
  }
  uint64_t dz(size_t from, size_t to, uint8_t zip = ZIP_DEFLATE) {
    return w.add_dz({.zip_type = zip, .zip_parameter = zip ? 12u : 0u}, part(from, to));
  }
};

enum class Outcome { Reads, RefusedAtOpen, FailsWhileReading };

// Opens the file, reads its records as frames and checks the outcome and the message.
void check_outcome(const BusFile& f, Outcome outcome, const char* message) {
  LogCapture log;
  Opened o(f.w.bytes());
  if (outcome == Outcome::RefusedAtOpen) {
    EXPECT_EQ(o.file, nullptr);
  } else {
    ASSERT_NE(o.file, nullptr);
    RecordReader* r = record_reader_new(o.dg(0));
    std::vector<uint32_t> ids;
    RecordIterator it;
    for (record_iter_begin(&it, r); it.frame; record_iter_next(&it)) ids.push_back(it.frame->id);
    EXPECT_EQ(record_reader_failed(r), outcome == Outcome::FailsWhileReading);
    if (outcome == Outcome::Reads) {
      EXPECT_EQ(ids, (std::vector<uint32_t>{0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107,
                                            0x108, 0x109}));
    }
    record_reader_free(r);
  }
  if (message) {
    EXPECT_EQ(log.count(message), 1) << log.text();
  }
}

// A DZ block of all records with one field of its data section changed.
struct DzDamage {
  const char* what;
  uint8_t zip_type;
  uint64_t at, value;
  size_t width;
  Outcome outcome;
  const char* message;
};

const DzDamage DZ_DAMAGE[] = {
    {"zip type 7", 0, 2, 7, 1, Outcome::RefusedAtOpen, ": zip type 7 is not supported"},
    {"unknown original block type", 0, 0, 'X' | 'Y' << 8, 2, Outcome::RefusedAtOpen,
     "original block type \"XY\" is not supported"},
    {"an original length of 2^40", 0, 8, uint64_t{1} << 40, 8, Outcome::RefusedAtOpen,
     "original length 1099511627776 exceeds the 16777216 bytes"},
    {"more original bytes than deflate can give", 0, 8, 1 << 23, 8, Outcome::RefusedAtOpen,
     "compressed bytes cannot hold 8388608 original bytes"},
    {"compressed length beyond the block", 0, 16, 1 << 20, 8, Outcome::RefusedAtOpen,
     "1048576 compressed bytes do not fit its length"},
    {"an original length one more than the stream gives", 1, 8, 121, 8, Outcome::FailsWhileReading,
     "the deflate stream ends after 120 of its original 121 bytes"},
    {"an original length one less than the stream gives", 0, 8, 119, 8, Outcome::FailsWhileReading,
     "the deflate stream gives more than its original 119 bytes"},
    {"a deflate stream cut short", 0, 16, 20, 8, Outcome::FailsWhileReading,
     "the deflate stream ends after"},
    {"damaged deflate data", 0, 24, 0x7A, 1, Outcome::FailsWhileReading,
     "damaged deflate data (incorrect header check)"},
};

// Lists laid out by hand: the block the data link names.
struct ListCase {
  const char* what;
  uint64_t (*lay_out)(BusFile& f);
  Outcome outcome;
  const char* message;
};

const ListCase LIST_CASES[] = {
    {"empty blocks, offsets, a transposed block with a partial last row",
     [](BusFile& f) {
       uint64_t blocks[] = {f.w.add_dt({}), f.dz(0, 0), f.w.add_dt(f.part(0, 30)),
                            f.dz(30, 120, ZIP_TRANSPOSE_DEFLATE)};
       uint64_t tail = f.w.add_dl({blocks[3]}, 0, {30});
       return f.w.add_dl({blocks[0], blocks[1], blocks[2]}, 0, {0, 0, 0}, tail);
     },
     Outcome::Reads, nullptr},
    {"a data list whose next list is itself",
     [](BusFile& f) {
       uint64_t dl = f.w.add_dl({f.w.add_dt(f.records)}, 120);
       f.w.set_link(dl, 0, dl);
       return dl;
     },
     Outcome::RefusedAtOpen, "a link cycle leads back to it"},
    {"a header list that names itself",
     [](BusFile& f) {
       uint64_t hl = f.w.add_hl(0);
       f.w.set_link(hl, 0, hl);
       return hl;
     },
     Outcome::RefusedAtOpen, "a link cycle leads back to it"},
    {"a data list of 2^32 links",
     [](BusFile& f) {
       uint64_t dl = f.w.add_dl({f.w.add_dt(f.records)}, 120);
       f.w.patch_u64(dl + 16, uint64_t{1} << 32);
       return dl;
     },
     Outcome::RefusedAtOpen, "with 4294967296 links does not fit the file"},
    {"a data list announcing 2^32 - 1 entries",
     [](BusFile& f) {
       uint64_t dl = f.w.add_dl({f.w.add_dt(f.records)}, 120);
       f.w.patch_u32(f.w.data_offset(dl) + 4, 0xFFFFFFFF);
       return dl;
     },
     Outcome::RefusedAtOpen, "4294967295 entries announced for 1 data links"},
    {"offsets that disagree with the blocks",
     [](BusFile& f) {
       return f.w.add_dl({f.w.add_dt(f.part(0, 12)), f.dz(12, 120)}, 0, {0, 5});
     },
     Outcome::RefusedAtOpen, "entry 1 starts at byte 5, but the entries before it hold 12"},
    {"an equal length that disagrees with a block",
     [](BusFile& f) {
       return f.w.add_dl({f.w.add_dt(f.part(0, 12)), f.w.add_dt(f.part(12, 120))}, 24);
     },
     Outcome::RefusedAtOpen, "entry 0 holds 12 bytes, not the equal length 24"},
    {"records larger than what is held at once, in two blocks",
     [](BusFile& f) {
       std::vector<uint8_t> zeros(MAX_INFLATED_BLOCK, 0);
       uint64_t first = f.w.add_dz({}, zeros), second = f.w.add_dz({}, zeros);
       f.w.patch_u32(f.cg + 96, 20 << 20);
       return f.w.add_dl({first, second}, MAX_INFLATED_BLOCK);
     },
     Outcome::FailsWhileReading, "records of 20971520 bytes are more than the 16777216 bytes"},
    {"an LD list whose sample count times the record length runs past 2^64",
     [](BusFile& f) {
       return f.w.add_ld({f.w.add_block("##DV", {}, f.part(0, 120))}, {}, uint64_t{1} << 62);
     },
     Outcome::RefusedAtOpen, "samples run past 2^64 bytes"},
    {"a block listed twice (its bytes would be read as often as it is named)",
     [](BusFile& f) {
       uint64_t dt = f.w.add_dt(f.part(0, 120));
       return f.w.add_dl({dt, dt}, 120);
     },
     Outcome::RefusedAtOpen, "named as data a second time"},
    {"an entry that holds no data",
     [](BusFile& f) { return f.w.add_dl({f.w.add_tx("no data")}, 0, {0}); }, Outcome::RefusedAtOpen,
     "entry 0 is a TX block, not data"},
};

}  // namespace

TEST(DataLists, EdgesReadAndDamageIsRefusedWithTheBlockNamed) {
  for (const DzDamage& c : DZ_DAMAGE) {
    SCOPED_TRACE(c.what);
    BusFile f;
    uint64_t dz = f.dz(0, 120, c.zip_type);
    uint64_t value = c.value;  // little-endian, as the fields are stored
    f.w.patch_bytes(f.w.data_offset(dz) + c.at, &value, c.width);
    f.w.set_link(f.dg, DG_DATA, dz);
    check_outcome(f, c.outcome, c.message);
  }
  for (const ListCase& c : LIST_CASES) {
    SCOPED_TRACE(c.what);
    BusFile f;
    f.w.set_link(f.dg, DG_DATA, c.lay_out(f));
    check_outcome(f, c.outcome, c.message);
  }
}

TEST(DataStream, RandomSeeksAndReadsAcrossPiecesGiveTheBytesTheyHold) {
  std::mt19937 rng(77);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    Mf4Writer w;
    uint64_t hd = w.add_hd({});
    std::vector<uint8_t> all;
    std::vector<uint64_t> blocks, offsets;
    int pieces = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < pieces; ++i) {
      std::vector<uint8_t> part(rng() % 3 == 0 ? rng() % 4 : rng() % 2000);
      for (uint8_t& b : part) b = static_cast<uint8_t>(rng() % 7 == 0 ? rng() : all.size() % 251);
      offsets.push_back(all.size());
      all.insert(all.end(), part.begin(), part.end());
      uint32_t kind = rng() % 3;
      blocks.push_back(kind == 0
                           ? w.add_dt(part)
                           : w.add_dz({.zip_type = static_cast<uint8_t>(kind - 1),
                                       .zip_parameter = static_cast<uint32_t>(1 + rng() % 40)},
                                      part));
    }
    w.set_link(hd, HD_FIRST_DG, w.add_dg({.data = w.add_dl(blocks, 0, offsets)}));
    Opened o(w.bytes());
    ASSERT_NE(o.file, nullptr);
    DataPieces p{};
    DataListProblem problem;
    ASSERT_EQ(data_pieces_resolve(o.dg(0)->data.block, 0, &problem, &p), DATA_LIST_OK);
    ASSERT_EQ(p.size, all.size());
    Stream* s = data_stream_new(&p);
    for (int op = 0; op < 200; ++op) {
      uint64_t at = rng() % (all.size() + 10);
      int64_t landed =
          rng() % 2 ? stream_seek(s, static_cast<int64_t>(at), SEEK_FROM_START)
                    : stream_seek(s, static_cast<int64_t>(at) - stream_tell(s), SEEK_FROM_CURRENT);
      // A seek past the end lands there, as on every stream; reads there give nothing.
      ASSERT_EQ(landed, static_cast<int64_t>(at));
      uint64_t expected_at = at;
      std::vector<uint8_t> got(rng() % 3000);
      uint64_t done = 0;
      for (int64_t n;
           done < got.size() && (n = stream_read(s, got.data() + done, got.size() - done)) > 0;)
        done += static_cast<uint64_t>(n);
      ASSERT_EQ(done,
                std::min<uint64_t>(got.size(), all.size() - std::min(expected_at, all.size())));
      if (done > 0) {
        ASSERT_TRUE(std::equal(got.begin(), got.begin() + static_cast<ptrdiff_t>(done),
                               all.begin() + static_cast<ptrdiff_t>(expected_at)));
      }
      ASSERT_EQ(stream_tell(s), static_cast<int64_t>(expected_at + done));
    }
    EXPECT_EQ(stream_seek(s, 0, SEEK_FROM_END), static_cast<int64_t>(all.size()));
    EXPECT_FALSE(data_stream_failed(s));
    stream_close(s);
    data_pieces_free(&p);
  }
}

TEST(Masters, AVirtualMasterCountsTheRecordsOfItsOwnGroup) {
  Mf4Writer w;
  uint64_t hd = w.add_hd({});
  uint64_t si = w.add_si({});
  uint64_t cc = w.add_cc_linear(0.5, 10);
  auto group = [&](uint64_t record_id, uint64_t next) {
    uint64_t id = w.add_cn({.name = w.add_tx("CAN_DataFrame.ID"), .bit_count = 32});
    uint64_t t = w.add_cn({.next = id,
                           .name = w.add_tx("index"),
                           .conversion = cc,
                           .channel_type = CN_VIRTUAL_MASTER,
                           .sync_type = SYNC_TIME});
    return w.add_cg(
        {.next = next, .first_cn = t, .acq_source = si, .record_id = record_id, .data_bytes = 4});
  };
  uint64_t second = group(2, 0);
  ByteWriter d;
  uint32_t k = 0;
  for (uint32_t id : {1, 2, 1, 1, 2}) d.u8(id).u32(0x100 * id + k++);
  w.set_link(
      hd, HD_FIRST_DG,
      w.add_dg({.first_cg = group(1, second), .data = w.add_dt(d.bytes), .record_id_size = 1}));
  std::vector<std::pair<uint32_t, double>> got;
  for (const FrameValue& f : frames_of(w.bytes())) got.emplace_back(f.id, f.timestamp);
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, double>>{
                     {0x100, 10}, {0x201, 10}, {0x102, 10.5}, {0x103, 11}, {0x204, 10.5}}));
}

TEST(Masters, ARemoteMasterWithFewerRecordsOrNoneIsAnError) {
  BusLogBuilder b;
  b.column_storage();
  for (int i = 0; i < 3; ++i) b.add_can_frame(1, 0x100 + i, false, {1}, 0.25 * i);
  std::vector<uint8_t> good = b.build();
  auto link = [](const std::vector<uint8_t>& f, uint64_t block, int i) {
    uint64_t v;
    memcpy(&v, f.data() + block + 24 + 8 * i, 8);
    return v;
  };
  uint64_t master_dg = link(good, 64, 0);
  uint64_t master_dv = link(good, link(good, master_dg, 2), 1);
  uint64_t data_cg = link(good, link(good, master_dg, 0), 1);
  {
    std::vector<uint8_t> f = good;
    uint64_t shorter = 24 + 2 * 8;  // two of the three times
    memcpy(f.data() + master_dv + 8, &shorter, 8);
    LogCapture log;
    Opened o(f);
    ASSERT_NE(o.file, nullptr);
    RecordReader* r = record_reader_new(o.dg(1));
    std::vector<double> times;
    RecordIterator it;
    for (record_iter_begin(&it, r); it.frame; record_iter_next(&it))
      times.push_back(it.frame->timestamp);
    EXPECT_EQ(times, (std::vector<double>{0, 0.25}));
    EXPECT_TRUE(record_reader_failed(r));
    record_reader_free(r);
    char expected[120];
    snprintf(expected, sizeof expected,
             "CG block at 0x%llX: its master channel group at 0x%llX holds fewer records",
             static_cast<unsigned long long>(data_cg),
             static_cast<unsigned long long>(link(good, master_dg, 1)));
    EXPECT_EQ(log.count(expected), 1) << log.text();
  }
  {
    // A master claiming records of 4 GiB: its data holds none, and nothing of that size is
    // allocated for it.
    std::vector<uint8_t> f = good;
    uint32_t huge = 0xFFFFFFF0;
    memcpy(f.data() + link(good, master_dg, 1) + 96, &huge, 4);
    LogCapture log;
    Opened o(f);
    ASSERT_NE(o.file, nullptr);
    RecordReader* r = record_reader_new(o.dg(1));
    EXPECT_FALSE(record_reader_next(r));
    EXPECT_TRUE(record_reader_failed(r));
    record_reader_free(r);
    EXPECT_EQ(log.count("holds fewer records than it"), 1) << log.text();
  }
  {
    std::vector<uint8_t> f = good;
    memset(f.data() + data_cg + 24 + 6 * 8, 0, 8);  // the remote-master link
    LogCapture log;
    EXPECT_EQ(Opened(f).file, nullptr);
    EXPECT_EQ(log.count("its master is in another channel group, but none is named"), 1)
        << log.text();
  }
}

TEST(DataLists, ResolutionTellsItsStatusAndTheLineThatNamesTheBlock) {
  struct Case {
    const ListCase* layout;
    DataListStatus status;
  };
  // The last two list cases: a block listed twice, an entry that holds no data.
  const size_t n = sizeof LIST_CASES / sizeof LIST_CASES[0];
  for (Case c : {Case{&LIST_CASES[n - 2], DATA_LIST_REPEATED_BLOCK},
                 Case{&LIST_CASES[n - 1], DATA_LIST_BAD_ENTRY}}) {
    SCOPED_TRACE(c.layout->what);
    BusFile f;
    uint64_t dl = c.layout->lay_out(f);
    Stream* s = memory_stream_new();
    stream_write(s, f.w.bytes().data(), f.w.bytes().size());
    BlockCache* cache = block_cache_new(s, block_create);
    BlockRef root = parse_block(s, dl, cache);
    ASSERT_FALSE(block_ref_empty(root));
    DataPieces pieces{};
    DataListProblem problem;
    EXPECT_EQ(data_pieces_resolve(root.block, 0, &problem, &pieces), c.status);
    EXPECT_EQ(pieces.pieces.count, 0);
    std::string_view line = problem.line;
    EXPECT_EQ(line.find(" block at 0x"), 2u) << line;
    EXPECT_NE(line.find(c.layout->message), std::string_view::npos) << line;
    data_pieces_free(&pieces);
    block_release(&root);
    block_cache_free(cache);
    stream_close(s);
  }
  EXPECT_STREQ(data_list_status_name(DATA_LIST_REPEATED_BLOCK), "repeated block");
}
