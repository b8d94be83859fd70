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
  uint64_t frames;           // data frames (CAN) or frames (LIN) with this channel number
  uint64_t matched;          // of them, those that a database of the channel decoded (a
                             // reassembled transport message counts on its last packet)
  uint64_t rows;             // of them, those that gave at least one row
  uint64_t bad_time;         // matched frames left out for a time outside the calendar
  uint64_t length_mismatch;  // not matched, but a message has their id with another length
  uint64_t unreadable;       // a length beyond the frame's data area: their bytes are not there
  uint64_t filtered;         // not matched: every message with their id is left out (--signals)
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

// Frames that no database decoded because their length differs from that of the message a
// database of their channel has for their identifier (the first such database).
struct LengthTally {
  uint8_t bus, channel, database;  // database: its slot on the channel
  uint32_t key;                    // the message key
  uint32_t id;                     // the identifier of the first such frame, as logged
  uint64_t frames;
  uint64_t seen[4];  // the lengths the frames had, one bit per length 0 to 255
};

struct FrameTally {
  ChannelTally channels[2][TALLY_CHANNELS];  // TALLY_CAN, TALLY_LIN by channel number
  uint64_t remote_frames, error_frames;      // kinds of CAN frames that are not converted
  uint64_t other_frames;                     // frames of other kinds, also not converted
  GrowArray<GroupTally> groups;
  GrowArray<LengthTally> lengths;  // by message, in the order first met
};

// Zeroes the counts and forgets the groups, for the next file.
void frame_tally_clear(FrameTally* tally);
void frame_tally_free(FrameTally* tally);
// Notes `records` records of the group `key` that gave no frame: added to the group's count
// when it was noted before, else a new group at the end. False when memory ran out (the group
// is then left out).
bool frame_tally_add_group(FrameTally* tally, uint64_t key, std::string_view name,
                           std::string_view reason, uint64_t records, bool by_design);

// Counts a frame of `length` bytes (and identifier `id`) that the message `key` of the
// database in slot `database` of the channel did not take for its length. Without memory for a
// new message the frame stays counted by its channel only.
void frame_tally_add_length(FrameTally* tally, int bus, uint32_t channel, uint32_t database,
                            uint32_t key, uint32_t id, uint64_t length);

struct RowWriter;
struct RowRecord;

// Writes the tally's frame counts (channels with frames, remote and error frames, frames of a
// length their message does not have; not the groups) as a tally record of the row stream, and
// zeroes them; nothing when all are zero.
void frame_tally_write(FrameTally* tally, RowWriter* out);
// Adds the counts of a tally record to the tally.
void frame_tally_add_record(FrameTally* tally, const RowRecord& record);

// Where a frame went: every frame read ends in exactly one of these.
enum FrameFate : int32_t {
  FATE_DECODED,          // gave a row
  FATE_NO_DBC,           // its channel has no DBC file
  FATE_UNKNOWN_ID,       // no message of the channel's DBC files has its id
  FATE_LENGTH_MISMATCH,  // a message has its id, but another length
  FATE_OUT_OF_RANGE,     // decoded, but no signal value lay within its range
  FATE_BAD_TIME,         // decoded, but its time lies outside the calendar
  FATE_UNREADABLE,       // its payload or fields could not be read
  FATE_NOT_DATA,         // remote, error and other frames that carry no data to decode
  FATE_FILTERED,         // of a message that the signal selection (--signals) leaves out
  FATE_COUNT,
};
// The fates' names in the run summary.
constexpr const char* FATE_NAMES[FATE_COUNT] = {"decoded",         "no_dbc",       "unknown_id",
                                                "length_mismatch", "out_of_range", "bad_time",
                                                "unreadable",      "not_data",     "filtered"};

// Frames counted by fate; `read` is their sum.
struct FrameAccount {
  uint64_t fates[FATE_COUNT];
};
uint64_t frame_account_read(const FrameAccount& account);
void frame_account_add(FrameAccount* sum, const FrameAccount& more);

struct Decoders;

// The fates of the frames the tally counted, for the file (every frame of it, and the records
// of groups that gave no frame: unreadable, or not data for groups never converted) and, when
// `channels` is given, by bus (TALLY_CAN, TALLY_LIN) and channel number.
// `decoders` says which channels have DBC files.
void frame_tally_account(const FrameTally* tally, const Decoders* decoders, FrameAccount* file,
                         FrameAccount (*channels)[TALLY_CHANNELS]);

// Logs, for the file `input` whose frames the tally counted, one line per cause of missing
// rows: channels without a DBC file, channels none of whose frames matched a message of their
// DBC files or gave a row, channel numbers outside 0 to 9, groups that gave no frames; when
// the file gave no rows at all, at error level and with the kinds of frames that are not
// converted (or the absence of frames), otherwise as warnings for what gave none. Frames left
// out for their length, and frames on channels without DBC file, are told at the default level
// also when the file gives rows.
void frame_tally_report(const FrameTally* tally, const Decoders* decoders, std::string_view input);
