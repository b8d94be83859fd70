// The Parquet writer setups of the fuzz target and its seeds: the first input byte chooses
// one, the rest is the file.
#pragma once

#include <cstdint>

#include "output/parquet_writer.h"

namespace fuzz {

// Bits 0-1 of `selector`: up to three value columns; bits 2-4: which of them hold texts.
struct ParquetFuzzSetup {
  ParquetColumn columns[3];
  ParquetSetup setup;

  explicit ParquetFuzzSetup(uint8_t selector) {
    static constexpr const char* NAMES[] = {"a", "b", "c"};
    uint32_t count = selector & 3u;
    if (count > 3) count = 3;
    for (uint32_t i = 0; i < 3; ++i) {
      bool text = (selector >> (2 + i)) & 1u;
      columns[i] = {StringView(NAMES[i], 1), text ? PARQUET_STRING : PARQUET_DOUBLE};
    }
    setup = {columns, count, nullptr, 0, 4, 0};
  }
};

}  // namespace fuzz
