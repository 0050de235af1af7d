// Run-time resolved routines: resolution through the export table and its retry, the sizing loop
// of the two query wrappers with each of its exits, caller buffers, and every allocation failure.
#include "tables/dl_ext_func.h"

#include "sim/executive/exports.h"
#include "sim/ps/process.h"
#include "sim/ps/process_memory.h"
#include "tests/support/kernel_key.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char16_t* kQueryProcess = u"ZwQueryInformationProcess";
constexpr const char16_t* kQuerySystem = u"ZwQuerySystemInformation";

// Calls the wrappers made of their export, and what the stand-ins below answer.
struct QueryCall {
    ULONG length;
    NTSTATUS status;
};
std::vector<QueryCall> g_calls;
NTSTATUS g_forcedStatus = STATUS_SUCCESS;  // STATUS_SUCCESS: the stand-in asks the real routine
ULONG g_forcedLength = 0;
size_t g_realCallsFirst = 0;  // calls that reach the real routine before the forced answers start

// Stand-ins registered under the real names: they record each call and either pass it to the
// real routine or answer what the test forces.
NTSTATUS NTAPI RecordingQueryProcess(HANDLE process, PROCESSINFOCLASS infoClass, PVOID buffer, ULONG length, PULONG returned)
{
    NTSTATUS status = g_calls.size() < g_realCallsFirst ? STATUS_SUCCESS : g_forcedStatus;
    if (status == STATUS_SUCCESS) {
        status = ZwQueryInformationProcess(process, infoClass, buffer, length, returned);
    } else if (returned != NULL) {
        *returned = g_forcedLength;
    }
    g_calls.push_back({length, status});
    return status;
}

NTSTATUS NTAPI RecordingQuerySystem(SYSTEM_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length, PULONG returned)
{
    NTSTATUS status = g_calls.size() < g_realCallsFirst ? STATUS_SUCCESS : g_forcedStatus;
    if (status == STATUS_SUCCESS) {
        status = ZwQuerySystemInformation(infoClass, buffer, length, returned);
    } else if (returned != NULL) {
        *returned = g_forcedLength;
    }
    g_calls.push_back({length, status});
    return status;
}

size_t CountLines(const std::string& text)
{
    size_t count = 0;
    for (const std::string& line : vexsim::DebugOutput()) {
        count += line == text;
    }
    return count;
}

// Each test arranges the exports, then loads the driver (which resolves at start-up).
class DlExtFuncTest : public vextest::MachineTest {
public:
    void SetUp() override
    {
        MachineTest::SetUp();
        g_calls.clear();
        g_forcedStatus = STATUS_SUCCESS;
        g_forcedLength = 0;
        g_realCallsFirst = 0;
        process_ = vexsim::CreateUserProcess({u"\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe"});
    }
    void TearDown() override
    {
        if (handle_ != NULL) {
            EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle_));
        }
        vexsim::EndProcess(process_);
        if (vexsim::LoadedDriverObject() != nullptr) {
            vexsim::UnloadResult result = vexsim::UnloadDriver();
            EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
        }
        vexsim::RegisterExport(kQueryProcess, (void*)&ZwQueryInformationProcess);
        vexsim::RegisterExport(kQuerySystem, (void*)&ZwQuerySystemInformation);
        MachineTest::TearDown();
    }
    void Load()
    {
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadDriver(DriverEntry, "VexRegFilter"));
        loadedAllocations_ = vexsim::LivePoolAllocationCount(VEXR_TAG);
    }
    // VexR allocations beyond those start-up made (the built-in lists).
    size_t NewAllocations() const { return vexsim::LivePoolAllocationCount(VEXR_TAG) - loadedAllocations_; }
    void Record()
    {
        vexsim::RegisterExport(kQueryProcess, (void*)&RecordingQueryProcess);
        vexsim::RegisterExport(kQuerySystem, (void*)&RecordingQuerySystem);
    }
    // A kernel handle to the test process, as the driver's name utilities open one.
    HANDLE ProcessHandle()
    {
        if (handle_ == NULL) {
            EXPECT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(process_, OBJ_KERNEL_HANDLE, NULL, PROCESS_QUERY_LIMITED_INFORMATION,
                                                            *PsProcessType, KernelMode, &handle_));
        }
        return handle_;
    }
    NTSTATUS QueryImageName(PVOID* buffer) { return QueryInformationProcess(ProcessHandle(), ProcessImageFileName, buffer, 0); }

    PEPROCESS process_ = nullptr;
    HANDLE handle_ = NULL;
    size_t loadedAllocations_ = 0;
};

