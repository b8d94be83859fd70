// Helpers of the MDF reader tests: opening an in-memory file, capturing log lines, and
// reading every record of a data group.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "io/stream.h"
#include "mdf/block.h"
#include "mdf/blocks.h"
#include "mdf/mdf_file.h"
#include "mdf/records.h"
#include "support/log.h"
#include "support/test_util.h"

namespace mdftest {

// Holds the bytes in a memory stream and the file opened on it (null when the open failed).
struct Opened {
  Stream* stream = nullptr;
  MdfFile* file = nullptr;

  explicit Opened(const std::vector<uint8_t>& bytes) {
    stream = memory_stream_new();
    if (!bytes.empty()) stream_write(stream, bytes.data(), bytes.size());
    stream_seek(stream, 0, SEEK_FROM_START);
    file = mdf_open(stream);
  }
  ~Opened() {
    mdf_close(file);
    stream_close(stream);
  }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;

  HdBlock* hd() const { return mdf_hd(file); }
  DgBlock* dg(int32_t i) const {
    HdBlock* h = hd();
    return h && i < h->data_groups.count ? dg_block(h->data_groups.first[i]) : nullptr;
  }
};

// Sends log lines to a file for the lifetime of the capture.
struct LogCapture {
  test::TempDir dir;
  std::string path = dir.file("log.txt");
  int fd = -1;
  LogCapture() {
    fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    log_set_output_fd(fd);
  }
  ~LogCapture() {
    log_set_output_fd(2);
    if (fd >= 0) close(fd);
  }
  std::string text() const { return test::read_text(path); }
  // How many times `needle` occurs in the log.
  int count(const std::string& needle) const {
    std::string t = text();
    int n = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
    return n;
  }
};

// One record as read: its group's record id, data bytes and variable-length entries.
struct ReadRecord {
  uint64_t record_id;
  std::vector<uint8_t> bytes;
  std::vector<std::vector<uint8_t>> entries;
  std::vector<bool> lost;  // per entry: its bytes could not be read
};

inline std::vector<ReadRecord> read_all(DgBlock* dg, size_t limit = 1u << 24) {
  std::vector<ReadRecord> out;
  RecordReader* r = record_reader_new(dg);
  while (out.size() < limit && record_reader_next(r)) {
    ReadRecord rec{r->layout->group->record_id,
                   {r->view.record_bytes, r->view.record_bytes + r->view.record_length},
                   {},
                   {}};
    uint64_t cursor = 0;
    const uint8_t* p;
    uint64_t n;
    while (record_view_next_entry(&r->view, &cursor, &p, &n)) {
      rec.entries.emplace_back(p, p + n);
      rec.lost.push_back(p == nullptr);
    }
    out.push_back(std::move(rec));
  }
  record_reader_free(r);
  return out;
}

// Frames of a data group by kind (index = FrameKind).
inline std::vector<int> frame_counts(DgBlock* dg) {
  std::vector<int> counts(5, 0);
  RecordReader* r = record_reader_new(dg);
  RecordIterator it;
  for (record_iter_begin(&it, r); it.frame; record_iter_next(&it))
    if (it.frame->kind < 5) ++counts[it.frame->kind];
  record_reader_free(r);
  return counts;
}

}  // namespace mdftest
