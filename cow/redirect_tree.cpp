// Making the keys of the copy: one key, a whole missing path below a redirect root, and the
// correction of the copy's name for processes in a Windows container.
#include "cow/cow_private.h"

#include "common/debug_print.h"
#include "common/match.h"
#include "common/name_buffer.h"
#include "names/name_patterns.h"
#include "tables/global_data.h"
#include "tables/key_lists.h"

NTSTATUS ApplySiloCorrection(PCSTR Caller, PVOID KeyObject, PUNICODE_STRING RedirectName, PULONG Hash)
{
    PCUNICODE_STRING objectName = NULL;
    NTSTATUS status = CmCallbackGetKeyObjectID(&g_VexRegFilterData.CallbackCookie, KeyObject, NULL, &objectName);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("%s - Failed to CmCallbackGetKeyObjectID. NTStatus = %08x\n", Caller, status);
        return status;
    }
    UNICODE_STRING compared = *RedirectName;
    if (compared.Length >= sizeof(WCHAR) && compared.Buffer[compared.Length / sizeof(WCHAR) - 1] == L'\\') {
        compared.Length -= sizeof(WCHAR);
    }
    if (IsSameName(objectName, &compared) || !IsMatchName(objectName, &g_HLPatterns.SiloUserClassesOwnPattern)) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING replacement;
    if (!NT_SUCCESS(DuplicateName(&replacement, objectName))) {
        PrintPrefixed("%s - Failed to allocate resource for TempString.\n", Caller);
        return STATUS_SUCCESS;
    }
    FreeOwnedString(RedirectName);
    *RedirectName = replacement;
    // The history key of the new name: a hash kept from the old name would file it where no
    // lookup of the new name ever finds it.
    if (Hash != NULL) {
        (void)RegistryHistoryHash(RedirectName, Hash);
    }
    return STATUS_SUCCESS;
}

// Where the walk of a copy's path starts: just after the redirect root the name lies under, so
// that the first create names that root and the component after it absolutely, or after
// "\REGISTRY\" for any other name. A name that ends at its root starts past its end, and the walk
// then creates the whole name in one call.
static USHORT TreeWalkStart(PCUNICODE_STRING Name)
{
    PCUNICODE_STRING roots[] = {&g_VexRegFilterData.RedirectRootKeyName, &g_VexRegFilterData.RedirectMachineClasses,
                                &g_VexRegFilterData.RedirectUserClasses};
    for (ULONG i = 0; i < RTL_NUMBER_OF(roots); i++) {
        if (IsNameSet(roots[i]) && IsPrefixName(roots[i], Name)) {
            return (USHORT)(roots[i]->Length / sizeof(WCHAR) + 1);
        }
    }
    return REGISTRY_PREFIX_CHARS;
}

// Creates each missing key of Name from its walk start on, each level relative to the one above,
// into Handle. Caller names the operation in the failure lines.
static NTSTATUS CreateKeyPath(PCSTR Caller, PCUNICODE_STRING Name, ULONG CreateOptions, PHANDLE Handle)
{
    HANDLE current = NULL;
    USHORT end = Name->Length / sizeof(WCHAR);
    if (Name->Buffer[end - 1] == L'\\') {
        end--;
    }
    USHORT from = 0;
    for (USHORT i = TreeWalkStart(Name); i < end; i++) {
        if (Name->Buffer[i] != L'\\') {
            continue;
        }
        UNICODE_STRING level;
        level.Buffer = Name->Buffer + from;
        level.Length = (USHORT)((i - from) * sizeof(WCHAR));
        level.MaximumLength = level.Length;
        HANDLE next = NULL;
        NTSTATUS status = CreateKeyAt(&next, current, &level, CreateOptions);
        CloseKey(&current);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("%s - Failed to ZwCreateKey. path = %wZ status = %x\n", Caller, &level, status);
            return status;
        }
        current = next;
        from = i + 1;
    }
    UNICODE_STRING last;
    last.Buffer = Name->Buffer + from;
    last.Length = (USHORT)((end - from) * sizeof(WCHAR));
    last.MaximumLength = last.Length;
    NTSTATUS status = CreateKeyAt(Handle, current, &last, CreateOptions);
    CloseKey(&current);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("%s - Failed to ZwCreateKey. path = %wZ status = %x\n", Caller, Name, status);
    }
    return status;
}

