// The exposition text: every family from the start, the state it reports,
// the format's escaping, Prometheus's own checker, and the dashboard's
// queries against it.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "metrics/exposition.h"
#include "miner/interpret.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::scratch_folder;

// name -> type, from the "# TYPE" lines; fails on a family declared twice.
std::map<std::string, std::string> families(const std::string& text) {
  std::map<std::string, std::string> types;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# TYPE ", 0) != 0) continue;
    std::istringstream parts(line.substr(7));
    std::string name, type;
    parts >> name >> type;
    EXPECT_TRUE(types.emplace(name, type).second) << name;
  }
  return types;
}

// The sample lines, "name{labels}" -> value text; fails on a series given
// twice, which Prometheus refuses the whole scrape for.
std::map<std::string, std::string> samples(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.rfind(' ');
    EXPECT_TRUE(out.emplace(line.substr(0, space), line.substr(space + 1)).second) << line;
  }
  return out;
}

FolderReport report(const std::string& path, FolderStatus status, std::uint64_t files = 0, std::uint64_t bytes = 0,
                    std::optional<std::uint64_t> free = std::nullopt) {
  FolderReport r;
  r.path = path;
  r.status = status;
  r.file_count = files;
  r.total_bytes = bytes;
  r.free_bytes = free;
  return r;
}

AlertChannel channel(ChannelKind kind, const std::string& url) {
  AlertChannel c;
  c.kind = kind;
  c.url = url;
  return c;
}

std::string exposition(const AppCore& core) { return metrics_exposition(core, ProcessFigures{}); }

TEST(MetricsExposition, EveryFamilyAndSeriesIsThereFromTheStartAtZero) {
  AppCore core = testing_support::make_core(scratch_folder("exposition_start"));
  core.settings.miner_name = "rig-7";
  core.scan_round_total = 0;  // a round whose size is not known yet: no progress, not a division by zero
  const std::string text = exposition(core);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');

  const std::map<std::string, std::string> expected = {
      {"vorn_build_info", "gauge"}, {"vorn_rig_info", "gauge"}, {"vorn_miner_up", "gauge"},
      {"vorn_miner_state", "gauge"}, {"vorn_miner_start_timestamp_seconds", "gauge"},
      {"vorn_miner_unexpected_exits_total", "counter"}, {"vorn_miner_restarts_total", "counter"},
      {"vorn_miner_cpu_seconds_total", "counter"}, {"vorn_miner_memory_bytes", "gauge"},
      {"vorn_block_height", "gauge"}, {"vorn_block_height_change_timestamp_seconds", "gauge"},
      {"vorn_round_progress_ratio", "gauge"}, {"vorn_last_round_duration_seconds", "gauge"},
      {"vorn_rounds_finished_total", "counter"}, {"vorn_miner_accepted_lines_total", "counter"},
      {"vorn_miner_error_lines_total", "counter"}, {"vorn_plot_files", "gauge"},
      {"vorn_plot_capacity_bytes", "gauge"}, {"vorn_folder_free_bytes", "gauge"}, {"vorn_folder_up", "gauge"},
      {"vorn_last_scan_timestamp_seconds", "gauge"}, {"vorn_last_scan_duration_seconds", "gauge"},
      {"vorn_alerts_sent_total", "counter"}, {"vorn_alerts_failed_total", "counter"},
      {"process_cpu_seconds_total", "counter"}, {"process_resident_memory_bytes", "gauge"},
      {"process_start_time_seconds", "gauge"}};
  EXPECT_EQ(families(text), expected);
  for (const auto& [name, type] : expected) {
    EXPECT_NE(text.find("# HELP " + name + " "), std::string::npos) << name;
  }

  const auto s = samples(text);
  EXPECT_EQ(s.at("vorn_build_info{version=\"v0.1.37\",network=\"mainnet\"}"), "1");
  EXPECT_EQ(s.at("vorn_rig_info{rig=\"rig-7\"}"), "1");
  EXPECT_EQ(s.at("vorn_miner_up"), "0");
  EXPECT_EQ(s.at("vorn_miner_state{state=\"stopped\"}"), "1");
  for (const char* state : {"starting", "running", "stopping", "restart_pending", "restarting", "error"}) {
    EXPECT_EQ(s.at(std::string("vorn_miner_state{state=\"") + state + "\"}"), "0") << state;
  }
  for (const char* reason : {"crash", "stall", "plots", "user"}) {
    EXPECT_EQ(s.at(std::string("vorn_miner_restarts_total{reason=\"") + reason + "\"}"), "0") << reason;
  }
  for (const char* zero : {"vorn_block_height", "vorn_round_progress_ratio", "vorn_rounds_finished_total",
                           "vorn_miner_cpu_seconds_total", "vorn_last_scan_timestamp_seconds"}) {
    EXPECT_EQ(s.at(zero), "0") << zero;
  }
  // No folders, no channels: no series of theirs; no timestamps anywhere.
  EXPECT_EQ(text.find("folder="), std::string::npos);
  EXPECT_EQ(text.find("kind="), std::string::npos);
  EXPECT_EQ(s.size(), 2u + 1 + 7 + 1 + 1 + 4 + 2 + 2 + 5 + 2 + 3);
}

