// The filter manager's host API: unloading a driver's filters. Host code only.
//
// A registered filter is an object holding a reference on its driver object; the filter list
// (registration order) holds the filter's reference until FltUnregisterFilter. One lock guards
// the list; it is never held while a filter's callback runs.
#pragma once

#include "sim/core/kernel.h"

#include <string>
#include <vector>

namespace vexsim {

// Pool tag under which FltRegisterFilter asks the allocation hook before creating the filter: the
// filter record comes from pool on Windows, so a registration fails with
// STATUS_INSUFFICIENT_RESOURCES under low resources. The tag is this kernel's choice ("FMfl" in
// pool dumps).
constexpr ULONG kFilterTag = 'lfMF';

// Asks each filter the driver registered, newest first, to unload through its
// FilterUnloadCallback (flags 0, or FLTFL_FILTER_UNLOAD_MANDATORY), in the System process at
// PASSIVE_LEVEL. Returns the first failure a callback answered, STATUS_FLT_DO_NOT_DETACH for a
// filter without a callback when the unload is optional, or STATUS_SUCCESS. On a mandatory unload
// every filter is asked whatever the others answered.
[[nodiscard]] NTSTATUS UnloadFilters(PDRIVER_OBJECT driver, bool mandatory);

// Is the filter registered (and not yet unregistered)?
bool IsRegisteredFilter(PFLT_FILTER filter);

// Filters of any driver still registered.
size_t RegisteredFilterCount();

}  // namespace vexsim
