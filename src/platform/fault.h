#pragma once
// Hardware faults and other failures that bypass C++ exceptions.

namespace vorn::platform {

using FaultReporter = void (*)(const char* message);
// Calls `report` on the faulting thread before the process ends.
void install_fault_hook(FaultReporter report);

}  // namespace vorn::platform
