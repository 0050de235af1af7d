// The simulated clock: two atomics, written only by host calls. Waits compare against them under
// the dispatcher lock; every change takes that lock to wake them, so no wake-up is lost between a
// waiter's check and its sleep.
#include "sim/executive/clock.h"

#include "sim/core/components.h"
#include "sim/executive/dispatcher.h"

#include <atomic>
#include <stdexcept>

namespace vexsim {

namespace {
std::atomic<LONGLONG> g_systemTime{0};
std::atomic<LONGLONG> g_interruptTime{0};
std::atomic<LONGLONG> g_timeZoneBias{0};
}  // namespace

LONGLONG SimulatedSystemTime()
{
    return g_systemTime.load();
}

LONGLONG SimulatedInterruptTime()
{
    return g_interruptTime.load();
}

void SetSimulatedSystemTime(LONGLONG systemTime)
{
    g_systemTime = systemTime;
    WakeTimedWaiters();
}

void AdvanceSimulatedClock(LONGLONG interval)
{
    if (interval < 0) {
        throw std::invalid_argument("the simulated clock only advances; use SetSimulatedSystemTime to go back");
    }
    g_systemTime += interval;
    g_interruptTime += interval;
    WakeTimedWaiters();
}

void SetTimeZoneBias(LONGLONG bias)
{
    g_timeZoneBias = bias;
}

LONGLONG TimeZoneBias()
{
    return g_timeZoneBias.load();
}

void ResetClock(const MachineConfig& config)
{
    g_systemTime = config.systemTime;
    g_interruptTime = 0;
    g_timeZoneBias = config.timeZoneBias;
}

}  // namespace vexsim

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = vexsim::SimulatedSystemTime();
}

extern "C" VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime)
{
    LocalTime->QuadPart = SystemTime->QuadPart - vexsim::TimeZoneBias();
}
