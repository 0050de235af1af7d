// The name triple of a create or open: the name as addressed, the real key's name and its name
// under the redirect roots. A name that already lies under a redirect root (the caller holds a
// redirected key and opens relative to it) is translated back first, so that the same key always
// yields the same pair.
#include "names/names.h"

#include "common/debug_print.h"
#include "common/name_buffer.h"

static NTSTATUS TranslateRedirectedName(PCUNICODE_STRING FullName, PUNICODE_STRING OriginalFullName, PUNICODE_STRING RedirectFullName)
{
    NTSTATUS status = CreateOriginalFullName(FullName, OriginalFullName);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("GetRegistryPath - CreateOriginalFullName1 fail %x\n", status);
        return status;
    }
    // A name that lay under two redirect roots is translated once more, and no further. The first
    // translation alone is still a redirected name, which has no redirect name of its own, so a
    // failure here fails the whole with its own status.
    if (IsRedirectedFullName(OriginalFullName)) {
        UNICODE_STRING once = *OriginalFullName;
        RtlZeroMemory(OriginalFullName, sizeof(*OriginalFullName));
        status = CreateOriginalFullName(&once, OriginalFullName);
        FreeOwnedString(&once);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("GetRegistryPath - CreateOriginalFullName2 fail %x\n", status);
            return status;
        }
    }
    status = CreateRedirectFullName(OriginalFullName, RedirectFullName);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("GetRegistryPath - CreateRedirectFullName1 fail %x\n", status);
    }
    return status;
}

static NTSTATUS TranslateOriginalName(PCUNICODE_STRING FullName, PUNICODE_STRING OriginalFullName, PUNICODE_STRING RedirectFullName)
{
    NTSTATUS status;
    if (IsUnderCuSidClasses(FullName)) {
        status = RelocateUnderUser(OriginalFullName, FullName);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("GetRegistryPath - RelocateUnderUser error\n");
            return status;
        }
    } else {
        status = DuplicateName(OriginalFullName, FullName);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("GetRegistryPath - OriginalFullName->Buffer allocate error\n");
            return status;
        }
    }
    status = CreateRedirectFullName(FullName, RedirectFullName);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("GetRegistryPath - CreateRedirectFullName2 fail %x\n", status);
    }
    return status;
}

NTSTATUS GetRegistryPath(PLARGE_INTEGER Cookie, PVOID RootObject, PCUNICODE_STRING ObjectName, PUNICODE_STRING FullName,
                         PUNICODE_STRING OriginalFullName, PUNICODE_STRING RedirectFullName)
{
    if (FullName == NULL || OriginalFullName == NULL || RedirectFullName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CreateFullName(Cookie, RootObject, ObjectName, FullName);
    if (NT_SUCCESS(status)) {
        if (IsRedirectedFullName(FullName)) {
            status = TranslateRedirectedName(FullName, OriginalFullName, RedirectFullName);
        } else {
            status = TranslateOriginalName(FullName, OriginalFullName, RedirectFullName);
        }
    }
    if (!NT_SUCCESS(status)) {
        FreeOwnedString(FullName);
        FreeOwnedString(OriginalFullName);
        FreeOwnedString(RedirectFullName);
    }
    return status;
}
