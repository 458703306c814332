#include "platform/fault_points.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace vorn::platform {
namespace {

std::atomic<bool> g_any_armed{false};

struct Armed {
  std::mutex mutex;
  std::set<std::string, std::less<>> points;
  std::map<std::string, std::chrono::microseconds, std::less<>> delays;
};

Armed& armed() {
  static Armed* a = new Armed();  // outlives every worker thread
  return *a;
}

}  // namespace

void arm_fault(std::string_view point) {
  std::lock_guard<std::mutex> lock(armed().mutex);
  armed().points.emplace(point);
  g_any_armed = true;
}

void disarm_faults() {
  std::lock_guard<std::mutex> lock(armed().mutex);
  armed().points.clear();
  armed().delays.clear();
  g_any_armed = false;
}

bool take_fault(std::string_view point) {
  if (!g_any_armed.load(std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> lock(armed().mutex);
  auto it = armed().points.find(point);
  if (it == armed().points.end()) return false;
  armed().points.erase(it);
  g_any_armed = !armed().points.empty() || !armed().delays.empty();
  return true;
}

bool fault_armed(std::string_view point) {
  std::lock_guard<std::mutex> lock(armed().mutex);
  return armed().points.find(point) != armed().points.end();
}

void arm_delay(std::string_view point, std::chrono::microseconds delay) {
  std::lock_guard<std::mutex> lock(armed().mutex);
  armed().delays.insert_or_assign(std::string(point), delay);
  g_any_armed = true;
}

void delay_point(std::string_view point) {
  if (!g_any_armed.load(std::memory_order_relaxed)) return;
  std::chrono::microseconds delay{0};
  {
    std::lock_guard<std::mutex> lock(armed().mutex);
    auto it = armed().delays.find(point);
    if (it == armed().delays.end()) return;
    delay = it->second;
  }
  std::this_thread::sleep_for(delay);
}

void fault_point(std::string_view point) {
  if (take_fault(point)) throw std::runtime_error("injected failure at " + std::string(point));
}

}  // namespace vorn::platform
