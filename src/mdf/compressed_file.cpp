// Heatshrink LZSS decoding: the decoder state machine, the stream that decodes another stream,
// and the reader of compressed containers.
#include "mdf/compressed_file.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "mdf/field_reader.h"
#include "support/log.h"

// ---- Heatshrink decoder ----

namespace {

// Bits still unread in the current byte: the mask 0x80 leaves 8, 0x01 one, 0 none.
inline uint32_t bits_left(const HsDecoder* d) {
  return static_cast<uint32_t>(std::bit_width(d->bit_mask));
}

// Reads k bits (1-15), first bit most significant, or returns -1 without consuming anything
// when the buffered input cannot supply them all. Refusing before consuming is what lets a
// field straddle two sinks; the state machine never asks for more than 8 bits, so a refusal
// always means the input buffer is empty.
[[gnu::always_inline]] inline int32_t read_bits(HsDecoder* d, uint32_t k) {
  if (k == 0 || k > 15) return -1;
  uint32_t left = bits_left(d);
  uint32_t available = left + 8u * static_cast<uint32_t>(d->input_size - d->input_index);
  if (available < k) return -1;
  if (k <= left) {
    d->bit_mask = static_cast<uint8_t>(d->bit_mask >> k);
    return static_cast<int32_t>((d->current_byte >> (left - k)) & ((1u << k) - 1));
  }
  uint32_t value = d->current_byte & ((1u << left) - 1);
  uint32_t need = k - left;
  while (need > 0) {
    d->current_byte = d->input[d->input_index++];
    if (d->input_index == d->input_size) d->input_index = d->input_size = 0;
    uint32_t take = need < 8 ? need : 8;
    value = (value << take) | (static_cast<uint32_t>(d->current_byte) >> (8 - take));
    d->bit_mask = static_cast<uint8_t>(0x80u >> take);
    need -= take;
  }
  return static_cast<int32_t>(value);
}

// Decodes whole tokens while the buffered input holds the longest token (1 + W + L bits) and
// the output has room for the token's bytes, and stops at a token boundary: the state machine
// then goes on from exactly where this left off, bit for bit. Returns the new output count.
size_t decode_whole_tokens(HsDecoder* d, uint8_t* out, size_t out_size, size_t n) {
  const uint32_t w = d->window_bits;
  const uint32_t l = d->lookahead_bits;
  const uint32_t window_mask = (1u << w) - 1;
  const uint32_t count_mask = (1u << l) - 1;
  const uint32_t backref_bits = 1 + w + l;                       // 8 to 30
  const uint32_t longest = backref_bits > 9 ? backref_bits : 9;  // a literal takes 9
  const uint8_t* input = d->input;
  uint8_t* window = d->window;
  const size_t start_index = d->input_index;
  const size_t size = d->input_size;
  size_t index = start_index;
  // The unread bits, first bit highest: those left in the current byte, then whole bytes.
  const uint32_t left = bits_left(d);
  uint64_t bits = d->current_byte & ((1u << left) - 1);
  uint32_t unread = left;
  uint32_t head = d->head_index;
  for (;;) {
    while (unread <= 56 && index < size) {
      bits = (bits << 8) | input[index++];
      unread += 8;
    }
    if (unread < longest) break;
    if ((bits >> (unread - 1)) & 1) {
      if (n == out_size) break;
      auto c = static_cast<uint8_t>(bits >> (unread - 9));
      unread -= 9;
      window[head & window_mask] = c;
      ++head;
      out[n++] = c;
      continue;
    }
    const uint32_t distance = (static_cast<uint32_t>(bits >> (unread - 1 - w)) & window_mask) + 1;
    const uint32_t length =
        (static_cast<uint32_t>(bits >> (unread - backref_bits)) & count_mask) + 1;
    if (out_size - n < length) break;
    unread -= backref_bits;
    for (uint32_t i = 0; i < length; ++i) {
      uint8_t c = window[(head - distance) & window_mask];
      window[head & window_mask] = c;
      ++head;
      out[n++] = c;
    }
  }
  // Give back the whole bytes not read; the byte before them holds the unread rest of its bits
  // (the current byte when no new byte was finished).
  index -= unread / 8;
  const uint32_t rest = unread % 8;
  if (index > start_index) d->current_byte = input[index - 1];
  d->bit_mask = static_cast<uint8_t>(rest ? 1u << (rest - 1) : 0);
  d->head_index = static_cast<uint16_t>(head);
  if (index == size) {
    d->input_index = d->input_size = 0;
  } else {
    d->input_index = static_cast<uint16_t>(index);
  }
  return n;
}

}  // namespace

