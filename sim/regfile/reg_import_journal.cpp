// The journal that makes an import all or nothing.
#include "sim/regfile/regfile.h"

namespace vexsim {

void RegImportJournal::Keep(KeyNode& node)
{
    if (keptIndex_.try_emplace(&node, kept_.size()).second) {
        kept_.push_back(KeptState{&node, node.values, node.lastWriteTime, node.className});
    }
}

void RegImportJournal::Created(KeyNode& parent, std::shared_ptr<KeyNode> child)
{
    changes_.push_back(TreeChange{true, &parent, std::move(child)});
}

void RegImportJournal::CutOut(KeyNode& parent, std::shared_ptr<KeyNode> child)
{
    Keep(parent);
    RemoveSubkey(parent, *child);
    changes_.push_back(TreeChange{false, &parent, std::move(child)});
}

void RegImportJournal::Commit()
{
    for (const TreeChange& change : changes_) {
        if (!change.created) {
            MarkSubtreeDeleted(*change.child);
        }
    }
    changes_.clear();
    kept_.clear();
    keptIndex_.clear();
}

// Tree changes are undone newest first (a key cut out and made again by a later line gives its
// place back to the old one), then every kept node gets its values, class and time back.
void RegImportJournal::RollBack()
{
    for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
        if (change->created) {
            RemoveSubkey(*change->parent, *change->child);
            MarkSubtreeDeleted(*change->child);
        } else {
            change->parent->subkeys.Insert(change->child->upcasedName, change->child);
        }
    }
    for (KeptState& state : kept_) {
        state.node->values = std::move(state.values);
        state.node->lastWriteTime = state.lastWriteTime;
        state.node->className = std::move(state.className);
    }
    changes_.clear();
    kept_.clear();
    keptIndex_.clear();
}

}  // namespace vexsim
