// The redirect names user mode configures while redirection is stopped, and values it writes
// into the private copy. Each setter builds its new names into temporaries and replaces the old
// ones only when all were built, so a failure leaves the configuration as it was.
#include "driver/redirection.h"

#include "common/debug_print.h"
#include "common/match.h"
#include "common/name_buffer.h"
#include "cow/cow.h"
#include "driver/global.h"
#include "names/names.h"
#include "names/url_allowlist.h"
#include "tables/key_lists.h"

// "\REGISTRY\USER\" is 15 characters; the SID follows it in the user-classes root.
#define USER_SID_OFFSET_CHARS 15

static const UNICODE_STRING g_UserSuffix = CONSTANT_NAME(L"\\USER");
static const UNICODE_STRING g_MachineSuffix = CONSTANT_NAME(L"\\MACHINE");

static BOOLEAN IsStarted(PCSTR RequestName)
{
    if (g_VexRegFilterData.CallbackCookie.QuadPart == 0) {
        return FALSE;
    }
    DbgPrint("VexRegFilter - Redirector has already been started.(%s)\n", RequestName);
    return TRUE;
}

// A NUL-terminated copy of Path.
static NTSTATUS CopyTerminated(PUNICODE_STRING Name, PCUNICODE_STRING Path)
{
    return CopyName(Name, Path, (ULONG)Path->Length + sizeof(WCHAR));
}

// First + Second in a new NUL-terminated buffer; the capacity is summed in 32 bits and checked.
static NTSTATUS BuildJoinedName(PUNICODE_STRING Name, PCUNICODE_STRING First, PCUNICODE_STRING Second)
{
    NTSTATUS status = AllocateName(Name, (ULONG)First->Length + Second->Length + sizeof(WCHAR));
    if (NT_SUCCESS(status)) {
        AppendName(Name, First);
        AppendName(Name, Second);
    }
    return status;
}

// Replaces Field by Value (which gives up its buffer), printing the old value with the details bit.
static VOID ReplaceName(PUNICODE_STRING Field, PUNICODE_STRING Value, PCSTR OverwriteFormat)
{
    if (IsNameSet(Field) && IsDetailEnabled()) {
        DbgPrint(OverwriteFormat, Field);
    }
    FreeOwnedString(Field);
    *Field = *Value;
    RtlZeroMemory(Value, sizeof(*Value));
}

static VOID PrintBuildFailure(NTSTATUS Status, PCSTR Line)
{
    if (Status == STATUS_INSUFFICIENT_RESOURCES) {
        DbgPrint("%s", Line);
    }
}

NTSTATUS SetRedirectKeyName(PCUNICODE_STRING Path)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    if (IsStarted("IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME")) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING root = {0, 0, NULL};
    UNICODE_STRING pattern = {0, 0, NULL};
    UNICODE_STRING user = {0, 0, NULL};
    UNICODE_STRING machine = {0, 0, NULL};
    NTSTATUS status = CopyTerminated(&root, Path);
    if (!NT_SUCCESS(status)) {
        PrintBuildFailure(status, "VexRegFilter - RedirectRootKeyName.Buffer allocate error\n");
        return status;
    }
    // A root outside \Registry\Machine\Software\ has no pattern: refused as the pool failure is.
    (void)CreateRedirectRootKeyPattern(&root, &pattern);
    if (!IsNameSet(&pattern)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = BuildJoinedName(&user, &root, &g_UserSuffix);
        if (!NT_SUCCESS(status)) {
            PrintBuildFailure(status, "VexRegFilter - RedirectRootKeyNameUser.Buffer allocate error\n");
        } else {
            status = BuildJoinedName(&machine, &root, &g_MachineSuffix);
            if (!NT_SUCCESS(status)) {
                PrintBuildFailure(status, "VexRegFilter - RedirectRootKeyNameMachine.Buffer allocate error\n");
            }
        }
    }
    if (!NT_SUCCESS(status)) {
        FreeOwnedString(&root);
        FreeOwnedString(&pattern);
        FreeOwnedString(&user);
        FreeOwnedString(&machine);
        return status;
    }

    ReplaceName(&data->RedirectRootKeyName, &root, "VexRegFilter - overwrite redirect registory path old : %wZ\n");
    // The private copy itself is never redirected.
    (void)InsertExcludeKey(&data->RedirectRootKeyName);
    ReplaceName(&data->RedirectRootKeyPattern, &pattern, "VexRegFilter - overwrite redirect registory pattern old : %wZ\n");
    ReplaceName(&data->RedirectRootKeyNameUser, &user, "VexRegFilter - overwrite redirect registory user old : %wZ\n");
    ReplaceName(&data->RedirectRootKeyNameMachine, &machine, "VexRegFilter - overwrite redirect registory machine old : %wZ\n");

    DbgPrint("VexRegFilter - IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME:\n");
    DbgPrint("    RootKeyName        = '%wZ'\n", &data->RedirectRootKeyName);
    DbgPrint("    RootKeyPattern     = '%wZ'\n", &data->RedirectRootKeyPattern);
    DbgPrint("    RootKeyNameUser    = '%wZ'\n", &data->RedirectRootKeyNameUser);
    DbgPrint("    RootKeyNameMachine = '%wZ'\n", &data->RedirectRootKeyNameMachine);
    return STATUS_SUCCESS;
}

