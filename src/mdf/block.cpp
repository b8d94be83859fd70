// Block headers, links, the parse cache, counted references and sibling lists. Chains of sibling
// blocks are loaded in a loop; nesting is bounded by MAX_BLOCK_DEPTH.
#include "mdf/block.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mdf/field_reader.h"
#include "support/hash_table.h"
#include "support/log.h"

// ---- Names and messages ----

const char* block_kind_name(BlockKind kind) {
  static const char* const NAMES[] = {"??", "ID", "CC", "CG", "CN", "DG", "DT", "FH", "HD", "MD",
                                      "SD", "SI", "TX", "DL", "DZ", "HL", "LD", "DV", "DI", "##"};
  return kind >= BLOCK_UNKNOWN && kind <= BLOCK_OTHER ? NAMES[kind] : "??";
}

void log_block(int32_t level, BlockKind kind, uint64_t offset, const char* format, ...) {
  if (log_output_level > level) return;
  char message[400];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  log_write(level, "%s block at 0x%llX: %s", block_kind_name(kind),
            static_cast<unsigned long long>(offset), message);
}

// ---- References and lists ----

BlockRef block_ref_copy(BlockRef ref) {
  if (ref.count) __atomic_add_fetch(ref.count, 1, __ATOMIC_RELAXED);
  return ref;
}

void block_release(BlockRef* ref) {
  if (!ref->block) return;
  Block* block = ref->block;
  int32_t* count = ref->count;
  *ref = BlockRef{};
  if (__atomic_sub_fetch(count, 1, __ATOMIC_ACQ_REL) != 0) return;
  if (block->ops && block->ops->block_destroy) block->ops->block_destroy(block);
  free(block);
  free(count);
}

uint64_t block_data_size(const Block* block) {
  if (block->length < BLOCK_HEADER_SIZE) return 0;
  uint64_t room = block->length - BLOCK_HEADER_SIZE;
  if (block->link_count > room / 8) return 0;
  return room - 8 * block->link_count;
}

bool block_list_push_front(BlockList* list, BlockRef ref) {
  if (list->first == list->storage) {
    // Re-centre in a larger array: room in front for as many pushes as there are elements.
    int64_t capacity = static_cast<int64_t>(list->count) * 2 + 8;
    if (capacity > INT32_MAX) return false;
    auto* storage =
        static_cast<BlockRef*>(malloc(sizeof(BlockRef) * static_cast<size_t>(capacity)));
    if (!storage) return false;
    int64_t front = capacity - list->count;
    if (list->count)
      memcpy(storage + front, list->first, sizeof(BlockRef) * static_cast<size_t>(list->count));
    free(list->storage);
    list->storage = storage;
    list->first = storage + front;
    list->capacity = static_cast<int32_t>(capacity);
  }
  --list->first;
  *list->first = ref;
  ++list->count;
  return true;
}

void block_list_destroy(BlockList* list) {
  for (int32_t i = 0; i < list->count; ++i) block_release(&list->first[i]);
  free(list->storage);
  *list = BlockList{};
}

// ---- The parse cache ----

namespace {

enum CacheState : uint8_t { CACHE_LOADING = 1, CACHE_DONE = 2, CACHE_FAILED = 3 };

struct CacheEntry {
  uint64_t key;  // file offset
  BlockRef ref;  // the cache's own count, once loaded
  CacheState state;
  BlockKind kind;  // for messages while the block is loading
  // The block's next link, and whether a chain has followed it yet: a block first reached
  // by a single link (a channel's data naming a channel group) and later by its chain still
  // brings its successors into that chain.
  bool chain_followed;
  uint64_t next;
  // Levels of blocks below this one (0 for a block without links), so that a later link to it
  // from deep down is held to the same nesting bound as a fresh load.
  int32_t height;
};

}  // namespace

struct BlockCache {
  HashTable<CacheEntry> blocks;
  uint64_t stream_size;
  int32_t depth;   // loads in progress
  int32_t bottom;  // the deepest level reached below the load in progress
  // The list whose chain is being loaded at this level and the next link its current
  // element named: a loader's parse_block_into_list of its next link lands here instead of
  // recursing.
  BlockList* chain_list;
  uint64_t chain_next;
  const Block* loading;  // the block whose loader runs, for messages about its links
  bool finalised;        // set from the identification before any other block is loaded
  BlockCreate create;
};

