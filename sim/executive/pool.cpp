// Tagged pool with a verifier's ledger.
//
// Every block handed out is recorded in the ledger (address -> tag, size, pool type, sequence
// number, caller) until it is freed. A freed address is remembered, with the tag it had, until the
// host hands it out again or kFreedAddressesKept later frees push it out (oldest first), so a
// second free of the same block is told apart from a free of an address the pool never handed
// out. Fresh blocks are filled with a non-zero pattern so code that reads memory it never wrote
// (relying on zero-fill it did not ask for) misbehaves visibly; freed blocks are overwritten
// before they go back to the host.
//
// One mutex guards the ledger, the freed addresses and the sequence counters. Contract breaches
// are detected under it but reported after it is dropped: a bug check never runs with it held.
#include "sim/executive/pool.h"

#include "sim/core/kernel.h"
#include "sim/executive/bugcheck.h"
#include "sim/executive/fault_injection.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace vexsim {

namespace {

constexpr unsigned char kFreshFill = 0xA5;
constexpr unsigned char kFreedFill = 0xDD;
constexpr SIZE_T kPageSize = 4096;
// Requests beyond this fail as a real pool would rather than exhausting the host.
constexpr SIZE_T kLargestAllocation = SIZE_T(1) << 32;
// Frees remembered for double-free detection; beyond this many the oldest is forgotten so a long
// run does not grow without bound.
constexpr size_t kFreedAddressesKept = size_t(1) << 20;

struct FreedBlock {
    ULONG tag;        // the tag it had
    ULONG64 freeNumber;  // which free it was, to tell a stale entry of freeOrder from the current one
};

struct PoolState {
    std::mutex lock;
    std::map<uintptr_t, PoolAllocation> live;
    std::unordered_map<uintptr_t, FreedBlock> freed;               // until reused or pushed out
    std::deque<std::pair<uintptr_t, ULONG64>> freeOrder;           // (address, freeNumber), oldest first
    ULONG64 sequence = 0;
    ULONG64 frees = 0;
};

PoolState g_pool;

bool IsPagedPool(POOL_TYPE type)
{
    return (static_cast<ULONG>(type) & 1) != 0;
}

// Blocks smaller than a page are 16-byte aligned, larger ones page-aligned, as on x64 Windows.
void* HostAllocate(SIZE_T size)
{
    SIZE_T alignment = size < kPageSize ? 16 : kPageSize;
    return std::aligned_alloc(alignment, ALIGN_UP_BY(size, alignment));
}

void CheckAllocationContract(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    KIRQL irql = CurrentContext().irql;
    if (IsPagedPool(type) && irql > APC_LEVEL) {
        BugCheck(kDriverVerifierDetectedViolation, kVerifierPagedAllocationAboveApc, irql, type, size,
                 "paged pool allocation at IRQL " + std::to_string(irql) + " (above APC_LEVEL)");
    }
    if (irql > DISPATCH_LEVEL) {
        BugCheck(kDriverVerifierDetectedViolation, kVerifierNonPagedAllocationAboveDispatch, irql, type, size,
                 "non-paged pool allocation at IRQL " + std::to_string(irql) + " (above DISPATCH_LEVEL)");
    }
    if (size == 0) {
        BugCheck(kDriverVerifierDetectedViolation, kVerifierZeroByteAllocation, irql, type, size,
                 "zero-byte pool allocation with tag '" + FormatPoolTag(tag) + "'");
    }
    if (tag == 0) {
        BugCheck(kBadPoolCaller, kPoolTagZero, type, size, 0, "pool allocation with tag 0");
    }
}

// Remembers a freed block; the caller holds the pool lock.
void RememberFreed(uintptr_t address, ULONG tag)
{
    if (g_pool.freeOrder.size() >= kFreedAddressesKept) {
        auto [oldest, number] = g_pool.freeOrder.front();
        g_pool.freeOrder.pop_front();
        if (auto entry = g_pool.freed.find(oldest); entry != g_pool.freed.end() && entry->second.freeNumber == number) {
            g_pool.freed.erase(entry);
        }
    }
    g_pool.freed[address] = FreedBlock{tag, ++g_pool.frees};
    g_pool.freeOrder.emplace_back(address, g_pool.frees);
}

void CheckFreeIrql(const PoolAllocation& block)
{
    KIRQL irql = CurrentContext().irql;
    if (IsPagedPool(block.type) && irql > APC_LEVEL) {
        BugCheck(kDriverVerifierDetectedViolation, kVerifierPagedFreeAboveApc, irql, block.type,
                 reinterpret_cast<ULONG_PTR>(block.address),
                 "paged pool freed at IRQL " + std::to_string(irql) + " (above APC_LEVEL)");
    }
    if (irql > DISPATCH_LEVEL) {
        BugCheck(kDriverVerifierDetectedViolation, kVerifierNonPagedFreeAboveDispatch, irql, block.type,
                 reinterpret_cast<ULONG_PTR>(block.address),
                 "non-paged pool freed at IRQL " + std::to_string(irql) + " (above DISPATCH_LEVEL)");
    }
}

}  // namespace

