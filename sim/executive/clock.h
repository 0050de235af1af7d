// The simulated clock. Time never moves on its own: a test or the machine sets or advances it,
// and only that wakes timed waits. Host code only.
//
// Two clocks, as in Windows: system time (UTC, 100 ns units since 1601, what KeQuerySystemTime
// reads; setting it may jump either way) and interrupt time (100 ns units since boot, only moves
// forward). Absolute timeouts run against system time, relative ones against interrupt time, so
// setting the system time does not stretch or cut a relative wait.
#pragma once

#include "platform/platform.h"

namespace vexsim {

struct MachineConfig;

LONGLONG SimulatedSystemTime();
LONGLONG SimulatedInterruptTime();

// Sets system time only; wakes waits whose absolute deadline has now passed.
void SetSimulatedSystemTime(LONGLONG systemTime);

// Moves both clocks forward by interval (100 ns units, not negative); wakes expired waits.
void AdvanceSimulatedClock(LONGLONG interval);

// Local time = system time - bias (100 ns units); may change while the machine runs.
void SetTimeZoneBias(LONGLONG bias);
LONGLONG TimeZoneBias();

// Boot state from the machine configuration; interrupt time starts at zero.
void ResetClock(const MachineConfig& config);

}  // namespace vexsim
