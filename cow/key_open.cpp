// Opening and creating keys by full name for the driver's own work, on real keys and on their
// copies. One registry call walks at most 32 levels of a name, so deeper names are opened in two
// stages: the first 32 levels by name, then the rest one level at a time relative to the level
// above. A key inside an application hive cannot be reached by name from another context; it is
// reached through the hive root key object the current process opened.
#include "cow/cow_private.h"

#include "common/debug_print.h"
#include "common/match.h"
#include "common/name_buffer.h"
#include "names/name_patterns.h"
#include "names/names.h"
#include "tables/builtin_lists.h"
#include "tables/global_data.h"

NTSTATUS OpenKeyAt(PHANDLE Handle, HANDLE Root, PCUNICODE_STRING Name, ACCESS_MASK Access)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)Name, COW_KEY_ATTRIBUTES, Root, NULL);
    NTSTATUS status = ZwOpenKey(Handle, Access, &attributes);
    if (!NT_SUCCESS(status)) {
        *Handle = NULL;
    }
    return status;
}

NTSTATUS CreateKeyAt(PHANDLE Handle, HANDLE Root, PCUNICODE_STRING Name, ULONG CreateOptions)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)Name, COW_KEY_ATTRIBUTES, Root, NULL);
    NTSTATUS status = ZwCreateKey(Handle, KEY_ALL_ACCESS, &attributes, 0, NULL, CreateOptions, NULL);
    if (!NT_SUCCESS(status)) {
        *Handle = NULL;
    }
    return status;
}

VOID CloseKey(PHANDLE Handle)
{
    if (*Handle != NULL) {
        ZwClose(*Handle);
        *Handle = NULL;
    }
}

// The Internet Settings subtree is the one part of the copy that survives a restart. Only the key
// itself and names that continue below it with a separator belong to it: a sibling whose name
// merely begins the same way stays volatile like the rest of the copy.
ULONG GetRedirectCreateOptions(PCUNICODE_STRING Name)
{
    PCUNICODE_STRING settings = &g_VexRegFilterData.RedirectInternetSettingsKey;
    if (!IsNameSet(settings) || settings->Length == 0 || !IsPrefixName(settings, Name)) {
        return REG_OPTION_VOLATILE;
    }
    const USHORT prefixChars = settings->Length / sizeof(WCHAR);
    if (Name->Length == settings->Length || settings->Buffer[prefixChars - 1] == L'\\' ||
        Name->Buffer[prefixChars] == L'\\') {
        return REG_OPTION_NON_VOLATILE;
    }
    return REG_OPTION_VOLATILE;
}

static BOOLEAN IsAppHiveSubkeyName(PCUNICODE_STRING Name)
{
    return IsMatchName(Name, &g_HLPatterns.AppHiveSubkeyPattern);
}

// Where one registry call ends on Name: Head is what it walks (all of Name when Tail is empty),
// Tail the levels below, without a trailing separator. Relative to Root when Root is given.
static VOID SplitForOneCall(HANDLE Root, PCUNICODE_STRING Name, PUNICODE_STRING Head, PUNICODE_STRING Tail)
{
    *Tail = *Name;
    NextKeyPathChunk(Tail, Root == NULL, Head);
}

// Opens Name (relative to Root, or absolute without one) at any depth, or with CreateLast creates
// its last level. The head of a split name and every level of its tail but the last are opened
// with Access.
static NTSTATUS WalkKeyPath(PHANDLE Handle, HANDLE Root, PCUNICODE_STRING Name, ACCESS_MASK Access, BOOLEAN CreateLast)
{
    UNICODE_STRING head = {};
    UNICODE_STRING tail = {};
    const ULONG createOptions = GetRedirectCreateOptions(Name);

    *Handle = NULL;
    SplitForOneCall(Root, Name, &head, &tail);
    if (tail.Length == 0) {
        return CreateLast ? CreateKeyAt(Handle, Root, &head, createOptions) : OpenKeyAt(Handle, Root, &head, Access);
    }

    HANDLE current = NULL;
    NTSTATUS status = OpenKeyAt(&current, Root, &head, Access);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const USHORT characters = tail.Length / sizeof(WCHAR);
    USHORT start = 0;
    for (USHORT i = 0; i <= characters; i++) {
        if (i < characters && tail.Buffer[i] != L'\\') {
            continue;
        }
        UNICODE_STRING level;
        level.Buffer = tail.Buffer + start;
        level.Length = (USHORT)((i - start) * sizeof(WCHAR));
        level.MaximumLength = level.Length;
        HANDLE next = NULL;
        if (i == characters && CreateLast) {
            status = CreateKeyAt(&next, current, &level, createOptions);
        } else {
            status = OpenKeyAt(&next, current, &level, Access);
        }
        CloseKey(&current);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        current = next;
        start = i + 1;
    }
    *Handle = current;
    return STATUS_SUCCESS;
}

