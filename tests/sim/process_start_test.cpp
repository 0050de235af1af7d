// Starting processes from image files: create, exit and load-image notifications with what
// Windows passes, process memory with image headers and the environment block, attaching and
// copying from it without faulting.
#include "sim/fs/file_system.h"
#include "sim/machine/machine.h"
#include "sim/ps/process_memory.h"
#include "sim/ps/process_start.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <string>
#include <vector>

namespace {

using vextest::Text;
using vextest::Utf8;

struct Seen {
    std::string event;        // "create", "exit" or "image"
    ULONG_PTR processId;
    ULONG_PTR contextProcessId;  // the process current while the routine ran
    ULONG_PTR parentId;
    ULONG_PTR creatorId;
    std::u16string name;      // ImageFileName or FullImageName
    std::u16string fileName;  // FileObject->FileName
    bool hasVpb;
    std::u16string commandLine;
};

std::vector<Seen> g_seen;

VOID NTAPI RecordCreateOrExit(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo)
{
    UNREFERENCED_PARAMETER(Process);
    Seen seen{CreateInfo ? "create" : "exit", (ULONG_PTR)ProcessId, (ULONG_PTR)PsGetCurrentProcessId(), 0, 0, {}, {}, false, {}};
    if (CreateInfo != nullptr) {
        seen.parentId = (ULONG_PTR)CreateInfo->ParentProcessId;
        seen.creatorId = (ULONG_PTR)CreateInfo->CreatingThreadId.UniqueProcess;
        seen.name = Text(CreateInfo->ImageFileName);
        seen.fileName = Text(&CreateInfo->FileObject->FileName);
        seen.hasVpb = CreateInfo->FileObject->Vpb != nullptr;
        seen.commandLine = Text(CreateInfo->CommandLine);
    }
    g_seen.push_back(seen);
}

VOID NTAPI RecordImage(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo)
{
    UNREFERENCED_PARAMETER(ImageInfo);
    g_seen.push_back(Seen{"image", (ULONG_PTR)ProcessId, (ULONG_PTR)PsGetCurrentProcessId(), 0, 0, Text(FullImageName), {}, false, {}});
}

VOID NTAPI Refuse(PEPROCESS, HANDLE, PPS_CREATE_NOTIFY_INFO CreateInfo)
{
    if (CreateInfo != nullptr) {
        CreateInfo->CreationStatus = STATUS_ACCESS_DENIED;
    }
}

class ProcessStartTest : public vextest::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        g_seen.clear();
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LayDownWindowsVolume());
        ASSERT_EQ(STATUS_SUCCESS, vexsim::AddNetworkShare(u"fileserver", u"tools"));
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(u"\\\\fileserver\\tools\\bin\\tool.exe"));
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(u"C:\\Program Files\\Vendor Suite\\app32.exe", {2, true}));
    }

    PEPROCESS Start(const std::u16string& image, PEPROCESS parent = nullptr)
    {
        vexsim::StartParams params;
        params.imagePath = image;
        params.parent = parent;
        PEPROCESS process = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, vexsim::StartProcess(params, &process));
        return process;
    }
};

TEST_F(ProcessStartTest, CreationIsNotifiedInTheCreatorsContextWithTheImageAsOpened)
{
    ASSERT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(RecordCreateOrExit, FALSE));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PsSetCreateProcessNotifyRoutineEx(RecordCreateOrExit, FALSE)) << "registered twice";
    PEPROCESS explorer = Start(u"C:\\Windows\\explorer.exe");
    PEPROCESS app = Start(u"C:\\PROGRA~1\\VENDOR~1\\app32.exe", explorer);
    PEPROCESS tool = Start(u"\\\\fileserver\\tools\\bin\\tool.exe", explorer);
    ASSERT_EQ(3u, g_seen.size());
    const Seen& local = g_seen[1];
    EXPECT_EQ(app->id, local.processId);
    EXPECT_EQ(explorer->id, local.contextProcessId) << "the creator is current";
    EXPECT_EQ(explorer->id, local.parentId);
    EXPECT_EQ(explorer->id, local.creatorId);
    EXPECT_EQ(u"\\??\\C:\\PROGRA~1\\VENDOR~1\\app32.exe", local.name);
    EXPECT_EQ(u"\\PROGRA~1\\VENDOR~1\\app32.exe", local.fileName);
    EXPECT_TRUE(local.hasVpb);
    EXPECT_EQ(u"\"C:\\PROGRA~1\\VENDOR~1\\app32.exe\"", local.commandLine);
    EXPECT_TRUE(app->wow64) << "a 32-bit image runs under WOW64";
    EXPECT_EQ(u"\\Device\\HarddiskVolume3\\PROGRA~1\\VENDOR~1\\app32.exe", app->imagePath);

    const Seen& network = g_seen[2];
    EXPECT_EQ(u"\\??\\UNC\\fileserver\\tools\\bin\\tool.exe", network.name);
    EXPECT_EQ(u"\\fileserver\\tools\\bin\\tool.exe", network.fileName);
    EXPECT_FALSE(network.hasVpb) << "network files have no volume parameter block";

    ULONG_PTR toolId = tool->id;
    vexsim::EndProcess(tool);
    ASSERT_EQ(4u, g_seen.size());
    EXPECT_EQ("exit", g_seen[3].event);
    EXPECT_EQ(toolId, g_seen[3].contextProcessId) << "the exiting process is current";
    EXPECT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(RecordCreateOrExit, TRUE));
    EXPECT_EQ((NTSTATUS)0xC000007A, PsSetCreateProcessNotifyRoutineEx(RecordCreateOrExit, TRUE));
}

