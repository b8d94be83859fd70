// Fuzz target: arbitrary text as the XML comment of a file's header block.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common.h"
#include "decode/file_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_logs();
  FileMetadata metadata{};
  read_metadata_xml(std::string_view(reinterpret_cast<const char*>(data), size), &metadata);
  hash_table_for_each(&metadata, [](MetadataEntry& e) {
    (void)dynstring_sv(&e.key);
    (void)dynstring_sv(&e.record.value);
  });
  file_metadata_destroy(&metadata);
  return 0;
}