HsDecoder* hs_decoder_new(uint32_t input_buffer_size, uint32_t window_bits,
                          uint32_t lookahead_bits) {
  if (input_buffer_size == 0 || input_buffer_size > UINT16_MAX) return nullptr;
  if (window_bits < HS_MIN_WINDOW_BITS || window_bits > HS_MAX_WINDOW_BITS) return nullptr;
  if (lookahead_bits < HS_MIN_LOOKAHEAD_BITS || lookahead_bits >= window_bits) return nullptr;
  size_t window_size = size_t{1} << window_bits;
  auto* d = static_cast<HsDecoder*>(calloc(1, sizeof(HsDecoder) + input_buffer_size + window_size));
  if (!d) return nullptr;
  d->input_buffer_size = static_cast<uint16_t>(input_buffer_size);
  d->window_bits = static_cast<uint8_t>(window_bits);
  d->lookahead_bits = static_cast<uint8_t>(lookahead_bits);
  d->input = reinterpret_cast<uint8_t*>(d + 1);
  d->window = d->input + input_buffer_size;
  return d;
}

void hs_decoder_free(HsDecoder* decoder) { free(decoder); }

int32_t hs_decoder_sink(HsDecoder* decoder, const uint8_t* bytes, size_t n, size_t* taken) {
  if (!decoder || !bytes || !taken) return HS_NULL_ARGUMENT;
  *taken = 0;
  size_t room = static_cast<size_t>(decoder->input_buffer_size - decoder->input_size);
  if (room == 0) return HS_SINK_FULL;
  size_t count = n < room ? n : room;
  memcpy(decoder->input + decoder->input_size, bytes, count);
  decoder->input_size = static_cast<uint16_t>(decoder->input_size + count);
  *taken = count;
  return HS_SINK_OK;
}

namespace {

// One step through the fields of a back-reference (index and count, each split into a high
// and a low part when wider than 8 bits); false when the input cannot supply the field yet.
bool read_backref_field(HsDecoder* d) {
  const uint32_t w = d->window_bits;
  const uint32_t l = d->lookahead_bits;
  int32_t v;
  switch (d->state) {
    case HS_INDEX_HIGH:
      if ((v = read_bits(d, w - 8)) < 0) return false;
      d->backref_index = static_cast<uint16_t>(v << 8);
      d->state = HS_INDEX_LOW;
      return true;
    case HS_INDEX_LOW:
      if ((v = read_bits(d, w < 8 ? w : 8)) < 0) return false;
      d->backref_index = static_cast<uint16_t>((d->backref_index | v) + 1);
      d->backref_count = 0;
      d->state = l > 8 ? HS_COUNT_HIGH : HS_COUNT_LOW;
      return true;
    case HS_COUNT_HIGH:
      if ((v = read_bits(d, l - 8)) < 0) return false;
      d->backref_count = static_cast<uint16_t>(v << 8);
      d->state = HS_COUNT_LOW;
      return true;
    case HS_COUNT_LOW:
      if ((v = read_bits(d, l < 8 ? l : 8)) < 0) return false;
      d->backref_count = static_cast<uint16_t>((d->backref_count | v) + 1);
      d->state = HS_BACKREF;
      return true;
    default:
      return false;
  }
}

// Copies as much of the pending back-reference as fits into out[n, out_size); the new count.
size_t copy_backref(HsDecoder* d, uint8_t* out, size_t out_size, size_t n) {
  const uint32_t mask = (1u << d->window_bits) - 1;
  size_t room = out_size - n;
  size_t count = d->backref_count < room ? d->backref_count : room;
  const uint32_t distance = d->backref_index;
  for (size_t i = 0; i < count; ++i) {
    uint8_t c = d->window[(static_cast<uint32_t>(d->head_index) - distance) & mask];
    d->window[d->head_index & mask] = c;
    d->head_index++;
    out[n++] = c;
  }
  d->backref_count = static_cast<uint16_t>(d->backref_count - count);
  if (d->backref_count == 0) d->state = HS_TAG_BIT;
  return n;
}

}  // namespace

