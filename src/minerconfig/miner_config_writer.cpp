#include <yaml.h>

#include <cstring>
#include <memory>
#include <optional>

#include "core/build_profile.h"
#include "minerconfig/miner_config.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace vorn {
namespace {

// Plain scalars that a YAML reader would take for a null, a boolean or a
// number; written quoted so that they read back as the same text.
bool looks_like_other_type(std::string_view s) {
  static const char* const words[] = {
      "",     "~",     "null", "Null",  "NULL",  "y",    "Y",    "yes",  "Yes",  "YES",
      "n",    "N",     "no",   "No",    "NO",    "true", "True", "TRUE", "false", "False",
      "FALSE", "on",   "On",   "ON",    "off",   "Off",  "OFF",  ".inf", ".Inf", ".INF",
      "+.inf", "+.Inf", "+.INF", "-.inf", "-.Inf", "-.INF", ".nan", ".NaN", ".NAN", "<<", "="};
  for (const char* w : words) {
    if (s == w) return true;
  }
  // Anything that starts like a number (digits, sign, dot, 0x/0o/0b, times
  // such as 1:20) is quoted: quoting more than needed is harmless.
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  if (i < s.size() && s[i] == '.') ++i;
  return i < s.size() && s[i] >= '0' && s[i] <= '9';
}

class Emitter {
 public:
  Emitter() {
    yaml_emitter_initialize(&emitter_);
    yaml_emitter_set_output(&emitter_, &Emitter::write, this);
    yaml_emitter_set_indent(&emitter_, 2);
    yaml_emitter_set_width(&emitter_, -1);
    yaml_emitter_set_unicode(&emitter_, 1);
  }
  ~Emitter() { yaml_emitter_delete(&emitter_); }
  Emitter(const Emitter&) = delete;
  Emitter& operator=(const Emitter&) = delete;

  void stream_start() {
    emit([](yaml_event_t& e) { return yaml_stream_start_event_initialize(&e, YAML_UTF8_ENCODING); });
  }
  void stream_end() {
    emit([](yaml_event_t& e) { return yaml_stream_end_event_initialize(&e); });
  }
  void document_start() {
    emit([](yaml_event_t& e) { return yaml_document_start_event_initialize(&e, nullptr, nullptr, nullptr, 1); });
  }
  void document_end() {
    emit([](yaml_event_t& e) { return yaml_document_end_event_initialize(&e, 1); });
  }
  void mapping_start() {
    emit([](yaml_event_t& e) {
      return yaml_mapping_start_event_initialize(&e, nullptr, nullptr, 1, YAML_BLOCK_MAPPING_STYLE);
    });
  }
  void mapping_end() {
    emit([](yaml_event_t& e) { return yaml_mapping_end_event_initialize(&e); });
  }
  void sequence_start() {
    emit([](yaml_event_t& e) {
      return yaml_sequence_start_event_initialize(&e, nullptr, nullptr, 1, YAML_BLOCK_SEQUENCE_STYLE);
    });
  }
  void sequence_end() {
    emit([](yaml_event_t& e) { return yaml_sequence_end_event_initialize(&e); });
  }
  // Keys, numbers and booleans: always plain.
  void plain(std::string_view text) { scalar(text, YAML_PLAIN_SCALAR_STYLE); }
  // Texts: plain where that reads back as the same text, quoted otherwise
  // (libyaml itself falls back to quotes where plain would be malformed).
  void text(std::string_view text) {
    scalar(text, looks_like_other_type(text) ? YAML_SINGLE_QUOTED_SCALAR_STYLE : YAML_ANY_SCALAR_STYLE);
  }
  void key_text(std::string_view key, std::string_view value) {
    plain(key);
    text(value);
  }
  void key_number(std::string_view key, std::string_view value) {
    plain(key);
    plain(value);
  }
  void key_bool(std::string_view key, bool value) { key_number(key, value ? "true" : "false"); }

  // The text, or nothing when an event could not be emitted.
  std::optional<std::string> take() {
    if (failed_) return std::nullopt;
    return std::move(out_);
  }

 private:
  void scalar(std::string_view text, yaml_scalar_style_t style) {
    emit([text, style](yaml_event_t& e) {
      return yaml_scalar_event_initialize(&e, nullptr, nullptr,
                                          reinterpret_cast<yaml_char_t*>(const_cast<char*>(text.data())),
                                          static_cast<int>(text.size()), 1, 1, style);
    });
  }
  // After a failure nothing more is emitted. An event that cannot be made
  // (a text that is not valid UTF-8) is left uninitialised by libyaml, so it
  // must never reach the emitter.
  template <class Initialize>
  void emit(Initialize initialize) {
    if (failed_) return;
    yaml_event_t e;
    if (!initialize(e)) {
      failed_ = true;
      return;
    }
    if (!yaml_emitter_emit(&emitter_, &e)) failed_ = true;  // the event is freed either way
  }
  static int write(void* self, unsigned char* buffer, size_t size) {
    static_cast<Emitter*>(self)->out_.append(reinterpret_cast<char*>(buffer), size);
    return 1;
  }

