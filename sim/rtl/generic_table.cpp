// Generic tables, splay-tree flavour.
//
// Every element lives in one block the driver's allocate routine hands out: a 40-byte node header
// (RTL_SPLAY_LINKS, then the LIST_ENTRY of the insertion-order list) followed by the caller's
// data; the pointer handed back to the driver is the block plus 40, and the free routine gets the
// block start. The table holds no host memory of its own: the tree and the list are made of the
// links in the headers.
//
// Invariants:
// - TableRoot is the root of a binary search tree in compare order; the root's Parent is NULL.
// - InsertOrderList links every element in insertion order; NumberGenericTableElements counts them.
// - OrderedPointer/WhichOrderedElement remember the last element fetched by index (its 1-based
//   position; 0 with the list head), so walking the table by index is linear overall.
// - Each access splays the element it found (or the last node it visited) to the root, which keeps
//   lookups O(log n) amortised.
// The compare routine is always called as Compare(Table, caller's buffer, element in the table).
// The caller serialises access to a table; the routines take no lock.
#include "platform/platform.h"

#include <cstring>

namespace {

struct TableNode {
    RTL_SPLAY_LINKS links;
    LIST_ENTRY insertOrder;
};
static_assert(sizeof(TableNode) == sizeof(RTL_SPLAY_LINKS) + sizeof(LIST_ENTRY) && sizeof(TableNode) == 40,
              "the node header is 40 bytes on x64");

PVOID UserData(PRTL_SPLAY_LINKS links)
{
    return reinterpret_cast<PUCHAR>(links) + sizeof(TableNode);
}

TableNode* NodeOf(PRTL_SPLAY_LINKS links)
{
    return reinterpret_cast<TableNode*>(links);
}

TableNode* NodeOfListEntry(PLIST_ENTRY entry)
{
    return CONTAINING_RECORD(entry, TableNode, insertOrder);
}

// Replaces `child`'s parent with `child` in the tree rooted at *root.
void Rotate(PRTL_SPLAY_LINKS child, PRTL_SPLAY_LINKS* root)
{
    PRTL_SPLAY_LINKS parent = child->Parent;
    PRTL_SPLAY_LINKS grandparent = parent->Parent;
    if (parent->LeftChild == child) {
        parent->LeftChild = child->RightChild;
        if (child->RightChild != nullptr) {
            child->RightChild->Parent = parent;
        }
        child->RightChild = parent;
    } else {
        parent->RightChild = child->LeftChild;
        if (child->LeftChild != nullptr) {
            child->LeftChild->Parent = parent;
        }
        child->LeftChild = parent;
    }
    parent->Parent = child;
    child->Parent = grandparent;
    if (grandparent == nullptr) {
        *root = child;
    } else if (grandparent->LeftChild == parent) {
        grandparent->LeftChild = child;
    } else {
        grandparent->RightChild = child;
    }
}

// Moves `node` to the root of its tree (zig, zig-zig and zig-zag steps).
void Splay(PRTL_SPLAY_LINKS node, PRTL_SPLAY_LINKS* root)
{
    while (node->Parent != nullptr) {
        PRTL_SPLAY_LINKS parent = node->Parent;
        PRTL_SPLAY_LINKS grandparent = parent->Parent;
        if (grandparent != nullptr) {
            const bool sameSide = (grandparent->LeftChild == parent) == (parent->LeftChild == node);
            Rotate(sameSide ? parent : node, root);
        }
        Rotate(node, root);
    }
}

PRTL_SPLAY_LINKS Leftmost(PRTL_SPLAY_LINKS node)
{
    while (node->LeftChild != nullptr) {
        node = node->LeftChild;
    }
    return node;
}

PRTL_SPLAY_LINKS Rightmost(PRTL_SPLAY_LINKS node)
{
    while (node->RightChild != nullptr) {
        node = node->RightChild;
    }
    return node;
}

// Finds the element equal to `buffer`, or the node under which it would be inserted.
struct SearchResult {
    TABLE_SEARCH_RESULT result;
    PRTL_SPLAY_LINKS node;  // the equal element or the parent-to-be; NULL in an empty tree
};

SearchResult FindNodeOrParent(PRTL_GENERIC_TABLE table, PVOID buffer)
{
    PRTL_SPLAY_LINKS node = table->TableRoot;
    if (node == nullptr) {
        return {TableEmptyTree, nullptr};
    }
    for (;;) {
        switch (table->CompareRoutine(table, buffer, UserData(node))) {
        case GenericLessThan:
            if (node->LeftChild == nullptr) {
                return {TableInsertAsLeft, node};
            }
            node = node->LeftChild;
            break;
        case GenericGreaterThan:
            if (node->RightChild == nullptr) {
                return {TableInsertAsRight, node};
            }
            node = node->RightChild;
            break;
        default:
            return {TableFoundNode, node};
        }
    }
}

// A deletion shifts the indexes of later elements; the remembered position is forgotten.
void ResetOrderedPosition(PRTL_GENERIC_TABLE table)
{
    table->OrderedPointer = &table->InsertOrderList;
    table->WhichOrderedElement = 0;
}

}  // namespace

VOID NTAPI RtlInitializeGenericTable(PRTL_GENERIC_TABLE Table, PRTL_GENERIC_COMPARE_ROUTINE CompareRoutine,
                                     PRTL_GENERIC_ALLOCATE_ROUTINE AllocateRoutine,
                                     PRTL_GENERIC_FREE_ROUTINE FreeRoutine, PVOID TableContext)
{
    Table->TableRoot = nullptr;
    InitializeListHead(&Table->InsertOrderList);
    ResetOrderedPosition(Table);
    Table->NumberGenericTableElements = 0;
    Table->CompareRoutine = CompareRoutine;
    Table->AllocateRoutine = AllocateRoutine;
    Table->FreeRoutine = FreeRoutine;
    Table->TableContext = TableContext;
}

