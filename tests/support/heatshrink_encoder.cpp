// Test-only heatshrink encoder: bit writer and greedy hash-chain LZSS.
#include "support/heatshrink_encoder.h"

#include <algorithm>

namespace test {

void HsBitWriter::bits(uint32_t value, uint32_t count) {
  for (uint32_t i = count; i-- > 0;) {
    if (used_ == 8) {
      out_.push_back(0);
      used_ = 0;
    }
    if ((value >> i) & 1) out_.back() |= static_cast<uint8_t>(0x80u >> used_);
    ++used_;
  }
}

void HsBitWriter::literal(uint8_t c) {
  bits(1, 1);
  bits(c, 8);
}

void HsBitWriter::backref(uint32_t distance, uint32_t length) {
  bits(0, 1);
  bits(distance - 1, window_bits_);
  bits(length - 1, lookahead_bits_);
}

std::vector<uint8_t> HsBitWriter::finish() {
  used_ = 8;
  return std::move(out_);
}

std::vector<uint8_t> heatshrink_encode(std::span<const uint8_t> data, uint32_t window_bits,
                                       uint32_t lookahead_bits) {
  HsBitWriter w(window_bits, lookahead_bits);
  const size_t window = size_t{1} << window_bits;
  const size_t max_length = size_t{1} << lookahead_bits;
  // A back-reference pays off once it is shorter than the literals it replaces.
  const size_t min_length = (1 + window_bits + lookahead_bits) / 9 + 1;
  constexpr size_t HASH_SIZE = 1 << 16;
  constexpr int MAX_CHAIN = 24;
  std::vector<int64_t> head(HASH_SIZE, -1);
  std::vector<int64_t> prev(window, -1);
  auto hash_at = [&](size_t i) {
    uint32_t v = data[i] | (data[i + 1] << 8) | (data[i + 2] << 16);
    return (v * 2654435761u) >> 16;
  };
  auto insert = [&](size_t i) {
    if (i + 3 > data.size()) return;
    uint32_t h = hash_at(i);
    prev[i & (window - 1)] = head[h];
    head[h] = static_cast<int64_t>(i);
  };
  size_t pos = 0;
  while (pos < data.size()) {
    size_t best_length = 0, best_distance = 0;
    if (pos + 3 <= data.size()) {
      size_t limit = std::min(max_length, data.size() - pos);
      int64_t candidate = head[hash_at(pos)];
      for (int chain = 0; chain < MAX_CHAIN && candidate >= 0; ++chain) {
        size_t c = static_cast<size_t>(candidate);
        if (pos - c > window) break;
        size_t length = 0;
        while (length < limit && data[c + length] == data[pos + length]) ++length;
        if (length > best_length) {
          best_length = length;
          best_distance = pos - c;
          if (length == limit) break;
        }
        int64_t next = prev[c & (window - 1)];
        if (next >= candidate) break;  // the slot was reused by a newer position
        candidate = next;
      }
    }
    if (best_length >= min_length && best_length >= 3) {
      w.backref(static_cast<uint32_t>(best_distance), static_cast<uint32_t>(best_length));
      for (size_t i = 0; i < best_length; ++i) insert(pos + i);
      pos += best_length;
    } else {
      w.literal(data[pos]);
      insert(pos);
      ++pos;
    }
  }
  return w.finish();
}

}  // namespace test
