// Loaders, destructors and typed views of the block kinds, and the stream over the data
// section of plain data blocks. Every loader checks its number of links, reads them, parses
// the linked blocks in link order and then reads its fields behind the links. Links beyond the
// ones a kind uses (attachments of a channel, the texts of a text table ...) are not followed.
#include "mdf/blocks.h"

#include <cstdlib>
#include <cstring>

#include "mdf/block_loading.h"
#include "mdf/data_lists.h"
#include "mdf/field_reader.h"
#include "support/log.h"

namespace {

// ---- ID ----

bool id_load(Block* b, Stream* s, BlockCache*, const BlockHeader*, BlockList*) {
  auto* id = reinterpret_cast<IdBlock*>(b);
  FieldReader r = field_reader_at(s, static_cast<int64_t>(b->offset));
  if (!field_read_bytes(&r, id->file_id, 8)) return false;
  id->file_id[8] = 0;
  if (memcmp(id->file_id, "MDF     ", 8) != 0 && memcmp(id->file_id, "UnFinMF ", 8) != 0)
    return false;
  if (!field_read_bytes(&r, id->format_version, 8) || !field_read_bytes(&r, id->program_id, 8))
    return false;
  field_skip(&r, 4);
  if (!field_read_u16(&r, &id->version_number)) return false;
  field_skip(&r, 30);
  return field_read_u16(&r, &id->unfinalised_flags) &&
         field_read_u16(&r, &id->custom_unfinalised_flags);
}

void id_destroy(Block* b) { block_release(&reinterpret_cast<IdBlock*>(b)->hd); }

// ---- HD ----

bool hd_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList*) {
  auto* hd = reinterpret_cast<HdBlock*>(b);
  LinkArray links;
  if (!load_links(s, h, b->offset, 6, &links.a)) return false;
  copy_header(b, h);
  if (!parse_block_into_list(s, links[0], cache, &hd->data_groups)) return false;
  if (!parse_block_into_list(s, links[1], cache, &hd->file_history)) return false;
  // The channel hierarchy, attachments and events (links 2 to 4) play no part in the
  // conversion and are not followed.
  if (!parse_single(s, links[5], cache, &hd->comment)) return false;
  FieldReader r = fields_of(b, s);
  uint16_t tz, dst;
  if (!field_read_u64(&r, &hd->start_time_ns) || !field_read_u16(&r, &tz) ||
      !field_read_u16(&r, &dst) || !field_read_u8(&r, &hd->time_flags) ||
      !field_read_u8(&r, &hd->time_class) || !field_read_u8(&r, &hd->flags))
    return false;
  hd->tz_offset_min = static_cast<int16_t>(tz);
  hd->dst_offset_min = static_cast<int16_t>(dst);
  field_skip(&r, 1);
  return field_read_f64(&r, &hd->start_angle) && field_read_f64(&r, &hd->start_distance);
}

void hd_destroy(Block* b) {
  auto* hd = reinterpret_cast<HdBlock*>(b);
  block_list_destroy(&hd->data_groups);
  block_list_destroy(&hd->file_history);
  block_release(&hd->comment);
}

// ---- FH ----

bool fh_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList* siblings) {
  auto* fh = reinterpret_cast<FhBlock*>(b);
  LinkArray links;
  if (!load_links(s, h, b->offset, 2, &links.a)) return false;
  copy_header(b, h);
  if (!parse_block_into_list(s, links[0], cache, siblings)) return false;
  if (!parse_single(s, links[1], cache, &fh->comment)) return false;
  FieldReader r = fields_of(b, s);
  uint16_t tz, dst;
  if (!field_read_u64(&r, &fh->time_ns) || !field_read_u16(&r, &tz) || !field_read_u16(&r, &dst) ||
      !field_read_u8(&r, &fh->time_flags))
    return false;
  fh->tz_offset_min = static_cast<int16_t>(tz);
  fh->dst_offset_min = static_cast<int16_t>(dst);
  return true;
}

void fh_destroy(Block* b) { block_release(&reinterpret_cast<FhBlock*>(b)->comment); }

// ---- DG ----

