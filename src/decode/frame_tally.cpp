// The per-file tally of bus frames and the lines that say why a file or its channels gave no
// rows.
#include "decode/frame_tally.h"

#include <cstdio>
#include <cstring>

#include "dbc/message_db.h"
#include "decode/decoders.h"
#include "decode/row_stream.h"
#include "support/log.h"

void frame_tally_clear(FrameTally* tally) {
  for (GroupTally& g : tally->groups) {
    dynstring_free(&g.name);
    dynstring_free(&g.reason);
  }
  tally->groups.count = 0;
  tally->lengths.count = 0;
  memset(tally->channels, 0, sizeof tally->channels);
  tally->remote_frames = 0;
  tally->error_frames = 0;
  tally->other_frames = 0;
}

void frame_tally_free(FrameTally* tally) {
  frame_tally_clear(tally);
  grow_array_free(&tally->groups);
  grow_array_free(&tally->lengths);
}

namespace {

// Adds `add` to the message's entry, made at the end when there is none.
void merge_length(FrameTally* tally, const LengthTally& add) {
  for (LengthTally& t : tally->lengths) {
    if (t.bus != add.bus || t.channel != add.channel || t.database != add.database ||
        t.key != add.key)
      continue;
    t.frames += add.frames;
    for (int i = 0; i < 4; ++i) t.seen[i] |= add.seen[i];
    return;
  }
  grow_array_push(&tally->lengths, add);
}

}  // namespace

void frame_tally_add_length(FrameTally* tally, int bus, uint32_t channel, uint32_t database,
                            uint32_t key, uint32_t id, uint64_t length) {
  LengthTally add{static_cast<uint8_t>(bus),
                  static_cast<uint8_t>(channel),
                  static_cast<uint8_t>(database),
                  key,
                  id,
                  1,
                  {}};
  if (length < 256) add.seen[length / 64] = uint64_t{1} << (length % 64);
  merge_length(tally, add);
}

bool frame_tally_add_group(FrameTally* tally, uint64_t key, std::string_view name,
                           std::string_view reason, uint64_t records, bool by_design) {
  for (GroupTally& g : tally->groups) {
    if (g.key != key) continue;
    g.records += records;
    return true;
  }
  GroupTally g{key, {}, {}, records, by_design};
  if (dynstring_from(&g.name, name) && dynstring_from(&g.reason, reason) &&
      grow_array_push(&tally->groups, g))
    return true;
  dynstring_free(&g.name);
  dynstring_free(&g.reason);
  return false;
}

namespace {

// A tally record: remote and error frames, the number of channel entries, then each entry.
struct TallyHead {
  uint64_t remote_frames, error_frames, other_frames;
  uint32_t entries;
  uint32_t lengths;  // LengthTally entries after the channel entries
};
struct TallyEntry {
  uint8_t bus, channel;
  ChannelTally counts;
};

}  // namespace

void frame_tally_write(FrameTally* tally, RowWriter* out) {
  TallyHead head{tally->remote_frames, tally->error_frames, tally->other_frames, 0,
                 static_cast<uint32_t>(tally->lengths.count)};
  for (const auto& bus : tally->channels)
    for (const ChannelTally& c : bus) head.entries += c.frames != 0;
  if (head.entries == 0 && head.remote_frames == 0 && head.error_frames == 0 &&
      head.other_frames == 0)
    return;
  uint64_t size = sizeof head + head.entries * sizeof(TallyEntry) +
                  uint64_t{head.lengths} * sizeof(LengthTally);
  uint8_t* body = row_writer_reserve(out, size);
  if (!body) return;
  memcpy(body, &head, sizeof head);
  uint8_t* at = body + sizeof head;
  for (int bus = 0; bus < 2; ++bus) {
    for (int channel = 0; channel < TALLY_CHANNELS; ++channel) {
      ChannelTally& c = tally->channels[bus][channel];
      if (c.frames == 0) continue;
      TallyEntry entry{static_cast<uint8_t>(bus), static_cast<uint8_t>(channel), c};
      memcpy(at, &entry, sizeof entry);
      at += sizeof entry;
      c = ChannelTally{};
    }
  }
  if (head.lengths > 0) memcpy(at, tally->lengths.items, head.lengths * sizeof(LengthTally));
  tally->lengths.count = 0;
  tally->remote_frames = tally->error_frames = tally->other_frames = 0;
  row_writer_commit(out, ROW_RECORD_TALLY, size);
}

