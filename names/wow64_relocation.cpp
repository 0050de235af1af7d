// Moves a name of one of the Classes areas under that area's Wow6432Node key:
// P\rest becomes P\Wow6432Node\rest, P in the field's own case.
#include "names/names.h"

#include "common/debug_print.h"
#include "common/name_buffer.h"
#include "tables/global_data.h"

static NTSTATUS RelocateUnderWow64(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString, PCUNICODE_STRING Area,
                                   BOOLEAN (*IsUnderArea)(PCUNICODE_STRING), PCSTR PrefixMessage, PCSTR AllocationMessage)
{
    static const WCHAR wow64Node[] = L"\\Wow6432Node";
    NTSTATUS status;

    if (DestinationString == NULL || SourceString == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsUnderArea(SourceString)) {
        PrintPrefixed("%s\n", PrefixMessage);
        status = STATUS_INVALID_PARAMETER;
        goto Failed;
    }
    status = AllocateName(DestinationString, (ULONG)SourceString->Length + sizeof(wow64Node) - sizeof(WCHAR));
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("%s\n", AllocationMessage);
        goto Failed;
    }
    AppendName(DestinationString, Area);
    AppendNameBytes(DestinationString, wow64Node, sizeof(wow64Node) - sizeof(WCHAR));
    AppendNameTail(DestinationString, SourceString, Area->Length);
    return STATUS_SUCCESS;

Failed:
    FreeOwnedString(DestinationString);
    return status;
}

NTSTATUS RelocateUnderClassesRootWow64(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    return RelocateUnderWow64(DestinationString, SourceString, &g_VexRegFilterData.CuSidClasses, IsUnderCuSidClasses,
                              "RelocateUnderClassesRootWow64() : RtlPrefixUnicodeString error",
                              "RelocateUnderClassesRootWow64() : DestinationString->Buffer allocate error");
}

NTSTATUS RelocateUnderUserClassesWow64(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    return RelocateUnderWow64(DestinationString, SourceString, &g_VexRegFilterData.CuClasses, IsUnderCuClasses,
                              "RelocateUnderUserClassesWow64() : RtlPrefixUnicodeString error",
                              "RelocateUnderUserClassesWow64() : DestinationString->Buffer allocate error");
}

NTSTATUS RelocateUnderMachineClassesWow64(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    return RelocateUnderWow64(DestinationString, SourceString, &g_VexRegFilterData.LmClasses, IsUnderLmClasses,
                              "RelocateUnderMachineClassesWow64() : RtlPrefixUnicodeString error",
                              "RelocateUnderMachineClassesWow64() : DestinationString->Buffer allocate error");
}
