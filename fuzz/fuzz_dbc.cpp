// Fuzz target: loads arbitrary text as a DBC file (value tables included) and, when it loads,
// decodes one frame with each of its messages, the frame exactly as long as the message says,
// and looks up the text of every value.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common.h"
#include "dbc/dbc_parser.h"
#include "dbc/message_db.h"

namespace {
volatile unsigned name_bytes = 0;  // keeps the reads of the names
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_logs();
  Stream* stream = fuzz::memory_stream_of(data, size);
  if (!stream) return 0;
  MessageDatabase* db = dbc_load(stream, "DBC file", true);
  stream_close(stream);
  if (!db) return 0;
  int visited = 0;
  ordered_map_for_each(&db->messages, [&](uint32_t key, Message& m) {
    // Frames on the bus carry at most 64 bytes; the decoder sees no more than that.
    size_t n = m.size < 64 ? m.size : 64;
    std::vector<uint8_t> frame(n);
    for (size_t i = 0; i < n; ++i) frame[i] = static_cast<uint8_t>(0xA5 ^ (i * 37));
    DecodedMessage* decoded = message_db_decode(db, key, frame.data(), frame.size());
    // Every value's name is read, so that a name outside its database would be found.
    for (const DecodedValue* v = decoded_values_first(decoded); v; v = decoded_values_next(v)) {
      for (char c : v->name) name_bytes = name_bytes + static_cast<unsigned char>(c);
      std::string_view text;
      const ValueTableHead* head = value_tables_find(&db->value_tables, key, v->name_hash);
      for (double raw : {v->raw, 0.0, 1.0, -1.0})
        if (value_tables_text(&db->value_tables, head, raw, &text))
          for (char c : text) name_bytes = name_bytes + static_cast<unsigned char>(c);
    }
    decoded_message_free(decoded);
    return ++visited < 64;
  });
  message_db_free(db);
  return 0;
}
