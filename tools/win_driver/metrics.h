#pragma once
#include <string>
#include <vector>

namespace driver {

// driver metrics <folder> <port> <next port> <taken port> <prometheus port> <token>: see metrics.cpp.
int metrics_scenario(const std::vector<std::wstring>& args);

}  // namespace driver
