// Create and open of a sandboxed process: the heart of the redirection. The handler computes the
// key the caller means, lets keys that stay outside the sandbox pass, and otherwise performs the
// create or open itself on the key's copy under the redirect root (made on first use), hands the
// copy's key object to the configuration manager and completes the operation
// (STATUS_CALLBACK_BYPASS). The caller's handle then designates the copy, and every later
// operation on it acts on the copy.
#include "callback/callback_private.h"

#include "common/name_buffer.h"
#include "cow/cow.h"
#include "names/name_patterns.h"
#include "names/names.h"
#include "process/name_utils.h"
#include "tables/builtin_lists.h"
#include "tables/key_lists.h"

// What tells create and open apart: the texts of their records and lines, and the notify class
// the copy is prepared for.
typedef struct _KEY_OPERATION {
    BOOLEAN Create;
    REG_NOTIFY_CLASS NotifyClass;
    PCWSTR OperationText;   // "REG = CREATE" / "REG = OPEN"
    PCWSTR FuncText;        // "func = CREATE" / "func = OPEN"
    PCSTR Handler;          // the handler's name in its traces
    PCSTR LinePrefix;       // "PreCreateKey" / "PreOpenKey" in its debugger lines
    PCSTR BypassedLine;     // the line of a completed operation
} KEY_OPERATION, *PKEY_OPERATION;

static const KEY_OPERATION g_CreateKey = {
    TRUE, RegNtPreCreateKeyEx, L"REG = CREATE", FUNC_CREATE, "VexRegNtPreCreateKeyEx", "PreCreateKey",
    "\tCallback: Create key %wZ bypassed.\n",
};
static const KEY_OPERATION g_OpenKey = {
    FALSE, RegNtPreOpenKeyEx, L"REG = OPEN", FUNC_OPEN, "VexRegNtPreOpenKeyEx", "PreOpenKey",
    "\tCallback: Open key %wZ bypassed.\n",
};

// The name triple of one operation; each name owns its buffer.
typedef struct _KEY_NAMES {
    UNICODE_STRING Full;      // as the caller addressed it
    UNICODE_STRING Original;  // the real key
    UNICODE_STRING Redirect;  // the key's copy under the redirect root
} KEY_NAMES, *PKEY_NAMES;

static VOID FreeKeyNames(PKEY_NAMES Names)
{
    FreeOwnedString(&Names->Full);
    FreeOwnedString(&Names->Original);
    FreeOwnedString(&Names->Redirect);
}

// The registry view and the access check a version-1 block carries; an older block has neither,
// and its fields end before them. Without a view of the caller's, the process's own applies; the
// process is asked (a query through a handle) only where the view changes the key's names.
static ULONG Wow64FlagsOf(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING OriginalName)
{
    ULONG flags = Information->Version >= 1 ? Information->Wow64Flags : 0;
    if ((flags & (KEY_WOW64_64KEY | KEY_WOW64_32KEY)) == 0) {
        BOOLEAN view32 = DependsOnWow64View(OriginalName) && IsProcessWow64(IoGetCurrentProcess());
        flags |= view32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    }
    return flags;
}

static KPROCESSOR_MODE CheckAccessModeOf(PREG_CREATE_KEY_INFORMATION_V1 Information)
{
    return Information->Version >= 1 ? Information->CheckAccessMode : KernelMode;
}

