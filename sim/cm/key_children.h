// What a key node holds below it: its subkeys, sorted by upper-cased name and reachable by
// position as an enumeration asks, and its values in the order they were first set. Both are
// found by name in logarithmic or constant time, so that keys with tens of thousands of subkeys
// or values (real hives have them) load and answer without quadratic cost. Host code only.
#pragma once

#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>

#include "sim/core/components.h"

#include <iterator>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace vexsim {

struct KeyNode;

struct KeyValue {
    std::u16string name;        // as set; empty for the default value
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};

// Subkeys in upper-cased-name order. Iteration yields the nodes; At(i) is the i-th in that order.
class SubkeyList {
    using Tree = __gnu_pbds::tree<std::u16string, std::shared_ptr<KeyNode>, std::less<std::u16string>,
                                  __gnu_pbds::rb_tree_tag, __gnu_pbds::tree_order_statistics_node_update>;

public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::shared_ptr<KeyNode>;
        using difference_type = std::ptrdiff_t;
        using pointer = const value_type*;
        using reference = const value_type&;

        explicit const_iterator(Tree::const_iterator position) : position_(position) {}
        reference operator*() const { return position_->second; }
        pointer operator->() const { return &position_->second; }
        const_iterator& operator++() { ++position_; return *this; }
        bool operator==(const const_iterator& other) const { return position_ == other.position_; }

    private:
        Tree::const_iterator position_;
    };

    const_iterator begin() const { return const_iterator(tree_.begin()); }
    const_iterator end() const { return const_iterator(tree_.end()); }
    size_t size() const { return tree_.size(); }
    bool empty() const { return tree_.empty(); }
    void clear() { tree_.clear(); }

    // The subkey whose upper-cased name is upcased, or null.
    std::shared_ptr<KeyNode> Find(const std::u16string& upcased) const
    {
        auto found = tree_.find(upcased);
        return found == tree_.end() ? nullptr : found->second;
    }
    const std::shared_ptr<KeyNode>& At(size_t index) const { return tree_.find_by_order(index)->second; }
    // The caller made sure no subkey has the name yet.
    void Insert(const std::u16string& upcased, std::shared_ptr<KeyNode> node) { tree_.insert({upcased, std::move(node)}); }
    void Erase(const std::u16string& upcased) { tree_.erase(upcased); }

    // Removes the subkeys the predicate picks; returns how many went.
    template <typename Predicate>
    size_t EraseIf(Predicate pick)
    {
        std::vector<std::u16string> picked;
        for (const auto& [upcased, node] : tree_) {
            if (pick(node)) {
                picked.push_back(upcased);
            }
        }
        for (const std::u16string& upcased : picked) {
            tree_.erase(upcased);
        }
        return picked.size();
    }

private:
    Tree tree_;
};

// Values in the order they were first set, indexed by upper-cased name.
class ValueList {
public:
    std::vector<KeyValue>::const_iterator begin() const { return values_.begin(); }
    std::vector<KeyValue>::const_iterator end() const { return values_.end(); }
    size_t size() const { return values_.size(); }
    bool empty() const { return values_.empty(); }
    const KeyValue& operator[](size_t index) const { return values_[index]; }

    const KeyValue* Find(std::u16string_view name) const;
    // One of the same name keeps its place and its name's case and takes the new type and data; a
    // new one goes last.
    void Store(KeyValue value);
    // Whether a value of that name was there.
    bool Erase(std::u16string_view name);

private:
    std::vector<KeyValue> values_;
    std::unordered_map<std::u16string, size_t> positions_;  // upper-cased name -> index in values_
};

}  // namespace vexsim
