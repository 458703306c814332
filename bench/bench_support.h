#pragma once
// Shared by the benchmarks: a bare window object and the simulated miner.
#include <cstdlib>
#include <string>

#include "core/window_object.h"

namespace vorn::bench {

class BenchWindow : public WindowObject {
 public:
  using WindowObject::WindowObject;
};

inline void set_env(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

#ifdef VORN_SIM_MINER_PATH
// The simulated miner built for this target (Wine maps the Linux root to Z:).
inline std::string sim_miner_path() {
  std::string sim = VORN_SIM_MINER_PATH;
#ifdef _WIN32
  for (char& c : sim) c = c == '/' ? '\\' : c;
  sim = "Z:" + sim;
#endif
  return sim;
}
#endif

}  // namespace vorn::bench