void frame_tally_add_record(FrameTally* tally, const RowRecord& record) {
  if (record.size < sizeof(TallyHead)) return;
  auto head = row_record_head<TallyHead>(record);
  if ((record.size - sizeof head) / sizeof(TallyEntry) < head.entries) return;
  uint64_t rest = record.size - sizeof head - uint64_t{head.entries} * sizeof(TallyEntry);
  if (rest / sizeof(LengthTally) < head.lengths) return;
  tally->remote_frames += head.remote_frames;
  tally->error_frames += head.error_frames;
  tally->other_frames += head.other_frames;
  for (uint32_t i = 0; i < head.entries; ++i) {
    TallyEntry entry;
    memcpy(&entry, record.body + sizeof head + i * sizeof entry, sizeof entry);
    ChannelTally& c = tally->channels[entry.bus & 1][entry.channel];
    c.frames += entry.counts.frames;
    c.matched += entry.counts.matched;
    c.rows += entry.counts.rows;
    c.bad_time += entry.counts.bad_time;
    c.length_mismatch += entry.counts.length_mismatch;
    c.unreadable += entry.counts.unreadable;
    c.filtered += entry.counts.filtered;
    for (int i = 0; i < J1939_BREAK_REASONS; ++i) c.j1939_broken[i] += entry.counts.j1939_broken[i];
  }
  const uint8_t* lengths = record.body + sizeof head + head.entries * sizeof(TallyEntry);
  for (uint32_t i = 0; i < head.lengths; ++i) {
    LengthTally entry;
    memcpy(&entry, lengths + i * sizeof entry, sizeof entry);
    merge_length(tally, entry);
  }
}

uint64_t frame_account_read(const FrameAccount& account) {
  uint64_t read = 0;
  for (uint64_t n : account.fates) read += n;
  return read;
}

void frame_account_add(FrameAccount* sum, const FrameAccount& more) {
  for (int i = 0; i < FATE_COUNT; ++i) sum->fates[i] += more.fates[i];
}

namespace {

// The fates of one channel's frames. Every count below `frames` is a subset of them, so that
// damaged counts can only shift frames between fates, never make more or fewer.
FrameAccount channel_account(const ChannelTally& c, bool has_dbc) {
  FrameAccount a{};
  if (!has_dbc) {
    a.fates[FATE_NO_DBC] = c.frames;
    return a;
  }
  uint64_t left = c.frames;
  auto take = [&left](uint64_t n) {
    n = n < left ? n : left;
    left -= n;
    return n;
  };
  a.fates[FATE_UNREADABLE] = take(c.unreadable);
  a.fates[FATE_DECODED] = take(c.rows);
  a.fates[FATE_BAD_TIME] = take(c.bad_time);
  uint64_t matched = c.matched > c.rows + c.bad_time ? c.matched - c.rows - c.bad_time : 0;
  a.fates[FATE_OUT_OF_RANGE] = take(matched);
  a.fates[FATE_LENGTH_MISMATCH] = take(c.length_mismatch);
  a.fates[FATE_FILTERED] = take(c.filtered);
  a.fates[FATE_UNKNOWN_ID] = left;
  return a;
}

}  // namespace

void frame_tally_account(const FrameTally* tally, const Decoders* decoders, FrameAccount* file,
                         FrameAccount (*channels)[TALLY_CHANNELS]) {
  *file = FrameAccount{};
  for (int bus = 0; bus < 2; ++bus) {
    for (int channel = 0; channel < TALLY_CHANNELS; ++channel) {
      const ChannelTally& c = tally->channels[bus][channel];
      if (c.frames == 0) continue;
      bool has_dbc =
          channel < CHANNELS_PER_BUS && decoders->channels[bus * CHANNELS_PER_BUS + channel].key;
      FrameAccount a = channel_account(c, has_dbc);
      frame_account_add(file, a);
      if (channels) frame_account_add(&channels[bus][channel], a);
    }
  }
  file->fates[FATE_NOT_DATA] += tally->remote_frames + tally->error_frames + tally->other_frames;
  for (const GroupTally& g : tally->groups)
    file->fates[g.by_design ? FATE_NOT_DATA : FATE_UNREADABLE] += g.records;
}