// A key of the built-in exclusion list that the caller reached through the redirect area (relative
// to a key of the copy): the real key is opened or created for the caller, with the caller's
// access check, and handed out without a context.
static NTSTATUS CompleteOnRealKey(const KEY_OPERATION* Operation, PREG_CREATE_KEY_INFORMATION_V1 Information,
                                  PCUNICODE_STRING OriginalName)
{
    HANDLE key = NULL;
    PVOID object = NULL;
    ULONG disposition = 0;
    OBJECT_HANDLE_INFORMATION handleInformation;
    OBJECT_ATTRIBUTES attributes;
    ULONG flags = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | (Operation->Create ? OBJ_OPENIF : 0);
    if (CheckAccessModeOf(Information) == UserMode) {
        flags |= OBJ_FORCE_ACCESS_CHECK;
    }
    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)OriginalName, flags, NULL, Information->SecurityDescriptor);

    NTSTATUS status = Operation->Create ? ZwCreateKey(&key, Information->DesiredAccess, &attributes, 0, NULL,
                                                      Information->Options, &disposition)
                                        : ZwOpenKey(&key, Information->DesiredAccess, &attributes);
    if (!NT_SUCCESS(status)) {
        LogOperation(Operation->OperationText, Operation->FuncText, status, OriginalName);
        return status;
    }
    status = ObReferenceObjectByHandle(key, Information->DesiredAccess, NULL, KernelMode, &object, &handleInformation);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("%s - Failed to ObReferenceObjectByHandle. status = %08x key = %wZ\n", Operation->LinePrefix, status,
                      OriginalName);
        (VOID)LogRegistryOperation(LOG_LEVEL_TRACE, PsGetCurrentProcessId(), Operation->OperationText, FUNC_BYPASS, status,
                                   OriginalName);
        ZwClose(key);
        return status;
    }
    if (Operation->Create && Information->Disposition != NULL) {
        *Information->Disposition = disposition;
    }
    *Information->ResultObject = object;
    Information->GrantedAccess = (Information->DesiredAccess & MAXIMUM_ALLOWED) != 0 ? handleInformation.GrantedAccess
                                                                                     : MapKeyAccess(Information->DesiredAccess);
    LogOperation(Operation->OperationText, FUNC_BYPASS, STATUS_SUCCESS, OriginalName);
    ZwClose(key);
    return STATUS_CALLBACK_BYPASS;
}

// Keys inside an application hive are reached through the hive's root key, which the list holds
// once the process works below a root it opened: RootObject is held by this operation, so it can
// be opened once more.
static VOID HoldAppHiveRoot(PREG_CREATE_KEY_INFORMATION_V1 Information)
{
    PCUNICODE_STRING rootName = NULL;
    if (!AHLIsEmpty() &&
        NT_SUCCESS(CmCallbackGetKeyObjectID(&g_VexRegFilterData.CallbackCookie, Information->RootObject, NULL, &rootName)) &&
        IsAppHiveRootName(rootName)) {
        (VOID)AHLHoldRootKey(PsGetCurrentProcessId(), Information->RootObject, rootName);
    }
}

// Completes the operation on the key's copy: checks the caller's access to the real key, prepares
// the copy and hands its key object out with the names it stands for.
static NTSTATUS CompleteOnCopy(const KEY_OPERATION* Operation, PREG_CREATE_KEY_INFORMATION_V1 Information, PKEY_NAMES Names)
{
    ACCESS_MASK access = 0;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG disposition = 0;
    ULONG hash = 0;
    PVOID object = NULL;

    HoldAppHiveRoot(Information);
    RegAccessCheck(&Names->Original, CheckAccessModeOf(Information), Information->DesiredAccess, &access, &status);
    if (!NT_SUCCESS(status)) {
        LogOperation(Operation->OperationText, Operation->FuncText, status, &Names->Full);
        return status;
    }
    status = PrepareRedirectKey(Information, &Names->Full, &Names->Original, &Names->Redirect, Operation->NotifyClass, access,
                                &disposition, &hash, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Operation->Create && Information->Disposition != NULL) {
        *Information->Disposition = disposition;
    }
    *Information->ResultObject = object;
    Information->GrantedAccess = access;
    (VOID)SetCallbackContext(object, &Names->Original, &Names->Redirect, hash);
    if (IsDetailEnabled()) {
        PrintPrefixed(Operation->BypassedLine, Information->CompleteName);
    }
    LogOperation(Operation->OperationText, FUNC_BYPASS, STATUS_SUCCESS, &Names->Redirect);
    return STATUS_CALLBACK_BYPASS;
}

