// Driver start-up and unload: the debugger lines of both, the global record start-up leaves, the
// fatal failures and what they leave behind, the pool choice by Windows version, the control
// device as user mode sees it, and every allocation failure of loading and unloading.
#include "names/name_patterns.h"
#include "tables/id_manager.h"

#include "sim/executive/exports.h"
#include "sim/executive/version.h"
#include "sim/flt/port.h"
#include "sim/flt/filter.h"
#include "sim/io/io.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

constexpr ULONG kUnknownControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0xFFF, METHOD_BUFFERED, FILE_ANY_ACCESS);

// What a normal start-up prints before it returns.
const Lines kStartLines = {
    "VexRegFilter DriverEntry",
    "VexRegFilter - OS Version: 0x0a000000",
};

// The name patterns in the order start-up builds them.
const PUNICODE_STRING kPatterns[] = {
    &g_HLPatterns.SiloUserClassesPattern, &g_HLPatterns.SiloUserSidClassesPattern, &g_HLPatterns.SiloUserClassesOwnPattern,
    &g_HLPatterns.SiloUserSidPattern,     &g_HLPatterns.AppHiveRootPattern,        &g_HLPatterns.AppHiveRootSlashPattern,
    &g_HLPatterns.AppHiveSubkeyPattern,
};

Lines LastLines(size_t count)
{
    Lines all = vexsim::DebugOutput();
    return Lines(all.end() - (ptrdiff_t)std::min(count, all.size()), all.end());
}

std::string Hex(NTSTATUS status)
{
    char text[16];
    snprintf(text, sizeof(text), "%x", (unsigned)status);
    return text;
}

// The live VexR allocations of the driver.
std::vector<vexsim::PoolAllocation> DriverAllocations()
{
    std::vector<vexsim::PoolAllocation> out;
    for (const vexsim::PoolAllocation& allocation : vexsim::LivePoolAllocations()) {
        if (allocation.tag == VEXR_TAG) {
            out.push_back(allocation);
        }
    }
    return out;
}

using StartupTest = vextest::DriverTest;

TEST_F(StartupTest, NormalLoadAndUnloadPrintExactlyTheirLines)
{
    Lines expected = kStartLines;
    expected.push_back("VexRegFilter DriverEntry return 0");
    EXPECT_EQ(expected, vexsim::DebugOutput());

    vexsim::ClearDebugOutput();
    vexsim::UnloadResult result = vexsim::UnloadDriver();
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    // Never started: no notify routine, callback or thread lines.
    EXPECT_EQ((Lines{"VexRegFilter Unload", "VexRegFilter Unload STATUS_SUCCESS"}), vexsim::DebugOutput());
    EXPECT_EQ(nullptr, g_VexRegFilterData.DeviceObject);
    EXPECT_EQ(nullptr, g_VexRegFilterData.FilterHandle);
}

TEST_F(StartupTest, TheRecordHoldsTagAltitudeAndNothingStarted)
{
    const VEX_REG_FILTER_DATA& data = g_VexRegFilterData;
    EXPECT_EQ(0, memcmp(&data.Tag, "VexR", 4));
    EXPECT_EQ(u"345030", vextest::Text(&data.Altitude));
    EXPECT_EQ(12, data.Altitude.Length);
    EXPECT_EQ((PWSTR)data.AltitudeBuffer, data.Altitude.Buffer);
    EXPECT_EQ(UNICODE_NULL, data.AltitudeBuffer[6]);
    EXPECT_EQ(vexsim::LoadedDriverObject(), data.DriverObject);
    EXPECT_NE(nullptr, data.DeviceObject);
    EXPECT_NE(nullptr, data.FilterHandle);
    EXPECT_EQ(0, data.CallbackCookie.QuadPart);
    EXPECT_FALSE(data.ProcessNotifyRegistered);
    EXPECT_FALSE(data.ImageNotifyRegistered);
    EXPECT_EQ(0u, data.DebugLogFlags);
    EXPECT_EQ(0u, data.DeviceObject->Flags & 0x8) << "the control device is not exclusive (DO_EXCLUSIVE)";
    // Every lock of the record is initialised and free, every list empty.
    PVEX_REG_FILTER_DATA record = &g_VexRegFilterData;
    for (PFAST_MUTEX lock : {&record->ProcessNotifyLock, &record->ImageNotifyLock, &record->ExcludeKeyLock, &record->ExcludeValueLock,
                             &record->CopyKeyHistory.Lock, &record->CopySubkeyHistory.Lock, &record->DifferenceHistory.Lock,
                             &record->ProcessCache.Lock}) {
        ASSERT_TRUE(ExTryToAcquireFastMutex(lock));
        ExReleaseFastMutex(lock);
    }
    for (PLOCKED_LIST list : {&record->ParentProcessNameList, &record->ProcessNameList, &record->ExclusionProcessNameList,
                              &record->MonitoredParentProcessList, &record->MonitoredProcessList, &record->RootProcessNameList,
                              &record->MonitoredRootProcessList, &record->MonitoredChildOfRootProcessList, &record->PTreeMonNameList,
                              &record->PTreeMonList, &record->DescendantProcessList}) {
        ASSERT_TRUE(ExTryToAcquireFastMutex(&list->Lock));
        ExReleaseFastMutex(&list->Lock);
        EXPECT_TRUE(IsListEmpty(&list->Head));
    }
    EXPECT_TRUE(IsListEmpty(&record->ExcludeKeyList) && IsListEmpty(&record->ExcludeValueList));
    for (PUNICODE_STRING pattern : kPatterns) {
        ASSERT_NE(nullptr, pattern->Buffer);
        EXPECT_EQ(pattern->Length + sizeof(WCHAR), pattern->MaximumLength) << "each pattern keeps its NUL";
        EXPECT_EQ(UNICODE_NULL, pattern->Buffer[pattern->Length / sizeof(WCHAR)]);
    }
    EXPECT_EQ(7u + 6u * 2u, DriverAllocations().size()) << "start-up allocates only the seven name patterns and the six built-in keys, each an entry and its name";
}

