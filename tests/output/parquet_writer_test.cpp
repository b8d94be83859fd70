// Parquet files: round trips through an independent reader (DuckDB, run by node), resuming a
// killed writer's file, refused rows and setups, and the memory a writer reports.
#include "output/parquet_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "support/memory_stream.h"
#include "support/test_util.h"

namespace {

using WriterPtr = std::unique_ptr<ParquetWriter, ParquetWriterFree>;

// The value columns, metadata and page size of a file under test, as a setup.
struct Layout {
  std::vector<ParquetColumn> columns;
  std::vector<ParquetKeyValue> metadata;
  uint32_t page_rows = 0;

  ParquetSetup setup() const {
    return {columns.data(),  static_cast<uint32_t>(columns.size()),
            metadata.data(), static_cast<uint32_t>(metadata.size()),
            page_rows,       0};
  }
};

// What the reader found, line by line: facts, schema, metadata, chunks, then the rows.
struct ReadBack {
  std::string facts, schema, metadata, chunks, rows;
};

std::string find_in_path(const char* program) {
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// Runs the DuckDB reader on `path`; fails the test (with what to do) when it cannot run.
ReadBack read_back(const std::string& path) {
  const std::string reader = TABULON_PARQUET_READER;
  std::string node = find_in_path("node");
  if (node.empty() || !test::exists(reader + "/node_modules/@duckdb/node-api/package.json")) {
    ADD_FAILURE() << "the Parquet reader needs node and " << reader
                  << "/node_modules: run scripts/setup.sh";
    return {};
  }
  test::RunResult r = test::run(node, {reader + "/read_parquet.mjs", path});
  EXPECT_EQ(r.status, 0) << r.err;
  ReadBack back;
  std::string* parts[] = {&back.facts, &back.schema, &back.metadata, &back.chunks};
  size_t at = 0;
  for (std::string* part : parts) {
    size_t end = r.out.find('\n', at);
    if (end == std::string::npos) return back;
    *part = r.out.substr(at, end - at);
    at = end + 1;
  }
  back.rows = r.out.substr(at);
  return back;
}

// A row as the test gives it to the writer; texts live in the test's own strings.
struct Row {
  int64_t t;
  std::vector<ParquetCell> cells;
};

std::string json_text(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// The line the reader prints for a row.
std::string json_row(const Row& row) {
  std::string out = "[\"" + std::to_string(row.t) + "\"";
  for (const ParquetCell& cell : row.cells) {
    out += ",";
    if (cell.kind == PARQUET_NULL) {
      out += "null";
    } else if (cell.kind == PARQUET_TEXT) {
      out += json_text(cell.text);
    } else if (std::isnan(cell.number)) {
      out += "\"NaN\"";
    } else {
      uint64_t bits;
      memcpy(&bits, &cell.number, 8);
      char hex[24];
      snprintf(hex, sizeof hex, "\"%016llx\"", static_cast<unsigned long long>(bits));
      out += hex;
    }
  }
  return out + "]\n";
}

std::string json_rows(const std::vector<Row>& rows, size_t from = 0, size_t to = SIZE_MAX) {
  std::string out;
  for (size_t i = from; i < rows.size() && i < to; ++i) out += json_row(rows[i]);
  return out;
}

// Writes `rows` to a new file at `path`, flushing after the row counts in `groups` (the rest
// goes into the last group), and finishes it.
void write_file(const std::string& path, const Layout& layout, const std::vector<Row>& rows,
                const std::vector<size_t>& groups = {}) {
  test::StreamPtr sink(file_stream_open(path.c_str(), 1));
  ASSERT_TRUE(sink);
  ParquetSetup setup = layout.setup();
  WriterPtr w(parquet_writer_open(&setup, sink.get(), nullptr));
  ASSERT_TRUE(w);
  size_t group = 0, in_group = 0;
  for (const Row& row : rows) {
    ASSERT_TRUE(parquet_writer_append(w.get(), row.t, row.cells.data(),
                                      static_cast<uint32_t>(row.cells.size())));
    if (group < groups.size() && ++in_group == groups[group]) {
      ASSERT_TRUE(parquet_writer_flush(w.get()));
      ++group, in_group = 0;
    }
  }
  ASSERT_TRUE(parquet_writer_finish(w.get()));
}

const Layout& signal_layout() {
  static const Layout layout = [] {
    Layout l;
    l.columns = {{StringView("Speed"), PARQUET_DOUBLE}, {StringView("Gear"), PARQUET_STRING}};
    l.metadata = {{StringView("Speed.unit"), StringView("km/h")},
                  {StringView("Gear.values"), StringView("0 \"Neutral\" 1 \"Gang 1 \u00b0\"")},
                  {StringView("empty"), StringView("")}};
    return l;
  }();
  return layout;
}

constexpr const char* SIGNAL_SCHEMA =
    "[[\"t\",\"INT64\",\"REQUIRED\",\"TIMESTAMP_MICROS\",\"TimestampType(isAdjustedToUTC=1, "
    "unit=TimeUnit(MILLIS=<null>, MICROS=MicroSeconds(), NANOS=<null>))\",\"TIMESTAMP WITH TIME "
    "ZONE\"],[\"Speed\",\"DOUBLE\",\"OPTIONAL\",null,null,\"DOUBLE\"],[\"Gear\",\"BYTE_ARRAY\","
    "\"OPTIONAL\",\"UTF8\",\"StringType()\",\"VARCHAR\"]]";
constexpr const char* SIGNAL_METADATA =
    "[[\"Speed.unit\",\"km/h\"],[\"Gear.values\",\"0 \\\"Neutral\\\" 1 \\\"Gang 1 \u00b0\\\"\"],"
    "[\"empty\",\"\"]]";
const std::string CREATED_BY = std::string("\"tabulon ") + TABULON_VERSION + "\"";

TEST(ParquetRoundTrip, EmptyFileKeepsSchemaAndMetadata) {
  test::TempDir dir;
  write_file(dir.file("empty.parquet"), signal_layout(), {});
  ReadBack back = read_back(dir.file("empty.parquet"));
  EXPECT_EQ(back.facts, "[" + CREATED_BY + ",\"0\",\"0\"]");
  EXPECT_EQ(back.schema, SIGNAL_SCHEMA);
  EXPECT_EQ(back.metadata, SIGNAL_METADATA);
  EXPECT_EQ(back.chunks, "[]");
  EXPECT_EQ(back.rows, "");
}

TEST(ParquetRoundTrip, OneRow) {
  test::TempDir dir;
  std::vector<Row> rows = {
      {1699437600123456, {parquet_number(-12.5), parquet_text(StringView("Neutral"))}}};
  write_file(dir.file("one.parquet"), signal_layout(), rows);
  ReadBack back = read_back(dir.file("one.parquet"));
  EXPECT_EQ(back.facts, "[" + CREATED_BY + ",\"1\",\"1\"]");
  EXPECT_EQ(back.schema, SIGNAL_SCHEMA);
  EXPECT_EQ(back.metadata, SIGNAL_METADATA);
  EXPECT_EQ(back.chunks,
            "[[\"0\",\"1\",\"t\",\"1\",\"ZSTD\",\"0\",\"2023-11-08 10:00:00.123456+00\","
            "\"2023-11-08 10:00:00.123456+00\"],[\"0\",\"1\",\"Speed\",\"1\",\"ZSTD\",\"0\","
            "\"-12.5\",\"-12.5\"],[\"0\",\"1\",\"Gear\",\"1\",\"ZSTD\",\"0\",null,null]]");
  EXPECT_EQ(back.rows, json_rows(rows));
}

// NaN and null in one column stay apart, every double keeps its bits, texts keep their bytes.
TEST(ParquetRoundTrip, NaNNullAndTexts) {
  test::TempDir dir;
  const double values[] = {NAN,      -0.0, 0.0, INFINITY, -INFINITY, 5e-324, 1.7976931348623157e308,
                           -1.25e-7, 3.5,  NAN};
  const std::string texts[] = {"", "Gang \"3\"\\\n\t\x01", "\u20ac\u00fc\U0001F600", "x"};
  std::vector<Row> rows;
  for (int i = 0; i < 12; ++i) {
    ParquetCell number = i < 10 ? parquet_number(values[i]) : parquet_null();
    ParquetCell text = i % 3 == 1 ? parquet_null() : parquet_text(StringView(texts[i % 4]));
    rows.push_back({-5000000 + i * 1000001, {number, text}});
  }
  write_file(dir.file("values.parquet"), signal_layout(), rows);
  ReadBack back = read_back(dir.file("values.parquet"));
  EXPECT_EQ(back.rows, json_rows(rows));
}

// Statistics leave NaN and null out (a column of nothing else has no least or greatest value)
// and keep every zero at both ends; they span the pages of a chunk.
TEST(ParquetRoundTrip, Statistics) {
  test::TempDir dir;
  Layout layout;
  layout.columns = {{StringView("a"), PARQUET_DOUBLE},
                    {StringView("b"), PARQUET_DOUBLE},
                    {StringView("c"), PARQUET_DOUBLE}};
  layout.page_rows = 2;
  std::vector<Row> rows = {{0, {parquet_number(NAN), parquet_number(0.0), parquet_number(2.5)}},
                           {1, {parquet_null(), parquet_number(-0.0), parquet_number(NAN)}},
                           {2, {parquet_null(), parquet_null(), parquet_number(-7)}}};
  write_file(dir.file("zeros.parquet"), layout, rows);
  ReadBack back = read_back(dir.file("zeros.parquet"));
  EXPECT_EQ(back.rows, json_rows(rows));
  EXPECT_EQ(back.chunks,
            "[[\"0\",\"3\",\"t\",\"3\",\"ZSTD\",\"0\",\"1970-01-01 00:00:00+00\","
            "\"1970-01-01 00:00:00.000002+00\"],[\"0\",\"3\",\"a\",\"3\",\"ZSTD\",\"2\",null,null],"
            "[\"0\",\"3\",\"b\",\"3\",\"ZSTD\",\"1\",\"-0.0\",\"0.0\"],"
            "[\"0\",\"3\",\"c\",\"3\",\"ZSTD\",\"0\",\"-7.0\",\"2.5\"]]");
}

// Null patterns that give every kind of level run (long runs, short runs, alternation, random)
// over several pages and row groups, with groups that end on a full page and groups of one row.
std::vector<Row> patterned_rows(size_t count, std::deque<std::string>* texts) {
  std::vector<Row> rows;
  uint64_t random = 0x9E3779B97F4A7C15u;
  for (size_t i = 0; i < count; ++i) {
    random = random * 6364136223846793005u + 1442695040888963407u;
    bool coin = (random >> 33) & 1;
    double wave = std::round(std::sin(static_cast<double>(i) / 50) * 1000) / 10;
    texts->push_back("v" + std::to_string(i % 17));
    rows.push_back({1700000000000000 + static_cast<int64_t>(i) * 1000,
                    {i % 3 == 0 ? parquet_null() : parquet_number(wave),
                     (i / 50) % 2 ? parquet_null() : parquet_number(-wave),
                     coin ? parquet_number(static_cast<double>(i)) : parquet_null(),
                     (i / 7) % 3 == 0 ? parquet_null() : parquet_text(StringView(texts->back())),
                     i % 100 < 98 ? parquet_null() : parquet_number(1)}});
  }
  return rows;
}

Layout patterned_layout(uint32_t page_rows) {
  Layout l;
  l.columns = {{StringView("every_third_null"), PARQUET_DOUBLE},
               {StringView("runs_of_fifty"), PARQUET_DOUBLE},
               {StringView("random"), PARQUET_DOUBLE},
               {StringView("text"), PARQUET_STRING},
               {StringView("rare"), PARQUET_DOUBLE}};
  l.page_rows = page_rows;
  return l;
}

TEST(ParquetRoundTrip, ManyRowsInSeveralRowGroupsAndPages) {
  test::TempDir dir;
  std::deque<std::string> texts;
  std::vector<Row> rows = patterned_rows(5000, &texts);
  write_file(dir.file("many.parquet"), patterned_layout(64), rows, {640, 1, 1000, 1});
  ReadBack back = read_back(dir.file("many.parquet"));
  EXPECT_EQ(back.facts, "[" + CREATED_BY + ",\"5000\",\"5\"]");
  EXPECT_EQ(back.rows, json_rows(rows));
}

// Cuts the file at `path` to `size` bytes, as the rerun of a killed conversion does.
void cut(const std::string& path, uint64_t size) {
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
}

// A writer killed after three flushes and some appends is resumed from the size recorded at
// its second flush: the finished file is byte for byte the file written in one go.
TEST(ParquetResume, KilledWriterResumesFromAFlush) {
  test::TempDir dir;
  std::deque<std::string> texts;
  std::vector<Row> rows = patterned_rows(70, &texts);
  Layout layout = patterned_layout(8);
  std::string path = dir.file("killed.parquet");
  uint64_t recorded = 0;
  {
    test::StreamPtr sink(file_stream_open(path.c_str(), 1));
    ParquetSetup setup = layout.setup();
    WriterPtr w(parquet_writer_open(&setup, sink.get(), nullptr));
    ASSERT_TRUE(w);
    for (size_t i = 0; i < 60; ++i) {
      ASSERT_TRUE(parquet_writer_append(w.get(), rows[i].t, rows[i].cells.data(), 5));
      if (i == 19 || i == 35 || i == 44) {
        ASSERT_TRUE(parquet_writer_flush(w.get()));
      }
      if (i == 35) recorded = parquet_writer_file_size(w.get());
    }
  }  // killed: never finished, 15 rows of a flushed group and 15 buffered rows lost
  cut(path, recorded);
  {
    test::StreamPtr file(file_stream_open(path.c_str(), 2));
    ParquetSetup setup = layout.setup();
    ParquetStatus status = PARQUET_BAD_SETUP;
    WriterPtr w(parquet_writer_resume(&setup, file.get(), &status));
    ASSERT_TRUE(w) << parquet_status_name(status);
    EXPECT_EQ(parquet_writer_row_groups(w.get()), 2u);
    EXPECT_EQ(parquet_writer_written_rows(w.get()), 36u);
    for (size_t i = 36; i < 70; ++i) {
      ASSERT_TRUE(parquet_writer_append(w.get(), rows[i].t, rows[i].cells.data(), 5));
      if (i == 44) {
        ASSERT_TRUE(parquet_writer_flush(w.get()));
      }
    }
    ASSERT_TRUE(parquet_writer_finish(w.get()));
  }
  write_file(dir.file("whole.parquet"), layout, rows, {20, 16, 9});
  EXPECT_EQ(test::read_file(path), test::read_file(dir.file("whole.parquet")));
  ReadBack back = read_back(path);
  EXPECT_EQ(back.facts, "[" + CREATED_BY + ",\"70\",\"4\"]");
  EXPECT_EQ(back.rows, json_rows(rows));
}

// Resuming refuses anything but a flushed, unfinished file of the same setup, and leaves the
// bytes as they are.
TEST(ParquetResume, RefusesOtherBytes) {
  test::TempDir dir;
  std::deque<std::string> texts;
  std::vector<Row> rows = patterned_rows(30, &texts);
  Layout layout = patterned_layout(8);
  Stream* memory = memory_stream_new();
  test::StreamPtr owner(memory);
  ParquetSetup setup = layout.setup();
  WriterPtr w(parquet_writer_open(&setup, memory, nullptr));
  for (size_t i = 0; i < 30; ++i)
    parquet_writer_append(w.get(), rows[i].t, rows[i].cells.data(), 5);
  ASSERT_TRUE(parquet_writer_flush(w.get()));
  std::vector<uint8_t> flushed = test::stream_bytes(memory);
  ASSERT_TRUE(parquet_writer_finish(w.get()));
  std::vector<uint8_t> finished = test::stream_bytes(memory);

  Layout fewer_columns = layout, more_columns = layout, text_first = layout;
  more_columns.columns.push_back({StringView("more"), PARQUET_DOUBLE});
  fewer_columns.columns.pop_back();
  text_first.columns[0].kind = PARQUET_STRING;
  auto prefix = [&](size_t n) {
    return std::vector<uint8_t>(flushed.begin(), flushed.begin() + n);
  };
  std::vector<uint8_t> bad_magic = flushed;
  bad_magic[0] = 'Q';
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    const Layout* layout;
  } cases[] = {{"empty", {}, &layout},
               {"magic only, then a byte", prefix(5), &layout},
               {"cut inside the first page header", prefix(10), &layout},
               {"cut inside the last page", prefix(flushed.size() - 1), &layout},
               {"finished", finished, &layout},
               {"another magic", bad_magic, &layout},
               {"more columns", flushed, &more_columns},
               {"fewer columns", flushed, &fewer_columns},
               {"another column kind", flushed, &text_first}};
  for (const Case& c : cases) {
    test::StreamPtr file(test::memory_stream_with(c.bytes));
    ParquetSetup other = c.layout->setup();
    ParquetStatus status = PARQUET_OK;
    EXPECT_EQ(parquet_writer_resume(&other, file.get(), &status), nullptr) << c.what;
    EXPECT_EQ(status, PARQUET_BAD_FILE) << c.what;
    EXPECT_EQ(test::stream_bytes(file.get()), c.bytes) << c.what;
  }
  test::StreamPtr file(test::memory_stream_with(flushed));
  WriterPtr resumed(parquet_writer_resume(&setup, file.get(), nullptr));
  EXPECT_TRUE(resumed) << "the flushed file itself";
}

TEST(ParquetWriter, RefusesSetupsAFileCannotHave) {
  ParquetColumn good{StringView("a"), PARQUET_DOUBLE};
  ParquetColumn empty_name{StringView(""), PARQUET_DOUBLE};
  ParquetColumn latin1_name{StringView("\xb0"
                                       "C"),
                            PARQUET_DOUBLE};
  ParquetColumn unknown_kind{StringView("a"), static_cast<ParquetColumnKind>(7)};
  ParquetKeyValue latin1_value{StringView("unit"), StringView("\xb0"
                                                              "C")};
  struct Case {
    const char* what;
    ParquetSetup setup;
  } cases[] = {{"no columns array", {nullptr, 1, nullptr, 0, 0, 0}},
               {"empty name", {&empty_name, 1, nullptr, 0, 0, 0}},
               {"name not UTF-8", {&latin1_name, 1, nullptr, 0, 0, 0}},
               {"unknown kind", {&unknown_kind, 1, nullptr, 0, 0, 0}},
               {"metadata not UTF-8", {&good, 1, &latin1_value, 1, 0, 0}},
               {"pages too long", {&good, 1, nullptr, 0, PARQUET_MAX_PAGE_ROWS + 1, 0}},
               {"no such zstd level", {&good, 1, nullptr, 0, 0, 1000}}};
  for (const Case& c : cases) {
    test::StreamPtr sink(memory_stream_new());
    ParquetStatus status = PARQUET_OK;
    EXPECT_EQ(parquet_writer_open(&c.setup, sink.get(), &status), nullptr) << c.what;
    EXPECT_EQ(status, PARQUET_BAD_SETUP) << c.what;
    EXPECT_EQ(stream_size(sink.get()), 0) << c.what;
  }
}

// A refused row leaves nothing behind: the rows around it are the file's only rows.
TEST(ParquetWriter, RefusesRowsThatDoNotFit) {
  test::TempDir dir;
  std::string path = dir.file("refused.parquet");
  test::StreamPtr sink(file_stream_open(path.c_str(), 1));
  ParquetSetup setup = signal_layout().setup();
  setup.page_rows = 2;
  WriterPtr w(parquet_writer_open(&setup, sink.get(), nullptr));
  ASSERT_TRUE(w);
  std::vector<Row> kept = {{1, {parquet_number(1), parquet_text(StringView("a"))}},
                           {2, {parquet_null(), parquet_null()}},
                           {3, {parquet_number(3), parquet_text(StringView("\u00e4"))}}};
  const std::vector<std::vector<ParquetCell>> refused = {
      {parquet_number(1)},
      {parquet_number(1), parquet_null(), parquet_null()},
      {parquet_text(StringView("1")), parquet_null()},
      {parquet_null(), parquet_number(1)},
      {parquet_null(), parquet_text(StringView("\xc3"))},          // cut short
      {parquet_null(), parquet_text(StringView("\xc0\x80"))},      // over-long
      {parquet_null(), parquet_text(StringView("\xed\xa0\x80"))},  // a surrogate
      {parquet_null(), parquet_text(StringView("\xf4\x90\x80\x80"))}};
  for (size_t i = 0; i < kept.size(); ++i) {
    for (const auto& cells : refused) {
      EXPECT_FALSE(
          parquet_writer_append(w.get(), 9, cells.data(), static_cast<uint32_t>(cells.size())));
    }
    EXPECT_TRUE(parquet_writer_append(w.get(), kept[i].t, kept[i].cells.data(), 2));
  }
  EXPECT_EQ(parquet_writer_buffered_rows(w.get()), 3u);
  ASSERT_TRUE(parquet_writer_finish(w.get()));
  EXPECT_FALSE(parquet_writer_append(w.get(), 4, kept[0].cells.data(), 2)) << "after finish";
  sink.reset();
  EXPECT_EQ(read_back(path).rows, json_rows(kept));
}

// A stream whose writes fail once `room` bytes are taken.
struct FullStream {
  Stream base;
  uint64_t room;
};

int64_t full_write(Stream* s, const void*, uint64_t n) {
  auto* f = reinterpret_cast<FullStream*>(s);
  if (n > f->room) return -1;
  f->room -= n;
  return static_cast<int64_t>(n);
}

constexpr StreamOps FULL_OPS{nullptr, full_write, nullptr, nullptr, nullptr};

// A write that fails makes the flush fail, and the writer takes nothing afterwards.
TEST(ParquetWriter, FailedWriteIsFinal) {
  FullStream full{{&FULL_OPS}, 100};
  ParquetSetup setup = signal_layout().setup();
  WriterPtr w(parquet_writer_open(&setup, &full.base, nullptr));
  ASSERT_TRUE(w);
  ParquetCell cells[] = {parquet_number(1), parquet_text(StringView("a"))};
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(parquet_writer_append(w.get(), i, cells, 2));
  EXPECT_FALSE(parquet_writer_flush(w.get()));
  EXPECT_FALSE(parquet_writer_append(w.get(), 100, cells, 2));
  EXPECT_FALSE(parquet_writer_flush(w.get()));
  EXPECT_FALSE(parquet_writer_finish(w.get()));
  EXPECT_EQ(parquet_writer_row_groups(w.get()), 0u);

  FullStream no_room{{&FULL_OPS}, 3};
  ParquetStatus status = PARQUET_OK;
  EXPECT_EQ(parquet_writer_open(&setup, &no_room.base, &status), nullptr);
  EXPECT_EQ(status, PARQUET_IO_ERROR);
}

// The buffered bytes count the rows since the last flush, raw in the open pages and then
// compressed; a flush frees them, alike row groups reuse the same room, and a trim frees it.
TEST(ParquetWriter, MemoryFollowsTheRows) {
  test::StreamPtr sink(memory_stream_new());
  Layout layout;
  layout.columns = {{StringView("a"), PARQUET_DOUBLE}, {StringView("b"), PARQUET_DOUBLE}};
  layout.page_rows = 1000;
  ParquetSetup setup = layout.setup();
  WriterPtr w(parquet_writer_open(&setup, sink.get(), nullptr));
  ParquetCell cells[] = {parquet_number(0.5), parquet_null()};
  ASSERT_TRUE(parquet_writer_append(w.get(), 0, cells, 2));
  EXPECT_EQ(parquet_writer_buffered_bytes(w.get()), 8u + (8 + 1) + 1);
  for (int i = 1; i < 1000; ++i) ASSERT_TRUE(parquet_writer_append(w.get(), i, cells, 2));
  EXPECT_EQ(parquet_writer_buffered_bytes(w.get()), 1000u * 8 + (1000 * 8 + 125) + 125);
  ASSERT_TRUE(parquet_writer_append(w.get(), 1000, cells, 2));  // the full pages are packed
  EXPECT_LT(parquet_writer_buffered_bytes(w.get()), 3000u);
  ASSERT_TRUE(parquet_writer_flush(w.get()));
  EXPECT_EQ(parquet_writer_buffered_bytes(w.get()), 0u);
  uint64_t held = parquet_writer_held_bytes(w.get());
  EXPECT_GT(held, 0u);
  for (int i = 0; i < 1001; ++i) ASSERT_TRUE(parquet_writer_append(w.get(), i, cells, 2));
  ASSERT_TRUE(parquet_writer_flush(w.get()));
  EXPECT_EQ(parquet_writer_held_bytes(w.get()), held);
  parquet_writer_trim(w.get());
  EXPECT_EQ(parquet_writer_held_bytes(w.get()), 0u);
  EXPECT_EQ(parquet_writer_written_rows(w.get()), 2002u);
}
}  // namespace

namespace {

// Rows of numbers given as raw doubles make the file that the same rows given as cells make,
// mixed with rows that hold nulls, across pages and level bytes; such a row is refused where a
// column holds texts or the count is wrong.
TEST(ParquetWriter, RowsOfNumbersWriteWhatCellsWrite) {
  Layout layout;
  layout.columns = {{StringView("a"), PARQUET_DOUBLE}, {StringView("b"), PARQUET_DOUBLE}};
  layout.page_rows = 5;
  ParquetSetup setup = layout.setup();
  test::StreamPtr as_cells(memory_stream_new()), as_numbers(memory_stream_new());
  WriterPtr a(parquet_writer_open(&setup, as_cells.get(), nullptr));
  WriterPtr b(parquet_writer_open(&setup, as_numbers.get(), nullptr));
  ASSERT_TRUE(a && b);
  for (int i = 0; i < 23; ++i) {
    double values[2] = {i * 0.25, -1.0 / (i + 1)};
    ParquetCell cells[2] = {parquet_number(values[0]), parquet_number(values[1])};
    if (i % 7 == 3) cells[1] = parquet_null();
    ASSERT_TRUE(parquet_writer_append(a.get(), i, cells, 2));
    if (i % 7 == 3) {
      ASSERT_TRUE(parquet_writer_append(b.get(), i, cells, 2));
    } else {
      uint8_t raw[16];
      memcpy(raw, values, sizeof raw);
      ASSERT_TRUE(parquet_writer_append_numbers(b.get(), i, raw, 2));
      EXPECT_FALSE(parquet_writer_append_numbers(b.get(), i, raw, 1));
    }
    if (i == 11) {
      ASSERT_TRUE(parquet_writer_flush(a.get()) && parquet_writer_flush(b.get()));
    }
    ASSERT_EQ(parquet_writer_buffered_bytes(a.get()), parquet_writer_buffered_bytes(b.get()));
  }
  ASSERT_TRUE(parquet_writer_finish(a.get()) && parquet_writer_finish(b.get()));
  EXPECT_EQ(test::stream_bytes(as_cells.get()), test::stream_bytes(as_numbers.get()));

  ParquetSetup texts = signal_layout().setup();
  test::StreamPtr sink(memory_stream_new());
  WriterPtr w(parquet_writer_open(&texts, sink.get(), nullptr));
  uint8_t raw[16] = {};
  EXPECT_FALSE(parquet_writer_append_numbers(w.get(), 0, raw, 2));
  EXPECT_EQ(parquet_writer_buffered_rows(w.get()), 0u);
}

}  // namespace
