// The writer interface's common rules, held against a format that keeps its rows in memory.
#include "output/output_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/test_util.h"

namespace {

struct MemoryWriter {
  OutputWriter base;
  std::string* rows;
};

// What the format was asked, across its writers.
struct Calls {
  std::string rows;
  int finished = 0, freed = 0;
  bool refuse = false;
} calls;

OutputWriter* memory_open(int, const char*, std::string_view header, std::string_view, uint32_t,
                          bool) {
  auto* w = static_cast<MemoryWriter*>(calloc(1, sizeof(MemoryWriter)));
  w->rows = &calls.rows;
  calls.rows.append(header);
  return &w->base;
}
bool memory_write(OutputWriter* w, std::string_view rows) {
  if (calls.refuse) return false;
  reinterpret_cast<MemoryWriter*>(w)->rows->append(rows);
  return true;
}
bool memory_flush(OutputWriter*) { return true; }
uint64_t memory_size(const OutputWriter*) { return calls.rows.size(); }
bool memory_finish(OutputWriter*) { return ++calls.finished > 0; }
void memory_free(OutputWriter* w) {
  calls.freed += 1;
  free(w);
}
constexpr WriterOps MEMORY_FORMAT{".mem",       false,       memory_open,   memory_write, nullptr,
                                  memory_flush, memory_size, memory_finish, memory_free};

struct InstalledFormat {
  InstalledFormat() {
    calls = Calls{};
    output_set_format(&MEMORY_FORMAT);
  }
  ~InstalledFormat() { output_set_format(nullptr); }
};

}  // namespace

TEST(WriterInterface, InstalledFormatTakesTheRowsAndFinishesTheFile) {
  test::TempDir dir;
  InstalledFormat format;
  EXPECT_STREQ(output_file_extension(), ".mem");
  OutputWriter* w = writer_open(dir.file("a").c_str(), "t,x\n", 1);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(std::string(writer_path(w)), dir.file("a.mem"));
  EXPECT_FALSE(writer_write(w, "1,2\n", 2));  // another column count: refused, nothing taken
  EXPECT_TRUE(writer_write(w, "1,2\n", 1));
  EXPECT_EQ(writer_size(w), 8u);
  EXPECT_TRUE(writer_close(w));
  EXPECT_EQ(calls.rows, "t,x\n1,2\n");
  EXPECT_EQ(calls.finished, 1);
  EXPECT_EQ(calls.freed, 1);
}

TEST(WriterInterface, RefusedRowsFailTheWriterAndLeaveTheFileUnfinished) {
  test::TempDir dir;
  InstalledFormat format;
  OutputWriter* w = writer_open(dir.file("a").c_str(), "t,x\n", 1);
  ASSERT_NE(w, nullptr);
  calls.refuse = true;
  EXPECT_FALSE(writer_write(w, "1,2\n", 1));
  calls.refuse = false;
  EXPECT_FALSE(writer_write(w, "3,4\n", 1));  // a failed writer takes no more
  EXPECT_FALSE(writer_flush(w));
  EXPECT_FALSE(writer_close(w));
  EXPECT_EQ(calls.rows, "t,x\n");
  EXPECT_EQ(calls.finished, 0);
  EXPECT_EQ(calls.freed, 1);
}
