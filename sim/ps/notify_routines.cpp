#include "sim/ps/notify_routines.h"

#include "sim/io/io.h"
#include "sim/ps/process.h"
#include "sim/ps/thread.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

namespace vexsim {

namespace {

constexpr size_t kMaxRoutines = 64;
constexpr NTSTATUS kStatusProcedureNotFound = static_cast<NTSTATUS>(0xC000007AL);

struct NotifyTables {
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE_EX> createRoutines;
    std::vector<PLOAD_IMAGE_NOTIFY_ROUTINE> loadRoutines;
    std::map<void*, int> inFlight;  // calls running, by routine
};

std::mutex g_notifyLock;
std::condition_variable g_callsDone;  // a call ended or a create-process routine was removed
NotifyTables g_tables;  // guarded by g_notifyLock

// Calls each routine of a snapshot of the table, counting it in flight while it runs.
template <typename Routine, typename Call>
void CallEach(std::vector<Routine> NotifyTables::*table, Call call)
{
    std::vector<Routine> routines;
    {
        std::lock_guard lock(g_notifyLock);
        routines = g_tables.*table;
        for (Routine routine : routines) {
            g_tables.inFlight[reinterpret_cast<void*>(routine)]++;
        }
    }
    for (Routine routine : routines) {
        call(routine);
        std::lock_guard lock(g_notifyLock);
        g_tables.inFlight[reinterpret_cast<void*>(routine)]--;
        g_callsDone.notify_all();
    }
}

void WaitForCalls(std::unique_lock<std::mutex>& lock, void* routine)
{
    g_callsDone.wait(lock, [routine] { return g_tables.inFlight[routine] == 0; });
}

std::string FormatRoutine(void* routine)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", routine);
    return text;
}

}  // namespace

void RunAsProcess(PEPROCESS process, const std::function<void()>& body)
{
    ThreadContext saved = CurrentContext();
    if (process != PsInitialSystemProcess && process->mainThread != nullptr) {
        SetCurrentContext(ContextOfThread(process->mainThread, KernelMode));
    }
    body();
    SetCurrentContext(saved);
}

void NotifyProcessCreate(PEPROCESS creator, PEPROCESS process, PPS_CREATE_NOTIFY_INFO info)
{
    RunAsProcess(creator, [&] {
        CallEach(&NotifyTables::createRoutines, [&](PCREATE_PROCESS_NOTIFY_ROUTINE_EX routine) {
            routine(process, reinterpret_cast<HANDLE>(process->id), info);
        });
    });
}

void NotifyProcessExit(PEPROCESS process)
{
    RunAsProcess(process, [&] {
        CallEach(&NotifyTables::createRoutines, [&](PCREATE_PROCESS_NOTIFY_ROUTINE_EX routine) {
            routine(process, reinterpret_cast<HANDLE>(process->id), nullptr);
        });
    });
}

void NotifyImageLoad(PEPROCESS process, PUNICODE_STRING fullImageName, PIMAGE_INFO info)
{
    RunAsProcess(process, [&] {
        CallEach(&NotifyTables::loadRoutines, [&](PLOAD_IMAGE_NOTIFY_ROUTINE routine) {
            routine(fullImageName, reinterpret_cast<HANDLE>(process->id), info);
        });
    });
}

void WaitForCreateRoutineRemoval(PCREATE_PROCESS_NOTIFY_ROUTINE_EX routine)
{
    std::unique_lock lock(g_notifyLock);
    g_callsDone.wait(lock, [routine] {
        const auto& routines = g_tables.createRoutines;
        return std::find(routines.begin(), routines.end(), routine) == routines.end();
    });
}

void ResetNotifyRoutines()
{
    std::lock_guard lock(g_notifyLock);
    g_tables = NotifyTables{};
}

void ReportNotifyRoutines(Leftovers& out)
{
    std::lock_guard lock(g_notifyLock);
    for (auto routine : g_tables.createRoutines) {
        out.push_back("create-process notify routine " + FormatRoutine(reinterpret_cast<void*>(routine)) + " not removed");
    }
    for (auto routine : g_tables.loadRoutines) {
        out.push_back("load-image notify routine " + FormatRoutine(reinterpret_cast<void*>(routine)) + " not removed");
    }
}

}  // namespace vexsim

using namespace vexsim;

// A routine registered twice, or a full table, gets STATUS_INVALID_PARAMETER; removing one that
// is not registered gets STATUS_PROCEDURE_NOT_FOUND. A driver linked without the integrity-check
// flag may not register (STATUS_ACCESS_DENIED).
extern "C" NTSTATUS NTAPI PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX NotifyRoutine, BOOLEAN Remove)
{
    if (NotifyRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_lock lock(g_notifyLock);
    auto& routines = g_tables.createRoutines;
    auto found = std::find(routines.begin(), routines.end(), NotifyRoutine);
    if (Remove) {
        if (found == routines.end()) {
            return kStatusProcedureNotFound;
        }
        routines.erase(found);
        g_callsDone.notify_all();
        WaitForCalls(lock, reinterpret_cast<void*>(NotifyRoutine));
        return STATUS_SUCCESS;
    }
    if (!RunningDriverHasForceIntegrity()) {
        return STATUS_ACCESS_DENIED;
    }
    if (found != routines.end() || routines.size() >= kMaxRoutines) {
        return STATUS_INVALID_PARAMETER;
    }
    routines.push_back(NotifyRoutine);
    return STATUS_SUCCESS;
}

// A full table gets STATUS_INSUFFICIENT_RESOURCES. Registering a routine twice is refused with
// STATUS_INVALID_PARAMETER (this kernel's choice; Windows documents no answer).
extern "C" NTSTATUS NTAPI PsSetLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine)
{
    if (NotifyRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard lock(g_notifyLock);
    auto& routines = g_tables.loadRoutines;
    if (std::find(routines.begin(), routines.end(), NotifyRoutine) != routines.end()) {
        return STATUS_INVALID_PARAMETER;
    }
    if (routines.size() >= kMaxRoutines) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    routines.push_back(NotifyRoutine);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI PsRemoveLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine)
{
    std::unique_lock lock(g_notifyLock);
    auto& routines = g_tables.loadRoutines;
    auto found = std::find(routines.begin(), routines.end(), NotifyRoutine);
    if (found == routines.end()) {
        return kStatusProcedureNotFound;
    }
    routines.erase(found);
    WaitForCalls(lock, reinterpret_cast<void*>(NotifyRoutine));
    return STATUS_SUCCESS;
}