int32_t hs_decoder_poll(HsDecoder* decoder, uint8_t* out, size_t out_size, size_t* produced) {
  if (!decoder || !out || !produced) return HS_NULL_ARGUMENT;
  HsDecoder* d = decoder;
  const uint32_t mask = (1u << d->window_bits) - 1;
  size_t n = 0;
  for (;;) {
    const uint8_t before = d->state;
    switch (before) {
      case HS_TAG_BIT: {
        n = decode_whole_tokens(d, out, out_size, n);
        int32_t bit = read_bits(d, 1);
        if (bit < 0) break;
        if (bit) {
          d->state = HS_LITERAL;
        } else if (d->window_bits > 8) {
          d->state = HS_INDEX_HIGH;
        } else {
          d->backref_index = 0;
          d->state = HS_INDEX_LOW;
        }
        break;
      }
      case HS_LITERAL: {
        if (n == out_size) break;
        int32_t c = read_bits(d, 8);
        if (c < 0) break;
        d->window[d->head_index & mask] = static_cast<uint8_t>(c);
        d->head_index++;
        out[n++] = static_cast<uint8_t>(c);
        d->state = HS_TAG_BIT;
        break;
      }
      case HS_INDEX_HIGH:
      case HS_INDEX_LOW:
      case HS_COUNT_HIGH:
      case HS_COUNT_LOW:
        read_backref_field(d);
        break;
      case HS_BACKREF:
        n = copy_backref(d, out, out_size, n);
        break;
      default:
        *produced = n;
        return HS_POLL_UNKNOWN_STATE;
    }
    if (d->state == before) break;
  }
  *produced = n;
  return n == out_size ? HS_POLL_MORE : HS_POLL_EMPTY;
}

int32_t hs_decoder_finish(HsDecoder* decoder) {
  if (!decoder) return HS_NULL_ARGUMENT;
  if (decoder->state == HS_BACKREF) return HS_FINISH_MORE;
  return decoder->input_size == 0 ? HS_FINISH_DONE : HS_FINISH_MORE;
}

// ---- DecompressStream ----

namespace {

constexpr uint16_t DECODER_INPUT_SIZE = 1024;

struct DecompressStream {
  Stream base;
  Stream* inner;
  HsDecoder* decoder;
  // A chunk read from the inner stream that the decoder has not taken yet.
  uint16_t pending_index;
  uint16_t pending_size;
  uint8_t pending[DECODER_INPUT_SIZE];
};

int64_t decompress_read(Stream* s, void* buffer, uint64_t n) {
  auto* ds = reinterpret_cast<DecompressStream*>(s);
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  bool inner_ended = false;
  // Every pass produces output, hands the decoder input, reads the inner stream or leaves.
  while (done < n) {
    size_t got = 0;
    int32_t status = hs_decoder_poll(ds->decoder, out + done, n - done, &got);
    done += got;
    if (status == HS_POLL_MORE) continue;
    if (status != HS_POLL_EMPTY) return -1;
    if (ds->pending_index < ds->pending_size) {
      size_t taken = 0;
      hs_decoder_sink(ds->decoder, ds->pending + ds->pending_index,
                      ds->pending_size - ds->pending_index, &taken);
      if (taken == 0) return -1;  // the decoder wants input it cannot take: never wait on it
      ds->pending_index = static_cast<uint16_t>(ds->pending_index + taken);
      continue;
    }
    if (inner_ended) break;
    int64_t r = stream_read(ds->inner, ds->pending, sizeof ds->pending);
    if (r < 0) return -1;
    if (r == 0) {
      inner_ended = true;
      if (hs_decoder_finish(ds->decoder) != HS_FINISH_MORE) break;
      continue;
    }
    ds->pending_index = 0;
    ds->pending_size = static_cast<uint16_t>(r);
  }
  return static_cast<int64_t>(done);
}

int32_t decompress_close(Stream* s) {
  auto* ds = reinterpret_cast<DecompressStream*>(s);
  hs_decoder_free(ds->decoder);
  free(ds);
  return 0;
}

constexpr StreamOps DECOMPRESS_OPS{decompress_read, nullptr, nullptr, nullptr, decompress_close};

}  // namespace

Stream* decompress_stream_new(Stream* inner, uint32_t window_bits, uint32_t lookahead_bits) {
  if (!inner) return nullptr;
  HsDecoder* decoder = hs_decoder_new(DECODER_INPUT_SIZE, window_bits, lookahead_bits);
  if (!decoder) return nullptr;
  auto* ds = static_cast<DecompressStream*>(calloc(1, sizeof(DecompressStream)));
  if (!ds) {
    hs_decoder_free(decoder);
    return nullptr;
  }
  ds->base.ops = &DECOMPRESS_OPS;
  ds->inner = inner;
  ds->decoder = decoder;
  return &ds->base;
}

// ---- Compressed-file stream ----

