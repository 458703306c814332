#pragma once
#include <string>

namespace driver {

// driver screens <folder>: the program on screens of several sizes, each a
// Wine virtual desktop of its own (see screens.cpp).
int screens(const std::wstring& folder);
// driver screen <folder> <result file>: the checks inside one such desktop.
int screen(const std::wstring& folder, const std::wstring& result);

}  // namespace driver
