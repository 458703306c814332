// Stand-in for "taskkill /PID n /T /F" under Wine, whose taskkill has no /T:
// ends the process and every descendant found through parent pids.
#include <cstdio>
#include <set>

#include "misbehave.h"
#include "process_list.h"

int wmain(int argc, wchar_t** argv) {
  hang_if_asked(L"taskkill");
  if (argc != 5 || std::wstring(argv[1]) != L"/PID" || std::wstring(argv[3]) != L"/T" ||
      std::wstring(argv[4]) != L"/F") {
    std::fwprintf(stderr, L"ERROR: only /PID n /T /F is supported\n");
    return 1;
  }
  const DWORD root = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
  std::vector<ProcessRow> rows = list_processes();
  std::set<DWORD> tree;
  for (const ProcessRow& r : rows) {
    if (r.pid == root) tree.insert(root);
  }
  if (tree.empty()) {
    std::fwprintf(stderr, L"ERROR: The process \"%lu\" not found.\n", static_cast<unsigned long>(root));
    return 128;
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (const ProcessRow& r : rows) {
      if (r.pid != 0 && tree.count(r.parent) && tree.insert(r.pid).second) grew = true;
    }
  }
  int status = 0;
  for (DWORD pid : tree) {
    HANDLE p = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (!p || !TerminateProcess(p, 1)) status = 1;
    if (p) CloseHandle(p);
  }
  return status;
}
