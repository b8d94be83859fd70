// Helpers shared by the block loaders: the links of a block held for the length of a load, and
// the field reader that starts behind them.
#pragma once

#include "mdf/block.h"
#include "mdf/field_reader.h"
#include "support/grow_array.h"

// The links read by read_links, freed when the loader returns.
struct LinkArray {
  GrowArray<uint64_t> a{};
  ~LinkArray() { grow_array_free(&a); }
  uint64_t operator[](int64_t i) const { return a.items[i]; }
};

// The fields of a block start behind its links.
inline FieldReader fields_of(const Block* b, Stream* s) {
  return field_reader_at(s,
                         static_cast<int64_t>(b->offset + BLOCK_HEADER_SIZE + 8 * b->link_count));
}
