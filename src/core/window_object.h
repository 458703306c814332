#pragma once
// The main window object: what the GUI thread owns besides the controls.
// AppCore and the channel's receiving end sit behind single-borrow guards.
#include "core/app_core.h"
#include "core/borrow.h"

namespace vorn {

class WindowObject {
 public:
  WindowObject(platform::gui::NoticeTarget notice_target, AppCore core_state,
               EventReceiver events)
      : notice(notice_target),
        output_budget(core_state.output_budget),
        core(std::move(core_state)),
        receiver(std::move(events)) {}
  virtual ~WindowObject() = default;

  // Writes changed state into the controls; the window layer provides it.
  virtual void refresh_display() {}

  platform::gui::NoticeTarget notice;
  // The readers' budget, reached without borrowing the state: a drain
  // starts by taking their wake-up.
  std::shared_ptr<OutputBudget> output_budget;
  BorrowCell<AppCore> core;
  BorrowCell<EventReceiver> receiver;

  bool drain_running = false;
  bool drain_again = false;
  int drain_depth = 0;  // drains running on the GUI thread's stack
  bool refresh_running = false;
  bool refresh_again = false;
  bool updating_controls = false;
  bool close_dialog_open = false;
  bool exit_confirmed = false;
};

}  // namespace vorn
