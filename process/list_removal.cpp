// Removal from any process list: matching entries leave the list under its mutex onto the
// caller's own list head, which needs no allocation, so no removal loses its records.
#include "process/process_private.h"

VOID UnlinkMatchingEntries(PLOCKED_LIST List, LIST_ENTRY_MATCH Match, PVOID Context, PLIST_ENTRY Removed)
{
    InitializeListHead(Removed);
    ExAcquireFastMutex(&List->Lock);
    PLIST_ENTRY entry = List->Head.Flink;
    while (entry != &List->Head) {
        PLIST_ENTRY next = entry->Flink;
        if (Match(entry, Context)) {
            RemoveEntryList(entry);
            InsertTailList(Removed, entry);
        }
        entry = next;
    }
    ExReleaseFastMutex(&List->Lock);
}

BOOLEAN IsAnyEntry(PLIST_ENTRY Link, PVOID Context)
{
    UNREFERENCED_PARAMETER(Link);
    UNREFERENCED_PARAMETER(Context);
    return TRUE;
}

