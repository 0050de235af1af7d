// The lock-order graph (lock_order.h). Invariants: `successors` and `predecessors` hold the same
// edges seen from either end, each with where the order was first seen; the graph never holds a
// cycle (the edge that would close one stops the machine instead). Every field is guarded by the
// dispatcher lock, which the fast mutex services hold when they call in. A thread's held locks
// live in its own thread-local list, tagged with the boot they belong to, so a list a thread kept
// from an earlier boot is dropped, not checked.
#include "sim/executive/lock_order.h"

#include "sim/core/kernel.h"
#include "sim/executive/bugcheck.h"
#include "sim/executive/dispatcher.h"
#include "sim/executive/pool.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace vexsim {

namespace {

// Where one order was first seen: the thread, and the calls that took the earlier and the later
// lock.
struct OrderSite {
    const void* heldSite;
    const void* takenSite;
    const void* thread;
};

using Edges = std::unordered_map<const void*, OrderSite>;

struct LockGraph {
    bool enabled = true;
    std::unordered_map<const void*, Edges> successors;
    std::unordered_map<const void*, std::vector<const void*>> predecessors;
};

LockGraph g_graph;

struct HeldLock {
    const void* lock;
    const void* site;
};

// Plain storage, so the list outlives the thread's own objects: a driver may take locks from an
// exit handler (an unload at the end of a program) after thread-local destructors have run.
constexpr size_t kMaxHeldLocks = 64;

struct HeldLocks {
    ULONG64 boot;
    size_t count;
    HeldLock locks[kMaxHeldLocks];
};

thread_local HeldLocks t_held;

HeldLocks& HeldByThisThread()
{
    if (t_held.boot != CurrentBoot()) {
        t_held.boot = CurrentBoot();
        t_held.count = 0;
    }
    return t_held;
}

// "name+0xoffset" for an address inside a symbol the executable exports, else empty.
std::string SymbolOf(const void* address)
{
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_sname == nullptr) {
        return {};
    }
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status),
                                                          &std::free);
    std::string name = status == 0 && demangled ? demangled.get() : info.dli_sname;
    char offset[24];
    std::snprintf(offset, sizeof(offset), "+0x%zx",
                  static_cast<size_t>(static_cast<const char*>(address) - static_cast<const char*>(info.dli_saddr)));
    return name + offset;
}

std::string DescribeLock(const void* lock)
{
    std::string text = "fast mutex " + FormatAddress(lock);
    if (std::string symbol = SymbolOf(lock); !symbol.empty()) {
        return text + " (" + symbol + ")";
    }
    for (const PoolAllocation& block : LivePoolAllocations()) {
        const char* start = static_cast<const char*>(block.address);
        const char* at = static_cast<const char*>(lock);
        if (at >= start && at < start + block.size) {
            return text + " (in pool block '" + FormatPoolTag(block.tag) + "' at " + FormatAddress(block.address) +
                   " +" + std::to_string(at - start) + ")";
        }
    }
    return text;
}

// The call site as its function and offset when the executable exports it, else as the image and
// offset that addr2line takes.
std::string DescribeSite(const void* site)
{
    if (std::string symbol = SymbolOf(site); !symbol.empty()) {
        return FormatAddress(site) + " " + symbol;
    }
    Dl_info info{};
    if (dladdr(site, &info) == 0 || info.dli_fname == nullptr) {
        return FormatAddress(site);
    }
    std::string image = info.dli_fname;
    char offset[24];
    std::snprintf(offset, sizeof(offset), "+0x%zx",
                  static_cast<size_t>(static_cast<const char*>(site) - static_cast<const char*>(info.dli_fbase)));
    return FormatAddress(site) + " (" + image.substr(image.rfind('/') + 1) + offset + ")";
}

std::string DescribeOrder(const void* held, const void* taken, const OrderSite& site)
{
    return DescribeLock(taken) + " taken at " + DescribeSite(site.takenSite) + " while holding " + DescribeLock(held) +
           " (taken at " + DescribeSite(site.heldSite) + ") by thread " + FormatAddress(site.thread);
}

