// What became of one file's bus frames, counted while they are read: per bus channel how many
// frames there were, how many a database decoded and how many gave rows, and which channel
// groups gave no frames and why. At the end of the file it tells why channels (or the whole
// file) gave no rows, so that no output is ever missing without a line saying why.
#pragma once

#include <cstdint>
#include <string_view>

#include "decode/j1939_transport.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"

// Bus kinds of the tally, and every value a bus-channel byte can hold.
constexpr int TALLY_CAN = 0;
constexpr int TALLY_LIN = 1;
constexpr int TALLY_CHANNELS = 256;

struct ChannelTally {
  uint64_t frames;    // data frames (CAN) or frames (LIN) with this channel number
  uint64_t matched;   // of them, those that a database of the channel decoded
  uint64_t rows;      // of them, those that gave at least one row
  uint64_t bad_time;  // matched frames left out for a time outside the calendar
  uint64_t j1939_broken[J1939_BREAK_REASONS];  // transport sessions that gave no message
};

// A channel group whose records gave no frames.
struct GroupTally {
  uint64_t key;      // which group of the file it is (the caller's numbering)
  DynString name;    // its kind's prefix ("CAN_DataFrame"), else its acquisition name
  DynString reason;  // "no time channel" ...
  uint64_t records;
  bool by_design;  // records that are never converted (LIN errors): told only when the file
                   // gives no rows at all
};

struct FrameTally {
  ChannelTally channels[2][TALLY_CHANNELS];  // TALLY_CAN, TALLY_LIN by channel number
  uint64_t remote_frames, error_frames;      // kinds of CAN frames that are not converted
  GrowArray<GroupTally> groups;
};

// Zeroes the counts and forgets the groups, for the next file.
void frame_tally_clear(FrameTally* tally);
void frame_tally_free(FrameTally* tally);
// Notes `records` records of the group `key` that gave no frame: added to the group's count
// when it was noted before, else a new group at the end. False when memory ran out (the group
// is then left out).
bool frame_tally_add_group(FrameTally* tally, uint64_t key, std::string_view name,
                           std::string_view reason, uint64_t records, bool by_design);

struct RowWriter;
struct RowRecord;

// Writes the tally's frame counts (channels with frames, remote and error frames; not the
// groups) as a tally record of the row stream, and zeroes them; nothing when all are zero.
void frame_tally_write(FrameTally* tally, RowWriter* out);
// Adds the counts of a tally record to the tally.
void frame_tally_add_record(FrameTally* tally, const RowRecord& record);

struct Session;

// Logs, for the file `input` whose frames the tally counted, one line per cause of missing
// rows: channels without a DBC file, channels none of whose frames matched a message of their
// DBC files or gave a row, channel numbers outside 1 to 9, groups that gave no frames; when
// the file gave no rows at all, at error level and with the kinds of frames that are not
// converted (or the absence of frames), otherwise as warnings for what gave none.
void session_report_file(const Session* session, std::string_view input);