bool dg_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList* siblings) {
  auto* dg = reinterpret_cast<DgBlock*>(b);
  LinkArray links;
  if (!load_links(s, h, b->offset, 4, &links.a)) return false;
  copy_header(b, h);
  if (!parse_block_into_list(s, links[0], cache, siblings)) return false;
  if (!parse_block_into_list(s, links[1], cache, &dg->channel_groups)) return false;
  if (!parse_single(s, links[2], cache, &dg->data)) return false;
  if (!parse_single(s, links[3], cache, &dg->comment)) return false;
  FieldReader r = fields_of(b, s);
  return field_read_u8(&r, &dg->record_id_size);
}

void dg_destroy(Block* b) {
  auto* dg = reinterpret_cast<DgBlock*>(b);
  hash_table_destroy<RecordLayoutTraits>(&dg->layouts);
  block_list_destroy(&dg->channel_groups);
  block_release(&dg->data);
  block_release(&dg->comment);
}

// ---- CG ----

bool cg_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList* siblings) {
  auto* cg = reinterpret_cast<CgBlock*>(b);
  LinkArray links;
  if (!load_links(s, h, b->offset, 6, &links.a)) return false;
  copy_header(b, h);
  if (!parse_block_into_list(s, links[0], cache, siblings)) return false;
  if (!parse_block_into_list(s, links[1], cache, &cg->channels)) return false;
  if (!parse_single(s, links[2], cache, &cg->acquisition_name)) return false;
  if (!parse_single(s, links[3], cache, &cg->acquisition_source)) return false;
  // Sample reductions (link 4) are not followed: only the records themselves are converted.
  if (!parse_single(s, links[5], cache, &cg->comment)) return false;
  FieldReader r = fields_of(b, s);
  if (!field_read_u64(&r, &cg->record_id) || !field_read_u64(&r, &cg->cycle_count) ||
      !field_read_u16(&r, &cg->flags) || !field_read_u16(&r, &cg->path_separator))
    return false;
  field_skip(&r, 4);
  if (!field_read_u32(&r, &cg->data_bytes) || !field_read_u32(&r, &cg->invalidation_bytes))
    return false;
  cg->variable_length = (cg->flags & CG_FLAG_VARIABLE_LENGTH) != 0;
  cg->bus_event = (cg->flags & CG_FLAG_BUS_EVENT) != 0;
  cg->plain_bus_event = (cg->flags & CG_FLAG_PLAIN_BUS_EVENT) != 0;
  return !(cg->flags & CG_FLAG_REMOTE_MASTER) || links.a.count <= 6 ||
         parse_single(s, links[6], cache, &cg->master);
}

void cg_destroy(Block* b) {
  auto* cg = reinterpret_cast<CgBlock*>(b);
  record_channels_free(&cg->record_channels);
  block_list_destroy(&cg->channels);
  block_release(&cg->master);
  block_release(&cg->acquisition_name);
  block_release(&cg->acquisition_source);
  block_release(&cg->comment);
}

// ---- CN ----

bool cn_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList* siblings) {
  auto* cn = reinterpret_cast<CnBlock*>(b);
  LinkArray links;
  if (!load_links(s, h, b->offset, 8, &links.a)) return false;
  copy_header(b, h);
  if (!parse_block_into_list(s, links[0], cache, siblings)) return false;
  if (!parse_block_into_list(s, links[1], cache, &cn->composition)) return false;
  BlockRef* singles[] = {&cn->name, &cn->source, &cn->conversion,
                         &cn->data, &cn->unit,   &cn->comment};
  for (int32_t i = 0; i < 6; ++i)
    if (!parse_single(s, links[2 + i], cache, singles[i])) return false;
  FieldReader r = fields_of(b, s);
  if (!field_read_u8(&r, &cn->channel_type) || !field_read_u8(&r, &cn->sync_type) ||
      !field_read_u8(&r, &cn->data_type) || !field_read_u8(&r, &cn->bit_offset) ||
      !field_read_u32(&r, &cn->byte_offset) || !field_read_u32(&r, &cn->bit_count) ||
      !field_read_u32(&r, &cn->flags) || !field_read_u32(&r, &cn->invalidation_bit) ||
      !field_read_u8(&r, &cn->precision))
    return false;
  field_skip(&r, 1);
  if (!field_read_u16(&r, &cn->attachment_count)) return false;
  double* limits[] = {&cn->range_min, &cn->range_max,     &cn->limit_min,
                      &cn->limit_max, &cn->ext_limit_min, &cn->ext_limit_max};
  for (double* d : limits)
    if (!field_read_f64(&r, d)) return false;
  return true;
}

