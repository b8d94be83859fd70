// Test-only container writer: compressed (heatshrink, optional CRC-32 footer) and encrypted
// (PBKDF2-HMAC-SHA-256, AES-256-GCM) containers around any payload.
#include "support/container_writer.h"

#include <mbedtls/gcm.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>

#include <cstdio>
#include <cstdlib>

#include "support/heatshrink_encoder.h"

namespace test {

namespace {

void put_u32_be(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

[[noreturn]] void writer_failed(const char* what) {
  fprintf(stderr, "container writer: %s failed\n", what);
  abort();
}

}  // namespace

std::vector<uint8_t> container_header_bytes(uint8_t container_type, uint32_t serial,
                                            uint8_t flag_byte, uint8_t footer_flag,
                                            uint8_t version) {
  std::vector<uint8_t> out{'G', 'e', 'n', 'e', 'r', 'i', 'c', ' ', 'F', 'i', 'l', 'e'};
  out.push_back(flag_byte);
  out.push_back(footer_flag);
  out.push_back(container_type);
  out.push_back(version);
  put_u32_be(out, serial);
  return out;
}

uint32_t crc32_register(std::span<const uint8_t> bytes) {
  uint32_t reg = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    reg ^= b;
    for (int k = 0; k < 8; ++k) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
  }
  return reg;
}

std::vector<uint8_t> wrap_compressed(std::span<const uint8_t> bit_stream, uint32_t serial,
                                     uint32_t window_size, uint32_t lookahead_value,
                                     bool with_footer) {
  uint8_t flag = with_footer ? 1 : 0;
  std::vector<uint8_t> out = container_header_bytes(CONTAINER_COMPRESSED, serial, flag, flag);
  put_u32_be(out, lookahead_value);
  put_u32_be(out, window_size);
  out.insert(out.end(), bit_stream.begin(), bit_stream.end());
  if (with_footer) put_u32_be(out, crc32_register(bit_stream));
  return out;
}

std::vector<uint8_t> make_compressed_container(std::span<const uint8_t> payload, uint32_t serial,
                                               uint32_t window_bits, uint32_t lookahead_bits,
                                               bool with_footer) {
  std::vector<uint8_t> bits = heatshrink_encode(payload, window_bits, lookahead_bits);
  return wrap_compressed(bits, serial, uint32_t{1} << window_bits, lookahead_bits, with_footer);
}

std::vector<uint8_t> make_encrypted_container(std::span<const uint8_t> payload, uint32_t serial,
                                              std::string_view password, uint32_t iterations,
                                              uint32_t seed, uint8_t flag_byte) {
  std::vector<uint8_t> out = container_header_bytes(CONTAINER_ENCRYPTED, serial, flag_byte, 0);
  // Initialisation vector (12) and salt (16) from a small linear congruential generator.
  uint32_t state = seed * 2654435761u + 12345u;
  uint8_t iv[12], salt[16];
  for (uint8_t& b : iv) b = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 24);
  for (uint8_t& b : salt) b = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 24);
  out.insert(out.end(), iv, iv + 12);
  put_u32_be(out, iterations);
  out.insert(out.end(), salt, salt + 16);

  uint8_t key[32];
  mbedtls_md_context_t md;
  mbedtls_md_init(&md);
  if (mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1) != 0)
    writer_failed("md setup");
  if (mbedtls_pkcs5_pbkdf2_hmac(&md, reinterpret_cast<const unsigned char*>(password.data()),
                                password.size(), salt, sizeof salt, iterations, sizeof key,
                                key) != 0)
    writer_failed("PBKDF2");
  mbedtls_md_free(&md);

  std::vector<uint8_t> cipher(payload.size());
  uint8_t tag[16];
  mbedtls_gcm_context gcm;
  mbedtls_gcm_init(&gcm);
  if (mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, 256) != 0) writer_failed("GCM key");
  if (mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, payload.size(), iv, sizeof iv,
                                out.data(), out.size(), payload.data(), cipher.data(), sizeof tag,
                                tag) != 0)
    writer_failed("GCM encryption");
  mbedtls_gcm_free(&gcm);
  out.insert(out.end(), cipher.begin(), cipher.end());
  out.insert(out.end(), tag, tag + 16);
  return out;
}

}  // namespace test
