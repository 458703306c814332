// Arbitrary miner output lines and process listings.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/text.h"
#include "miner/interpret.h"
#include "miner/residual_cleanup.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  static vorn::AppCore core(vorn::EventSender(), {}, vorn::Clock::now());
  std::string text = vorn::to_valid_utf8(bytes);
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    vorn::interpret_miner_line(core, std::string_view(text).substr(start, end - start));
    start = end + 1;
  }
  vorn::clean_listed_miners(bytes, false, [](std::uint32_t) { return vorn::Result<std::string>::success("ok"); });
  return 0;
}
