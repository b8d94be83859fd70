// Helpers shared by the block loaders: the links of a block held for the length of a load, and
// the field reader that starts behind them.
#pragma once

#include "mdf/block.h"
#include "mdf/field_reader.h"
#include "support/grow_array.h"
#include "support/log.h"

// The links read by read_links, freed when the loader returns.
struct LinkArray {
  GrowArray<uint64_t> a{};
  ~LinkArray() { grow_array_free(&a); }
  uint64_t operator[](int64_t i) const { return a.items[i]; }
};

// The header's kind, length and link count into the block being loaded.
inline void copy_header(Block* b, const BlockHeader* h) {
  b->kind = h->kind;
  b->length = h->length;
  b->link_count = h->link_count;
}

// Reads the header's links, of which there must be at least `want` (the block at `offset`).
inline bool load_links(Stream* s, const BlockHeader* h, uint64_t offset, uint64_t want,
                       GrowArray<uint64_t>* links) {
  if (h->link_count < want) {
    log_block(LOG_ERROR, h->kind, offset, "%llu links where %llu are needed",
              static_cast<unsigned long long>(h->link_count),
              static_cast<unsigned long long>(want));
    return false;
  }
  return read_links(s, h, links);
}

// A single link: true when it is nil or names a block that loaded.
inline bool parse_single(Stream* s, uint64_t link, BlockCache* cache, BlockRef* out) {
  *out = parse_block(s, link, cache);
  return link == NIL_LINK || !block_ref_empty(*out);
}

// The fields of a block start behind its links.
inline FieldReader fields_of(const Block* b, Stream* s) {
  return field_reader_at(s,
                         static_cast<int64_t>(b->offset + BLOCK_HEADER_SIZE + 8 * b->link_count));
}
