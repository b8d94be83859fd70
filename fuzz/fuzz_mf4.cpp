// Fuzz target: opens arbitrary bytes as an MDF 4 file, reads the logger's header comment and
// every frame of every data group, the way the conversion pipeline does.
#include <cstddef>
#include <cstdint>

#include "common.h"
#include "decode/file_metadata.h"
#include "mdf/block.h"
#include "mdf/blocks.h"
#include "mdf/bus_frames.h"
#include "mdf/mdf_file.h"
#include "mdf/records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_logs();
  Stream* stream = fuzz::memory_stream_of(data, size);
  if (!stream) return 0;
  MdfFile* file = mdf_open(stream);
  if (file) {
    HdBlock* hd = mdf_hd(file);
    if (mdf_id(file) && hd) {
      FileMetadata metadata{};
      read_file_metadata(file, &metadata);
      file_metadata_destroy(&metadata);
      (void)file_start_time_seconds(file);
      uint64_t frames = 0;
      for (const BlockRef& ref : hd->data_groups) {
        DgBlock* dg = dg_block(ref);
        if (!dg || dg->channel_groups.count == 0) continue;
        RecordReader* reader = record_reader_new(dg);
        if (!reader) continue;
        RecordIterator it;
        for (record_iter_begin(&it, reader); it.frame; record_iter_next(&it)) {
          // Touch every stored payload byte (the length is the logged value and may claim more
          // than the data area holds) so that a frame pointing elsewhere is caught.
          const BusFrame* f = it.frame;
          uint64_t area = f->kind == FRAME_LIN ? LIN_DATA_AREA : CAN_DATA_AREA;
          uint64_t n = f->data ? (f->data_length < area ? f->data_length : area) : 0;
          uint8_t sum = 0;
          for (uint64_t i = 0; i < n; ++i) sum ^= f->data[i];
          frames += sum + 1;
        }
        record_reader_free(reader);
      }
      (void)frames;
    }
    mdf_close(file);
  }
  stream_close(stream);
  return 0;
}