namespace {

// A count with thousands separators ("14,600"), as people read frame counts.
struct Count {
  char text[32];
  const char* s;  // the plural ending of the noun that follows it
  explicit Count(uint64_t n) : s(n == 1 ? "" : "s") {
    char digits[24];
    int length = snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(n));
    int at = 0;
    for (int i = 0; i < length; ++i) {
      if (i > 0 && (length - i) % 3 == 0) text[at++] = ',';
      text[at++] = digits[i];
    }
    text[at] = 0;
  }
};

// The lines of one file: errors when it gave no rows, otherwise warnings.
struct Report {
  std::string_view input;
  bool no_rows;
  int lines;
};

// A `lost` cause (frames on a channel without DBC file, frames of another length than their
// message's) is shown by default also when the file gives rows: nothing else would tell of
// them.
void say(Report* r, const char* cause, bool lost = false) {
  r->lines += 1;
  const int n = static_cast<int>(r->input.size());
  if (r->no_rows) {
    LOG(LOG_ERROR, "No rows from %.*s: %s", n, r->input.data(), cause);
  } else if (lost) {
    LOG_SHOWN_WARNING("%.*s: %s", n, r->input.data(), cause);
  } else {
    LOG(LOG_WARN, "%.*s: %s", n, r->input.data(), cause);
  }
}

// Why a channel whose frames gave no row gave none.
void report_channel(Report* r, const ChannelTally& c, const char* bus, int channel,
                    const ChannelDecoders* decoders) {
  char line[512];
  Count frames(c.frames), matched(c.matched);
  bool lost = !decoders || !decoders->key;
  if (!decoders) {
    snprintf(line, sizeof line,
             "%s frame%s on %s %d: channel numbers outside 0 to %d are not converted", frames.text,
             frames.s, bus, channel, CHANNELS_PER_BUS - 1);
  } else if (!decoders->key) {
    snprintf(line, sizeof line, "no DBC file for %s %d (%s frame%s)", bus, channel, frames.text,
             frames.s);
  } else {
    const char* files = dynstring_data(&decoders->files);
    if (c.matched == 0 && c.filtered > 0) {
      Count filtered(c.filtered);
      snprintf(line, sizeof line,
               "%s of %s frame%s on %s %d matched a message of %s that --signals leaves out",
               filtered.text, frames.text, frames.s, bus, channel, files);
    } else if (c.matched == 0) {
      snprintf(line, sizeof line, "0 of %s frame%s on %s %d matched a message of %s", frames.text,
               frames.s, bus, channel, files);
    } else {
      snprintf(line, sizeof line,
               "%s of %s frame%s on %s %d matched a message of %s, but none gave a row: %s",
               matched.text, frames.text, frames.s, bus, channel, files,
               c.bad_time ? "their times lie outside the calendar"
                          : "no signal value lay within its range");
    }
  }
  say(r, line, lost);
}

// The lengths of `seen`, as "6, 7" (at most eight, then "...").
void format_lengths(const uint64_t seen[4], char* out, size_t room) {
  size_t used = 0;
  int listed = 0;
  out[0] = 0;
  for (int length = 0; length < 256 && used < room; ++length) {
    if (!(seen[length / 64] >> (length % 64) & 1)) continue;
    int n = listed == 8 ? snprintf(out + used, room - used, ", ...")
                        : snprintf(out + used, room - used, "%s%d", listed ? ", " : "", length);
    if (n < 0) break;
    used += static_cast<size_t>(n);
    if (++listed > 8) break;
  }
}

