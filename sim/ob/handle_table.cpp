#include "sim/ob/handle_table.h"

#include "sim/ob/object.h"

namespace vexsim {

HandleTable::~HandleTable()
{
    CloseAll();
}

ULONG_PTR HandleTable::Insert(PVOID object, ACCESS_MASK grantedAccess, ULONG attributes)
{
    NoteHandleOpened(object);
    std::lock_guard lock(lock_);
    ULONG_PTR value;
    if (!freeValues_.empty()) {
        value = *freeValues_.begin();
        freeValues_.erase(freeValues_.begin());
    } else {
        value = nextValue_;
        nextValue_ += 4;
    }
    entries_[value] = HandleEntry{object, grantedAccess, static_cast<ULONG>(attributes & OBJ_INHERIT)};
    return value;
}

bool HandleTable::LookupAndReference(ULONG_PTR value, HandleEntry& entry) const
{
    std::lock_guard lock(lock_);
    auto it = entries_.find(value);
    if (it == entries_.end()) {
        return false;
    }
    entry = it->second;
    ReferenceObject(entry.object);
    return true;
}

bool HandleTable::Close(ULONG_PTR value)
{
    PVOID object;
    {
        std::lock_guard lock(lock_);
        auto it = entries_.find(value);
        if (it == entries_.end()) {
            return false;
        }
        object = it->second.object;
        entries_.erase(it);
        freeValues_.insert(value);
    }
    NoteHandleClosed(object);
    return true;
}

void HandleTable::CloseAll()
{
    std::map<ULONG_PTR, HandleEntry> closing;
    {
        std::lock_guard lock(lock_);
        closing.swap(entries_);
        freeValues_.clear();
        nextValue_ = 4;
    }
    for (auto& [value, entry] : closing) {
        NoteHandleClosed(entry.object);
    }
}

size_t HandleTable::Count() const
{
    std::lock_guard lock(lock_);
    return entries_.size();
}

std::vector<std::pair<ULONG_PTR, HandleEntry>> HandleTable::Entries() const
{
    std::lock_guard lock(lock_);
    return {entries_.begin(), entries_.end()};
}

}  // namespace vexsim
