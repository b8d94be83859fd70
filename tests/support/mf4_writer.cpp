// Test-only MF4 writer: the block writer and the bus-log builder declared in mf4_writer.h.
#include "support/mf4_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace test {

// ---------------------------------------------------------------------------------------------
// ByteWriter

ByteWriter& ByteWriter::uint(uint64_t v, uint32_t width) {
  for (uint32_t i = 0; i < width; ++i)
    bytes.push_back(static_cast<uint8_t>(i < 8 ? v >> (8 * i) : 0));
  return *this;
}
ByteWriter& ByteWriter::u8(uint64_t v) { return uint(v, 1); }
ByteWriter& ByteWriter::u16(uint64_t v) { return uint(v, 2); }
ByteWriter& ByteWriter::u32(uint64_t v) { return uint(v, 4); }
ByteWriter& ByteWriter::u64(uint64_t v) { return uint(v, 8); }
ByteWriter& ByteWriter::f64(double v) {
  uint64_t bits;
  memcpy(&bits, &v, 8);
  return u64(bits);
}
ByteWriter& ByteWriter::f32(float v) {
  uint32_t bits;
  memcpy(&bits, &v, 4);
  return u32(bits);
}
ByteWriter& ByteWriter::zeros(size_t n) {
  bytes.insert(bytes.end(), n, 0);
  return *this;
}
ByteWriter& ByteWriter::raw(const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (n) bytes.insert(bytes.end(), p, p + n);
  return *this;
}

// ---------------------------------------------------------------------------------------------
// Mf4Writer

namespace {

[[noreturn]] void misuse(const char* what, uint64_t at) {
  fprintf(stderr, "Mf4Writer misuse: %s at offset %llu\n", what,
          static_cast<unsigned long long>(at));
  abort();
}

std::string fixed8(std::string_view s) {
  std::string out(s.substr(0, 8));
  out.resize(8, ' ');
  return out;
}

}  // namespace

Mf4Writer::Mf4Writer(const IdSpec& id) {
  ByteWriter b;
  b.text(fixed8(id.file_id)).text(fixed8(id.version)).text(fixed8(id.program));
  b.zeros(4).u16(id.version_number).zeros(30).u16(id.unfinalised_flags);
  b.u16(id.custom_unfinalised_flags);
  bytes_ = std::move(b.bytes);
}

void Mf4Writer::align() { bytes_.resize((bytes_.size() + 7) & ~size_t{7}, 0); }

void Mf4Writer::check_range(uint64_t at, uint64_t n) const {
  if (at > bytes_.size() || n > bytes_.size() - at) misuse("patch past the end", at);
}

uint64_t Mf4Writer::add_block(std::string_view id, const std::vector<uint64_t>& links,
                              const std::vector<uint8_t>& data, uint64_t declared_length) {
  align();
  uint64_t at = bytes_.size();
  std::string ident = id.size() == 2 ? "##" + std::string(id) : std::string(id.substr(0, 4));
  ident.resize(4, ' ');
  ByteWriter b;
  uint64_t length = 24 + 8 * links.size() + data.size();
  b.text(ident).zeros(4).u64(declared_length ? declared_length : length).u64(links.size());
  for (uint64_t l : links) b.u64(l);
  b.raw(data);
  bytes_.insert(bytes_.end(), b.bytes.begin(), b.bytes.end());
  return at;
}

uint64_t Mf4Writer::add_raw(const std::vector<uint8_t>& bytes, bool align_first) {
  if (align_first) align();
  uint64_t at = bytes_.size();
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return at;
}

namespace {

// Text blocks hold the text, a zero terminator, and zero padding to a multiple of 8.
std::vector<uint8_t> text_data(std::string_view text) {
  std::vector<uint8_t> d(text.begin(), text.end());
  d.push_back(0);
  d.resize((d.size() + 7) & ~size_t{7}, 0);
  return d;
}

}  // namespace

uint64_t Mf4Writer::add_tx(std::string_view text) { return add_block("##TX", {}, text_data(text)); }
uint64_t Mf4Writer::add_md(std::string_view xml) { return add_block("##MD", {}, text_data(xml)); }

uint64_t Mf4Writer::add_hd(const HdSpec& s) {
  ByteWriter b;
  b.u64(s.start_time_ns).u16(static_cast<uint16_t>(s.tz_offset_min));
  b.u16(static_cast<uint16_t>(s.dst_offset_min)).u8(s.time_flags).u8(s.time_class).u8(s.flags);
  b.zeros(1).f64(s.start_angle).f64(s.start_distance);
  return add_block(
      "##HD",
      {s.first_dg, s.first_fh, s.channel_hierarchy, s.first_attachment, s.first_event, s.comment},
      b.bytes);
}

uint64_t Mf4Writer::add_fh(const FhSpec& s) {
  ByteWriter b;
  b.u64(s.time_ns).u16(static_cast<uint16_t>(s.tz_offset_min));
  b.u16(static_cast<uint16_t>(s.dst_offset_min)).u8(s.time_flags).zeros(3);
  return add_block("##FH", {s.next, s.comment}, b.bytes);
}

uint64_t Mf4Writer::add_dg(const DgSpec& s) {
  ByteWriter b;
  b.u8(s.record_id_size).zeros(7);
  return add_block("##DG", {s.next, s.first_cg, s.data, s.comment}, b.bytes);
}

