#include "miner/residual_cleanup.h"

#include "core/build_profile.h"
#include "core/text.h"
#include "miner/discovery.h"
#include "miner/process_tree.h"
#include "platform/process.h"

namespace vorn {
namespace {

// An unsigned 32-bit decimal with an optional leading plus sign.
std::optional<std::uint32_t> parse_pid(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

Result<platform::HeldProcess> hold_listed_miner(std::uint32_t pid) {
  Result<platform::HeldProcess> held = platform::hold_process(pid);
  if (!held.ok() && held.error() != platform::kProcessEnded) {
    return Result<platform::HeldProcess>::failure("process cannot be opened: " + held.error());
  }
  if (!held.ok()) return held;
  const std::string image = held.value().image_name();
  if (to_lower_ascii(image) != kMinerExecutable) {
    return Result<platform::HeldProcess>::failure("process is no longer vorn_miner.exe (now " +
                                                  (image.empty() ? std::string("unknown") : to_valid_utf8(image)) + ")");
  }
  return held;
}

Result<std::vector<std::string>> clean_listed_miners(std::string_view listing, bool strict,
                                                     const TreeKill& kill, const MinerHold& hold) {
  using R = Result<std::vector<std::string>>;
  const std::string config(kProfile.config_file);
  std::vector<std::string> report;
  std::string text = to_valid_utf8(listing);
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    line = trim_whitespace(line);
    if (line.empty()) continue;
    std::size_t tab = line.find('\t');
    std::string_view pid_text = trim_whitespace(line.substr(0, tab));
    std::string_view command = tab == std::string_view::npos ? std::string_view() : trim_whitespace(line.substr(tab + 1));
    std::optional<std::uint32_t> pid = parse_pid(pid_text);
    if (!pid) {
      report.push_back("skipped vorn_miner.exe process with unreadable pid: " + std::string(pid_text));
      continue;
    }
    const std::string id = std::to_string(*pid);
    if (command.empty()) {
      report.push_back("skipped pid=" + id + ", command line unreadable; not killed");
      continue;
    }
    if (to_lower_ascii(command).find(config) == std::string::npos) {
      report.push_back("skipped pid=" + id + ", command line does not match GUI config");
      continue;
    }
    report.push_back("found gui-managed miner pid=" + id + ", config=" + config);
    // Between the listing and now the pid may have passed to another program.
    Result<platform::HeldProcess> held = hold(*pid);
    if (!held.ok()) {
      report.push_back("skipped pid=" + id + ", " + held.error() + "; not killed");
      continue;
    }
    Result<std::string> killed = kill(*pid);
    if (killed.ok()) {
      report.push_back("killed pid=" + id);
    } else if (strict) {
      return R::failure("found same-profile residual miner pid=" + id + " but could not clean it: " + killed.error());
    } else {
      report.push_back("failed to kill pid=" + id + ": " + killed.error());
    }
  }
  return R::success(std::move(report));
}

Result<std::vector<std::string>> clean_residual_miners(bool strict) {
  Result<std::string> listing = platform::list_miner_processes();
  if (!listing.ok()) {
    return Result<std::vector<std::string>>::failure("could not query existing vorn_miner.exe processes: " +
                                                     std::string(trim_whitespace(to_valid_utf8(listing.error()))));
  }
  return clean_listed_miners(listing.value(), strict, kill_process_tree);
}

}  // namespace vorn