TEST(MetricsExposition, ReportsTheStateCountersFoldersAndAlertKindsInUse) {
  AppCore core = testing_support::make_core(scratch_folder("exposition_state"));
  core.options.rig_name = "north \"A\"";
  core.miner_state = MinerState::Running;
  core.current_height = 123456;
  core.scan_round_total = 200;
  core.scan_round_progress = 50;
  core.counters.unexpected_exits = 3;
  core.counters.restarts[static_cast<std::size_t>(RestartReason::Plots)] = 2;
  core.counters.rounds_finished = 9;
  core.counters.accepted_lines = 4;
  core.counters.error_lines = 1;
  core.counters.last_round_seconds = 12.5;
  core.counters.miner_started_at = 1780000000.25;
  core.counters.alerts_sent["telegram"] = 5;
  core.counters.alerts_failed["slack"] = 7;  // a kind not in use: not shown
  core.options.alerts = {channel(ChannelKind::Telegram, "https://t/x"), channel(ChannelKind::Json, "https://j/"),
                         channel(ChannelKind::Json, "https://k/")};
  // A folder listed twice still gives one series of each family.
  core.settings.plot_dirs = {"D:\\plots", "E:\\missing", "F:\\quiet", "G:\\new", "D:\\plots"};
  core.folder_reports["D:\\plots"] = report("D:\\plots", FolderStatus::Normal, 3, 3000, 9000);
  core.folder_reports["E:\\missing"] = report("E:\\missing", FolderStatus::Missing);
  core.folder_reports["F:\\quiet"] = report("F:\\quiet", FolderStatus::NotResponding, 2, 2000);
  ProcessFigures figures;
  figures.miner = platform::ProcessStats{1.5, 4096};
  figures.program = platform::ProcessStats{0.25, 8192};
  figures.program_start_unix = 1779999999;
  const auto s = samples(metrics_exposition(core, figures));

  EXPECT_EQ(s.at("vorn_rig_info{rig=\"north \\\"A\\\"\"}"), "1");
  EXPECT_EQ(s.at("vorn_miner_up"), "1");
  EXPECT_EQ(s.at("vorn_miner_state{state=\"running\"}"), "1");
  EXPECT_EQ(s.at("vorn_miner_state{state=\"stopped\"}"), "0");
  EXPECT_EQ(s.at("vorn_block_height"), "123456");
  EXPECT_EQ(s.at("vorn_round_progress_ratio"), "0.25");
  EXPECT_EQ(s.at("vorn_last_round_duration_seconds"), "12.5");
  EXPECT_EQ(s.at("vorn_miner_start_timestamp_seconds"), "1780000000.25");
  EXPECT_EQ(s.at("vorn_miner_unexpected_exits_total"), "3");
  EXPECT_EQ(s.at("vorn_miner_restarts_total{reason=\"plots\"}"), "2");
  EXPECT_EQ(s.at("vorn_rounds_finished_total"), "9");
  EXPECT_EQ(s.at("vorn_miner_accepted_lines_total"), "4");
  EXPECT_EQ(s.at("vorn_miner_error_lines_total"), "1");
  EXPECT_EQ(s.at("vorn_miner_cpu_seconds_total"), "1.5");
  EXPECT_EQ(s.at("vorn_miner_memory_bytes"), "4096");
  EXPECT_EQ(s.at("process_cpu_seconds_total"), "0.25");
  EXPECT_EQ(s.at("process_resident_memory_bytes"), "8192");
  EXPECT_EQ(s.at("process_start_time_seconds"), "1779999999");

  EXPECT_EQ(s.at("vorn_plot_files{folder=\"D:\\\\plots\"}"), "3");
  EXPECT_EQ(s.at("vorn_plot_capacity_bytes{folder=\"D:\\\\plots\"}"), "3000");
  EXPECT_EQ(s.at("vorn_folder_free_bytes{folder=\"D:\\\\plots\"}"), "9000");
  EXPECT_EQ(s.at("vorn_folder_up{folder=\"D:\\\\plots\"}"), "1");
  EXPECT_EQ(s.at("vorn_folder_up{folder=\"E:\\\\missing\"}"), "0");
  EXPECT_EQ(s.at("vorn_folder_up{folder=\"F:\\\\quiet\"}"), "0");  // not responding: not up
  EXPECT_EQ(s.at("vorn_plot_files{folder=\"F:\\\\quiet\"}"), "2");
  EXPECT_EQ(s.at("vorn_folder_up{folder=\"G:\\\\new\"}"), "0");  // not scanned yet
  EXPECT_EQ(s.at("vorn_plot_files{folder=\"G:\\\\new\"}"), "0");
  EXPECT_EQ(s.at("vorn_plot_capacity_bytes{folder=\"G:\\\\new\"}"), "0");
  EXPECT_EQ(s.count("vorn_folder_free_bytes{folder=\"F:\\\\quiet\"}"), 0u);  // unknown: no series
  EXPECT_EQ(s.count("vorn_folder_free_bytes{folder=\"G:\\\\new\"}"), 0u);

  EXPECT_EQ(s.at("vorn_alerts_sent_total{kind=\"telegram\"}"), "5");
  EXPECT_EQ(s.at("vorn_alerts_sent_total{kind=\"json\"}"), "0");
  EXPECT_EQ(s.at("vorn_alerts_failed_total{kind=\"json\"}"), "0");
  EXPECT_EQ(s.count("vorn_alerts_failed_total{kind=\"slack\"}"), 0u);
  // Channel URLs and chat ids are secrets.
  for (const auto& [series, value] : s) EXPECT_EQ(series.find("https://"), std::string::npos) << series;
}