uint64_t Mf4Writer::add_cg(const CgSpec& s) {
  ByteWriter b;
  b.u64(s.record_id).u64(s.cycle_count).u16(s.flags).u16(s.path_separator).zeros(4);
  if (s.vlsd_size) {
    b.u64(s.vlsd_size);
  } else {
    b.u32(s.data_bytes).u32(s.invalidation_bytes);
  }
  std::vector<uint64_t> links = {
      s.next, s.first_cn, s.acq_name, s.acq_source, s.first_sample_reduction, s.comment};
  if (s.master) links.push_back(s.master);
  return add_block("##CG", links, b.bytes);
}

uint64_t Mf4Writer::add_cn(const CnSpec& s) {
  ByteWriter b;
  b.u8(s.channel_type).u8(s.sync_type).u8(s.data_type).u8(s.bit_offset).u32(s.byte_offset);
  b.u32(s.bit_count).u32(s.flags).u32(s.invalidation_bit).u8(s.precision).zeros(1);
  b.u16(s.attachment_count).f64(s.range_min).f64(s.range_max).f64(s.limit_min);
  b.f64(s.limit_max).f64(s.ext_limit_min).f64(s.ext_limit_max);
  std::vector<uint64_t> links = {s.next,       s.composition, s.name, s.source,
                                 s.conversion, s.data,        s.unit, s.comment};
  links.insert(links.end(), s.extra_links.begin(), s.extra_links.end());
  return add_block("##CN", links, b.bytes);
}

uint64_t Mf4Writer::add_cc(const CcSpec& s) {
  ByteWriter b;
  b.u8(s.type).u8(s.precision).u16(s.flags).u16(s.ref_count).u16(s.values.size());
  b.f64(s.phys_min).f64(s.phys_max);
  for (double v : s.values) b.f64(v);
  std::vector<uint64_t> links = {s.name, s.unit, s.comment, s.inverse};
  links.insert(links.end(), s.extra_links.begin(), s.extra_links.end());
  return add_block("##CC", links, b.bytes);
}

uint64_t Mf4Writer::add_cc_linear(double factor, double offset) {
  // The offset is parameter 0 and the factor parameter 1.
  return add_cc({.type = CC_LINEAR, .values = {offset, factor}});
}

uint64_t Mf4Writer::add_cc_table(const std::vector<std::pair<double, double>>& pairs) {
  CcSpec s{.type = CC_VALUE_TO_VALUE};
  for (const auto& [key, value] : pairs) {
    s.values.push_back(key);
    s.values.push_back(value);
  }
  return add_cc(s);
}

uint64_t Mf4Writer::add_si(const SiSpec& s) {
  ByteWriter b;
  b.u8(s.source_type).u8(s.bus_type).u8(s.flags).zeros(5);
  return add_block("##SI", {s.name, s.path, s.comment}, b.bytes);
}

uint64_t Mf4Writer::add_dt(const std::vector<uint8_t>& data) { return add_block("##DT", {}, data); }

uint64_t Mf4Writer::add_sd(const std::vector<std::vector<uint8_t>>& entries,
                           std::vector<uint64_t>* entry_offsets) {
  ByteWriter b;
  for (const auto& e : entries) {
    if (entry_offsets) entry_offsets->push_back(b.bytes.size());
    b.u32(e.size()).raw(e);
  }
  return add_block("##SD", {}, b.bytes);
}

uint64_t Mf4Writer::add_dl(const std::vector<uint64_t>& blocks, uint64_t equal_length,
                           const std::vector<uint64_t>& offsets, uint64_t next) {
  ByteWriter b;
  b.u8(equal_length ? 1 : 0).zeros(3).u32(blocks.size());
  if (equal_length) {
    b.u64(equal_length);
  } else {
    for (uint64_t o : offsets) b.u64(o);
  }
  std::vector<uint64_t> links = {next};
  links.insert(links.end(), blocks.begin(), blocks.end());
  return add_block("##DL", links, b.bytes);
}

std::vector<uint8_t> transpose_bytes(const std::vector<uint8_t>& data, uint32_t columns) {
  std::vector<uint8_t> out(data);
  size_t rows = columns ? data.size() / columns : 0;
  for (size_t r = 0; r < rows; ++r)
    for (size_t c = 0; c < columns; ++c) out[c * rows + r] = data[r * columns + c];
  return out;
}

uint64_t Mf4Writer::add_dz(const DzSpec& spec, const std::vector<uint8_t>& original) {
  std::vector<uint8_t> plain = spec.zip_type == ZIP_TRANSPOSE_DEFLATE
                                   ? transpose_bytes(original, spec.zip_parameter)
                                   : original;
  uLongf size = compressBound(plain.size());
  std::vector<uint8_t> packed(size);
  if (compress2(packed.data(), &size, plain.data(), plain.size(), 6) != Z_OK)
    misuse("zlib cannot compress", bytes_.size());
  packed.resize(size);
  ByteWriter b;
  b.text(fixed8(spec.original_type).substr(0, 2)).u8(spec.zip_type).zeros(1);
  b.u32(spec.zip_parameter).u64(original.size()).u64(packed.size()).raw(packed);
  return add_block("##DZ", {}, b.bytes);
}

uint64_t Mf4Writer::add_hl(uint64_t first_dl, uint8_t zip_type) {
  ByteWriter b;
  b.u16(0).u8(zip_type).zeros(5);
  return add_block("##HL", {first_dl}, b.bytes);
}

uint64_t Mf4Writer::add_ld(const std::vector<uint64_t>& values,
                           const std::vector<uint64_t>& invalidation, uint64_t equal_samples,
                           const std::vector<uint64_t>& sample_offsets, uint64_t next) {
  ByteWriter b;
  uint32_t flags = (equal_samples ? uint32_t{LD_EQUAL_SAMPLES} : 0u) |
                   (invalidation.empty() ? 0u : uint32_t{LD_INVALIDATION});
  b.u32(flags).u32(values.size());
  if (equal_samples) {
    b.u64(equal_samples);
  } else {
    for (uint64_t o : sample_offsets) b.u64(o);
  }
  std::vector<uint64_t> links = {next};
  links.insert(links.end(), values.begin(), values.end());
  links.insert(links.end(), invalidation.begin(), invalidation.end());
  return add_block("##LD", links, b.bytes);
}

