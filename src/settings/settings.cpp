#include "settings/settings.h"

#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "core/build_profile.h"
#include "platform/files.h"

namespace vorn {
namespace {

using nlohmann::json;

// Which record a JSON container stands for, so that duplicate keys are
// refused exactly where a record reads them.
enum class Record { App, Chain, Miner, Other };

const std::set<std::string>& known_keys(Record record) {
  static const std::set<std::string> app = {
      "miner_name", "miner_exe_path", "config_output_path", "plot_dirs",
      "plot_rescan_interval_secs", "auto_detect_new_plots", "auto_restart_on_new_plots",
      "chain", "miner"};
  static const std::set<std::string> chain = {"name", "rpc_transport", "rpc_host", "rpc_port",
                                              "rpc_auth_type", "submission_mode",
                                              "block_time_seconds"};
  static const std::set<std::string> miner = {
      "get_mining_info_interval", "timeout", "hdd_use_direct_io", "hdd_wakeup_after",
      "hdd_read_cache_in_warps", "enable_on_the_fly_compression", "cpu_threads",
      "cpu_thread_pinning"};
  static const std::set<std::string> none;
  switch (record) {
    case Record::App: return app;
    case Record::Chain: return chain;
    case Record::Miner: return miner;
    case Record::Other: return none;
  }
  return none;
}

struct Frame {
  Record record;
  bool is_object;
  std::set<std::string> seen;
  std::string key;     // the key whose value comes next (objects)
  std::size_t index;   // the position of the next element (arrays)
};

class DuplicateKeyWatch {
 public:
  bool found() const { return duplicate_; }

  bool on_event(json::parse_event_t event, const json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
      case json::parse_event_t::array_start:
        frames_.push_back(Frame{child_record(), event == json::parse_event_t::object_start, {},
                                {}, 0});
        break;
      case json::parse_event_t::key: {
        Frame& top = frames_.back();
        top.key = parsed.get<std::string>();
        if (known_keys(top.record).count(top.key) && !top.seen.insert(top.key).second) {
          duplicate_ = true;
        }
        break;
      }
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        frames_.pop_back();
        value_done();
        break;
      case json::parse_event_t::value:
        value_done();
        break;
    }
    return true;
  }

 private:
  Record child_record() const {
    if (frames_.empty()) return Record::App;
    const Frame& parent = frames_.back();
    if (parent.record != Record::App) return Record::Other;
    if (parent.is_object) {
      if (parent.key == "chain") return Record::Chain;
      if (parent.key == "miner") return Record::Miner;
      return Record::Other;
    }
    if (parent.index == 7) return Record::Chain;
    if (parent.index == 8) return Record::Miner;
    return Record::Other;
  }
  void value_done() {
    if (!frames_.empty() && !frames_.back().is_object) ++frames_.back().index;
  }

