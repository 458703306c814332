#pragma once
// The window library the program is written against. The Win32 backend maps
// it to real windows and messages; the headless backend keeps everything in
// memory so that the same logic can be driven by tests.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

using ControlHandle = std::uintptr_t;

enum class EventKind {
  Notice,        // the cross-thread wake-up
  CloseRequest,  // the window's close box
  Click,         // a push button or check box was clicked
  TextChanged,   // the text of an edit field changed
  RightClick,    // a right click on a list view row (`row`, -1 below the rows)
  MenuItem,      // an item of a popup menu was chosen
  DeleteKey,     // the Delete key in a list view (`row`: the selected row, or -1)
  Tray,          // the notification-area icon (`row`: a TrayAction, platform/tray.h)
  Minimized,     // the window was minimised
};

struct Event {
  EventKind kind;
  WindowHandle source = 0;  // the window, the control or the menu item
  int row = -1;
};

enum class ControlKind { Label, Edit, LogBox, Button, CheckBox, ListView };

struct ControlSpec {
  ControlKind kind;
  std::string text;
  int x, y, width, height;
};

struct Column {
  std::string caption;
  int width;
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
  // Events of the window and of its controls go to one handler.
  void bind(EventHandler handler);
  void unbind();

  // A child control in client coordinates, in the default font.
  Result<ControlHandle> add_control(const ControlSpec& spec);
  // A popup menu with one item; returns the item's handle.
  Result<ControlHandle> add_popup_menu(const std::string& menu_text, const std::string& item_text);
  // Opens the popup menu at the mouse cursor; a chosen item arrives as an event.
  void show_popup_menu(ControlHandle item);

  struct State;

 private:
  explicit Window(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Control contents.
void set_text(ControlHandle control, const std::string& text);
std::string text_of(ControlHandle control);
// WS_DISABLED set or cleared, and the control redrawn.
void set_enabled(ControlHandle control, bool enabled);
bool is_enabled(ControlHandle control);
void set_checked(ControlHandle control, bool checked);
bool is_checked(ControlHandle control);
// Removes the first `drop_units` UTF-16 units of an edit control's text and
// adds `append` at its end (EM_SETSEL, EM_REPLACESEL): the log box moves on
// without its whole text being written again.
void drop_and_append_text(ControlHandle edit, std::size_t drop_units, const std::string& append);
// The multi-line log box scrolled to its end (EM_GETLINECOUNT, EM_LINESCROLL).
void scroll_log_to_end(ControlHandle log_box);
// Where the user is in a multi-line box: the selection in UTF-16 units, the
// first line in view, and whether the last line is in view.
struct TextView {
  std::size_t selection_start = 0, selection_end = 0;
  int first_line = 0;
  bool at_end = true;
};
TextView text_view(ControlHandle box);
// Puts the selection back and scrolls `first_line` to the top (as far as the
// box can scroll); `at_end` is not used.
void set_text_view(ControlHandle box, const TextView& view);
// The length of a control's text in UTF-16 units (GetWindowTextLengthW).
std::size_t text_length(ControlHandle control);
// A control left undrawn while many changes are made (WM_SETREDRAW); turned
// back on, it is drawn again whole, its scroll bars too.
void set_redraw(ControlHandle control, bool redraw);

// Report list views.
int column_count(ControlHandle list);
void add_columns(ControlHandle list, const std::vector<Column>& columns);
void delete_all_rows(ControlHandle list);
void append_row(ControlHandle list, const std::vector<std::string>& cells);
std::optional<int> selected_row(ControlHandle list);
void select_row(ControlHandle list, int row);

// The shell's folder picker, owned by `owner`; nothing when cancelled, a
// failure when the picker could not be opened.
Result<std::optional<std::string>> pick_folder(WindowHandle owner, const std::string& title);

// A modal OK/Cancel box with the warning icon and no owner window
// (MB_OKCANCEL | MB_ICONWARNING); true when OK was chosen.
bool confirm_warning(const std::string& caption, const std::string& text);

// Runs the calling thread's message loop until post_quit.
void run_message_loop();
// Ends the message loop of the calling thread (WM_QUIT).
void post_quit();

}  // namespace vorn::platform::gui
