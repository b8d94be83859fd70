// The logger's header comment: paths of `e` elements below common_properties, their
// attributes, and values with leading spaces dropped.
#include "decode/file_metadata.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

std::map<std::string, std::string> values_of(const std::string& xml) {
  FileMetadata metadata;
  read_metadata_xml(xml, &metadata);
  std::map<std::string, std::string> out;
  hash_table_for_each(&metadata, [&](MetadataEntry& e) {
    out[std::string(dynstring_sv(&e.key))] = std::string(dynstring_sv(&e.record.value));
  });
  file_metadata_destroy(&metadata);
  return out;
}

TEST(FileMetadata, PathsAndValues) {
  auto values = values_of(
      "<HDcomment><TX>text</TX><common_properties>"
      "<e name=\"serial number\" type=\"string\">1A2B3C4D</e>"
      "<tree name=\"Device\"><e name=\"session\">  12</e>"
      "<tree name=\"Log\"><e name=\"split\">\n3</e></tree></tree>"
      "</common_properties></HDcomment>");
  EXPECT_EQ(values, (std::map<std::string, std::string>{{"HDcomment.serial number", "1A2B3C4D"},
                                                        {"HDcomment.Device.session", "12"},
                                                        {"HDcomment.Device.Log.split", "\n3"}}));
}

TEST(FileMetadata, RecordAttributesAndFirstElementWins) {
  FileMetadata metadata;
  read_metadata_xml(
      "<r><common_properties>"
      "<e name=\"x\" unit=\"V\" description=\"first\" type=\"int\" ro=\"true\" unit=\"A\">1</e>"
      "<e name=\"x\">2</e><e name=\"y\" ro=\"yes\">3</e>"
      "</common_properties></r>",
      &metadata);
  // The duplicate attribute makes this malformed XML, so nothing is kept at all.
  EXPECT_EQ(metadata.count, 0);
  MetadataEntry* x = hash_table_find<MetadataTraits>(&metadata, "r.x");
  EXPECT_EQ(x, nullptr);
  file_metadata_destroy(&metadata);

  read_metadata_xml(
      "<r><common_properties>"
      "<e name=\"x\" unit=\"V\" description=\"first\" type=\"int\" ro=\"true\">1</e>"
      "<e name=\"x\">2</e><e name=\"y\" ro=\"yes\">3</e>"
      "</common_properties></r>",
      &metadata);
  x = hash_table_find<MetadataTraits>(&metadata, "r.x");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(dynstring_sv(&x->record.name), "x");
  EXPECT_EQ(dynstring_sv(&x->record.unit), "V");
  EXPECT_EQ(dynstring_sv(&x->record.description), "first");
  EXPECT_EQ(dynstring_sv(&x->record.type), "int");
  EXPECT_EQ(x->record.read_only, 1);
  // The second element with the same path appends to the first record's value.
  EXPECT_EQ(dynstring_sv(&x->record.value), "12");
  MetadataEntry* y = hash_table_find<MetadataTraits>(&metadata, "r.y");
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(y->record.read_only, 0);
  file_metadata_destroy(&metadata);
}

TEST(FileMetadata, IgnoredAndBrokenInput) {
  // common_properties below the root's child, and e elements outside it, are ignored.
  EXPECT_TRUE(values_of("<r><a><common_properties><e name=\"s\">1</e></common_properties></a>"
                        "<e name=\"t\">2</e></r>")
                  .empty());
  EXPECT_TRUE(values_of("<r><common_properties><e name=\"s\">1</e></common_properties>").empty());
  EXPECT_TRUE(values_of("not xml at all").empty());
  EXPECT_TRUE(values_of("").empty());
  // An element without a name attribute stands in the path with an empty name.
  EXPECT_EQ(
      values_of("<r><common_properties><tree><e name=\"s\">5</e></tree></common_properties></r>"),
      (std::map<std::string, std::string>{{"r..s", "5"}}));
}

}  // namespace
