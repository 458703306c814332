// Arbitrary bytes as a settings file: decoded or refused, never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto settings = vorn::decode_settings(bytes)) {
    // What decodes must survive its own save format.
    vorn::normalize_settings(*settings);
    auto again = vorn::decode_settings(vorn::encode_settings(*settings));
    if (!again || again->plot_dirs != settings->plot_dirs || again->miner_name != settings->miner_name) __builtin_trap();
  }
  vorn::legacy_config_output_path(bytes);
  return 0;
}
