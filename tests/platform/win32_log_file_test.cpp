// The log file beside a log viewer that holds it open the way many "tail"
// tools do: without delete sharing, so that Windows refuses to rename it.
#include <gtest/gtest.h>
#include <windows.h>

#include "core/activity_log_file.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/win32/wide.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::read_file;
using testing_support::write_file;

std::size_t count_lines(const std::string& text) {
  std::size_t n = 0;
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++n;
  return n;
}

TEST(LogViewer, AFileHeldWithoutDeleteSharingGrowsUntilItIsReleasedAndNoOldFileIsLost) {
  const std::string folder = testing_support::scratch_folder("log_viewer");
  const std::string path = platform::join_path(folder, std::string(kActivityLogFile));
  for (int n = 1; n <= 3; ++n) write_file(path + "." + std::to_string(n), "old file " + std::to_string(n) + "\r\n");
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  LogFileLimits limits;
  limits.rotate_bytes = 10 * (20 + 10 + 2);
  auto file = std::make_unique<ActivityLogFile>(path, sender, platform::gui::NoticeTarget{}, limits);
  file->append("line 10000");
  file->flush(std::chrono::seconds(5));
  // The viewer: reading, with read and write sharing only.
  HANDLE viewer = CreateFileW(platform::to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
  for (int i = 1; i < 25; ++i) {
    file->append("line " + std::to_string(10000 + i));
    if (i % 5 == 0) file->flush(std::chrono::seconds(5));  // several batches, each trying to rotate
  }
  file->flush(std::chrono::seconds(5));
  EXPECT_EQ(count_lines(read_file(path)), 25u) << "every line is in the held file";
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(read_file(path + "." + std::to_string(n)), "old file " + std::to_string(n) + "\r\n");
  int rotation_reports = 0;
  while (std::optional<WorkerEvent> e = receiver.try_recv()) {
    if (auto* f = std::get_if<LogFileFailed>(&*e)) rotation_reports += f->rotation ? 1 : 100;
  }
  EXPECT_EQ(rotation_reports, 1) << "one report, and never 'not writable'";
  CloseHandle(viewer);
  file->append("line 10025");
  file.reset();
  EXPECT_EQ(count_lines(read_file(path)), 1u);
  EXPECT_EQ(count_lines(read_file(path + ".1")), 25u);
  EXPECT_EQ(read_file(path + ".2"), "old file 1\r\n");
  EXPECT_EQ(read_file(path + ".3"), "old file 2\r\n");
}

}  // namespace
}  // namespace vorn
