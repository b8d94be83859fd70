// Opening an MDF 4 file: the block tree from the identification down, then the reader's
// records built over it (channel lists, record layouts) and the checks of what reading the
// bus-logging data groups needs.
#include "mdf/mdf_file.h"

#include <cstdlib>
#include <cstring>

#include "mdf/blocks.h"
#include "mdf/channels.h"
#include "mdf/layouts.h"
#include "mdf/record_reader.h"
#include "support/log.h"

namespace {

// A logger that was cut off leaves the length of its last data block covering only what was
// known when it was written: let that block run to the end of the file.
void fix_unfinalised(MdfFile* file, uint64_t size) {
  IdBlock* id = mdf_id(file);
  HdBlock* hd = mdf_hd(file);
  if (!id || !hd || !(id->unfinalised_flags & 4)) return;
  DataBlock* last = nullptr;
  for (const BlockRef& ref : hd->data_groups) {
    DgBlock* dg = dg_block(ref);
    if (!dg) continue;
    DataBlock* dt = dt_block(dg->data);
    if (dt && (!last || dt->base.offset > last->base.offset)) last = dt;
  }
  if (!last) return;
  if (size >= last->base.offset) {
    last->base.length = size - last->base.offset;
    last->data.file_size = size;
  }
  id->unfinalised_flags = static_cast<uint16_t>(id->unfinalised_flags & ~4u);
}

// The channel list of a group, after that of its remote master (whose master channels it takes
// over); each group's list is built once, however many groups share it.
bool prepare_channels(CgBlock* cg, int32_t depth) {
  if (!cg || cg->record_channels_built) return true;
  if (depth > MAX_BLOCK_DEPTH) {
    log_block(LOG_ERROR, BLOCK_CG, cg->base.offset, "remote masters nest too deeply");
    return false;
  }
  if (!prepare_channels(cg_block(cg->master), depth + 1)) return false;
  cg->record_channels_built = true;
  return build_record_channels(cg);
}

// The reader's side of the loaded tree: the channel lists of every channel group of the data
// groups, then each data group's record layouts.
bool prepare_records(HdBlock* hd) {
  for (const BlockRef& ref : hd->data_groups) {
    DgBlock* dg = dg_block(ref);
    if (!dg) continue;
    for (const BlockRef& group : dg->channel_groups)
      if (!prepare_channels(cg_block(group), 0)) return false;
  }
  for (const BlockRef& ref : hd->data_groups)
    if (DgBlock* dg = dg_block(ref); dg && !prepare_record_layouts(dg)) return false;
  return true;
}

}  // namespace

bool mdf_read_version(Stream* stream, uint16_t* version_number) {
  uint8_t id[30];
  bool read = stream_seek(stream, 0, SEEK_FROM_START) == 0 &&
              stream_read(stream, id, sizeof id) == static_cast<int64_t>(sizeof id);
  stream_seek(stream, 0, SEEK_FROM_START);
  if (!read || (memcmp(id, "MDF     ", 8) != 0 && memcmp(id, "UnFinMF ", 8) != 0)) return false;
  *version_number = static_cast<uint16_t>(id[28] | id[29] << 8);
  return true;
}

MdfFile* mdf_open(Stream* stream) {
  if (!stream) return nullptr;
  BlockCache* cache = block_cache_new(stream, block_create);
  if (!cache) return nullptr;
  BlockRef id = parse_block(stream, 0, cache);
  IdBlock* idb = id_block(id);
  if (!idb) {
    if (!block_ref_empty(id))
      log_block(LOG_ERROR, id.block->kind, 0, "a file must start with its identification");
    block_release(&id);
    block_cache_free(cache);
    return nullptr;
  }
  block_cache_set_finalised(cache, memcmp(idb->file_id, "MDF     ", 8) == 0);
  idb->hd = parse_block(stream, 64, cache);
  uint64_t size = block_cache_stream_size(cache);
  block_cache_free(cache);
  auto* file = static_cast<MdfFile*>(calloc(1, sizeof(MdfFile)));
  if (block_ref_empty(idb->hd) || !file) {
    free(file);
    block_release(&id);
    return nullptr;
  }
  file->stream = stream;
  file->id = id;
  fix_unfinalised(file, size);
  if (HdBlock* hd = mdf_hd(file); hd && (!prepare_records(hd) || !prepare_bus_reading(hd))) {
    mdf_close(file);
    return nullptr;
  }
  return file;
}

void mdf_close(MdfFile* file) {
  if (!file) return;
  block_release(&file->id);
  free(file);
}
