// The block framework of MDF 4 files: block headers and links, one table of operations per
// block kind, parsing a block at a file offset with a cache (so a block reached twice loads
// once), counted references, lists of sibling blocks, and the opened file.
#pragma once

#include <cstdint>

#include "io/stream.h"
#include "support/grow_array.h"

enum BlockKind : int32_t {
  BLOCK_UNKNOWN = 0,
  BLOCK_ID = 1,
  BLOCK_CC = 2,
  BLOCK_CG = 3,
  BLOCK_CN = 4,
  BLOCK_DG = 5,
  BLOCK_DT = 6,
  BLOCK_FH = 7,
  BLOCK_HD = 8,
  BLOCK_MD = 9,
  BLOCK_SD = 10,
  BLOCK_SI = 11,
  BLOCK_TX = 12,
  BLOCK_DL = 13,
  BLOCK_DZ = 14,
  BLOCK_HL = 15,
  BLOCK_LD = 16,
  BLOCK_DV = 17,
  BLOCK_DI = 18,
  // Any other "##" identifier: the block is kept as an opaque placeholder whose links are not
  // followed, so that a link the conversion does not need never fails the file.
  BLOCK_OTHER = 19,
};

// The two identifier letters of a kind ("DZ"), "ID" for the identification block, "??" for
// BLOCK_UNKNOWN.
const char* block_kind_name(BlockKind kind);
// Logs "<kind> block at 0x<offset>: <message>" at `level`: every refusal of a block says which
// block and why.
void log_block(int32_t level, BlockKind kind, uint64_t offset, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// A link whose value in the file is 0.
constexpr uint64_t NIL_LINK = ~uint64_t{0};
constexpr uint64_t BLOCK_HEADER_SIZE = 24;
// Blocks nested deeper than this below the identification block (compositions of
// compositions, chains of inverse conversions ...) fail the open.
constexpr int32_t MAX_BLOCK_DEPTH = 64;

struct BlockHeader {
  BlockKind kind;
  uint64_t length;
  uint64_t link_count;
};

struct Block;
struct BlockList;
struct BlockCache;

// block_load: reads the block's links and fields from the stream (which stands right after
// the header, or at the start of the ID block), parses the linked blocks through parse_block
// and parse_block_into_list with the same stream and cache, and fills the block; the
// block's next link goes into `siblings` (null when the block was reached by a single link:
// its next link is then not followed). False on any failure; the caller then releases the
// block, which releases whatever the load attached.
// block_destroy releases what the block holds but not the block object; may be empty.
struct BlockOps {
  bool (*block_load)(Block* block, Stream* stream, BlockCache* cache, const BlockHeader* header,
                     BlockList* siblings);
  void (*block_destroy)(Block* block);
};

// The leading part of every block object.
struct Block {
  BlockKind kind;
  uint64_t length;
  uint64_t link_count;
  const BlockOps* ops;
  uint64_t offset;  // where the block was parsed
};

// A counted reference; both members null when empty. Counts change atomically.
struct BlockRef {
  Block* block;
  int32_t* count;
};

// A new reference to the same block (count + 1); empty for an empty reference.
BlockRef block_ref_copy(BlockRef ref);
// Drops one count; the last one destroys and frees the block. Leaves `ref` empty.
void block_release(BlockRef* ref);
inline bool block_ref_empty(BlockRef ref) { return ref.block == nullptr; }
// length - 24 - 8 * links, or 0 when the length does not even cover the links.
uint64_t block_data_size(const Block* block);

// A chain of sibling blocks in chain order. Elements are added only at the front; room is
// kept before the first element so that pushes cost amortised constant time.
struct BlockList {
  BlockRef* storage;
  BlockRef* first;
  int32_t count;
  int32_t capacity;

  const BlockRef* begin() const { return first; }
  const BlockRef* end() const { return first + count; }
};

// Takes over `ref` (no count is added). False when the storage cannot grow (the caller still
// owns the reference).
bool block_list_push_front(BlockList* list, BlockRef ref);
// Releases every element and frees the storage.
void block_list_destroy(BlockList* list);

// Reads the 24-byte header at the stream position. False on a short read, or with the error
// "Unable to load block header for type %s" for an identifier that is neither the file's
// identification nor "##" and two characters (those give BLOCK_OTHER). An ID block leaves the
// stream at its start.
bool read_block_header(Stream* stream, BlockHeader* header);
// The header's links at the stream position, 0 turned into NIL_LINK.
bool read_links(Stream* stream, const BlockHeader* header, GrowArray<uint64_t>* links);

// The block at `offset`, from the cache when it was loaded before; empty on failure and for
// NIL_LINK.
BlockRef parse_block(Stream* stream, uint64_t offset, BlockCache* cache);
// The chain that starts at `offset` goes to the front of `list`, in chain order; true for
// NIL_LINK. Chains are followed in a loop, not by recursion, and a chain that comes back to
// one of its own blocks fails with a message.
bool parse_block_into_list(Stream* stream, uint64_t offset, BlockCache* cache, BlockList* list);

// Makes the zero-filled object of a kind with the kind's defaults and table; null for
// BLOCK_UNKNOWN or when memory ran out.
using BlockCreate = Block* (*)(BlockKind kind);

// The cache lives for one open; it holds a count on every block it maps and drops them when
// freed. `stream` gives the size that block lengths are checked against; `create` makes the
// object of each block kind met.
BlockCache* block_cache_new(Stream* stream, BlockCreate create);
void block_cache_free(BlockCache* cache);
// The size of the stream the cache was made for.
uint64_t block_cache_stream_size(const BlockCache* cache);
// Whether the file's identification says it was finalised: its data blocks then hold all the
// bytes their lengths state.
bool block_cache_finalised(const BlockCache* cache);
// Set once the identification is read, before any other block loads.
void block_cache_set_finalised(BlockCache* cache, bool finalised);

struct MdfFile {
  Stream* stream;  // not owned
  BlockRef id;     // the identification block, which holds the header block
};