  yaml_emitter_t emitter_;
  std::string out_;
  bool failed_ = false;
};

std::string number(std::uint64_t v) { return std::to_string(v); }

}  // namespace

std::string expected_miner_config_path() { return exe_relative(kProfile.config_file); }

Result<std::string> miner_config_yaml(const AppSettings& settings) {
  const MinerSettings& m = settings.miner;
  Emitter y;
  y.stream_start();
  y.document_start();
  y.mapping_start();
  y.plain("chains");
  y.sequence_start();
  y.mapping_start();
  y.key_text("name", kProfile.pool_name);
  y.key_text("rpc_transport", kProfile.pool_transport);
  y.key_text("rpc_host", kProfile.pool_host);
  y.key_number("rpc_port", number(kProfile.pool_port));
  y.plain("rpc_auth");
  y.mapping_start();
  y.key_text("type", kProfile.pool_auth_type);
  y.mapping_end();
  y.key_number("block_time_seconds", number(kProfile.block_time_seconds));
  y.key_text("submission_mode", kProfile.submission_mode);
  y.mapping_end();
  y.sequence_end();
  y.key_number("get_mining_info_interval", number(m.get_mining_info_interval));
  y.key_number("timeout", number(m.timeout));
  y.plain("plot_dirs");
  y.sequence_start();
  for (const std::string& dir : settings.plot_dirs) y.text(dir);
  y.sequence_end();
  y.key_bool("hdd_use_direct_io", m.hdd_use_direct_io);
  y.key_number("hdd_wakeup_after", std::to_string(m.hdd_wakeup_after));
  y.key_number("hdd_read_cache_in_warps", number(m.hdd_read_cache_in_warps));
  y.key_bool("enable_on_the_fly_compression", m.enable_on_the_fly_compression);
  y.key_number("cpu_threads", number(m.cpu_threads));
  y.key_bool("cpu_thread_pinning", m.cpu_thread_pinning);
  y.key_bool("show_progress", false);
  y.key_bool("line_progress", true);
  y.key_text("benchmark", "disabled");
  y.key_text("console_log_level", "info");
  y.key_text("logfile_log_level", "warn");
  y.mapping_end();
  y.document_end();
  y.stream_end();
  std::optional<std::string> text = y.take();
  if (!text) {
    return Result<std::string>::failure(
        "could not serialise the miner configuration: a plot folder path is not valid UTF-8");
  }
  return Result<std::string>::success(std::move(*text));
}

Result<std::string> write_miner_config(AppSettings settings, const std::string& path) {
  using R = Result<std::string>;
  if (MaybeError refused = check_miner_config_path(path)) return R::failure(*refused);
  // A bare name (no program folder known) lives in the working folder.
  const std::string folder = platform::parent_folder(path);
  if (MaybeError e = platform::create_directories(folder)) return R::failure(*e);
  Result<std::string> text = miner_config_yaml(settings);
  if (!text.ok()) return text;
  const std::string name = platform::file_name(path);
  if (name.empty()) return R::failure("invalid miner configuration path");
  const std::string temporary = platform::join_path(folder, name + ".tmp");

  Result<platform::OutputFile> file = platform::OutputFile::create(temporary);
  if (!file.ok()) return R::failure("could not create the new miner configuration file: " + file.error());
  if (MaybeError e = file.value().write_all(text.value())) {
    return R::failure("could not write the new miner configuration: " + *e);
  }
  if (MaybeError e = file.value().flush_to_disk()) {
    return R::failure("could not finish saving the miner configuration: " + *e);
  }
  file.value().close();
  if (MaybeError e = platform::replace_file(temporary, path)) {
    platform::remove_file(temporary);
    return R::failure("could not update the miner configuration file: " + *e);
  }
  if (MaybeError refused = verify_miner_config(path)) return R::failure(*refused);
  return R::success(path);
}

MaybeError check_miner_config_path(const std::string& path) {
  const std::string name = platform::file_name(path);
  if (name != kProfile.config_file) {
    return "refusing to use miner config " + path + "; GUI profile requires " +
           std::string(kProfile.config_file);
  }
  const std::string expected = expected_miner_config_path();
  if (!platform::paths_equal(path, expected)) {
    return "refusing to use miner config " + path + "; GUI profile writes only " + expected;
  }
  return std::nullopt;
}

}  // namespace vorn
