#include "miner/interpret.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>

#include "alerts/alerts.h"
#include "core/text.h"
#include "miner/miner_control.h"

namespace vorn {
namespace {

constexpr std::size_t kTagLength = 12;
constexpr std::array<std::string_view, 8> kNeverLogged = {
    "queue      :", "rescheduled:", "unfinished :", "paused     :",
    "interrupt  :", "new block  :", "scanning   :", "resuming   :"};
constexpr std::array<std::string_view, 10> kLoggedWords = {
    "accepted:", "Loading plots", "loaded", "..done.", "no plots in", "failed", "error", "warn",
    "WARN", "ERROR"};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<std::uint64_t> digit_run(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() && is_digit(text[n])) ++n;
  if (n == 0) return std::nullopt;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t d = static_cast<std::uint64_t>(text[i] - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return std::nullopt;
    value = value * 10 + d;
  }
  return value;
}

// A bracketed date and time such as "[2024-01-01 12:37:05]" or
// "[12:37:05.123]": digits, blanks and -/.:T+ only.
bool is_timestamp(std::string_view inside) {
  return std::all_of(inside.begin(), inside.end(), [](char c) {
    return is_digit(c) || c == ' ' || c == '\t' || c == '-' || c == '/' || c == '.' || c == ':' || c == 'T' || c == '+';
  });
}

// Bracketed fields such as "[height:1234]"; a bracketed timestamp is not a
// height and is passed over.
std::optional<std::uint64_t> bracketed_height(std::string_view text) {
  std::size_t from = 0;
  for (;;) {
    std::size_t open = text.find('[', from);
    if (open == std::string_view::npos) return std::nullopt;
    std::size_t close = text.find(']', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view inside = text.substr(open + 1, close - open - 1);
    from = close + 1;
    std::size_t colon = inside.find(':');
    if (colon == std::string_view::npos || is_timestamp(inside)) continue;
    std::string_view after = inside.substr(colon + 1);
    after = after.substr(0, after.find(':'));
    if (std::optional<std::uint64_t> h = digit_run(after)) return h;
  }
}

bool should_log_shortened(std::string_view r) {
  if (r.substr(0, 5) == "path=") return true;
  return std::any_of(kLoggedWords.begin(), kLoggedWords.end(),
                     [r](std::string_view w) { return r.find(w) != std::string_view::npos; });
}

void note_height(AppCore& core, std::uint64_t height) {
  const Instant now = Clock::now();
  const bool changed = !core.current_height || *core.current_height != height;
  const bool quiet_long_enough = !core.last_height_log_at || now < *core.last_height_log_at ||
                                 now - *core.last_height_log_at >= kHeightLogInterval;
  if (changed) core.counters.height_changed_at = unix_time_now();
  if (changed && quiet_long_enough) {
    core.last_height_log_at = now;
    log_line(core, "Current height updated: " + std::to_string(height));
  }
  core.current_height = height;
  if (changed) core.status_dirty = true;
}

void note_progress(AppCore& core, std::uint64_t delta) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  core.scan_round_progress = core.scan_round_progress > kMax - delta ? kMax : core.scan_round_progress + delta;
  if (!core.scan_round_total || *core.scan_round_total == 0) return;
  const std::uint64_t total = *core.scan_round_total;
  auto times_100 = [](std::uint64_t v) { return v > kMax / 100 ? kMax : v * 100; };
  const std::uint64_t percent = std::min(times_100(core.scan_round_progress), times_100(total)) / total;
  std::string text = "Scanning " + std::to_string(percent) + "%";
  if (text != core.scan_status_text) {
    core.scan_status_text = std::move(text);
    core.progress_dirty = true;  // shown with the next render of the status, or within 500 ms
  }
  if (core.scan_round_progress >= total) core.round_finished = true;
}

void log_selected(AppCore& core, std::string_view t) {
  std::size_t mark = t.find("] ");
  std::string_view r = trim_whitespace(mark == std::string_view::npos ? t : t.substr(mark + 2));
  if (r.size() >= kTagLength) {
    std::string_view tag = r.substr(0, kTagLength);
    if (std::find(kNeverLogged.begin(), kNeverLogged.end(), tag) != kNeverLogged.end()) return;
    if (tag == "finished   :") {
      std::optional<std::uint64_t> h = parse_height(r);
      raw_log_line(core, "[miner] Scan finished at height " + (h ? std::to_string(*h) : "unknown") +
                             " after " + duration_after(r).value_or("unknown"));
      return;
    }
  }
  if (should_log_shortened(r)) raw_log_line(core, "[miner] " + clean_miner_text(r));
}

}  // namespace

