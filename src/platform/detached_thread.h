#pragma once
// Threads that nobody joins.
//
// The Windows build's threads library (winpthreads, linked statically)
// recycles the record of a thread that is detached after it has ended,
// while that thread's own exit may still be using the record: a thread
// created next then shares it, and the program crashes or one of its
// threads spins for good holding a lock the window's thread needs (seen
// as a window that never finished starting). A thread detached while it
// still runs frees its record itself, at its very end. So the body waits
// until the thread is detached.
#include <future>
#include <memory>
#include <thread>
#include <utility>

#include "platform/fault_points.h"

namespace vorn::platform {

// Starts `body` on a thread of its own that is detached before the body
// runs. Throws std::system_error when no thread can be created, as
// std::thread does.
template <class Body>
void start_detached_thread(Body body) {
  auto detached = std::make_shared<std::promise<void>>();
  std::thread thread([gate = detached->get_future(), body = std::move(body)]() mutable {
    gate.wait();
    body();
  });
  delay_point("thread-detach");  // a spawner that is descheduled here
  thread.detach();
  detached->set_value();
}

}  // namespace vorn::platform