// Opens a name inside an application hive relative to the hive's root key, which the lookup hands
// out with a reference of its own; a name below the root deeper than one call reaches is walked in
// two stages like any other. Caller names the operation in the failure lines.
static NTSTATUS OpenInAppHive(PCSTR Caller, PHANDLE Handle, PCUNICODE_STRING Name, ACCESS_MASK Access)
{
    PVOID rootObject = NULL;
    UNICODE_STRING rest = {};
    HANDLE root = NULL;

    NTSTATUS status = AHLLookup(PsGetCurrentProcessId(), Name, &rootObject, &rest);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("%s - Failed to AHLLookup. status = %08x key = %wZ\n", Caller, status, Name);
        return status;
    }
    status = ObOpenObjectByPointer(rootObject, OBJ_KERNEL_HANDLE, NULL, KEY_READ, NULL, KernelMode, &root);
    ObDereferenceObject(rootObject);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("%s - Failed to ObOpenObjectByPointer. status = %08x key = %wZ\n", Caller, status, Name);
        return status;
    }
    status = WalkKeyPath(Handle, root, &rest, Access, FALSE);
    CloseKey(&root);
    return status;
}

NTSTATUS OpenRegistryKey(PHANDLE Handle, PCUNICODE_STRING Name, ACCESS_MASK Access)
{
    *Handle = NULL;
    if (IsAppHiveSubkeyName(Name)) {
        return OpenInAppHive("OpenRegistryKey", Handle, Name, Access);
    }
    return WalkKeyPath(Handle, NULL, Name, Access, FALSE);
}

NTSTATUS CreateRegistryKey(PHANDLE Handle, PCUNICODE_STRING Name)
{
    return WalkKeyPath(Handle, NULL, Name, KEY_ALL_ACCESS, TRUE);
}

static BOOLEAN HasSeparator(PCUNICODE_STRING Name)
{
    for (USHORT i = 0; i < Name->Length / sizeof(WCHAR); i++) {
        if (Name->Buffer[i] == L'\\') {
            return TRUE;
        }
    }
    return FALSE;
}

// A redirected caller that named one level below its root key object is served from that key
// object, without walking a name deeper than 32 levels. RemainingName exists only in blocks of
// version 1 and later. Any failure leaves nothing open and lets the caller walk the name instead.
static NTSTATUS OpenBelowRootObject(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName,
                                    PCUNICODE_STRING Name, BOOLEAN Create, PHANDLE Handle)
{
    if (Information == NULL || FullName == NULL || Information->Version < 1 || Information->RemainingName == NULL ||
        Information->RootObject == NULL || HasSeparator(Information->RemainingName) || !IsRedirectedFullName(FullName)) {
        return STATUS_NOT_SUPPORTED;
    }
    HANDLE root = NULL;
    NTSTATUS status =
        ObOpenObjectByPointer(Information->RootObject, OBJ_KERNEL_HANDLE, NULL, KEY_ALL_ACCESS, NULL, KernelMode, &root);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Create) {
        status = CreateKeyAt(Handle, root, Information->RemainingName, GetRedirectCreateOptions(Name));
    } else {
        status = OpenKeyAt(Handle, root, Information->RemainingName, KEY_ALL_ACCESS);
    }
    CloseKey(&root);
    return status;
}

static BOOLEAN IsDeeperThanOneCall(PCUNICODE_STRING Name)
{
    UNICODE_STRING head = {};
    UNICODE_STRING tail = *Name;
    NextKeyPathChunk(&tail, TRUE, &head);
    return tail.Length != 0;
}

static NTSTATUS OpenOrCreateForOperation(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName,
                                         PHANDLE Handle, PCUNICODE_STRING Name, BOOLEAN Create)
{
    if (IsDeeperThanOneCall(Name) && NT_SUCCESS(OpenBelowRootObject(Information, FullName, Name, Create, Handle))) {
        return STATUS_SUCCESS;
    }
    return WalkKeyPath(Handle, NULL, Name, KEY_ALL_ACCESS, Create);
}

NTSTATUS OpenRegistryKeyEx(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName, PHANDLE Handle,
                           PCUNICODE_STRING Name)
{
    *Handle = NULL;
    if (IsAppHiveSubkeyName(Name)) {
        return OpenInAppHive("OpenRegistryKeyEx", Handle, Name, KEY_ALL_ACCESS);
    }
    return OpenOrCreateForOperation(Information, FullName, Handle, Name, FALSE);
}

NTSTATUS CreateRegistryKeyEx(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName, PHANDLE Handle,
                             PCUNICODE_STRING Name)
{
    return OpenOrCreateForOperation(Information, FullName, Handle, Name, TRUE);
}
