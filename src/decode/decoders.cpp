// Loading the run's DBC files into the decoders of each bus channel.
#include "decode/decoders.h"

#include "dbc/dbc_parser.h"
#include "dbc/message_db.h"
#include "decode/row_files.h"
#include "io/stream.h"
#include "support/hash_table.h"
#include "support/log.h"

namespace {

uint32_t lin_key(uint32_t id, bool) { return lin_message_key(id); }

}  // namespace

namespace {

// The first message that has a folder name (path part): the part itself is not kept but made
// again from the message's name when another part has the same hash, so the table costs 16
// bytes per message of a database with millions of them.
struct FolderEntry {
  uint64_t hash;
  const Message* message;
};
struct FolderKey {
  uint64_t hash;
  std::string_view part;
  DynString* scratch;
};
struct FolderTraits {
  using Key = FolderKey;
  static uint64_t hash(const Key& k) { return k.hash; }
  static uint64_t hash_entry(const FolderEntry& e) { return e.hash; }
  static bool equal(const FolderEntry& e, const Key& k) {
    if (e.hash != k.hash) return false;
    dynstring_clear(k.scratch);
    return name_to_path_part(dynstring_sv(&e.message->name), k.scratch) &&
           dynstring_sv(k.scratch) == k.part;
  }
  static void destroy(FolderEntry&) {}
};

// Messages whose names differ only in characters that file names leave out ("Engine_Data" and
// "EngineData") write into one folder, the second one's files told apart by a numbered suffix:
// said once per pair at the default verbosity, since a reader of the tree could take them for
// one message.
void warn_shared_folders(const ChannelDecoders& decoders, const char* bus, int channel) {
  HashTable<FolderEntry> parts;  // path part to the first message name that has it
  int64_t messages = 0;
  for (MessageDatabase* database : decoders.databases) {
    if (!database) break;
    messages += database->messages.used;
  }
  if (messages < INT32_MAX) hash_table_rehash<FolderTraits>(&parts, static_cast<int32_t>(messages));
  ScopedDynString part, scratch;
  for (MessageDatabase* database : decoders.databases) {
    if (!database) break;
    ordered_map_for_each(&database->messages, [&](const uint32_t&, const Message& message) {
      dynstring_clear(&part.s);
      if (!name_to_path_part(dynstring_sv(&message.name), &part.s) || part.view().empty())
        return true;
      FolderKey key{string_hash(part.view()), part.view(), &scratch.s};
      HashSlot<FolderEntry> slot = hash_table_find_or_insert<FolderTraits>(&parts, key);
      if (!slot.slot) return false;
      if (slot.inserted) {
        *slot.slot = FolderEntry{key.hash, &message};
      } else if (dynstring_sv(&slot.slot->message->name) != dynstring_sv(&message.name)) {
        LOG(LOG_ERROR,
            "Messages %s and %s of %s %d share the output folder %s%d_%s: the files of the one "
            "decoded later get a numbered suffix (_2.csv)",
            dynstring_data(&slot.slot->message->name), dynstring_data(&message.name), bus, channel,
            bus, channel, dynstring_data(&part.s));
      }
      return true;
    });
  }
  hash_table_destroy<FolderTraits>(&parts);
}

}  // namespace

bool decoders_load(Decoders* decoders, const DbcPathTable* dbc_paths, bool values_text,
                   bool time_iso) {
  if (!decoders || !dbc_paths) return false;
  decoders->values_text = values_text;
  decoders->time_iso = time_iso;
  bool ok = true;
  for (int bus = 0; bus < 2; ++bus) {
    for (int channel = 0; channel < CHANNELS_PER_BUS; ++channel) {
      ChannelDecoders& channel_decoders = decoders->channels[bus * CHANNELS_PER_BUS + channel];
      int used = 0;
      for (const DynString& path : dbc_paths->paths[bus][channel]) {
        if (dynstring_length(&path) == 0) continue;
        Stream* stream = file_stream_open(dynstring_data(&path), 0);
        if (!stream) {
          LOG(LOG_FATAL, "Could not open DBC file %s", dynstring_data(&path));
          ok = false;
          continue;
        }
        MessageDatabase* database = dbc_load(stream, dynstring_sv(&path), values_text);
        stream_close(stream);
        if (!database) {
          LOG(LOG_FATAL, "Could not load DBC file %s", dynstring_data(&path));
          ok = false;
          continue;
        }
        channel_decoders.databases[used++] = database;
        if ((used > 1 && !dynstring_append(&channel_decoders.files, " or ")) ||
            !dynstring_append(&channel_decoders.files, dynstring_sv(&path))) {
          LOG(LOG_FATAL, "Out of memory loading DBC file %s", dynstring_data(&path));
          ok = false;
        }
        if (bus == 1) {
          channel_decoders.key = lin_key;
        } else {
          channel_decoders.key =
              database->protocol == PROTOCOL_J1939 ? j1939_message_key : can_message_key;
        }
      }
    }
  }
  if (!ok) return false;
  for (int index = 0; index < 2 * CHANNELS_PER_BUS; ++index)
    warn_shared_folders(decoders->channels[index], index < CHANNELS_PER_BUS ? "CAN" : "LIN",
                        index % CHANNELS_PER_BUS);
  return true;
}

void decoders_free(Decoders* decoders) {
  if (!decoders) return;
  for (ChannelDecoders& channel : decoders->channels) {
    for (MessageDatabase*& database : channel.databases) {
      if (database) message_db_free(database);
      database = nullptr;
    }
    dynstring_free(&channel.files);
  }
}
