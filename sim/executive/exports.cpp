// The export table: name -> address, plus the set of hidden names; one mutex guards both.
#include "sim/executive/exports.h"

#include "platform/platform.h"

#include <map>
#include <mutex>
#include <set>
#include <string>

namespace vexsim {

namespace {

struct ExportTable {
    std::mutex lock;
    std::map<std::u16string, void*, std::less<>> routines;
    std::set<std::u16string, std::less<>> hidden;
};

ExportTable g_exports;

struct ExecutiveExport {
    std::u16string_view name;
    void* address;
};

// The executive's routines a driver may look up by name.
const ExecutiveExport kExecutiveExports[] = {
    {u"ExAllocatePoolWithTag", reinterpret_cast<void*>(&ExAllocatePoolWithTag)},
    {u"ExFreePoolWithTag", reinterpret_cast<void*>(&ExFreePoolWithTag)},
    {u"KeGetCurrentIrql", reinterpret_cast<void*>(&KeGetCurrentIrql)},
    {u"KeRaiseIrql", reinterpret_cast<void*>(&KeRaiseIrql)},
    {u"KeLowerIrql", reinterpret_cast<void*>(&KeLowerIrql)},
    {u"KeInitializeEvent", reinterpret_cast<void*>(&KeInitializeEvent)},
    {u"KeSetEvent", reinterpret_cast<void*>(&KeSetEvent)},
    {u"KeClearEvent", reinterpret_cast<void*>(&KeClearEvent)},
    {u"KeResetEvent", reinterpret_cast<void*>(&KeResetEvent)},
    {u"KeReadStateEvent", reinterpret_cast<void*>(&KeReadStateEvent)},
    {u"KeWaitForSingleObject", reinterpret_cast<void*>(&KeWaitForSingleObject)},
    {u"KeDelayExecutionThread", reinterpret_cast<void*>(&KeDelayExecutionThread)},
    {u"ExInitializeFastMutex", reinterpret_cast<void*>(&ExInitializeFastMutex)},
    {u"ExAcquireFastMutex", reinterpret_cast<void*>(&ExAcquireFastMutex)},
    {u"ExReleaseFastMutex", reinterpret_cast<void*>(&ExReleaseFastMutex)},
    {u"ExTryToAcquireFastMutex", reinterpret_cast<void*>(&ExTryToAcquireFastMutex)},
    {u"KeQuerySystemTime", reinterpret_cast<void*>(&KeQuerySystemTime)},
    {u"ExSystemTimeToLocalTime", reinterpret_cast<void*>(&ExSystemTimeToLocalTime)},
    {u"RtlTimeToTimeFields", reinterpret_cast<void*>(&RtlTimeToTimeFields)},
    {u"RtlGetVersion", reinterpret_cast<void*>(&RtlGetVersion)},
    {u"KeBugCheckEx", reinterpret_cast<void*>(&KeBugCheckEx)},
    {u"MmGetSystemRoutineAddress", reinterpret_cast<void*>(&MmGetSystemRoutineAddress)},
};

}  // namespace

void RegisterExport(std::u16string_view name, void* address)
{
    std::lock_guard<std::mutex> guard(g_exports.lock);
    g_exports.routines.insert_or_assign(std::u16string(name), address);
}

void HideExport(std::u16string_view name)
{
    std::lock_guard<std::mutex> guard(g_exports.lock);
    g_exports.hidden.emplace(name);
}

void UnhideExport(std::u16string_view name)
{
    std::lock_guard<std::mutex> guard(g_exports.lock);
    if (auto found = g_exports.hidden.find(name); found != g_exports.hidden.end()) {
        g_exports.hidden.erase(found);
    }
}

void ResetExports()
{
    {
        std::lock_guard<std::mutex> guard(g_exports.lock);
        g_exports.hidden.clear();
    }
    for (const ExecutiveExport& routine : kExecutiveExports) {
        RegisterExport(routine.name, routine.address);
    }
}

}  // namespace vexsim

extern "C" PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    using namespace vexsim;
    if (SystemRoutineName == nullptr || SystemRoutineName->Buffer == nullptr) {
        return nullptr;
    }
    std::u16string_view name(reinterpret_cast<const char16_t*>(SystemRoutineName->Buffer),
                             SystemRoutineName->Length / sizeof(WCHAR));
    std::lock_guard<std::mutex> guard(g_exports.lock);
    if (g_exports.hidden.find(name) != g_exports.hidden.end()) {
        return nullptr;
    }
    auto found = g_exports.routines.find(name);
    return found == g_exports.routines.end() ? nullptr : found->second;
}
