// The face of the mdf module: from a byte source to bus frames. It unwraps a logger's
// container, opens the MDF file, tells the header's metadata, plans the segments of records
// that parts read apart, and reads the frames of a segment with what it could not read as
// data. Failures come back as status codes; the caller words them.
#pragma once

#include <cstdint>
#include <string_view>

#include "io/stream.h"
#include "mdf/container.h"
#include "mdf/frame_types.h"
#include "mdf/record_types.h"
#include "support/grow_array.h"

struct MdfFile;  // an opened file; its blocks stay inside the module

enum MdfStatus : int32_t {
  MDF_STATUS_OK = 0,
  MDF_STATUS_DECOMPRESS_FAILED = 1,    // a compressed container that does not inflate
  MDF_STATUS_NO_PASSWORD = 2,          // an encrypted container without a password given
  MDF_STATUS_DECRYPT_FAILED = 3,       // a wrong password, or a damaged encrypted container
  MDF_STATUS_UNKNOWN_CONTAINER = 4,    // a container of a type that is not read
  MDF_STATUS_VERSION_UNSUPPORTED = 5,  // an MDF file of a version before 4
  MDF_STATUS_OPEN_FAILED = 6,          // the block tree did not load (the blocks told why)
  MDF_STATUS_NO_ID_BLOCK = 7,
  MDF_STATUS_NO_HD_BLOCK = 8,
};

// A short lower-case name of a status ("decrypt failed").
const char* mdf_status_name(MdfStatus status);

// One container level replaced by its content in *decoded (the outer stream stays open):
// `password` is used for an encrypted container (null: none was found for its device).
MdfStatus frame_source_open_container(Stream* stream, const ContainerHeader* header,
                                      const DynString* password, Stream** decoded);

// Asked once per container level, before it is decoded: the password for it when it is
// encrypted (null: none is known for its device).
using ContainerPasswordFn = const DynString* (*)(void* context, const ContainerHeader* header);

// Unwraps nested containers until a plain file remains. On success *stream is the innermost
// stream (every outer level closed); on failure everything is closed, and *failed holds the
// header of the level that could not be decoded.
MdfStatus frame_source_unwrap(Stream** stream, ContainerPasswordFn password, void* context,
                              ContainerHeader* failed);

// The input under its read buffer: `buffer_size` bytes, 0 for none, or below 0 for the default
// (the whole file; a container, read once from start to end, through a 1 MiB window). The
// stream itself when there is no buffer; null (the stream closed) when the buffer cannot be
// allocated, with *size the size that was tried.
Stream* frame_source_buffer(Stream* stream, int64_t buffer_size, int64_t* size);

// Whether the stream's content is a log the source reads: an MDF identification block or a
// container's header at its start. Reads from the start; the position is not kept.
bool frame_source_is_log(Stream* stream);

// Opens the MDF file over `stream` (not owned; it must outlive the file). On failure *file is
// null and, for MDF_STATUS_VERSION_UNSUPPORTED, *version says the version the file states.
MdfStatus frame_source_open(Stream* stream, MdfFile** file, uint16_t* version);

// Releases the file; its stream stays open.
void frame_source_close(MdfFile* file);

// The header block's metadata: the start time and the XML comment (empty for none or a plain
// text one), valid while the file is open. False when the file has no header block.
struct MdfHeaderInfo {
  uint64_t start_time_ns;
  std::string_view xml_comment;
};
bool frame_source_header(const MdfFile* file, MdfHeaderInfo* info);

// True when a data group of the file holds bus frames of a kind the reader knows.
bool frame_source_has_bus_groups(const MdfFile* file);

// A piece of a file's frames: a whole data group (end UINT64_MAX) or a range of its records.
struct FrameSegment {
  uint32_t data_group;  // ordinal among the file's data groups
  uint64_t begin, end;
};

// The segments of the file in order: each data group with bus frames whole or, with a target
// above 0 and where its records can be cut, in ranges of about `target` bytes. False when
// memory ran out.
bool frame_source_plan(const MdfFile* file, uint64_t target, GrowArray<FrameSegment>* segments);

// Calls `fn` for each channel group that gives frames and has channels that are no frame field
// (whose content reaches no output): its name in messages, the names of those channels (quoted,
// comma-separated) and their count.
using IgnoredChannelsFn = void (*)(void* context, std::string_view group, std::string_view names,
                                   int32_t count);
void frame_source_ignored_channels(const MdfFile* file, IgnoredChannelsFn fn, void* context);

// A bus-logging channel group of a segment's data group whose records gave no frame.
struct IdleGroup {
  uint32_t group_ordinal;  // among the data group's channel groups
  uint64_t records;
  bool lin_error;  // a group of LIN error events
  std::string_view name, why;
};

struct SegmentRead;

// A reader of the segment's frames; false when the file has no such data group. *read is null
// when memory ran out (the segment then counts as unreadable). Notices go to `notices`.
bool segment_read_open(MdfFile* file, const FrameSegment& segment, ReaderNoticeSink notices,
                       SegmentRead** read);
// The next frame (FRAME_NONE for a record that gives none), valid until the next call; null at
// the end of the segment.
const BusFrame* segment_read_next(SegmentRead* read);
// Calls `fn` for each bus-logging channel group whose records gave no frame, with the reason
// its channels give.
void segment_read_idle_groups(const SegmentRead* read,
                              void (*fn)(void* context, const IdleGroup& group), void* context);
// True when the segment's data could not be read to its end.
bool segment_read_failed(const SegmentRead* read);
void segment_read_free(SegmentRead* read);
