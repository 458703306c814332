// Stand-in for Windows PowerShell under Wine, whose powershell.exe is a
// silent stub. It answers exactly the process query the GUI makes.
#include <cstdio>
#include <cwctype>
#include <io.h>
#include <fcntl.h>

#include "misbehave.h"
#include "process_list.h"

#include "../win_common/utf8.h"

namespace {

const wchar_t kQuery[] =
    L"Get-CimInstance Win32_Process -Filter \"Name = 'vorn_miner.exe'\" | ForEach-Object { "
    L"\"$($_.ProcessId)`t$($_.CommandLine)\" }";

bool same_name(const std::wstring& a, const wchar_t* b) {
  std::wstring lower;
  for (wchar_t c : a) lower += static_cast<wchar_t>(std::towlower(c));
  return lower == b;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  hang_if_asked(L"powershell");
  if (argc != 6 || std::wstring(argv[1]) != L"-NoProfile" || std::wstring(argv[2]) != L"-ExecutionPolicy" ||
      std::wstring(argv[3]) != L"Bypass" || std::wstring(argv[4]) != L"-Command" || std::wstring(argv[5]) != kQuery) {
    std::fprintf(stderr, "stand-in powershell: unsupported command\n");
    return 1;
  }
  if (std::string asked = listing_asked_for(); !asked.empty()) {
    std::fwrite(asked.data(), 1, asked.size(), stdout);
    return 0;
  }
  for (const ProcessRow& r : list_processes()) {
    if (!same_name(r.name, L"vorn_miner.exe")) continue;
    std::string line = std::to_string(r.pid) + "\t" + utf8(command_line_of(r.pid)) + "\r\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  return 0;
}
