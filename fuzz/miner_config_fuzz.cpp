// Arbitrary bytes as a written miner configuration: the safety gate
// accepts or refuses, never crashes, leaks or hangs.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "minerconfig/miner_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorn::verify_miner_config_text(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