BlockCache* block_cache_new(Stream* stream, BlockCreate create) {
  auto* cache = static_cast<BlockCache*>(calloc(1, sizeof(BlockCache)));
  if (!cache) return nullptr;
  cache->create = create;
  int64_t size = stream ? stream_size(stream) : 0;
  cache->stream_size = size > 0 ? static_cast<uint64_t>(size) : 0;
  cache->chain_next = NIL_LINK;
  return cache;
}

void block_cache_free(BlockCache* cache) {
  if (!cache) return;
  hash_table_for_each(&cache->blocks, [](CacheEntry& e) { block_release(&e.ref); });
  hash_table_destroy<U64KeyTraits<CacheEntry>>(&cache->blocks);
  free(cache);
}

uint64_t block_cache_stream_size(const BlockCache* cache) { return cache->stream_size; }
bool block_cache_finalised(const BlockCache* cache) { return cache->finalised; }
void block_cache_set_finalised(BlockCache* cache, bool finalised) { cache->finalised = finalised; }

// ---- Headers and links ----

bool read_block_header(Stream* stream, BlockHeader* header) {
  uint8_t b[24];
  int64_t got = 0;
  while (got < 24) {
    int64_t n = stream_read(stream, b + got, static_cast<uint64_t>(24 - got));
    if (n <= 0) return false;
    got += n;
  }
  static constexpr struct {
    const char* id;
    size_t width;
    BlockKind kind;
  } kIds[] = {
      {"##CC", 4, BLOCK_CC}, {"##CG", 4, BLOCK_CG},     {"##CN", 4, BLOCK_CN},
      {"##DG", 4, BLOCK_DG}, {"##DT", 4, BLOCK_DT},     {"##FH", 4, BLOCK_FH},
      {"##HD", 4, BLOCK_HD}, {"UnFinMF ", 8, BLOCK_ID}, {"MDF     ", 8, BLOCK_ID},
      {"##MD", 4, BLOCK_MD}, {"##SD", 4, BLOCK_SD},     {"##SI", 4, BLOCK_SI},
      {"##TX", 4, BLOCK_TX}, {"##DL", 4, BLOCK_DL},     {"##DZ", 4, BLOCK_DZ},
      {"##HL", 4, BLOCK_HL}, {"##LD", 4, BLOCK_LD},     {"##DV", 4, BLOCK_DV},
      {"##DI", 4, BLOCK_DI},
  };
  BlockKind kind = BLOCK_UNKNOWN;
  for (const auto& id : kIds) {
    if (memcmp(b, id.id, id.width) == 0) {
      kind = id.kind;
      break;
    }
  }
  if (kind == BLOCK_UNKNOWN && b[0] == '#' && b[1] == '#') kind = BLOCK_OTHER;
  if (kind == BLOCK_UNKNOWN) {
    // The 8 bytes as text end at a zero byte, so a block is named by its identifier.
    char name[9] = {};
    for (int i = 0; i < 8 && b[i]; ++i)
      name[i] = b[i] >= 0x20 && b[i] < 0x7F ? static_cast<char>(b[i]) : '?';
    LOG(LOG_ERROR, "Unable to load block header for type %s", name);
    return false;
  }
  header->kind = kind;
  if (kind == BLOCK_ID) {
    if (stream_seek(stream, -24, SEEK_FROM_CURRENT) < 0) return false;
    header->length = 64;
    header->link_count = 0;
    return true;
  }
  uint64_t length = 0, links = 0;
  for (int i = 7; i >= 0; --i) length = (length << 8) | b[8 + i];
  for (int i = 7; i >= 0; --i) links = (links << 8) | b[16 + i];
  header->length = length;
  header->link_count = links;
  return true;
}

bool read_links(Stream* stream, const BlockHeader* header, GrowArray<uint64_t>* links) {
  FieldReader r = field_reader_at(stream);
  if (!grow_array_reserve(links, links->count + static_cast<int64_t>(header->link_count)))
    return false;
  for (uint64_t i = 0; i < header->link_count; ++i) {
    uint64_t link;
    if (!field_read_u64(&r, &link)) return false;
    grow_array_push(links, link == 0 ? NIL_LINK : link);
  }
  return true;
}

// ---- Parsing ----

