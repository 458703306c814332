#include "options/options_watch.h"

#include <atomic>
#include <memory>
#include <thread>

#include "core/crash_guard.h"
#include "platform/fault_points.h"

namespace vorn {
namespace {

constexpr std::string_view kUnreadable = "the options file could not be read: ";

OptionsRead failed(std::string error) {
  OptionsRead read;
  read.kind = OptionsRead::Kind::Failed;
  read.error = std::move(error);
  return read;
}

bool send(const OptionsWatch& watch, OptionsRead read) {
  if (!watch.sender.send(std::move(read))) return false;
  watch.notice.post();
  return true;
}

bool could_not_read(const OptionsRead& read) {
  return read.kind == OptionsRead::Kind::Failed && read.error.starts_with(kUnreadable);
}

// `first_sent` tells a failure report whether the start-up read came through.
void watch_file(OptionsWatch watch, std::atomic<bool>& first_sent) {
  std::optional<platform::FileStamp> seen = platform::file_stamp(watch.path);
  OptionsRead first = read_options_file(watch.path, seen);
  first.first = true;
  bool absent = first.kind == OptionsRead::Kind::Absent;
  // A file that could not be read (another program holding it open, say) is
  // read again at every look until it can be, without a new report while
  // the same file still cannot be read.
  bool unreadable = could_not_read(first);
  if (!send(watch, std::move(first))) return;
  first_sent = true;
  for (;;) {
    std::this_thread::sleep_for(watch.period);
    // The file may never change: the window's end must be noticed anyway.
    if (!watch.sender.connected()) return;
    std::optional<platform::FileStamp> now = platform::file_stamp(watch.path);
    if (now == seen && !unreadable) continue;
    const bool again = now == seen;
    seen = now;
    OptionsRead read = read_options_file(watch.path, now);
    unreadable = could_not_read(read);
    if (again && unreadable) continue;
    // A file that went between the look and the read is reported gone
    // once, not again when the next look finds it missing.
    const bool now_absent = read.kind == OptionsRead::Kind::Absent;
    if (now_absent && absent) continue;
    absent = now_absent;
    if (!send(watch, std::move(read))) return;
  }
}

}  // namespace

OptionsRead read_options_file(const std::string& path, const std::optional<platform::FileStamp>& stamp) {
  platform::fault_point("options-read");
  if (!stamp) return OptionsRead{};
  if (stamp->size > kOptionsFileLimit) return failed("the options file is larger than 1 MiB");
  // One byte more than allowed tells a file that grew since the look.
  Result<std::string> bytes = platform::read_file_start(path, kOptionsFileLimit + 1);
  if (!bytes.ok()) {
    if (!platform::file_stamp(path)) return OptionsRead{};
    return failed(std::string(kUnreadable) + bytes.error());
  }
  Result<Options> parsed = parse_options(bytes.value());
  if (!parsed.ok()) return failed(parsed.error());
  OptionsRead read;
  read.kind = OptionsRead::Kind::Loaded;
  read.options = std::make_shared<const Options>(std::move(parsed).value());
  return read;
}

void run_options_watch(OptionsWatch watch) {
  std::atomic<bool> first_sent = false;
  watch_file(std::move(watch), first_sent);
}

void start_options_watch(OptionsWatch watch) {
  auto first_sent = std::make_shared<std::atomic<bool>>(false);
  auto report_failure = [sender = watch.sender, notice = watch.notice, first_sent](const std::string& failure) {
    OptionsRead read = failed("the options reader stopped: " + failure);
    read.first = !*first_sent;
    if (sender.send(std::move(read))) notice.post();
  };
  auto body = [watch = std::move(watch), first_sent]() mutable { watch_file(std::move(watch), *first_sent); };
  spawn_detached_worker("options", std::move(body), std::move(report_failure));
}

}  // namespace vorn
