// The tagged pool as the machine and tests see it: the ledger of live allocations.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <vector>

namespace vexsim {

struct PoolAllocation {
    const void* address;  // what ExAllocatePoolWithTag returned
    ULONG tag;
    SIZE_T size;          // bytes requested
    POOL_TYPE type;       // as requested, e.g. NonPagedPoolNx
    ULONG64 sequence;     // 1 for the first allocation of the boot, then counting up
    const void* caller;   // return address of the allocating call
};

// Live allocations in the order they were made.
std::vector<PoolAllocation> LivePoolAllocations();

// Live allocations with this tag.
size_t LivePoolAllocationCount(ULONG tag);

// Allocations made since boot (successful ones; injected failures are not counted here).
ULONG64 PoolAllocationTotal();

// Boot and shutdown: returns the memory of every live allocation to the host and empties the
// ledger.
void ResetPool();

}  // namespace vexsim
