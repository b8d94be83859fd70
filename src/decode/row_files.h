// The file a decoded row belongs to, as stage A describes it: the writer key and identity that
// tell files apart, and the part of the file's path that depends on the frame and its decode.
#pragma once

#include <cmath>
#include <cstdint>
#include <string_view>

#include "support/dyn_string.h"

// The branch a multiplexor's value selects: the low 32 bits of the value truncated toward zero;
// false for NaN and infinities. The decoder picks a row's signals and the file's name by this
// one rule. fmod is exact, so values beyond the 64-bit range keep their true low bits.
inline bool multiplexor_selector(double value, uint32_t* out) {
  if (!std::isfinite(value)) return false;
  double r = std::fmod(std::trunc(value), 4294967296.0);
  if (r < 0) r += 4294967296.0;
  *out = static_cast<uint32_t>(r);
  return true;
}

struct Message;
struct DecodedMessage;

// The source address of a frame that has none (anything but a J1939 extended frame).
constexpr int32_t NO_SOURCE_ADDRESS = -1;

// Bits 0-3 bus kind, 4-7 channel, 8-15 source address (0 for none), 16-47 the message key,
// 48-63 the XOR of the low 16 bits of string_hash over the names of all decoded values (ignored
// ones too), so that different multiplexor selections get different files.
uint64_t writer_key(int32_t bus_kind, uint32_t channel, int32_t source_address,
                    const DecodedMessage* decoded);

// The names of all decoded values (ignored ones too), in order, hashed together: what makes a
// writer's header. Writers found under one key are checked against it.
uint64_t writer_identity(const DecodedMessage* decoded);

// Appends the ASCII letters and digits of `name` to `out`, walking it by UTF-8 characters;
// every other character is dropped, as is a character cut off by the end of the name. False
// when memory ran out.
bool name_to_path_part(std::string_view name, DynString* out);

// Appends "<bus><channel>_<message>[_<mux>_M<low>...][_S<sa>]": the part of an output file's
// path that depends on the frame and its decode alone. False when memory ran out.
bool output_path_part(const Message* message, int32_t bus_kind, uint32_t channel,
                      int32_t source_address, const DecodedMessage* decoded, DynString* out);
