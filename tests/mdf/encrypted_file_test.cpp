// Tests of encrypted containers: decryption, the tag over header and parameters, refusals.
#include "mdf/encrypted_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mdf/compressed_file.h"
#include "support/container_writer.h"
#include "support/memory_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using test::StreamPtr;

Bytes read_all(Stream* s) {
  Bytes out;
  uint8_t buffer[1000];
  int64_t n;
  while ((n = stream_read(s, buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + n);
  EXPECT_EQ(n, 0);
  return out;
}

ContainerHeader header_of(const Bytes& file) {
  StreamPtr s(test::memory_stream_after(file));
  ContainerHeader h{};
  EXPECT_TRUE(container_read_header(s.get(), &h));
  return h;
}

// Decrypts `file` with the header as given (so tests may alter the file behind it); false when
// it is refused.
bool decrypt(const Bytes& file, const ContainerHeader& h, std::string_view password, Bytes* plain) {
  StreamPtr s(test::memory_stream_after(file));
  StreamPtr e(encrypted_file_open(s.get(), &h, StringView(password)));
  if (!e) return false;
  int64_t end = stream_tell(e.get());
  EXPECT_EQ(stream_seek(e.get(), 0, SEEK_FROM_START), 0);
  *plain = read_all(e.get());
  EXPECT_EQ(end, static_cast<int64_t>(plain->size()));  // left standing at its end
  return true;
}

bool decrypt(const Bytes& file, std::string_view password, Bytes* plain) {
  return decrypt(file, header_of(file), password, plain);
}

Bytes random_bytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

// Made with another implementation of PBKDF2-HMAC-SHA-256 and AES-256-GCM: serial 0x00C0FFEE,
// flag byte 1, 1000 iterations, password "known answer", the initialisation vector and salt
// of the container writer's seed 1.
const Bytes KNOWN_ANSWER = {
    0x47, 0x65, 0x6E, 0x65, 0x72, 0x69, 0x63, 0x20, 0x46, 0x69, 0x6C, 0x65, 0x01, 0x00, 0x11,
    0x01, 0x00, 0xC0, 0xFF, 0xEE, 0x28, 0x0E, 0x5C, 0x7C, 0x12, 0x74, 0x3D, 0x94, 0x9F, 0x48,
    0x6A, 0xCB, 0x00, 0x00, 0x03, 0xE8, 0x8F, 0xFA, 0xEE, 0xA9, 0xB7, 0xAA, 0xDA, 0x38, 0xFD,
    0x1F, 0x92, 0x7E, 0x81, 0xA4, 0x6A, 0xD0, 0xA2, 0xB4, 0x7E, 0x1E, 0x14, 0x3B, 0xEA, 0xEB,
    0xCB, 0x27, 0x7E, 0x22, 0xCF, 0x98, 0xAF, 0xA1, 0x4C, 0x95, 0x24, 0xD9, 0x25, 0x3C, 0x93,
    0x41, 0x3E, 0xC3, 0xB0, 0xE4, 0x8A, 0xD1, 0x1C, 0xB2, 0xE7, 0x47, 0x26, 0xFC, 0xA0, 0xE0,
    0xDF, 0xA9, 0xEC, 0xBB, 0x7D, 0x3E, 0x19, 0xCD, 0x40, 0x4C, 0xF6, 0x9A, 0xFF, 0xCC, 0x7B,
    0xD4, 0x7B, 0x65, 0x31, 0x34, 0x12, 0x1E, 0x1C, 0x82, 0xD5, 0xF1, 0x93,
};
const std::string KNOWN_PLAINTEXT = "An independent known answer, 50 bytes long.......";

TEST(EncryptedFile, KnownAnswerOfAnotherImplementation) {
  Bytes plain;
  ASSERT_TRUE(decrypt(KNOWN_ANSWER, "known answer", &plain));
  EXPECT_EQ(std::string(plain.begin(), plain.end()), KNOWN_PLAINTEXT);
  Bytes payload(KNOWN_PLAINTEXT.begin(), KNOWN_PLAINTEXT.end());
  EXPECT_EQ(test::make_encrypted_container(payload, 0x00C0FFEE, "known answer", 1000, 1, 1),
            KNOWN_ANSWER);
}

TEST(EncryptedFile, RoundTripsAroundThePieceBoundaries) {
  std::mt19937 rng(5);
  for (size_t size : {0, 1, 15, 16, 17, 511, 512, 513, 1024, 1500, 70001}) {
    Bytes payload = random_bytes(rng, size);
    Bytes file = test::make_encrypted_container(payload, 0x42, "secret", 1, uint32_t(size),
                                                uint8_t(size & 1));
    ASSERT_EQ(file.size(), size + 68);
    Bytes plain{1, 2, 3};
    ASSERT_TRUE(decrypt(file, "secret", &plain)) << size;
    EXPECT_EQ(plain, payload) << size;
  }
}

TEST(EncryptedFile, IterationCountIsTakenAsStored) {
  Bytes payload = {'M', 'D', 'F', ' ', 0, 1, 2};
  Bytes file = test::make_encrypted_container(payload, 0x42, "pw", 100000);
  EXPECT_EQ(file[32], 0x00);
  EXPECT_EQ(file[33], 0x01);
  EXPECT_EQ(file[34], 0x86);
  EXPECT_EQ(file[35], 0xA0);
  Bytes plain;
  ASSERT_TRUE(decrypt(file, "pw", &plain));
  EXPECT_EQ(plain, payload);
}

TEST(EncryptedFile, AnyChangeToTheFirst52BytesFailsTheTag) {
  Bytes payload(700, 0x5A);
  const Bytes file = test::make_encrypted_container(payload, 0x1234, "pw", 1);
  const ContainerHeader h = header_of(file);
  Bytes plain;
  ASSERT_TRUE(decrypt(file, h, "pw", &plain));
  // The header struct stays that of the original, so only the authentication can object.
  for (size_t i = 0; i < 52; ++i) {
    Bytes altered = file;
    altered[i] ^= 0x01;  // iteration counts 0x01000001 (refused), 65537, 257, 0
    EXPECT_FALSE(decrypt(altered, h, "pw", &plain)) << "byte " << i;
  }
  for (size_t i : {size_t{52}, size_t{300}, file.size() - 17, file.size() - 16, file.size() - 1}) {
    Bytes altered = file;
    altered[i] ^= 0x01;
    EXPECT_FALSE(decrypt(altered, h, "pw", &plain)) << "byte " << i;
  }
}

TEST(EncryptedFile, WrongPasswordFails) {
  Bytes payload(2000, 7);
  Bytes file = test::make_encrypted_container(payload, 1, "right", 1);
  Bytes plain;
  EXPECT_FALSE(decrypt(file, "wrong", &plain));
  EXPECT_FALSE(decrypt(file, "righ", &plain));
  EXPECT_FALSE(decrypt(file, "", &plain));
  Bytes empty_password = test::make_encrypted_container(payload, 1, "", 1);
  ASSERT_TRUE(decrypt(empty_password, "", &plain));
  EXPECT_EQ(plain, payload);
}

TEST(EncryptedFile, SixtyEightBytesHoldAnEmptyPlaintext) {
  Bytes file = test::make_encrypted_container({}, 9, "pw", 1);
  ASSERT_EQ(file.size(), 68u);
  Bytes plain{1};
  ASSERT_TRUE(decrypt(file, "pw", &plain));
  EXPECT_TRUE(plain.empty());
  // Shorter files cannot hold parameters and tag.
  const ContainerHeader h = header_of(file);
  for (size_t size : {67, 60, 53, 52, 51, 36, 20}) {
    Bytes cut(file.begin(), file.begin() + size);
    EXPECT_FALSE(decrypt(cut, h, "pw", &plain)) << size;
  }
}

TEST(EncryptedFile, HugeIterationCountsAreRefusedBeforeDerivation) {
  const Bytes file = test::make_encrypted_container(Bytes{1, 2, 3}, 9, "pw", 1);
  const ContainerHeader h = header_of(file);
  auto start = std::chrono::steady_clock::now();
  for (uint32_t count : {10'000'001u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    Bytes altered = file;
    for (int i = 0; i < 4; ++i) altered[32 + i] = static_cast<uint8_t>(count >> (24 - 8 * i));
    Bytes plain;
    EXPECT_FALSE(decrypt(altered, h, "pw", &plain)) << count;
  }
  // Deriving even the smallest of these counts takes seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(EncryptedFile, CompressedInsideEncryptedDecodesInTwoRounds) {
  std::mt19937 rng(11);
  Bytes payload(30000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i / 97 + rng() % 3);
  Bytes inner = test::make_compressed_container(payload, 0xBEEF, 10, 5, true);
  Bytes file = test::make_encrypted_container(inner, 0xBEEF, "pw", 1);

  StreamPtr s(test::memory_stream_after(file));
  ContainerHeader h{};
  ASSERT_TRUE(container_read_header(s.get(), &h));
  EXPECT_EQ(h.container_type, CONTAINER_TYPE_ENCRYPTED);
  StreamPtr decrypted(encrypted_file_open(s.get(), &h, StringView("pw")));
  ASSERT_NE(decrypted, nullptr);
  ASSERT_TRUE(container_read_header(decrypted.get(), &h));
  EXPECT_EQ(h.container_type, CONTAINER_TYPE_COMPRESSED);
  EXPECT_EQ(h.device_serial, 0xBEEFu);
  StreamPtr decompressed(compressed_file_open(decrypted.get(), &h));
  ASSERT_NE(decompressed, nullptr);
  ASSERT_EQ(stream_seek(decompressed.get(), 0, SEEK_FROM_START), 0);
  EXPECT_FALSE(container_read_header(decompressed.get(), &h));
  ASSERT_EQ(stream_seek(decompressed.get(), 0, SEEK_FROM_START), 0);
  EXPECT_EQ(read_all(decompressed.get()), payload);
}

}  // namespace
