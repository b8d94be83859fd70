// The logger's metadata from the XML comment of a file's header block: every `e` element
// below `common_properties`, keyed by its path of names joined with ".".
#pragma once

#include <string_view>

#include "support/dyn_string.h"
#include "support/hash_table.h"

struct MetadataRecord {
  DynString name;
  DynString description;
  DynString unit;
  DynString type;
  DynString value;
  uint8_t read_only;
};

struct MetadataEntry {
  DynString key;
  MetadataRecord record;
};

struct MetadataTraits : StringKeyTraits<MetadataEntry> {
  static void destroy(MetadataEntry& e) {
    dynstring_free(&e.key);
    dynstring_free(&e.record.name);
    dynstring_free(&e.record.description);
    dynstring_free(&e.record.unit);
    dynstring_free(&e.record.type);
    dynstring_free(&e.record.value);
  }
};

using FileMetadata = HashTable<MetadataEntry>;

struct MdfFile;

// Parses the comment text; leaves `metadata` empty when the text is not well-formed XML.
void read_metadata_xml(std::string_view xml, FileMetadata* metadata);
// The metadata of a file's header comment; empty without a header block or an XML comment.
void read_file_metadata(MdfFile* file, FileMetadata* metadata);
// The header block's start time in seconds since 1970 UTC, whole microseconds; NaN without a
// header block.
double file_start_time_seconds(MdfFile* file);
inline void file_metadata_destroy(FileMetadata* metadata) {
  hash_table_destroy<MetadataTraits>(metadata);
}