TEST_F(ProcessStartTest, ARoutineCanRefuseACreationAndTheProcessEndsAgain)
{
    ASSERT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(Refuse, FALSE));
    vexsim::StartParams params;
    params.imagePath = u"C:\\Windows\\System32\\notepad.exe";
    PEPROCESS process = reinterpret_cast<PEPROCESS>(1);
    EXPECT_EQ(STATUS_ACCESS_DENIED, vexsim::StartProcess(params, &process));
    EXPECT_EQ(nullptr, process);
    EXPECT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(Refuse, TRUE));
    params.imagePath = u"C:\\Windows";
    EXPECT_EQ(STATUS_FILE_IS_A_DIRECTORY, vexsim::StartProcess(params, &process));
    params.imagePath = u"C:\\Windows\\missing.exe";
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, vexsim::StartProcess(params, &process));
}

TEST_F(ProcessStartTest, ImageLoadsAreNotifiedInTheLoadingProcessWithDevicePaths)
{
    ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(RecordImage));
    PEPROCESS app = Start(u"C:\\Program Files\\Vendor Suite\\app32.exe");
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadSystemLibraries(app));
    std::vector<std::string> names;
    for (const Seen& seen : g_seen) {
        EXPECT_EQ(app->id, seen.processId);
        EXPECT_EQ(app->id, seen.contextProcessId);
        names.push_back(Utf8(seen.name));
    }
    EXPECT_EQ((std::vector<std::string>{"\\Device\\HarddiskVolume3\\Program Files\\Vendor Suite\\app32.exe",
                                         "\\Device\\HarddiskVolume3\\Windows\\System32\\ntdll.dll",
                                         "\\Device\\HarddiskVolume3\\Windows\\SysWOW64\\ntdll.dll",
                                         "\\Device\\HarddiskVolume3\\Windows\\SysWOW64\\KernelBase.dll"}),
              names);
    EXPECT_EQ(STATUS_SUCCESS, PsRemoveLoadImageNotifyRoutine(RecordImage));
}

TEST_F(ProcessStartTest, NotifyRoutinesLeftRegisteredAreReportedAsLeftovers)
{
    ASSERT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(RecordCreateOrExit, FALSE));
    ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(RecordImage));
    vexsim::Leftovers leftovers = vexsim::CheckLeftovers();
    ASSERT_EQ(2u, leftovers.size());
    EXPECT_NE(std::string::npos, leftovers[0].find("create-process notify routine"));
    EXPECT_NE(std::string::npos, leftovers[1].find("load-image notify routine"));
    EXPECT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(RecordCreateOrExit, TRUE));
    EXPECT_EQ(STATUS_SUCCESS, PsRemoveLoadImageNotifyRoutine(RecordImage));
}

// Reads as a driver must: attached, through MmCopyMemory.
template <typename T>
NTSTATUS ReadAttached(PEPROCESS process, ULONG_PTR address, T* value)
{
    KAPC_STATE state;
    KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(process), &state);
    SIZE_T copied = 0;
    MM_COPY_ADDRESS source;
    source.VirtualAddress = reinterpret_cast<PVOID>(address);
    NTSTATUS status = MmCopyMemory(value, source, sizeof(T), MM_COPY_MEMORY_VIRTUAL, &copied);
    KeUnstackDetachProcess(&state);
    return status;
}

