// The value list of a key node: the vector keeps the order, the index finds a name.
#include "sim/cm/key_children.h"

#include "sim/cm/registry.h"

namespace vexsim {

const KeyValue* ValueList::Find(std::u16string_view name) const
{
    auto found = positions_.find(UpcaseName(name));
    return found == positions_.end() ? nullptr : &values_[found->second];
}

void ValueList::Store(KeyValue value)
{
    auto [position, added] = positions_.try_emplace(UpcaseName(value.name), values_.size());
    if (added) {
        values_.push_back(std::move(value));
        return;
    }
    KeyValue& existing = values_[position->second];
    existing.type = value.type;
    existing.data = std::move(value.data);
}

bool ValueList::Erase(std::u16string_view name)
{
    auto found = positions_.find(UpcaseName(name));
    if (found == positions_.end()) {
        return false;
    }
    size_t index = found->second;
    positions_.erase(found);
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(index));
    for (auto& [upcased, position] : positions_) {
        if (position > index) {
            position--;
        }
    }
    return true;
}

}  // namespace vexsim
