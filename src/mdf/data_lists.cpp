// Loaders of the list and compressed-data blocks, and the resolution of a data link into the
// pieces of one logical stream, with every count, length and offset checked on the way.
#include "mdf/data_lists.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mdf/block_loading.h"
#include "mdf/blocks.h"
#include "mdf/field_reader.h"
#include "support/hash_table.h"
#include "support/log.h"

namespace {

// Parses `count` single links from links[first] on into `out`, an empty reference for each nil
// link.
bool parse_entries(Stream* s, BlockCache* cache, const LinkArray& links, uint64_t first,
                   uint64_t count, GrowArray<BlockRef>* out) {
  if (!grow_array_reserve(out, static_cast<int64_t>(count))) return false;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t link = links[static_cast<int64_t>(first + i)];
    BlockRef ref;
    if (!parse_single(s, link, cache, &ref)) return false;
    grow_array_push(out, ref);
  }
  return true;
}

void release_entries(GrowArray<BlockRef>* entries) {
  for (BlockRef& ref : *entries) block_release(&ref);
  grow_array_free(entries);
}

// Reads `count` 64-bit values that must lie inside the block's data section at the reader.
bool read_u64_array(FieldReader* r, const Block* b, uint64_t count, uint64_t** out) {
  uint64_t used = static_cast<uint64_t>(field_position(r)) - b->offset;
  if (used > b->length || count > (b->length - used) / 8) {
    log_block(LOG_ERROR, b->kind, b->offset, "%llu offsets do not fit its length %llu",
              static_cast<unsigned long long>(count), static_cast<unsigned long long>(b->length));
    return false;
  }
  if (count == 0) return true;
  *out = static_cast<uint64_t*>(calloc(count, sizeof(uint64_t)));
  if (!*out) return false;
  for (uint64_t i = 0; i < count; ++i)
    if (!field_read_u64(r, &(*out)[i])) return false;
  return true;
}

}  // namespace

// ---- DL ----

bool dl_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList* siblings) {
  auto* dl = reinterpret_cast<DlBlock*>(b);
  LinkArray links;
  if (!load_links(s, h, b->offset, 1, &links.a)) return false;
  copy_header(b, h);
  if (!parse_block_into_list(s, links[0], cache, siblings ? siblings : &dl->rest)) return false;
  FieldReader r = fields_of(b, s);
  if (!field_read_u8(&r, &dl->flags)) return false;
  field_skip(&r, 3);
  if (!field_read_u32(&r, &dl->count)) return false;
  if (dl->count != h->link_count - 1) {
    log_block(LOG_ERROR, BLOCK_DL, b->offset, "%u entries announced for %llu data links", dl->count,
              static_cast<unsigned long long>(h->link_count - 1));
    return false;
  }
  if (dl->flags & DL_FLAG_EQUAL_LENGTH) {
    if (!field_read_u64(&r, &dl->equal_length)) return false;
  } else if (!read_u64_array(&r, b, dl->count, &dl->offsets)) {
    return false;
  }
  return parse_entries(s, cache, links, 1, dl->count, &dl->data);
}

void dl_destroy(Block* b) {
  auto* dl = reinterpret_cast<DlBlock*>(b);
  block_list_destroy(&dl->rest);
  release_entries(&dl->data);
  free(dl->offsets);
  dl->offsets = nullptr;
}

// ---- DZ ----

bool dz_load(Block* b, Stream* s, BlockCache*, const BlockHeader* h, BlockList*) {
  auto* dz = reinterpret_cast<DzBlock*>(b);
  copy_header(b, h);
  FieldReader r = fields_of(b, s);
  if (!field_read_bytes(&r, dz->original_type, 2) || !field_read_u8(&r, &dz->zip_type)) {
    return false;
  }
  field_skip(&r, 1);
  if (!field_read_u32(&r, &dz->zip_parameter) || !field_read_u64(&r, &dz->original_length) ||
      !field_read_u64(&r, &dz->compressed_length))
    return false;
  dz->original_type[2] = 0;
  uint64_t section = block_data_size(b);
  if (section < 24 || dz->compressed_length > section - 24) {
    log_block(LOG_ERROR, BLOCK_DZ, b->offset, "%llu compressed bytes do not fit its length %llu",
              static_cast<unsigned long long>(dz->compressed_length),
              static_cast<unsigned long long>(b->length));
    return false;
  }
  dz->compressed_start = static_cast<uint64_t>(field_position(&r));
  dz->file = s;
  return true;
}

DzBlock* dz_block(Block* block) {
  return block && block->kind == BLOCK_DZ ? reinterpret_cast<DzBlock*>(block) : nullptr;
}

// ---- HL ----

