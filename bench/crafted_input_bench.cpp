// Peak memory while the two readers of hand-editable files (the settings and
// the miner configuration) take crafted 10 MB inputs. Goal: under 200 MB for
// any of them. The ratio is against the input's own size. Linux only: it
// reads the process's peak resident size from /proc.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "minerconfig/miner_config.h"
#include "settings/settings.h"

namespace {

// The process's resident memory, from /proc: what it holds now, and its peak
// since the last reset (writing 5 to clear_refs resets the peak).
double status_mb(const char* field) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  double kb = 0;
  while (f && std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, field, std::strlen(field)) == 0) kb = std::atof(line + std::strlen(field));
  }
  if (f) std::fclose(f);
  return kb / 1024.0;
}

void reset_peak() {
  if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

}  // namespace

namespace {

constexpr std::size_t kSize = 10u << 20;

std::string repeated(const std::string& head, const std::string& unit, const std::string& tail) {
  std::string text = head;
  while (text.size() + unit.size() + tail.size() <= kSize) text += unit;
  return text + tail;
}

void measure(const char* name, const std::string& input, const std::function<bool(const std::string&)>& read) {
  reset_peak();
  const double before = status_mb("VmRSS:");
  const auto start = std::chrono::steady_clock::now();
  const bool accepted = read(input);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double peak_mb = status_mb("VmHWM:") - before;
  const double input_mb = static_cast<double>(input.size()) / 1048576.0;
  std::printf("%-34s %6.1f MB input  peak %7.1f MB  ratio %5.2f  %6.3f s  %s  %s\n", name, input_mb, peak_mb,
              peak_mb / input_mb, seconds, accepted ? "read" : "refused", peak_mb < 200 ? "ok" : "OVER 200 MB");
}

struct Case {
  const char* name;
  std::function<std::string()> input;
  bool settings;  // else the miner configuration
};

std::vector<Case> cases() {
  auto chain = [] {
    std::string text = "a0: &a0 [x]\n";
    for (int i = 1; text.size() < kSize; ++i) {
      text += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [*a" + std::to_string(i - 1) + "]\n";
    }
    return text;
  };
  auto laughs = [] {
    std::string text = "l0: &l0 [lol]\n";
    for (int i = 1; i <= 12; ++i) {
      std::string items;
      for (int j = 0; j < 10; ++j) items += (j ? ", *l" : "*l") + std::to_string(i - 1);
      text += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [" + items + "]\n";
    }
    return repeated(text, "#", "\n");
  };
  // One text of about 1 MB, then keys and items that all alias it: each
  // alias would be a copy of the whole text.
  auto aliased_text = [] {
    std::string text = "t: &t " + std::string(1 << 20, 'x') + "\nk:\n";
    while (text.size() + 40 < kSize) text += "  ? *t\n  : [*t, *t, *t, *t, *t, *t, *t, *t]\n";
    return text;
  };
  return {
      {"unclosed brackets", [] { return std::string(kSize, '['); }, true},
      {"empty arrays", [] { return repeated("{\"x\": [", "[],", "[]]}"); }, true},
      {"numbers", [] { return repeated("{\"x\": [", "1,", "1]}"); }, true},
      {"one long name", [] { return repeated("{\"miner_name\": \"", "x", "\"}"); }, true},
      {"valid object, NUL, garbage", [] { return repeated("{\"miner_name\": \"a\"}", std::string(1, '\0'), "x"); }, true},
      {"flow sequences", [] { return repeated("x: [", "[], ", "[]]\n"); }, false},
      {"nested flow sequences", [] { return std::string(kSize, '['); }, false},
      {"alias chain", chain, false},
      {"billion aliases", laughs, false},
      {"one long scalar", [] { return repeated("x: ", "y", "\n"); }, false},
      {"many keys", [] { return repeated("", "k: v\n", ""); }, false},
      {"a long text aliased as keys and items", aliased_text, false},
  };
}

}  // namespace

// Each case runs in a process of its own, so no case inherits another's heap.
int main(int argc, char** argv) {
  const std::vector<Case> all = cases();
  if (argc == 2) {
    const Case& c = all.at(static_cast<std::size_t>(std::atoi(argv[1])));
    const std::string input = c.input();
    measure(c.name, input, [&c](const std::string& text) {
      return c.settings ? vorn::decode_settings(text).has_value() : !vorn::verify_miner_config_text(text).has_value();
    });
    return 0;
  }
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (i == 0) std::printf("settings file (JSON)\n");
    if (i > 0 && all[i].settings != all[i - 1].settings) std::printf("miner configuration (YAML)\n");
    std::fflush(stdout);
    const std::string command = std::string(argv[0]) + " " + std::to_string(i);
    if (std::system(command.c_str()) != 0) return 1;
  }
  return 0;
}
