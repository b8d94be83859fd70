// The password store: which lines of a password file are entries, what their keys and
// passwords are, duplicates, and the given and default password files.
#include "app/passwords.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "app/tool.h"
#include "support/log_capture.h"
#include "support/test_util.h"

namespace {

std::map<std::string, std::string> entries(PasswordStore* store) {
  std::map<std::string, std::string> out;
  hash_table_for_each(store, [&](StringMapEntry& e) {
    out[std::string(dynstring_sv(&e.key))] = std::string(dynstring_sv(&e.value));
  });
  return out;
}

std::map<std::string, std::string> parse(const std::string& text,
                                         PasswordFormat format = PASSWORD_TEXT_LINES) {
  PasswordStore store;
  PasswordTextError error{};
  EXPECT_EQ(parse_password_text(text.c_str(), &store, &error), format) << text;
  auto out = entries(&store);
  hash_table_destroy<StringMapTraits>(&store);
  return out;
}

using Entries = std::map<std::string, std::string>;

TEST(PasswordText, EntryLines) {
  struct Case {
    const char* text;
    Entries expected;
  } cases[] = {
      // Keys as written: lower case and short keys are stored (and never match a device).
      {"\"0a1b2c3d\": \"x\",\n\"1A2B\":\"y\"", {{"0a1b2c3d", "x"}, {"1A2B", "y"}}},
      // The password runs to the last quotation mark of the line; escapes stay as written.
      {"\"0A1B2C3D\": \"pa\"ss\\\"wo\\nrd\" ,  \n", {{"0A1B2C3D", "pa\"ss\\\"wo\\nrd"}}},
      {"\"A\": \"1\", \"B\": \"2\"\n", {{"A", "1\", \"B\": \"2"}}},
      {"\"\": \"empty key\"\n", {{"", "empty key"}}},
      // White space around the parts, tabs, CR LF line ends, no final line feed.
      {"\t \"ABCDEF01\"\t:\t\"p w\"\t,\t\r\n\"12345678\":\"\"\r\n\"FFFFFFFF\" : \"last\"",
       {{"ABCDEF01", "p w"}, {"12345678", ""}, {"FFFFFFFF", "last"}}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.text), c.expected) << c.text;
}

// Any JSON layout: every member named "default" or by hexadecimal digits with a text value, at
// any depth; JSON escapes are decoded.
TEST(PasswordText, Json) {
  struct Case {
    const char* text;
    Entries expected;
  } cases[] = {
      {"{\n  \"0A1B2C3D\": \"secret\",\n  \"default\": \"fallback\"\n}\n",
       {{"0A1B2C3D", "secret"}, {"default", "fallback"}}},
      {"{\"0a1b2c3d\": \"x\", \"1A2B\":\"y\"}", {{"0a1b2c3d", "x"}, {"1A2B", "y"}}},
      {"{\"devices\": [{\"0A1B2C3D\": \"q\\\"uote\\n\"}], \"default\": {\"default\": \"d\"}}",
       {{"0A1B2C3D", "q\"uote\n"}, {"default", "d"}}},
      // Other keys and values that are not texts make no entry.
      {"{\"0A1B-2C3D\": \"x\", \"DEFAULT\": \"x\", \"G1\": \"x\", \"0A\": 5, \"0B\": null}", {}},
      {"[]", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.text, PASSWORD_TEXT_JSON), c.expected) << c.text;
}

// Neither JSON nor entry lines: nothing is stored, and the JSON error says where.
TEST(PasswordText, InvalidText) {
  PasswordStore store;
  PasswordTextError error{};
  EXPECT_EQ(parse_password_text("\n{\"0A1B2C3D\": \"x\", \"default\": \"y\",}", &store, &error),
            PASSWORD_TEXT_INVALID);
  EXPECT_EQ(store.count, 0);
  EXPECT_EQ(error.line, 2);
  EXPECT_EQ(error.column, 34);
  EXPECT_NE(std::string(error.reason).find("expected string literal"), std::string::npos)
      << error.reason;
  hash_table_destroy<StringMapTraits>(&store);
}

TEST(PasswordText, FirstOfTwoEntriesWins) {
  test::LogCapture log;
  EXPECT_EQ(parse("{\n\"0A1B2C3D\": \"first\",\n\"default\": \"d\",\n\"0A1B2C3D\": \"second\"\n}\n",
                  PASSWORD_TEXT_JSON),
            (Entries{{"0A1B2C3D", "first"}, {"default", "d"}}));
  EXPECT_EQ(log.count(" W Failed to insert key for \"0A1B2C3D\" in password storage\n"), 1)
      << log.text();
  EXPECT_EQ(log.count("\n"), 1) << log.text();
}

// Many entries make the store grow several times; every one stays findable.
TEST(PasswordText, ManyEntriesAndLookup) {
  std::string text = "{\n";
  for (int i = 0; i < 500; ++i) {
    char line[64];
    snprintf(line, sizeof line, "  \"%08X\": \"pw%d\",\n", 0x10000000 + i * 7919, i);
    text += line;
  }
  text += "}\n";
  PasswordStore store;
  // The comma after the last entry makes it entry lines rather than JSON.
  ASSERT_EQ(parse_password_text(text.c_str(), &store, nullptr), PASSWORD_TEXT_LINES);
  EXPECT_EQ(store.count, 500);
  StringMapEntry* e = string_map_find(&store, "10001EEF");  // entry 1
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(dynstring_sv(&e->value), "pw1");
  EXPECT_EQ(string_map_find(&store, "10001eef"), nullptr);
  hash_table_destroy<StringMapTraits>(&store);
}

struct ToolFixture {
  Tool tool{};
  int status = 0;
  ~ToolFixture() {
    hash_table_destroy<StringMapTraits>(&tool.options.passwords);
    for (DynString& s : tool.password_files) dynstring_free(&s);
    grow_array_free(&tool.password_files);
  }
  void give(const std::string& path) {
    DynString* s = grow_array_push(&tool.password_files);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(dynstring_from(s, path));
  }
};

TEST(PasswordFile, GivenFile) {
  test::TempDir dir;
  ASSERT_TRUE(
      test::write_file(dir.file("keys.json"),
                       std::string("{\n  \"0A1B2C3D\": \"secret\",\n  \"default\": \"d\"\n}\n")));
  ToolFixture f;
  f.give(dir.file("keys.json"));
  EXPECT_TRUE(load_password_file(&f.tool, &f.status));
  EXPECT_EQ(f.status, 0);
  EXPECT_EQ(entries(&f.tool.options.passwords),
            (Entries{{"0A1B2C3D", "secret"}, {"default", "d"}}));
}

TEST(PasswordFile, GivenFileMissing) {
  test::TempDir dir;
  ToolFixture f;
  f.status = 8;
  f.give(dir.file("absent.json"));
  test::LogCapture log;
  EXPECT_FALSE(load_password_file(&f.tool, &f.status));
  EXPECT_EQ(f.status, 9);
  EXPECT_EQ(log.count(" E Failed to open password file at " + dir.file("absent.json") + "\n"), 1)
      << log.text();
  EXPECT_EQ(f.tool.options.passwords.count, 0);
}

// A given file that is not readable as passwords fails the run with its place named; one that
// holds none says so and goes on.
TEST(PasswordFile, GivenFileInvalidOrEmpty) {
  test::TempDir dir;
  ASSERT_TRUE(test::write_file(dir.file("bad.json"), std::string("{\"default\": \"x\",\n}\n")));
  ASSERT_TRUE(test::write_file(dir.file("none.json"), std::string("{\"serial\": \"x\"}\n")));
  {
    ToolFixture f;
    f.give(dir.file("bad.json"));
    test::LogCapture log;
    EXPECT_FALSE(load_password_file(&f.tool, &f.status));
    EXPECT_EQ(f.status, 1);
    EXPECT_EQ(log.count(" E Password file " + dir.file("bad.json") +
                        " is not valid JSON: line 2, column 1: "),
              1)
        << log.text();
  }
  {
    ToolFixture f;
    f.give(dir.file("none.json"));
    test::LogCapture log;
    EXPECT_TRUE(load_password_file(&f.tool, &f.status));
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(log.count(" E Password file " + dir.file("none.json") + " holds no password"), 1)
        << log.text();
  }
}

// The default file is looked for in the working directory; without it the store stays empty
// and nothing is logged.
TEST(PasswordFile, DefaultFileInWorkingDirectory) {
  test::TempDir dir;
  // Restores the working directory however the test ends, before the folder is removed.
  struct WorkingDirectoryGuard {
    char saved[4096];
    bool known = getcwd(saved, sizeof saved) != nullptr;
    ~WorkingDirectoryGuard() {
      if (known) {
        EXPECT_EQ(chdir(saved), 0);
      }
    }
  } guard;
  ASSERT_TRUE(guard.known);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  {
    ToolFixture f;
    test::LogCapture log;
    EXPECT_TRUE(load_password_file(&f.tool, &f.status));
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.tool.options.passwords.count, 0);
    EXPECT_EQ(log.text(), "");
  }
  ASSERT_TRUE(test::write_file(dir.file("passwords.json"), std::string("\"default\": \"here\"\n")));
  {
    ToolFixture f;
    EXPECT_TRUE(load_password_file(&f.tool, &f.status));
    EXPECT_EQ(entries(&f.tool.options.passwords), (Entries{{"default", "here"}}));
  }
}

}  // namespace
