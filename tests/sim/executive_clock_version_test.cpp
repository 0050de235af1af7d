// The simulated clock, time fields, the reported version, the export table and bug check reports.
#include "executive_fixture.h"

#include "sim/executive/clock.h"
#include "sim/executive/exports.h"
#include "sim/executive/version.h"
#include "tests/support/wide.h"

#include <cstring>
#include <vector>

namespace {

class ExecutiveClockTest : public ExecutiveFixture {};

TEST_F(ExecutiveClockTest, SystemTimeComesFromTheConfigurationAndMovesOnlyWhenTold)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, config.systemTime);
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, config.systemTime) << "host time passing must not move the clock";

    vexsim::AdvanceSimulatedClock(10000000);
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, config.systemTime + 10000000);
    EXPECT_EQ(vexsim::SimulatedInterruptTime(), 10000000);

    vexsim::SetSimulatedSystemTime(5);
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, 5);
    EXPECT_THROW(vexsim::AdvanceSimulatedClock(-1), std::invalid_argument);
}

TEST_F(ExecutiveClockTest, LocalTimeSubtractsTheBiasFromBootOrAsSetLater)
{
    config.timeZoneBias = 123;
    vexsim::ExecutiveBoot(config);
    LARGE_INTEGER system;
    LARGE_INTEGER local;
    system.QuadPart = 1000000000;
    ExSystemTimeToLocalTime(&system, &local);
    EXPECT_EQ(local.QuadPart, 1000000000 - 123);

    // UTC+1: bias -60 minutes.
    vexsim::SetTimeZoneBias(-60LL * 60 * 10000000);
    ExSystemTimeToLocalTime(&system, &local);
    EXPECT_EQ(local.QuadPart, 1000000000 + 36000000000LL);
}

struct KnownDate {
    LONGLONG time;  // 100 ns units since 1601-01-01
    TIME_FIELDS expected;
};

constexpr LONGLONG kDay = 864000000000LL;

TEST_F(ExecutiveClockTest, TimeFieldsOfKnownDates)
{
    const KnownDate dates[] = {
        // The epoch itself: a Monday.
        {0, {1601, 1, 1, 0, 0, 0, 0, 1}},
        // Last tick of the epoch's first day.
        {kDay - 1, {1601, 1, 1, 23, 59, 59, 999, 1}},
        // End of the first non-leap century year after the epoch.
        {(365LL * 99 + 24 + 364) * kDay, {1700, 12, 31, 0, 0, 0, 0, 5}},
        // Unix epoch, a Thursday.
        {116444736000000000LL, {1970, 1, 1, 0, 0, 0, 0, 4}},
        // Leap day of a year divisible by 400, a Tuesday, with time of day and milliseconds.
        {125962560000000000LL + 12 * 36000000000LL + 34 * 600000000LL + 56 * 10000000LL + 789 * 10000LL,
         {2000, 2, 29, 12, 34, 56, 789, 2}},
        // 2000-03-01 follows the leap day, a Wednesday.
        {125962560000000000LL + kDay, {2000, 3, 1, 0, 0, 0, 0, 3}},
        // The default boot time.
        {134116992000000000LL, {2026, 1, 1, 0, 0, 0, 0, 4}},
        // 2026-12-07, a Monday.
        {134116992000000000LL + 340 * kDay, {2026, 12, 7, 0, 0, 0, 0, 1}},
    };
    for (const KnownDate& date : dates) {
        LARGE_INTEGER time;
        time.QuadPart = date.time;
        TIME_FIELDS fields;
        std::memset(&fields, 0x7F, sizeof(fields));
        RtlTimeToTimeFields(&time, &fields);
        auto all = [](const TIME_FIELDS& f) {
            return std::vector<CSHORT>{f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second, f.Milliseconds, f.Weekday};
        };
        EXPECT_EQ(all(date.expected), all(fields)) << "year, month, day, hour, minute, second, ms, weekday";
    }
}

class ExecutiveVersionTest : public ExecutiveFixture {};

TEST_F(ExecutiveVersionTest, FillsTheBasicOrTheExtendedStructureAsItsSizeSays)
{
    vexsim::OsVersionInfoEx info;
    std::memset(&info, 0xCC, sizeof(info));
    info.basic.dwOSVersionInfoSize = sizeof(info);
    ASSERT_EQ(RtlGetVersion(&info.basic), STATUS_SUCCESS);
    EXPECT_EQ(info.basic.dwMajorVersion, 10u);
    EXPECT_EQ(info.basic.dwBuildNumber, 19045u);
    EXPECT_EQ(info.wServicePackMajor, 0);
    EXPECT_EQ(info.wProductType, 1) << "workstation";

    config.osMajorVersion = 6;
    config.osMinorVersion = 1;
    config.osBuildNumber = 7601;
    vexsim::ExecutiveBoot(config);
    std::memset(&info, 0xCC, sizeof(info));
    info.basic.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW);
    ASSERT_EQ(RtlGetVersion(&info.basic), STATUS_SUCCESS);
    EXPECT_EQ(info.basic.dwMajorVersion, 6u);
    EXPECT_EQ(info.basic.dwMinorVersion, 1u);
    EXPECT_EQ(info.basic.dwBuildNumber, 7601u);
    EXPECT_EQ(info.basic.dwPlatformId, 2u);
    EXPECT_EQ(info.basic.szCSDVersion[0], 0);
    EXPECT_EQ(info.wServicePackMajor, 0xCCCC) << "fields past the basic structure must stay untouched";
    EXPECT_EQ(info.wReserved, 0xCC);
}

