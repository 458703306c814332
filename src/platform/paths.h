#pragma once
// Path texts as the program handles them: UTF-8 strings in the platform's
// native form. Comparison follows Windows rules on every platform: '\' and
// '/' separate alike, repeated separators and "." components do not count,
// names compare exactly (letter case kept), nothing is resolved on disk.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::platform {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Appends one component with the platform separator (no normalisation).
std::string join_path(std::string_view base, std::string_view name);
// The folder part of a path; empty when there is none.
std::string parent_folder(std::string_view path);
// The last component; empty when the path ends in a separator or is empty.
std::string file_name(std::string_view path);
// The components used for comparison (a leading root becomes "/").
std::vector<std::string> path_components(std::string_view path);
bool paths_equal(std::string_view a, std::string_view b);
// Agrees with paths_equal.
std::size_t path_hash(std::string_view path);

struct PathHash {
  std::size_t operator()(const std::string& p) const { return path_hash(p); }
};
struct PathEqual {
  bool operator()(const std::string& a, const std::string& b) const { return paths_equal(a, b); }
};

}  // namespace vorn::platform
