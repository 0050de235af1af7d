// Identifier manager. Every identifier is in use, released (in ReleasedIdList, below NextId,
// once) or not yet issued (NextId and above). The lock guards the list and NextId.
//
// NextId is not guarded against wrapping: after 2^32 issues in one load it would start again at
// 0, releases of the identifiers above it would be ignored and identifiers in use issued again.
// Each issue answers a control request of the service, so that count is out of reach.
#include "tables/id_manager.h"

#include "common/debug_print.h"
#include "common/pool_tags.h"

static struct {
    LIST_ENTRY ReleasedIdList;  // released identifiers, oldest first
    FAST_MUTEX Lock;            // guards ReleasedIdList and NextId
    ULONG NextId;               // the smallest identifier never issued
} g_IDMan;

NTSTATUS IDManInitialize(VOID)
{
    ExInitializeFastMutex(&g_IDMan.Lock);
    InitializeListHead(&g_IDMan.ReleasedIdList);
    // Zero at every load of the image; said explicitly so that a reload in the same address
    // space (as on the simulated kernel) starts numbering afresh too.
    g_IDMan.NextId = 0;
    return STATUS_SUCCESS;
}

NTSTATUS IDManFinalize(VOID)
{
    ExAcquireFastMutex(&g_IDMan.Lock);
    while (!IsListEmpty(&g_IDMan.ReleasedIdList)) {
        PRELEASED_ID released = CONTAINING_RECORD(RemoveHeadList(&g_IDMan.ReleasedIdList), RELEASED_ID, Links);
        ExFreePoolWithTag(released, VEXR_TAG);
    }
    ExReleaseFastMutex(&g_IDMan.Lock);
    return STATUS_SUCCESS;
}

ULONG IssueId(VOID)
{
    ULONG id;
    ExAcquireFastMutex(&g_IDMan.Lock);
    if (!IsListEmpty(&g_IDMan.ReleasedIdList)) {
        PRELEASED_ID released = CONTAINING_RECORD(RemoveHeadList(&g_IDMan.ReleasedIdList), RELEASED_ID, Links);
        id = released->Id;
        ExFreePoolWithTag(released, VEXR_TAG);
        PrintPrefixed("[IDMan] ReuseId = %d\n", id);
    } else {
        id = g_IDMan.NextId++;
        PrintPrefixed("[IDMan] IssueId = %d\n", id);
    }
    ExReleaseFastMutex(&g_IDMan.Lock);
    return id;
}

NTSTATUS IsReleasedId(ULONG Id)
{
    for (PLIST_ENTRY entry = g_IDMan.ReleasedIdList.Flink; entry != &g_IDMan.ReleasedIdList; entry = entry->Flink) {
        if (CONTAINING_RECORD(entry, RELEASED_ID, Links)->Id == Id) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS ReleaseId(ULONG Id)
{
    NTSTATUS status = STATUS_SUCCESS;
    ExAcquireFastMutex(&g_IDMan.Lock);
    if (Id >= g_IDMan.NextId || NT_SUCCESS(IsReleasedId(Id))) {
        goto Exit;
    }
    {
        PRELEASED_ID released = (PRELEASED_ID)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(RELEASED_ID), VEXR_TAG);
        if (released == NULL) {
            PrintPrefixed("[IDMan] ReleasedId information allocate error\n");
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        released->Id = Id;
        PrintPrefixed("[IDMan] ReleaseId = %d\n", Id);
        InsertTailList(&g_IDMan.ReleasedIdList, &released->Links);
    }
Exit:
    ExReleaseFastMutex(&g_IDMan.Lock);
    return status;
}
