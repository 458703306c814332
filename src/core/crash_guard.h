#pragma once
// Unexpected failures leave a record in the crash log next to the executable;
// inside a window event handler they are recovered from.
#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/detached_thread.h"
#include "platform/fault_points.h"
#include "platform/result.h"

namespace vorn {

inline constexpr std::string_view kCrashLogFile = "vorn_miner_gui_crash.log";

// Where a failure was raised. (std::source_location is not available to
// every compiler that builds this code, e.g. the fuzzing build.)
struct SourceLocation {
  const char* file = "";
  int line = 0;
  static SourceLocation current(const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return SourceLocation{file, line};
  }
};

// A programming error, raised through raise_failure so that its record is
// written (with the raising file and line) before it unwinds.
class Failure : public std::runtime_error {
 public:
  Failure(std::string message, std::string location)
      : std::runtime_error(message), location_(std::move(location)) {}
  const std::string& location() const { return location_; }

 private:
  std::string location_;
};

[[noreturn]] void raise_failure(std::string message, SourceLocation where = SourceLocation::current());

// A record's time: whole seconds since 1970 in UTC, or "unknown" for a
// clock that reads earlier.
std::string timestamp_text(std::chrono::system_clock::time_point now);

// Appends one record; the result is for tests, callers ignore it.
MaybeError write_crash_record(std::string_view context, std::string_view message,
                              std::optional<std::string_view> location);
std::string crash_log_path();

// The record of an exception that was not raised through raise_failure.
void record_unhandled(const std::exception_ptr& failure);
// The text a failure carries, or "non-string panic payload".
std::string failure_message(const std::exception_ptr& failure);

// Registers the hook for failures that nothing catches.
void install_crash_hook();

// Names longer than 31 bytes are cut.
void set_thread_name(std::string_view name);
std::string thread_name();

// The body of a named worker thread: a failure inside it is recorded and
// ends only that thread; after it, `report_failure` receives its text.
template <class Body, class ReportFailure>
auto guarded_worker(std::string name, Body body, ReportFailure report_failure) {
  return [name = std::move(name), body = std::move(body), report_failure]() mutable {
    set_thread_name(name);
    std::string failure;
    try {
      body();
      return;
    } catch (const Failure& e) {
      failure = e.what();  // already recorded where it was raised
    } catch (...) {
      record_unhandled(std::current_exception());
      failure = failure_message(std::current_exception());
    }
    try {
      report_failure(failure);
    } catch (...) {
      record_unhandled(std::current_exception());
    }
  };
}

// Starts a named worker thread that nobody joins. A failure inside it is
// recorded and ends only that thread. A thread that cannot be created is a
// programming error.
template <class Body>
void spawn_detached_worker(std::string name, Body body) {
  spawn_detached_worker(std::move(name), std::move(body), [](const std::string&) {});
}

// The same, for a worker whose completion event the GUI thread waits for:
// after a failure is recorded, `report_failure` receives its text and sends
// that event, so no flag set for the worker stays set for good. That holds
// too when the thread cannot be created: the event is then sent from the
// calling thread, so `report_failure` must post its notice, not send it (a
// sent notice would be handled at once, inside the caller's handler).
template <class Body, class ReportFailure>
void spawn_detached_worker(std::string name, Body body, ReportFailure report_failure) {
  try {
    platform::fault_point("spawn " + name);
    platform::start_detached_thread(guarded_worker(name, std::move(body), report_failure));
  } catch (const std::exception&) {
    report_failure("failed to spawn thread");
    raise_failure("failed to spawn thread");
  }
}

// A worker as above that its caller joins (tests).
template <class Body>
std::thread spawn_worker(std::string name, Body body) {
  try {
    platform::fault_point("spawn " + name);
    return std::thread(guarded_worker(name, std::move(body), [](const std::string&) {}));
  } catch (const std::exception&) {
    raise_failure("failed to spawn thread");
  }
}

}  // namespace vorn