void CheckImageHeadersAndCommandLine(ULONG_PTR id)
{
    vexsim::StartParams params;
    params.imagePath = u"C:\\Windows\\System32\\cmd.exe";
    params.commandLine = u"cmd.exe /c dir";
    params.id = id;
    PEPROCESS cmd = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, vexsim::StartProcess(params, &cmd));
    auto base = reinterpret_cast<ULONG_PTR>(PsGetProcessSectionBaseAddress(cmd));
    auto peb = reinterpret_cast<ULONG_PTR>(PsGetProcessPeb(cmd));

    USHORT magic = 0;
    LONG lfanew = 0;
    USHORT subsystem = 0;
    USHORT optionalMagic = 0;
    ASSERT_EQ(STATUS_SUCCESS, ReadAttached(cmd, base, &magic));
    ASSERT_EQ(STATUS_SUCCESS, ReadAttached(cmd, base + 0x3C, &lfanew));
    ASSERT_EQ(STATUS_SUCCESS, ReadAttached(cmd, base + lfanew + 0x5C, &subsystem));
    ASSERT_EQ(STATUS_SUCCESS, ReadAttached(cmd, base + lfanew + 0x18, &optionalMagic));
    EXPECT_EQ(0x5A4D, magic);
    EXPECT_EQ(3, subsystem) << "console";
    EXPECT_EQ(0x20B, optionalMagic);

    ULONG_PTR parameters = 0;
    UNICODE_STRING commandLine{};
    ASSERT_EQ(STATUS_SUCCESS, ReadAttached(cmd, peb + 0x20, &parameters));
    ASSERT_EQ(STATUS_SUCCESS, ReadAttached(cmd, parameters + 0x70, &commandLine));
    std::vector<char16_t> text(commandLine.Length / 2);
    ASSERT_TRUE(vexsim::ReadProcessMemory(cmd, (ULONG_PTR)commandLine.Buffer, text.data(), commandLine.Length));
    EXPECT_EQ(u"cmd.exe /c dir", std::u16string(text.begin(), text.end()));

    EXPECT_EQ(STATUS_ACCESS_VIOLATION, ReadAttached(PsInitialSystemProcess, base, &magic))
        << "another address space does not have the image";
    vexsim::SetProcessMemoryReadable(cmd, parameters, false);
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, ReadAttached(cmd, parameters + 0x70, &commandLine)) << "a faulting read is a status";
}

TEST_F(ProcessStartTest, MemoryHoldsImageHeadersAndTheCommandLineAtTheX64Offsets)
{
    // The next id, and one far above it: images stay in the user range whatever the id.
    for (ULONG_PTR id : {ULONG_PTR(0), ULONG_PTR(400000)}) {
        SCOPED_TRACE(id);
        CheckImageHeadersAndCommandLine(id);
    }
}

NTSTATUS g_registration = STATUS_PENDING;

NTSTATUS NTAPI RegisteringDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    g_registration = PsSetCreateProcessNotifyRoutineEx(RecordCreateOrExit, FALSE);
    if (NT_SUCCESS(g_registration)) {
        (void)PsSetCreateProcessNotifyRoutineEx(RecordCreateOrExit, TRUE);
    }
    return STATUS_SUCCESS;
}

TEST_F(ProcessStartTest, OnlyADriverLinkedWithTheIntegrityCheckFlagMayWatchProcessCreation)
{
    const std::pair<USHORT, NTSTATUS> cases[] = {
        {0x0160, STATUS_ACCESS_DENIED},                         // dynamic base, NX, high entropy: no integrity check
        {0x0160 | vexsim::kImageDllForceIntegrity, STATUS_SUCCESS},
    };
    for (const auto& [characteristics, expected] : cases) {
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadDriver(RegisteringDriverEntry, "Watcher", vexsim::DriverImage{characteristics}));
        EXPECT_EQ(expected, g_registration) << std::hex << characteristics;
        EXPECT_TRUE(vexsim::UnloadDriver().leftovers.empty());
    }
}

TEST_F(ProcessStartTest, ARecycledIdCanBeGivenToANewProcess)
{
    PEPROCESS first = Start(u"C:\\Windows\\explorer.exe");
    ULONG_PTR id = first->id;
    vexsim::EndProcess(first);
    vexsim::StartParams params;
    params.imagePath = u"C:\\Windows\\System32\\notepad.exe";
    params.id = id;
    PEPROCESS second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, vexsim::StartProcess(params, &second));
    EXPECT_EQ(id, second->id);
}

TEST_F(ProcessStartTest, AnImageWhoseNameACountedStringCannotHoldIsRefused)
{
    std::u16string path = u"C:\\Deep";
    while (path.size() < 32767) {
        path += u"\\" + std::u16string(250, u'd');
    }
    path += u"\\app.exe";
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(path));
    vexsim::StartParams params;
    params.imagePath = path;
    PEPROCESS process = nullptr;
    EXPECT_EQ(STATUS_NAME_TOO_LONG, vexsim::StartProcess(params, &process));
    EXPECT_EQ(nullptr, process);
}

}  // namespace