// One query wrapper: its export, a call that frees whatever it returns, and its lines.
struct Wrapper {
    const char16_t* exportName;
    std::function<NTSTATUS(DlExtFuncTest*)> call;
    const char* unresolvedLine;
    const char* nonMismatchLine;   // followed by the status in %08X
    const char* zeroSizeLine;
    const char* noResourcesLine;
};

NTSTATUS CallAndFree(NTSTATUS status, PVOID buffer)
{
    if (buffer != NULL) {
        ExFreePoolWithTag(buffer, VEXR_TAG);
    }
    return status;
}

const Wrapper kWrappers[] = {
    {kQueryProcess,
     [](DlExtFuncTest* test) {
         PVOID buffer = NULL;
         NTSTATUS status = QueryInformationProcess(test->ProcessHandle(), ProcessImageFileName, &buffer, 0);
         return CallAndFree(status, buffer);
     },
     "[DlExtFunc] Cannot resolve ZwQueryInformationProcess", "[DlExtFunc] QueryInformationProcess failed : non-mismatch ",
     "[DlExtFunc] QueryInformationProcess : the size of buffer required is zero.",
     "[DlExtFunc] QueryInformationProcess : resource allocation error"},
    {kQuerySystem,
     [](DlExtFuncTest*) {
         PVOID buffer = NULL;
         NTSTATUS status = QuerySystemInformation(&buffer);
         return CallAndFree(status, buffer);
     },
     "[DlExtFunc] Cannot resolve ZwQuerySystemInformation", "[DlExtFunc] QuerySystemInformation failed : non-mismatch ",
     "[DlExtFunc] QuerySystemInformation : the size of buffer required is zero.",
     "[DlExtFunc] QuerySystemInformation : resource allocation error"},
};

TEST_F(DlExtFuncTest, UnresolvableRoutinesFailUntilTheyAppearAndAreThenResolved)
{
    for (const Wrapper& wrapper : kWrappers) {
        vexsim::HideExport(wrapper.exportName);
    }
    Load();
    for (const Wrapper& wrapper : kWrappers) {
        SCOPED_TRACE(wrapper.unresolvedLine);
        EXPECT_EQ(1u, CountLines(wrapper.unresolvedLine)) << "start-up tried once";
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, wrapper.call(this));
        EXPECT_EQ(2u, CountLines(wrapper.unresolvedLine)) << "each use tries again";
        EXPECT_EQ(0u, NewAllocations());

        vexsim::UnhideExport(wrapper.exportName);
        EXPECT_EQ(STATUS_SUCCESS, wrapper.call(this));
        EXPECT_EQ(2u, CountLines(wrapper.unresolvedLine));
    }
}

TEST_F(DlExtFuncTest, WrappersCallTheRoutineTheExportTableNames)
{
    Record();
    Load();
    for (const Wrapper& wrapper : kWrappers) {
        SCOPED_TRACE(wrapper.unresolvedLine);
        g_calls.clear();
        EXPECT_EQ(STATUS_SUCCESS, wrapper.call(this));
        // Asked for the size with nothing, then answered into an allocation of exactly that size.
        ASSERT_EQ(2u, g_calls.size());
        EXPECT_EQ(0u, g_calls[0].length);
        EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, g_calls[0].status);
        EXPECT_NE(0u, g_calls[1].length);
        EXPECT_EQ(STATUS_SUCCESS, g_calls[1].status);
    }
    EXPECT_EQ(STATUS_SUCCESS, DlExtFuncInitialize()) << "start-up's own call";
    EXPECT_EQ(STATUS_SUCCESS, DlExtFuncFinalize()) << "nothing to undo";
}

