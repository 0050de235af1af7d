#include "sim/flt/filter.h"

#include "sim/flt/port.h"

#include "sim/cm/registry.h"
#include "sim/core/components.h"
#include "sim/executive/fault_injection.h"
#include "sim/io/io_internal.h"
#include "sim/ob/object.h"
#include "sim/ps/thread.h"
#include "sim/regfile/regfile.h"

#include <algorithm>
#include <mutex>

struct _FLT_FILTER {
    PDRIVER_OBJECT driver;                        // referenced
    PFLT_FILTER_UNLOAD_CALLBACK unloadCallback;   // may be null: the filter cannot be unloaded on request
};

namespace vexsim {

namespace {

constexpr USHORT kRegistrationSize = 104;
// Longest operation list accepted; a list without its IRP_MJ_OPERATION_END would run on forever.
constexpr size_t kMaxOperations = 64;
// Major functions a filter may name: the IRP ones and the filter manager's own, which count down
// from (UCHAR)-1.
constexpr UCHAR kLowestFilterManagerOperation = 0xEC;

std::mutex g_filtersLock;
std::vector<PFLT_FILTER> g_filters;  // registered filters in registration order; guarded by g_filtersLock

void DeleteFilter(PVOID body)
{
    DereferenceObject(static_cast<PFLT_FILTER>(body)->driver);
}

std::string DescribeFilter(PVOID body)
{
    return "of " + NameForReport(static_cast<PFLT_FILTER>(body)->driver);
}

_OBJECT_TYPE g_filterType{"Filter", {0, 0, 0, STANDARD_RIGHTS_ALL}, STANDARD_RIGHTS_ALL, nullptr, DeleteFilter, DescribeFilter};

bool IsValidOperationList(const FLT_OPERATION_REGISTRATION* operations)
{
    if (operations == nullptr) {
        return true;
    }
    for (size_t i = 0; i < kMaxOperations; ++i) {
        UCHAR major = operations[i].MajorFunction;
        if (major == IRP_MJ_OPERATION_END) {
            return true;
        }
        if (major > IRP_MJ_MAXIMUM_FUNCTION && major < kLowestFilterManagerOperation) {
            return false;
        }
    }
    return false;
}

// Unloading runs in the System process at PASSIVE_LEVEL in the calling host thread.
NTSTATUS CallUnload(PFLT_FILTER filter, FLT_FILTER_UNLOAD_FLAGS flags)
{
    ThreadContext saved = CurrentContext();
    ThreadContext system = saved;
    system.process = PsInitialSystemProcess;
    system.irql = PASSIVE_LEVEL;
    system.previousMode = KernelMode;
    if (saved.process != PsInitialSystemProcess) {
        StopMachine("filters are unloaded from a thread of the System process");
    }
    SetCurrentContext(system);
    NTSTATUS status = filter->unloadCallback(flags);
    SetCurrentContext(saved);
    return status;
}

// The filter manager reads a minifilter's instances from its service key, which the driver's INF
// writes: \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<driver name>\Instances, whose
// DefaultInstance value names a subkey with an Altitude. Windows documents
// STATUS_OBJECT_NAME_NOT_FOUND for a missing service key or Instances subkey; a missing default
// instance or altitude gets the same answer here (this kernel's choice: no finer status is
// documented).
NTSTATUS CheckInstancesInstalled(PDRIVER_OBJECT driver)
{
    std::u16string driverName(reinterpret_cast<const char16_t*>(driver->DriverName.Buffer),
                              driver->DriverName.Length / sizeof(WCHAR));
    std::u16string serviceName = driverName.substr(driverName.rfind(u'\\') + 1);
    std::lock_guard lock(TreeLock());
    if (!IsRegistryRunning()) {
        // The filter manager's own component tests boot it without the configuration manager:
        // there is no service key to consult. A whole machine always has its registry.
        return STATUS_SUCCESS;
    }
    std::shared_ptr<KeyNode> instances;
    std::string problem;
    NTSTATUS status = WalkRegistryPath({u"MACHINE", u"SYSTEM", u"CurrentControlSet", u"Services", serviceName, u"Instances"},
                                       nullptr, &instances, &problem);
    if (!NT_SUCCESS(status)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const KeyValue* defaultInstance = FindValue(*instances, u"DefaultInstance");
    if (defaultInstance == nullptr || defaultInstance->type != REG_SZ || defaultInstance->data.size() < sizeof(WCHAR)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::u16string instanceName(reinterpret_cast<const char16_t*>(defaultInstance->data.data()),
                                defaultInstance->data.size() / sizeof(WCHAR));
    instanceName.resize(std::char_traits<char16_t>::length(instanceName.c_str()));
    std::shared_ptr<KeyNode> instance = FindSubkey(*instances, instanceName);
    if (instance == nullptr || FindValue(*instance, u"Altitude") == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

}  // namespace

POBJECT_TYPE FilterObjectType()
{
    return &g_filterType;
}

NTSTATUS UnloadFilters(PDRIVER_OBJECT driver, bool mandatory)
{
    std::vector<PFLT_FILTER> filters;
    {
        std::lock_guard lock(g_filtersLock);
        for (PFLT_FILTER filter : g_filters) {
            if (filter->driver == driver) {
                ReferenceObject(filter);
                filters.insert(filters.begin(), filter);
            }
        }
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (PFLT_FILTER filter : filters) {
        NTSTATUS status = STATUS_FLT_DO_NOT_DETACH;
        if (filter->unloadCallback != nullptr) {
            status = CallUnload(filter, mandatory ? FLTFL_FILTER_UNLOAD_MANDATORY : 0);
        } else if (mandatory) {
            status = STATUS_SUCCESS;
        }
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
            result = status;
        }
        DereferenceObject(filter);
        if (!NT_SUCCESS(result) && !mandatory) {
            break;
        }
    }
    return result;
}

bool IsRegisteredFilter(PFLT_FILTER filter)
{
    std::lock_guard lock(g_filtersLock);
    return std::find(g_filters.begin(), g_filters.end(), filter) != g_filters.end();
}

size_t RegisteredFilterCount()
{
    std::lock_guard lock(g_filtersLock);
    return g_filters.size();
}

void FilterManagerBoot(const MachineConfig& config)
{
    UNREFERENCED_PARAMETER(config);
    FilterManagerShutdown();
}

void FilterManagerShutdown()
{
    ResetPorts();
    std::lock_guard lock(g_filtersLock);
    g_filters.clear();
}

void FilterManagerLeftovers(Leftovers& out)
{
    ReportPorts(out);
    std::lock_guard lock(g_filtersLock);
    for (PFLT_FILTER filter : g_filters) {
        out.push_back("filter " + DescribeFilter(filter) + " still registered");
    }
}

}  // namespace vexsim

using namespace vexsim;

extern "C" NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION* Registration, PFLT_FILTER* RetFilter)
{
    if (Driver == nullptr || Registration == nullptr || RetFilter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *RetFilter = nullptr;
    if (Registration->Size != kRegistrationSize || Registration->Version != FLT_REGISTRATION_VERSION_0202 ||
        !IsValidOperationList(Registration->OperationRegistration)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CheckInstancesInstalled(Driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ShouldFailAllocation(kFilterTag)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* filter = static_cast<PFLT_FILTER>(CreateObject(&g_filterType, sizeof(_FLT_FILTER)));
    ReferenceObject(Driver);
    filter->driver = Driver;
    filter->unloadCallback = Registration->FilterUnloadCallback;
    std::lock_guard lock(g_filtersLock);
    g_filters.push_back(filter);
    *RetFilter = filter;
    return STATUS_SUCCESS;
}

extern "C" VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter)
{
    {
        std::lock_guard lock(g_filtersLock);
        auto it = std::find(g_filters.begin(), g_filters.end(), Filter);
        if (it == g_filters.end()) {
            StopMachine("FltUnregisterFilter on a filter that is not registered");
        }
        g_filters.erase(it);
    }
    DereferenceObject(Filter);
}
