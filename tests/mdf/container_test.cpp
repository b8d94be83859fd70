// Tests of container header detection, of which headers each container reader accepts, and
// of decoded content beyond the memory threshold.
#include "mdf/container.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "mdf/compressed_file.h"
#include "mdf/encrypted_file.h"
#include "support/container_writer.h"
#include "support/log_capture.h"
#include "support/memory_stream.h"
#include "support/process_state.h"
#include "support/test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
using test::StreamPtr;

TEST(ContainerHeader, ReadsTheFieldsOfACompressedHeader) {
  const Bytes file = {0x47, 0x65, 0x6E, 0x65, 0x72, 0x69, 0x63, 0x20, 0x46, 0x69,
                      0x6C, 0x65, 0x01, 0x01, 0x22, 0x01, 0x00, 0x00, 0x12, 0x34};
  // Standing at its end: the reader seeks to 0 itself.
  StreamPtr s(test::memory_stream_after(file));
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(s.get(), &h));
  EXPECT_EQ(h.flag_byte, 1);
  EXPECT_EQ(h.footer_flag, 1);
  EXPECT_EQ(h.container_type, CONTAINER_TYPE_COMPRESSED);
  EXPECT_EQ(h.format_version, 1);
  EXPECT_EQ(h.device_serial, 0x1234u);
  char serial[9];
  snprintf(serial, sizeof serial, "%08X", h.device_serial);
  EXPECT_STREQ(serial, "00001234");
  EXPECT_EQ(test::container_header_bytes(0x22, 0x1234, 1, 1), file);
}

TEST(ContainerHeader, SerialIsBigEndian) {
  StreamPtr s(test::memory_stream_after(test::container_header_bytes(0x11, 0xA1B2C3D4, 0, 0)));
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(s.get(), &h));
  EXPECT_EQ(h.device_serial, 0xA1B2C3D4u);
  EXPECT_EQ(h.container_type, CONTAINER_TYPE_ENCRYPTED);
}

TEST(ContainerHeader, OtherFilesAreNotContainers) {
  Bytes mdf(64, 0);
  memcpy(mdf.data(), "MDF     4.11    ", 16);
  Bytes wrong_case = test::container_header_bytes(0x22, 1, 0, 0);
  wrong_case[0] = 'g';
  Bytes last_letter = test::container_header_bytes(0x22, 1, 0, 0);
  last_letter[11] = 'E';
  Bytes short_file = test::container_header_bytes(0x22, 1, 0, 0);
  short_file.resize(19);  // the serial cannot be read
  for (const Bytes& file : {mdf, wrong_case, last_letter, short_file, Bytes{}}) {
    StreamPtr s(test::memory_stream_after(file));
    ContainerHeader h;
    EXPECT_FALSE(container_read_header(s.get(), &h)) << file.size();
  }
}

TEST(ContainerHeader, EachReaderAcceptsOnlyItsOwnFlags) {
  // A decodable payload for both kinds, then headers patched at offsets 12-15.
  const Bytes payload = {'M', 'D', 'F'};
  struct Case {
    uint8_t flag, footer, type, version;
    bool compressed_ok, encrypted_ok;
  };
  const Case cases[] = {
      {0, 0, 0x22, 1, true, false},  {1, 1, 0x22, 1, true, false},  {1, 0, 0x22, 1, false, false},
      {0, 1, 0x22, 1, false, false}, {2, 2, 0x22, 1, false, false}, {1, 1, 0x22, 2, false, false},
      {0, 0, 0x11, 1, false, true},  {1, 0, 0x11, 1, false, true},  {1, 1, 0x11, 1, false, false},
      {2, 0, 0x11, 1, false, false}, {0, 0, 0x11, 0, false, false}, {0, 0, 0x33, 1, false, false},
  };
  for (const Case& c : cases) {
    Bytes file = c.type == 0x22 ? test::make_compressed_container(payload, 7, 8, 4, c.footer == 1)
                                : test::make_encrypted_container(payload, 7, "pw", 1);
    StreamPtr s(test::memory_stream_after(file));
    ContainerHeader h;
    ASSERT_TRUE(container_read_header(s.get(), &h));
    h.flag_byte = c.flag;
    h.footer_flag = c.footer;
    h.container_type = c.type;
    h.format_version = c.version;
    StreamPtr compressed(compressed_file_open(s.get(), &h));
    StreamPtr encrypted(encrypted_file_open(s.get(), &h, StringView("pw")));
    EXPECT_EQ(compressed != nullptr, c.compressed_ok)
        << int(c.flag) << int(c.footer) << " " << int(c.type) << " v" << int(c.version);
    EXPECT_EQ(encrypted != nullptr, c.encrypted_ok)
        << int(c.flag) << int(c.footer) << " " << int(c.type) << " v" << int(c.version);
  }
}

