// The conversion session: DBC databases per bus channel, the open output writers, the file
// metadata that names them, and the output statistics.
#pragma once

#include <cstdint>

#include "decode/converter.h"
#include "support/dyn_string.h"
#include "support/ordered_map.h"

struct MessageDatabase;
struct CsvWriter;

constexpr int CHANNELS_PER_BUS = 9;
constexpr int DBC_SLOTS = 5;
constexpr int BUS_KIND_CAN = 1;
constexpr int BUS_KIND_LIN = 4;

// 2 buses (CAN, then LIN) x 9 channels x 5 paths; an empty string means no file.
struct DbcPathTable {
  DynString paths[2][CHANNELS_PER_BUS][DBC_SLOTS];
};

using MessageKeyFunction = uint32_t (*)(uint32_t id, bool extended);

struct ChannelDecoders {
  MessageDatabase* databases[DBC_SLOTS];  // filled from the front
  MessageKeyFunction key;                 // null: channel not configured
};

struct OutputStatistics {
  uint64_t files;
  uint64_t messages;
  uint64_t signals;
};

// Open output writers by writer key (bus kind, channel, source address, message key and the
// hash of the decoded value names).
using WriterMap = OrderedMap<uint64_t, CsvWriter*>;

struct Session {
  Converter base;
  ChannelDecoders channels[2 * CHANNELS_PER_BUS];  // CAN 1-9, then LIN 1-9
  uint32_t naming_serial, naming_session, naming_split;
  uint16_t output_year;
  uint8_t output_month, output_day;  // all zero: no date yet
  double time_base;                  // start of the current file, seconds since 1970 UTC
  uint32_t current_serial, current_session, current_split;
  uint32_t last_serial, last_session, last_split;
  uint8_t concatenate;
  const char* root_suffix;  // "_out" or ""
  WriterMap writers;
  OutputStatistics statistics;
};
