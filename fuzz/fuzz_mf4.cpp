// Fuzz target: opens arbitrary bytes as an MDF 4 file through the frame source, reads the
// logger's header comment and every frame of the planned segments, the way the conversion
// pipeline does.
#include <cstddef>
#include <cstdint>

#include "common.h"
#include "decode/file_metadata.h"
#include "mdf/frame_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_logs();
  Stream* stream = fuzz::memory_stream_of(data, size);
  if (!stream) return 0;
  MdfFile* file = nullptr;
  uint16_t version = 0;
  if (frame_source_open(stream, &file, &version) == MDF_STATUS_OK) {
    FileMetadata metadata{};
    read_file_metadata(file, &metadata);
    file_metadata_destroy(&metadata);
    (void)file_start_time_seconds(file);
    frame_source_ignored_channels(
        file, [](void*, std::string_view, std::string_view, int32_t) {}, nullptr);
    GrowArray<FrameSegment> segments{};
    // Ranges of about 1 KiB, so that small inputs are cut as large ones are.
    frame_source_plan(file, 1024, &segments);
    uint64_t frames = 0;
    for (const FrameSegment& segment : segments) {
      SegmentRead* read = nullptr;
      if (!segment_read_open(file, segment, ReaderNoticeSink{}, &read)) continue;
      for (const BusFrame* f; (f = segment_read_next(read));) {
        // Touch every stored payload byte (the length is the logged value and may claim more
        // than the data area holds) so that a frame pointing elsewhere is caught.
        uint64_t area = f->kind == FRAME_LIN ? LIN_DATA_AREA : CAN_DATA_AREA;
        uint64_t n = f->data ? (f->data_length < area ? f->data_length : area) : 0;
        uint8_t sum = 0;
        for (uint64_t i = 0; i < n; ++i) sum ^= f->data[i];
        frames += sum + 1;
      }
      segment_read_idle_groups(
          read, [](void*, const IdleGroup&) {}, nullptr);
      segment_read_free(read);
    }
    (void)frames;
    grow_array_free(&segments);
    frame_source_close(file);
  }
  stream_close(stream);
  return 0;
}
