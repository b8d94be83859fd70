// The frame source: containers, the opened file, the plan of segments and the reading of a
// segment's frames over the block tree, the record layouts and the record reader.
#include "mdf/frame_source.h"

#include <cstdlib>

#include "mdf/blocks.h"
#include "mdf/compressed_file.h"
#include "mdf/encrypted_file.h"
#include "mdf/layouts.h"
#include "mdf/mdf_file.h"
#include "mdf/record_reader.h"

const char* mdf_status_name(MdfStatus status) {
  static const char* const NAMES[] = {"ok",
                                      "decompress failed",
                                      "no password",
                                      "decrypt failed",
                                      "unknown container",
                                      "version unsupported",
                                      "open failed",
                                      "no identification block",
                                      "no header block"};
  auto i = static_cast<uint32_t>(status);
  return i < sizeof NAMES / sizeof NAMES[0] ? NAMES[i] : "unknown status";
}

MdfStatus frame_source_open_container(Stream* stream, const ContainerHeader* header,
                                      const DynString* password, Stream** decoded) {
  *decoded = nullptr;
  if (header->container_type == CONTAINER_TYPE_COMPRESSED) {
    *decoded = compressed_file_open(stream, header);
    return *decoded ? MDF_STATUS_OK : MDF_STATUS_DECOMPRESS_FAILED;
  }
  if (header->container_type != CONTAINER_TYPE_ENCRYPTED) return MDF_STATUS_UNKNOWN_CONTAINER;
  if (!password) return MDF_STATUS_NO_PASSWORD;
  *decoded = encrypted_file_open(stream, header, dynstring_view(password));
  return *decoded ? MDF_STATUS_OK : MDF_STATUS_DECRYPT_FAILED;
}

MdfStatus frame_source_unwrap(Stream** stream, ContainerPasswordFn password, void* context,
                              ContainerHeader* failed) {
  ContainerHeader header;
  while (container_read_header(*stream, &header)) {
    Stream* decoded = nullptr;
    MdfStatus status =
        frame_source_open_container(*stream, &header, password(context, &header), &decoded);
    stream_close(*stream);
    if (status != MDF_STATUS_OK) {
      *failed = header;
      return status;
    }
    *stream = decoded;
  }
  return MDF_STATUS_OK;
}

Stream* frame_source_buffer(Stream* stream, int64_t buffer_size, int64_t* size) {
  constexpr int64_t CONTAINER_READ_WINDOW = int64_t{1} << 20;
  if (buffer_size < 0) {
    buffer_size = stream_size(stream);
    // A container is read once from start to end and converted from its decoded copy in
    // memory: a window over the whole file would only hold a second copy of it.
    ContainerHeader header;
    if (buffer_size > CONTAINER_READ_WINDOW && container_read_header(stream, &header))
      buffer_size = CONTAINER_READ_WINDOW;
  }
  *size = buffer_size;
  if (buffer_size <= 0) return stream;
  Stream* buffered = buffered_stream_new(stream, true, static_cast<uint64_t>(buffer_size));
  if (!buffered) stream_close(stream);
  return buffered;
}

bool frame_source_is_log(Stream* stream) {
  uint16_t version = 0;
  ContainerHeader header;
  return stream && (mdf_read_version(stream, &version) || container_read_header(stream, &header));
}

MdfStatus frame_source_open(Stream* stream, MdfFile** file, uint16_t* version) {
  *file = nullptr;
  *version = 0;
  // An earlier version lays its blocks out differently: read as MDF 4 they could only fail
  // obscurely. (A version number of 0 says nothing; such a file is read as MDF 4.)
  if (mdf_read_version(stream, version) && *version > 0 && *version < 400)
    return MDF_STATUS_VERSION_UNSUPPORTED;
  MdfFile* opened = mdf_open(stream);
  MdfStatus status = !opened           ? MDF_STATUS_OPEN_FAILED
                     : !mdf_id(opened) ? MDF_STATUS_NO_ID_BLOCK
                     : !mdf_hd(opened) ? MDF_STATUS_NO_HD_BLOCK
                                       : MDF_STATUS_OK;
  if (status != MDF_STATUS_OK) {
    mdf_close(opened);
    return status;
  }
  *file = opened;
  return MDF_STATUS_OK;
}

void frame_source_close(MdfFile* file) { mdf_close(file); }

bool frame_source_header(const MdfFile* file, MdfHeaderInfo* info) {
  const HdBlock* hd = file ? mdf_hd(file) : nullptr;
  if (!hd) return false;
  info->start_time_ns = hd->start_time_ns;
  // A plain-text (TX) comment carries no metadata.
  info->xml_comment = md_block(hd->comment) ? block_text(hd->comment) : std::string_view{};
  return true;
}

bool frame_source_has_bus_groups(const MdfFile* file) {
  const HdBlock* hd = mdf_hd(file);
  if (!hd) return false;
  for (const BlockRef& ref : hd->data_groups)
    if (const DgBlock* dg = dg_block(ref); dg && dg_has_bus_groups(dg)) return true;
  return false;
}

bool frame_source_plan(const MdfFile* file, uint64_t target, GrowArray<FrameSegment>* segments) {
  const HdBlock* hd = mdf_hd(file);
  if (!hd) return true;
  GrowArray<uint64_t> cuts{};
  bool ok = true;
  uint32_t ordinal = 0;
  for (const BlockRef& ref : hd->data_groups) {
    DgBlock* dg = dg_block(ref);
    uint32_t index = ordinal++;
    if (!dg || !dg_has_bus_groups(dg)) continue;
    uint64_t end = 0, begin = 0;
    if (target > 0 && record_ranges(dg, target, &cuts, &end)) {
      for (uint64_t cut : cuts) {
        ok = ok && grow_array_push(segments, FrameSegment{index, begin, cut});
        begin = cut;
      }
    }
    ok = ok && grow_array_push(segments, FrameSegment{index, begin, UINT64_MAX});
  }
  grow_array_free(&cuts);
  return ok;
}

