// RtlGetVersion over the configured version. One mutex guards the version and the failure setting.
#include "sim/executive/version.h"

#include "sim/core/components.h"

#include <cstring>
#include <mutex>

namespace vexsim {

namespace {

constexpr ULONG kPlatformWin32Nt = 2;  // VER_PLATFORM_WIN32_NT
constexpr UCHAR kProductWorkstation = 1;  // VER_NT_WORKSTATION
constexpr USHORT kSuiteSingleUserTerminalServices = 0x0100;  // VER_SUITE_SINGLEUSERTS, set on client editions

struct VersionState {
    std::mutex lock;
    ULONG major = 0;
    ULONG minor = 0;
    ULONG build = 0;
    NTSTATUS failure = STATUS_SUCCESS;
};

VersionState g_version;

}  // namespace

void SetOsVersion(ULONG major, ULONG minor, ULONG build)
{
    std::lock_guard<std::mutex> guard(g_version.lock);
    g_version.major = major;
    g_version.minor = minor;
    g_version.build = build;
}

void SetRtlGetVersionFailure(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(g_version.lock);
    g_version.failure = status;
}

void ResetVersion(const MachineConfig& config)
{
    SetOsVersion(config.osMajorVersion, config.osMinorVersion, config.osBuildNumber);
    SetRtlGetVersionFailure(STATUS_SUCCESS);
}

}  // namespace vexsim

// Only the fields of the structure size the caller names are written. Any size other than the
// basic or the extended structure's is refused with STATUS_INVALID_PARAMETER (Windows documents
// only these two sizes; the answer to others is this simulator's choice).
extern "C" NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
{
    using namespace vexsim;
    if (lpVersionInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(OsVersionInfoEx)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_version.lock);
    if (g_version.failure != STATUS_SUCCESS) {
        return g_version.failure;
    }
    lpVersionInformation->dwMajorVersion = g_version.major;
    lpVersionInformation->dwMinorVersion = g_version.minor;
    lpVersionInformation->dwBuildNumber = g_version.build;
    lpVersionInformation->dwPlatformId = kPlatformWin32Nt;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
    if (size == sizeof(OsVersionInfoEx)) {
        auto* extended = reinterpret_cast<OsVersionInfoEx*>(lpVersionInformation);
        extended->wServicePackMajor = 0;
        extended->wServicePackMinor = 0;
        extended->wSuiteMask = kSuiteSingleUserTerminalServices;
        extended->wProductType = kProductWorkstation;
        extended->wReserved = 0;
    }
    return STATUS_SUCCESS;
}
