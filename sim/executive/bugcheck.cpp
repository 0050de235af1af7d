// Bug checks: every contract breach the simulated kernel detects ends here, as do KeBugCheckEx and
// RtlFailFast. The report names the code, its four parameters, the code's name and the breach in
// words, then the machine stops.
#include "sim/executive/bugcheck.h"

#include "sim/core/kernel.h"

#include <cinttypes>
#include <cstdio>

namespace vexsim {

namespace {

struct BugCheckNameEntry {
    ULONG code;
    const char* name;
};

constexpr BugCheckNameEntry kBugCheckNames[] = {
    {kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL"},
    {0x18, "REFERENCE_BY_POINTER"},
    {kKmodeExceptionNotHandled, "KMODE_EXCEPTION_NOT_HANDLED"},
    {kBadPoolHeader, "BAD_POOL_HEADER"},
    {0x3B, "SYSTEM_SERVICE_EXCEPTION"},
    {0x4A, "IRQL_GT_ZERO_AT_SYSTEM_SERVICE"},
    {0x7E, "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED"},
    {kInvalidKernelHandle, "INVALID_KERNEL_HANDLE"},
    {0xC1, "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION"},
    {kBadPoolCaller, "BAD_POOL_CALLER"},
    {kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION"},
    {0xCE, "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS"},
    {kDriverIrqlNotLessOrEqual, "DRIVER_IRQL_NOT_LESS_OR_EQUAL"},
    {0xE2, "MANUALLY_INITIATED_CRASH"},
    {0xF7, "DRIVER_OVERRAN_STACK_BUFFER"},
    {kKernelSecurityCheckFailure, "KERNEL_SECURITY_CHECK_FAILURE"},
};

std::string FailFastReason(ULONG code)
{
    switch (code) {
    case FAST_FAIL_CORRUPT_LIST_ENTRY:
        return "fail-fast code 3: corrupt list entry (an entry removed twice, or a neighbour's links overwritten)";
    case FAST_FAIL_INVALID_ARG:
        return "fail-fast code 5: invalid argument";
    case FAST_FAIL_RANGE_CHECK_FAILURE:
        return "fail-fast code 8: range check failure";
    default:
        return "fail-fast code " + std::to_string(code);
    }
}

}  // namespace

std::string BugCheckName(ULONG code)
{
    for (const BugCheckNameEntry& entry : kBugCheckNames) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return {};
}

std::string FormatPoolTag(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
        if (c >= 0x20 && c <= 0x7E) {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

std::string FormatAddress(const void* address)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(address));
    return text;
}

void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const std::string& reason)
{
    char head[160];
    std::snprintf(head, sizeof(head),
                  "0x%08" PRIX32 " (0x%016" PRIX64 ", 0x%016" PRIX64 ", 0x%016" PRIX64 ", 0x%016" PRIX64 ")", code,
                  static_cast<uint64_t>(p1), static_cast<uint64_t>(p2), static_cast<uint64_t>(p3),
                  static_cast<uint64_t>(p4));
    std::string name = BugCheckName(code);
    std::string report = head;
    report += ' ';
    report += name.empty() ? "UNKNOWN_BUG_CHECK" : name;
    report += ": ";
    report += reason;
    StopMachine(report);
}

}  // namespace vexsim

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    vexsim::BugCheck(BugCheckCode, P1, P2, P3, P4, "KeBugCheckEx called");
}

// The second and third parameters of a real fail-fast bug check point at the trap frame and
// exception record, which the simulated machine does not have.
extern "C" VOID NTAPI RtlFailFast(ULONG Code)
{
    vexsim::BugCheck(vexsim::kKernelSecurityCheckFailure, Code, 0, 0, 0, vexsim::FailFastReason(Code));
}
