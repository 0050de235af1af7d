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

// The handler of each class a sandboxed operation is handed on for, each taking the class's own
// information block.
typedef NTSTATUS (*REGISTRY_HANDLER)(PVOID Information);

#define INFORMATION_HANDLER(Handler, Block) \
    static NTSTATUS Call##Handler(PVOID Information) { return Handler((Block)Information); }
INFORMATION_HANDLER(VexRegNtEnumerateKey, PREG_ENUMERATE_KEY_INFORMATION)
INFORMATION_HANDLER(VexRegNtPreQueryKey, PREG_QUERY_KEY_INFORMATION)
INFORMATION_HANDLER(VexRegNtPreQueryValueKey, PREG_QUERY_VALUE_KEY_INFORMATION)
INFORMATION_HANDLER(VexRegNtPreRenameKey, PREG_RENAME_KEY_INFORMATION)
INFORMATION_HANDLER(VexRegNtPreDeleteKey, PREG_DELETE_KEY_INFORMATION)
INFORMATION_HANDLER(VexRegNtPostDeleteKey, PREG_POST_OPERATION_INFORMATION)
INFORMATION_HANDLER(VexRegNtPostSetValueKey, PREG_POST_OPERATION_INFORMATION)
INFORMATION_HANDLER(VexRegNtPostDeleteValueKey, PREG_POST_OPERATION_INFORMATION)
INFORMATION_HANDLER(VexRegNtPostRenameKey, PREG_POST_OPERATION_INFORMATION)
INFORMATION_HANDLER(VexRegNtPreCreateKeyEx, PREG_CREATE_KEY_INFORMATION_V1)
INFORMATION_HANDLER(VexRegNtPreOpenKeyEx, PREG_OPEN_KEY_INFORMATION_V1)
INFORMATION_HANDLER(VexRegNtPostKeyHandleClose, PREG_POST_OPERATION_INFORMATION)
INFORMATION_HANDLER(VexRegNtPreQueryKeySecurity, PREG_QUERY_KEY_SECURITY_INFORMATION)

// The handler of a class, or none: every other class only names itself.
static REGISTRY_HANDLER HandlerOf(ULONG_PTR NotifyClass)
{
    switch (NotifyClass) {
    case RegNtPreEnumerateKey:
        return CallVexRegNtEnumerateKey;
    case RegNtPreQueryKey:
        return CallVexRegNtPreQueryKey;
    case RegNtPreQueryValueKey:
        return CallVexRegNtPreQueryValueKey;
    case RegNtPreRenameKey:
        return CallVexRegNtPreRenameKey;
    case RegNtPreDeleteKey:
        return CallVexRegNtPreDeleteKey;
    case RegNtPostDeleteKey:
        return CallVexRegNtPostDeleteKey;
    case RegNtPostSetValueKey:
        return CallVexRegNtPostSetValueKey;
    case RegNtPostDeleteValueKey:
        return CallVexRegNtPostDeleteValueKey;
    case RegNtPostRenameKey:
        return CallVexRegNtPostRenameKey;
    case RegNtPreCreateKeyEx:
        return CallVexRegNtPreCreateKeyEx;
    case RegNtPreOpenKeyEx:
        return CallVexRegNtPreOpenKeyEx;
    case RegNtPostOpenKeyEx:
        return CallVexRegNtPostKeyHandleClose;
    case RegNtPreQueryKeySecurity:
        return CallVexRegNtPreQueryKeySecurity;
    default:
        return NULL;
    }
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
    REGISTRY_HANDLER handler = HandlerOf(NotifyClass);
    return handler != NULL ? handler(Information) : STATUS_SUCCESS;
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
    // A class without a handler has nothing to do unless it is to be named: its answer is the
    // same for every process, and the look-up in the process list is spared.
    if (!IsDetailEnabled() && HandlerOf(notifyClass) == NULL) {
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
