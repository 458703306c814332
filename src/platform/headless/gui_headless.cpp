// In-memory window backend. Messages live in one queue per thread, like the
// Win32 message queue; a notice sent on the window's own thread is handled
// at once, nested, as SendNotifyMessageW does.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/fault_points.h"
#include "platform/headless/headless_gui.h"

namespace vorn::platform::gui {
namespace {

struct Message {
  enum class Kind { Notice, Quit } kind;
  WindowHandle window;
};

struct ThreadQueue {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Message> messages;
  bool quit = false;
};

struct Control {
  WindowHandle window = 0;
  ControlKind kind = ControlKind::Label;
  std::string text;
  int x = 0, y = 0, width = 0, height = 0;
  bool enabled = true;
  bool checked = false;
  bool redraw = true;
  std::vector<Column> columns;
  std::vector<std::vector<std::string>> rows;
  std::optional<int> selected;
  int scrolled_to_line = 0;  // the last line in view
  std::size_t selection_start = 0, selection_end = 0;
  std::size_t last_written_bytes = 0;  // by the last text write
  int writes = 0;
  bool is_menu_item = false;
};

struct Registry {
  std::mutex mutex;
  std::map<std::thread::id, std::shared_ptr<ThreadQueue>> queues;
  std::map<WindowHandle, Window::State*> windows;
  std::map<ControlHandle, Control> controls;
  WindowHandle next_handle = 0x1000;
  ControlHandle shown_menu = 0;
  std::deque<std::optional<std::string>> folder_answers;
};

Registry& registry() {
  static Registry* r = new Registry();  // outlives every thread
  return *r;
}

std::shared_ptr<ThreadQueue> queue_of(std::thread::id thread) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto& q = r.queues[thread];
  if (!q) q = std::make_shared<ThreadQueue>();
  return q;
}

}  // namespace

struct Window::State {
  WindowHandle handle = 0;
  std::string caption;
  std::thread::id owner;
  std::shared_ptr<ThreadQueue> queue;
  std::shared_ptr<EventHandler> handler;
};

namespace {

// The handler of a live window, copied out so that it runs without locks.
std::shared_ptr<EventHandler> handler_of(WindowHandle window, std::thread::id* owner,
                                         std::shared_ptr<ThreadQueue>* queue) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.windows.find(window);
  if (it == r.windows.end()) return nullptr;
  if (owner) *owner = it->second->owner;
  if (queue) *queue = it->second->queue;
  return it->second->handler ? it->second->handler : std::make_shared<EventHandler>();
}

void deliver(WindowHandle window, EventKind kind) {
  std::shared_ptr<EventHandler> handler = handler_of(window, nullptr, nullptr);
  if (handler && *handler) (*handler)(Event{kind, window});
}

bool enqueue(WindowHandle window, bool nested_on_owner) {
  std::thread::id owner;
  std::shared_ptr<ThreadQueue> queue;
  if (!handler_of(window, &owner, &queue)) return false;
  if (nested_on_owner && owner == std::this_thread::get_id()) {
    deliver(window, EventKind::Notice);
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->messages.push_back(Message{Message::Kind::Notice, window});
  }
  queue->wake.notify_one();
  return true;
}

// Takes one message, waiting until `deadline`; false when none came.
bool take_one(ThreadQueue& q, std::chrono::steady_clock::time_point deadline, Message* out) {
  std::unique_lock<std::mutex> lock(q.mutex);
  q.wake.wait_until(lock, deadline, [&] { return !q.messages.empty() || q.quit; });
  if (q.messages.empty()) return false;
  *out = q.messages.front();
  q.messages.pop_front();
  return true;
}

}  // namespace

bool NoticeTarget::wake() const { return enqueue(window, true); }
bool NoticeTarget::post() const { return enqueue(window, false); }

MaybeError initialise_library() { return std::nullopt; }

Result<Window> Window::create(const std::string& caption) {
  auto state = std::make_unique<State>();
  state->caption = caption;
  state->owner = std::this_thread::get_id();
  state->queue = queue_of(state->owner);
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    state->handle = r.next_handle++;
    r.windows[state->handle] = state.get();
  }
  return Result<Window>::success(Window(std::move(state)));
}