// Decides, in this order: names that cannot be computed fail; with pass-through-only everything
// passes; built-in exclusions pass (or, reached through the redirect area, complete on the real
// key); the top of the registry passes; the WOW64 view is applied; keys on the exclusion-key list
// do not exist for an open; the rest completes on the copy.
static NTSTATUS PreCreateOrOpenKey(const KEY_OPERATION* Operation, PREG_CREATE_KEY_INFORMATION_V1 Information)
{
    KEY_NAMES names = {};
    const ULONG flags = g_VexRegFilterData.DebugLogFlags;

    TraceLinePrefixed("%s() - enter\n", Operation->Handler);
    NTSTATUS status = GetRegistryPath(&g_VexRegFilterData.CallbackCookie, Information->RootObject, Information->CompleteName,
                                      &names.Full, &names.Original, &names.Redirect);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    LogOperation(Operation->OperationText, Operation->FuncText, STATUS_SUCCESS, &names.Full);
    if (!Operation->Create && (flags & (DEBUG_FLAG_OPEN_FULL_NAME | DEBUG_FLAG_DETAILS)) == DEBUG_FLAG_OPEN_FULL_NAME) {
        PrintPrefixed("%s - Full %wZ\n", Operation->LinePrefix, &names.Full);
    }
    if ((flags & DEBUG_FLAG_PASS_THROUGH_ONLY) != 0) {
        goto Exit;
    }
    if ((flags & DEBUG_FLAG_DETAILS) != 0) {
        PrintPrefixed("%s - Full %wZ\n", Operation->LinePrefix, &names.Full);
    }

    if (ELIsExcludeKey(&names.Original)) {
        if (ELIsExcludeKey(&names.Full)) {
            LogOperation(Operation->OperationText, FUNC_EXCLUDED, STATUS_SUCCESS, &names.Full);
        } else {
            status = CompleteOnRealKey(Operation, Information, &names.Original);
        }
        goto Exit;
    }
    if (IsExcludeName(&names.Full)) {
        LogOperation(Operation->OperationText, FUNC_EXCLUDED, STATUS_SUCCESS, &names.Full);
        goto Exit;
    }
    status = GetActualPathForClassesWow64(&names.Original, &names.Redirect, Wow64FlagsOf(Information, &names.Original));
    if (!NT_SUCCESS(status)) {
        if (!Operation->Create) {
            PrintPrefixed("Failed to GetActualPathForClassesWow64. FullName = %wZ\n", &names.Full);
        }
        goto Exit;
    }
    if ((flags & DEBUG_FLAG_DETAILS) != 0) {
        PrintPrefixed("%s - Full Name  : %wZ\n", Operation->LinePrefix, &names.Full);
        PrintPrefixed("%s - Original   : %wZ\n", Operation->LinePrefix, &names.Original);
        PrintPrefixed("%s - Redirected : %wZ\n", Operation->LinePrefix, &names.Redirect);
    }
    if (!Operation->Create && IsThereExcludeKey(&names.Original)) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        LogOperation(Operation->OperationText, FUNC_EXCLUDED, status, &names.Full);
        goto Exit;
    }
    status = CompleteOnCopy(Operation, Information, &names);

Exit:
    FreeKeyNames(&names);
    TraceLinePrefixed("%s() - exit\n", Operation->Handler);
    return status;
}

NTSTATUS VexRegNtPreCreateKeyEx(PREG_CREATE_KEY_INFORMATION_V1 Information)
{
    return PreCreateOrOpenKey(&g_CreateKey, Information);
}

NTSTATUS VexRegNtPreOpenKeyEx(PREG_OPEN_KEY_INFORMATION_V1 Information)
{
    return PreCreateOrOpenKey(&g_OpenKey, Information);
}
