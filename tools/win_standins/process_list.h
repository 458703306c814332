#pragma once
// Shared by the Wine stand-ins: processes and their parents via Toolhelp,
// and a process's command line read from its PEB.
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <string>
#include <vector>

struct ProcessRow {
  DWORD pid;
  DWORD parent;
  std::wstring name;
};

inline std::vector<ProcessRow> list_processes() {
  std::vector<ProcessRow> rows;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return rows;
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e)) {
    rows.push_back({e.th32ProcessID, e.th32ParentProcessID, e.szExeFile});
  }
  CloseHandle(snap);
  return rows;
}

// The command line of another process, empty when it cannot be read.
inline std::wstring command_line_of(DWORD pid) {
  HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (!p) return L"";
  using Query = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<Query>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess"));
  std::wstring line;
  PROCESS_BASIC_INFORMATION info{};
  PEB peb{};
  RTL_USER_PROCESS_PARAMETERS params{};
  SIZE_T got = 0;
  if (query && query(p, ProcessBasicInformation, &info, sizeof info, nullptr) == 0 &&
      ReadProcessMemory(p, info.PebBaseAddress, &peb, sizeof peb, &got) &&
      ReadProcessMemory(p, peb.ProcessParameters, &params, sizeof params, &got) && params.CommandLine.Length > 0) {
    line.resize(params.CommandLine.Length / sizeof(wchar_t));
    if (!ReadProcessMemory(p, params.CommandLine.Buffer, line.data(), params.CommandLine.Length, &got)) line.clear();
  }
  CloseHandle(p);
  return line;
}