Window::Window(std::unique_ptr<State> state) : state_(std::move(state)) {}
Window::Window(Window&&) noexcept = default;
Window& Window::operator=(Window&&) noexcept = default;
Window::~Window() {
  if (!state_) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.windows.erase(state_->handle);
  std::erase_if(r.controls, [&](const auto& c) { return c.second.window == state_->handle; });
}

Result<ControlHandle> Window::add_control(const ControlSpec& spec) {
  if (take_fault("add-control")) return Result<ControlHandle>::failure("injected failure at add-control");
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  ControlHandle handle = r.next_handle++;
  Control& c = r.controls[handle];
  c.window = state_->handle;
  c.kind = spec.kind;
  c.text = spec.text;
  c.x = spec.x, c.y = spec.y, c.width = spec.width, c.height = spec.height;
  return Result<ControlHandle>::success(handle);
}

Result<ControlHandle> Window::add_popup_menu(const std::string&, const std::string& item_text) {
  if (take_fault("add-menu")) return Result<ControlHandle>::failure("injected failure at add-menu");
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  ControlHandle handle = r.next_handle++;
  Control& c = r.controls[handle];
  c.window = state_->handle;
  c.text = item_text;
  c.is_menu_item = true;
  return Result<ControlHandle>::success(handle);
}

void Window::show_popup_menu(ControlHandle item) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().shown_menu = item;
}

WindowHandle Window::handle() const { return state_->handle; }
std::string Window::caption() const { return state_->caption; }

void Window::bind(EventHandler handler) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  state_->handler = std::make_shared<EventHandler>(std::move(handler));
}

void Window::unbind() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  state_->handler.reset();
}

namespace {

// UTF-16 units of UTF-8 text: four-byte characters take two.
std::size_t utf16_units(const std::string& text) {
  std::size_t units = 0;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

// Runs `f` on the control under the registry lock.
template <class F>
auto with_control(ControlHandle handle, F f) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return f(r.controls.at(handle));
}

}  // namespace

namespace {
void deliver_from_control(ControlHandle control, EventKind kind, int row) {
  WindowHandle window = with_control(control, [](Control& x) { return x.window; });
  std::shared_ptr<EventHandler> handler = handler_of(window, nullptr, nullptr);
  if (handler && *handler) (*handler)(Event{kind, control, row});
}
}  // namespace

void set_text(ControlHandle c, const std::string& text) {
  const bool edit = with_control(c, [&](Control& x) {
    x.text = text;
    x.last_written_bytes = text.size();
    x.selection_start = x.selection_end = 0;
    ++x.writes;
    return x.kind == ControlKind::Edit || x.kind == ControlKind::LogBox;
  });
  // As WM_SETTEXT does on a Win32 edit control (EN_CHANGE): the window sees
  // its own writes and must tell them from the user's typing.
  if (edit) deliver_from_control(c, EventKind::TextChanged, -1);
}
std::string text_of(ControlHandle c) { return with_control(c, [](Control& x) { return x.text; }); }
void set_enabled(ControlHandle c, bool e) {
  with_control(c, [&](Control& x) {
    x.enabled = e;
    ++x.writes;
  });
}
bool is_enabled(ControlHandle c) { return with_control(c, [](Control& x) { return x.enabled; }); }
void set_checked(ControlHandle c, bool v) { with_control(c, [&](Control& x) { x.checked = v; }); }
bool is_checked(ControlHandle c) { return with_control(c, [](Control& x) { return x.checked; }); }
void drop_and_append_text(ControlHandle c, std::size_t drop_units, const std::string& append) {
  with_control(c, [&](Control& x) {
    ++x.writes;
    // UTF-16 units to UTF-8 bytes: four-byte characters take two units.
    std::size_t at = 0;
    for (std::size_t units = 0; units < drop_units && at < x.text.size(); ++at) {
      const auto byte = static_cast<unsigned char>(x.text[at]);
      if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
    }
    while (at < x.text.size() && (static_cast<unsigned char>(x.text[at]) & 0xC0) == 0x80) ++at;
    x.text.erase(0, at);
    x.text += append;
    x.last_written_bytes = append.size();
    // EM_REPLACESEL leaves the caret after the text it added.
    x.selection_start = x.selection_end = utf16_units(x.text);
  });
  deliver_from_control(c, EventKind::TextChanged, -1);  // EM_REPLACESEL raises EN_CHANGE too
}

