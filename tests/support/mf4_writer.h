// Test-only MF4 writer: builds MDF 4.11 files in memory, either block by block (for damaged or
// unusual files) or as whole bus logs the way data loggers lay them out.
//
// Whole bus logs:
//
//   test::BusLogBuilder log;
//   log.start_time_ns(1'699'401'540'000'000'000)   // HD start time, UTC
//       .metadata(0x1A2B3C4D, 12, 3);              // serial, session, split in the HD comment
//   log.add_can_frame(1, 0x100, false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.001);
//   log.add_canfd_frame(2, 0x12345, true, std::vector<uint8_t>(64, 0xAA), 0.002);
//   log.add_can_remote_frame(1, 0x1A0, false, 8, 0.003);
//   log.add_can_error_frame(1, 3, 0.004);           // error type 3
//   log.add_lin_frame(1, 0x21, {0x10, 0x20}, 0.005);
//   std::vector<uint8_t> mf4 = log.build();
//
// Each frame type present gets one channel group ("CAN_DataFrame", "CAN_RemoteFrame",
// "CAN_ErrorFrame", "LIN_Frame"): master channel "Timestamp" (f64 seconds) and a composition
// channel named after the group whose members are the frame fields. layout(Layout::Sorted)
// (the default) gives each group its own data group; layout(Layout::Unsorted, n) puts all groups
// in one data group with n-byte record ids. can_data_storage() chooses how CAN DataBytes are
// stored: fixed byte arrays inside the record, or variable-length data in an SD block or in a
// variable-length channel group. data_blocks() spreads the data over data lists, compressed
// blocks and header lists; column_storage() writes the column layout of MDF 4.20 (LD lists of
// DV blocks, the time in a master group of its own). Options for the odd cases (extra channels,
// invalidation bytes, tick timestamps with a linear conversion, non-bus sources, unfinalised
// files, the master's name, variable-length records before their record) are below.
//
// Block by block:
//
//   test::Mf4Writer w;                                   // ID block at 0
//   uint64_t hd = w.add_hd({.start_time_ns = 0});        // HD at 64
//   uint64_t dg = w.add_dg({.record_id_size = 1});
//   w.set_link(hd, test::HD_FIRST_DG, dg);
//   uint64_t odd = w.add_block("##DL", {0, 0}, {});       // any identifier, links, data
//   std::vector<uint8_t> mf4 = w.take();
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace test {

// Little-endian field assembly for data sections and records.
struct ByteWriter {
  std::vector<uint8_t> bytes;

  ByteWriter& u8(uint64_t v);
  ByteWriter& u16(uint64_t v);
  ByteWriter& u32(uint64_t v);
  ByteWriter& u64(uint64_t v);
  ByteWriter& uint(uint64_t v, uint32_t width);  // width 1..8 bytes
  ByteWriter& f64(double v);
  ByteWriter& f32(float v);
  ByteWriter& zeros(size_t n);
  ByteWriter& raw(const void* data, size_t n);
  ByteWriter& raw(const std::vector<uint8_t>& data) { return raw(data.data(), data.size()); }
  ByteWriter& text(std::string_view s) { return raw(s.data(), s.size()); }
};

// Link indices of each block kind, for Mf4Writer::set_link.
enum : uint32_t {
  HD_FIRST_DG = 0,
  HD_FIRST_FH = 1,
  HD_CHANNEL_HIERARCHY = 2,
  HD_FIRST_ATTACHMENT = 3,
  HD_FIRST_EVENT = 4,
  HD_COMMENT = 5,
  FH_NEXT = 0,
  FH_COMMENT = 1,
  DG_NEXT = 0,
  DG_FIRST_CG = 1,
  DG_DATA = 2,
  DG_COMMENT = 3,
  CG_NEXT = 0,
  CG_FIRST_CN = 1,
  CG_ACQ_NAME = 2,
  CG_ACQ_SOURCE = 3,
  CG_FIRST_SAMPLE_REDUCTION = 4,
  CG_COMMENT = 5,
  CN_NEXT = 0,
  CN_COMPOSITION = 1,
  CN_NAME = 2,
  CN_SOURCE = 3,
  CN_CONVERSION = 4,
  CN_DATA = 5,
  CN_UNIT = 6,
  CN_COMMENT = 7,
  CC_NAME = 0,
  CC_UNIT = 1,
  CC_COMMENT = 2,
  CC_INVERSE = 3,
  SI_NAME = 0,
  SI_PATH = 1,
  SI_COMMENT = 2,
};

// Data types, channel types and flags as stored in the file.
enum : uint8_t {
  DT_UNSIGNED_LE = 0,
  DT_UNSIGNED_BE = 1,
  DT_SIGNED_LE = 2,
  DT_SIGNED_BE = 3,
  DT_FLOAT_LE = 4,
  DT_FLOAT_BE = 5,
  DT_STRING_LATIN1 = 6,
  DT_STRING_UTF8 = 7,
  DT_BYTE_ARRAY = 10,
  DT_MIME_SAMPLE = 11,
};
enum : uint8_t { CN_FIXED = 0, CN_VLSD = 1, CN_MASTER = 2, CN_VIRTUAL_MASTER = 3 };
enum : uint8_t { SYNC_NONE = 0, SYNC_TIME = 1 };
enum : uint8_t { CC_IDENTITY = 0, CC_LINEAR = 1, CC_VALUE_TO_VALUE = 5 };
enum : uint8_t { SOURCE_OTHER = 0, SOURCE_ECU = 1, SOURCE_BUS = 2, SOURCE_IO = 3, SOURCE_TOOL = 4 };
enum : uint8_t { BUS_NONE = 0, BUS_OTHER = 1, BUS_CAN = 2, BUS_LIN = 3, BUS_FLEXRAY = 5 };
enum : uint16_t {
  CG_FLAG_VLSD = 1,
  CG_FLAG_BUS_EVENT = 2,
  CG_FLAG_PLAIN_BUS_EVENT = 4,
  CG_FLAG_REMOTE_MASTER = 8,
};
enum : uint8_t { ZIP_DEFLATE = 0, ZIP_TRANSPOSE_DEFLATE = 1 };
enum : uint32_t { LD_EQUAL_SAMPLES = 1, LD_INVALIDATION = 0x80000000u };
// Standard unfinalised flags of the ID block.
enum : uint16_t {
  UNFIN_CG_CYCLE_COUNTERS = 1,
  UNFIN_SR_CYCLE_COUNTERS = 2,
  UNFIN_LAST_DT_LENGTH = 4,
  UNFIN_LAST_DL_COUNT = 8,
};

struct IdSpec {
  std::string_view file_id = "MDF     ";  // or "UnFinMF "; padded or cut to 8 characters
  std::string_view version = "4.11    ";
  std::string_view program = "tabulon ";
  uint16_t version_number = 411;
  uint16_t unfinalised_flags = 0;
  uint16_t custom_unfinalised_flags = 0;
};

struct HdSpec {
  uint64_t first_dg = 0, first_fh = 0, channel_hierarchy = 0, first_attachment = 0, first_event = 0,
           comment = 0;
  uint64_t start_time_ns = 0;
  int16_t tz_offset_min = 0, dst_offset_min = 0;
  uint8_t time_flags = 0, time_class = 0, flags = 0;
  double start_angle = 0, start_distance = 0;
};

struct FhSpec {
  uint64_t next = 0, comment = 0;
  uint64_t time_ns = 0;
  int16_t tz_offset_min = 0, dst_offset_min = 0;
  uint8_t time_flags = 0;
};

struct DgSpec {
  uint64_t next = 0, first_cg = 0, data = 0, comment = 0;
  uint8_t record_id_size = 0;
};

struct CgSpec {
  uint64_t next = 0, first_cn = 0, acq_name = 0, acq_source = 0, first_sample_reduction = 0,
           comment = 0;
  uint64_t record_id = 0, cycle_count = 0;
  uint16_t flags = 0, path_separator = '.';
  // For a variable-length group (CG_FLAG_VLSD) the two counts together are the 64-bit size of
  // all its records; vlsd_size sets them so.
  uint32_t data_bytes = 0, invalidation_bytes = 0;
  uint64_t vlsd_size = 0;
  uint64_t master = 0;  // a seventh link, to the group holding the master (remote master)
};

struct CnSpec {
  uint64_t next = 0, composition = 0, name = 0, source = 0, conversion = 0, data = 0, unit = 0,
           comment = 0;
  uint8_t channel_type = CN_FIXED, sync_type = SYNC_NONE, data_type = DT_UNSIGNED_LE;
  uint8_t bit_offset = 0;
  uint32_t byte_offset = 0, bit_count = 0, flags = 0, invalidation_bit = 0;
  uint8_t precision = 0;
  uint16_t attachment_count = 0;
  double range_min = 0, range_max = 0, limit_min = 0, limit_max = 0, ext_limit_min = 0,
         ext_limit_max = 0;
  // Extra links past the eight standard ones (attachments, default X), for unusual files.
  std::vector<uint64_t> extra_links{};
};

struct CcSpec {
  uint64_t name = 0, unit = 0, comment = 0, inverse = 0;
  uint8_t type = CC_IDENTITY, precision = 0;
  uint16_t flags = 0, ref_count = 0;
  double phys_min = 0, phys_max = 0;
  std::vector<double> values{};
  // Text-table references past the four standard links, for unusual files.
  std::vector<uint64_t> extra_links{};
};

struct DzSpec {
  std::string_view original_type = "DT";
  uint8_t zip_type = ZIP_DEFLATE;
  uint32_t zip_parameter = 0;  // the columns of a transposition
};

struct SiSpec {
  uint64_t name = 0, path = 0, comment = 0;
  uint8_t source_type = SOURCE_BUS, bus_type = BUS_CAN, flags = 0;
};

// Low-level writer: appends blocks at 8-byte aligned offsets and patches them afterwards.
// Offsets returned are absolute file offsets; the first block added lands at 64.
class Mf4Writer {
 public:
  explicit Mf4Writer(const IdSpec& id = {});

  // Appends a block with identifier `id` ("##HD", or just "HD"), the links and the data
  // section. The length field is 24 + 8 * links + data size unless `declared_length` is given.
  uint64_t add_block(std::string_view id, const std::vector<uint64_t>& links,
                     const std::vector<uint8_t>& data, uint64_t declared_length = 0);
  // Appends bytes as they are, after padding to 8 when `align` is set; returns their offset.
  uint64_t add_raw(const std::vector<uint8_t>& bytes, bool align = true);

  uint64_t add_tx(std::string_view text);
  uint64_t add_md(std::string_view xml);
  uint64_t add_hd(const HdSpec& spec);
  uint64_t add_fh(const FhSpec& spec);
  uint64_t add_dg(const DgSpec& spec);
  uint64_t add_cg(const CgSpec& spec);
  uint64_t add_cn(const CnSpec& spec);
  uint64_t add_cc(const CcSpec& spec);
  uint64_t add_cc_linear(double factor, double offset);
  // Pairs of (key, value) for a value-to-value table.
  uint64_t add_cc_table(const std::vector<std::pair<double, double>>& pairs);
  uint64_t add_si(const SiSpec& spec);
  uint64_t add_dt(const std::vector<uint8_t>& data);
  // A signal-data block of the entries, each stored as a 4-byte length and its bytes; the
  // offset of each entry inside the data section goes to `entry_offsets` when given.
  uint64_t add_sd(const std::vector<std::vector<uint8_t>>& entries,
                  std::vector<uint64_t>* entry_offsets = nullptr);
  // A data list of `blocks` chained to `next`: with equal_length the equal-length flag and that
  // length, otherwise one logical start offset per block.
  uint64_t add_dl(const std::vector<uint64_t>& blocks, uint64_t equal_length,
                  const std::vector<uint64_t>& offsets = {}, uint64_t next = 0);
  // The bytes of a data section compressed with zlib (transposed first for zip type 1). The
  // original and compressed lengths are at data_offset + 8 and + 16 for patching.
  uint64_t add_dz(const DzSpec& spec, const std::vector<uint8_t>& original);
  uint64_t add_hl(uint64_t first_dl, uint8_t zip_type = ZIP_DEFLATE);
  // A list of value blocks (and invalidation blocks, when given, one per value block): with
  // equal_samples the equal-sample-count flag, otherwise the first sample index of each block.
  uint64_t add_ld(const std::vector<uint64_t>& values, const std::vector<uint64_t>& invalidation,
                  uint64_t equal_samples, const std::vector<uint64_t>& sample_offsets = {},
                  uint64_t next = 0);

  // Patching. Offsets are absolute; a write past the end of the file aborts the test program.
  void set_link(uint64_t block, uint32_t index, uint64_t target);
  uint64_t link(uint64_t block, uint32_t index) const;
  void set_length(uint64_t block, uint64_t length);
  uint64_t length(uint64_t block) const;
  uint64_t data_offset(uint64_t block) const;  // absolute offset of the block's data section
  void patch_u8(uint64_t at, uint8_t v);
  void patch_u16(uint64_t at, uint16_t v);
  void patch_u32(uint64_t at, uint32_t v);
  void patch_u64(uint64_t at, uint64_t v);
  void patch_bytes(uint64_t at, const void* data, size_t n);
  void set_unfinalised_flags(uint16_t standard, uint16_t custom = 0);
  void set_file_id(std::string_view id);

  uint64_t size() const { return bytes_.size(); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  void align();
  void check_range(uint64_t at, uint64_t n) const;
  std::vector<uint8_t> bytes_;
};

// The XML of the logger's header comment.
enum class CommentStyle {
  Flat,    // <common_properties> holds the "serial number", "session" and "split" entries
  Nested,  // the entries inside <tree> elements of <common_properties>
  None,    // no header comment at all
};

enum class Layout {
  Sorted,    // one data group per channel group
  Unsorted,  // one data group for all channel groups, records prefixed with their record id
};

enum class DataStorage {
  Auto,        // fixed byte arrays of 8 bytes, or signal data when any payload exceeds 8
  Fixed,       // a byte array inside the record, as wide as the longest payload (8 or 64)
  SignalData,  // variable-length channel whose payloads live in an SD block
  VlsdGroup,   // variable-length channel whose payloads are records of a variable-length
               // channel group written right after each frame record (implies record ids)
};

// How the builder writes each data section (the records of a data group, the signal data).
enum class DataBlocks {
  Plain,        // one DT (SD) block
  List,         // data lists (at most three entries each, chained) of piece_size-byte blocks,
                // with the equal-length flag
  ListOffsets,  // the same with the offset of each block
  Deflate,      // DZ blocks of zip type 0: one, or with piece_size a data list of them
  Transposed,   // as Deflate, records with zip type 1 (zip parameter: the first group's record)
  HeaderList,   // a header list over a data list of transposed DZ blocks of piece_size bytes
};

// The frame-type channel groups the builder writes.
enum class FrameGroup { CanData, CanRemote, CanError, Lin };

// Optional CAN data-frame flags.
struct CanFlags {
  bool dir = false;  // transmitted (1) rather than received (0)
  bool brs = false;
  bool esi = false;
  int dlc = -1;  // the DLC field; -1 derives it from the payload length
};

// High-level builder of bus logs.
class BusLogBuilder {
 public:
  BusLogBuilder& start_time_ns(uint64_t ns);
  BusLogBuilder& timezone(int16_t offset_min, int16_t dst_min = 0);
  BusLogBuilder& metadata(uint32_t serial, uint32_t session, uint32_t split);
  BusLogBuilder& comment_style(CommentStyle style);
  BusLogBuilder& comment_xml(std::string xml);  // replaces the generated header comment
  BusLogBuilder& layout(Layout layout, uint8_t record_id_size = 1);
  // Sorted layout with record ids anyway: each data group holds one channel group and its
  // records still carry an id prefix of this size.
  BusLogBuilder& record_id_size(uint8_t size);
  BusLogBuilder& can_data_storage(DataStorage storage);
  BusLogBuilder& lin_data_storage(DataStorage storage);  // Fixed or SignalData
  // Members listed directly in the channel group instead of inside a composition channel.
  BusLogBuilder& flat_channels(bool flat = true);
  // Stores "Timestamp" as an unsigned 64-bit tick count with a linear conversion of factor
  // `seconds_per_tick` (for example 1e-6) instead of an f64 value.
  BusLogBuilder& timestamp_ticks(double seconds_per_tick);
  // The master's data type: an integer type for ticks, DT_FLOAT_LE (the default) or
  // DT_FLOAT_BE for seconds; 8 bytes each, big-endian types written most significant first.
  BusLogBuilder& timestamp_type(uint8_t type);
  // Declares `n` invalidation bytes per record in every frame group (written as zeros).
  BusLogBuilder& invalidation_bytes(uint32_t n);
  // An additional unsigned channel of `bytes` bytes with the value `value` in every record of
  // the group, appended after the standard fields; any name is allowed.
  BusLogBuilder& extra_channel(FrameGroup group, std::string name, uint64_t value = 0,
                               uint32_t bytes = 1);
  // Stores the field channel `name` ("CAN_DataFrame.ID", an extra channel ...) with data type
  // `type`: the channel block says so, and a big-endian integer type's record bytes are written
  // most significant first. DataBytes keeps its bytes as they are (a string type, say).
  BusLogBuilder& field_data_type(std::string name, uint8_t type);
  // Leaves out the field channel `name` ("CAN_DataFrame.DataLength"), as writers that log
  // fewer fields do; its bytes stay in the record.
  BusLogBuilder& omit_field(std::string name);
  // The channel group's acquisition name ("CAN bus" or "LIN bus" by default).
  BusLogBuilder& acquisition_name(FrameGroup group, std::string name);
  // Acquisition source type of every frame group (SOURCE_BUS by default); 0 writes no SI.
  BusLogBuilder& source_type(uint8_t type);
  // Writes the file as a logger leaves it when cut off: identifier "UnFinMF ", unfinalised
  // flags `flags`, and the last data block's length covering only its header.
  BusLogBuilder& unfinalised(uint16_t flags = UNFIN_CG_CYCLE_COUNTERS | UNFIN_LAST_DT_LENGTH);
  // Pieces of piece_size bytes (0: one block) split records anywhere, also inside a record.
  BusLogBuilder& data_blocks(DataBlocks form, uint64_t piece_size = 0);
  // MDF 4.20 column storage (sorted layout only): each frame group in a data group of its own
  // without the master, whose data is an LD list of DV blocks (DZ blocks of them when
  // data_blocks compresses, pieces of whole records), invalidation bytes in DI blocks; the
  // master channel in a group of another data group that the remote-master link names.
  BusLogBuilder& column_storage(bool on = true);
  // VlsdGroup storage: each variable-length record before the record that refers to it.
  BusLogBuilder& vlsd_before_record(bool before = true);
  // Both of the above for one frame group only, so that one file mixes the two layouts.
  BusLogBuilder& vlsd_layout_of(FrameGroup group, bool before, bool unfilled);
  // VlsdGroup storage: the records hold 0 as their payload's offset, as a logger that writes
  // each variable-length record right after its parent does.
  BusLogBuilder& vlsd_offsets_unfilled(bool unfilled = true);
  // The name of the master channel ("Timestamp" by default).
  BusLogBuilder& master_name(std::string name);

  void add_can_frame(uint8_t channel, uint32_t id, bool extended, const std::vector<uint8_t>& data,
                     double time, CanFlags flags = {});
  void add_canfd_frame(uint8_t channel, uint32_t id, bool extended,
                       const std::vector<uint8_t>& data, double time, bool brs = true,
                       bool esi = false, bool dir = false);
  void add_can_remote_frame(uint8_t channel, uint32_t id, bool extended, uint8_t dlc, double time,
                            bool dir = false);
  void add_can_error_frame(uint8_t channel, uint32_t error_type, double time, uint32_t id = 0);
  void add_lin_frame(uint8_t channel, uint32_t id, const std::vector<uint8_t>& data, double time,
                     bool dir = false);

  size_t frame_count() const { return frames_.size(); }
  std::vector<uint8_t> build() const;

  struct Frame {
    FrameGroup group;
    uint8_t channel, dlc, dir, edl, brs, esi, ide;
    uint32_t id, error_type;
    uint32_t data_offset, data_length;  // payload inside payloads_
    double time;
  };
  struct Extra {
    FrameGroup group;
    std::string name;
    uint64_t value;
    uint32_t bytes;
  };

 private:
  void add(const Frame& frame, const std::vector<uint8_t>& data);

  uint64_t start_time_ns_ = 1'699'401'540'000'000'000ULL;  // 2023-11-07 23:59:00 UTC
  int16_t tz_offset_min_ = 0, dst_offset_min_ = 0;
  uint32_t serial_ = 0x1A2B3C4D, session_ = 1, split_ = 1;
  CommentStyle comment_style_ = CommentStyle::Flat;
  std::string comment_xml_;
  Layout layout_ = Layout::Sorted;
  uint8_t record_id_size_ = 0;
  DataStorage can_storage_ = DataStorage::Auto;
  DataStorage lin_storage_ = DataStorage::Fixed;
  bool flat_channels_ = false;
  double tick_ = 0;
  uint8_t time_type_ = 0xFF;  // 0xFF: by tick_
  uint32_t invalidation_bytes_ = 0;
  std::vector<Extra> extras_;
  std::vector<std::pair<FrameGroup, std::string>> acquisition_names_;
  std::vector<std::pair<std::string, uint8_t>> field_types_;
  std::vector<std::string> omitted_;
  uint8_t source_type_ = SOURCE_BUS;
  bool unfinalised_ = false;
  uint16_t unfinalised_flags_ = 0;
  DataBlocks data_blocks_ = DataBlocks::Plain;
  uint64_t piece_size_ = 0;
  bool column_ = false;
  bool vlsd_before_ = false;
  bool vlsd_unfilled_ = false;
  struct VlsdLayout {
    FrameGroup group;
    bool before, unfilled;
  };
  std::vector<VlsdLayout> vlsd_layouts_;
  std::string master_name_ = "Timestamp";
  std::vector<Frame> frames_;
  std::vector<uint8_t> payloads_;
};

// Rows of `columns` bytes stored column by column, the bytes after the last whole row as they
// are (how zip type 1 transposes before deflating).
std::vector<uint8_t> transpose_bytes(const std::vector<uint8_t>& data, uint32_t columns);

// The DLC that announces `length` payload bytes (the smallest CAN FD length that holds them).
uint8_t can_dlc_for_length(size_t length);
// The header comment XML for serial (written as 8 upper-case hex digits), session and split.
std::string logger_comment_xml(uint32_t serial, uint32_t session, uint32_t split,
                               CommentStyle style);

}  // namespace test