namespace {

constexpr int64_t COMPRESSED_PARAMETERS_OFFSET = CONTAINER_HEADER_SIZE;
constexpr int64_t COMPRESSED_PAYLOAD_OFFSET = CONTAINER_HEADER_SIZE + 8;

// Moves the decoded bytes into `content` in pieces of DECODED_PIECE bytes (few enough writes
// once the content is in a temporary file). False when decoding fails, the total would pass
// `max_size`, or a write does not take a whole piece (content that cannot grow must fail the
// file, not cut it).
constexpr uint64_t DECODED_PIECE = 64 * 1024;
bool copy_decoded(Stream* decoded, Stream* content, uint64_t max_size) {
  auto* piece = static_cast<uint8_t*>(malloc(DECODED_PIECE));
  uint64_t total = 0;
  bool ok = piece != nullptr;
  while (ok) {
    int64_t n = stream_read(decoded, piece, DECODED_PIECE);
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    ok = n > 0 && total <= max_size && stream_write(content, piece, static_cast<uint64_t>(n)) == n;
  }
  free(piece);
  return ok;
}

// Decodes the payload [COMPRESSED_PAYLOAD_OFFSET, end) of `stream` into `content`; false when a
// stream cannot be set up, the parameters are refused or the decoded bytes cannot be stored.
// *crc receives the CRC-32 register over the payload bytes.
bool decode_payload(Stream* stream, int64_t end, uint32_t window_bits, uint32_t lookahead_bits,
                    Stream* content, uint64_t max_size, uint32_t* crc) {
  Stream* sub = sub_stream_new(stream, COMPRESSED_PAYLOAD_OFFSET, end);
  Stream* crc_stream = crc32_stream_new(sub);
  Stream* decoded = decompress_stream_new(crc_stream, window_bits, lookahead_bits);
  bool ok = decoded && stream_seek(sub, 0, SEEK_FROM_START) == 0;
  ok = ok && copy_decoded(decoded, content, max_size);
  if (crc_stream) *crc = crc32_stream_value(crc_stream);
  stream_close(decoded);
  stream_close(crc_stream);
  stream_close(sub);
  return ok;
}

}  // namespace

Stream* compressed_file_open(Stream* stream, const ContainerHeader* header) {
  return compressed_file_open_bounded(stream, header, COMPRESSED_MAX_DECODED_SIZE);
}

Stream* compressed_file_open_bounded(Stream* stream, const ContainerHeader* header,
                                     uint64_t max_decoded_size, uint64_t memory_threshold) {
  if (!stream || !header) return nullptr;
  if (header->container_type != CONTAINER_TYPE_COMPRESSED ||
      header->format_version != CONTAINER_FORMAT_VERSION || header->flag_byte > 1 ||
      header->footer_flag != header->flag_byte)
    return nullptr;

  uint32_t lookahead_value = 0;
  uint32_t window_size = 0;
  FieldReader reader = field_reader_at(stream, COMPRESSED_PARAMETERS_OFFSET);
  if (!field_read_u32_be(&reader, &lookahead_value) || !field_read_u32_be(&reader, &window_size))
    return nullptr;
  DecodedContainerStream* result = decoded_container_new(header, memory_threshold);
  if (!result) return nullptr;

  bool ok = true;
  int64_t end = -1;
  if (header->footer_flag == 1) {
    int64_t size = stream_size(stream);
    // A footer must lie wholly behind the parameters; a shorter file has none, and an end at
    // or before the payload start would read as "no end" to the SubStream.
    if (size < COMPRESSED_PAYLOAD_OFFSET + 4) {
      LOG(LOG_ERROR, "Expected to read out CRC from footer, but found none");
      ok = false;
    }
    end = size - 4;
  }
  const uint32_t window_bits =
      window_size ? static_cast<uint32_t>(std::countr_zero(window_size)) : 0;
  const uint32_t lookahead_bits = lookahead_value & 0xFF;
  uint32_t crc = 0;
  ok = ok && decode_payload(stream, end, window_bits, lookahead_bits, result->content,
                            max_decoded_size, &crc);

  if (ok && header->footer_flag == 1) {
    uint8_t footer[4];
    int64_t got = -1;
    if (stream_seek(stream, -4, SEEK_FROM_END) >= 0) got = stream_read(stream, footer, 4);
    if (got < 4) {
      LOG(LOG_ERROR, "Expected to read out CRC from footer, but found none");
      ok = false;
    } else {
      uint32_t stored = (uint32_t{footer[0]} << 24) | (uint32_t{footer[1]} << 16) |
                        (uint32_t{footer[2]} << 8) | footer[3];
      if (stored != crc) {
        LOG(LOG_ERROR, "Could not validate checksum, expected %08X but found %08X", stored, crc);
        ok = false;
      }
    }
  }
  if (!ok) {
    stream_close(&result->base);
    return nullptr;
  }
  return &result->base;
}
