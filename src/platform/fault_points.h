#pragma once
// Named points where a test can make the program fail on purpose, to prove
// that a failure there is survived. Unarmed points cost one atomic load.
#include <chrono>
#include <string>
#include <string_view>

namespace vorn::platform {

// The next time `fault_point(point)` runs (on any thread), it throws.
void arm_fault(std::string_view point);
void disarm_faults();
// Throws std::runtime_error("injected failure at <point>") when armed.
void fault_point(std::string_view point);
// Whether the point is armed, disarming it: for places that fail with a
// value ("injected failure at <point>") instead of throwing.
bool take_fault(std::string_view point);
// Whether the point is armed, leaving it so: a test waits on it for a thread
// to pass the point (which takes the fault).
bool fault_armed(std::string_view point);

// Slow storage or a slow system call: every time `delay_point(point)` runs,
// it sleeps for the given time, until the faults are disarmed.
void arm_delay(std::string_view point, std::chrono::microseconds delay);
void delay_point(std::string_view point);

}  // namespace vorn::platform
