#include "ui/startup_launch.h"

#include "core/build_profile.h"
#include "core/text.h"
#include "platform/os_error.h"
#include "platform/startup_entry.h"
#include "platform/system.h"

namespace vorn {
namespace {

const std::string kValueName(kProfile.run_value_name);

Result<std::string> own_path() {
  std::optional<std::string> exe = platform::executable_path();
  if (!exe) return Result<std::string>::failure("cannot read current GUI exe path: " + platform::last_os_error_text());
  return Result<std::string>::success(*exe);
}

MaybeError enable() {
  Result<std::string> exe = own_path();
  if (!exe.ok()) return exe.error();
  return platform::write_startup_entry(kValueName, "\"" + exe.value() + "\"");
}

}  // namespace

std::string command_path(std::string_view command) {
  command = trim_whitespace(command);
  if (!command.empty() && command.front() == '"') {
    command.remove_prefix(1);
    return std::string(command.substr(0, command.find('"')));
  }
  std::size_t end = 0;
  while (end < command.size() && trim_start_whitespace(command.substr(end)).size() == command.size() - end) ++end;
  return std::string(command.substr(0, end));
}

Result<bool> read_startup_state() {
  Result<std::optional<std::string>> entry = platform::read_startup_entry(kValueName);
  if (!entry.ok()) return Result<bool>::failure(entry.error());
  if (!entry.value()) return Result<bool>::success(false);
  Result<std::string> exe = own_path();
  if (!exe.ok()) return Result<bool>::failure(exe.error());
  return Result<bool>::success(equals_ignore_ascii_case(command_path(*entry.value()), exe.value()));
}

std::string apply_startup_choice(bool enable_it) {
  MaybeError failed = enable_it ? enable() : platform::delete_startup_entry(kValueName);
  if (failed) return "Failed to update Windows startup GUI launch: " + *failed;
  return std::string("Windows startup GUI launch ") + (enable_it ? "enabled" : "disabled") + " for " + kValueName + ".";
}

}  // namespace vorn