void Mf4Writer::patch_bytes(uint64_t at, const void* data, size_t n) {
  check_range(at, n);
  memcpy(bytes_.data() + at, data, n);
}
void Mf4Writer::patch_u8(uint64_t at, uint8_t v) { patch_bytes(at, &v, 1); }
void Mf4Writer::patch_u16(uint64_t at, uint16_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  patch_bytes(at, b, 2);
}
void Mf4Writer::patch_u32(uint64_t at, uint32_t v) {
  uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  patch_bytes(at, b, 4);
}
void Mf4Writer::patch_u64(uint64_t at, uint64_t v) {
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  patch_bytes(at, b, 8);
}

namespace {
uint64_t read_u64(const std::vector<uint8_t>& bytes, uint64_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | bytes[at + i];
  return v;
}
}  // namespace

void Mf4Writer::set_link(uint64_t block, uint32_t index, uint64_t target) {
  check_range(block, 24);
  if (index >= read_u64(bytes_, block + 16)) misuse("link index beyond the block's links", block);
  patch_u64(block + 24 + 8ull * index, target);
}

uint64_t Mf4Writer::link(uint64_t block, uint32_t index) const {
  check_range(block + 24 + 8ull * index, 8);
  return read_u64(bytes_, block + 24 + 8ull * index);
}

void Mf4Writer::set_length(uint64_t block, uint64_t length) { patch_u64(block + 8, length); }

uint64_t Mf4Writer::length(uint64_t block) const {
  check_range(block, 24);
  return read_u64(bytes_, block + 8);
}

uint64_t Mf4Writer::data_offset(uint64_t block) const {
  check_range(block, 24);
  return block + 24 + 8 * read_u64(bytes_, block + 16);
}

void Mf4Writer::set_unfinalised_flags(uint16_t standard, uint16_t custom) {
  patch_u16(60, standard);
  patch_u16(62, custom);
}

void Mf4Writer::set_file_id(std::string_view id) { patch_bytes(0, fixed8(id).data(), 8); }

// ---------------------------------------------------------------------------------------------
// BusLogBuilder

uint8_t can_dlc_for_length(size_t length) {
  static const size_t limits[] = {12, 16, 20, 24, 32, 48};
  if (length <= 8) return static_cast<uint8_t>(length);
  for (size_t i = 0; i < 6; ++i)
    if (length <= limits[i]) return static_cast<uint8_t>(9 + i);
  return 15;
}

std::string logger_comment_xml(uint32_t serial, uint32_t session, uint32_t split,
                               CommentStyle style) {
  char buf[640];
  if (style == CommentStyle::Nested) {
    snprintf(buf, sizeof buf,
             "<HDcomment><TX>CAN/LIN bus log</TX><common_properties>"
             "<tree name=\"Device Information\"><e name=\"serial number\" ro=\"true\">%08X</e>"
             "<e name=\"firmware version\" ro=\"true\">01.07.02</e></tree>"
             "<tree name=\"File Information\"><e name=\"session\">%u</e>"
             "<e name=\"split\">%u</e></tree></common_properties></HDcomment>",
             serial, session, split);
  } else if (style == CommentStyle::Flat) {
    snprintf(buf, sizeof buf,
             "<HDcomment><TX>CAN/LIN bus log</TX><common_properties>"
             "<e name=\"serial number\" ro=\"true\">%08X</e><e name=\"session\">%u</e>"
             "<e name=\"split\">%u</e></common_properties></HDcomment>",
             serial, session, split);
  } else {
    return {};
  }
  return buf;
}

BusLogBuilder& BusLogBuilder::start_time_ns(uint64_t ns) {
  start_time_ns_ = ns;
  return *this;
}
BusLogBuilder& BusLogBuilder::timezone(int16_t offset_min, int16_t dst_min) {
  tz_offset_min_ = offset_min;
  dst_offset_min_ = dst_min;
  return *this;
}
BusLogBuilder& BusLogBuilder::metadata(uint32_t serial, uint32_t session, uint32_t split) {
  serial_ = serial;
  session_ = session;
  split_ = split;
  return *this;
}
BusLogBuilder& BusLogBuilder::comment_style(CommentStyle style) {
  comment_style_ = style;
  return *this;
}
BusLogBuilder& BusLogBuilder::comment_xml(std::string xml) {
  comment_xml_ = std::move(xml);
  return *this;
}
BusLogBuilder& BusLogBuilder::layout(Layout l, uint8_t record_id_size) {
  layout_ = l;
  record_id_size_ = l == Layout::Unsorted ? record_id_size : 0;
  return *this;
}
BusLogBuilder& BusLogBuilder::record_id_size(uint8_t size) {
  record_id_size_ = size;
  return *this;
}
BusLogBuilder& BusLogBuilder::can_data_storage(DataStorage storage) {
  can_storage_ = storage;
  return *this;
}
BusLogBuilder& BusLogBuilder::lin_data_storage(DataStorage storage) {
  lin_storage_ = storage;
  return *this;
}
BusLogBuilder& BusLogBuilder::flat_channels(bool flat) {
  flat_channels_ = flat;
  return *this;
}
BusLogBuilder& BusLogBuilder::timestamp_ticks(double seconds_per_tick) {
  tick_ = seconds_per_tick;
  return *this;
}
BusLogBuilder& BusLogBuilder::timestamp_type(uint8_t type) {
  time_type_ = type;
  return *this;
}
BusLogBuilder& BusLogBuilder::invalidation_bytes(uint32_t n) {
  invalidation_bytes_ = n;
  return *this;
}
BusLogBuilder& BusLogBuilder::extra_channel(FrameGroup group, std::string name, uint64_t value,
                                            uint32_t bytes) {
  extras_.push_back({group, std::move(name), value, bytes});
  return *this;
}
BusLogBuilder& BusLogBuilder::field_data_type(std::string name, uint8_t type) {
  field_types_.emplace_back(std::move(name), type);
  return *this;
}
BusLogBuilder& BusLogBuilder::omit_field(std::string name) {
  omitted_.push_back(std::move(name));
  return *this;
}