void scroll_log_to_end(ControlHandle c) {
  with_control(c, [](Control& x) {
    x.scrolled_to_line = static_cast<int>(std::count(x.text.begin(), x.text.end(), '\n'));
  });
}
namespace {
int line_count(const Control& x) { return static_cast<int>(std::count(x.text.begin(), x.text.end(), '\n')) + 1; }
int lines_in_view(const Control& x) { return std::max(1, x.height / headless::kLineHeight); }
}  // namespace

TextView text_view(ControlHandle c) {
  return with_control(c, [](Control& x) {
    const int last = std::min(x.scrolled_to_line, line_count(x) - 1);
    return TextView{x.selection_start, x.selection_end, std::max(0, last - lines_in_view(x) + 1),
                    last >= line_count(x) - 1};
  });
}

void set_text_view(ControlHandle c, const TextView& view) {
  with_control(c, [&](Control& x) {
    const std::size_t length = utf16_units(x.text);
    x.selection_start = std::min(view.selection_start, length);
    x.selection_end = std::min(view.selection_end, length);
    x.scrolled_to_line = std::min(std::max(0, view.first_line) + lines_in_view(x) - 1, line_count(x) - 1);
  });
}

std::size_t text_length(ControlHandle c) { return with_control(c, [](Control& x) { return utf16_units(x.text); }); }

int column_count(ControlHandle c) { return with_control(c, [](Control& x) { return static_cast<int>(x.columns.size()); }); }
void add_columns(ControlHandle c, const std::vector<Column>& columns) {
  with_control(c, [&](Control& x) { x.columns.insert(x.columns.end(), columns.begin(), columns.end()); });
}
void set_redraw(ControlHandle c, bool redraw) { with_control(c, [&](Control& x) { x.redraw = redraw; }); }
void delete_all_rows(ControlHandle c) {
  with_control(c, [](Control& x) {
    x.rows.clear();
    x.selected.reset();
  });
}
void append_row(ControlHandle c, const std::vector<std::string>& cells) {
  with_control(c, [&](Control& x) { x.rows.push_back(cells); });
}
std::optional<int> selected_row(ControlHandle c) { return with_control(c, [](Control& x) { return x.selected; }); }
void select_row(ControlHandle c, int row) {
  with_control(c, [&](Control& x) {
    if (row >= 0 && row < static_cast<int>(x.rows.size())) x.selected = row;
  });
}

Result<std::optional<std::string>> pick_folder(WindowHandle, const std::string&) {
  using R = Result<std::optional<std::string>>;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.folder_answers.empty()) return R::success(std::nullopt);
  std::optional<std::string> answer = r.folder_answers.front();
  r.folder_answers.pop_front();
  if (answer && answer->rfind(headless::kPickerFailure, 0) == 0) {
    return R::failure(answer->substr(headless::kPickerFailure.size()));
  }
  return R::success(std::move(answer));
}

namespace {
struct Boxes {
  std::mutex mutex;
  std::deque<bool> answers;
  std::vector<std::string> shown;
  std::deque<std::function<void()>> while_open;
};
Boxes& boxes() {
  static Boxes* b = new Boxes();
  return *b;
}
}  // namespace

bool confirm_warning(const std::string& caption, const std::string& text) {
  Boxes& b = boxes();
  std::function<void()> action;
  {
    std::lock_guard<std::mutex> lock(b.mutex);
    b.shown.push_back(caption + "|" + text);
    if (!b.while_open.empty()) {
      action = std::move(b.while_open.front());
      b.while_open.pop_front();
    }
  }
  if (action) action();
  std::lock_guard<std::mutex> lock(b.mutex);
  if (b.answers.empty()) return true;
  bool ok = b.answers.front();
  b.answers.pop_front();
  return ok;
}

void run_message_loop() {
  std::shared_ptr<ThreadQueue> q = queue_of(std::this_thread::get_id());
  for (;;) {
    Message m;
    if (!take_one(*q, std::chrono::steady_clock::time_point::max(), &m)) {
      std::lock_guard<std::mutex> lock(q->mutex);
      if (q->quit) {
        q->quit = false;
        return;
      }
      continue;
    }
    deliver(m.window, EventKind::Notice);
  }
}