std::vector<PoolAllocation> LivePoolAllocations()
{
    std::vector<PoolAllocation> blocks;
    {
        std::lock_guard<std::mutex> guard(g_pool.lock);
        for (const auto& [address, block] : g_pool.live) {
            blocks.push_back(block);
        }
    }
    std::sort(blocks.begin(), blocks.end(),
              [](const PoolAllocation& a, const PoolAllocation& b) { return a.sequence < b.sequence; });
    return blocks;
}

size_t LivePoolAllocationCount(ULONG tag)
{
    std::lock_guard<std::mutex> guard(g_pool.lock);
    return std::count_if(g_pool.live.begin(), g_pool.live.end(),
                         [tag](const auto& entry) { return entry.second.tag == tag; });
}

ULONG64 PoolAllocationTotal()
{
    std::lock_guard<std::mutex> guard(g_pool.lock);
    return g_pool.sequence;
}

void ResetPool()
{
    std::lock_guard<std::mutex> guard(g_pool.lock);
    for (const auto& [address, block] : g_pool.live) {
        std::free(reinterpret_cast<void*>(address));
    }
    g_pool.live.clear();
    g_pool.freed.clear();
    g_pool.freeOrder.clear();
    g_pool.sequence = 0;
    g_pool.frees = 0;
}

}  // namespace vexsim

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    using namespace vexsim;
    const void* caller = __builtin_return_address(0);
    CheckAllocationContract(PoolType, NumberOfBytes, Tag);
    if (ShouldFailAllocation(Tag) || NumberOfBytes > kLargestAllocation) {
        return nullptr;
    }
    void* block = HostAllocate(NumberOfBytes);
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, kFreshFill, NumberOfBytes);

    std::lock_guard<std::mutex> guard(g_pool.lock);
    uintptr_t address = reinterpret_cast<uintptr_t>(block);
    g_pool.freed.erase(address);
    g_pool.live[address] = PoolAllocation{block, Tag, NumberOfBytes, PoolType, ++g_pool.sequence, caller};
    return block;
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    using namespace vexsim;
    uintptr_t address = reinterpret_cast<uintptr_t>(P);
    std::optional<PoolAllocation> block;
    std::optional<ULONG> freedTag;
    {
        std::lock_guard<std::mutex> guard(g_pool.lock);
        if (auto live = g_pool.live.find(address); live != g_pool.live.end()) {
            block = live->second;
        } else if (auto freed = g_pool.freed.find(address); freed != g_pool.freed.end()) {
            freedTag = freed->second.tag;
        }
    }

    if (freedTag) {
        // A real verifier passes the pool header and its contents; the simulated pool has no
        // header, so parameter 3 is the address and parameter 4 the tag the block had.
        BugCheck(kDriverVerifierDetectedViolation, kVerifierDoubleFree, 0, address, *freedTag,
                 "double free: pool at " + FormatAddress(P) + " (tag '" + FormatPoolTag(*freedTag) +
                     "') was already freed; freed again with tag '" + FormatPoolTag(Tag) + "'");
    }
    if (!block) {
        BugCheck(kDriverVerifierDetectedViolation, kVerifierFreeOfUnknownAddress, address, 0, 0,
                 "free of an address the pool never handed out: " + FormatAddress(P) + " with tag '" +
                     FormatPoolTag(Tag) + "'");
    }
    CheckFreeIrql(*block);
    if (block->tag != Tag) {
        BugCheck(kBadPoolCaller, kPoolFreeWithWrongTag, address, block->tag, Tag,
                 "pool at " + FormatAddress(P) + " allocated with tag '" + FormatPoolTag(block->tag) +
                     "' freed with tag '" + FormatPoolTag(Tag) + "'");
    }

    bool raced;
    {
        std::lock_guard<std::mutex> guard(g_pool.lock);
        raced = g_pool.live.erase(address) == 0;
        if (!raced) {
            RememberFreed(address, Tag);
        }
    }
    // Another thread freeing the same block at the same moment is a double free too.
    if (raced) {
        BugCheck(kDriverVerifierDetectedViolation, kVerifierDoubleFree, 0, address, Tag,
                 "double free: pool at " + FormatAddress(P) + " freed twice at the same time");
    }
    std::memset(P, kFreedFill, block->size);
    std::free(P);
}

// Frees a block whatever its tag: buffers the kernel allocates for a caller (a volume's DOS name)
// are freed this way. An address the pool does not know gets ExFreePoolWithTag's report.
extern "C" VOID NTAPI ExFreePool(PVOID P)
{
    using namespace vexsim;
    ULONG tag = 0;
    {
        std::lock_guard<std::mutex> guard(g_pool.lock);
        if (auto live = g_pool.live.find(reinterpret_cast<uintptr_t>(P)); live != g_pool.live.end()) {
            tag = live->second.tag;
        }
    }
    ExFreePoolWithTag(P, tag);
}
