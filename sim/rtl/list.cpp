// Doubly linked lists with the integrity checks of the current WDK list routines: before linking or
// unlinking, every neighbour touched must point back at the entry. A mismatch (typically an entry
// removed twice or freed while still linked) is bug check 0x139 KERNEL_SECURITY_CHECK_FAILURE with
// parameter 1 FAST_FAIL_CORRUPT_LIST_ENTRY, the stop a fail fast raises; the report names the
// routine and the entry.
#include "platform/platform.h"

#include "sim/core/kernel.h"

#include <string>

namespace {

void CheckLinks(bool intact, const char* routine, const LIST_ENTRY* entry)
{
    if (!intact) {
        vexsim::BugCheck(KERNEL_SECURITY_CHECK_FAILURE, FAST_FAIL_CORRUPT_LIST_ENTRY,
                         reinterpret_cast<ULONG_PTR>(entry), 0, 0,
                         std::string("corrupt list entry in ") + routine +
                             " (a neighbour does not point back; entry removed twice or never inserted?)");
    }
}

}  // namespace

VOID NTAPI InitializeListHead(PLIST_ENTRY ListHead)
{
    ListHead->Flink = ListHead;
    ListHead->Blink = ListHead;
}

BOOLEAN NTAPI IsListEmpty(const LIST_ENTRY* ListHead)
{
    return ListHead->Flink == ListHead;
}

BOOLEAN NTAPI RemoveEntryList(PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = Entry->Flink;
    PLIST_ENTRY previous = Entry->Blink;
    CheckLinks(next->Blink == Entry && previous->Flink == Entry, "RemoveEntryList", Entry);
    previous->Flink = next;
    next->Blink = previous;
    return next == previous;
}

PLIST_ENTRY NTAPI RemoveHeadList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY entry = ListHead->Flink;
    PLIST_ENTRY next = entry->Flink;
    CheckLinks(entry->Blink == ListHead && next->Blink == entry, "RemoveHeadList", entry);
    ListHead->Flink = next;
    next->Blink = ListHead;
    return entry;
}

PLIST_ENTRY NTAPI RemoveTailList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY entry = ListHead->Blink;
    PLIST_ENTRY previous = entry->Blink;
    CheckLinks(entry->Flink == ListHead && previous->Flink == entry, "RemoveTailList", entry);
    ListHead->Blink = previous;
    previous->Flink = ListHead;
    return entry;
}

VOID NTAPI InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = ListHead->Flink;
    CheckLinks(next->Blink == ListHead, "InsertHeadList", ListHead);
    Entry->Flink = next;
    Entry->Blink = ListHead;
    next->Blink = Entry;
    ListHead->Flink = Entry;
}

VOID NTAPI InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY previous = ListHead->Blink;
    CheckLinks(previous->Flink == ListHead, "InsertTailList", ListHead);
    Entry->Flink = ListHead;
    Entry->Blink = previous;
    previous->Flink = Entry;
    ListHead->Blink = Entry;
}