static BOOLEAN IsTreeName(PCUNICODE_STRING Name)
{
    return IsNameSet(Name) && Name->Length >= MIN_FULL_KEY_NAME_BYTES;
}

NTSTATUS CreateTreeAndGetKey(PUNICODE_STRING Name, ACCESS_MASK Access, PHANDLE Handle, PVOID* KeyObject, PULONG Hash)
{
    *Handle = NULL;
    *KeyObject = NULL;
    if (!IsTreeName(Name)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CreateKeyPath("CreateTreeAndGetKey", Name, GetRedirectCreateOptions(Name), Handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ObReferenceObjectByHandle(*Handle, Access, NULL, KernelMode, KeyObject, NULL);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CreateTreeAndGetKey - Failed to ObReferenceObjectByHandle. path = %wZ status = %x\n", Name, status);
        *KeyObject = NULL;
    } else {
        status = ApplySiloCorrection("CreateTreeAndGetKey", *KeyObject, Name, Hash);
        if (!NT_SUCCESS(status)) {
            ObDereferenceObject(*KeyObject);
            *KeyObject = NULL;
        }
    }
    if (!NT_SUCCESS(status)) {
        CloseKey(Handle);
    }
    return status;
}

NTSTATUS CreateTreeNonVolatile(PCUNICODE_STRING Name)
{
    if (!IsTreeName(Name)) {
        return STATUS_INVALID_PARAMETER;
    }
    HANDLE key = NULL;
    NTSTATUS status = CreateKeyPath("CreateTreeNonVolatile", Name, REG_OPTION_NON_VOLATILE, &key);
    CloseKey(&key);
    return status;
}

NTSTATUS CreateRedirectTree(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName, PCUNICODE_STRING OriginalName,
                            PUNICODE_STRING RedirectName, BOOLEAN CopyValues, ACCESS_MASK Access, BOOLEAN CreateMissing,
                            PULONG Hash, PVOID* KeyObject)
{
    HANDLE copy = NULL;
    *KeyObject = NULL;

    NTSTATUS status = CreateRegistryKeyEx(Information, FullName, &copy, RedirectName);
    if (NT_SUCCESS(status)) {
        status = ObReferenceObjectByHandle(copy, Access, NULL, KernelMode, KeyObject, NULL);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("CreateRedirectTree - Failed to ObReferenceObjectByHandle. path = %wZ status = %x\n", RedirectName, status);
            *KeyObject = NULL;
            CloseKey(&copy);
            return status;
        }
        (void)ApplySiloCorrection("CreateRedirectTree", *KeyObject, RedirectName, Hash);
    } else if (!CreateMissing) {
        return status;
    } else {
        status = CreateTreeAndGetKey(RedirectName, Access, &copy, KeyObject, Hash);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("CreateRedirectTree - Failed to CreateTreeAndGetKey. path = %wZ status = %x\n", RedirectName, status);
            return status;
        }
    }

    status = STATUS_SUCCESS;
    HANDLE real = NULL;
    if (CopyValues && !IsThereExcludeKey(OriginalName) && NT_SUCCESS(OpenRegistryKey(&real, OriginalName, KEY_READ))) {
        // Only running out of pool fails the copy: the caller then leaves it unrecorded, so the
        // next use fills it again instead of keeping a copy that lacks what the real key holds.
        if (CopySubkeyValue(real, copy, OriginalName, RedirectName, Hash) == STATUS_INSUFFICIENT_RESOURCES) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            ObDereferenceObject(*KeyObject);
            *KeyObject = NULL;
        }
        CloseKey(&real);
    }
    CloseKey(&copy);
    return status;
}
