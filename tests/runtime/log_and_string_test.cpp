// The log line format and the dynamic string's forms, growth and formatting.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "support/dyn_string.h"
#include "support/log.h"
#include "support/test_util.h"

namespace {

TEST(LogLine, HeaderFieldsAndPadding) {
  char line[600];
  LogStamp stamp{1, 5, 3, 4, 9, 7, 123, 45678};
  int n = log_format_line(line, stamp, LOG_WARN, "value %d of %s", 42, "x");
  EXPECT_EQ(std::string(line, n), "01-05 03:04:09.007   123 45678 W value 42 of x");
  EXPECT_EQ(n, 33 + 13);

  LogStamp wide{12, 31, 23, 59, 59, 999, 1234567, 7};
  n = log_format_line(line, wide, LOG_FATAL, "done");
  EXPECT_EQ(std::string(line, n), "12-31 23:59:59.999 1234567     7 F done");

  n = log_format_line(line, stamp, 9, "odd level");
  EXPECT_EQ(std::string(line, n).substr(31), "? odd level");
}

TEST(LogLine, LongMessagesAreCutAt510Characters) {
  char line[600];
  LogStamp stamp{1, 1, 0, 0, 0, 0, 1, 1};
  std::string message(600, 'm');
  int n = log_format_line(line, stamp, LOG_INFO, "%s", message.c_str());
  EXPECT_EQ(n, 510);
  EXPECT_EQ(std::string(line + 33, n - 33), std::string(510 - 33, 'm'));
  // A message that exactly fills the room keeps every character.
  std::string exact(510 - 33, 'e');
  n = log_format_line(line, stamp, LOG_INFO, "%s", exact.c_str());
  EXPECT_EQ(std::string(line + 33, n - 33), exact);
}

TEST(LogWrite, OneLineWithLineFeedAndLevelFilter) {
  test::TempDir dir;
  std::string path = dir.file("log");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  log_set_output_fd(fileno(f));
  int32_t saved = log_output_level;
  log_set_output_level(LOG_ERROR);
  LOG(LOG_WARN, "hidden");
  LOG(LOG_ERROR, "shown %s", "here");
  LOG(LOG_FATAL, "and %d", 6);
  log_set_output_level(saved);
  log_set_output_fd(2);
  fclose(f);
  std::string text = test::read_text(path);
  ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
  auto first = text.substr(0, text.find('\n'));
  EXPECT_EQ(first.substr(first.size() - 13), " E shown here");
  EXPECT_EQ(text.substr(text.size() - 9), " F and 6\n");
  EXPECT_EQ(first[2], '-');
  EXPECT_EQ(first[14], '.');
}

TEST(DynString, ShortAndLongForms) {
  DynString s;
  std::string t22(22, 'a'), t23(23, 'b');
  ASSERT_TRUE(dynstring_from(&s, t22));
  EXPECT_FALSE(dynstring_is_long(&s));
  EXPECT_EQ(dynstring_sv(&s), t22);
  EXPECT_EQ(dynstring_data(&s)[22], 0);
  // One more byte: long form with capacity 1 + 22 * 3 / 2.
  ASSERT_NE(dynstring_append(&s, "c", 1), nullptr);
  EXPECT_TRUE(dynstring_is_long(&s));
  EXPECT_EQ(dynstring_length(&s), 23u);
  EXPECT_EQ(dynstring_capacity(&s), 34u);
  EXPECT_EQ(dynstring_sv(&s), t22 + "c");
  dynstring_free(&s);

  ASSERT_TRUE(dynstring_from(&s, t23));
  EXPECT_TRUE(dynstring_is_long(&s));
  EXPECT_EQ(dynstring_capacity(&s), 23u);
  dynstring_free(&s);
  EXPECT_EQ(dynstring_length(&s), 0u);
}

TEST(DynString, ReserveClearAndSelfAppend) {
  DynString s{};
  ASSERT_NE(dynstring_reserve(&s, 100), nullptr);
  const char* buffer = dynstring_data(&s);
  EXPECT_EQ(dynstring_reserve(&s, 50), buffer);  // less than the capacity: unchanged
  EXPECT_EQ(dynstring_capacity(&s), 100u);
  ASSERT_NE(dynstring_append(&s, std::string(80, 'x')), nullptr);
  dynstring_clear(&s);
  EXPECT_EQ(dynstring_capacity(&s), 100u);
  ASSERT_NE(dynstring_append(&s, "abc"), nullptr);
  EXPECT_EQ(dynstring_data(&s), buffer);  // clearing kept the buffer; no allocation
  dynstring_free(&s);

  // Appending the string to itself, repeatedly, across reallocations and both forms.
  ASSERT_TRUE(dynstring_from(&s, "0123456789"));
  std::string expected = "0123456789";
  for (int i = 0; i < 6; ++i) {
    ASSERT_NE(dynstring_append(&s, dynstring_data(&s), dynstring_length(&s)), nullptr);
    expected += expected;
    ASSERT_EQ(dynstring_sv(&s), expected);
  }
  // A suffix of itself.
  ASSERT_NE(dynstring_append(&s, dynstring_data(&s) + 5, 7), nullptr);
  expected += expected.substr(5, 7);
  EXPECT_EQ(dynstring_sv(&s), expected);
  dynstring_free(&s);
}

TEST(DynString, RequestsThatWouldWrapAreRefusedAndLeaveTheText) {
  // Both forms: the short text inside the record and a long one with spare capacity.
  for (const char* text : {"abc", "a text longer than the twenty-two bytes of the short form"}) {
    DynString s;
    ASSERT_TRUE(dynstring_from(&s, text));
    for (uint64_t n : {UINT64_MAX, UINT64_MAX - 2, DYNSTRING_MAX_LENGTH}) {
      EXPECT_EQ(dynstring_append(&s, "x", n), nullptr) << n;
      EXPECT_EQ(dynstring_extend(&s, n), nullptr) << n;
      EXPECT_EQ(dynstring_reserve(&s, n), nullptr) << n;
      EXPECT_EQ(dynstring_sv(&s), text);
    }
    dynstring_free(&s);
  }
}

TEST(DynString, Formatting) {
  DynString s{};
  EXPECT_EQ(dynstring_format(&s, "%s", std::string(30, 'z').c_str()), 30);
  EXPECT_EQ(dynstring_length(&s), 30u);
  EXPECT_EQ(dynstring_format(&s, "-%08X-%u", 0x1A2Bu, 7u), 11);
  EXPECT_EQ(dynstring_sv(&s), std::string(30, 'z') + "-00001A2B-7");
  dynstring_free(&s);
}

}  // namespace
