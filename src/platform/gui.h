#pragma once
// The window library the program is written against. The Win32 backend maps
// it to real windows and messages; the headless backend keeps everything in
// memory so that the same logic can be driven by tests.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/result.h"

namespace vorn::platform::gui {

// WM_USER + 100: the cross-thread wake-up of the main window.
inline constexpr unsigned kNoticeMessage = 0x464;

using WindowHandle = std::uintptr_t;

// Where workers send the wake-up. Copyable, usable from any thread; a
// notice to a window that no longer exists is dropped.
struct NoticeTarget {
  WindowHandle window = 0;
  std::uint32_t id = 0;

  // SendNotifyMessageW: never waits for the GUI thread; when called on the
  // window's own thread the notice is handled before this returns.
  bool wake() const;
  // PostMessageW: handled at a later turn of the message loop.
  bool post() const;
};

enum class EventKind { Notice, CloseRequest };

struct Event {
  EventKind kind;
  WindowHandle source = 0;
};

using EventHandler = std::function<void(const Event&)>;

// Once per process, before any window: visual styles, common controls,
// the window class, COM and the default font.
MaybeError initialise_library();

// The top-level window; destroying the object destroys the window.
class Window {
 public:
  static Result<Window> create(const std::string& caption);
  Window(Window&&) noexcept;
  Window& operator=(Window&&) noexcept;
  ~Window();

  WindowHandle handle() const;
  NoticeTarget notice(std::uint32_t id) const { return NoticeTarget{handle(), id}; }
  std::string caption() const;
  // Events of the window (and later its controls) go to one handler.
  void bind(EventHandler handler);
  void unbind();

  struct State;

 private:
  explicit Window(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// A modal OK/Cancel box with the warning icon and no owner window
// (MB_OKCANCEL | MB_ICONWARNING); true when OK was chosen.
bool confirm_warning(const std::string& caption, const std::string& text);

// Runs the calling thread's message loop until post_quit.
void run_message_loop();
// Ends the message loop of the calling thread (WM_QUIT).
void post_quit();

}  // namespace vorn::platform::gui