TEST_F(StartupTest, UserModeOpensTheControlDeviceAndUnknownCodesAreRefused)
{
    PEPROCESS process = vexsim::CreateUserProcess({u"\\Device\\HarddiskVolume3\\Program Files\\Vex\\vexsvc.exe"});
    {
        vexsim::UserModeScope user(process);
        HANDLE handle = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::UserOpenFile(u"\\\\.\\VexRegFilter", GENERIC_READ | GENERIC_WRITE, &handle));
        UCHAR input[8] = {};
        UCHAR output[8] = {};
        ULONG returned = 0xFFFF;
        EXPECT_EQ(STATUS_INVALID_PARAMETER, vexsim::UserDeviceIoControl(handle, kUnknownControlCode, input, sizeof(input),
                                                                        output, sizeof(output), &returned));
        EXPECT_EQ(0u, returned);
        EXPECT_EQ(STATUS_SUCCESS, vexsim::UserCloseHandle(handle));
    }
    vexsim::EndProcess(process);
}

TEST_F(StartupTest, UnloadFreesEveryOwnedBufferOfTheRecord)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    PUNICODE_STRING owned[] = {
        &data->RedirectRootKeyName,     &data->RedirectUserClasses,     &data->RedirectMachineClasses,
        &data->RedirectRootKeyPattern,  &data->RedirectRootKeyNameUser, &data->RedirectRootKeyNameMachine,
        &data->UserSid,                 &data->InternetSettingsKey,     &data->RedirectInternetSettingsKey,
    };
    for (PUNICODE_STRING string : owned) {
        string->Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, 16, VEXR_TAG);
        ASSERT_NE(nullptr, string->Buffer);
        string->Length = 8;
        string->MaximumLength = 16;
    }
    vextest::Wide key(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex\\");
    for (PCACHE_TABLE table : {&data->CopyKeyHistory, &data->CopySubkeyHistory, &data->DifferenceHistory, &data->ProcessCache}) {
        ASSERT_EQ(STATUS_SUCCESS, CTInsertElement(table, key.get(), key.get(), NULL, TRUE));
    }
    IssueId();
    IssueId();
    ASSERT_EQ(STATUS_SUCCESS, ReleaseId(0));

    vexsim::UnloadResult result = vexsim::UnloadDriver();
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    for (PUNICODE_STRING string : owned) {
        EXPECT_EQ(nullptr, string->Buffer) << "a freed buffer is forgotten";
        EXPECT_EQ(0, string->Length);
    }
}

using StartupFailureTest = vextest::MachineTest;

// A fatal start-up failure and how to bring it about. Another driver may hold a name start-up
// needs; what it holds must survive the failed start-up untouched.
struct FatalCase {
    const char* what;
    std::function<void(PDRIVER_OBJECT other)> arrange;
    std::string line;
    NTSTATUS status;
    vexsim::Leftovers othersLeft;  // the other driver's objects, all that may remain
};

