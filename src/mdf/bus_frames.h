// Bus-logging frame extraction: turns one record of a bus-logging channel group (channels named
// "CAN_DataFrame.ID", "LIN_Frame.DataBytes", "Timestamp" ...) into one BusFrame.
//
// The layouts and channel lists include this header: they keep a FrameExtractor and a GroupKind
// per channel group, call frame_role_from_name for each leaf channel listed, and
// select_frame_extractor once per bus-source channel group. The types it shares with them
// (BusFrame, GroupKind, RecordChannel, RecordView) live in frame_types.h and record_types.h.
#pragma once

#include <cstdint>
#include <string_view>

#include "mdf/frame_types.h"

struct RecordChannel;
struct DynString;

FrameRole frame_role_from_name(std::string_view name);

// Chooses the extractor of a channel group from its leaf channels. False when the dotted names
// do not share exactly one prefix (the caller keeps extract_nothing); otherwise true with the
// extractor and kind of the prefix (extract_nothing and GROUP_NONE for an unknown prefix).
bool select_frame_extractor(const RecordChannel* channels, int32_t count, FrameExtractor* extractor,
                            GroupKind* group_kind);

// Why the records of a bus-logging channel group give no frames, judged from its channels
// alone: a short text for a message ("no time channel", "channel \"CAN_DataFrame.ID\" has data
// type 11 (MIME sample), which is not read" ...) appended to `why`. `kind` is what
// select_frame_extractor chose (GROUP_NONE when it chose none). False when the channels allow
// frames; single records may still be refused, such as those whose DataBytes hold more than 64
// bytes.
bool frame_group_refusal(const RecordChannel* channels, int32_t count, GroupKind kind,
                         DynString* why);
// The index of the first channel that a group of `kind` takes a frame field from but whose data
// type is not read (VALUE_UNREADABLE), or -1: such a group gives no frames.
int32_t frame_group_unreadable_field(const RecordChannel* channels, int32_t count, GroupKind kind);
// The channels that frames of `kind` pass over although they are no optional member of the
// frame's own prefix (such as "__samples_origin", added by a writer that concatenates files):
// appends their names, quoted and separated by ", ", to `names` and returns how many there are.
int32_t frame_group_ignored(const RecordChannel* channels, int32_t count, GroupKind kind,
                            DynString* names);

uint32_t extract_can_data_frame(const RecordView* view, BusFrame* frame);
uint32_t extract_can_remote_frame(const RecordView* view, BusFrame* frame);
uint32_t extract_can_error_frame(const RecordView* view, BusFrame* frame);
uint32_t extract_lin_frame(const RecordView* view, BusFrame* frame);
uint32_t extract_nothing(const RecordView* view, BusFrame* frame);