TEST(MetricsExposition, MinerLinesAreCountedWhereTheyAreRead) {
  AppCore core = testing_support::make_core(scratch_folder("exposition_lines"));
  const double before = unix_time_now();
  for (const char* line : {"[12:00:01] new block  : height=120001, gensig=9f", "#TOTAL:4096", "#SCAN_PROGRESS:1024",
                           "[12:00:01] finished   : height=120001 round done after 3.25 seconds",
                           "accepted: deadline=1234 height=120001", "ERROR disk read failed", "warn: slow error",
                           "[12:00:02] new block  : height=120002", "#TOTAL:4096", "#SCAN_PROGRESS:3072"}) {
    interpret_miner_line(core, line);
  }
  const auto s = samples(exposition(core));
  EXPECT_EQ(s.at("vorn_rounds_finished_total"), "1");
  EXPECT_EQ(s.at("vorn_last_round_duration_seconds"), "3.25");
  EXPECT_EQ(s.at("vorn_miner_accepted_lines_total"), "1");
  EXPECT_EQ(s.at("vorn_miner_error_lines_total"), "2");  // a line counts once
  EXPECT_EQ(s.at("vorn_block_height"), "120002");
  EXPECT_EQ(s.at("vorn_round_progress_ratio"), "0.75");
  // A round of one unit, read to its end.
  for (const char* line : {"#TOTAL:1", "#SCAN_PROGRESS:1"}) interpret_miner_line(core, line);
  EXPECT_EQ(samples(exposition(core)).at("vorn_round_progress_ratio"), "1");
  const double changed = std::stod(s.at("vorn_block_height_change_timestamp_seconds"));
  EXPECT_GE(changed, before);
  EXPECT_LE(changed, unix_time_now());
}