// Opens `file` with the reader its header names; whether a stream came out.
bool opens(const Bytes& file) {
  StreamPtr s(test::memory_stream_after(file));
  ContainerHeader h;
  if (!container_read_header(s.get(), &h)) return false;
  StreamPtr result(h.container_type == CONTAINER_TYPE_ENCRYPTED
                       ? encrypted_file_open(s.get(), &h, StringView("pw"))
                       : compressed_file_open(s.get(), &h));
  return result != nullptr;
}

TEST(ContainerDamage, AlteredContainersNeverOpenUnnoticed) {
  // Random changes to valid containers. Every change to an encrypted container and every
  // change to the bit stream or footer of a compressed one with a footer must be caught;
  // changes to its parameters may decode (to other bytes) but must stay inside the buffers.
  std::mt19937 rng(31337);
  Bytes payload(3000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>((i * i) >> 7);
  const Bytes compressed = test::make_compressed_container(payload, 5, 9, 5, true);
  const Bytes encrypted = test::make_encrypted_container(payload, 5, "pw", 1);
  ASSERT_TRUE(opens(compressed));
  ASSERT_TRUE(opens(encrypted));
  for (int round = 0; round < 300; ++round) {
    const bool is_encrypted = round % 2;
    Bytes file = is_encrypted ? encrypted : compressed;
    bool only_stream = true;
    for (int changes = 1 + rng() % 3; changes > 0; --changes) {
      size_t at = rng() % file.size();
      if (is_encrypted && at >= 32 && at < 36) at = 36;  // counts have their own test
      file[at] ^= static_cast<uint8_t>(1 + rng() % 255);
      only_stream &= at >= 28;
    }
    if (rng() % 4 == 0) file.resize(rng() % file.size());
    bool opened = opens(file);
    if (is_encrypted || only_stream) {
      EXPECT_FALSE(opened) << "round " << round;
    }
  }
}

// Decoded content beyond a memory threshold of 4096 bytes, for both kinds of container: the
// content read back, or null.
StreamPtr open_spilling(const Bytes& container, const char* password) {
  StreamPtr file(test::memory_stream_with(container));
  ContainerHeader h{};
  EXPECT_TRUE(container_read_header(file.get(), &h));
  return StreamPtr(h.container_type == CONTAINER_TYPE_ENCRYPTED
                       ? encrypted_file_open(file.get(), &h, StringView(password), 4096)
                       : compressed_file_open_bounded(file.get(), &h, UINT32_MAX, 4096));
}

const Bytes PAYLOAD = [] {
  Bytes payload(200000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i % 7 ? i : i >> 9);
  return payload;
}();
const Bytes SPILL_CONTAINERS[] = {test::make_compressed_container(PAYLOAD, 1, 10, 5, true),
                                  test::make_encrypted_container(PAYLOAD, 1, "pw", 1)};

// The content passes through one unlinked file in $TMPDIR that goes with the stream, also
// when the password is wrong.
TEST(ContainerContent, BeyondTheThresholdPassesThroughAnUnlinkedFile) {
  for (const Bytes& container : SPILL_CONTAINERS) {
    test::TempDir dir;
    test::ScopedEnv tmpdir("TMPDIR", dir.path);
    StreamPtr content = open_spilling(container, "pw");
    ASSERT_NE(content, nullptr);
    EXPECT_EQ(test::open_files_in(dir.path), 1);
    EXPECT_TRUE(test::list_files(dir.path).empty());
    EXPECT_EQ(test::stream_bytes(content.get()), PAYLOAD);
    content.reset();
    EXPECT_EQ(open_spilling(SPILL_CONTAINERS[1], "wrong"), nullptr);
    EXPECT_EQ(test::open_files_in(dir.path), 0);
  }
}

// A temporary file that cannot be made or written fails the container with one message that
// says what, where and why.
TEST(ContainerContent, AFailedTemporaryFileFailsTheContainerWithAMessage) {
  test::TempDir dir;
  const struct {
    std::string tmpdir;
    rlim_t file_limit;
    std::string message;
  } cases[] = {
      {dir.file("missing"), RLIM_INFINITY,
       "Could not create the temporary file in " + dir.file("missing") +
           ": No such file or directory"},
      {dir.path, 65536,
       "Could not write to the temporary file in " + dir.path + ": File too large"},
  };
  for (const auto& c : cases) {
    for (const Bytes& container : SPILL_CONTAINERS) {
      test::LogCapture log;  // its own file lies outside the folder
      test::ScopedEnv tmpdir("TMPDIR", c.tmpdir);
      test::ScopedFileSizeLimit limit(c.file_limit);
      EXPECT_EQ(open_spilling(container, "pw"), nullptr);
      EXPECT_EQ(log.count(c.message), 1) << log.text();
    }
  }
  EXPECT_EQ(test::open_files_in(dir.path), 0);
}

}  // namespace
