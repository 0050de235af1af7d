// A handle table: the kernel's one, or a process's. Host code only.
//
// Handle values are multiples of 4 starting at 4; a closed value is reused, lowest first. Each
// entry holds one reference and one handle count on its object. The table's lock guards its
// entries only; objects are never released while it is held, because releasing can run a close
// or delete procedure that calls back into the kernel.
#pragma once

#include "platform/platform.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vexsim {

struct HandleEntry {
    PVOID object = nullptr;
    ACCESS_MASK grantedAccess = 0;
    ULONG attributes = 0;  // OBJ_INHERIT as given at open
};

class HandleTable {
public:
    HandleTable() = default;
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;
    ~HandleTable();

    // Inserts the object, taking a handle reference on it, and returns the handle's table value
    // (a multiple of 4, not yet encoded as a kernel handle).
    ULONG_PTR Insert(PVOID object, ACCESS_MASK grantedAccess, ULONG attributes);

    // Copies the entry of a value and takes an internal reference on its object while the
    // entry cannot go away; false when the value is not open.
    bool LookupAndReference(ULONG_PTR value, HandleEntry& entry) const;

    // Removes an entry and releases its object; false when the value is not open.
    bool Close(ULONG_PTR value);

    // Closes every handle (a process ending, a machine resetting).
    void CloseAll();

    size_t Count() const;
    std::vector<std::pair<ULONG_PTR, HandleEntry>> Entries() const;

private:
    mutable std::mutex lock_;
    std::map<ULONG_PTR, HandleEntry> entries_;  // by value, guarded by lock_
    std::set<ULONG_PTR> freeValues_;            // closed values below nextValue_, guarded by lock_
    ULONG_PTR nextValue_ = 4;                   // guarded by lock_
};

}  // namespace vexsim