namespace {

// Rejects a header whose links do not fit its length or whose length runs past the file.
// Blocks of plain data are let through: their sections are cut at the end of the file when
// read, so a recording that was cut off still yields what it holds. So are blocks that are
// never read.
bool header_fits(const BlockHeader* h, uint64_t offset, const BlockCache* cache) {
  switch (h->kind) {
    case BLOCK_ID:
    case BLOCK_DT:
    case BLOCK_SD:
    case BLOCK_DV:
    case BLOCK_DI:
    case BLOCK_OTHER:
      return true;
    default:
      break;
  }
  bool fits = h->length >= BLOCK_HEADER_SIZE &&
              h->link_count <= (h->length - BLOCK_HEADER_SIZE) / 8 &&
              offset <= cache->stream_size && h->length <= cache->stream_size - offset;
  if (!fits)
    log_block(LOG_ERROR, h->kind, offset, "length %llu with %llu links does not fit the file",
              static_cast<unsigned long long>(h->length),
              static_cast<unsigned long long>(h->link_count));
  return fits;
}

struct LoadResult {
  BlockRef ref;     // a new count for the caller; empty on failure
  uint64_t next;    // where the chain goes on, NIL_LINK when it ends here
  bool from_cache;  // the block had been loaded before
};

using CacheTraits = U64KeyTraits<CacheEntry>;

void log_too_deep(uint64_t offset) {
  LOG(LOG_ERROR, "Blocks nested deeper than %d levels at offset %llu", MAX_BLOCK_DEPTH,
      static_cast<unsigned long long>(offset));
}

void log_not_parsed(uint64_t offset) {
  LOG(LOG_ERROR, "Could not parse block at offset %llu", static_cast<unsigned long long>(offset));
}

// A block met before: a new count when it loaded and the nesting bound allows it here, the
// next link when a chain takes it for the first time; a block still loading is a cycle.
LoadResult take_cached(CacheEntry* e, uint64_t offset, BlockCache* cache, BlockList* list) {
  LoadResult result{BlockRef{}, NIL_LINK, false};
  if (e->state == CACHE_LOADING) {
    log_block(LOG_ERROR, e->kind, offset, "a link cycle leads back to it");
    return result;
  }
  if (e->state != CACHE_DONE) return result;
  int32_t bottom = cache->depth + 1 + e->height;
  if (bottom > MAX_BLOCK_DEPTH) {
    log_too_deep(offset);
    return result;
  }
  if (bottom > cache->bottom) cache->bottom = bottom;
  result.ref = block_ref_copy(e->ref);
  result.from_cache = true;
  if (list && !e->chain_followed) {
    e->chain_followed = true;
    result.next = e->next;
  }
  return result;
}

// Reads the header at `offset`, checks it against the file and makes the block object with
// its first count; empty on failure.
BlockRef create_at(Stream* stream, uint64_t offset, const BlockCache* cache, BlockHeader* header) {
  if (offset >= cache->stream_size || cache->stream_size - offset < BLOCK_HEADER_SIZE) {
    auto at = static_cast<unsigned long long>(offset);
    if (const Block* from = cache->loading)
      log_block(LOG_ERROR, from->kind, from->offset,
                "its link to 0x%llX points past the end of the file", at);
    else
      LOG(LOG_ERROR, "No block at 0x%llX: the file ends at byte %llu", at,
          static_cast<unsigned long long>(cache->stream_size));
    return BlockRef{};
  }
  if (stream_seek(stream, static_cast<int64_t>(offset), SEEK_FROM_START) !=
      static_cast<int64_t>(offset))
    return BlockRef{};
  if (!read_block_header(stream, header) || !header_fits(header, offset, cache)) return BlockRef{};
  Block* block = cache->create(header->kind);
  auto* count = static_cast<int32_t*>(malloc(sizeof(int32_t)));
  if (!block || !count) {
    free(block);
    free(count);
    log_not_parsed(offset);
    return BlockRef{};
  }
  *count = 1;
  block->offset = offset;
  return BlockRef{block, count};
}

// Enters `offset` into the cache as loading, so that a link back to it is seen as a cycle;
// false when memory ran out.
bool mark_loading(BlockCache* cache, uint64_t offset, BlockKind kind, bool in_chain) {
  HashSlot<CacheEntry> slot = hash_table_find_or_insert<CacheTraits>(&cache->blocks, offset);
  if (!slot.slot) return false;
  slot.slot->key = offset;
  slot.slot->ref = BlockRef{};
  slot.slot->state = CACHE_LOADING;
  slot.slot->kind = kind;
  slot.slot->chain_followed = in_chain;
  slot.slot->next = NIL_LINK;
  return true;
}

// Runs the kind's loader one level deeper, with this level's chain state: *next receives the
// next link the loader named and *height the levels loaded below the block.
bool run_loader(Block* block, Stream* stream, BlockCache* cache, const BlockHeader* header,
                BlockList* list, uint64_t* next, int32_t* height) {
  BlockList* saved_list = cache->chain_list;
  uint64_t saved_next = cache->chain_next;
  const Block* saved_loading = cache->loading;
  cache->chain_list = list;
  cache->chain_next = NIL_LINK;
  cache->loading = block;
  int32_t level = ++cache->depth;
  int32_t saved_bottom = cache->bottom;
  cache->bottom = level;
  bool loaded = block->ops->block_load(block, stream, cache, header, list);
  *height = cache->bottom - level;
  if (saved_bottom > cache->bottom) cache->bottom = saved_bottom;
  --cache->depth;
  *next = cache->chain_next;
  cache->chain_list = saved_list;
  cache->chain_next = saved_next;
  cache->loading = saved_loading;
  return loaded;
}

// Loads the one block at `offset` (not NIL_LINK) into the cache, or takes it from there.
LoadResult load_one(Stream* stream, uint64_t offset, BlockCache* cache, BlockList* list) {
  LoadResult result{BlockRef{}, NIL_LINK, false};
  if (CacheEntry* e = hash_table_find<CacheTraits>(&cache->blocks, offset))
    return take_cached(e, offset, cache, list);
  if (cache->depth >= MAX_BLOCK_DEPTH) {
    log_too_deep(offset);
    return result;
  }
  BlockHeader header;
  BlockRef ref = create_at(stream, offset, cache, &header);
  if (block_ref_empty(ref)) return result;
  if (!mark_loading(cache, offset, header.kind, list != nullptr)) {
    block_release(&ref);
    log_not_parsed(offset);
    return result;
  }
  uint64_t next = NIL_LINK;
  int32_t height = 0;
  bool loaded = run_loader(ref.block, stream, cache, &header, list, &next, &height);
  // Nested loads may have grown the table: find the entry again.
  CacheEntry* e = hash_table_find<CacheTraits>(&cache->blocks, offset);
  if (!loaded) {
    e->state = CACHE_FAILED;
    block_release(&ref);
    return result;
  }
  e->state = CACHE_DONE;
  e->ref = block_ref_copy(ref);
  e->next = next;
  e->height = height;
  result.ref = ref;
  result.next = list ? next : NIL_LINK;
  return result;
}

}  // namespace

