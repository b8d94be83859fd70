// File-system roots: entries below paths longer than the system's limit, and entries reached
// through the folder a walk holds open.
#include "io/fs_root.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/test_util.h"

namespace {

std::string read_stream(Stream* s) {
  char buffer[64];
  int64_t n = s ? stream_read(s, buffer, sizeof buffer) : -1;
  stream_close(s);
  return n < 0 ? "<failed>" : std::string(buffer, static_cast<size_t>(n));
}

TEST(FsRoot, EntriesBeyondThePathLimit) {
  test::TempDir dir;
  FsRoot* root = fs_root_create(dir.path);
  ASSERT_NE(root, nullptr);
  // 40 folders of 120 bytes: 4,840 bytes, created one by one as the output side does.
  std::string folder;
  for (int i = 0; i < 40; ++i) {
    folder += (i ? "/" : "") + std::string(117, 'f') + std::to_string(100 + i);
    ASSERT_TRUE(fs_ensure_directory(root, folder)) << i;
  }
  std::string file = folder + "/rows.csv";
  FILE* out = fs_open_file(root, file, FS_OPEN_WRITE);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(fputs("t,x\n", out), 1);
  EXPECT_EQ(fclose(out), 0);

  EntryInfo info;
  ASSERT_TRUE(fs_query(root, file, &info));
  EXPECT_EQ(info.type, ENTRY_FILE);
  EXPECT_EQ(info.size, 4u);
  ASSERT_TRUE(path_query((dir.path + "/" + folder + "/").c_str(), &info));
  EXPECT_EQ(info.type, ENTRY_DIRECTORY);
  FILE* in = path_open_file((dir.path + "/" + file).c_str(), FS_OPEN_READ);
  EXPECT_EQ(read_stream(file_stream_adopt(in, 0)), "t,x\n");
  DirectoryListing listing;
  ASSERT_TRUE(fs_list(root, folder, &listing));
  EntryInfo* listed = nullptr;
  ordered_map_for_each(&listing, [&](DynString& name, EntryInfo& e) {
    EXPECT_EQ(dynstring_sv(&name), "rows.csv");
    listed = &e;
    return true;
  });
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed->type, ENTRY_FILE);
  directory_listing_free(&listing);

  EXPECT_TRUE(fs_remove(root, file));
  ASSERT_TRUE(fs_query(root, file, &info));
  EXPECT_EQ(info.type, ENTRY_MISSING);
  fs_root_release(root);
}

TEST(FsRoot, WalkFolderReachesTheEntriesItListed) {
  test::TempDir dir;
  ASSERT_TRUE(test::write_file(dir.file("in/day/1.MF4"), std::string("log")));
  FsRoot* root = fs_root_create(dir.path);
  ASSERT_NE(root, nullptr);
  FsFolder folder;
  ASSERT_EQ(fs_folder_open(root, "in/day/", &folder), 0);
  fs_root_set_folder(root, "in/day/", &folder);
  // The folder is renamed after it was listed: the walk still opens the file it listed.
  ASSERT_EQ(rename(dir.file("in/day").c_str(), dir.file("in/moved").c_str()), 0);
  EXPECT_EQ(read_stream(fs_open(root, "in/day/1.MF4", FS_OPEN_READ)), "log");
  fs_root_set_folder(root, {}, nullptr);
  EXPECT_EQ(fs_open(root, "in/day/1.MF4", FS_OPEN_READ), nullptr);
  fs_folder_close(&folder);
  fs_root_release(root);
}

}  // namespace