void cn_destroy(Block* b) {
  auto* cn = reinterpret_cast<CnBlock*>(b);
  block_list_destroy(&cn->composition);
  BlockRef* singles[] = {&cn->name, &cn->source, &cn->conversion,
                         &cn->data, &cn->unit,   &cn->comment};
  for (BlockRef* ref : singles) block_release(ref);
}

// ---- CC ----

bool cc_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList*) {
  auto* cc = reinterpret_cast<CcBlock*>(b);
  LinkArray links;
  if (!load_links(s, h, b->offset, 4, &links.a)) return false;
  copy_header(b, h);
  BlockRef* singles[] = {&cc->name, &cc->unit, &cc->comment, &cc->inverse};
  for (int32_t i = 0; i < 4; ++i)
    if (!parse_single(s, links[i], cache, singles[i])) return false;
  FieldReader r = fields_of(b, s);
  if (!field_read_u8(&r, &cc->type) || !field_read_u8(&r, &cc->precision) ||
      !field_read_u16(&r, &cc->flags) || !field_read_u16(&r, &cc->ref_count) ||
      !field_read_u16(&r, &cc->value_count) || !field_read_f64(&r, &cc->phys_min) ||
      !field_read_f64(&r, &cc->phys_max))
    return false;
  if (cc->value_count == 0) return true;
  // The values must lie inside the block (whose length was checked against the file), after
  // its links, however many the writer gave it, and the 24 bytes of fields before them.
  if (24 + 8 * static_cast<uint64_t>(cc->value_count) > block_data_size(b)) {
    LOG(LOG_ERROR, "Conversion at offset %llu: %u values do not fit its length %llu",
        static_cast<unsigned long long>(b->offset), cc->value_count,
        static_cast<unsigned long long>(b->length));
    cc->value_count = 0;
    return false;
  }
  cc->values = static_cast<double*>(calloc(cc->value_count, sizeof(double)));
  if (!cc->values) {
    cc->value_count = 0;
    return false;
  }
  for (uint16_t i = 0; i < cc->value_count; ++i)
    if (!field_read_f64(&r, &cc->values[i])) return false;
  return true;
}

void cc_destroy(Block* b) {
  auto* cc = reinterpret_cast<CcBlock*>(b);
  BlockRef* singles[] = {&cc->name, &cc->unit, &cc->comment, &cc->inverse};
  for (BlockRef* ref : singles) block_release(ref);
  free(cc->values);
  cc->values = nullptr;
}

// ---- SI ----

bool si_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList*) {
  auto* si = reinterpret_cast<SiBlock*>(b);
  LinkArray links;
  if (!load_links(s, h, b->offset, 3, &links.a)) return false;
  copy_header(b, h);
  BlockRef* singles[] = {&si->name, &si->path, &si->comment};
  for (int32_t i = 0; i < 3; ++i)
    if (!parse_single(s, links[i], cache, singles[i])) return false;
  FieldReader r = fields_of(b, s);
  return field_read_u8(&r, &si->source_type) && field_read_u8(&r, &si->bus_type) &&
         field_read_u8(&r, &si->flags);
}

void si_destroy(Block* b) {
  auto* si = reinterpret_cast<SiBlock*>(b);
  BlockRef* singles[] = {&si->name, &si->path, &si->comment};
  for (BlockRef* ref : singles) block_release(ref);
}

// ---- TX, MD ----

bool text_load(Block* b, Stream* s, BlockCache*, const BlockHeader* h, BlockList*) {
  auto* t = reinterpret_cast<TextBlock*>(b);
  if (h->link_count != 0) {
    log_block(LOG_ERROR, h->kind, b->offset, "%llu links where a text has none",
              static_cast<unsigned long long>(h->link_count));
    return false;
  }
  copy_header(b, h);
  uint64_t d = block_data_size(b);
  if (d == 0) return true;
  FieldReader r = fields_of(b, s);
  if (!field_read_text(&r, &t->text, d)) return false;
  // The last byte of the section is the terminator, not text.
  dynstring_truncate(&t->text, d - 1);
  return true;
}

