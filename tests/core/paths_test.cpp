#include <gtest/gtest.h>

#include "core/build_profile.h"
#include "platform/fault_points.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace vorn::platform {
namespace {

TEST(Paths, CompareComponentByComponent) {
  EXPECT_TRUE(paths_equal("C:\\plots\\a", "C:/plots//a"));
  EXPECT_TRUE(paths_equal("C:\\plots\\a\\", "C:\\plots\\a"));
  EXPECT_TRUE(paths_equal("C:\\plots\\.\\a", "C:\\plots\\a"));
  EXPECT_FALSE(paths_equal("C:\\plots\\A", "C:\\plots\\a"));
  EXPECT_FALSE(paths_equal("C:\\plots\\..\\a", "C:\\a"));
  EXPECT_FALSE(paths_equal("C:plots", "C:\\plots"));
  EXPECT_FALSE(paths_equal("/a", "a"));
  EXPECT_FALSE(paths_equal("\\\\srv\\share", "\\srv\\share"));  // a network path is not a rooted one
  EXPECT_TRUE(paths_equal("\\\\srv\\share\\", "//srv/share"));
  EXPECT_NE(path_hash("\\\\srv\\share"), path_hash("\\srv\\share"));
  EXPECT_EQ(path_hash("C:\\plots\\a"), path_hash("C:/plots//a/"));
}

TEST(Paths, JoinParentAndFileName) {
  std::string sep(1, kPathSeparator);
  EXPECT_EQ(join_path("dir", "f.txt"), "dir" + sep + "f.txt");
  EXPECT_EQ(join_path("dir/", "f.txt"), "dir/f.txt");
  EXPECT_EQ(join_path("", "f.txt"), "f.txt");
  EXPECT_EQ(parent_folder("C:\\a\\b.exe"), "C:\\a");
  EXPECT_EQ(parent_folder("/usr/bin/x"), "/usr/bin");
  EXPECT_EQ(parent_folder("/x"), "/");
  EXPECT_EQ(parent_folder("C:\\miner_config.yaml"), "C:\\");  // a working folder at a drive root
  EXPECT_EQ(parent_folder("C:\\\\x"), "C:\\");
  EXPECT_EQ(parent_folder("C:\\a\\\\b"), "C:\\a");
  EXPECT_EQ(parent_folder("x"), "");
  EXPECT_EQ(file_name("C:\\a\\b.yaml"), "b.yaml");
  EXPECT_EQ(file_name("C:\\a\\"), "");
  EXPECT_EQ(file_name("a/.."), "");
}

TEST(Paths, TheProgramsFilesLieBesideIt) {
  const std::optional<std::string> exe = executable_path();
  ASSERT_TRUE(exe);
  EXPECT_EQ(vorn::exe_relative("x.json"), join_path(parent_folder(*exe), "x.json"));
  EXPECT_NE(parent_folder(*exe), "");
  // Where the program's own path cannot be had, the working folder serves.
  arm_fault("executable-path");
  EXPECT_EQ(vorn::exe_relative("x.json"), "x.json");
  disarm_faults();
}

}  // namespace
}  // namespace vorn::platform
