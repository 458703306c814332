#include <signal.h>

#include <cstring>

#include "platform/fault.h"

namespace vorn::platform {
namespace {

FaultReporter g_report = nullptr;

void on_signal(int signal_number) {
  // Best effort: the record is written from the faulting thread, then the
  // default action ends the process.
  if (g_report) g_report(signal_number == SIGSEGV ? "segmentation fault" : "fatal signal");
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

void install_fault_hook(FaultReporter report) {
  g_report = report;
  ::signal(SIGSEGV, on_signal);
  ::signal(SIGBUS, on_signal);
  ::signal(SIGFPE, on_signal);
  ::signal(SIGILL, on_signal);
}

}  // namespace vorn::platform
