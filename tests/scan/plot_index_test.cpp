#include <gtest/gtest.h>

#include <string>

#include "scan/plot_index.h"

namespace vorn {
namespace {

std::string plot(int folder, int file) {
  return "D:\\rig" + std::to_string(folder) + "\\plot_" + std::to_string(file) + "_X2.vorn";
}

TEST(PlotIndex, EveryFileIsFoundAgainWithItsOwnValues) {
  PlotIndex index;
  EXPECT_EQ(index.find(plot(0, 0)), nullptr);
  // Enough files in enough folders for the table to grow several times.
  for (int folder = 0; folder < 7; ++folder) {
    for (int file = 0; file < 3000; ++file) {
      index.insert_or_assign(plot(folder, file), PlotIndexEntry{std::uint64_t(file), std::uint64_t(folder), file % 2 == 0});
    }
  }
  EXPECT_EQ(index.size(), 21000u);
  index.shrink_to_fit();
  for (int folder = 0; folder < 7; ++folder) {
    for (int file = 0; file < 3000; ++file) {
      const PlotIndexEntry* e = index.find(plot(folder, file));
      ASSERT_NE(e, nullptr) << plot(folder, file);
      EXPECT_EQ(e->size_bytes, std::uint64_t(file));
      EXPECT_EQ(e->modified_unix_secs, std::uint64_t(folder));
      EXPECT_EQ(e->stable, file % 2 == 0);
    }
  }
  EXPECT_EQ(index.find(plot(7, 0)), nullptr);     // a folder it never saw
  EXPECT_EQ(index.find(plot(0, 3000)), nullptr);  // a name it never saw
  EXPECT_EQ(index.find("D:\\rig0\\plot_1_X2.vorn.part"), nullptr);
  EXPECT_EQ(index.find("D:\\rig0"), nullptr);
}

TEST(PlotIndex, APathIsTheSameFileHoweverItIsSpelled) {
  PlotIndex index;
  index.insert_or_assign("D:\\p\\a.vorn", PlotIndexEntry{1, 10, false});
  for (const char* same : {"D:\\p\\a.vorn", "D:/p/a.vorn", "D:\\\\p\\a.vorn", "D:\\p\\.\\a.vorn", "D:\\p\\a.vorn\\"}) {
    ASSERT_NE(index.find(same), nullptr) << same;
  }
  for (const char* other : {"D:\\p\\A.vorn", "D:\\q\\a.vorn", "E:\\p\\a.vorn", "D:\\p\\a", "\\\\p\\a.vorn"}) {
    EXPECT_EQ(index.find(other), nullptr) << other;
  }
  // Assigning through another spelling changes the one entry.
  index.insert_or_assign("D:/p/a.vorn", PlotIndexEntry{2, 20, true});
  EXPECT_EQ(index.size(), 1u);
  EXPECT_EQ(index.find("D:\\p\\a.vorn")->size_bytes, 2u);
  EXPECT_TRUE(index.find("D:\\p\\a.vorn")->stable);
  // The same name in another folder is another file; names of one folder
  // that begin alike stay apart.
  index.insert_or_assign("D:\\q\\a.vorn", PlotIndexEntry{3, 30, false});
  index.insert_or_assign("D:\\p\\a.vorn2", PlotIndexEntry{4, 40, false});
  index.insert_or_assign("D:\\p\\a.vor", PlotIndexEntry{5, 50, false});
  EXPECT_EQ(index.size(), 4u);
  EXPECT_EQ(index.find("D:\\p\\a.vorn")->size_bytes, 2u);
  EXPECT_EQ(index.find("D:\\q\\a.vorn")->size_bytes, 3u);
  EXPECT_EQ(index.find("D:\\p\\a.vorn2")->size_bytes, 4u);
  EXPECT_EQ(index.find("D:\\p\\a.vor")->size_bytes, 5u);
  // Folders are told apart by their components, not their letters.
  index.insert_or_assign("D:\\ab\\c\\x.vorn", PlotIndexEntry{6, 60, false});
  EXPECT_EQ(index.find("D:\\a\\bc\\x.vorn"), nullptr);
  index.insert_or_assign("D:\\a\\bc\\x.vorn", PlotIndexEntry{7, 70, false});
  EXPECT_EQ(index.find("D:\\ab\\c\\x.vorn")->size_bytes, 6u);
  EXPECT_EQ(index.size(), 6u);
  index.find("D:\\q\\a.vorn")->stable = true;
  EXPECT_FALSE(index.find("D:\\p\\a.vor")->stable);
  EXPECT_TRUE(index.find("D:\\q\\a.vorn")->stable);
}

TEST(PlotIndex, AReservedIndexHoldsItsFilesAsAGrownOne) {
  PlotIndex reserved;
  reserved.reserve(5000);
  for (int file = 0; file < 5000; ++file) reserved.insert_or_assign(plot(1, file), PlotIndexEntry{std::uint64_t(file), 0, false});
  reserved.insert_or_assign(plot(1, 77), PlotIndexEntry{1, 1, true});
  EXPECT_EQ(reserved.size(), 5000u);
  for (int file = 0; file < 5000; ++file) ASSERT_NE(reserved.find(plot(1, file)), nullptr) << file;
  EXPECT_TRUE(reserved.find(plot(1, 77))->stable);
  EXPECT_FALSE(reserved.empty());
  EXPECT_TRUE(PlotIndex().empty());
  // Reserving less than it holds loses nothing.
  reserved.reserve(1);
  for (int file = 0; file < 5000; ++file) ASSERT_NE(reserved.find(plot(1, file)), nullptr) << file;
  EXPECT_EQ(reserved.find(plot(1, 5000)), nullptr);
}

TEST(PlotIndex, AFileItNeverSawIsNotFoundAtAnySize) {
  // Every count from empty to past a few growths: a lookup of a missing name
  // always ends, however full the table is.
  PlotIndex index;
  for (int file = 0; file < 300; ++file) {
    index.insert_or_assign(plot(2, file), PlotIndexEntry{});
    ASSERT_EQ(index.find(plot(2, 100000)), nullptr) << file;
  }
  // Nor is an empty path, which has no name at all.
  EXPECT_EQ(index.find(""), nullptr);
}

}  // namespace
}  // namespace vorn