std::optional<std::uint64_t> number_after(std::string_view text, std::string_view marker) {
  std::size_t at = text.find(marker);
  if (at == std::string_view::npos) return std::nullopt;
  return digit_run(text.substr(at + marker.size()));
}

std::optional<std::string> duration_after(std::string_view text) {
  constexpr std::string_view kMarker = "done after ";
  std::size_t at = text.find(kMarker);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(at + kMarker.size());
  std::size_t n = 0;
  while (n < rest.size() && (is_digit(rest[n]) || rest[n] == '.')) ++n;
  if (n == 0) return std::nullopt;
  return std::string(rest.substr(0, n)) + "s";
}

std::optional<std::uint64_t> parse_height(std::string_view text) {
  if (std::optional<std::uint64_t> h = bracketed_height(text)) return h;
  if (std::optional<std::uint64_t> h = number_after(text, "block_height=")) return h;
  return number_after(text, "height=");
}

std::string clean_miner_text(std::string_view text) {
  std::string out;
  for (std::string_view piece : split_whitespace(text)) {
    if (!out.empty()) out += ' ';
    if (piece.substr(0, 7) == "gensig=") {
      out += "gensig=<hidden>";
    } else if (piece.substr(0, 5) == "seed=") {
      out += "seed=<hidden>";
    } else {
      out += piece;
    }
  }
  return out;
}

// The counters of the metrics: lines that report a found deadline or a fault.
void count_line(AppCore& core, std::string_view line) {
  const auto holds = [line](std::string_view word) { return line.find(word) != std::string_view::npos; };
  if (holds("accepted:")) ++core.counters.accepted_lines;
  if (holds("error") || holds("ERROR") || holds("failed")) ++core.counters.error_lines;
}

void interpret_miner_line(AppCore& core, std::string_view line) {
  count_line(core, line);
  if (std::optional<std::uint64_t> h = parse_height(line)) {
    const bool changed = !core.current_height || *core.current_height != *h;
    note_height(core, *h);
    alerts_note_height(core, *h, changed, Clock::now());
  }
  const std::string_view t = trim_whitespace(line);
  if (t.find("#TOTAL:") != std::string_view::npos) {
    if (std::optional<std::uint64_t> n = number_after(t, "#TOTAL:")) {
      core.scan_round_total = *n;
      core.scan_round_progress = 0;
      core.round_finished = false;
      core.scan_status_text = "Scanning 0%";
      core.status_dirty = true;
      log_line(core, "Miner scan started: " + std::to_string(*n) + " warps");
      alerts_note_round_started(core, Clock::now());
    }
  } else if (t.find("#SCAN_PROGRESS:") != std::string_view::npos) {
    if (std::optional<std::uint64_t> d = number_after(t, "#SCAN_PROGRESS:")) note_progress(core, *d);
  } else {
    if (t.find("finished   :") != std::string_view::npos) {
      core.round_finished = true;
      ++core.counters.rounds_finished;
      if (std::optional<std::string> d = duration_after(t)) {
        core.counters.last_round_seconds = std::strtod(d->c_str(), nullptr);
        core.scan_status_text = "Last scan " + *d;
        core.status_dirty = true;
      }
    }
    if (!t.empty()) log_selected(core, t);
  }
  restart_if_safe(core);
}

}  // namespace vorn
