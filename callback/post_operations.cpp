// After a change through a key handed out through the redirect: the copy now differs from the
// real key, so enumeration and key queries are answered from the copy from then on. Deleting or
// renaming a key changes its parent's list of subkeys, so the parent is marked too. The names
// come from the handle's context: after a rename it still holds the name the key was opened by.
#include "callback/callback_private.h"

#include "tables/key_lists.h"

// The context of a handle whose operation succeeded, or none.
static PCALLBACK_CONTEXT ChangedCopyOf(PREG_POST_OPERATION_INFORMATION Information)
{
    return NT_SUCCESS(Information->Status) ? CallbackContextOf(Information->ObjectContext) : NULL;
}

static VOID MarkKeyChanged(PCALLBACK_CONTEXT Context)
{
    (VOID)InsertRegistryHistory(&g_VexRegFilterData.DifferenceHistory, &Context->RedirectName, &Context->RedirectNameHash,
                                FALSE);
}

static VOID MarkKeyAndParentChanged(PCALLBACK_CONTEXT Context)
{
    (VOID)InsertRegistryHistory(&g_VexRegFilterData.DifferenceHistory, &Context->RedirectName, NULL, TRUE);
    MarkKeyChanged(Context);
}

NTSTATUS VexRegNtPostDeleteKey(PREG_POST_OPERATION_INFORMATION Information)
{
    TraceLine("VexRegFilter - VexRegNtPostDeleteKey() - enter\n");
    PCALLBACK_CONTEXT context = ChangedCopyOf(Information);
    if (context != NULL) {
        MarkKeyAndParentChanged(context);
    }
    TraceLine("VexRegFilter - VexRegNtPostDeleteKey() - exit\n");
    return STATUS_SUCCESS;
}

NTSTATUS VexRegNtPostRenameKey(PREG_POST_OPERATION_INFORMATION Information)
{
    TraceEnter("VexRegNtPostRenameKey");
    PCALLBACK_CONTEXT context = ChangedCopyOf(Information);
    if (context != NULL) {
        MarkKeyAndParentChanged(context);
    }
    TraceExit("VexRegNtPostRenameKey");
    return STATUS_SUCCESS;
}

NTSTATUS VexRegNtPostSetValueKey(PREG_POST_OPERATION_INFORMATION Information)
{
    TraceEnter("VexRegNtPostSetValueKey");
    PCALLBACK_CONTEXT context = ChangedCopyOf(Information);
    if (context != NULL) {
        MarkKeyChanged(context);
    }
    TraceExit("VexRegNtPostSetValueKey");
    return STATUS_SUCCESS;
}

NTSTATUS VexRegNtPostDeleteValueKey(PREG_POST_OPERATION_INFORMATION Information)
{
    TraceEnter("VexRegNtPostDeleteValueKey");
    PCALLBACK_CONTEXT context = ChangedCopyOf(Information);
    if (context != NULL) {
        MarkKeyChanged(context);
    }
    TraceExit("VexRegNtPostDeleteValueKey");
    return STATUS_SUCCESS;
}
