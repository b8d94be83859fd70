// Damaged inputs through the whole conversion pipeline, in process: every prefix of a small
// plain, compressed and encrypted log and thousands of seeded single-byte changes must end in
// a result code. Truncated plain logs still give the frames before the cut.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "app/convert_file.h"
#include "app/run.h"
#include "dbc/message_db.h"
#include "io/fs_root.h"
#include "output/session.h"
#include "support/container_writer.h"
#include "support/log.h"
#include "support/mf4_writer.h"
#include "support/test_util.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

// Instrumented builds run several times slower: fewer changes there, every prefix still.
constexpr int FLIPS = SANITIZED ? 1500 : 2500;
constexpr int FRAMES = 24;
constexpr uint32_t SERIAL = 0x0A1B2C3D;
constexpr const char* PASSWORD = "sweep-secret";

std::vector<uint8_t> small_log() {
  test::BusLogBuilder log;
  log.metadata(SERIAL, 1, 1);
  for (int i = 0; i < FRAMES; ++i)
    log.add_can_frame(1, 0x100, false,
                      {static_cast<uint8_t>(i), static_cast<uint8_t>(2 * i), 3, 4, 5, 6, 7, 8},
                      0.01 * i);
  return log.build();
}

// Message 0x100 (8 bytes) with two byte-wide signals on CAN channel 1.
MessageDatabase* database() {
  MessageDatabase* db = message_db_new(PROTOCOL_CAN);
  Message* m = message_db_add_message(db, "EngineData", can_message_key(0x100, false), 8, 0);
  SignalLayout a{BYTE_ORDER_LITTLE, 1, 0, 8, 1, 0, 0, 0};
  SignalLayout b{BYTE_ORDER_LITTLE, 1, 8, 8, 0.5, 0, 0, 0};
  signal_list_add(&m->signals, "A", &a, 0);
  signal_list_add(&m->signals, "B", &b, 0);
  return db;
}

struct Outcome {
  int32_t result;
  uint64_t rows;
};

struct SweepFixture : ::testing::Test {
  test::TempDir dir;
  FsRoot* input_root = nullptr;
  FsRoot* output_root = nullptr;
  ConversionOptions options{};
  DbcPathTable paths{};
  int32_t saved_level = 0;

  void SetUp() override {
    ASSERT_TRUE(test::make_dirs(dir.file("in")));
    ASSERT_TRUE(test::make_dirs(dir.file("out")));
    input_root = fs_root_create(dir.file("in"));
    output_root = fs_root_create(dir.file("out"));
    ASSERT_NE(input_root, nullptr);
    ASSERT_NE(output_root, nullptr);
    options.buffer_size = -1;
    ASSERT_NE(string_map_insert(&options.passwords, "default", PASSWORD), nullptr);
    // Thousands of damaged files would each log their failure.
    saved_level = log_output_level;
    log_set_output_level(LOG_FATAL + 1);
  }
  void TearDown() override {
    log_set_output_level(saved_level);
    hash_table_destroy<StringMapTraits>(&options.passwords);
    fs_root_release(input_root);
    fs_root_release(output_root);
  }

  // Converts `bytes` as the input file `name` with a fresh session; the rows are the decoded
  // messages that reached an output.
  Outcome convert(const std::string& name, const uint8_t* bytes, size_t size) {
    EXPECT_TRUE(test::write_file(dir.file("in/" + name), bytes, size));
    ::Run run{};
    bool opened = run_open(&run, input_root, output_root, &options, &paths, 0);
    EXPECT_TRUE(opened);
    if (!opened) {
      run_close(&run);
      return {-1, 0};
    }
    run.decoders.channels[1].databases[0] = database();
    run.decoders.channels[1].key = can_message_key;
    std::string stem = name.substr(0, name.find('.'));
    int32_t result = convert_file(&run, name, stem);
    bool finished = session_finish(run.session);
    Outcome outcome{result, run.session->statistics.messages};
    run_close(&run);
    EXPECT_TRUE(finished);
    return outcome;
  }
  Outcome convert(const std::string& name, const std::vector<uint8_t>& bytes) {
    return convert(name, bytes.data(), bytes.size());
  }
};

bool known_result(int32_t r) {
  return r == CONVERT_OK || r == CONVERT_NO_PASSWORD || r == CONVERT_DECOMPRESS_FAILED ||
         r == CONVERT_FAILED;
}

// Offset of the first block with this identifier ("##DT"), or npos.
size_t find_block(const std::vector<uint8_t>& bytes, const char* id) {
  for (size_t i = 0; i + 4 <= bytes.size(); i += 8)
    if (memcmp(bytes.data() + i, id, 4) == 0) return i;
  return std::string::npos;
}

