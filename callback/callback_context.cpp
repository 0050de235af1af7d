// Callback contexts: the names a key object handed out through the redirect carries, attached
// when the object is handed out and freed when the configuration manager cleans them up.
#include "callback/callback_private.h"

#include "common/pool_tags.h"

static BOOLEAN HasContextTag(PCALLBACK_CONTEXT Context)
{
    return RtlCompareMemory(Context->Tag, TAG_CALLBACK_CONTEXT, CALLBACK_CONTEXT_TAG_BYTES) == CALLBACK_CONTEXT_TAG_BYTES;
}

// A context and the buffers of its two names are one allocation: the names' buffers follow the
// record, each exactly as long as its name.
static VOID FreeContext(PCALLBACK_CONTEXT Context)
{
    ExFreePoolWithTag(Context, VEXR_TAG);
}

static PCALLBACK_CONTEXT AllocateContext(PCUNICODE_STRING OriginalName, PCUNICODE_STRING RedirectName)
{
    const SIZE_T size = sizeof(CALLBACK_CONTEXT) + (SIZE_T)OriginalName->Length + RedirectName->Length;
    PCALLBACK_CONTEXT context = (PCALLBACK_CONTEXT)ExAllocatePoolZero(g_NonPagedPoolType, size, VEXR_TAG);
    if (context == NULL) {
        return NULL;
    }
    RtlCopyMemory(context->Tag, TAG_CALLBACK_CONTEXT, CALLBACK_CONTEXT_TAG_BYTES);
    PWSTR names = (PWSTR)(context + 1);
    context->OriginalName.Buffer = names;
    context->OriginalName.Length = context->OriginalName.MaximumLength = OriginalName->Length;
    RtlCopyMemory(names, OriginalName->Buffer, OriginalName->Length);
    context->RedirectName.Buffer = names + OriginalName->Length / sizeof(WCHAR);
    context->RedirectName.Length = context->RedirectName.MaximumLength = RedirectName->Length;
    RtlCopyMemory(context->RedirectName.Buffer, RedirectName->Buffer, RedirectName->Length);
    return context;
}

PCALLBACK_CONTEXT CallbackContextOf(PVOID ObjectContext)
{
    PCALLBACK_CONTEXT context = (PCALLBACK_CONTEXT)ObjectContext;
    return context != NULL && HasContextTag(context) ? context : NULL;
}

// A key object handed out through the redirect comes from a fresh open and never carries an
// earlier context. Should one be there all the same, it is left alone: another notification in
// flight may still read it, so only its own cleanup may free it.
NTSTATUS SetCallbackContext(PVOID KeyObject, PCUNICODE_STRING OriginalName, PCUNICODE_STRING RedirectName,
                            ULONG RedirectNameHash)
{
    PVOID oldContext = NULL;
    PCALLBACK_CONTEXT context = AllocateContext(OriginalName, RedirectName);
    if (context == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->RedirectNameHash = RedirectNameHash;

    NTSTATUS status = CmSetCallbackObjectContext(KeyObject, &g_VexRegFilterData.CallbackCookie, context, &oldContext);
    if (oldContext != NULL) {
        PrintPrefixed("SetCallbackContext - OldCtx has been set.\n");
    }
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("SetCallbackContext - Failed to CmSetCallbackObjectContext. status = %x Original = %wZ\n", status,
                      OriginalName);
        FreeContext(context);
    }
    return status;
}

NTSTATUS ContextCleanup(PREG_CALLBACK_CONTEXT_CLEANUP_INFORMATION Information)
{
    PCALLBACK_CONTEXT context = (PCALLBACK_CONTEXT)Information->ObjectContext;
    if (context == NULL) {
        return STATUS_SUCCESS;
    }
    if (!HasContextTag(context)) {
        PrintPrefixed("ContextCleanup - != TAG_CALLBACK_CONTEXT\n");
        return STATUS_SUCCESS;
    }
    FreeContext(context);
    Information->ObjectContext = NULL;
    return STATUS_SUCCESS;
}
