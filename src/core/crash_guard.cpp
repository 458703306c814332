#include "core/crash_guard.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "core/activity_log_file.h"
#include "core/build_profile.h"
#include "platform/fault.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace vorn {
namespace {

// A plain array, not a std::string: the Windows toolchain's emulated
// thread-locals free a thread's storage before the thread's thread-local
// destructors run, so a destructor here would read freed memory (and free
// whatever pointer it found there) each time a named thread ends.
constexpr std::size_t kThreadNameSize = 32;
thread_local char t_thread_name[kThreadNameSize] = {};
// How long a crash record waits for the log file's queued lines.
constexpr std::chrono::milliseconds kCrashFlushLimit{2000};

std::string location_text(const SourceLocation& where) {
  std::string file = platform::file_name(where.file);
  if (file.empty()) file = where.file;
  return file + ":" + std::to_string(where.line);
}

[[noreturn]] void on_terminate() {
  if (std::exception_ptr current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (const Failure&) {
      // already recorded where it was raised
    } catch (...) {
      record_unhandled(current);
    }
  } else {
    write_crash_record("panic hook", "terminate called without an active exception",
                       std::nullopt);
  }
  std::abort();
}

}  // namespace

std::string timestamp_text(std::chrono::system_clock::time_point now) {
  auto since_epoch = now.time_since_epoch();
  if (since_epoch.count() < 0) return "unknown";
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
}

void set_thread_name(std::string_view name) {
  const std::size_t size = std::min(name.size(), kThreadNameSize - 1);
  std::copy_n(name.data(), size, t_thread_name);
  t_thread_name[size] = '\0';
}

std::string thread_name() { return t_thread_name[0] != '\0' ? std::string(t_thread_name) : "unnamed"; }

std::string crash_log_path() { return exe_relative(kCrashLogFile); }

MaybeError write_crash_record(std::string_view context, std::string_view message,
                              std::optional<std::string_view> location) {
  std::string record = "timestamp=" + timestamp_text(std::chrono::system_clock::now()) + "\n";
  record += "version=" + std::string(kBuildTag) + "\n";
  record += "context=" + std::string(context) + "\n";
  record += "thread=" + thread_name() + "\n";
  record += "panic=" + std::string(message) + "\n";
  record += "location=" + std::string(location.value_or("unknown")) + "\n\n";
  MaybeError written = platform::append_to_file(crash_log_path(), record);
  flush_activity_log_file(kCrashFlushLimit);
  return written;
}

void raise_failure(std::string message, SourceLocation where) {
  std::string location = location_text(where);
  write_crash_record("panic hook", message, location);
  throw Failure(std::move(message), std::move(location));
}

std::string failure_message(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (const std::string& text) {
    return text;
  } catch (const char* text) {
    return text;
  } catch (...) {
    return "non-string panic payload";
  }
}

void record_unhandled(const std::exception_ptr& failure) {
  write_crash_record("panic hook", failure_message(failure), std::nullopt);
}

void install_crash_hook() {
  std::set_terminate(on_terminate);
  platform::install_fault_hook(
      [](const char* message) { write_crash_record("panic hook", message, std::nullopt); });
}

}  // namespace vorn
