// Frame decoding, stage A of a conversion (any thread): a bus frame is decoded with every
// database of its channel that knows it and formatted as one row per database (a CSV line, or
// a binary row when the decoders say the output takes rows in binary form), with the UTC day
// of the row and a descriptor of its output file (defined once per part). Stage B
// (output/row_taker.h) takes the rows into their files.
#pragma once

#include <cstdint>

#include "decode/calendar.h"
#include "decode/row_files.h"
#include "decode/row_stream.h"
#include "support/grow_array.h"

struct Decoders;
struct BusFrame;
struct RowMaker;

// The quiet NaN with the sign bit set that stands for a value outside its signal's range.
constexpr uint64_t OUT_OF_RANGE_NAN_BITS = 0xFFF8000000000000ULL;

// Stage A: the decoder of one part's frames; its rows, descriptors and counts (messages and
// signals) go to `out`. The decoders are only read. Null when memory ran out.
RowMaker* row_maker_new(const Decoders* decoders, double time_base, RowWriter* out);
void row_maker_free(RowMaker* maker);
// Decodes one frame (the times of its rows: time_base + frame timestamp), counting it in the
// maker's tally. A row time outside the calendar gives one bad-time record per part, at its
// first occurrence, and no rows.
void row_maker_frame(RowMaker* maker, const BusFrame* frame);
// Writes the tally of the frames since the last tally record (a tally record), and clears it.
void row_maker_write_tally(RowMaker* maker);
