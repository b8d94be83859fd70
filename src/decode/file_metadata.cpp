// Reading the header comment's XML with expat.
#include "decode/file_metadata.h"

#include <expat.h>

#include <cmath>
#include <cstring>

#include "mdf/frame_source.h"
#include "support/grow_array.h"

namespace {

struct AttributeEntry {
  DynString key;
  const char* value;
};

struct ParseContext {
  XML_Parser parser;
  FileMetadata* metadata;
  MetadataRecord* current;
  GrowArray<DynString> stack;
  bool failed;
};

bool push_name(ParseContext* c, const char* name) {
  DynString copy;
  if (!dynstring_from(&copy, name)) return false;
  if (!grow_array_push(&c->stack, copy)) {
    dynstring_free(&copy);
    return false;
  }
  return true;
}

void fail(ParseContext* c) {
  if (!c->failed) XML_StopParser(c->parser, XML_FALSE);
  c->failed = true;
}

void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** attributes) {
  auto* c = static_cast<ParseContext*>(data);
  if (c->failed) return;
  if (!push_name(c, name)) return fail(c);
  if (c->stack.count < 3 || !dynstring_equals(&c->stack[1], "common_properties")) return;
  bool is_e = !strcmp(name, "e");
  if (!is_e && strcmp(name, "tree") != 0) return;

  // The first occurrence of an attribute name wins.
  HashTable<AttributeEntry> table;
  for (int i = 0; attributes[i] && attributes[i + 1]; i += 2) {
    auto slot = hash_table_find_or_insert<StringKeyTraits<AttributeEntry>>(&table, attributes[i]);
    if (!slot.slot) {
      hash_table_destroy<StringKeyTraits<AttributeEntry>>(&table);
      return fail(c);
    }
    if (slot.inserted) {
      if (!dynstring_from(&slot.slot->key, attributes[i])) slot.slot->key = DynString{};
      slot.slot->value = attributes[i + 1];
    }
  }
  auto attribute = [&](std::string_view key) -> std::string_view {
    AttributeEntry* e = hash_table_find<StringKeyTraits<AttributeEntry>>(&table, key);
    return e ? std::string_view(e->value) : std::string_view();
  };

  // An element without a "name" attribute stands in the path with an empty name.
  DynString* top = &c->stack[c->stack.count - 1];
  dynstring_clear(top);
  bool ok = dynstring_append(top, attribute("name")) != nullptr;

  if (ok && is_e) {
    ScopedDynString key;
    for (DynString& part : c->stack) {
      if (dynstring_equals(&part, "common_properties")) continue;
      ok = ok && dynstring_append(&key.s, dynstring_sv(&part)) && dynstring_append(&key.s, ".");
    }
    if (ok) {
      dynstring_truncate(&key.s, dynstring_length(&key.s) - 1);
      auto slot = hash_table_find_or_insert<MetadataTraits>(c->metadata, key.view());
      if (!slot.slot) {
        ok = false;
      } else {
        if (slot.inserted) {
          memset(slot.slot, 0, sizeof *slot.slot);
          slot.slot->key = key.s;
          key.s = DynString{};
          MetadataRecord& r = slot.slot->record;
          ok = dynstring_from(&r.name, attribute("name")) &&
               dynstring_from(&r.description, attribute("description")) &&
               dynstring_from(&r.unit, attribute("unit")) &&
               dynstring_from(&r.type, attribute("type"));
          r.read_only = attribute("ro") == "true";
        }
        c->current = &slot.slot->record;
      }
    }
  }
  hash_table_destroy<StringKeyTraits<AttributeEntry>>(&table);
  if (!ok) fail(c);
}

void XMLCALL on_end(void* data, const XML_Char*) {
  auto* c = static_cast<ParseContext*>(data);
  if (c->stack.count > 0) dynstring_free(&c->stack[--c->stack.count]);
  c->current = nullptr;
}

void XMLCALL on_text(void* data, const XML_Char* text, int length) {
  auto* c = static_cast<ParseContext*>(data);
  if (!c->current || c->failed) return;
  DynString* value = &c->current->value;
  if (!dynstring_append(value, text, static_cast<uint64_t>(length))) return fail(c);
  // Leading spaces are dropped; other white space is kept.
  std::string_view v = dynstring_sv(value);
  size_t spaces = 0;
  while (spaces < v.size() && v[spaces] == ' ') ++spaces;
  if (spaces) {
    char* p = dynstring_data(value);
    memmove(p, p + spaces, v.size() - spaces);
    dynstring_truncate(value, v.size() - spaces);
  }
}

}  // namespace

void read_metadata_xml(std::string_view xml, FileMetadata* metadata) {
  ParseContext c{};
  c.metadata = metadata;
  c.parser = XML_ParserCreate(nullptr);
  if (!c.parser) return;
  XML_SetUserData(c.parser, &c);
  XML_SetElementHandler(c.parser, on_start, on_end);
  XML_SetCharacterDataHandler(c.parser, on_text);
  bool ok =
      xml.size() <= INT32_MAX &&
      XML_Parse(c.parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) == XML_STATUS_OK &&
      !c.failed;
  for (DynString& name : c.stack) dynstring_free(&name);
  grow_array_free(&c.stack);
  XML_ParserFree(c.parser);
  if (!ok) file_metadata_destroy(metadata);
}

void read_file_metadata(MdfFile* file, FileMetadata* metadata) {
  MdfHeaderInfo header;
  // A plain-text comment carries no metadata.
  if (!frame_source_header(file, &header) || header.xml_comment.empty()) return;
  read_metadata_xml(header.xml_comment, metadata);
}

double file_start_time_seconds(MdfFile* file) {
  MdfHeaderInfo header;
  if (!frame_source_header(file, &header)) return std::nan("");
  return static_cast<double>(header.start_time_ns / 1000) * 1e-6;
}