TEST_F(ExecutiveVersionTest, RefusesUnknownSizesAndFailsOnRequest)
{
    RTL_OSVERSIONINFOW info;
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info) - 1;
    EXPECT_EQ(RtlGetVersion(&info), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlGetVersion(nullptr), STATUS_INVALID_PARAMETER);

    vexsim::SetRtlGetVersionFailure(STATUS_NOT_IMPLEMENTED);
    info.dwOSVersionInfoSize = sizeof(info);
    EXPECT_EQ(RtlGetVersion(&info), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(info.dwMajorVersion, 0u) << "a failing call leaves the structure alone";

    vexsim::SetOsVersion(10, 0, 22631);
    vexsim::SetRtlGetVersionFailure(STATUS_SUCCESS);
    ASSERT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.dwBuildNumber, 22631u);
}

TEST_F(ExecutiveVersionTest, DriverPoolTypeFollowsTheVersion)
{
    // Windows 8 (6.2) and later get no-execute pool; older or unreadable versions do not.
    struct Row {
        ULONG major, minor;
        NTSTATUS failure;
        POOL_TYPE expected;
    } rows[] = {
        {6, 1, STATUS_SUCCESS, NonPagedPool},
        {6, 2, STATUS_SUCCESS, NonPagedPoolNx},
        {10, 0, STATUS_SUCCESS, NonPagedPoolNx},
        {10, 0, STATUS_UNSUCCESSFUL, NonPagedPool},
    };
    for (const Row& row : rows) {
        vexsim::SetOsVersion(row.major, row.minor, 9200);
        vexsim::SetRtlGetVersionFailure(row.failure);
        PoolInitialize();
        EXPECT_EQ(g_NonPagedPoolType, row.expected) << row.major << "." << row.minor << " failure " << row.failure;
    }
}

class ExecutiveExportTest : public ExecutiveFixture {
protected:
    static PVOID Lookup(const char16_t* name) { return MmGetSystemRoutineAddress(vextest::Wide(name).get()); }
};

void ProbeTarget() {}

TEST_F(ExecutiveExportTest, ResolvesRegisteredNamesExactlyAndByTheCountedLength)
{
    EXPECT_EQ(Lookup(u"ExAllocatePoolWithTag"), reinterpret_cast<PVOID>(&ExAllocatePoolWithTag));
    EXPECT_EQ(Lookup(u"exallocatepoolwithtag"), nullptr) << "export names are case-sensitive";
    EXPECT_EQ(Lookup(u"ExAllocatePool2"), nullptr);

    vexsim::RegisterExport(u"CmCallbackGetKeyObjectIDEx", reinterpret_cast<void*>(&ProbeTarget));
    EXPECT_EQ(Lookup(u"CmCallbackGetKeyObjectIDEx"), reinterpret_cast<PVOID>(&ProbeTarget));

    vextest::Wide longer(u"KeSetEventXYZ");
    longer.get()->Length = 10 * sizeof(WCHAR);
    EXPECT_EQ(MmGetSystemRoutineAddress(longer.get()), reinterpret_cast<PVOID>(&KeSetEvent)) << "only Length counts";
}

TEST_F(ExecutiveExportTest, HiddenRoutinesResolveToNullUntilUnhiddenOrReboot)
{
    vexsim::HideExport(u"KeSetEvent");
    vexsim::HideExport(u"ExAllocatePool2");
    EXPECT_EQ(Lookup(u"KeSetEvent"), nullptr);
    vexsim::RegisterExport(u"ExAllocatePool2", reinterpret_cast<void*>(&ProbeTarget));
    EXPECT_EQ(Lookup(u"ExAllocatePool2"), nullptr) << "hiding holds for a routine registered later";

    vexsim::UnhideExport(u"KeSetEvent");
    EXPECT_EQ(Lookup(u"KeSetEvent"), reinterpret_cast<PVOID>(&KeSetEvent));
    vexsim::ExecutiveBoot(config);
    EXPECT_EQ(Lookup(u"ExAllocatePool2"), reinterpret_cast<PVOID>(&ProbeTarget)) << "boot unhides everything";
}

class ExecutiveBugCheckTest : public ExecutiveFixture {};

TEST_F(ExecutiveBugCheckTest, ReportsNameCodeParametersAndReason)
{
    EXPECT_DEATH(KeBugCheckEx(0xC2, 1, 2, 3, 4),
                 "\\*\\*\\* STOP: 0x000000C2 \\(0x0000000000000001, 0x0000000000000002, 0x0000000000000003, "
                 "0x0000000000000004\\) BAD_POOL_CALLER: KeBugCheckEx called");
    EXPECT_DEATH(KeBugCheckEx(0x12345, 0, 0, 0, 0), "STOP: 0x00012345 .* UNKNOWN_BUG_CHECK");
    EXPECT_DEATH(RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY),
                 "STOP: 0x00000139 \\(0x0000000000000003, .*KERNEL_SECURITY_CHECK_FAILURE: .*corrupt list entry");
}

}  // namespace