void text_destroy(Block* b) { dynstring_free(&reinterpret_cast<TextBlock*>(b)->text); }

// ---- DT, SD, DV, DI ----

int64_t data_read(Stream* st, void* buffer, uint64_t n) {
  auto* s = reinterpret_cast<BlockDataStream*>(st);
  uint64_t size = block_data_stream_size(s);
  if (s->position >= size) return 0;
  if (n > size - s->position) n = size - s->position;
  int64_t at = static_cast<int64_t>(s->data_start + s->position);
  if (stream_seek(s->file, at, SEEK_FROM_START) != at) return -1;
  uint64_t done = 0;
  while (done < n) {
    int64_t got = stream_read(s->file, static_cast<uint8_t*>(buffer) + done, n - done);
    if (got < 0 && done == 0) return -1;
    if (got <= 0) break;
    done += static_cast<uint64_t>(got);
  }
  s->position += done;
  return static_cast<int64_t>(done);
}

int64_t data_tell(Stream* st) {
  return static_cast<int64_t>(reinterpret_cast<BlockDataStream*>(st)->position);
}

// Any position from 0 up; the file is sought only when bytes are read.
int64_t data_seek(Stream* st, int64_t offset, int32_t origin) {
  auto* s = reinterpret_cast<BlockDataStream*>(st);
  int64_t target = stream_seek_target(s->position, block_data_stream_size(s), offset, origin);
  if (target >= 0) s->position = static_cast<uint64_t>(target);
  return target;
}

constexpr StreamOps kDataStreamOps = {data_read, nullptr, data_tell, data_seek, nullptr};

bool data_load(Block* b, Stream* s, BlockCache* cache, const BlockHeader* h, BlockList*) {
  auto* d = reinterpret_cast<DataBlock*>(b);
  b->length = h->length;
  d->data.base.ops = &kDataStreamOps;
  d->data.file = s;
  d->data.owner = b;
  d->data.data_start = b->offset + BLOCK_HEADER_SIZE;
  d->data.file_size = block_cache_stream_size(cache);
  d->data.finalised = block_cache_finalised(cache);
  d->data.position = 0;
  return true;
}

// ---- Blocks of other kinds: kept as placeholders, their links not followed ----

bool other_load(Block* b, Stream* s, BlockCache*, const BlockHeader* h, BlockList*) {
  copy_header(b, h);
  FieldReader r = field_reader_at(s, static_cast<int64_t>(b->offset));
  auto* other = reinterpret_cast<OtherBlock*>(b);
  return field_read_bytes(&r, other->id, 4);
}

// ---- The table of kinds ----

struct KindInfo {
  size_t size;
  BlockOps ops;
  uint64_t length;
  uint64_t link_count;
};

const KindInfo* kind_info(BlockKind kind) {
  static const KindInfo kinds[] = {
      /* UNKNOWN */ {0, {nullptr, nullptr}, 0, 0},
      /* ID */ {sizeof(IdBlock), {id_load, id_destroy}, 64, 0},
      /* CC */ {sizeof(CcBlock), {cc_load, cc_destroy}, 80, 4},
      /* CG */ {sizeof(CgBlock), {cg_load, cg_destroy}, 104, 6},
      /* CN */ {sizeof(CnBlock), {cn_load, cn_destroy}, 160, 8},
      /* DG */ {sizeof(DgBlock), {dg_load, dg_destroy}, 64, 4},
      /* DT */ {sizeof(DataBlock), {data_load, nullptr}, 24, 0},
      /* FH */ {sizeof(FhBlock), {fh_load, fh_destroy}, 56, 2},
      /* HD */ {sizeof(HdBlock), {hd_load, hd_destroy}, 104, 6},
      /* MD */ {sizeof(TextBlock), {text_load, text_destroy}, 24, 0},
      /* SD */ {sizeof(DataBlock), {data_load, nullptr}, 24, 0},
      /* SI */ {sizeof(SiBlock), {si_load, si_destroy}, 56, 3},
      /* TX */ {sizeof(TextBlock), {text_load, text_destroy}, 24, 0},
      /* DL */ {sizeof(DlBlock), {dl_load, dl_destroy}, 40, 2},
      /* DZ */ {sizeof(DzBlock), {dz_load, nullptr}, 48, 0},
      /* HL */ {sizeof(HlBlock), {hl_load, hl_destroy}, 40, 1},
      /* LD */ {sizeof(LdBlock), {ld_load, ld_destroy}, 40, 2},
      /* DV */ {sizeof(DataBlock), {data_load, nullptr}, 24, 0},
      /* DI */ {sizeof(DataBlock), {data_load, nullptr}, 24, 0},
      /* other */ {sizeof(OtherBlock), {other_load, nullptr}, 24, 0},
  };
  if (kind <= BLOCK_UNKNOWN || kind > BLOCK_OTHER) return nullptr;
  return &kinds[kind];
}