BusLogBuilder& BusLogBuilder::acquisition_name(FrameGroup group, std::string name) {
  acquisition_names_.emplace_back(group, std::move(name));
  return *this;
}
BusLogBuilder& BusLogBuilder::source_type(uint8_t type) {
  source_type_ = type;
  return *this;
}
BusLogBuilder& BusLogBuilder::unfinalised(uint16_t flags) {
  unfinalised_ = true;
  unfinalised_flags_ = flags;
  return *this;
}
BusLogBuilder& BusLogBuilder::data_blocks(DataBlocks form, uint64_t piece_size) {
  data_blocks_ = form;
  piece_size_ = piece_size;
  return *this;
}
BusLogBuilder& BusLogBuilder::column_storage(bool on) {
  column_ = on;
  return *this;
}
BusLogBuilder& BusLogBuilder::vlsd_offsets_unfilled(bool unfilled) {
  vlsd_unfilled_ = unfilled;
  return *this;
}

BusLogBuilder& BusLogBuilder::vlsd_layout_of(FrameGroup group, bool before, bool unfilled) {
  vlsd_layouts_.push_back({group, before, unfilled});
  return *this;
}

BusLogBuilder& BusLogBuilder::vlsd_before_record(bool before) {
  vlsd_before_ = before;
  return *this;
}
BusLogBuilder& BusLogBuilder::master_name(std::string name) {
  master_name_ = std::move(name);
  return *this;
}

void BusLogBuilder::add(const Frame& frame, const std::vector<uint8_t>& data) {
  Frame f = frame;
  f.data_offset = static_cast<uint32_t>(payloads_.size());
  f.data_length = static_cast<uint32_t>(data.size());
  payloads_.insert(payloads_.end(), data.begin(), data.end());
  frames_.push_back(f);
}

void BusLogBuilder::add_can_frame(uint8_t channel, uint32_t id, bool extended,
                                  const std::vector<uint8_t>& data, double time, CanFlags flags) {
  Frame f{};
  f.group = FrameGroup::CanData;
  f.channel = channel;
  f.id = id;
  f.ide = extended;
  f.dir = flags.dir;
  f.brs = flags.brs;
  f.esi = flags.esi;
  f.edl = data.size() > 8;
  f.dlc = flags.dlc >= 0 ? static_cast<uint8_t>(flags.dlc) : can_dlc_for_length(data.size());
  f.time = time;
  add(f, data);
}

void BusLogBuilder::add_canfd_frame(uint8_t channel, uint32_t id, bool extended,
                                    const std::vector<uint8_t>& data, double time, bool brs,
                                    bool esi, bool dir) {
  add_can_frame(channel, id, extended, data, time, {.dir = dir, .brs = brs, .esi = esi});
  frames_.back().edl = 1;
}

void BusLogBuilder::add_can_remote_frame(uint8_t channel, uint32_t id, bool extended, uint8_t dlc,
                                         double time, bool dir) {
  Frame f{};
  f.group = FrameGroup::CanRemote;
  f.channel = channel;
  f.id = id;
  f.ide = extended;
  f.dir = dir;
  f.dlc = dlc;
  f.time = time;
  add(f, {});
  // A remote frame requests `dlc` bytes (at most 8); its DataLength says so too.
  frames_.back().data_length = std::min<uint32_t>(dlc, 8);
}

void BusLogBuilder::add_can_error_frame(uint8_t channel, uint32_t error_type, double time,
                                        uint32_t id) {
  Frame f{};
  f.group = FrameGroup::CanError;
  f.channel = channel;
  f.id = id;
  f.error_type = error_type;
  f.time = time;
  add(f, {});
}

void BusLogBuilder::add_lin_frame(uint8_t channel, uint32_t id, const std::vector<uint8_t>& data,
                                  double time, bool dir) {
  Frame f{};
  f.group = FrameGroup::Lin;
  f.channel = channel;
  f.id = id;
  f.dir = dir;
  f.time = time;
  add(f, data);
}