bool hl_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList*) {
  auto* hl = reinterpret_cast<HlBlock*>(b);
  LinkArray links;
  if (!load_links(s, h, b->offset, 1, &links.a)) return false;
  copy_header(b, h);
  if (!parse_single(s, links[0], cache, &hl->first_dl)) return false;
  FieldReader r = fields_of(b, s);
  return field_read_u16(&r, &hl->flags) && field_read_u8(&r, &hl->zip_type);
}

void hl_destroy(Block* b) { block_release(&reinterpret_cast<HlBlock*>(b)->first_dl); }

// ---- LD ----

bool ld_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList* siblings) {
  auto* ld = reinterpret_cast<LdBlock*>(b);
  LinkArray links;
  if (!load_links(s, h, b->offset, 1, &links.a)) return false;
  copy_header(b, h);
  FieldReader r = fields_of(b, s);
  if (!field_read_u32(&r, &ld->flags) || !field_read_u32(&r, &ld->count)) return false;
  uint64_t per_entry = (ld->flags & LD_FLAG_INVALIDATION) ? 2 : 1;
  if (uint64_t{ld->count} * per_entry > h->link_count - 1) {
    log_block(LOG_ERROR, BLOCK_LD, b->offset, "%u entries announced for %llu links", ld->count,
              static_cast<unsigned long long>(h->link_count - 1));
    return false;
  }
  if (ld->flags & LD_FLAG_EQUAL_SAMPLES) {
    if (!field_read_u64(&r, &ld->equal_samples)) return false;
  } else if (!read_u64_array(&r, b, ld->count, &ld->sample_offsets)) {
    return false;
  }
  if (!parse_block_into_list(s, links[0], cache, siblings ? siblings : &ld->rest)) return false;
  if (!parse_entries(s, cache, links, 1, ld->count, &ld->values)) return false;
  return per_entry == 1 ||
         parse_entries(s, cache, links, 1 + uint64_t{ld->count}, ld->count, &ld->invalidation);
}

void ld_destroy(Block* b) {
  auto* ld = reinterpret_cast<LdBlock*>(b);
  block_list_destroy(&ld->rest);
  release_entries(&ld->values);
  release_entries(&ld->invalidation);
  free(ld->sample_offsets);
  ld->sample_offsets = nullptr;
}

// ---- Resolution into pieces ----

