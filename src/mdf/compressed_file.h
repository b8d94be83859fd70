// Compressed log files: the heatshrink LZSS decoder, the stream that decodes an inner stream
// on the fly, and the reader that turns a compressed container into a stream of its content.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/stream.h"
#include "mdf/container.h"

// ---- Heatshrink decoder ----
//
// The bit stream is a sequence of items, bits taken most significant first: a tag bit 1 and
// an 8-bit literal, or a tag bit 0, W bits of (distance - 1) and L bits of (length - 1).
// Nothing in the stream is trusted: every index into the window is masked with 2^W - 1, and a
// distance that reaches back before the first output byte reads the zero-filled window.

constexpr uint32_t HS_MIN_WINDOW_BITS = 4;
constexpr uint32_t HS_MAX_WINDOW_BITS = 15;
constexpr uint32_t HS_MIN_LOOKAHEAD_BITS = 3;

// Sink results.
constexpr int32_t HS_SINK_OK = 0;
constexpr int32_t HS_SINK_FULL = 1;
// Poll results.
constexpr int32_t HS_POLL_EMPTY = 0;  // needs more input
constexpr int32_t HS_POLL_MORE = 1;   // the output buffer is full
constexpr int32_t HS_POLL_UNKNOWN_STATE = -2;
// Finish results.
constexpr int32_t HS_FINISH_DONE = 0;
constexpr int32_t HS_FINISH_MORE = 1;
// Any operation given a null argument.
constexpr int32_t HS_NULL_ARGUMENT = -1;

enum HsState : uint8_t {
  HS_TAG_BIT = 0,
  HS_LITERAL = 1,
  HS_INDEX_HIGH = 2,
  HS_INDEX_LOW = 3,
  HS_COUNT_HIGH = 4,
  HS_COUNT_LOW = 5,
  HS_BACKREF = 6,
};

struct HsDecoder {
  uint16_t input_buffer_size;  // B
  uint8_t window_bits;         // W, 4-15
  uint8_t lookahead_bits;      // L, 3 to W - 1
  uint16_t input_size;         // buffered input bytes
  uint16_t input_index;        // next buffered byte to take
  uint8_t state;               // an HsState; kept as a byte so a damaged value is seen as such
  uint8_t current_byte;
  uint8_t bit_mask;        // the next bit of current_byte; 0 when none is left
  uint16_t backref_count;  // back-reference bytes still to emit
  uint16_t backref_index;  // back-reference distance
  uint16_t head_index;     // bytes written, modulo 65536
  uint8_t* input;          // B bytes, in the same allocation as the record
  uint8_t* window;         // 2^W bytes, in the same allocation as the record
};

// Null when B is 0 or above 65535 (the input counters are 16-bit), W is outside 4-15, L < 3,
// L >= W, or the allocation fails. Everything, the window included, starts zeroed.
HsDecoder* hs_decoder_new(uint32_t input_buffer_size, uint32_t window_bits,
                          uint32_t lookahead_bits);
void hs_decoder_free(HsDecoder* decoder);
// Takes min(n, B - buffered) bytes behind the buffered input; *taken says how many. Returns
// HS_SINK_FULL with nothing taken when the buffer is already full.
int32_t hs_decoder_sink(HsDecoder* decoder, const uint8_t* bytes, size_t n, size_t* taken);
// Decodes into out until the output is full or the input cannot complete the next field;
// *produced says how many bytes were written.
int32_t hs_decoder_poll(HsDecoder* decoder, uint8_t* out, size_t out_size, size_t* produced);
// HS_FINISH_DONE when no buffered input and no pending back-reference remain.
int32_t hs_decoder_finish(HsDecoder* decoder);

// ---- Streams ----

// Reads `inner` (not owned) 1024 bytes at a time and yields the decoded bytes. It only reads:
// write, tell and seek are unsupported. Close frees the decoder and the record and returns 0.
// Null for a null inner stream or parameters the decoder refuses.
Stream* decompress_stream_new(Stream* inner, uint32_t window_bits, uint32_t lookahead_bits);

// Decodes the compressed container that `stream` holds (the caller keeps `stream`) into a
// stream over the decoded bytes, or null: when the header is not that of a compressed
// container, the parameters are unreadable or refused, a decoded byte could not be stored,
// or the CRC-32 footer is missing or differs (these two are logged at level 5). The result
// forwards to content that it owns (in memory up to CONTAINER_MEMORY_THRESHOLD bytes, in an
// unlinked temporary file beyond), standing at the end of the decoded bytes.
Stream* compressed_file_open(Stream* stream, const ContainerHeader* header);

// A few bytes of bit stream can stand for thousands of output bytes, so the decoded size is
// bounded (below 2 GiB, far above what a logger writes into one compressed file): a larger
// result fails the file instead of filling the disk (or memory).
constexpr uint64_t COMPRESSED_MAX_DECODED_SIZE = (uint64_t{1} << 31) - 1;
// compressed_file_open with other bounds; exposed for tests.
Stream* compressed_file_open_bounded(Stream* stream, const ContainerHeader* header,
                                     uint64_t max_decoded_size,
                                     uint64_t memory_threshold = CONTAINER_MEMORY_THRESHOLD);
