#pragma once
// The recovery guard around every window event handler: a failure is
// recorded, reported in the activity log, and the program goes on.
#include <exception>

#include "core/window_object.h"

namespace vorn {

void recover_event_failure(WindowObject& window, const std::exception_ptr& failure);

template <class Handler>
void guard_event(WindowObject& window, Handler&& handler) {
  try {
    handler();
  } catch (const Failure&) {
    recover_event_failure(window, std::current_exception());
  } catch (...) {
    // Not raised through raise_failure: record it the way the hook would.
    record_unhandled(std::current_exception());
    recover_event_failure(window, std::current_exception());
  }
}

}  // namespace vorn