TEST_F(DlExtFuncTest, ImageNameComesInOneBufferWithItsHeader)
{
    Load();
    PVOID buffer = NULL;
    ASSERT_EQ(STATUS_SUCCESS, QueryImageName(&buffer));
    ASSERT_NE(nullptr, buffer);
    std::u16string path = u"\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe";
    ASSERT_EQ(1u, NewAllocations());
    std::vector<vexsim::PoolAllocation> live = vexsim::LivePoolAllocations();
    auto found = std::find_if(live.begin(), live.end(), [&](const vexsim::PoolAllocation& a) { return a.address == buffer; });
    ASSERT_NE(live.end(), found);
    EXPECT_EQ(VEXR_TAG, found->tag);
    EXPECT_EQ(sizeof(UNICODE_STRING) + (path.size() + 1) * sizeof(WCHAR), found->size);

    auto* name = static_cast<PUNICODE_STRING>(buffer);
    EXPECT_EQ(path, vextest::Text(name));
    EXPECT_EQ((PWSTR)(name + 1), name->Buffer) << "the text follows the header";
    ExFreePoolWithTag(buffer, VEXR_TAG);
}

TEST_F(DlExtFuncTest, CallerBuffersAreFilledOnceOrRefused)
{
    Load();
    vexsim::ClearDebugOutput();
    UCHAR storage[256] = {};
    PVOID buffer = storage;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, QueryInformationProcess(ProcessHandle(), ProcessImageFileName, &buffer, 0));
    EXPECT_TRUE(vextest::HasDebugLine("[DlExtFunc] QueryInformationProcess : ProcessInformationLength is zero."));

    ULONG needed = (ULONG)(sizeof(UNICODE_STRING) + sizeof(u"\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe"));
    EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, QueryInformationProcess(ProcessHandle(), ProcessImageFileName, &buffer, 16));
    EXPECT_TRUE(vextest::HasDebugLine("[DlExtFunc] QueryInformationProcess failed : C0000004 " + std::to_string(needed)));

    ASSERT_EQ(STATUS_SUCCESS, QueryInformationProcess(ProcessHandle(), ProcessImageFileName, &buffer, sizeof(storage)));
    EXPECT_EQ(storage, buffer) << "the caller's buffer is used, not replaced";
    EXPECT_EQ(u"\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe", vextest::Text((PUNICODE_STRING)storage));

    buffer = storage;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, QuerySystemInformation(&buffer));
    EXPECT_TRUE(vextest::HasDebugLine("[DlExtFunc] QuerySystemInformation : SystemInformationLength is zero."));
    EXPECT_EQ(0u, NewAllocations());
}

// The sizing loop's failing exits other than allocation.
struct LoopExit {
    const char* what;
    size_t realCallsFirst;  // answered by the routine itself before the forced answer
    NTSTATUS answer;
    ULONG answeredLength;
    NTSTATUS expected;
};

TEST_F(DlExtFuncTest, TheSizingLoopStopsOnAnyOtherAnswerAndOnAZeroSize)
{
    Record();
    Load();
    const LoopExit exits[] = {
        {"refused", 0, STATUS_ACCESS_DENIED, 0, STATUS_ACCESS_DENIED},
        {"mismatch without a size", 0, STATUS_INFO_LENGTH_MISMATCH, 0, STATUS_INSUFFICIENT_RESOURCES},
        {"refused once sized: the allocation is freed", 1, STATUS_ACCESS_DENIED, 0, STATUS_ACCESS_DENIED},
    };
    for (const Wrapper& wrapper : kWrappers) {
        for (const LoopExit& exit : exits) {
            SCOPED_TRACE(std::string(wrapper.unresolvedLine) + ": " + exit.what);
            vexsim::ClearDebugOutput();
            g_calls.clear();
            g_forcedStatus = exit.answer;
            g_forcedLength = exit.answeredLength;
            g_realCallsFirst = exit.realCallsFirst;
            EXPECT_EQ(exit.expected, wrapper.call(this));
            EXPECT_EQ(exit.realCallsFirst + 1, g_calls.size()) << "no retry after the forced answer";
            std::string line = exit.answer == STATUS_INFO_LENGTH_MISMATCH ? std::string(wrapper.zeroSizeLine)
                                                                          : wrapper.nonMismatchLine + std::string("C0000022");
            EXPECT_EQ(std::vector<std::string>{line}, vexsim::DebugOutput());
            EXPECT_EQ(0u, NewAllocations());
        }
    }
}

