// File-system roots: the entries of the folder a walk holds open are reached through it.
// (Paths beyond the system's limit are covered end to end.)
#include "io/fs_root.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_util.h"

namespace {

std::string read_stream(Stream* s) {
  char buffer[64];
  int64_t n = s ? stream_read(s, buffer, sizeof buffer) : -1;
  stream_close(s);
  return n < 0 ? "<failed>" : std::string(buffer, static_cast<size_t>(n));
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
