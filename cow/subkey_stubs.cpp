// The subkeys of a real key as empty stubs in its copy, so that the copy enumerates like the real
// key before any of its subkeys is used.
#include "cow/cow_private.h"

#include "common/debug_print.h"
#include "common/name_buffer.h"
#include "common/pool_tags.h"
#include "tables/global_data.h"
#include "tables/key_lists.h"

static const WCHAR g_Separator = L'\\';

static BOOLEAN EndsWithSeparator(PCUNICODE_STRING Name)
{
    return Name->Length >= sizeof(WCHAR) && Name->Buffer[Name->Length / sizeof(WCHAR) - 1] == L'\\';
}

BOOLEAN IsPreparedKey(PCUNICODE_STRING RedirectNameWithSeparator)
{
    return RegistryHistoryExists(&g_VexRegFilterData.CopyKeyHistory, RedirectNameWithSeparator, NULL, NULL);
}

// The full-name buffer holds the parent's name, a separator, the longest subkey name and the
// separator that makes the name a history key; a name too long for a counted string cannot exist
// in the registry, so the capacity is capped there and the fit is checked for each name.
NTSTATUS BeginSubkeyWalk(PSUBKEY_WALK Walk, PCSTR Caller, PCSTR FullNameLabel, PCUNICODE_STRING ParentName, ULONG MaxNameLen)
{
    RtlZeroMemory(Walk, sizeof(*Walk));
    Walk->Caller = Caller;
    ULONG capacity = (ULONG)ParentName->Length + MaxNameLen + 2 * sizeof(WCHAR);
    if (!NT_SUCCESS(AllocateName(&Walk->FullName, capacity < MAX_COUNTED_BYTES ? capacity : MAX_COUNTED_BYTES))) {
        PrintPrefixed("%s - %s allocate error\n", Caller, FullNameLabel);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    AppendName(&Walk->FullName, ParentName);
    if (!EndsWithSeparator(&Walk->FullName)) {
        AppendNameBytes(&Walk->FullName, &g_Separator, sizeof(WCHAR));
    }
    Walk->ParentBytes = Walk->FullName.Length;

    Walk->EntryBytes = MaxNameLen + KEY_ENTRY_SLACK_BYTES;
    Walk->Entry = (PKEY_BASIC_INFORMATION)ExAllocatePoolZero(g_NonPagedPoolType, Walk->EntryBytes, VEXR_TAG);
    if (Walk->Entry == NULL) {
        PrintPrefixed("%s - KeyBasicInfo allocate error\n", Caller);
        EndSubkeyWalk(Walk);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

VOID EndSubkeyWalk(PSUBKEY_WALK Walk)
{
    FreeOwnedString(&Walk->FullName);
    if (Walk->Entry != NULL) {
        ExFreePoolWithTag(Walk->Entry, VEXR_TAG);
        Walk->Entry = NULL;
    }
}

NTSTATUS NextSubkey(PSUBKEY_WALK Walk, HANDLE Key, ULONG Index, PUNICODE_STRING Name)
{
    ULONG length = 0;
    NTSTATUS status = ZwEnumerateKey(Key, Index, KeyBasicInformation, Walk->Entry, Walk->EntryBytes, &length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((ULONG64)Walk->ParentBytes + Walk->Entry->NameLength + sizeof(WCHAR) > Walk->FullName.MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    Walk->FullName.Length = Walk->ParentBytes;
    AppendNameBytes(&Walk->FullName, Walk->Entry->Name, Walk->Entry->NameLength);
    Name->Buffer = Walk->FullName.Buffer + Walk->ParentBytes / sizeof(WCHAR);
    Name->Length = (USHORT)Walk->Entry->NameLength;
    Name->MaximumLength = Name->Length;
    AppendNameBytes(&Walk->FullName, &g_Separator, sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS CreateSubkeyStubs(PSUBKEY_WALK Walk, HANDLE Real, HANDLE Copy, ULONG SubKeys)
{
    NTSTATUS outcome = STATUS_SUCCESS;
    for (ULONG index = 0; index < SubKeys; index++) {
        UNICODE_STRING name;
        NTSTATUS status = NextSubkey(Walk, Real, index, &name);
        if (!NT_SUCCESS(status)) {
            DetailLinePrefixed("%s - Failed to ZwEnumerateKey. index = %d status = %x\n", Walk->Caller, index, status);
            return status == STATUS_NO_MORE_ENTRIES ? outcome : status;
        }
        UNICODE_STRING fullName = Walk->FullName;
        fullName.Length -= sizeof(WCHAR);
        DetailLinePrefixed("%s - Create Key. KeyFullName = %wZ\n", Walk->Caller, &fullName);
        if (IsPreparedKey(&Walk->FullName)) {
            continue;
        }
        HANDLE stub = NULL;
        status = (Copy != NULL) ? CreateKeyAt(&stub, Copy, &name, GetRedirectCreateOptions(&fullName))
                                : CreateRegistryKey(&stub, &fullName);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("%s - Failed to ZwCreateKey KeyFullName = %wZ status = %x\n", Walk->Caller, &fullName, status);
            if (NT_SUCCESS(outcome)) {
                outcome = status;
            }
            continue;
        }
        CloseKey(&stub);
    }
    return outcome;
}