TEST_F(StartupFailureTest, EachFatalFailurePrintsReturnsItsStatusAndLeavesNothingOfItsOwn)
{
    static vextest::Wide deviceName(u"\\Device\\VexRegFilter");
    static vextest::Wide linkName(u"\\DosDevices\\VexRegFilter");
    static vextest::Wide otherDevice(u"\\Device\\Other");
    const FatalCase cases[] = {
        {"no pool for the device", [](PDRIVER_OBJECT) { vexsim::FailAllocationsWithTag(vexsim::kDeviceObjectTag); },
         "VexRegFilter - IoCreateDevice fail c000009a", STATUS_INSUFFICIENT_RESOURCES, {}},
        {"device name taken",
         [](PDRIVER_OBJECT other) {
             PDEVICE_OBJECT device = nullptr;
             ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(other, 0, deviceName.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
         },
         "VexRegFilter - IoCreateDevice fail c0000035", STATUS_OBJECT_NAME_COLLISION,
         {"device \\Device\\VexRegFilter of \\Driver\\Other not deleted"}},
        {"no pool for the link", [](PDRIVER_OBJECT) { vexsim::FailAllocationsWithTag(vexsim::kSymbolicLinkTag); },
         "VexRegFilter - IoCreateSymbolicLink fail c000009a", STATUS_INSUFFICIENT_RESOURCES, {}},
        {"link name taken",
         [](PDRIVER_OBJECT other) {
             PDEVICE_OBJECT device = nullptr;
             ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(other, 0, otherDevice.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
             ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(linkName.get(), otherDevice.get()));
         },
         "VexRegFilter - IoCreateSymbolicLink fail c0000035", STATUS_OBJECT_NAME_COLLISION,
         {"device \\Device\\Other of \\Driver\\Other not deleted",
          "symbolic link \\??\\VexRegFilter -> \\Device\\Other not deleted"}},
        {"no pool for the filter", [](PDRIVER_OBJECT) { vexsim::FailAllocationsWithTag(vexsim::kFilterTag); },
         "FltRegisterFilter fail c000009a", STATUS_INSUFFICIENT_RESOURCES, {}},
        {"no pool for the communication port", [](PDRIVER_OBJECT) { vexsim::FailAllocationsWithTag(vexsim::kServerPortTag); },
         "QFHInitialize error c000009a", STATUS_INSUFFICIENT_RESOURCES, {}},
        {"a kernel that does not export the SACL routine",
         [](PDRIVER_OBJECT) { vexsim::HideExport(u"RtlSetSaclSecurityDescriptor"); }, "QFHInitialize error c000009a",
         STATUS_INSUFFICIENT_RESOURCES, {}},
    };
    for (const FatalCase& c : cases) {
        SCOPED_TRACE(c.what);
        vexsim::ClearDebugOutput();
        PDRIVER_OBJECT other = vexsim::CreateDriverObject(u"Other");
        c.arrange(other);

        EXPECT_EQ(c.status, vexsim::LoadDriver(DriverEntry, "VexRegFilter"));
        vexsim::ClearAllocationFailures();
        vexsim::UnhideExport(u"RtlSetSaclSecurityDescriptor");
        EXPECT_EQ((Lines{c.line, "VexRegFilter DriverEntry return " + Hex(c.status)}), LastLines(2));
        EXPECT_EQ(nullptr, vexsim::LoadedDriverObject());
        EXPECT_EQ(nullptr, g_VexRegFilterData.DeviceObject);
        EXPECT_EQ(nullptr, g_VexRegFilterData.FilterHandle);
        EXPECT_EQ(c.othersLeft, vexsim::CheckLeftovers());

        // The other driver's objects go; then a load finds every name free.
        UNICODE_STRING* link = linkName.get();
        (void)IoDeleteSymbolicLink(link);
        while (other->DeviceObject != nullptr) {
            IoDeleteDevice(other->DeviceObject);
        }
        vexsim::DeleteDriverObject(other);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadDriver(DriverEntry, "VexRegFilter"));
        vexsim::UnloadResult result = vexsim::UnloadDriver();
        EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    }
}

TEST_F(StartupFailureTest, APatternThatCannotBeBuiltIsPrintedAndLeavesTheLaterOnesEmpty)
{
    size_t failed = 0;
    for (ULONG64 n = 1; failed < std::size(kPatterns) && n < 100; n++) {
        vexsim::ClearDebugOutput();
        vexsim::FailNthAllocation(n);
        NTSTATUS status = vexsim::LoadDriver(DriverEntry, "VexRegFilter");
        vexsim::ClearAllocationFailures();
        ASSERT_EQ(STATUS_SUCCESS, status) << "a pattern is no reason to fail start-up";
        if (vextest::HasDebugLine("VexRegFilter - HLInitialize() failed: c000009a")) {
            SCOPED_TRACE("pattern " + std::to_string(failed) + " failed");
            for (size_t j = 0; j < std::size(kPatterns); j++) {
                EXPECT_EQ(j < failed, kPatterns[j]->Buffer != nullptr) << "pattern " << j;
            }
            failed++;
        }
        vexsim::UnloadResult result = vexsim::UnloadDriver();
        EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    }
    EXPECT_EQ(std::size(kPatterns), failed);
}