template <class T>
T* view(Block* block, BlockKind kind) {
  return block && block->kind == kind ? reinterpret_cast<T*>(block) : nullptr;
}

}  // namespace

Block* block_create(BlockKind kind) {
  const KindInfo* info = kind_info(kind);
  if (!info) return nullptr;
  auto* b = static_cast<Block*>(calloc(1, info->size));
  if (!b) return nullptr;
  b->kind = kind;
  b->length = info->length;
  b->link_count = info->link_count;
  b->ops = &info->ops;
  return b;
}

uint64_t block_data_stream_size(const BlockDataStream* s) {
  uint64_t length = s->owner->length;
  uint64_t declared = length > BLOCK_HEADER_SIZE ? length - BLOCK_HEADER_SIZE : 0;
  uint64_t present = s->file_size > s->data_start ? s->file_size - s->data_start : 0;
  return declared < present ? declared : present;
}

bool cc_value(const CcBlock* cc, uint64_t i, double* out) {
  if (!cc || i >= cc->value_count || !cc->values) return false;
  *out = cc->values[i];
  return true;
}

IdBlock* id_block(BlockRef ref) { return view<IdBlock>(ref.block, BLOCK_ID); }
HdBlock* hd_block(BlockRef ref) { return view<HdBlock>(ref.block, BLOCK_HD); }
DgBlock* dg_block(BlockRef ref) { return view<DgBlock>(ref.block, BLOCK_DG); }
CgBlock* cg_block(BlockRef ref) { return view<CgBlock>(ref.block, BLOCK_CG); }
CnBlock* cn_block(BlockRef ref) { return view<CnBlock>(ref.block, BLOCK_CN); }
CcBlock* cc_block(BlockRef ref) { return view<CcBlock>(ref.block, BLOCK_CC); }
SiBlock* si_block(BlockRef ref) { return view<SiBlock>(ref.block, BLOCK_SI); }
TextBlock* tx_block(BlockRef ref) { return view<TextBlock>(ref.block, BLOCK_TX); }
TextBlock* md_block(BlockRef ref) { return view<TextBlock>(ref.block, BLOCK_MD); }
DataBlock* dt_block(BlockRef ref) { return view<DataBlock>(ref.block, BLOCK_DT); }
CgBlock* cg_block(Block* block) { return view<CgBlock>(block, BLOCK_CG); }

DataBlock* plain_data_block(Block* block) {
  if (!block) return nullptr;
  BlockKind k = block->kind;
  bool plain = k == BLOCK_DT || k == BLOCK_SD || k == BLOCK_DV || k == BLOCK_DI;
  return plain ? reinterpret_cast<DataBlock*>(block) : nullptr;
}

std::string_view block_text(BlockRef ref) {
  TextBlock* t = tx_block(ref);
  if (!t) t = md_block(ref);
  if (!t) return {};
  std::string_view text = dynstring_sv(&t->text);
  return text.substr(0, text.find('\0'));
}

IdBlock* mdf_id(const MdfFile* file) { return file ? id_block(file->id) : nullptr; }

HdBlock* mdf_hd(const MdfFile* file) {
  IdBlock* id = mdf_id(file);
  return id ? hd_block(id->hd) : nullptr;
}
