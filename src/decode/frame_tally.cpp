// The per-file tally of bus frames and the lines that say why a file or its channels gave no
// rows.
#include "decode/frame_tally.h"

#include <cstdio>
#include <cstring>

#include "decode/row_stream.h"
#include "decode/session.h"
#include "support/log.h"

void frame_tally_clear(FrameTally* tally) {
  for (GroupTally& g : tally->groups) {
    dynstring_free(&g.name);
    dynstring_free(&g.reason);
  }
  tally->groups.count = 0;
  memset(tally->channels, 0, sizeof tally->channels);
  tally->remote_frames = 0;
  tally->error_frames = 0;
}

void frame_tally_free(FrameTally* tally) {
  frame_tally_clear(tally);
  grow_array_free(&tally->groups);
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
  uint64_t remote_frames, error_frames;
  uint32_t entries;
};
struct TallyEntry {
  uint8_t bus, channel;
  ChannelTally counts;
};

}  // namespace

void frame_tally_write(FrameTally* tally, RowWriter* out) {
  TallyHead head{tally->remote_frames, tally->error_frames, 0};
  for (const auto& bus : tally->channels)
    for (const ChannelTally& c : bus) head.entries += c.frames != 0;
  if (head.entries == 0 && head.remote_frames == 0 && head.error_frames == 0) return;
  uint64_t size = sizeof head + head.entries * sizeof(TallyEntry);
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
  tally->remote_frames = tally->error_frames = 0;
  row_writer_commit(out, ROW_RECORD_TALLY, size);
}

void frame_tally_add_record(FrameTally* tally, const RowRecord& record) {
  if (record.size < sizeof(TallyHead)) return;
  auto head = row_record_head<TallyHead>(record);
  if ((record.size - sizeof head) / sizeof(TallyEntry) < head.entries) return;
  tally->remote_frames += head.remote_frames;
  tally->error_frames += head.error_frames;
  for (uint32_t i = 0; i < head.entries; ++i) {
    TallyEntry entry;
    memcpy(&entry, record.body + sizeof head + i * sizeof entry, sizeof entry);
    ChannelTally& c = tally->channels[entry.bus & 1][entry.channel];
    c.frames += entry.counts.frames;
    c.matched += entry.counts.matched;
    c.rows += entry.counts.rows;
    c.bad_time += entry.counts.bad_time;
    for (int i = 0; i < J1939_BREAK_REASONS; ++i) c.j1939_broken[i] += entry.counts.j1939_broken[i];
  }
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

void say(Report* r, const char* cause) {
  r->lines += 1;
  const int n = static_cast<int>(r->input.size());
  if (r->no_rows) {
    LOG(LOG_ERROR, "No rows from %.*s: %s", n, r->input.data(), cause);
  } else {
    LOG(LOG_WARN, "%.*s: %s", n, r->input.data(), cause);
  }
}

// Why a channel whose frames gave no row gave none.
void report_channel(Report* r, const ChannelTally& c, const char* bus, int channel,
                    const ChannelDecoders* decoders) {
  char line[512];
  Count frames(c.frames), matched(c.matched);
  if (channel < 1 || channel > CHANNELS_PER_BUS) {
    snprintf(line, sizeof line,
             "%s frame%s on %s %d: channel numbers outside 1 to %d are not converted", frames.text,
             frames.s, bus, channel, CHANNELS_PER_BUS);
  } else if (!decoders->key) {
    snprintf(line, sizeof line, "no DBC file for %s %d (%s frame%s)", bus, channel, frames.text,
             frames.s);
  } else {
    const char* files = dynstring_data(&decoders->files);
    if (c.matched == 0) {
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
  say(r, line);
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

void session_report_file(const Session* session, std::string_view input) {
  const FrameTally* tally = &session->base.tally;
  uint64_t rows = 0;
  for (const auto& bus : tally->channels)
    for (const ChannelTally& c : bus) rows += c.rows;
  Report r{input, rows == 0, 0};
  for (int bus = 0; bus < 2; ++bus) {
    for (int channel = 0; channel < TALLY_CHANNELS; ++channel) {
      const ChannelTally& c = tally->channels[bus][channel];
      if (c.frames == 0 || c.rows > 0) continue;
      const ChannelDecoders* decoders =
          channel >= 1 && channel <= CHANNELS_PER_BUS
              ? &session->channels[bus * CHANNELS_PER_BUS + channel - 1]
              : nullptr;
      report_channel(&r, c, bus == TALLY_CAN ? "CAN" : "LIN", channel, decoders);
    }
  }
  report_groups(&r, tally);
  report_j1939_breaks(input, tally);
  if (r.no_rows) report_kinds(&r, tally);
}