// The SID text of a user-classes root: from character 15 up to the next backslash or the end.
static VOID FindUserSid(PCUNICODE_STRING UserClasses, PUNICODE_STRING Sid)
{
    USHORT characters = UserClasses->Length / sizeof(WCHAR);
    USHORT end = USER_SID_OFFSET_CHARS;
    while (end < characters && UserClasses->Buffer[end] != L'\\') {
        end++;
    }
    Sid->Buffer = characters > USER_SID_OFFSET_CHARS ? UserClasses->Buffer + USER_SID_OFFSET_CHARS : UserClasses->Buffer;
    Sid->Length = characters > USER_SID_OFFSET_CHARS ? (USHORT)((end - USER_SID_OFFSET_CHARS) * sizeof(WCHAR)) : 0;
    Sid->MaximumLength = Sid->Length;
}

NTSTATUS SetRedirectUserClassesKeyName(PCUNICODE_STRING Path)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    if (IsStarted("IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME")) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING classes = {0, 0, NULL};
    NTSTATUS status = CopyTerminated(&classes, Path);
    if (!NT_SUCCESS(status)) {
        PrintBuildFailure(status, "VexRegFilter - RedirectUserClasses.Buffer allocate error\n");
        return status;
    }
    UNICODE_STRING sidView;
    UNICODE_STRING sid = {0, 0, NULL};
    FindUserSid(&classes, &sidView);
    status = DuplicateName(&sid, &sidView);
    if (!NT_SUCCESS(status)) {
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
            PrintPrefixed("UserSid.Buffer allocate error\n");
        }
        FreeOwnedString(&classes);
        return status;
    }

    ReplaceName(&data->RedirectUserClasses, &classes, "VexRegFilter - overwrite redirect user classes path old : %wZ\n");
    (void)InsertExcludeKey(&data->RedirectUserClasses);
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME:\n");
    DbgPrint("    UserClasses = '%wZ'\n", &data->RedirectUserClasses);
    ReplaceName(&data->UserSid, &sid, "VexRegFilter - overwrite UserSid old : %wZ\n");
    DbgPrint("    UserSid     = '%wZ'\n", &data->UserSid);
    (void)CreateRelatedKeyName(&data->UserSid);
    return STATUS_SUCCESS;
}

NTSTATUS SetRedirectMachineClassesKeyName(PCUNICODE_STRING Path)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    if (IsStarted("IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME")) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING classes = {0, 0, NULL};
    NTSTATUS status = CopyTerminated(&classes, Path);
    if (!NT_SUCCESS(status)) {
        PrintBuildFailure(status, "VexRegFilter - RedirectMachineClasses.Buffer allocate error\n");
        return status;
    }
    ReplaceName(&data->RedirectMachineClasses, &classes, "VexRegFilter - overwrite redirect machine classes path old : %wZ\n");
    (void)InsertExcludeKey(&data->RedirectMachineClasses);
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME:\n");
    DbgPrint("    MachineClasses = '%wZ'\n", &data->RedirectMachineClasses);
    return STATUS_SUCCESS;
}

// The key is one of the three redirect roots or lies below one.
static BOOLEAN IsInPrivateCopy(PCUNICODE_STRING KeyName)
{
    PCUNICODE_STRING roots[] = {&g_VexRegFilterData.RedirectRootKeyName, &g_VexRegFilterData.RedirectUserClasses,
                                &g_VexRegFilterData.RedirectMachineClasses};
    for (ULONG i = 0; i < RTL_NUMBER_OF(roots); i++) {
        if (IsNameSet(roots[i]) && (IsSameName(roots[i], KeyName) || IsProperPrefixName(roots[i], KeyName))) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS SetRegValue(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize,
                     ULONG InputLength)
{
    if (IsStarted("IOCTL_SANDBOX_SET_REG_VALUE")) {
        return STATUS_SUCCESS;
    }
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_SET_REG_VALUE %d\n", InputLength);
    if (!IsInPrivateCopy(KeyName)) {
        return STATUS_ACCESS_DENIED;
    }
    return CreateRegData(KeyName, ValueName, Type, Data, DataSize);
}

VOID FreeRedirectNames(VOID)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    FreeOwnedString(&data->RedirectRootKeyName);
    FreeOwnedString(&data->RedirectUserClasses);
    FreeOwnedString(&data->RedirectMachineClasses);
    FreeOwnedString(&data->RedirectRootKeyPattern);
    FreeOwnedString(&data->RedirectRootKeyNameUser);
    FreeOwnedString(&data->RedirectRootKeyNameMachine);
    FreeOwnedString(&data->UserSid);
    FreeRelatedKeyNames();
    FreeOwnedString(&data->InternetSettingsKey);
    FreeOwnedString(&data->RedirectInternetSettingsKey);
    UAPFinalize();
}
