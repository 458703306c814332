#pragma once
#include <string>
#include <vector>

namespace driver {

// driver fault <scenario> <arguments>: see faults.cpp.
int run_fault(const std::wstring& scenario, const std::vector<std::wstring>& args);
// driver soak <folder> <minutes>: see soak.cpp.
int soak(const std::wstring& folder, int minutes);
// driver tray <folder>: the tray icon of the program in <folder> (tray.cpp).
int tray(std::wstring folder);
// True (after leaving a mark) when this copy runs as a planted system tool.
bool mark_if_planted();

}  // namespace driver
