#include "sim/ps/process.h"

#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/rtl/utf.h"
#include "sim/ps/notify_routines.h"
#include "sim/ps/thread.h"

#include <map>

namespace vexsim {

namespace {

constexpr ULONG_PTR kSystemProcessId = 4;
constexpr ULONG_PTR kFirstClientId = 8;

std::mutex g_processLock;
std::map<ULONG_PTR, PEPROCESS> g_processes;  // live processes by id, each referenced; guarded by g_processLock
ULONG_PTR g_nextClientId = kFirstClientId;   // guarded by g_processLock

std::mutex g_hookLock;
ProcessHook g_hook;                  // guarded by g_hookLock
thread_local bool t_inHook = false;  // the calling thread is running the hook

void DeleteProcess(PVOID body)
{
    auto* process = static_cast<PEPROCESS>(body);
    if (process->mainThread != nullptr) {
        DereferenceObject(process->mainThread);
    }
    if (process->imageFile != nullptr) {
        DereferenceObject(process->imageFile);
    }
    process->~_EPROCESS();
}

std::string DescribeProcess(PVOID body)
{
    auto* process = static_cast<PEPROCESS>(body);
    return "(pid " + std::to_string(process->id) + ", " + Utf16ToUtf8(process->imageName) + ")";
}

_OBJECT_TYPE g_processType{
    "Process",
    {STANDARD_RIGHTS_READ | 0x0010 | PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION,
     STANDARD_RIGHTS_WRITE | 0x0002 | 0x0008 | 0x0020 | 0x0040 | 0x0080 | 0x0100 | 0x0200 | 0x0800,
     STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE | 0x0001,
     PROCESS_ALL_ACCESS},
    PROCESS_ALL_ACCESS,
    nullptr,
    DeleteProcess,
    DescribeProcess,
};
POBJECT_TYPE g_processTypePointer = &g_processType;

std::u16string LastComponent(const std::u16string& path)
{
    size_t slash = path.find_last_of(u'\\');
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

LONGLONG Now()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

PEPROCESS NewProcessObject()
{
    PVOID body = CreateObject(&g_processType, sizeof(_EPROCESS));
    return new (body) _EPROCESS{};
}

}  // namespace

ULONG_PTR AllocateClientId()
{
    std::lock_guard lock(g_processLock);
    ULONG_PTR id = g_nextClientId;
    g_nextClientId += 4;
    return id;
}

std::mutex& ProcessLock()
{
    return g_processLock;
}

HandleTable& HandleTableOf(PEPROCESS process)
{
    return *process->handles;
}

PEPROCESS CreateUserProcess(const ProcessParams& params)
{
    PEPROCESS process = NewProcessObject();
    process->id = params.id != 0 ? params.id : AllocateClientId();
    process->parentId = params.parentId;
    process->createTime = Now();
    process->imagePath = params.imagePath;
    process->imageName = LastComponent(params.imagePath);
    process->sessionId = params.sessionId;
    process->wow64 = params.wow64;
    process->userSid = params.userSid;
    process->administrator = params.administrator;
    process->integrityLevel = params.integrityLevel;
    process->ownHandles = std::make_unique<HandleTable>();
    process->handles = process->ownHandles.get();
    process->mainThread = CreateThreadObject(process, nullptr, false);
    std::lock_guard lock(g_processLock);
    if (!g_processes.emplace(process->id, process).second) {
        StopMachine("process id " + std::to_string(process->id) + " is in use");
    }
    return process;
}

void EndProcess(PEPROCESS process, NTSTATUS exitStatus)
{
    std::vector<PETHREAD> threads;
    {
        std::lock_guard lock(g_processLock);
        if (process == PsInitialSystemProcess) {
            StopMachine("the System process cannot be ended");
        }
        if (process->exited.exchange(true)) {
            return;
        }
        process->exitStatus = exitStatus;
    }
    // The exit notification runs while the process can still be looked up by its id.
    NotifyProcessExit(process);
    {
        std::lock_guard lock(g_processLock);
        g_processes.erase(process->id);
        threads = process->threads;
    }
    for (PETHREAD thread : threads) {
        EndThreadObject(thread, exitStatus);
    }
    process->ownHandles->CloseAll();
    // The main thread references the process; dropping it here breaks the cycle.
    PETHREAD mainThread = process->mainThread;
    process->mainThread = nullptr;
    DereferenceObject(mainThread);
    DereferenceObject(process);
}

PEPROCESS ReferenceProcessById(ULONG_PTR id)
{
    std::lock_guard lock(g_processLock);
    auto it = g_processes.find(id);
    if (it == g_processes.end()) {
        return nullptr;
    }
    ReferenceObject(it->second);
    return it->second;
}

std::vector<PEPROCESS> ReferenceLiveProcesses()
{
    std::lock_guard lock(g_processLock);
    std::vector<PEPROCESS> out;
    for (auto& [id, process] : g_processes) {
        ReferenceObject(process);
        out.push_back(process);
    }
    return out;
}

void SetProcessHook(ProcessHook hook)
{
    std::lock_guard lock(g_hookLock);
    g_hook = std::move(hook);
}

void RunProcessHook(ProcessHookPoint point, ULONG_PTR id)
{
    ProcessHook hook;
    {
        std::lock_guard lock(g_hookLock);
        hook = g_hook;
    }
    if (hook && !t_inHook) {
        t_inHook = true;
        hook(point, id);
        t_inHook = false;
    }
}

void BootProcesses()
{
    SetProcessHook(nullptr);
    {
        std::lock_guard lock(g_processLock);
        g_processes.clear();
        g_nextClientId = kFirstClientId;
    }
    PEPROCESS system = NewProcessObject();
    system->id = kSystemProcessId;
    system->parentId = 0;
    system->createTime = Now();
    system->imageName = u"System";
    system->sessionId = 0;
    system->userSid = "S-1-5-18";
    system->administrator = true;
    system->integrityLevel = kSystemIntegrity;
    system->handles = &KernelHandleTable();
    std::lock_guard lock(g_processLock);
    g_processes.emplace(system->id, system);
    PsInitialSystemProcess = system;
}

void ShutdownProcesses()
{
    std::lock_guard lock(g_processLock);
    g_processes.clear();
    PsInitialSystemProcess = nullptr;
}

}  // namespace vexsim

using namespace vexsim;

extern "C" {
POBJECT_TYPE* PsProcessType = &g_processTypePointer;
PEPROCESS PsInitialSystemProcess = nullptr;
}

extern "C" PEPROCESS NTAPI IoGetCurrentProcess(VOID)
{
    return CurrentContext().process;
}

extern "C" HANDLE NTAPI PsGetProcessId(PEPROCESS Process)
{
    return reinterpret_cast<HANDLE>(Process->id);
}

extern "C" HANDLE NTAPI PsGetCurrentProcessId(VOID)
{
    return PsGetProcessId(CurrentContext().process);
}

// Since Windows Vista an unknown id is answered with STATUS_INVALID_CID (STATUS_INVALID_PARAMETER
// was the answer up to Windows XP). Ended processes are off the list and unknown here, even while
// references keep their objects alive.
extern "C" NTSTATUS NTAPI PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process)
{
    *Process = nullptr;
    PEPROCESS process = ReferenceProcessById(reinterpret_cast<ULONG_PTR>(ProcessId));
    if (process == nullptr) {
        return STATUS_INVALID_CID;
    }
    HeaderOf(process).driverReferences.fetch_add(1);
    *Process = process;
    RunProcessHook(ProcessHookPoint::Lookup, process->id);
    return STATUS_SUCCESS;
}

extern "C" LONGLONG NTAPI PsGetProcessCreateTimeQuadPart(PEPROCESS Process)
{
    return Process->createTime;
}

// Windows documents no order between the exit status and the exit notify routines; drivers read
// the status in those routines, so this kernel sets it first (EndProcess), and an ended process
// keeps it. STATUS_PENDING means "still running", as GetExitCodeProcess's STILL_ACTIVE does.
extern "C" NTSTATUS NTAPI PsGetProcessExitStatus(PEPROCESS Process)
{
    std::lock_guard lock(g_processLock);
    return Process->exited ? Process->exitStatus : STATUS_PENDING;
}