namespace {

enum class Source {
  BusChannel,
  Id,
  Ide,
  Dlc,
  DataLength,
  DataBytes,
  Dir,
  Edl,
  Brs,
  Esi,
  ErrorType,
  ReceivedCount,
  Extra,
};

struct Field {
  std::string name;
  Source source;
  uint32_t offset;  // byte offset inside the record's data bytes
  uint32_t width;   // bytes in the record
  bool vlsd;        // DataBytes kept as variable-length data (the record holds an offset)
  uint64_t extra_value;
  uint64_t cn = 0;  // the channel block, once written
  uint8_t data_type = DT_UNSIGNED_LE;
  bool omitted = false;  // its bytes are in the record, but no channel describes them
};

struct Group {
  FrameGroup kind;
  std::string prefix;
  std::vector<Field> fields;
  std::vector<const BusLogBuilder::Frame*> frames;
  DataStorage storage = DataStorage::Fixed;  // of DataBytes
  uint32_t data_width = 8;                   // fixed DataBytes width
  uint32_t data_bytes = 0;                   // record data bytes
  uint64_t record_id = 0, vlsd_record_id = 0;
  uint64_t sd = 0;
  std::vector<uint64_t> sd_offsets;
};

const char* prefix_of(FrameGroup g) {
  switch (g) {
    case FrameGroup::CanData:
      return "CAN_DataFrame";
    case FrameGroup::CanRemote:
      return "CAN_RemoteFrame";
    case FrameGroup::CanError:
      return "CAN_ErrorFrame";
    case FrameGroup::Lin:
      return "LIN_Frame";
  }
  return "";
}

uint64_t field_value(const Field& f, const BusLogBuilder::Frame& fr) {
  switch (f.source) {
    case Source::BusChannel:
      return fr.channel;
    case Source::Id:
      return fr.id;
    case Source::Ide:
      return fr.ide;
    case Source::Dlc:
      return fr.dlc;
    case Source::DataLength:
      return fr.data_length;
    case Source::Dir:
      return fr.dir;
    case Source::Edl:
      return fr.edl;
    case Source::Brs:
      return fr.brs;
    case Source::Esi:
      return fr.esi;
    case Source::ErrorType:
      return fr.error_type;
    case Source::ReceivedCount:
      return fr.data_length;
    case Source::Extra:
      return f.extra_value;
    case Source::DataBytes:
      return 0;
  }
  return 0;
}

}  // namespace

namespace {

bool compresses(DataBlocks form) {
  return form == DataBlocks::Deflate || form == DataBlocks::Transposed ||
         form == DataBlocks::HeaderList;
}

// One block of a data section: plain, or compressed (transposed by `columns` when the form
// says so and columns is not 0).
uint64_t data_piece(Mf4Writer& w, DataBlocks form, const char* type,
                    const std::vector<uint8_t>& bytes, uint32_t columns) {
  if (!compresses(form)) return w.add_block(std::string("##") + type, {}, bytes);
  bool transpose = form != DataBlocks::Deflate && columns != 0;
  return w.add_dz({.original_type = type,
                   .zip_type = transpose ? ZIP_TRANSPOSE_DEFLATE : ZIP_DEFLATE,
                   .zip_parameter = transpose ? columns : 0},
                  bytes);
}

// Lists of at most three entries, chained; written from the last so that each names its
// successor. `make` writes one list of the entries [first, end) with its successor.
template <class Make>
uint64_t chained_lists(size_t entries, Make make) {
  uint64_t next = 0;
  for (size_t first = entries ? (entries - 1) / 3 * 3 : 0;; first -= 3) {
    next = make(first, std::min(entries, first + 3), next);
    if (first == 0) return next;
  }
}

// A data section (records of `columns` bytes, or signal data for columns 0) as `form` says;
// returns the block the data link names.
uint64_t write_data(Mf4Writer& w, DataBlocks form, uint64_t piece, const char* type,
                    const std::vector<uint8_t>& bytes, uint32_t columns) {
  bool listed = form == DataBlocks::List || form == DataBlocks::ListOffsets ||
                form == DataBlocks::HeaderList || piece != 0;
  if (form == DataBlocks::Plain || !listed) return data_piece(w, form, type, bytes, columns);
  uint64_t size = piece ? piece : std::max<uint64_t>(bytes.size(), 1);
  std::vector<uint64_t> blocks, offsets;
  for (uint64_t at = 0; at < bytes.size() || blocks.empty(); at += size) {
    uint64_t n = std::min<uint64_t>(size, bytes.size() - std::min<uint64_t>(at, bytes.size()));
    std::vector<uint8_t> part(bytes.begin() + static_cast<ptrdiff_t>(at),
                              bytes.begin() + static_cast<ptrdiff_t>(at + n));
    blocks.push_back(data_piece(w, form, type, part, columns));
    offsets.push_back(at);
  }
  bool by_offset = form == DataBlocks::ListOffsets;
  uint64_t dl = chained_lists(blocks.size(), [&](size_t first, size_t end, uint64_t next) {
    std::vector<uint64_t> part(blocks.begin() + first, blocks.begin() + end);
    std::vector<uint64_t> at(offsets.begin() + first, offsets.begin() + end);
    return w.add_dl(part, by_offset ? 0 : size, by_offset ? at : std::vector<uint64_t>{}, next);
  });
  return form == DataBlocks::HeaderList ? w.add_hl(dl, ZIP_TRANSPOSE_DEFLATE) : dl;
}

// Column storage: records of `record` bytes in value blocks of whole records (about
// piece_size bytes each) listed by LD lists, with zeroed invalidation blocks of `invalidation`
// bytes per record when not 0.
uint64_t write_values(Mf4Writer& w, DataBlocks form, uint64_t piece,
                      const std::vector<uint8_t>& bytes, uint32_t record, uint32_t invalidation) {
  uint64_t samples = record ? bytes.size() / record : 0;
  uint64_t per = std::max<uint64_t>(piece && record ? piece / record : samples, 1);
  std::vector<uint64_t> values, invalid, first_samples;
  for (uint64_t s0 = 0; s0 < samples || values.empty(); s0 += per) {
    uint64_t n = std::min(per, samples - std::min(s0, samples));
    std::vector<uint8_t> part(bytes.begin() + static_cast<ptrdiff_t>(s0 * record),
                              bytes.begin() + static_cast<ptrdiff_t>((s0 + n) * record));
    values.push_back(data_piece(w, form, "DV", part, record));
    if (invalidation)
      invalid.push_back(w.add_block("##DI", {}, std::vector<uint8_t>(n * invalidation, 0)));
    first_samples.push_back(s0);
  }
  bool by_offset = form == DataBlocks::ListOffsets;
  return chained_lists(values.size(), [&](size_t first, size_t end, uint64_t next) {
    std::vector<uint64_t> v(values.begin() + first, values.begin() + end);
    std::vector<uint64_t> i;
    if (invalidation) i.assign(invalid.begin() + first, invalid.begin() + end);
    std::vector<uint64_t> at(first_samples.begin() + first, first_samples.begin() + end);
    return w.add_ld(v, i, by_offset ? 0 : per, by_offset ? at : std::vector<uint64_t>{}, next);
  });
}

}  // namespace

