// Output files of a session: writer keys, file paths and names, folder creation, and the
// writer map's flush and destruction.
#include "decode/output_files.h"

#include <cmath>

#include "dbc/message_db.h"
#include "decode/csv_writer.h"
#include "io/fs_root.h"
#include "support/grow_array.h"
#include "support/hash_table.h"
#include "support/log.h"

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

// The low 32 bits of the value truncated toward zero; false for NaN and infinities. fmod is
// exact, so values beyond the 64-bit range keep their true low bits.
bool low_32_bits(double value, uint32_t* out) {
  if (!std::isfinite(value)) return false;
  double r = std::fmod(std::trunc(value), 4294967296.0);
  if (r < 0) r += 4294967296.0;
  *out = static_cast<uint32_t>(r);
  return true;
}

// Creates every folder of the relative file path, outermost first; stops at the first
// failure, which then shows as a file that cannot be created.
void make_parent_directories(FsRoot* root, std::string_view relative_file) {
  size_t end = relative_file.rfind('/');
  if (end == std::string_view::npos) return;
  for (size_t at = 0; at < end;) {
    size_t next = relative_file.find('/', at);
    if (next == std::string_view::npos || next > end) next = end;
    if (next > at && !fs_ensure_directory(root, relative_file.substr(0, next))) return;
    at = next + 1;
  }
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

bool output_relative_path(const Session* session, const Message* message, int32_t bus_kind,
                          uint32_t channel, int32_t source_address, const DecodedMessage* decoded,
                          DynString* out) {
  if (!session || !decoded) return false;
  if (!dynstring_reserve(out, dynstring_length(out) + PATH_CAPACITY)) return false;
  const char* suffix = session->root_suffix ? session->root_suffix : "";
  if (dynstring_format(out, "%08X%s/%s%u_", session->naming_serial, suffix,
                       bus_kind == BUS_KIND_CAN ? "CAN" : "LIN", channel) < 0 ||
      !name_to_path_part(dynstring_sv(&decoded->name), out))
    return false;
  for (const DecodedValue& v : decoded->values) {
    if (!v.has_branches || !message) continue;
    const Signal* signal = signal_list_find(&message->signals, dynstring_sv(&v.name));
    uint32_t selector;
    if (!signal || !low_32_bits(v.value, &selector)) continue;
    const MuxBranch* branch = branch_containing(&signal->branches, selector);
    if (!branch) continue;
    if (!dynstring_append(out, "_") || !name_to_path_part(dynstring_sv(&v.name), out) ||
        dynstring_format(out, "_M%02X", branch->low) < 0)
      return false;
  }
  if (source_address != NO_SOURCE_ADDRESS &&
      dynstring_format(out, "_S%02X", static_cast<unsigned>(source_address) & 0xFF) < 0)
    return false;
  return dynstring_format(out, "/%04i/%02i/%02i/%08u_%08u", session->output_year,
                          session->output_month, session->output_day, session->naming_session,
                          session->naming_split) >= 0;
}

namespace {

// Two writers of one output set must never share a file: the second would truncate the first
// one's rows. That happens when two databases decode a message into different signal sets (or
// two value sets hash alike). The later writer's file name then gets "_2", "_3", ...
bool make_path_unique(Session* session, DynString* relative) {
  if (!hash_table_find<StringKeyTraits<StringSetEntry>>(&session->open_paths,
                                                        dynstring_sv(relative)))
    return true;
  uint64_t length = dynstring_length(relative);
  for (uint32_t n = 2;; ++n) {
    dynstring_truncate(relative, length);
    if (dynstring_format(relative, "_%u", n) < 0) return false;
    if (!hash_table_find<StringKeyTraits<StringSetEntry>>(&session->open_paths,
                                                          dynstring_sv(relative)))
      return true;
  }
}

}  // namespace

uint64_t writer_identity(const DecodedMessage* decoded) {
  uint64_t identity = 0x9E3779B97F4A7C15ULL;
  for (const DecodedValue& v : decoded->values)
    identity = (identity ^ v.name_hash) * 0x100000001B3ULL + v.ignore;
  return identity;
}

bool session_close_outputs(Session* session) {
  bool ok = writer_map_destroy(&session->writers);
  hash_table_destroy<StringKeyTraits<StringSetEntry>>(&session->open_paths);
  return ok;
}

CsvWriter* writer_for_message(Session* session, const Message* message, int32_t bus_kind,
                              uint32_t channel, int32_t source_address,
                              const DecodedMessage* decoded) {
  if (!session || !decoded || bus_kind < 0 || bus_kind >= 16 || channel >= 16) return nullptr;
  // The key's 16-bit hash of the value names can be equal for different value sets; the
  // writer's identity (all names, in order) tells them apart, and a taken key sends the set on
  // to the next key, so two sets never share a file or a header.
  uint64_t key = writer_key(bus_kind, channel, source_address, decoded);
  uint64_t identity = writer_identity(decoded);
  CsvWriter** known = ordered_map_find(&session->writers, key);
  while (known && *known && (*known)->identity != identity) {
    key += uint64_t{1} << 48;
    known = ordered_map_find(&session->writers, key);
  }
  if (known && *known) return *known;

  ScopedDynString relative, full;
  GrowArray<const char*> names{};
  CsvWriter* writer = nullptr;
  bool built = output_relative_path(session, message, bus_kind, channel, source_address, decoded,
                                    &relative.s) &&
               make_path_unique(session, &relative.s) && session->base.output_root &&
               fs_join(session->base.output_root, relative.view(), &full.s);
  if (built) {
    make_parent_directories(session->base.output_root, relative.view());
    for (const DecodedValue& v : decoded->values) {
      if (v.ignore) continue;
      if (!grow_array_push(&names, dynstring_data(&v.name))) {
        built = false;
        break;
      }
    }
  }
  if (built) {
    writer =
        csv_writer_open(dynstring_data(&full.s), names.items, static_cast<uint32_t>(names.count));
  }
  grow_array_free(&names);

  if (writer) {
    // A key known from a failed attempt already has its node.
    CsvWriter** slot = known ? known : ordered_map_insert(&session->writers, key).value;
    if (slot && string_set_insert(&session->open_paths, relative.view())) {
      writer->identity = identity;
      *slot = writer;
      ++session->statistics.files;
      return writer;
    }
    csv_writer_close(writer);
  }
  LOG(LOG_ERROR, "Could not create output writer");
  if (!known) {
    LOG(LOG_ERROR, "Output file %s.csv could not be created",
        built ? dynstring_data(&full.s) : dynstring_data(&relative.s));
    // Remembers that the path has been reported; later attempts still try to create the file.
    ordered_map_insert(&session->writers, key);
  }
  return nullptr;
}

bool writer_map_flush(WriterMap* writers) {
  bool ok = true;
  if (!writers->nodes) return ok;
  ordered_map_for_each(writers, [&](const uint64_t&, CsvWriter*& writer) {
    if (writer && !csv_writer_flush(writer)) {
      LOG(LOG_ERROR, "Could not flush output file %s", csv_writer_path(writer));
      ok = false;
    }
    return true;
  });
  return ok;
}

bool writer_map_destroy(WriterMap* writers) {
  bool ok = true;
  if (writers->nodes) {
    ordered_map_for_each(writers, [&](const uint64_t&, CsvWriter*& writer) {
      if (!writer) return true;
      // Kept for the report after the writer is gone.
      ScopedDynString path;
      path.s = writer->path;
      writer->path = DynString{};
      if (!csv_writer_close(writer)) {
        LOG(LOG_ERROR, "Could not close output file %s", dynstring_data(&path.s));
        ok = false;
      }
      writer = nullptr;
      return true;
    });
  }
  ordered_map_clear(writers);
  return ok;
}