// One version row: what RtlGetVersion reports (or its failure) and what start-up makes of it.
struct VersionCase {
    ULONG major;
    ULONG minor;
    NTSTATUS failure;  // STATUS_SUCCESS: the version is readable
    ULONG osVersion;
    POOL_TYPE pool;
    const char* line;
};

TEST_F(StartupFailureTest, TheVersionChoosesOSVersionAndThePool)
{
    const VersionCase cases[] = {
        {6, 1, STATUS_SUCCESS, 0x06010000, NonPagedPool, "VexRegFilter - OS Version: 0x06010000"},  // Windows 7
        {6, 2, STATUS_SUCCESS, 0x06020000, NonPagedPoolNx, "VexRegFilter - OS Version: 0x06020000"},  // Windows 8
        {6, 3, STATUS_SUCCESS, 0x06030000, NonPagedPoolNx, "VexRegFilter - OS Version: 0x06030000"},
        {10, 0, STATUS_SUCCESS, 0x0a000000, NonPagedPoolNx, "VexRegFilter - OS Version: 0x0a000000"},
        // Unreadable: taken as older than Windows 8, and start-up goes on.
        {10, 0, STATUS_NOT_SUPPORTED, 0, NonPagedPool, "VexRegFilter - RtlGetVersion failed: c00000bb"},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(c.line);
        vexsim::ClearDebugOutput();
        vexsim::SetOsVersion(c.major, c.minor, 9600);
        vexsim::SetRtlGetVersionFailure(c.failure);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadDriver(DriverEntry, "VexRegFilter"));
        vexsim::SetRtlGetVersionFailure(STATUS_SUCCESS);
        EXPECT_TRUE(vextest::HasDebugLine(c.line));
        EXPECT_EQ(c.failure == STATUS_SUCCESS, vextest::HasDebugLine("VexRegFilter - OS Version:"));
        EXPECT_EQ(c.osVersion, g_VexRegFilterData.OSVersion);

        vextest::Wide key(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex\\");
        ASSERT_EQ(STATUS_SUCCESS, CTInsertElement(&g_VexRegFilterData.CopyKeyHistory, key.get(), key.get(), NULL, TRUE));
        std::vector<vexsim::PoolAllocation> allocations = DriverAllocations();
        ASSERT_FALSE(allocations.empty());
        for (const vexsim::PoolAllocation& allocation : allocations) {
            EXPECT_EQ(c.pool, allocation.type) << "allocation #" << allocation.sequence;
        }
        vexsim::UnloadResult result = vexsim::UnloadDriver();
        EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    }
}

// Loads and, when the load succeeded, unloads again: one run of the walk below.
struct LoadRun {
    NTSTATUS loadStatus;
    NTSTATUS unloadStatus;
    vexsim::Leftovers leftovers;
    bool printedItsStatus;
};

LoadRun LoadAndUnload()
{
    vexsim::ClearDebugOutput();
    LoadRun run{vexsim::LoadDriver(DriverEntry, "VexRegFilter"), STATUS_SUCCESS, {}, false};
    run.printedItsStatus = vextest::HasDebugLine("VexRegFilter DriverEntry return " + Hex(run.loadStatus));
    if (NT_SUCCESS(run.loadStatus)) {
        vexsim::UnloadResult result = vexsim::UnloadDriver();
        run.unloadStatus = result.status;
        run.leftovers = result.leftovers;
    } else {
        run.leftovers = vexsim::CheckLeftovers();
    }
    return run;
}

TEST_F(StartupFailureTest, EveryAllocationFailureOfLoadAndUnloadEndsCleanly)
{
    LoadRun clean = vextest::ForEachAllocationFailure(LoadAndUnload, [](const LoadRun& run, int failing) {
        SCOPED_TRACE("allocation " + std::to_string(failing) + " failed");
        if (!NT_SUCCESS(run.loadStatus)) {
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, run.loadStatus);
        }
        EXPECT_TRUE(run.printedItsStatus);
        EXPECT_EQ(STATUS_SUCCESS, run.unloadStatus) << "unload is never refused";
        EXPECT_TRUE(run.leftovers.empty()) << vexsim::FormatUnloadReport(run.leftovers);
    });
    EXPECT_EQ(STATUS_SUCCESS, clean.loadStatus);
    EXPECT_TRUE(clean.leftovers.empty()) << vexsim::FormatUnloadReport(clean.leftovers);
}

}  // namespace
