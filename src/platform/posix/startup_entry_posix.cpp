// XDG autostart: $XDG_CONFIG_HOME/autostart (or ~/.config/autostart) holds
// one .desktop file named after the entry, whose Exec= line is the command.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/files.h"
#include "platform/startup_entry.h"

namespace vorn::platform {
namespace {

std::string autostart_folder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config) return std::string(config) + "/autostart";
  const passwd* user = ::getpwuid(::getuid());
  return std::string(user ? user->pw_dir : "") + "/.config/autostart";
}

std::string entry_path(const std::string& name) { return autostart_folder() + "/" + name + ".desktop"; }

std::string errno_error(const char* what, int code) { return std::string(what) + ": errno " + std::to_string(code); }

}  // namespace

Result<std::optional<std::string>> read_startup_entry(const std::string& name) {
  using R = Result<std::optional<std::string>>;
  struct stat st;
  if (::stat(autostart_folder().c_str(), &st) != 0) {
    if (errno == ENOENT) return R::success(std::nullopt);
    return R::failure(errno_error("failed to open HKCU Run key", errno));
  }
  Result<std::string> text = read_file(entry_path(name));
  if (!text.ok()) {
    if (errno == ENOENT || !path_exists(entry_path(name))) return R::success(std::nullopt);
    return R::failure("failed to read HKCU Run value: " + text.error());
  }
  std::size_t at = text.value().find("\nExec=");
  if (at == std::string::npos) return R::success(std::string());  // not a command entry
  std::size_t end = text.value().find('\n', at + 1);
  return R::success(text.value().substr(at + 6, end == std::string::npos ? std::string::npos : end - at - 6));
}

MaybeError write_startup_entry(const std::string& name, const std::string& command) {
  if (MaybeError e = create_directories(autostart_folder())) return "failed to open HKCU Run key for writing: " + *e;
  Result<OutputFile> file = OutputFile::create(entry_path(name));
  if (!file.ok()) return "failed to write HKCU Run value: " + file.error();
  std::string text = "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + command + "\n";
  if (MaybeError e = file.value().write_all(text)) return "failed to write HKCU Run value: " + *e;
  return std::nullopt;
}

MaybeError delete_startup_entry(const std::string& name) {
  if (::unlink(entry_path(name).c_str()) != 0 && errno != ENOENT) {
    return errno_error("failed to delete HKCU Run value", errno);
  }
  return std::nullopt;
}

}  // namespace vorn::platform
