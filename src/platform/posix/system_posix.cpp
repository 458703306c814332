#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "platform/fault_points.h"
#include "platform/system.h"

namespace vorn::platform {

std::optional<std::string> executable_path() {
  if (take_fault("executable-path")) return std::nullopt;
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string computer_name() {
  char name[256] = "";
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string local_time_text() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = "";
  if (::localtime_r(&now, &local)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::optional<std::string> current_directory() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return std::nullopt;
  return std::string(buffer);
}

MaybeError raise_own_priority() {
  if (take_fault("raise-priority")) return std::string("injected failure at raise-priority");
  // The nearest equivalent of ABOVE_NORMAL_PRIORITY_CLASS.
  errno = 0;
  int current = ::getpriority(PRIO_PROCESS, 0);
  if (current == -1 && errno != 0) return "errno " + std::to_string(errno);
  int wanted = current > -5 ? -5 : current;
  if (::setpriority(PRIO_PROCESS, 0, wanted) != 0) return "errno " + std::to_string(errno);
  return std::nullopt;
}

void yield_processor() { ::sched_yield(); }

void end_process(int code) { ::_exit(code); }

}  // namespace vorn::platform
