// The registry callback: the tests that decide whether an operation concerns the sandbox at all,
// in their fixed order, and the hand-over of each notify class to its handler.
#include "callback/callback_private.h"

#include "common/name_buffer.h"
#include "process/process_lists.h"

// Names of the notify classes 0 to 48 as the Windows driver kit spells them, printed with the
// details bit before a class is handled.
static const PCSTR g_NotifyClassNames[] = {
    "RegNtPreDeleteKey",
    "RegNtPreSetValueKey",
    "RegNtPreDeleteValueKey",
    "RegNtPreSetInformationKey",
    "RegNtPreRenameKey",
    "RegNtPreEnumerateKey",
    "RegNtPreEnumerateValueKey",
    "RegNtPreQueryKey",
    "RegNtPreQueryValueKey",
    "RegNtPreQueryMultipleValueKey",
    "RegNtPreCreateKey",
    "RegNtPostCreateKey",
    "RegNtPreOpenKey",
    "RegNtPostOpenKey",
    "RegNtPreKeyHandleClose",
    "RegNtPostDeleteKey",
    "RegNtPostSetValueKey",
    "RegNtPostDeleteValueKey",
    "RegNtPostSetInformationKey",
    "RegNtPostRenameKey",
    "RegNtPostEnumerateKey",
    "RegNtPostEnumerateValueKey",
    "RegNtPostQueryKey",
    "RegNtPostQueryValueKey",
    "RegNtPostQueryMultipleValueKey",
    "RegNtPostKeyHandleClose",
    "RegNtPreCreateKeyEx",
    "RegNtPostCreateKeyEx",
    "RegNtPreOpenKeyEx",
    "RegNtPostOpenKeyEx",
    "RegNtPreFlushKey",
    "RegNtPostFlushKey",
    "RegNtPreLoadKey",
    "RegNtPostLoadKey",
    "RegNtPreUnLoadKey",
    "RegNtPostUnLoadKey",
    "RegNtPreQueryKeySecurity",
    "RegNtPostQueryKeySecurity",
    "RegNtPreSetKeySecurity",
    "RegNtPostSetKeySecurity",
    "RegNtCallbackObjectContextCleanup",
    "RegNtPreRestoreKey",
    "RegNtPostRestoreKey",
    "RegNtPreSaveKey",
    "RegNtPostSaveKey",
    "RegNtPreReplaceKey",
    "RegNtPostReplaceKey",
    "RegNtPreQueryKeyName",
    "RegNtPostQueryKeyName",
};
static_assert(RTL_NUMBER_OF(g_NotifyClassNames) == 49, "the notify classes 0 to 48");

// Redirection is configured when all five redirect names have a buffer.
static BOOLEAN IsRedirectionConfigured(VOID)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    return IsNameSet(&data->RedirectRootKeyName) && IsNameSet(&data->RedirectRootKeyNameUser) &&
           IsNameSet(&data->RedirectRootKeyNameMachine) && IsNameSet(&data->RedirectUserClasses) &&
           IsNameSet(&data->RedirectMachineClasses);
}

static NTSTATUS DispatchSandboxedOperation(ULONG_PTR NotifyClass, PVOID Information)
{
    if (NotifyClass >= RTL_NUMBER_OF(g_NotifyClassNames)) {
        if (IsDetailEnabled()) {
            DbgPrint("VexRegFilter - Unkown RegNotifyClass %d\n", (ULONG)NotifyClass);
        }
        return STATUS_SUCCESS;
    }
    if (IsDetailEnabled()) {
        DbgPrint("VexRegFilter - %s\n", g_NotifyClassNames[NotifyClass]);
    }
    switch ((REG_NOTIFY_CLASS)NotifyClass) {
    case RegNtPreEnumerateKey:
        return VexRegNtEnumerateKey((PREG_ENUMERATE_KEY_INFORMATION)Information);
    case RegNtPreQueryKey:
        return VexRegNtPreQueryKey((PREG_QUERY_KEY_INFORMATION)Information);
    case RegNtPreQueryValueKey:
        return VexRegNtPreQueryValueKey((PREG_QUERY_VALUE_KEY_INFORMATION)Information);
    case RegNtPostDeleteKey:
        return VexRegNtPostDeleteKey((PREG_POST_OPERATION_INFORMATION)Information);
    case RegNtPostSetValueKey:
        return VexRegNtPostSetValueKey((PREG_POST_OPERATION_INFORMATION)Information);
    case RegNtPostDeleteValueKey:
        return VexRegNtPostDeleteValueKey((PREG_POST_OPERATION_INFORMATION)Information);
    case RegNtPostRenameKey:
        return VexRegNtPostRenameKey((PREG_POST_OPERATION_INFORMATION)Information);
    case RegNtPreCreateKeyEx:
        return VexRegNtPreCreateKeyEx((PREG_CREATE_KEY_INFORMATION_V1)Information);
    case RegNtPreOpenKeyEx:
        return VexRegNtPreOpenKeyEx((PREG_OPEN_KEY_INFORMATION_V1)Information);
    case RegNtPostOpenKeyEx:
        return VexRegNtPostKeyHandleClose((PREG_POST_OPERATION_INFORMATION)Information);
    case RegNtPreQueryKeySecurity:
        return VexRegNtPreQueryKeySecurity((PREG_QUERY_KEY_SECURITY_INFORMATION)Information);
    default:
        return STATUS_SUCCESS;
    }
}

// The cleanup of contexts and the close of key objects come for every process: a context must be
// freed whoever closes its key, and a hive root may be closed from another process. Everything
// else passes untouched unless a process under the sandbox does it while redirection is
// configured; for those, no name is computed and nothing is allocated.
NTSTATUS NTAPI RegistryCallback(PVOID CallbackContext, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(CallbackContext);
    ULONG_PTR notifyClass = (ULONG_PTR)Argument1;

    if (notifyClass == RegNtCallbackObjectContextCleanup) {
        return ContextCleanup((PREG_CALLBACK_CONTEXT_CLEANUP_INFORMATION)Argument2);
    }
    if (notifyClass == RegNtPreKeyHandleClose) {
        return VexRegNtPreKeyHandleClose((PREG_KEY_HANDLE_CLOSE_INFORMATION)Argument2);
    }
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL) {
        DbgPrint("VexRegFilter - Current IRQL %d\n", irql);
    }
    if (IoGetCurrentProcess() == PsInitialSystemProcess) {
        return STATUS_SUCCESS;
    }
    if (!IsProcessUnderSandbox(PsGetCurrentProcessId())) {
        return STATUS_SUCCESS;
    }
    if (!IsRedirectionConfigured()) {
        return STATUS_SUCCESS;
    }
    return DispatchSandboxedOperation(notifyClass, Argument2);
}

VOID UnregisterRegistryCallback(VOID)
{
    if (g_VexRegFilterData.CallbackCookie.QuadPart == 0) {
        return;
    }
    NTSTATUS status = CmUnRegisterCallback(g_VexRegFilterData.CallbackCookie);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - CmUnRegisterCallback failed: %08x\n", status);
    }
    g_VexRegFilterData.CallbackCookie.QuadPart = 0;
}
