// What names the file of a decoded row: its writer key, identity and path part.
#include "decode/row_files.h"

#include <cmath>

#include "dbc/message_db.h"
#include "decode/decoders.h"

namespace {

constexpr uint64_t PATH_CAPACITY = 100;

bool is_ascii_alnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Length of a UTF-8 character from its first byte; bytes that cannot start one count as two,
// like the lead bytes of two-byte characters.
uint64_t utf8_length(unsigned char first) {
  if (first < 0x80) return 1;
  if (first < 0xE0) return 2;
  if (first < 0xF0) return 3;
  return 4;
}

}  // namespace

uint64_t writer_key(int32_t bus_kind, uint32_t channel, int32_t source_address,
                    const DecodedMessage* decoded) {
  uint64_t names = 0;
  uint64_t message_key = 0;
  if (decoded) {
    message_key = decoded->key;
    for (const DecodedValue& v : decoded->values) names ^= v.name_hash & 0xFFFF;
  }
  uint64_t address =
      source_address == NO_SOURCE_ADDRESS ? 0 : static_cast<uint32_t>(source_address) & 0xFF;
  return (static_cast<uint64_t>(static_cast<uint32_t>(bus_kind)) & 0xF) |
         ((static_cast<uint64_t>(channel) & 0xF) << 4) | (address << 8) | (message_key << 16) |
         (names << 48);
}

bool name_to_path_part(std::string_view name, DynString* out) {
  if (!dynstring_reserve(out, dynstring_length(out) + name.size())) return false;
  for (size_t i = 0; i < name.size();) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    uint64_t n = utf8_length(c);
    if (n == 1 && is_ascii_alnum(c) && !dynstring_append(out, &name[i], 1)) return false;
    if (n > name.size() - i) break;
    i += n;
  }
  return true;
}

bool output_path_part(const Message* message, int32_t bus_kind, uint32_t channel,
                      int32_t source_address, const DecodedMessage* decoded, DynString* out) {
  if (!decoded) return false;
  if (!dynstring_reserve(out, dynstring_length(out) + PATH_CAPACITY)) return false;
  if (dynstring_format(out, "%s%u_", bus_kind == BUS_KIND_CAN ? "CAN" : "LIN", channel) < 0 ||
      !name_to_path_part(decoded->name, out))
    return false;
  for (const DecodedValue& v : decoded->values) {
    if (!v.has_branches || !message) continue;
    const Signal* signal = signal_list_find(&message->signals, v.name);
    uint32_t selector;
    if (!signal || !multiplexor_selector(v.value, &selector)) continue;
    const MuxBranch* branch = branch_containing(&signal->branches, selector);
    if (!branch) continue;
    if (!dynstring_append(out, "_") || !name_to_path_part(v.name, out) ||
        dynstring_format(out, "_M%02X", branch->low) < 0)
      return false;
  }
  return source_address == NO_SOURCE_ADDRESS ||
         dynstring_format(out, "_S%02X", static_cast<unsigned>(source_address) & 0xFF) >= 0;
}

uint64_t writer_identity(const DecodedMessage* decoded) {
  uint64_t identity = 0x9E3779B97F4A7C15ULL;
  for (const DecodedValue& v : decoded->values)
    identity = (identity ^ v.name_hash) * 0x100000001B3ULL + v.ignore;
  return identity;
}
