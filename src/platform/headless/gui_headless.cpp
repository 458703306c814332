// In-memory window backend. Messages live in one queue per thread, like the
// Win32 message queue; a notice sent on the window's own thread is handled
// at once, nested, as SendNotifyMessageW does.
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

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

struct Registry {
  std::mutex mutex;
  std::map<std::thread::id, std::shared_ptr<ThreadQueue>> queues;
  std::map<WindowHandle, Window::State*> windows;
  WindowHandle next_handle = 0x1000;
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
struct Boxes {
  std::mutex mutex;
  std::deque<bool> answers;
  std::vector<std::string> shown;
};
Boxes& boxes() {
  static Boxes* b = new Boxes();
  return *b;
}
}  // namespace

bool confirm_warning(const std::string& caption, const std::string& text) {
  Boxes& b = boxes();
  std::lock_guard<std::mutex> lock(b.mutex);
  b.shown.push_back(caption + "|" + text);
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

void request_close(WindowHandle window) { deliver(window, EventKind::CloseRequest); }

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