namespace {

// The name a channel group goes by in messages: the prefix of its frame fields
// ("CAN_DataFrame"), else its acquisition name, else where it lies.
void group_name(const CgBlock* cg, DynString* out) {
  for (const RecordChannel& c : cg->record_channels) {
    std::string_view name = dynstring_sv(&c.name);
    if (size_t dot = name.find('.'); dot != std::string_view::npos && dot > 0) {
      dynstring_append(out, name.substr(0, dot));
      return;
    }
  }
  std::string_view acquisition = block_text(cg->acquisition_name);
  if (!acquisition.empty()) {
    dynstring_append(out, acquisition);
  } else {
    dynstring_format(out, "at 0x%llX", static_cast<unsigned long long>(cg->base.offset));
  }
}

// The layout that reads the group's records, when it is the group's own.
const RecordLayout* own_layout(const DgBlock* dg, const CgBlock* cg) {
  const RecordLayout* l =
      cg ? record_layout_find(dg, dg->record_id_size ? cg->record_id : 0) : nullptr;
  return l && l->group == cg ? l : nullptr;
}

}  // namespace

void frame_source_ignored_channels(const MdfFile* file, IgnoredChannelsFn fn, void* context) {
  const HdBlock* hd = mdf_hd(file);
  if (!hd) return;
  for (const BlockRef& ref : hd->data_groups) {
    const DgBlock* dg = dg_block(ref);
    if (!dg || !dg_has_bus_groups(dg)) continue;
    for (const BlockRef& group : dg->channel_groups) {
      const CgBlock* cg = cg_block(group);
      const RecordLayout* l = own_layout(dg, cg);
      if (!l || l->extractor == extract_nothing) continue;
      ScopedDynString name, names;
      const GrowArray<RecordChannel>& channels = cg->record_channels;
      int32_t n = frame_group_ignored(channels.items, channels.count, l->group_kind, &names.s);
      if (n == 0) continue;
      group_name(cg, &name.s);
      fn(context, name.view(), names.view(), n);
    }
  }
}

struct SegmentRead {
  DgBlock* dg;
  RecordReader* reader;
  RecordIterator it;
  bool started;
  uint64_t* idle;  // records that gave no frame, by layout ordinal; null without memory
};

bool segment_read_open(MdfFile* file, const FrameSegment& segment, ReaderNoticeSink notices,
                       SegmentRead** read) {
  *read = nullptr;
  const HdBlock* hd = mdf_hd(file);
  DgBlock* dg = hd && segment.data_group < static_cast<uint32_t>(hd->data_groups.count)
                    ? dg_block(hd->data_groups.begin()[segment.data_group])
                    : nullptr;
  if (!dg) return false;
  auto* r = static_cast<SegmentRead*>(calloc(1, sizeof(SegmentRead)));
  RecordReader* reader = r ? record_reader_new(dg) : nullptr;
  if (!reader) {
    free(r);
    return true;
  }
  r->dg = dg;
  r->reader = reader;
  r->idle = static_cast<uint64_t*>(calloc(static_cast<size_t>(dg->layouts.count) + 1, 8));
  reader->range_begin = segment.begin;
  reader->range_end = segment.end;
  reader->notices = notices;
  *read = r;
  return true;
}

const BusFrame* segment_read_next(SegmentRead* read) {
  if (!read) return nullptr;
  if (read->started) {
    record_iter_next(&read->it);
  } else {
    record_iter_begin(&read->it, read->reader);
    read->started = true;
  }
  const BusFrame* frame = read->it.frame;
  if (frame && frame->kind == FRAME_NONE && read->idle)
    read->idle[read->reader->layout->ordinal] += 1;
  return frame;
}

void segment_read_idle_groups(const SegmentRead* read,
                              void (*fn)(void* context, const IdleGroup& group), void* context) {
  if (!read || !read->idle) return;
  const DgBlock* dg = read->dg;
  for (const BlockRef& ref : dg->channel_groups) {
    const CgBlock* cg = cg_block(ref);
    const RecordLayout* l = own_layout(dg, cg);
    const SiBlock* si = cg ? si_block(cg->acquisition_source) : nullptr;
    if (!l || read->idle[l->ordinal] == 0 || !si || si->source_type != SOURCE_TYPE_BUS) continue;
    ScopedDynString name, why;
    group_name(cg, &name.s);
    const GrowArray<RecordChannel>& channels = cg->record_channels;
    if (!frame_group_refusal(channels.items, channels.count, l->group_kind, &why.s)) {
      dynstring_clear(&why.s);
      dynstring_append(&why.s, "records that cannot be read as frames");
    }
    IdleGroup group{
        static_cast<uint32_t>(l->ordinal), read->idle[l->ordinal],
        l->group_kind >= GROUP_LIN_CHECKSUM_ERROR && l->group_kind <= GROUP_LIN_TRANSMISSION_ERROR,
        name.view(), why.view()};
    fn(context, group);
  }
}

bool segment_read_failed(const SegmentRead* read) {
  return !read || record_reader_failed(read->reader);
}

void segment_read_free(SegmentRead* read) {
  if (!read) return;
  record_reader_free(read->reader);
  free(read->idle);
  free(read);
}
