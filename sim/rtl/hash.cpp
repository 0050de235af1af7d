// RtlHashUnicodeString: the x65599 hash over the counted string's UTF-16 units.
#include "platform/platform.h"

#include "sim/rtl/string_contract.h"

NTSTATUS NTAPI RtlHashUnicodeString(PCUNICODE_STRING String, BOOLEAN CaseInSensitive, ULONG HashAlgorithm,
                                    PULONG HashValue)
{
    if (String == nullptr || HashValue == nullptr ||
        (HashAlgorithm != HASH_STRING_ALGORITHM_DEFAULT && HashAlgorithm != HASH_STRING_ALGORITHM_X65599)) {
        return STATUS_INVALID_PARAMETER;
    }
    vexsim::CheckUnicodeString(String, "RtlHashUnicodeString", "String");

    // Case-insensitive hashing upcases every unit with RtlUpcaseUnicodeChar, the same folding the
    // case-insensitive comparisons use, so strings that compare equal always hash equal. Windows
    // does not document its folding beyond ASCII; this is the consistent choice.
    ULONG hash = 0;
    for (USHORT i = 0; i < String->Length / sizeof(WCHAR); ++i) {
        const WCHAR unit = CaseInSensitive ? RtlUpcaseUnicodeChar(String->Buffer[i]) : String->Buffer[i];
        hash = hash * 65599u + static_cast<USHORT>(unit);
    }
    *HashValue = hash;
    return STATUS_SUCCESS;
}
