// Identifier manager: the 32-bit identifiers by which user mode names its process settings.
// Identifiers are small numbers; released ones are reused oldest first.
#pragma once

#include "platform.h"

typedef struct _RELEASED_ID {
    LIST_ENTRY Links;  // in ReleasedIdList, oldest first
    ULONG Id;
} RELEASED_ID, *PRELEASED_ID;

NTSTATUS IDManInitialize(VOID);

// Frees the released identifiers; identifiers never issued stay never issued.
NTSTATUS IDManFinalize(VOID);

ULONG IssueId(VOID);

// Gives an identifier back. One never issued or already released is ignored.
NTSTATUS ReleaseId(ULONG Id);

// STATUS_SUCCESS when Id is among the released identifiers; the caller holds the lock.
NTSTATUS IsReleasedId(ULONG Id);