TEST_F(SweepFixture, IntactLogsConvertEveryFrame) {
  std::vector<uint8_t> plain = small_log();
  Outcome p = convert("00000001.MF4", plain);
  Outcome c = convert("00000002.MFC", test::make_compressed_container(plain, SERIAL));
  Outcome e = convert("00000003.MFE", test::make_encrypted_container(plain, SERIAL, PASSWORD));
  for (const Outcome& o : {p, c, e}) {
    EXPECT_EQ(o.result, CONVERT_OK);
    EXPECT_EQ(o.rows, static_cast<uint64_t>(FRAMES));
  }
}

// Every prefix of the plain log fails or converts; a cut inside the data block (the last block
// of this file) is a file cut short or still being copied: it fails before any row is read.
TEST_F(SweepFixture, PlainPrefixes) {
  std::vector<uint8_t> plain = small_log();
  size_t dt = find_block(plain, "##DT");
  ASSERT_NE(dt, std::string::npos);
  // The records are the file's tail: 24 bytes of block header, then FRAMES equal records.
  size_t record_size = (plain.size() - dt - 24) / FRAMES;
  ASSERT_EQ(dt + 24 + record_size * FRAMES, plain.size()) << "the data block must end the file";
  for (size_t n = 0; n <= plain.size(); ++n) {
    Outcome o = convert("00000001.MF4", plain.data(), n);
    ASSERT_TRUE(known_result(o.result)) << "prefix " << n << ": " << o.result;
    if (n >= dt + 24) {
      bool whole = n == plain.size();
      ASSERT_EQ(o.result, whole ? CONVERT_OK : CONVERT_FAILED) << "prefix " << n;
      ASSERT_EQ(o.rows, whole ? static_cast<uint64_t>(FRAMES) : 0) << "prefix " << n;
    }
  }
}

TEST_F(SweepFixture, ContainerPrefixesNeverSucceed) {
  std::vector<uint8_t> plain = small_log();
  std::vector<uint8_t> mfc = test::make_compressed_container(plain, SERIAL);
  std::vector<uint8_t> mfe = test::make_encrypted_container(plain, SERIAL, PASSWORD);
  for (size_t n = 0; n < mfc.size(); ++n) {
    Outcome o = convert("00000002.MFC", mfc.data(), n);
    ASSERT_TRUE(known_result(o.result)) << "prefix " << n << ": " << o.result;
    ASSERT_NE(o.result, CONVERT_OK) << "prefix " << n;
  }
  for (size_t n = 0; n < mfe.size(); ++n) {
    Outcome o = convert("00000003.MFE", mfe.data(), n);
    ASSERT_TRUE(known_result(o.result)) << "prefix " << n << ": " << o.result;
    ASSERT_NE(o.result, CONVERT_OK) << "prefix " << n;
  }
}

// Seeded single-byte changes: the plain log may convert or not, but never crash. The
// encrypted log is authenticated whole, and the compressed one checks its bit stream and
// every header byte except the serial and the parameters (which may still decode), so
// changes elsewhere must fail.
TEST_F(SweepFixture, SingleByteChanges) {
  std::vector<uint8_t> plain = small_log();
  struct Kind {
    const char* name;
    std::vector<uint8_t> bytes;
    bool (*may_succeed)(size_t offset);
  };
  Kind kinds[] = {
      {"00000001.MF4", plain, [](size_t) { return true; }},
      {"00000002.MFC", test::make_compressed_container(plain, SERIAL),
       [](size_t at) { return at >= 16 && at < 28; }},
      {"00000003.MFE", test::make_encrypted_container(plain, SERIAL, PASSWORD),
       [](size_t) { return false; }},
  };
  std::mt19937 rng(20260608);
  for (Kind& kind : kinds) {
    int successes = 0;
    for (int i = 0; i < FLIPS; ++i) {
      std::vector<uint8_t> bytes = kind.bytes;
      size_t at = rng() % bytes.size();
      // A changed high byte of the encrypted log's round count asks for millions of key
      // derivation rounds: seconds each, and the bound on the count has tests of its own.
      while (&kind == &kinds[2] && at >= 32 && at < 35) at = rng() % bytes.size();
      uint8_t change = static_cast<uint8_t>(1 + rng() % 255);  // never zero: a real change
      bytes[at] ^= change;
      Outcome o = convert(kind.name, bytes);
      ASSERT_TRUE(known_result(o.result)) << kind.name << " byte " << at << ": " << o.result;
      if (o.result == CONVERT_OK) {
        ++successes;
        ASSERT_TRUE(kind.may_succeed(at)) << kind.name << " byte " << at << " ^ " << int{change};
      }
    }
    // The plain log has many bytes whose change does not matter (text, padding, values).
    if (&kind == &kinds[0]) {
      EXPECT_GT(successes, 0) << kind.name;
    }
  }
}

}  // namespace