namespace {

// Deflate turns at most 1032 bytes into one; a DZ that claims more than that is damaged.
constexpr uint64_t DEFLATE_MAX_RATIO = 1032;

// A block already among the pieces, by its offset.
struct UsedBlock {
  uint64_t key;
};
using UsedBlockTraits = U64KeyTraits<UsedBlock>;

struct Resolver {
  DataPieces* out;
  uint64_t record_length;
  DataListProblem* problem;
  // The length the last piece must have when another piece follows it (equal-length lists);
  // 0 when it is free. With where that rule came from, for the message.
  uint64_t equal_length;
  const Block* equal_list;
  uint32_t equal_entry;
  // Each block gives its bytes once: lists that name one block again and again would make
  // terabytes of data (and as many inflations) out of a small file.
  HashTable<UsedBlock> used;
};

// Notes what stopped the resolution: its status and the line that tells it, "<label> block at
// 0x<offset>: <reason>".
void vfail(const Resolver& r, DataListStatus status, const char* label, uint64_t offset,
           const char* format, va_list args) {
  DataListProblem* p = r.problem;
  p->status = status;
  int n = snprintf(p->line, sizeof p->line, "%s block at 0x%llX: ", label,
                   static_cast<unsigned long long>(offset));
  if (n < 0 || static_cast<size_t>(n) >= sizeof p->line) return;
  // The reason alone is cut where a message of a block was cut.
  char reason[400];
  vsnprintf(reason, sizeof reason, format, args);
  snprintf(p->line + n, sizeof p->line - static_cast<size_t>(n), "%s", reason);
}

__attribute__((format(printf, 5, 6))) void fail_labelled(const Resolver& r, DataListStatus status,
                                                         const char* label, uint64_t offset,
                                                         const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfail(r, status, label, offset, format, args);
  va_end(args);
}

__attribute__((format(printf, 5, 6))) void fail(const Resolver& r, DataListStatus status,
                                                BlockKind kind, uint64_t offset, const char* format,
                                                ...) {
  va_list args;
  va_start(args, format);
  vfail(r, status, block_kind_name(kind), offset, format, args);
  va_end(args);
}

bool check_dz(const Resolver& r, const DzBlock* dz) {
  const char* type = dz->original_type;
  static const char* const TYPES[] = {"DT", "SD", "DV", "DI", "RD"};
  bool known = false;
  for (const char* t : TYPES) known = known || strcmp(type, t) == 0;
  uint64_t at = dz->base.offset;
  if (dz->zip_type != ZIP_TYPE_DEFLATE && dz->zip_type != ZIP_TYPE_TRANSPOSE_DEFLATE) {
    fail(r, DATA_LIST_DZ_UNSUPPORTED, BLOCK_DZ, at, "zip type %u is not supported", dz->zip_type);
  } else if (!known) {
    fail(r, DATA_LIST_DZ_UNSUPPORTED, BLOCK_DZ, at, "original block type \"%s\" is not supported",
         type);
  } else if (dz->zip_type == ZIP_TYPE_TRANSPOSE_DEFLATE && dz->zip_parameter == 0) {
    fail(r, DATA_LIST_DZ_UNSUPPORTED, BLOCK_DZ, at, "transposition with a zip parameter of 0");
  } else if (dz->original_length > MAX_INFLATED_BLOCK) {
    fail(r, DATA_LIST_TOO_LARGE, BLOCK_DZ, at,
         "original length %llu exceeds the %llu bytes inflated at once",
         static_cast<unsigned long long>(dz->original_length),
         static_cast<unsigned long long>(MAX_INFLATED_BLOCK));
  } else if (dz->original_length / DEFLATE_MAX_RATIO > dz->compressed_length) {
    fail(r, DATA_LIST_DZ_UNSUPPORTED, BLOCK_DZ, at,
         "%llu compressed bytes cannot hold %llu original bytes",
         static_cast<unsigned long long>(dz->compressed_length),
         static_cast<unsigned long long>(dz->original_length));
  } else {
    return true;
  }
  return false;
}

bool add_piece(Resolver& r, Block* block, uint64_t length) {
  DataPieces* out = r.out;
  if (r.equal_length && out->pieces.count > 0) {
    const DataPiece& last = out->pieces[out->pieces.count - 1];
    if (last.length != r.equal_length) {
      fail(r, DATA_LIST_BAD_LENGTHS, r.equal_list->kind, r.equal_list->offset,
           "entry %u holds %llu bytes, not the equal length %llu", r.equal_entry,
           static_cast<unsigned long long>(last.length),
           static_cast<unsigned long long>(r.equal_length));
      return false;
    }
  }
  if (length > UINT64_MAX - out->size) {
    fail(r, DATA_LIST_TOO_LARGE, block->kind, block->offset, "the data runs past 2^64 bytes");
    return false;
  }
  if (length > 0) {  // an empty block named again adds nothing
    HashSlot<UsedBlock> seen = hash_table_find_or_insert<UsedBlockTraits>(&r.used, block->offset);
    if (!seen.slot) return false;
    if (!seen.inserted) {
      fail(r, DATA_LIST_REPEATED_BLOCK, block->kind, block->offset, "named as data a second time");
      return false;
    }
    seen.slot->key = block->offset;
  }
  if (!grow_array_push(&out->pieces, DataPiece{out->size, length, block})) return false;
  out->size += length;
  return true;
}

// A plain data block of a finalised file whose stated length runs past the end of the file: the
// file was cut short or is still being copied, and reading what is there would pass for all.
bool check_complete(const Resolver& r, const DataBlock* d) {
  uint64_t present = block_data_stream_size(&d->data);
  uint64_t stated = d->base.length > BLOCK_HEADER_SIZE ? d->base.length - BLOCK_HEADER_SIZE : 0;
  if (!d->data.finalised || present >= stated) return true;
  fail(r, DATA_LIST_CUT_SHORT, d->base.kind, d->base.offset,
       "its data runs %llu bytes past the end of the file (cut short, or still being copied)",
       static_cast<unsigned long long>(stated - present));
  return false;
}

// One entry of a list (`list`, entry `i`): a plain data block or a DZ block.
bool add_entry(Resolver& r, BlockRef entry, const Block* list, uint32_t i) {
  Block* b = entry.block;
  if (DataBlock* d = plain_data_block(b))
    return check_complete(r, d) && add_piece(r, b, block_data_stream_size(&d->data));
  if (DzBlock* dz = dz_block(b)) return check_dz(r, dz) && add_piece(r, b, dz->original_length);
  if (!b)
    fail(r, DATA_LIST_BAD_ENTRY, list->kind, list->offset, "entry %u names no block", i);
  else
    fail(r, DATA_LIST_BAD_ENTRY, list->kind, list->offset, "entry %u is a %s block, not data", i,
         block_label(b));
  return false;
}

// An entry's stated start against the data before it.
bool check_start(const Resolver& r, const Block* list, uint32_t i, uint64_t stated) {
  if (stated == r.out->size) return true;
  fail(r, DATA_LIST_BAD_LENGTHS, list->kind, list->offset,
       "entry %u starts at byte %llu, but the entries before it hold %llu", i,
       static_cast<unsigned long long>(stated), static_cast<unsigned long long>(r.out->size));
  return false;
}

bool resolve_dl(Resolver& r, DlBlock* dl) {
  for (uint32_t i = 0; i < dl->count; ++i) {
    if (!(dl->flags & DL_FLAG_EQUAL_LENGTH) && !check_start(r, &dl->base, i, dl->offsets[i]))
      return false;
    if (!add_entry(r, dl->data[static_cast<int32_t>(i)], &dl->base, i)) return false;
    bool equal = dl->flags & DL_FLAG_EQUAL_LENGTH;
    r.equal_length = equal ? dl->equal_length : 0;
    r.equal_list = &dl->base;
    r.equal_entry = i;
  }
  return true;
}

bool resolve_ld(Resolver& r, LdBlock* ld) {
  uint64_t stride = r.record_length;
  for (uint32_t i = 0; i < ld->count; ++i) {
    bool equal = ld->flags & LD_FLAG_EQUAL_SAMPLES;
    uint64_t samples = equal ? ld->equal_samples : ld->sample_offsets[i];
    if (stride && samples > UINT64_MAX / stride) {
      fail(r, DATA_LIST_TOO_LARGE, BLOCK_LD, ld->base.offset,
           "entry %u: %llu samples run past 2^64 bytes", i,
           static_cast<unsigned long long>(samples));
      return false;
    }
    if (!equal && stride && !check_start(r, &ld->base, i, samples * stride)) return false;
    if (!add_entry(r, ld->values[static_cast<int32_t>(i)], &ld->base, i)) return false;
    r.equal_length = equal && stride ? samples * stride : 0;
    r.equal_list = &ld->base;
    r.equal_entry = i;
  }
  return true;
}

// A chain of lists: the head and the rest of its chain, each of the head's kind. A list of
// the rest that was reached by another link first heads a chain of its own, which goes on
// from it (the chain nests no deeper than blocks do).
template <class List>
bool resolve_chain(Resolver& r, List* head, bool (*one)(Resolver&, List*)) {
  if (!one(r, head)) return false;
  for (const BlockRef& ref : head->rest) {
    if (!ref.block || ref.block->kind != head->base.kind) {
      fail(r, DATA_LIST_BAD_ENTRY, head->base.kind, head->base.offset,
           "its chain goes on with a %s block", ref.block ? block_label(ref.block) : "missing");
      return false;
    }
    if (!resolve_chain(r, reinterpret_cast<List*>(ref.block), one)) return false;
  }
  return true;
}

bool resolve_root(Resolver& r, Block* root) {
  switch (root->kind) {
    case BLOCK_DL:
      return resolve_chain(r, reinterpret_cast<DlBlock*>(root), resolve_dl);
    case BLOCK_LD:
      return resolve_chain(r, reinterpret_cast<LdBlock*>(root), resolve_ld);
    case BLOCK_HL: {
      Block* first = reinterpret_cast<HlBlock*>(root)->first_dl.block;
      if (first && first->kind == BLOCK_DL)
        return resolve_chain(r, reinterpret_cast<DlBlock*>(first), resolve_dl);
      fail(r, DATA_LIST_BAD_ENTRY, BLOCK_HL, root->offset, "it names a %s block, not a data list",
           first ? block_label(first) : "missing");
      return false;
    }
    default:
      if (plain_data_block(root) || dz_block(root))
        return add_entry(r, BlockRef{root, nullptr}, root, 0);
      fail_labelled(r, DATA_LIST_NO_DATA, block_label(root), root->offset,
                    "named as data, but it holds none that can be read");
      return false;
  }
}

}  // namespace

const char* data_list_status_name(DataListStatus status) {
  static const char* const NAMES[] = {"ok",        "no memory",      "unsupported compression",
                                      "cut short", "bad entry",      "bad lengths",
                                      "too large", "repeated block", "no data"};
  auto i = static_cast<uint32_t>(status);
  return i < sizeof NAMES / sizeof NAMES[0] ? NAMES[i] : "unknown status";
}

DataListStatus data_pieces_resolve(Block* root, uint64_t record_length, DataListProblem* problem,
                                   DataPieces* out) {
  data_pieces_free(out);
  *problem = DataListProblem{};
  if (!root) return DATA_LIST_OK;
  // Failures without a line of their own are memory that ran out.
  problem->status = DATA_LIST_NO_MEMORY;
  Resolver r{out, record_length, problem, 0, nullptr, 0, {}};
  bool resolved = resolve_root(r, root);
  hash_table_destroy<UsedBlockTraits>(&r.used);
  if (resolved) {
    *problem = DataListProblem{};
    return DATA_LIST_OK;
  }
  data_pieces_free(out);
  return problem->status;
}

void data_pieces_free(DataPieces* pieces) {
  grow_array_free(&pieces->pieces);
  pieces->size = 0;
}
