// Applies the WOW64 registry view to the (original, redirect) name pair of a create or open. A
// key under Wow6432Node that both views share is brought back to its one 64-bit name, whatever
// the view; in the 32-bit view a key in one of the five Classes subkeys with a 32-bit copy moves
// under its Classes area's Wow6432Node key. The redirect name is then made again from the new
// original name. On failure both names are freed and left empty: the caller gives the operation
// up and never sees half a pair.
#include "names/names.h"

#include "common/name_buffer.h"
#include "tables/global_data.h"

// The node's name, upper-cased, without its NUL; the search compares upper-cased characters.
static const WCHAR g_Wow64Node[] = L"WOW6432NODE";
#define WOW64_NODE_CHARS ((LONG)RTL_NUMBER_OF(g_Wow64Node) - 1)

// The character position of the first "Wow6432Node", in any case and also inside a longer
// component, or -1.
static LONG FindWow64Node(PCUNICODE_STRING Name)
{
    const LONG characters = Name->Length / sizeof(WCHAR);
    for (LONG p = 0; p + WOW64_NODE_CHARS <= characters; p++) {
        LONG i = 0;
        while (i < WOW64_NODE_CHARS && RtlUpcaseUnicodeChar(Name->Buffer[p + i]) == g_Wow64Node[i]) {
            i++;
        }
        if (i == WOW64_NODE_CHARS) {
            return p;
        }
    }
    return -1;
}

// Removes the node's name and the separator after it from Original, in place.
static BOOLEAN RemoveWow64Node(PUNICODE_STRING Original)
{
    LONG p = FindWow64Node(Original);
    if (p < 0) {
        PrintPrefixed("GetActualPathForClassesWow64 - Wow6432Node not found. path = %wZ\n", Original);
        return FALSE;
    }
    const LONG characters = Original->Length / sizeof(WCHAR);
    LONG removed = WOW64_NODE_CHARS + 1;
    if (p + removed > characters) {
        removed = characters - p;
    }
    RtlMoveMemory(Original->Buffer + p, Original->Buffer + p + removed, (characters - p - removed) * sizeof(WCHAR));
    Original->Length = (USHORT)((characters - removed) * sizeof(WCHAR));
    return TRUE;
}

typedef NTSTATUS (*RELOCATION)(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);

// The Classes-subkey relocation that applies to Original, with its failure message, or none.
static RELOCATION ChooseRelocation(PCUNICODE_STRING Original, PCSTR* FailureMessage)
{
    if (IsUnderRedirectedCuSidClasses(Original)) {
        *FailureMessage = "GetActualPathForClassesWow64 - RelocateUnderClassesRootWow64 fail %x\n";
        return RelocateUnderClassesRootWow64;
    }
    if (IsUnderRedirectedCuClasses(Original)) {
        *FailureMessage = "GetActualPathForClassesWow64 - RelocateUnderUserClassesWow64 fail %x\n";
        return RelocateUnderUserClassesWow64;
    }
    if (IsUnderRedirectedLmClasses(Original)) {
        *FailureMessage = "GetActualPathForClassesWow64 - RelocateUnderMachineClassesWow64 fail %x\n";
        return RelocateUnderMachineClassesWow64;
    }
    return NULL;
}

BOOLEAN DependsOnWow64View(PCUNICODE_STRING OriginalFullName)
{
    PCSTR failureMessage = NULL;
    return IsNameSet(OriginalFullName) && ChooseRelocation(OriginalFullName, &failureMessage) != NULL;
}

NTSTATUS GetActualPathForClassesWow64(PUNICODE_STRING OriginalFullName, PUNICODE_STRING RedirectFullName, ULONG Wow64Flags)
{
    NTSTATUS status;

    if (!IsNameSet(OriginalFullName) || RedirectFullName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsMachineSharedKey(OriginalFullName)) {
        if (!RemoveWow64Node(OriginalFullName)) {
            return STATUS_SUCCESS;
        }
    } else if ((Wow64Flags & KEY_WOW64_64KEY) != 0) {
        return STATUS_SUCCESS;
    } else {
        PCSTR failureMessage = NULL;
        RELOCATION relocate = ChooseRelocation(OriginalFullName, &failureMessage);
        if (relocate == NULL) {
            return STATUS_SUCCESS;
        }
        UNICODE_STRING relocated = {};
        status = relocate(&relocated, OriginalFullName);
        FreeOwnedString(OriginalFullName);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed(failureMessage, status);
            goto Failed;
        }
        *OriginalFullName = relocated;
    }

    FreeOwnedString(RedirectFullName);
    status = CreateRedirectFullName(OriginalFullName, RedirectFullName);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("GetActualPathForClassesWow64 - CreateRedirectFullName fail %x\n", status);
        goto Failed;
    }
    if (IsDetailEnabled()) {
        PrintPrefixed("GetActualPathForClassesWow64 # Original   : %wZ\n", OriginalFullName);
        PrintPrefixed("GetActualPathForClassesWow64 # Redirected : %wZ\n", RedirectFullName);
    }
    return STATUS_SUCCESS;

Failed:
    FreeOwnedString(OriginalFullName);
    FreeOwnedString(RedirectFullName);
    return status;
}
