// Frame decoding: a bus frame becomes one CSV row per database of its channel that knows it.
#pragma once

#include <cstdint>

#include "decode/calendar.h"

struct Session;
struct BusFrame;

// The quiet NaN with the sign bit set that stands for a value outside its signal's range.
constexpr uint64_t OUT_OF_RANGE_NAN_BITS = 0xFFF8000000000000ULL;

// False when a row could not be written (its output file could not be created or written):
// the input file then counts as failed and is never deleted.
bool session_on_frame(Session* session, const BusFrame* frame);
