#include <windows.h>

#include <cstdio>

#include "platform/fault.h"

namespace vorn::platform {
namespace {

FaultReporter g_report = nullptr;

LONG WINAPI on_unhandled(EXCEPTION_POINTERS* info) {
  if (g_report && info && info->ExceptionRecord) {
    char text[64];
    std::snprintf(text, sizeof text, "unhandled exception 0x%08lx",
                  static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    g_report(text);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void install_fault_hook(FaultReporter report) {
  g_report = report;
  SetUnhandledExceptionFilter(on_unhandled);
}

}  // namespace vorn::platform
