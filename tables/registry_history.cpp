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

static BOOLEAN EndsWithSeparator(PCUNICODE_STRING KeyPath)
{
    return KeyPath->Length >= sizeof(WCHAR) && KeyPath->Buffer[KeyPath->Length / sizeof(WCHAR) - 1] == L'\\';
}

// A path that already ends in a separator is its own normalised form and is looked up in place: no
// allocation, so running out of pool cannot turn a recorded key into an unrecorded one.
BOOLEAN RegistryHistoryExists(PCACHE_TABLE Table, PCUNICODE_STRING KeyPath, PULONG Hash, PULONG OutHash)
{
    UNICODE_STRING copy = {};
    PCUNICODE_STRING path = KeyPath;
    if (KeyPath == NULL || KeyPath->Buffer == NULL || !EndsWithSeparator(KeyPath)) {
        NTSTATUS status = CreateNormalizedKeyPath(KeyPath, &copy);
        if (!NT_SUCCESS(status)) {
            if (status != STATUS_INVALID_PARAMETER) {
                PrintPrefixed("RegistryHistoryExists - KeyPath allocate error\n");
            }
            return FALSE;
        }
        path = &copy;
    }
    BOOLEAN exists = NT_SUCCESS(CTLookupElement(Table, path, NULL, Hash, OutHash, TRUE));
    TraceLinePrefixed("RegistryHistoryExists - path = %wZ : %ws\n", path, exists ? L"exist" : L"not exist");
    FreeOwnedString(&copy);
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
    if (NT_SUCCESS(status) && !EndsWithSeparator(KeyPath)) {
        *Hash = *Hash * X65599_MULTIPLIER + RtlUpcaseUnicodeChar(L'\\');
    }
    return status;
}
