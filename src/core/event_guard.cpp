#include "core/event_guard.h"

#include "core/crash_guard.h"

namespace vorn {

void recover_event_failure(WindowObject& window, const std::exception_ptr& failure) {
  const std::string message = failure_message(failure);
  write_crash_record("event handler", message, std::nullopt);
  const std::string text = "GUI event recovered from a panic; details written to " + crash_log_path();
  if (window.core.is_borrowed()) {
    write_crash_record("event handler panic recovery", "could not borrow AppCore to log recovered panic",
                       std::nullopt);
  } else {
    auto core = window.core.borrow();
    core->last_error = "GUI event panic recovered";
    log_line(*core, text);
    core->status_dirty = core->log_dirty = core->controls_dirty = true;
  }
  window.refresh_again = true;
  window.notice.wake();
}

}  // namespace vorn