// Frames left out because their length is not their message's, per message.
void report_lengths(Report* r, const Decoders* decoders, const FrameTally* tally) {
  char line[512], lengths[64];
  for (const LengthTally& t : tally->lengths) {
    if (t.channel >= CHANNELS_PER_BUS || t.database >= DBC_SLOTS) continue;
    const ChannelDecoders& channel = decoders->channels[t.bus * CHANNELS_PER_BUS + t.channel];
    const MessageDatabase* database = channel.databases[t.database];
    const Message* message = database ? message_db_find(database, t.key) : nullptr;
    if (!message) continue;
    Count frames(t.frames);
    format_lengths(t.seen, lengths, sizeof lengths);
    snprintf(line, sizeof line,
             "%s frame%s of message %s (id 0x%X) on %s %d left out for their length: %s "
             "byte%s, where %s gives the message %u",
             frames.text, frames.s, dynstring_data(&message->name), t.id,
             t.bus == TALLY_CAN ? "CAN" : "LIN", t.channel, lengths,
             strcmp(lengths, "1") == 0 ? "" : "s", dynstring_data(&channel.files), message->size);
    say(r, line, true);
  }
}

void report_groups(Report* r, const FrameTally* tally) {
  char line[512];
  for (const GroupTally& g : tally->groups) {
    if (g.by_design && !r->no_rows) continue;
    Count records(g.records);
    snprintf(line, sizeof line, "group %s: %s (%s record%s)", dynstring_data(&g.name),
             dynstring_data(&g.reason), records.text, records.s);
    say(r, line);
  }
}

// What explains a file without rows besides its channels and groups.
void report_kinds(Report* r, const FrameTally* tally) {
  char line[512];
  Count remote(tally->remote_frames), errors(tally->error_frames);
  if (tally->remote_frames && tally->error_frames) {
    snprintf(line, sizeof line, "%s remote frame%s and %s error frame%s, which are not converted",
             remote.text, remote.s, errors.text, errors.s);
  } else if (tally->remote_frames || tally->error_frames) {
    const Count& only = tally->remote_frames ? remote : errors;
    snprintf(line, sizeof line, "%s %s frame%s, which are not converted", only.text,
             tally->remote_frames ? "remote" : "error", only.s);
  } else if (r->lines == 0) {
    snprintf(line, sizeof line, "its bus-logging channel groups hold no frames");
  } else {
    return;
  }
  say(r, line);
}

// One warning per channel and reason for J1939 transport sessions that gave no message.
void report_j1939_breaks(std::string_view input, const FrameTally* tally) {
  for (int channel = 0; channel < TALLY_CHANNELS; ++channel) {
    const ChannelTally& c = tally->channels[TALLY_CAN][channel];
    for (int reason = 0; reason < J1939_BREAK_REASONS; ++reason) {
      if (!c.j1939_broken[reason]) continue;
      Count broken(c.j1939_broken[reason]);
      LOG(LOG_WARN, "%.*s: CAN channel %d: %s J1939 transport session%s gave no message (%s)",
          static_cast<int>(input.size()), input.data(), channel, broken.text, broken.s,
          j1939_break_name(reason));
    }
  }
}

}  // namespace

void frame_tally_report(const FrameTally* tally, const Decoders* decoders, std::string_view input) {
  uint64_t rows = 0;
  for (const auto& bus : tally->channels)
    for (const ChannelTally& c : bus) rows += c.rows;
  Report r{input, rows == 0, 0};
  for (int bus = 0; bus < 2; ++bus) {
    for (int channel = 0; channel < TALLY_CHANNELS; ++channel) {
      const ChannelTally& c = tally->channels[bus][channel];
      if (c.frames == 0 || c.rows > 0) continue;
      const ChannelDecoders* channel_decoders =
          channel < CHANNELS_PER_BUS ? &decoders->channels[bus * CHANNELS_PER_BUS + channel]
                                     : nullptr;
      report_channel(&r, c, bus == TALLY_CAN ? "CAN" : "LIN", channel, channel_decoders);
    }
  }
  report_lengths(&r, decoders, tally);
  report_groups(&r, tally);
  report_j1939_breaks(input, tally);
  if (r.no_rows) report_kinds(&r, tally);
}
