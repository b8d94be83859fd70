// Detection of the "Generic File" container header.
#include "mdf/container.h"

#include <cstring>

#include "mdf/field_reader.h"

bool container_read_header(Stream* stream, ContainerHeader* header) {
  if (!stream || !header) return false;
  memset(header, 0, sizeof *header);
  if (stream_seek(stream, 0, SEEK_FROM_START) != 0) return false;
  FieldReader reader = field_reader_at(stream, 0);
  // All reads are made even after a failure, so the header holds whatever could be read.
  bool ok = field_read_bytes(&reader, header->magic, sizeof header->magic);
  ok &= field_read_u8(&reader, &header->flag_byte);
  ok &= field_read_u8(&reader, &header->footer_flag);
  ok &= field_read_u8(&reader, &header->container_type);
  ok &= field_read_u8(&reader, &header->format_version);
  ok &= field_read_u32_be(&reader, &header->device_serial);
  return ok && memcmp(header->magic, CONTAINER_MAGIC, sizeof CONTAINER_MAGIC) == 0;
}
