// The decoders of a run: the message databases of each bus channel, loaded from the run's DBC
// files, and the options of how stage A formats rows. Stage A only reads them, on any thread.
#pragma once

#include <cstdint>

#include "support/dyn_string.h"

struct MessageDatabase;

// Bus channels 0 to 9 (some writers number their first interface 0); a table of channels is
// indexed by the channel number.
constexpr int CHANNELS_PER_BUS = 10;
constexpr int DBC_SLOTS = 5;
constexpr int BUS_KIND_CAN = 1;
constexpr int BUS_KIND_LIN = 4;

// 2 buses (CAN, then LIN) x 10 channels (0 to 9) x 5 paths; an empty string means no file.
struct DbcPathTable {
  DynString paths[2][CHANNELS_PER_BUS][DBC_SLOTS];
};

using MessageKeyFunction = uint32_t (*)(uint32_t id, bool extended);

struct ChannelDecoders {
  MessageDatabase* databases[DBC_SLOTS];  // filled from the front
  MessageKeyFunction key;                 // null: channel not configured
  DynString files;                        // the DBC files' paths, joined by " or "
};

struct Decoders {
  ChannelDecoders channels[2 * CHANNELS_PER_BUS];  // CAN 0-9, then LIN 0-9
  // --values=text: a value with an entry in its signal's value table is written as its text.
  bool values_text;
  // --time=iso: row times as "yyyy-mm-ddThh:mm:ss.uuuuuuZ".
  bool time_iso;
  // Rows are written in binary form (ROW_RECORD_VALUES) for a format that takes them so, not
  // as CSV lines; set by the run from its output format.
  bool binary_rows;
};

// Loads every configured DBC file of the 20 channels into `decoders` (zeroed by the caller).
// False when a DBC file cannot be opened or loaded (logged with its path); decoders_free then
// releases what was loaded.
bool decoders_load(Decoders* decoders, const DbcPathTable* dbc_paths, bool values_text,
                   bool time_iso);
// Frees the databases; the record is then empty.
void decoders_free(Decoders* decoders);