TEST(MetricsExposition, LabelValuesEscapeBackslashQuoteAndLineFeedOnly) {
  EXPECT_EQ(escape_label_value("C:\\a \"b\"\nc"), "C:\\\\a \\\"b\\\"\\nc");
  EXPECT_EQ(escape_label_value("Plots \xC3\xBC\xE6\x97\xA5 \t'x'"), "Plots \xC3\xBC\xE6\x97\xA5 \t'x'");
}

// A core with folders whose paths hold what the format must escape.
AppCore awkward_core(const std::string& folder) {
  AppCore core = testing_support::make_core(folder);
  core.options.alerts = {channel(ChannelKind::Discord, "https://d/")};
  core.settings.plot_dirs = {"C:\\Plots\\\"quoted\" dir", "D:\\Pl\xC3\xB6ts \xE6\x97\xA5\xE6\x9C\xAC\\", "\\\\nas\\share\nline"};
  for (const std::string& dir : core.settings.plot_dirs) {
    core.folder_reports[dir] = report(dir, FolderStatus::Normal, 2, 1 << 20, 5ull << 30);
  }
  return core;
}

#ifndef _WIN32
TEST(MetricsExposition, PromtoolAcceptsTheRealOutput) {
  if (std::system("promtool --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool is not installed";
  const std::string folder = scratch_folder("exposition_promtool");
  AppCore core = awkward_core(folder);
  core.miner_state = MinerState::RestartPending;
  core.current_height = 77;
  const std::string file = folder + "/metrics.prom", report = folder + "/promtool.txt";
  testing_support::write_file(file, metrics_exposition(core, ProcessFigures{{1.0, 2}, 3.0, {}}));
  const int status = std::system(("promtool check metrics < '" + file + "' > '" + report + "' 2>&1").c_str());
  EXPECT_EQ(status, 0) << testing_support::read_file(report);
  // A broken line must fail it, so the check above proves something.
  testing_support::write_file(file, "# TYPE x gauge\nx{folder=\"a\"b\"} 1\n");
  EXPECT_NE(std::system(("promtool check metrics < '" + file + "' > /dev/null 2>&1").c_str()), 0);
}
#endif

TEST(MetricsExposition, EveryMetricTheDashboardQueriesIsExposed) {
  std::ifstream in(VORN_SOURCE_DIR "/docs/grafana-dashboard.json");
  ASSERT_TRUE(in) << "docs/grafana-dashboard.json";
  const nlohmann::json dashboard = nlohmann::json::parse(in);
  std::set<std::string> used;
  const std::regex name("\\b(vorn_[a-z_]+|process_[a-z_]+)");
  std::function<void(const nlohmann::json&)> walk = [&](const nlohmann::json& j) {
    if (j.is_object()) {
      for (const auto& [key, value] : j.items()) {
        if ((key == "expr" || key == "query" || key == "definition") && value.is_string()) {
          const std::string q = value.get<std::string>();
          for (std::sregex_iterator m(q.begin(), q.end(), name), end; m != end; ++m) used.insert((*m)[1]);
        } else {
          walk(value);
        }
      }
    } else if (j.is_array()) {
      for (const auto& item : j) walk(item);
    }
  };
  walk(dashboard);
  EXPECT_GE(used.size(), 10u);
  const auto exposed = families(metrics_exposition(awkward_core(scratch_folder("exposition_dashboard")), ProcessFigures{}));
  for (const std::string& metric : used) EXPECT_TRUE(exposed.count(metric)) << metric << " is not exposed";
  // The rig variable comes from the scrape's instance label.
  ASSERT_TRUE(dashboard.contains("templating"));
  EXPECT_NE(dashboard["templating"].dump().find("instance"), std::string::npos);
}

}  // namespace
}  // namespace vorn