std::vector<uint8_t> BusLogBuilder::build() const {
  // Column storage keeps the master in a group of its own: the records hold only the fields.
  const uint32_t time_bytes = column_ ? 0 : 8;
  // Which groups exist, and how each stores its data bytes.
  std::vector<Group> groups;
  for (FrameGroup kind :
       {FrameGroup::CanData, FrameGroup::CanRemote, FrameGroup::CanError, FrameGroup::Lin}) {
    Group g;
    g.kind = kind;
    g.prefix = prefix_of(kind);
    for (const Frame& f : frames_)
      if (f.group == kind) g.frames.push_back(&f);
    if (g.frames.empty()) continue;
    uint32_t longest = 0;
    for (const Frame* f : g.frames) longest = std::max(longest, f->data_length);
    if (kind == FrameGroup::CanData) {
      g.storage = can_storage_;
      if (g.storage == DataStorage::Auto)
        g.storage = longest > 8 ? DataStorage::SignalData : DataStorage::Fixed;
      // A column-stored data group holds one channel group: no variable-length group there.
      if (column_ && g.storage == DataStorage::VlsdGroup) g.storage = DataStorage::SignalData;
      g.data_width = longest > 8 ? 64 : 8;
    } else if (kind == FrameGroup::Lin) {
      g.storage = lin_storage_ == DataStorage::Auto ? DataStorage::Fixed : lin_storage_;
    }
    groups.push_back(std::move(g));
  }

  // Fields of each group, in the order loggers write them.
  for (Group& g : groups) {
    auto add = [&g](const char* name, Source s, uint32_t width, bool vlsd = false,
                    uint64_t extra = 0) {
      uint32_t offset = g.fields.empty() ? 0 : g.fields.back().offset + g.fields.back().width;
      g.fields.push_back({g.prefix + "." + name, s, offset, width, vlsd, extra});
      if (s == Source::DataBytes) g.fields.back().data_type = DT_BYTE_ARRAY;
    };
    bool vlsd = g.storage == DataStorage::SignalData || g.storage == DataStorage::VlsdGroup;
    switch (g.kind) {
      case FrameGroup::CanData:
        add("BusChannel", Source::BusChannel, 1);
        add("ID", Source::Id, 4);
        add("IDE", Source::Ide, 1);
        add("DLC", Source::Dlc, 1);
        add("DataLength", Source::DataLength, 1);
        add("DataBytes", Source::DataBytes, vlsd ? 8 : g.data_width, vlsd);
        add("Dir", Source::Dir, 1);
        add("EDL", Source::Edl, 1);
        add("BRS", Source::Brs, 1);
        add("ESI", Source::Esi, 1);
        break;
      case FrameGroup::CanRemote:
        add("BusChannel", Source::BusChannel, 1);
        add("ID", Source::Id, 4);
        add("IDE", Source::Ide, 1);
        add("DLC", Source::Dlc, 1);
        add("DataLength", Source::DataLength, 1);
        add("Dir", Source::Dir, 1);
        break;
      case FrameGroup::CanError:
        add("BusChannel", Source::BusChannel, 1);
        add("ID", Source::Id, 4);
        add("IDE", Source::Ide, 1);
        add("DLC", Source::Dlc, 1);
        add("DataLength", Source::DataLength, 1);
        add("DataBytes", Source::DataBytes, 8);
        add("Dir", Source::Dir, 1);
        add("ErrorType", Source::ErrorType, 1);
        break;
      case FrameGroup::Lin:
        add("BusChannel", Source::BusChannel, 1);
        add("ID", Source::Id, 1);
        add("Dir", Source::Dir, 1);
        add("ReceivedDataByteCount", Source::ReceivedCount, 1);
        add("DataLength", Source::DataLength, 1);
        add("DataBytes", Source::DataBytes, 8, vlsd);
        break;
    }
    for (const Extra& e : extras_) {
      if (e.group != g.kind) continue;
      uint32_t offset = g.fields.back().offset + g.fields.back().width;
      g.fields.push_back({e.name, Source::Extra, offset, e.bytes, false, e.value});
    }
    for (Field& f : g.fields)
      for (const auto& [name, type] : field_types_)
        if (f.name == name) f.data_type = type;
    g.data_bytes = time_bytes + g.fields.back().offset + g.fields.back().width;
    for (Field& f : g.fields)
      f.omitted = std::find(omitted_.begin(), omitted_.end(), f.name) != omitted_.end();
  }

  // Data groups: one per group, or one for all. Record ids count from 1 inside a data group.
  std::vector<std::vector<Group*>> dgs;
  for (Group& g : groups) {
    if (layout_ == Layout::Sorted || column_ || dgs.empty()) dgs.emplace_back();
    dgs.back().push_back(&g);
  }
  std::vector<uint8_t> id_sizes;
  for (auto& dg : dgs) {
    uint8_t size = column_ ? 0 : record_id_size_;
    bool has_vlsd_cg = false;
    for (Group* g : dg) has_vlsd_cg |= g->storage == DataStorage::VlsdGroup;
    if (size == 0 && (has_vlsd_cg || dg.size() > 1)) size = 1;
    id_sizes.push_back(size);
    uint64_t next_id = size ? 1 : 0;
    for (Group* g : dg) g->record_id = next_id++;
    for (Group* g : dg)
      if (g->storage == DataStorage::VlsdGroup) g->vlsd_record_id = next_id++;
  }

  Mf4Writer w(IdSpec{.file_id = unfinalised_ ? "UnFinMF " : "MDF     ",
                     .unfinalised_flags = unfinalised_ ? unfinalised_flags_ : uint16_t{0}});
  uint64_t hd =
      w.add_hd({.start_time_ns = start_time_ns_,
                .tz_offset_min = tz_offset_min_,
                .dst_offset_min = dst_offset_min_,
                .time_flags = static_cast<uint8_t>(tz_offset_min_ || dst_offset_min_ ? 2 : 0)});
  std::string xml = comment_xml_.empty()
                        ? logger_comment_xml(serial_, session_, split_, comment_style_)
                        : comment_xml_;
  if (!xml.empty()) w.set_link(hd, HD_COMMENT, w.add_md(xml));
  uint64_t fh_comment = w.add_md(
      "<FHcomment><TX>Written by the test writer</TX><tool_id>tabulon-tests</tool_id>"
      "<tool_vendor>tabulon</tool_vendor><tool_version>1.0</tool_version></FHcomment>");
  w.set_link(hd, HD_FIRST_FH, w.add_fh({.comment = fh_comment, .time_ns = start_time_ns_}));

  uint64_t timestamp_cc = tick_ > 0 ? w.add_cc_linear(tick_, 0) : 0;
  const uint8_t time_type = time_type_ != 0xFF ? time_type_
                            : tick_ > 0        ? uint8_t{DT_UNSIGNED_LE}
                                               : uint8_t{DT_FLOAT_LE};
  const bool time_big_endian =
      time_type == DT_UNSIGNED_BE || time_type == DT_SIGNED_BE || time_type == DT_FLOAT_BE;
  auto master_cn = [&] {
    return w.add_cn({.name = w.add_tx(master_name_),
                     .conversion = timestamp_cc,
                     .channel_type = CN_MASTER,
                     .sync_type = SYNC_TIME,
                     .data_type = time_type,
                     .bit_count = 64});
  };
  std::vector<uint64_t> dg_blocks, master_dgs;
  uint64_t prev_dg = 0;
  auto chain_dg = [&](uint64_t dg) {
    w.set_link(prev_dg ? prev_dg : hd, prev_dg ? DG_NEXT : HD_FIRST_DG, dg);
    prev_dg = dg;
  };
  for (size_t d = 0; d < dgs.size(); ++d) {
    // Column storage: the master's group first, in a data group of its own.
    uint64_t master_cg = 0;
    if (column_) {
      master_cg = w.add_cg({.first_cn = master_cn(),
                            .acq_name = w.add_tx("master"),
                            .cycle_count = dgs[d][0]->frames.size(),
                            .data_bytes = 8});
      master_dgs.push_back(w.add_dg({.first_cg = master_cg}));
      chain_dg(master_dgs.back());
    }
    uint64_t dg = w.add_dg({.record_id_size = id_sizes[d]});
    chain_dg(dg);
    dg_blocks.push_back(dg);
    uint64_t prev_cg = 0;
    auto chain_cg = [&](uint64_t cg) {
      w.set_link(prev_cg ? prev_cg : dg, prev_cg ? CG_NEXT : DG_FIRST_CG, cg);
      prev_cg = cg;
    };
    std::vector<std::pair<Field*, Group*>> vlsd_group_fields;
    for (Group* g : dgs[d]) {
      bool lin = g->kind == FrameGroup::Lin;
      std::string name = lin ? "LIN bus" : "CAN bus";
      for (const auto& [group, text] : acquisition_names_)
        if (group == g->kind) name = text;
      uint64_t acq_name = w.add_tx(name);
      uint64_t si = 0;
      if (source_type_) {
        uint64_t si_name = w.add_tx(lin ? "LIN" : "CAN");
        si = w.add_si(
            {.name = si_name, .source_type = source_type_, .bus_type = lin ? BUS_LIN : BUS_CAN});
      }
      uint16_t flags = CG_FLAG_BUS_EVENT | CG_FLAG_PLAIN_BUS_EVENT;
      uint64_t cg =
          w.add_cg({.acq_name = acq_name,
                    .acq_source = si,
                    .record_id = g->record_id,
                    .cycle_count = g->frames.size(),
                    .flags = static_cast<uint16_t>(column_ ? flags | CG_FLAG_REMOTE_MASTER : flags),
                    .data_bytes = g->data_bytes,
                    .invalidation_bytes = invalidation_bytes_,
                    .master = master_cg});
      chain_cg(cg);
      uint64_t ts = column_ ? 0 : master_cn();
      // The channel the group's first channel link names, and the one whose next link the
      // field channels continue.
      uint64_t chain_from = ts;
      auto follow = [&](uint64_t cn) {
        w.set_link(chain_from ? chain_from : cg, chain_from ? CN_NEXT : CG_FIRST_CN, cn);
      };
      if (ts) w.set_link(cg, CG_FIRST_CN, ts);
      uint64_t first_member = 0, prev_member = 0;
      for (Field& f : g->fields) {
        if (f.omitted) continue;
        f.cn = w.add_cn({.name = w.add_tx(f.name),
                         .channel_type = f.vlsd ? CN_VLSD : CN_FIXED,
                         .data_type = f.data_type,
                         .byte_offset = time_bytes + f.offset,
                         .bit_count = 8 * f.width});
        if (prev_member) w.set_link(prev_member, CN_NEXT, f.cn);
        if (!first_member) first_member = f.cn;
        prev_member = f.cn;
        if (f.vlsd && g->storage == DataStorage::VlsdGroup) vlsd_group_fields.push_back({&f, g});
      }
      if (flat_channels_) {
        follow(first_member);
      } else {
        follow(w.add_cn({.composition = first_member,
                         .name = w.add_tx(g->prefix),
                         .data_type = DT_BYTE_ARRAY,
                         .byte_offset = time_bytes,
                         .bit_count = 8 * (g->data_bytes - time_bytes)}));
      }
    }
    // Variable-length channel groups follow the frame groups of their data group.
    for (auto& [field, g] : vlsd_group_fields) {
      uint64_t size = 0;
      for (const Frame* f : g->frames) size += 4 + f->data_length;
      uint64_t vcg = w.add_cg({.record_id = g->vlsd_record_id,
                               .cycle_count = g->frames.size(),
                               .flags = CG_FLAG_VLSD,
                               .vlsd_size = size});
      chain_cg(vcg);
      w.set_link(field->cn, CN_DATA, vcg);
    }
  }

  // Signal data blocks, then the data blocks, so that the last data block ends the file.
  for (Group& g : groups) {
    if (g.storage != DataStorage::SignalData) continue;
    ByteWriter sd;
    for (const Frame* f : g.frames) {
      g.sd_offsets.push_back(sd.bytes.size());
      sd.u32(f->data_length).raw(payloads_.data() + f->data_offset, f->data_length);
    }
    g.sd = write_data(w, data_blocks_, piece_size_, "SD", sd.bytes, 0);
    for (Field& f : g.fields)
      if (f.vlsd && f.cn) w.set_link(f.cn, CN_DATA, g.sd);
  }

  uint64_t last_dt = 0;
  for (size_t d = 0; d < dgs.size(); ++d) {
    std::vector<Group*>& dg = dgs[d];
    // Frames in insertion order across the data group's groups.
    std::vector<std::pair<const Frame*, Group*>> order;
    for (const Frame& f : frames_)
      for (Group* g : dg)
        if (g->kind == f.group) order.push_back({&f, g});
    std::vector<uint64_t> next_index(groups.size(), 0);
    std::vector<uint64_t> vlsd_offset(groups.size(), 0);
    ByteWriter rec, times;
    for (auto& [f, g] : order) {
      size_t gi = static_cast<size_t>(g - groups.data());
      uint64_t n = next_index[gi]++;
      const uint8_t* payload = payloads_.data() + f->data_offset;
      bool vlsd_before = vlsd_before_, vlsd_unfilled = vlsd_unfilled_;
      for (const VlsdLayout& l : vlsd_layouts_)
        if (l.group == g->kind) vlsd_before = l.before, vlsd_unfilled = l.unfilled;
      if (g->storage == DataStorage::VlsdGroup && vlsd_before)
        rec.uint(g->vlsd_record_id, id_sizes[d]).u32(f->data_length).raw(payload, f->data_length);
      rec.uint(g->record_id, id_sizes[d]);
      ByteWriter& time = column_ ? times : rec;
      uint64_t time_bits;
      if (tick_ > 0) {
        time_bits = static_cast<uint64_t>(std::llround(f->time / tick_));
      } else {
        memcpy(&time_bits, &f->time, 8);
      }
      for (int i = 0; i < 8; ++i) time.u8(time_bits >> (8 * (time_big_endian ? 7 - i : i)) & 0xFF);
      for (const Field& field : g->fields) {
        if (field.source != Source::DataBytes &&
            (field.data_type == DT_UNSIGNED_BE || field.data_type == DT_SIGNED_BE)) {
          for (uint32_t i = field.width; i-- > 0;)
            rec.u8(i < 8 ? field_value(field, *f) >> (8 * i) & 0xFF : 0);
        } else if (field.source != Source::DataBytes) {
          rec.uint(field_value(field, *f), field.width);
        } else if (field.vlsd && g->storage == DataStorage::SignalData) {
          rec.u64(g->sd_offsets[n]);
        } else if (field.vlsd) {
          rec.u64(vlsd_unfilled ? 0 : vlsd_offset[gi]);
          vlsd_offset[gi] += 4 + f->data_length;
        } else {
          uint32_t copied = std::min(field.width, f->data_length);
          rec.raw(payload, copied).zeros(field.width - copied);
        }
      }
      if (!column_) rec.zeros(invalidation_bytes_);
      if (g->storage == DataStorage::VlsdGroup && !vlsd_before)
        rec.uint(g->vlsd_record_id, id_sizes[d]).u32(f->data_length).raw(payload, f->data_length);
    }
    if (column_) {
      w.set_link(master_dgs[d], DG_DATA,
                 write_values(w, data_blocks_, piece_size_, times.bytes, 8, 0));
      last_dt = write_values(w, data_blocks_, piece_size_, rec.bytes, dg[0]->data_bytes,
                             invalidation_bytes_);
    } else {
      uint32_t columns = id_sizes[d] + dg[0]->data_bytes + invalidation_bytes_;
      last_dt = write_data(w, data_blocks_, piece_size_, "DT", rec.bytes, columns);
    }
    w.set_link(dg_blocks[d], DG_DATA, last_dt);
  }
  if (unfinalised_ && last_dt) w.set_length(last_dt, 24);
  return w.take();
}

}  // namespace test
