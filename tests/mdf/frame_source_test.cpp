// Tests of the frame source: the status codes of opening containers and files, the header's
// metadata, and reading a planned segment's frames.
#include "mdf/frame_source.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/container_writer.h"
#include "support/memory_stream.h"
#include "support/mf4_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using test::StreamPtr;

Bytes two_frame_log() {
  test::BusLogBuilder log;
  log.start_time_ns(1'699'401'540'000'000'000).metadata(0x1A2B3C4D, 12, 3);
  log.add_can_frame(1, 0x100, false, {1, 2, 3, 4, 5, 6, 7, 8}, 0.001);
  log.add_lin_frame(1, 0x21, {0x10, 0x20}, 0.005);
  return log.build();
}

// The status of opening the first container level of `file` (with `password`, or none).
MdfStatus open_container(const Bytes& file, const char* password, Bytes* content = nullptr) {
  StreamPtr s(test::memory_stream_with(file));
  ContainerHeader header{};
  EXPECT_TRUE(container_read_header(s.get(), &header));
  DynString key{};
  if (password) dynstring_from(&key, password);
  Stream* decoded = nullptr;
  MdfStatus status =
      frame_source_open_container(s.get(), &header, password ? &key : nullptr, &decoded);
  if (content && decoded) *content = test::stream_bytes(decoded_container_content(decoded));
  EXPECT_EQ(decoded != nullptr, status == MDF_STATUS_OK);
  stream_close(decoded);
  dynstring_free(&key);
  return status;
}

MdfStatus open_file(const Bytes& file, uint16_t* version = nullptr) {
  StreamPtr s(test::memory_stream_with(file));
  MdfFile* opened = nullptr;
  uint16_t stated = 0;
  MdfStatus status = frame_source_open(s.get(), &opened, &stated);
  EXPECT_EQ(opened != nullptr, status == MDF_STATUS_OK);
  frame_source_close(opened);
  if (version) *version = stated;
  return status;
}

TEST(FrameSource, ContainerStatuses) {
  Bytes log = two_frame_log();
  Bytes content;
  EXPECT_EQ(open_container(test::make_encrypted_container(log, 7, "secret"), "secret", &content),
            MDF_STATUS_OK);
  EXPECT_EQ(content, log);
  EXPECT_EQ(open_container(test::make_encrypted_container(log, 7, "secret"), nullptr),
            MDF_STATUS_NO_PASSWORD);
  EXPECT_EQ(open_container(test::make_encrypted_container(log, 7, "secret"), "other"),
            MDF_STATUS_DECRYPT_FAILED);
  Bytes garbled = test::make_compressed_container(log, 7);
  garbled.back() ^= 1;  // the footer's CRC no longer matches
  EXPECT_EQ(open_container(garbled, nullptr), MDF_STATUS_DECOMPRESS_FAILED);
  Bytes unknown = test::container_header_bytes(0x33, 7, 0, 0);
  unknown.insert(unknown.end(), log.begin(), log.end());
  EXPECT_EQ(open_container(unknown, "secret"), MDF_STATUS_UNKNOWN_CONTAINER);
  EXPECT_STREQ(mdf_status_name(MDF_STATUS_DECRYPT_FAILED), "decrypt failed");
  EXPECT_STREQ(mdf_status_name(MDF_STATUS_NO_HD_BLOCK), "no header block");
}

// Unwraps `file` with one password for every device; the status, the header of a level that
// failed and the plain bytes.
MdfStatus unwrap(const Bytes& file, const char* password, ContainerHeader* failed, Bytes* plain) {
  Stream* s = test::memory_stream_with(file);
  DynString key{};
  dynstring_from(&key, password);
  auto ask = [](void* context, const ContainerHeader*) -> const DynString* {
    return static_cast<const DynString*>(context);
  };
  MdfStatus status = frame_source_unwrap(&s, ask, &key, failed);
  if (status == MDF_STATUS_OK) {
    *plain = test::stream_bytes(s);
    stream_close(s);
  }
  dynstring_free(&key);
  return status;
}

TEST(FrameSource, NestedContainersUnwrapToThePlainFileOrTellTheLevelThatFailed) {
  Bytes log = two_frame_log();
  Bytes nested = test::make_encrypted_container(test::make_compressed_container(log, 5), 6, "pw");
  ContainerHeader failed{};
  Bytes plain;
  ASSERT_EQ(unwrap(nested, "pw", &failed, &plain), MDF_STATUS_OK);
  EXPECT_EQ(plain, log);
  Bytes inner_damaged = test::make_compressed_container(log, 5);
  inner_damaged.back() ^= 1;
  EXPECT_EQ(unwrap(test::make_encrypted_container(inner_damaged, 6, "pw"), "pw", &failed, &plain),
            MDF_STATUS_DECOMPRESS_FAILED);
  EXPECT_EQ(failed.device_serial, 5u);
  EXPECT_EQ(unwrap(nested, "other", &failed, &plain), MDF_STATUS_DECRYPT_FAILED);
  EXPECT_EQ(failed.device_serial, 6u);
}

TEST(FrameSource, FileStatuses) {
  Bytes log = two_frame_log();
  EXPECT_EQ(open_file(log), MDF_STATUS_OK);
  EXPECT_EQ(open_file(Bytes(log.begin(), log.begin() + 100)), MDF_STATUS_OPEN_FAILED);
  EXPECT_EQ(open_file(Bytes(200, 0x5A)), MDF_STATUS_OPEN_FAILED);
  Bytes old = log;
  old[28] = 330 & 0xFF;
  old[29] = 330 >> 8;
  uint16_t version = 0;
  EXPECT_EQ(open_file(old, &version), MDF_STATUS_VERSION_UNSUPPORTED);
  EXPECT_EQ(version, 330);
}

TEST(FrameSource, HeaderPlanAndFrames) {
  StreamPtr s(test::memory_stream_with(two_frame_log()));
  MdfFile* file = nullptr;
  uint16_t version = 0;
  ASSERT_EQ(frame_source_open(s.get(), &file, &version), MDF_STATUS_OK);
  MdfHeaderInfo header{};
  ASSERT_TRUE(frame_source_header(file, &header));
  EXPECT_EQ(header.start_time_ns, 1'699'401'540'000'000'000u);
  EXPECT_NE(header.xml_comment.find("1A2B3C4D"), std::string_view::npos);
  EXPECT_TRUE(frame_source_has_bus_groups(file));

  GrowArray<FrameSegment> segments{};
  ASSERT_TRUE(frame_source_plan(file, 0, &segments));
  ASSERT_EQ(segments.count, 2);  // one data group per frame type, each whole
  std::vector<FrameKind> kinds;
  for (const FrameSegment& segment : segments) {
    EXPECT_EQ(segment.begin, 0u);
    EXPECT_EQ(segment.end, UINT64_MAX);
    SegmentRead* read = nullptr;
    ASSERT_TRUE(segment_read_open(file, segment, ReaderNoticeSink{}, &read));
    for (const BusFrame* frame; (frame = segment_read_next(read));) kinds.push_back(frame->kind);
    EXPECT_FALSE(segment_read_failed(read));
    segment_read_free(read);
  }
  EXPECT_EQ(kinds, (std::vector<FrameKind>{FRAME_CAN_DATA, FRAME_LIN}));
  SegmentRead* none = nullptr;
  EXPECT_FALSE(segment_read_open(file, FrameSegment{9, 0, UINT64_MAX}, ReaderNoticeSink{}, &none));
  grow_array_free(&segments);
  frame_source_close(file);
}

}  // namespace