PVOID NTAPI RtlInsertElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer, CLONG BufferSize,
                                         PBOOLEAN NewElement)
{
    const SearchResult search = FindNodeOrParent(Table, Buffer);
    if (search.result == TableFoundNode) {
        Splay(search.node, &Table->TableRoot);
        if (NewElement != nullptr) {
            *NewElement = FALSE;
        }
        return UserData(search.node);
    }

    if (BufferSize > MAXULONG - sizeof(TableNode)) {
        return nullptr;
    }
    auto* node = static_cast<TableNode*>(
        Table->AllocateRoutine(Table, static_cast<CLONG>(BufferSize + sizeof(TableNode))));
    if (node == nullptr) {
        return nullptr;
    }
    node->links.Parent = search.node;
    node->links.LeftChild = nullptr;
    node->links.RightChild = nullptr;
    if (search.result == TableEmptyTree) {
        Table->TableRoot = &node->links;
    } else if (search.result == TableInsertAsLeft) {
        search.node->LeftChild = &node->links;
    } else {
        search.node->RightChild = &node->links;
    }
    InsertTailList(&Table->InsertOrderList, &node->insertOrder);
    ++Table->NumberGenericTableElements;
    std::memcpy(UserData(&node->links), Buffer, BufferSize);
    Splay(&node->links, &Table->TableRoot);
    if (NewElement != nullptr) {
        *NewElement = TRUE;
    }
    return UserData(&node->links);
}

BOOLEAN NTAPI RtlDeleteElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    const SearchResult search = FindNodeOrParent(Table, Buffer);
    if (search.result != TableFoundNode) {
        if (search.node != nullptr) {
            Splay(search.node, &Table->TableRoot);
        }
        return FALSE;
    }

    // Splay the element to the root, then join its subtrees: the largest element on the left
    // becomes the new root and takes the right subtree.
    PRTL_SPLAY_LINKS node = search.node;
    Splay(node, &Table->TableRoot);
    PRTL_SPLAY_LINKS left = node->LeftChild;
    PRTL_SPLAY_LINKS right = node->RightChild;
    if (left == nullptr) {
        Table->TableRoot = right;
    } else {
        left->Parent = nullptr;
        PRTL_SPLAY_LINKS newRoot = left;
        Splay(Rightmost(left), &newRoot);
        newRoot->RightChild = right;
        Table->TableRoot = newRoot;
    }
    if (right != nullptr) {
        right->Parent = Table->TableRoot == right ? nullptr : Table->TableRoot;
    }

    RemoveEntryList(&NodeOf(node)->insertOrder);
    --Table->NumberGenericTableElements;
    ResetOrderedPosition(Table);
    Table->FreeRoutine(Table, node);
    return TRUE;
}

PVOID NTAPI RtlLookupElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    const SearchResult search = FindNodeOrParent(Table, Buffer);
    if (search.node == nullptr) {
        return nullptr;
    }
    Splay(search.node, &Table->TableRoot);
    return search.result == TableFoundNode ? UserData(search.node) : nullptr;
}

// The I-th element in insertion order, as Windows documents it: deleting an element moves every
// later element one index down. Walks from the list head, the tail or the remembered position,
// whichever is nearest.
PVOID NTAPI RtlGetElementGenericTable(PRTL_GENERIC_TABLE Table, ULONG I)
{
    const ULONG count = Table->NumberGenericTableElements;
    if (I >= count) {
        return nullptr;
    }
    const ULONG target = I + 1;  // positions are 1-based; 0 is the list head
    ULONG position = Table->WhichOrderedElement;
    PLIST_ENTRY entry = Table->OrderedPointer;
    const ULONG fromCurrent = target > position ? target - position : position - target;
    if (target < fromCurrent) {
        position = 0;
        entry = &Table->InsertOrderList;
    } else if (count - target < fromCurrent) {
        position = count;
        entry = Table->InsertOrderList.Blink;
    }
    for (; position < target; ++position) {
        entry = entry->Flink;
    }
    for (; position > target; --position) {
        entry = entry->Blink;
    }
    Table->OrderedPointer = entry;
    Table->WhichOrderedElement = target;
    return UserData(&NodeOfListEntry(entry)->links);
}

// Enumeration in compare order by splaying: a restart splays the smallest element to the root, every
// further call splays the root's successor. Splaying in between (a lookup, an insert) therefore
// moves the enumeration, as it does on Windows.
PVOID NTAPI RtlEnumerateGenericTable(PRTL_GENERIC_TABLE Table, BOOLEAN Restart)
{
    if (Table->TableRoot == nullptr) {
        return nullptr;
    }
    PRTL_SPLAY_LINKS next = Restart ? Leftmost(Table->TableRoot)
                            : Table->TableRoot->RightChild != nullptr ? Leftmost(Table->TableRoot->RightChild)
                                                                      : nullptr;
    if (next == nullptr) {
        return nullptr;
    }
    Splay(next, &Table->TableRoot);
    return UserData(next);
}

ULONG NTAPI RtlNumberGenericTableElements(PRTL_GENERIC_TABLE Table)
{
    return Table->NumberGenericTableElements;
}

BOOLEAN NTAPI RtlIsGenericTableEmpty(PRTL_GENERIC_TABLE Table)
{
    return Table->TableRoot == nullptr;
}