BlockRef parse_block(Stream* stream, uint64_t offset, BlockCache* cache) {
  if (offset == NIL_LINK) return BlockRef{};
  return load_one(stream, offset, cache, nullptr).ref;
}

bool parse_block_into_list(Stream* stream, uint64_t offset, BlockCache* cache, BlockList* list) {
  if (!list) {
    // A block reached by a single link: its next link is only remembered, for the case that
    // its chain reaches it later.
    if (!cache->chain_list) cache->chain_next = offset;
    return true;
  }
  if (list == cache->chain_list) {
    // The next link of the block now loading for this list: the loop below follows it.
    cache->chain_next = offset;
    return true;
  }
  GrowArray<BlockRef> chain{};
  bool ok = true;
  while (offset != NIL_LINK) {
    LoadResult r = load_one(stream, offset, cache, list);
    if (block_ref_empty(r.ref)) {
      ok = false;
      break;
    }
    if (r.from_cache) {
      for (const BlockRef& seen : chain) {
        if (seen.block == r.ref.block) {
          log_block(LOG_ERROR, r.ref.block->kind, offset, "a link cycle leads back to it");
          ok = false;
        }
      }
    }
    if (!ok || !grow_array_push(&chain, r.ref)) {
      block_release(&r.ref);
      ok = false;
      break;
    }
    // A block taken from the cache brought its chain along when it was first loaded through
    // a chain; one first reached by a single link hands over its next link now.
    offset = r.next;
  }
  // The list ends in chain order: push from the last block to the first.
  for (int32_t i = chain.count; i-- > 0;) {
    if (ok && block_list_push_front(list, chain[i])) continue;
    ok = false;
    block_release(&chain[i]);
  }
  grow_array_free(&chain);
  return ok;
}
