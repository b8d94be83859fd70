// Detection of the "Generic File" container header.
#include "mdf/container.h"

#include <cstdlib>
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

namespace {

Stream* decoded_content(Stream* s) { return reinterpret_cast<DecodedContainerStream*>(s)->content; }

int64_t decoded_read(Stream* s, void* buffer, uint64_t n) {
  return stream_read(decoded_content(s), buffer, n);
}
int64_t decoded_write(Stream* s, const void* buffer, uint64_t n) {
  return stream_write(decoded_content(s), buffer, n);
}
int64_t decoded_tell(Stream* s) { return stream_tell(decoded_content(s)); }
int64_t decoded_seek(Stream* s, int64_t offset, int32_t origin) {
  return stream_seek(decoded_content(s), offset, origin);
}
int32_t decoded_close(Stream* s) {
  int32_t status = stream_close(decoded_content(s));
  if (status != 0) return status;
  free(s);
  return 0;
}

constexpr StreamOps DECODED_OPS{decoded_read, decoded_write, decoded_tell, decoded_seek,
                                decoded_close};

}  // namespace

Stream* decoded_container_content(Stream* s) {
  return s && s->ops == &DECODED_OPS ? decoded_content(s) : nullptr;
}

DecodedContainerStream* decoded_container_new(const ContainerHeader* header,
                                              uint64_t memory_threshold) {
  if (!header) return nullptr;
  auto* d = static_cast<DecodedContainerStream*>(calloc(1, sizeof(DecodedContainerStream)));
  if (!d) return nullptr;
  d->content = spill_stream_new(memory_threshold);
  if (!d->content) {
    free(d);
    return nullptr;
  }
  d->base.ops = &DECODED_OPS;
  d->header = *header;
  return d;
}
