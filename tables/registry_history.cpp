// The three key histories are cache tables keyed by normalised key paths, compared and hashed
// without regard to case.
#include "tables/key_lists.h"

#include "common/match.h"
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

// The path is looked up in normalised form in place, its separator appended by the lookup when it
// has none: no allocation, so running out of pool cannot turn a recorded key into an unrecorded
// one.
BOOLEAN RegistryHistoryExists(PCACHE_TABLE Table, PCUNICODE_STRING KeyPath, PULONG Hash, PULONG OutHash)
{
    ULONG hash;
    if (KeyPath == NULL || KeyPath->Buffer == NULL || KeyPath->Length < sizeof(WCHAR)) {
        return FALSE;
    }
    if (Hash != NULL) {
        hash = *Hash;
    } else if (!NT_SUCCESS(RegistryHistoryHash(KeyPath, &hash))) {
        return FALSE;
    }
    if (OutHash != NULL) {
        *OutHash = hash;
    }
    const BOOLEAN exists = HasTrailingSeparator(KeyPath) ? NT_SUCCESS(CTLookupElement(Table, KeyPath, NULL, &hash, NULL, TRUE))
                                                      : NT_SUCCESS(CTLookupElementWithSeparator(Table, KeyPath, hash));
    TraceLinePrefixed("RegistryHistoryExists - path = %wZ%s : %ws\n", KeyPath, NormalizingSeparator(KeyPath),
                      exists ? L"exist" : L"not exist");
    return exists;
}

// The x65599 hash folds each upcased character in as hash * 65599 + character, so the separator
// that normalisation would append is folded in after the hash of the path itself.
#define X65599_MULTIPLIER 65599

NTSTATUS RegistryHistoryHash(PCUNICODE_STRING KeyPath, PULONG Hash)
{
    if (KeyPath == NULL || KeyPath->Buffer == NULL || KeyPath->Length < sizeof(WCHAR) || Hash == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = RtlHashUnicodeString(KeyPath, TRUE, HASH_STRING_ALGORITHM_X65599, Hash);
    if (NT_SUCCESS(status) && !HasTrailingSeparator(KeyPath)) {
        *Hash = *Hash * X65599_MULTIPLIER + RtlUpcaseUnicodeChar(L'\\');
    }
    return status;
}
