// The 20-byte "Generic File" header with which a logger wraps a compressed or encrypted log,
// and its detection.
#pragma once

#include <cstdint>

#include "io/stream.h"

constexpr uint32_t CONTAINER_HEADER_SIZE = 20;
constexpr uint8_t CONTAINER_TYPE_ENCRYPTED = 0x11;
constexpr uint8_t CONTAINER_TYPE_COMPRESSED = 0x22;
constexpr uint8_t CONTAINER_FORMAT_VERSION = 1;
constexpr char CONTAINER_MAGIC[12] = {'G', 'e', 'n', 'e', 'r', 'i', 'c', ' ', 'F', 'i', 'l', 'e'};

// The header as read; the serial is stored big-endian in the file and held here as a number.
struct ContainerHeader {
  char magic[12];
  uint32_t device_serial;
  uint8_t flag_byte;
  uint8_t footer_flag;
  uint8_t format_version;
  uint8_t container_type;
};

// Seeks `stream` to 0 and reads the header fields in file order. True when all of them could
// be read and the magic matches; the type, flags and version are checked by the readers of
// each container kind.
bool container_read_header(Stream* stream, ContainerHeader* header);

// Decoded content up to this size stays in memory; beyond it, it passes through an unlinked
// temporary file, so that the memory a container takes stays bounded whatever it decodes to.
constexpr uint64_t CONTAINER_MEMORY_THRESHOLD = uint64_t{256} << 20;

// What a container reader hands back: the decoded bytes in an owned spill stream (memory up to
// the threshold, an unlinked temporary file beyond), with the header of the container they
// came from. Reads, writes, tells and seeks go to the content; closing closes both.
struct DecodedContainerStream {
  Stream base;
  Stream* content;
  ContainerHeader header;
};

// The content of a decoded-container stream; null for any other stream.
Stream* decoded_container_content(Stream* s);

// A decoded-container stream over new, empty content that moves from memory to a temporary
// file beyond `memory_threshold` bytes; null when memory runs out.
DecodedContainerStream* decoded_container_new(const ContainerHeader* header,
                                              uint64_t memory_threshold);