TEST_F(DlExtFuncTest, EveryAllocationFailureOfTheQueriesIsReportedAndLeaksNothing)
{
    Load();
    for (const Wrapper& wrapper : kWrappers) {
        SCOPED_TRACE(wrapper.unresolvedLine);
        NTSTATUS last = vextest::ForEachAllocationFailure(
            [&] {
                vexsim::ClearDebugOutput();
                return wrapper.call(this);
            },
            [&](NTSTATUS status, int failing) {
                EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << "allocation " << failing;
                EXPECT_EQ(std::vector<std::string>{wrapper.noResourcesLine}, vexsim::DebugOutput()) << "allocation " << failing;
                EXPECT_EQ(0u, NewAllocations()) << "allocation " << failing;
            });
        EXPECT_EQ(STATUS_SUCCESS, last);
    }
}

TEST_F(DlExtFuncTest, SetKeyLastWriteTimeWritesTheKeysTimeOnceTheKernelHasTheRoutine)
{
    vexsim::HideExport(u"ZwSetInformationKey");
    vexsim::HideExport(u"MmCopyMemory");
    Load();
    vexsim::UnhideExport(u"MmCopyMemory");
    EXPECT_TRUE(vextest::HasDebugLine("[DlExtFunc] Cannot resolve ZwSetInformationKey")) << "start-up tried";
    EXPECT_TRUE(vextest::HasDebugLine("[DlExtFunc] Cannot resolve MmCopyMemory")) << "start-up tried";
    vexsim::ClearDebugOutput();
    LARGE_INTEGER time;
    time.QuadPart = 130000000000000000LL;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetKeyLastWriteTime(NULL, time));
    EXPECT_EQ(std::vector<std::string>{"[DlExtFunc] Cannot resolve ZwSetInformationKey"}, vexsim::DebugOutput());

    vexsim::UnhideExport(u"ZwSetInformationKey");
    vextest::KernelKey key;
    ASSERT_EQ(STATUS_SUCCESS, key.Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Stamped"));
    EXPECT_EQ(STATUS_SUCCESS, SetKeyLastWriteTime(key.handle(), time));
    KEY_BASIC_INFORMATION info{};
    ULONG length = 0;
    (void)ZwQueryKey(key.handle(), KeyBasicInformation, &info, sizeof(info), &length);
    EXPECT_EQ(time.QuadPart, info.LastWriteTime.QuadPart);
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(key.handle()));
}

}  // namespace

// The copy reads the attached process's user range only: a range touching the user-mode limit
// or wrapping around is refused before anything is read, even where memory is mapped there.
TEST_F(DlExtFuncTest, TheFaultSafeCopyStaysBelowTheUserModeLimit)
{
    Load();
    const ULONG_PTR limit = MM_USER_PROBE_ADDRESS;
    vexsim::MapProcessMemory(process_, limit - 0x1000, std::vector<unsigned char>(0x2000, 0x5A));
    struct Case {
        ULONG_PTR source;
        SIZE_T length;
        NTSTATUS expected;
    } cases[] = {
        {limit - 8, 8, STATUS_SUCCESS},                 // ends exactly at the limit
        {limit - 8, 9, STATUS_ACCESS_VIOLATION},        // one byte into system space
        {limit, 1, STATUS_ACCESS_VIOLATION},
        {limit - 8, ~(SIZE_T)0, STATUS_ACCESS_VIOLATION},  // wraps around
        {0x1000, 8, STATUS_ACCESS_VIOLATION},           // unmapped
        {0x1000, 0, STATUS_SUCCESS},                    // nothing to read
    };
    KAPC_STATE apcState;
    KeStackAttachProcess((PKPROCESS)process_, &apcState);
    for (const Case& c : cases) {
        unsigned char target[16] = {};
        EXPECT_EQ(c.expected, CopyFromUserAddress(target, c.source, c.length)) << std::hex << c.source << " + " << c.length;
    }
    KeUnstackDetachProcess(&apcState);
}
