#include "tables/key_lists.h"

#include "common/match.h"
#include "common/name_buffer.h"

NTSTATUS CreateNormalizedKeyPath(PCUNICODE_STRING KeyPath, PUNICODE_STRING Copy)
{
    if (KeyPath == NULL || KeyPath->Buffer == NULL || KeyPath->Length < sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    const BOOLEAN needsSeparator = !HasTrailingSeparator(KeyPath);
    NTSTATUS status = AllocateName(Copy, (ULONG)KeyPath->Length + (needsSeparator ? sizeof(WCHAR) : 0));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    AppendName(Copy, KeyPath);
    if (needsSeparator) {
        static const WCHAR separator = L'\\';
        AppendNameBytes(Copy, &separator, sizeof(WCHAR));
    }
    return STATUS_SUCCESS;
}

PCSTR NormalizingSeparator(PCUNICODE_STRING KeyPath)
{
    return HasTrailingSeparator(KeyPath) ? "" : "\\";
}
