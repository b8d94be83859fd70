// Test-only container writer: wraps any payload (an MF4 file, another container, garbage) in
// the 20-byte "Generic File" header as a compressed or an encrypted container.
//
//   auto mfc = test::make_compressed_container(mf4, 0x1234, 8, 4, true);   // W 8, L 4, CRC
//   auto mfe = test::make_encrypted_container(mf4, 0x1234, "secret", 1);    // 1 PBKDF2 round
//   auto nested = test::make_encrypted_container(mfc, 0x1234, "secret", 1);
//
// Numbers in the containers are big-endian. The encrypted container's initialisation vector
// and salt come from `seed`, so equal arguments give equal bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace test {

constexpr uint8_t CONTAINER_COMPRESSED = 0x22;
constexpr uint8_t CONTAINER_ENCRYPTED = 0x11;

std::vector<uint8_t> container_header_bytes(uint8_t container_type, uint32_t serial,
                                            uint8_t flag_byte, uint8_t footer_flag,
                                            uint8_t version = 1);

// The CRC-32 register after `bytes` (reflected, polynomial 0xEDB88320, start 0xFFFFFFFF, no
// final inversion), computed bit by bit.
uint32_t crc32_register(std::span<const uint8_t> bytes);

// A compressed container around an already encoded bit stream, with the parameter fields as
// given (window size in bytes, lookahead value whose low byte is L). With a footer, flag byte
// and footer flag are 1 and the CRC-32 register of the bit stream follows it.
std::vector<uint8_t> wrap_compressed(std::span<const uint8_t> bit_stream, uint32_t serial,
                                     uint32_t window_size, uint32_t lookahead_value,
                                     bool with_footer);

// Encodes `payload` with W and L and wraps it.
std::vector<uint8_t> make_compressed_container(std::span<const uint8_t> payload, uint32_t serial,
                                               uint32_t window_bits = 8,
                                               uint32_t lookahead_bits = 4,
                                               bool with_footer = true);

// Header (type 0x11, flag byte as given, footer flag 0), initialisation vector, iteration count,
// salt, AES-256-GCM ciphertext and tag; key from PBKDF2-HMAC-SHA-256 over the password. The
// first 52 bytes are the additional authenticated data.
std::vector<uint8_t> make_encrypted_container(std::span<const uint8_t> payload, uint32_t serial,
                                              std::string_view password, uint32_t iterations = 1,
                                              uint32_t seed = 1, uint8_t flag_byte = 1);

}  // namespace test