void post_quit() {
  std::shared_ptr<ThreadQueue> q = queue_of(std::this_thread::get_id());
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    q->quit = true;
  }
  q->wake.notify_one();
}

namespace headless {

bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  std::shared_ptr<ThreadQueue> q = queue_of(std::this_thread::get_id());
  auto deadline = std::chrono::steady_clock::now() + limit;
  // The condition is looked at after every message and at least every 10 ms.
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    Message m;
    if (take_one(*q, std::min(deadline, now + std::chrono::milliseconds(10)), &m)) {
      deliver(m.window, EventKind::Notice);
    } else if (quit_posted()) {
      return done();  // as the message loop would end here
    }
  }
  return true;
}

void pump_pending() {
  std::shared_ptr<ThreadQueue> q = queue_of(std::this_thread::get_id());
  Message m;
  while (take_one(*q, std::chrono::steady_clock::now(), &m)) deliver(m.window, EventKind::Notice);
}

void answer_next_box(bool ok) {
  std::lock_guard<std::mutex> lock(boxes().mutex);
  boxes().answers.push_back(ok);
}

std::vector<std::string> shown_boxes() {
  std::lock_guard<std::mutex> lock(boxes().mutex);
  return boxes().shown;
}

void while_next_box_is_open(std::function<void()> action) {
  std::lock_guard<std::mutex> lock(boxes().mutex);
  boxes().while_open.push_back(std::move(action));
}

void request_close(WindowHandle window) { deliver(window, EventKind::CloseRequest); }

void deliver_event(WindowHandle window, const Event& event) {
  std::shared_ptr<EventHandler> handler = handler_of(window, nullptr, nullptr);
  if (handler && *handler) (*handler)(event);
}

void click(ControlHandle control) {
  bool deliver_it = with_control(control, [](Control& x) {
    if (!x.enabled) return false;
    if (x.kind == ControlKind::CheckBox) x.checked = !x.checked;
    return true;
  });
  if (deliver_it) deliver_from_control(control, EventKind::Click, -1);
}

void type_text(ControlHandle control, const std::string& text) {
  with_control(control, [&](Control& x) { x.text = text; });
  deliver_from_control(control, EventKind::TextChanged, -1);
}

void right_click(ControlHandle list, int row) { deliver_from_control(list, EventKind::RightClick, row); }

void scroll_to(ControlHandle box, int line) { with_control(box, [&](Control& x) { x.scrolled_to_line = line; }); }

void select_text(ControlHandle box, std::size_t start, std::size_t end) {
  with_control(box, [&](Control& x) {
    x.selection_start = start;
    x.selection_end = end;
  });
}

void press_delete(ControlHandle list) {
  const int row = with_control(list, [](Control& x) { return x.selected.value_or(-1); });
  deliver_from_control(list, EventKind::DeleteKey, row);
}

ControlHandle shown_menu() {
  std::lock_guard<std::mutex> lock(registry().mutex);
  return std::exchange(registry().shown_menu, 0);
}

void choose_menu_item(ControlHandle item) { deliver_from_control(item, EventKind::MenuItem, -1); }

void answer_next_folder_pick(std::optional<std::string> folder) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().folder_answers.push_back(std::move(folder));
}

ControlInfo control_info(ControlHandle control) {
  return with_control(control, [](Control& x) {
    return ControlInfo{x.kind, x.text, x.x, x.y, x.width, x.height, x.redraw, x.scrolled_to_line, x.columns, x.rows,
                       x.last_written_bytes, x.writes};
  });
}

std::vector<ControlHandle> controls_of(WindowHandle window) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<ControlHandle> handles;
  for (const auto& [h, c] : r.controls) {
    if (c.window == window && !c.is_menu_item) handles.push_back(h);
  }
  return handles;
}

bool quit_posted() {
  std::shared_ptr<ThreadQueue> q = queue_of(std::this_thread::get_id());
  std::lock_guard<std::mutex> lock(q->mutex);
  return q->quit;
}

void clear_quit() {
  std::shared_ptr<ThreadQueue> q = queue_of(std::this_thread::get_id());
  std::lock_guard<std::mutex> lock(q->mutex);
  q->quit = false;
}

}  // namespace headless
}  // namespace vorn::platform::gui
