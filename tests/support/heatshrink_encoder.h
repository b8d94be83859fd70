// Test-only heatshrink LZSS encoder: a bit writer for hand-made streams and a greedy encoder
// whose output the decoder must turn back into the input.
//
//   test::HsBitWriter w(8, 4);         // W = 8, L = 4
//   w.literal('A');                    // 1 01000001
//   w.backref(1, 3);                   // 0 00000000 0010: distance 1, length 3
//   std::vector<uint8_t> bits = w.finish();
//
//   std::vector<uint8_t> encoded = test::heatshrink_encode(data, 10, 5);
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace test {

// Items: a tag bit 1 and an 8-bit literal, or a tag bit 0, W bits of (distance - 1) and L bits
// of (length - 1). Bits fill each byte from the most significant one; finish() pads the last
// byte with zero bits, which never complete an item (an item takes at least 8 bits).
class HsBitWriter {
 public:
  HsBitWriter(uint32_t window_bits, uint32_t lookahead_bits)
      : window_bits_(window_bits), lookahead_bits_(lookahead_bits) {}
  // The low `count` bits of value, most significant first.
  void bits(uint32_t value, uint32_t count);
  void literal(uint8_t c);
  // distance 1 to 2^W, length 1 to 2^L; other values are masked into the fields as they are.
  void backref(uint32_t distance, uint32_t length);
  std::vector<uint8_t> finish();

 private:
  uint32_t window_bits_;
  uint32_t lookahead_bits_;
  std::vector<uint8_t> out_;
  uint32_t used_ = 8;  // bits used in out_.back(); 8 means a new byte is needed
};

// Greedy LZSS with hash chains over 3-byte prefixes; W 4-15, L 3 to W - 1.
std::vector<uint8_t> heatshrink_encode(std::span<const uint8_t> data, uint32_t window_bits,
                                       uint32_t lookahead_bits);

}  // namespace test
