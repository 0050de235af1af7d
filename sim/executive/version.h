// The operating-system version RtlGetVersion reports. Host code only.
#pragma once

#include "platform/platform.h"

namespace vexsim {

struct MachineConfig;

// RTL_OSVERSIONINFOEXW (284 bytes on x64): the basic structure followed by service pack, suite
// and product fields. The basic one is the platform's RTL_OSVERSIONINFOW (276 bytes).
struct OsVersionInfoEx {
    RTL_OSVERSIONINFOW basic;
    USHORT wServicePackMajor;
    USHORT wServicePackMinor;
    USHORT wSuiteMask;
    UCHAR wProductType;
    UCHAR wReserved;
};
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276, "RTL_OSVERSIONINFOW has the x64 Windows layout");
static_assert(sizeof(OsVersionInfoEx) == 284, "RTL_OSVERSIONINFOEXW has the x64 Windows layout");

// Changes the version reported from now on.
void SetOsVersion(ULONG major, ULONG minor, ULONG build);

// Makes RtlGetVersion fail with this status, leaving the caller's structure untouched;
// STATUS_SUCCESS restores normal answers. Windows itself always succeeds: this is a simulator
// setting so tests can walk a driver's fallback path.
void SetRtlGetVersionFailure(NTSTATUS status);

// Boot state: the configured version, no failure.
void ResetVersion(const MachineConfig& config);

}  // namespace vexsim
