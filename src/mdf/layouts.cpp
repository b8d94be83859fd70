// The record layouts of a data group, one per channel group, keyed by record id.
#include "mdf/layouts.h"

#include "mdf/blocks.h"
#include "support/log.h"

namespace {

bool has_time_channel(const CgBlock* cg) {
  for (const RecordChannel& c : cg->record_channels)
    if (c.role == ROLE_TIMESTAMP) return true;
  return false;
}

}  // namespace

void record_layouts_free(DgBlock* dg) { hash_table_destroy<RecordLayoutTraits>(&dg->layouts); }

bool prepare_record_layouts(DgBlock* dg) {
  record_layouts_free(dg);
  uint8_t id_size = dg->record_id_size;
  if (id_size != 0 && id_size != 1 && id_size != 2 && id_size != 4 && id_size != 8) {
    LOG(LOG_WARN,
        "Data group at offset %llu has a record id size of %u bytes; its records are not read",
        static_cast<unsigned long long>(dg->base.offset), id_size);
    return true;
  }
  for (const BlockRef& ref : dg->channel_groups) {
    CgBlock* cg = cg_block(ref);
    if (!cg) continue;
    RecordLayout layout{};
    // Without record ids the group's records are the only ones of the data group.
    layout.record_id = id_size == 0 ? 0 : cg->record_id;
    layout.group = cg;
    layout.extractor = extract_nothing;
    layout.group_kind = GROUP_NONE;
    layout.ordinal = static_cast<int32_t>(dg->layouts.count);
    if (cg->variable_length) {
      layout.record_length = -1;
    } else {
      // The channel list was built when the group loaded; it is not rebuilt here, because a
      // group shared by two data groups would pull the list from under the other's layout.
      layout.record_length = cg->data_bytes;
      layout.invalidation_bytes = cg->invalidation_bytes;
      layout.master = cg_block(cg->master);
      layout.master_bytes = layout.master ? layout.master->data_bytes : 0;
      for (int32_t i = 0; i < cg->record_channels.count; ++i) {
        const RecordChannel& c = cg->record_channels[i];
        layout.index_field |= c.record_index;
        if (!c.payload_store) continue;
        if (layout.payload_begin == layout.payload_end) layout.payload_begin = i;
        layout.payload_end = i + 1;
      }
      const SiBlock* si = si_block(cg->acquisition_source);
      if (si && si->source_type == SOURCE_TYPE_BUS) {
        FrameExtractor extractor = extract_nothing;
        GroupKind kind = GROUP_UNSET;
        if (select_frame_extractor(cg->record_channels.items, cg->record_channels.count, &extractor,
                                   &kind)) {
          layout.extractor = extractor;
          layout.group_kind = kind;
        }
        // Frames without a time would all be stamped with the file's start, and a field of a
        // type that is not read would be made up: such a group gives none
        // (frame_group_refusal says why).
        if (!has_time_channel(cg) ||
            frame_group_unreadable_field(cg->record_channels.items, cg->record_channels.count,
                                         kind) >= 0)
          layout.extractor = extract_nothing;
      }
    }
    HashSlot<RecordLayout> slot =
        hash_table_find_or_insert<RecordLayoutTraits>(&dg->layouts, layout.record_id);
    if (!slot.slot) return false;
    if (slot.inserted) *slot.slot = layout;
  }
  return true;
}

const RecordLayout* record_layout_find(const DgBlock* dg, uint64_t record_id) {
  return hash_table_find<RecordLayoutTraits>(&dg->layouts, record_id);
}

bool dg_has_bus_groups(const DgBlock* dg) {
  const HashTable<RecordLayout>& t = dg->layouts;
  for (int32_t i = 0; i < t.capacity; ++i) {
    if (!t.control[i]) continue;
    GroupKind kind = t.entries[i].group_kind;
    if (kind != GROUP_NONE && kind != GROUP_UNSET) return true;
  }
  return false;
}
