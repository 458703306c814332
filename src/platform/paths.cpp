#include "platform/paths.h"

#include <functional>

namespace vorn::platform {
namespace {
bool is_separator(char c) { return c == '\\' || c == '/'; }
}  // namespace

std::string join_path(std::string_view base, std::string_view name) {
  std::string out(base);
  if (!out.empty() && !is_separator(out.back())) out += kPathSeparator;
  out += name;
  return out;
}

std::string parent_folder(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && is_separator(path[end - 1])) --end;  // trailing separators
  while (end > 0 && !is_separator(path[end - 1])) --end;  // the last name
  if (end == 0) return {};
  // The root keeps its separator: / and C:\ stay as they are.
  const std::size_t root = path.size() >= 3 && path[1] == ':' && is_separator(path[2]) ? 3 : 1;
  std::size_t cut = end;
  while (cut > root && is_separator(path[cut - 1])) --cut;
  return std::string(path.substr(0, cut));
}

std::string file_name(std::string_view path) {
  std::size_t end = path.size();
  if (end == 0 || is_separator(path[end - 1])) return {};
  std::size_t start = end;
  while (start > 0 && !is_separator(path[start - 1])) --start;
  std::string_view name = path.substr(start, end - start);
  if (name == "." || name == "..") return {};
  return std::string(name);
}

std::vector<std::string> path_components(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t i = 0;
  // A drive prefix such as "C:" is its own component.
  if (path.size() >= 2 && path[1] == ':') {
    parts.emplace_back(path.substr(0, 2));
    i = 2;
  }
  // A network path (\\server\share) has a root of its own.
  if (i == 0 && path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    parts.emplace_back("//");
  } else if (i < path.size() && is_separator(path[i])) {
    parts.emplace_back("/");
  }
  while (i < path.size()) {
    while (i < path.size() && is_separator(path[i])) ++i;
    std::size_t start = i;
    while (i < path.size() && !is_separator(path[i])) ++i;
    std::string_view part = path.substr(start, i - start);
    // A leading "." keeps a relative path relative; inner ones do not count.
    if (part.empty() || (part == "." && !parts.empty())) continue;
    parts.emplace_back(part);
  }
  return parts;
}

bool paths_equal(std::string_view a, std::string_view b) {
  return path_components(a) == path_components(b);
}

std::size_t path_hash(std::string_view path) {
  std::size_t h = 1469598103934665603ull;
  for (const std::string& part : path_components(path)) {
    h ^= std::hash<std::string>{}(part) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
  }
  return h;
}

}  // namespace vorn::platform
