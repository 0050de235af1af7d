// The three key histories are cache tables keyed by normalised key paths, compared and hashed
// without regard to case.
#include "tables/key_lists.h"

#include "common/name_buffer.h"
#include "tables/global_data.h"

NTSTATUS InsertRegistryHistory(PCACHE_TABLE Table, PCUNICODE_STRING KeyPath, PULONG Hash, BOOLEAN ParentOnly)
{
    NTSTATUS status;
    UNICODE_STRING copy = {};

    TraceLinePrefixed("InsertRegistryHistory - enter\n");
    status = CreateNormalizedKeyPath(KeyPath, &copy);
    if (!NT_SUCCESS(status)) {
        if (status != STATUS_INVALID_PARAMETER) {
            PrintPrefixed("InsertRegistryHistory - KeyPath allocate error\n");
        }
        goto Exit;
    }

    if (ParentOnly) {
        // Cut just after the separator before the last component; the final '\' is skipped.
        USHORT characters = copy.Length / sizeof(WCHAR) - 1;
        while (characters > 0 && copy.Buffer[characters - 1] != L'\\') {
            characters--;
        }
        if (characters == 0) {
            status = STATUS_INVALID_PARAMETER;
            goto Exit;
        }
        copy.Length = characters * sizeof(WCHAR);
        Hash = NULL;
    }

    TraceLinePrefixed("InsertRegistryHistory - KeyPath = %wZ\n", &copy);
    status = CTInsertElement(Table, &copy, NULL, Hash, TRUE);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("InsertRegistryHistory - Failed to CTInsertElement. status = %x\n", status);
    }

Exit:
    FreeOwnedString(&copy);
    TraceLinePrefixed("InsertRegistryHistory - exit\n");
    return status;
}

BOOLEAN RegistryHistoryExists(PCACHE_TABLE Table, PCUNICODE_STRING KeyPath, PULONG Hash, PULONG OutHash)
{
    UNICODE_STRING copy = {};
    NTSTATUS status = CreateNormalizedKeyPath(KeyPath, &copy);
    if (!NT_SUCCESS(status)) {
        if (status != STATUS_INVALID_PARAMETER) {
            PrintPrefixed("RegistryHistoryExists - KeyPath allocate error\n");
        }
        return FALSE;
    }
    BOOLEAN exists = NT_SUCCESS(CTLookupElement(Table, &copy, NULL, Hash, OutHash, TRUE));
    TraceLinePrefixed("RegistryHistoryExists - path = %wZ : %ws\n", &copy, exists ? L"exist" : L"not exist");
    FreeOwnedString(&copy);
    return exists;
}
