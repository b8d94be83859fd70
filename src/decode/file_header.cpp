// The file header stage A hands to stage B: the logger's numbers from the file's metadata, and
// its start time.
#include "decode/file_header.h"

#include <cstdlib>

#include "decode/file_metadata.h"

namespace {

uint32_t parse_unsigned(const DynString* text, int base) {
  return static_cast<uint32_t>(strtoul(dynstring_data(text), nullptr, base));
}

}  // namespace

void read_file_header(MdfFile* file, FileHeader* header) {
  *header = FileHeader{};
  FileMetadata metadata;
  read_file_metadata(file, &metadata);
  hash_table_for_each(&metadata, [&](MetadataEntry& e) {
    const MetadataRecord& r = e.record;
    if (dynstring_equals(&r.name, "serial number")) header->serial = parse_unsigned(&r.value, 16);
    if (dynstring_equals(&r.name, "session")) header->session = parse_unsigned(&r.value, 10);
    if (dynstring_equals(&r.name, "split")) header->split = parse_unsigned(&r.value, 10);
  });
  file_metadata_destroy(&metadata);
  header->start_time = file_start_time_seconds(file);
}