  std::vector<Frame> frames_;
  bool duplicate_ = false;
};

bool has_byte_order_mark(std::string_view bytes) {
  return bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
         static_cast<unsigned char>(bytes[1]) == 0xBB && static_cast<unsigned char>(bytes[2]) == 0xBF;
}

constexpr int kJsonNestingLimit = 128;
constexpr std::size_t kJsonValueLimit = 1'000'000;

// Whether brackets outside strings nest deeper than the limit, or the text
// holds more values than any settings file could. Checked before parsing: a
// file of unclosed brackets or of a million empty arrays would otherwise
// cost gigabytes.
bool too_complex(std::string_view bytes) {
  int depth = 0;
  std::size_t values = 0;
  bool in_string = false, escaped = false;
  for (char c : bytes) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kJsonNestingLimit || ++values > kJsonValueLimit) return true;
    } else if (c == ',') {
      if (++values > kJsonValueLimit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

// Parses one JSON value followed by nothing but JSON white space. A byte-order
// mark is not JSON white space. A NUL byte is never valid JSON (the parser
// would take it for the end and ignore what follows).
std::optional<json> parse_json(std::string_view bytes, DuplicateKeyWatch* watch) {
  if (has_byte_order_mark(bytes)) return std::nullopt;
  if (bytes.find('\0') != std::string_view::npos || too_complex(bytes)) return std::nullopt;
  json::parser_callback_t callback = nullptr;
  if (watch != nullptr) {
    callback = [watch](int, json::parse_event_t event, json& parsed) {
      return watch->on_event(event, parsed);
    };
  }
  json value = json::parse(bytes.begin(), bytes.end(), callback, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

// Field readers: false on a wrong type or an out-of-range number.
bool read(const json& v, std::string& out) {
  if (!v.is_string()) return false;
  out = v.get_ref<const std::string&>();
  return true;
}
bool read(const json& v, bool& out) {
  if (!v.is_boolean()) return false;
  out = v.get<bool>();
  return true;
}
bool read(const json& v, std::uint64_t& out) {
  if (!v.is_number_unsigned()) return false;
  out = v.get<std::uint64_t>();
  return true;
}
bool read(const json& v, std::uint16_t& out) {
  std::uint64_t wide = 0;
  if (!read(v, wide) || wide > std::numeric_limits<std::uint16_t>::max()) return false;
  out = static_cast<std::uint16_t>(wide);
  return true;
}
bool read(const json& v, std::int64_t& out) {
  if (v.is_number_integer() && !v.is_number_unsigned()) {
    out = v.get<std::int64_t>();
    return true;
  }
  std::uint64_t wide = 0;
  if (!read(v, wide) || wide > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return false;
  out = static_cast<std::int64_t>(wide);
  return true;
}
bool read(const json& v, std::vector<std::string>& out) {
  if (!v.is_array()) return false;
  std::vector<std::string> items;
  for (const json& item : v) {
    std::string text;
    if (!read(item, text)) return false;
    items.push_back(std::move(text));
  }
  out = std::move(items);
  return true;
}

bool read(const json& v, ChainSettings& out);
bool read(const json& v, MinerSettings& out);

template <class R>
struct Field {
  const char* key;
  std::function<bool(const json&, R&)> read;
};

template <class R, class T>
Field<R> field(const char* key, T R::*member) {
  return Field<R>{key, [member](const json& v, R& r) { return read(v, r.*member); }};
}

// Each record reads as an object (unknown keys skipped, absent keys default)
// or as an array of its values in field order (missing trailing values default).
template <class R>
bool read_record(const json& v, R& out, const std::vector<Field<R>>& fields) {
  if (v.is_object()) {
    for (const auto& [key, value] : v.items()) {
      for (const Field<R>& f : fields) {
        if (key == f.key && !f.read(value, out)) return false;
      }
    }
    return true;
  }
  if (v.is_array()) {
    if (v.size() > fields.size()) return false;
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (!fields[i].read(v[i], out)) return false;
    }
    return true;
  }
  return false;
}

bool read(const json& v, ChainSettings& out) {
  static const std::vector<Field<ChainSettings>> fields = {
      field("name", &ChainSettings::name),
      field("rpc_transport", &ChainSettings::rpc_transport),
      field("rpc_host", &ChainSettings::rpc_host),
      field("rpc_port", &ChainSettings::rpc_port),
      field("rpc_auth_type", &ChainSettings::rpc_auth_type),
      field("submission_mode", &ChainSettings::submission_mode),
      field("block_time_seconds", &ChainSettings::block_time_seconds),
  };
  return read_record(v, out, fields);
}

bool read(const json& v, MinerSettings& out) {
  static const std::vector<Field<MinerSettings>> fields = {
      field("get_mining_info_interval", &MinerSettings::get_mining_info_interval),
      field("timeout", &MinerSettings::timeout),
      field("hdd_use_direct_io", &MinerSettings::hdd_use_direct_io),
      field("hdd_wakeup_after", &MinerSettings::hdd_wakeup_after),
      field("hdd_read_cache_in_warps", &MinerSettings::hdd_read_cache_in_warps),
      field("enable_on_the_fly_compression", &MinerSettings::enable_on_the_fly_compression),
      field("cpu_threads", &MinerSettings::cpu_threads),
      field("cpu_thread_pinning", &MinerSettings::cpu_thread_pinning),
  };
  return read_record(v, out, fields);
}

bool read(const json& v, AppSettings& out) {
  static const std::vector<Field<AppSettings>> fields = {
      field("miner_name", &AppSettings::miner_name),
      field("miner_exe_path", &AppSettings::miner_exe_path),
      field("config_output_path", &AppSettings::config_output_path),
      field("plot_dirs", &AppSettings::plot_dirs),
      field("plot_rescan_interval_secs", &AppSettings::plot_rescan_interval_secs),
      field("auto_detect_new_plots", &AppSettings::auto_detect_new_plots),
      field("auto_restart_on_new_plots", &AppSettings::auto_restart_on_new_plots),
      field("chain", &AppSettings::chain),
      field("miner", &AppSettings::miner),
  };
  return read_record(v, out, fields);
}

}  // namespace

ChainSettings ChainSettings::profile_defaults() {
  ChainSettings c;
  c.name = kProfile.pool_name;
  c.rpc_transport = kProfile.pool_transport;
  c.rpc_host = kProfile.pool_host;
  c.rpc_port = static_cast<std::uint16_t>(kProfile.pool_port);
  c.rpc_auth_type = kProfile.pool_auth_type;
  c.submission_mode = kProfile.submission_mode;
  c.block_time_seconds = kProfile.block_time_seconds;
  return c;
}

std::optional<AppSettings> decode_settings(std::string_view bytes) {
  DuplicateKeyWatch watch;
  std::optional<json> value = parse_json(bytes, &watch);
  if (!value || watch.found()) return std::nullopt;
  AppSettings settings;
  if (!read(*value, settings)) return std::nullopt;
  return settings;
}

AppSettings load_settings(const std::string& path) {
  Result<std::string> bytes = platform::read_file(path);
  if (!bytes.ok()) return AppSettings{};
  return decode_settings(bytes.value()).value_or(AppSettings{});
}

void normalize_settings(AppSettings& settings) {
  settings.chain = ChainSettings::profile_defaults();
  settings.config_output_path = std::string(kProfile.config_file);
  if (settings.plot_rescan_interval_secs < 61) settings.plot_rescan_interval_secs = 60;
  settings.auto_restart_on_new_plots = true;
}

std::string encode_settings(const AppSettings& settings) {
  nlohmann::ordered_json doc;
  doc["miner_name"] = settings.miner_name;
  doc["plot_dirs"] = settings.plot_dirs;
  doc["plot_rescan_interval_secs"] = settings.plot_rescan_interval_secs;
  doc["auto_detect_new_plots"] = settings.auto_detect_new_plots;
  doc["auto_restart_on_new_plots"] = settings.auto_restart_on_new_plots;
  return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<std::string> legacy_config_output_path(std::string_view bytes) {
  std::optional<json> value = parse_json(bytes, nullptr);
  if (!value || !value->is_object()) return std::nullopt;
  auto it = value->find("config_output_path");
  if (it == value->end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace vorn
