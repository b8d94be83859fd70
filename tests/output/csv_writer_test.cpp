// CSV files: header, number formatting, the per-count row formats against the general one,
// refused rows, and write failures that must reach the caller.
#include "output/csv_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "decode/frame_decoder.h"
#include "decode_test_helpers.h"
#include "output/output_writer.h"
#include "support/test_util.h"

namespace {

double out_of_range_nan() {
  double value;
  uint64_t bits = OUT_OF_RANGE_NAN_BITS;
  memcpy(&value, &bits, sizeof value);
  return value;
}

// The buffer size of a writer of the CSV format.
uint32_t csv_capacity(const OutputWriter* writer) {
  return reinterpret_cast<const CsvWriter*>(writer)->capacity;
}

TEST(CsvWriter, WholeFile) {
  test::TempDir dir;
  const char* names[] = {"Speed", "Rpm", "Odd,Name"};
  OutputWriter* w = writer_open_names(dir.file("out").c_str(), names, 3);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(std::string(writer_path(w)), dir.file("out.csv"));
  double row1[] = {1.25, -3, 0};
  double row2[] = {out_of_range_nan(), -0.0, INFINITY};
  double row3[] = {NAN, 2.0000005, -1e-7};
  EXPECT_TRUE(decodetest::write_row(w, 12.5, row1, 3));
  EXPECT_TRUE(decodetest::write_row(w, 1699315199.9, row2, 3));
  EXPECT_TRUE(decodetest::write_row(w, 0, row3, 3));
  EXPECT_TRUE(writer_close(w));
  EXPECT_EQ(test::read_text(dir.file("out.csv")),
            "t,Speed,Rpm,Odd,Name\n"
            "12.500000,1.250000,-3.000000,0.000000\n"
            "1699315199.900000,-NaN,-0.000000,Inf\n"
            "0.000000,NaN,2.000001,-0.000000\n");
}

TEST(CsvWriter, HeaderWithoutNames) {
  test::TempDir dir;
  OutputWriter* w = writer_open_names(dir.file("empty").c_str(), nullptr, 0);
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(writer_close(w));
  EXPECT_EQ(test::read_text(dir.file("empty.csv")), "t\n");
}

// Counts 1 to 9 use their own format strings, larger ones a format per value; every count must
// give what "%f" per field gives (finite values print the same with the C library).
TEST(CsvWriter, EveryRowWidthFormatsLikePerFieldPrintf) {
  test::TempDir dir;
  for (uint32_t count = 1; count <= 14; ++count) {
    std::vector<std::string> name_texts;
    std::vector<const char*> names;
    std::vector<double> values;
    for (uint32_t i = 0; i < count; ++i) name_texts.push_back("s" + std::to_string(i));
    for (auto& n : name_texts) names.push_back(n.c_str());
    std::string expected = "t";
    for (auto& n : name_texts) expected += "," + n;
    expected += "\n";
    char field[64];
    snprintf(field, sizeof field, "%f", 1700000000.5 + count);
    expected += field;
    for (uint32_t i = 0; i < count; ++i) {
      values.push_back((i % 2 ? -1.0 : 1.0) * (i * 1000.0 + 0.123456789 * count));
      snprintf(field, sizeof field, ",%f", values.back());
      expected += field;
    }
    expected += "\n";
    std::string path = dir.file("w" + std::to_string(count));
    OutputWriter* w = writer_open_names(path.c_str(), names.data(), count);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(decodetest::write_row(w, 1700000000.5 + count, values.data(), count));
    EXPECT_TRUE(writer_close(w));
    std::string text = test::read_text(path + ".csv");
    EXPECT_EQ(text, expected) << "count " << count;
    std::string last_line = text.substr(text.find('\n') + 1);
    EXPECT_EQ(std::count(last_line.begin(), last_line.end(), ','), static_cast<long>(count));
  }
}

TEST(CsvWriter, RefusedRowsWriteNothing) {
  test::TempDir dir;
  const char* names[] = {"A", "B"};
  OutputWriter* w = writer_open_names(dir.file("r").c_str(), names, 2);
  ASSERT_NE(w, nullptr);
  double values[] = {1, 2, 3};
  EXPECT_FALSE(decodetest::write_row(w, 1, values, 1));
  EXPECT_FALSE(decodetest::write_row(w, 1, values, 3));
  EXPECT_FALSE(decodetest::write_row(nullptr, 1, values, 2));
  EXPECT_TRUE(decodetest::write_row(w, 1, values, 2));
  EXPECT_TRUE(writer_close(w));
  EXPECT_TRUE(writer_close(nullptr));
  EXPECT_EQ(test::read_text(dir.file("r.csv")), "t,A,B\n1.000000,1.000000,2.000000\n");
}

TEST(CsvWriter, OpenTruncatesAndFailsWithoutFolder) {
  test::TempDir dir;
  ASSERT_TRUE(test::write_file(dir.file("old.csv"), std::string("previous content\nmore\n")));
  const char* names[] = {"X"};
  OutputWriter* w = writer_open_names(dir.file("old").c_str(), names, 1);
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(writer_close(w));
  EXPECT_EQ(test::read_text(dir.file("old.csv")), "t,X\n");

  EXPECT_EQ(writer_open_names(nullptr, names, 1), nullptr);
  EXPECT_EQ(writer_open_names(dir.file("missing/folder/f").c_str(), names, 1), nullptr);
  EXPECT_FALSE(test::exists(dir.file("missing")));
}

// A device that accepts no bytes stands for a full disk: a row too long for the stream's
// buffer fails at once, buffered rows fail at flush, and close reports the lost rows.
// Buffers of files that take many rows grow to 64 KiB, but all writers together stay within
// their first 8 KiB each plus 16 MiB, and a closed writer gives its share back.
TEST(CsvWriter, BusyFilesShareABoundedBufferBudget) {
  test::TempDir dir;
  const char* names[] = {"A"};
  const std::string row = "1.000000,2.000000\n";
  auto fill = [&](OutputWriter* w) {
    for (int i = 0; i < 5000; ++i) ASSERT_TRUE(writer_write(w, row, 1));
  };
  std::vector<OutputWriter*> writers;
  uint64_t buffers = 0;
  for (int i = 0; i < 400; ++i) {
    writers.push_back(writer_open_names(dir.file("f" + std::to_string(i)).c_str(), names, 1));
    ASSERT_NE(writers.back(), nullptr);
    fill(writers.back());
    buffers += csv_capacity(writers.back());
  }
  EXPECT_EQ(csv_capacity(writers.front()), 65536u);
  EXPECT_LE(buffers, 400u * 8192 + (16u << 20));
  for (OutputWriter* w : writers) EXPECT_TRUE(writer_close(w));
  EXPECT_EQ(test::read_text(dir.file("f399.csv")).size(), 4 + 5000 * row.size());
  OutputWriter* again = writer_open_names(dir.file("again").c_str(), names, 1);
  ASSERT_NE(again, nullptr);
  fill(again);
  EXPECT_EQ(csv_capacity(again), 65536u);
  EXPECT_TRUE(writer_close(again));
}

TEST(CsvWriter, FullDiskIsReported) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  test::TempDir dir;
  if (!test::make_full_device(dir.file("full.csv"))) GTEST_SKIP() << "no full device here";
  const char* names[] = {"A"};
  OutputWriter* w = writer_open_names(dir.file("full").c_str(), names, 1);
  ASSERT_NE(w, nullptr);
  double one[] = {1};
  EXPECT_TRUE(decodetest::write_row(w, 1, one, 1));  // still in the stream's buffer
  EXPECT_FALSE(writer_flush(w));
  EXPECT_FALSE(writer_close(w));

  std::vector<const char*> many_names(2000, "N");
  std::vector<double> many(2000, 123456.5);
  w = writer_open_names(dir.file("full").c_str(), many_names.data(), 2000);
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(decodetest::write_row(w, 1, many.data(), 2000));
  EXPECT_FALSE(writer_close(w));
  EXPECT_FALSE(writer_flush(nullptr));
}

}  // namespace
