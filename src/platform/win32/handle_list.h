#pragma once
// The handles a child process may inherit, as PROC_THREAD_ATTRIBUTE_HANDLE_LIST
// takes them.
#include <windows.h>

#include <vector>

namespace vorn::platform {

// Each real handle once, in first-seen order. Null, INVALID_HANDLE_VALUE,
// the process and thread pseudo handles (small negative values) and old
// console pseudo handles (low two bits set) are left out: Windows can refuse
// a list holding any of them, or the same handle twice, and CreateProcess
// then fails with "The parameter is incorrect".
std::vector<HANDLE> inheritable_handle_list(const std::vector<HANDLE>& handles);

}  // namespace vorn::platform