// The path of edges from `from` to `to`, empty when `to` cannot be reached. The graph is acyclic,
// so the search ends.
std::vector<const void*> PathBetween(const void* from, const void* to)
{
    std::unordered_map<const void*, const void*> cameFrom{{from, nullptr}};
    std::vector<const void*> pending{from};
    while (!pending.empty()) {
        const void* node = pending.back();
        pending.pop_back();
        if (node == to) {
            std::vector<const void*> path;
            for (const void* at = to; at != nullptr; at = cameFrom[at]) {
                path.push_back(at);
            }
            std::reverse(path.begin(), path.end());
            return path;
        }
        auto edges = g_graph.successors.find(node);
        if (edges == g_graph.successors.end()) {
            continue;
        }
        for (const auto& [next, site] : edges->second) {
            if (cameFrom.emplace(next, node).second) {
                pending.push_back(next);
            }
        }
    }
    return {};
}

[[noreturn]] void ReportCycle(const void* held, const void* taken, const OrderSite& site, const std::vector<const void*>& back)
{
    std::string report = "lock order cycle (a possible deadlock): " + DescribeOrder(held, taken, site) +
                         "; the opposite order was first seen as:";
    for (size_t i = 0; i + 1 < back.size(); i++) {
        report += " [" + DescribeOrder(back[i], back[i + 1], g_graph.successors[back[i]][back[i + 1]]) + "]";
    }
    BugCheck(kDriverVerifierDetectedViolation, kVerifierLockHierarchyViolation, reinterpret_cast<ULONG_PTR>(taken),
             reinterpret_cast<ULONG_PTR>(held), 0, report);
}

void AddOrder(const HeldLock& held, const void* taken, const void* site)
{
    if (held.lock == taken) {
        return;  // a recursive acquisition has its own check
    }
    Edges& edges = g_graph.successors[held.lock];
    if (edges.find(taken) != edges.end()) {
        return;
    }
    OrderSite order{held.site, site, CurrentContext().thread};
    if (std::vector<const void*> back = PathBetween(taken, held.lock); !back.empty()) {
        ReportCycle(held.lock, taken, order, back);
    }
    edges.emplace(taken, order);
    g_graph.predecessors[taken].push_back(held.lock);
}

}  // namespace

void ResetLockOrder(bool enabled)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    g_graph = LockGraph{};
    g_graph.enabled = enabled;
}

void LockInitialized(const void* lock)
{
    if (!g_graph.enabled) {
        return;
    }
    if (auto edges = g_graph.successors.find(lock); edges != g_graph.successors.end()) {
        for (const auto& [next, site] : edges->second) {
            std::vector<const void*>& back = g_graph.predecessors[next];
            back.erase(std::remove(back.begin(), back.end(), lock), back.end());
        }
        g_graph.successors.erase(edges);
    }
    if (auto back = g_graph.predecessors.find(lock); back != g_graph.predecessors.end()) {
        for (const void* earlier : back->second) {
            g_graph.successors[earlier].erase(lock);
        }
        g_graph.predecessors.erase(back);
    }
}

void CheckLockOrder(const void* lock, const void* site)
{
    if (!g_graph.enabled) {
        return;
    }
    HeldLocks& held = HeldByThisThread();
    for (size_t i = 0; i < held.count; i++) {
        AddOrder(held.locks[i], lock, site);
    }
}

void LockTaken(const void* lock, const void* site)
{
    if (!g_graph.enabled) {
        return;
    }
    HeldLocks& held = HeldByThisThread();
    if (held.count == kMaxHeldLocks) {
        StopMachine("a thread holds " + std::to_string(kMaxHeldLocks) + " fast mutexes and takes " + FormatAddress(lock) +
                    " as well: the lock-order checker keeps no more");
    }
    held.locks[held.count++] = {lock, site};
}

void LockReleased(const void* lock)
{
    if (!g_graph.enabled) {
        return;
    }
    HeldLocks& held = HeldByThisThread();
    for (size_t i = held.count; i-- > 0;) {
        if (held.locks[i].lock == lock) {
            std::copy(held.locks + i + 1, held.locks + held.count, held.locks + i);
            held.count--;
            return;
        }
    }
}

std::vector<std::pair<const void*, const void*>> LockOrders()
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    std::vector<std::pair<const void*, const void*>> orders;
    for (const auto& [held, edges] : g_graph.successors) {
        for (const auto& [taken, site] : edges) {
            orders.emplace_back(held, taken);
        }
    }
    return orders;
}

}  // namespace vexsim
