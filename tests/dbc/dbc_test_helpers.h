// Helpers of the DBC tests: loading DBC text, and the loaded database and decoded frames as
// text that one assertion can compare whole.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dbc/dbc_parser.h"
#include "io/stream.h"

namespace test {

struct DbDeleter {
  void operator()(MessageDatabase* db) const { message_db_free(db); }
};
using DbPtr = std::unique_ptr<MessageDatabase, DbDeleter>;

inline DbPtr load_text(const std::string& text, const char* file_name = "test.dbc") {
  std::unique_ptr<Stream, StreamCloser> s(memory_stream_new());
  if (!s) return nullptr;
  if (!text.empty() && stream_write(s.get(), text.data(), text.size()) != int64_t(text.size()))
    return nullptr;
  stream_seek(s.get(), 0, SEEK_FROM_START);
  return DbPtr(dbc_load(s.get(), file_name));
}

inline DbPtr load_fixture(const std::string& name) {
  std::string path = std::string(TABULON_TEST_DATA) + "/fixtures/" + name;
  std::unique_ptr<Stream, StreamCloser> s(file_stream_open(path.c_str(), 0));
  EXPECT_TRUE(s) << path;
  if (!s) return nullptr;
  return DbPtr(dbc_load(s.get()));
}

inline std::string describe_list(const SignalList& list) {
  std::string out;
  for (const Signal& s : list) {
    if (!out.empty()) out += ' ';
    out += dynstring_sv(&s.name);
    if (!s.layout.is_unsigned) out += "(-)";
    if (s.ignore) out += "(ignored)";
    if (s.branches.count == 0) continue;
    out += '[';
    for (int32_t i = 0; i < s.branches.count; ++i) {
      const MuxBranch& b = s.branches[i];
      if (i) out += '|';
      out += std::to_string(b.low) + "-" + std::to_string(b.high) + ":" + describe_list(b.signals);
    }
    out += ']';
  }
  return out;
}

// One line per message in key order: key, name, size, flags and the signal tree.
inline std::string describe(MessageDatabase* db) {
  std::string out = std::string(dynstring_sv(&db->protocol_name)) + "\n";
  ordered_map_for_each(&db->messages, [&](const uint32_t& key, Message& m) {
    char head[32];
    snprintf(head, sizeof head, "%08X ", key);
    out += head;
    out += std::string(dynstring_sv(&m.name)) + " " + std::to_string(m.size);
    if (m.ignore) out += " ignored";
    out += ": " + describe_list(m.signals) + "\n";
    return true;
  });
  return out;
}

// "name=value" of every decoded value, in order.
inline std::string decode_text(const MessageDatabase* db, uint32_t key,
                               std::vector<uint8_t> bytes) {
  DecodedMessage* m = message_db_decode(db, key, bytes.data(), bytes.size());
  if (!m) return "<none>";
  std::string out;
  for (const DecodedValue* v = decoded_values_first(m); v; v = decoded_values_next(v)) {
    char text[64];
    snprintf(text, sizeof text, "%s%s=%g", out.empty() ? "" : " ",
             std::string(dynstring_sv(&v->name)).c_str(), v->value);
    out += text;
  }
  decoded_message_free(m);
  return out;
}

// The messages of the captured log lines, each after its level letter ("W text"), one per line:
// the time stamp and process fields dropped.
inline std::string log_messages(const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    // "MM-DD hh:mm:ss.mmm   PID   TID L message": the level letter follows the fourth field.
    size_t pos = 0;
    for (int field = 0; field < 4 && pos != std::string::npos; ++field) {
      pos = line.find_first_not_of(' ', pos);
      pos = pos == std::string::npos ? pos : line.find(' ', pos);
    }
    if (pos != std::string::npos) out += line.substr(line.find_first_not_of(' ', pos)) + "\n";
    at = end + 1;
  }
  return out;
}

}  // namespace test
