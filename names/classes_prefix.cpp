// The Classes prefixes of the sandboxed user and of the machine, and the prefixes of the five
// Classes subkeys that have a separate 32-bit copy under Wow6432Node.
#include "names/names.h"

#include "common/debug_print.h"
#include "common/name_buffer.h"
#include "tables/global_data.h"

static constexpr UNICODE_STRING g_Wow64ClassesSubkeys[] = {
    CONSTANT_NAME(L"\\CLSID"), CONSTANT_NAME(L"\\DirectShow"), CONSTANT_NAME(L"\\Interface"),
    CONSTANT_NAME(L"\\Media Type"), CONSTANT_NAME(L"\\MediaFoundation"),
};
static_assert(RTL_NUMBER_OF(g_Wow64ClassesSubkeys) == RTL_NUMBER_OF(g_VexRegFilterData.RedirectedLmClasses),
              "one subkey prefix per suffix");

// Every subkey prefix gets room for the longest suffix, whichever suffix it holds.
static constexpr USHORT LongestSuffixBytes(const UNICODE_STRING* Suffixes, ULONG Count)
{
    USHORT longest = 0;
    for (ULONG i = 0; i < Count; i++) {
        longest = Suffixes[i].Length > longest ? Suffixes[i].Length : longest;
    }
    return longest;
}
static constexpr USHORT g_SubkeyPrefixRoom = LongestSuffixBytes(g_Wow64ClassesSubkeys, RTL_NUMBER_OF(g_Wow64ClassesSubkeys));
static_assert(g_SubkeyPrefixRoom == 32, "\\MediaFoundation is the longest suffix");

static NTSTATUS BuildPrefix(PUNICODE_STRING Prefix, PCWSTR Head, PCUNICODE_STRING UserSid, PCWSTR Tail)
{
    UNICODE_STRING head;
    UNICODE_STRING tail;
    RtlInitUnicodeString(&head, Head);
    RtlInitUnicodeString(&tail, Tail);
    FreeOwnedString(Prefix);
    NTSTATUS status = AllocateName(Prefix, (ULONG)head.Length + UserSid->Length + tail.Length);
    if (NT_SUCCESS(status)) {
        AppendName(Prefix, &head);
        AppendName(Prefix, UserSid);
        AppendName(Prefix, &tail);
    }
    return status;
}

NTSTATUS GetClassesRootPrefix(PUNICODE_STRING ClassesPrefix, PCUNICODE_STRING UserSid)
{
    if (ClassesPrefix == NULL || UserSid == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = BuildPrefix(ClassesPrefix, L"\\Registry\\User\\", UserSid, L"_Classes");
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - GetClassesRootPrefix() : ClassesPrefix->Buffer allocate error\n");
    }
    return status;
}

NTSTATUS GetUserClassesPrefix(PUNICODE_STRING ClassesPrefix, PCUNICODE_STRING UserSid)
{
    if (ClassesPrefix == NULL || UserSid == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return BuildPrefix(ClassesPrefix, L"\\Registry\\User\\", UserSid, L"\\Software\\Classes");
}

// Area prefix followed by suffix i.
static NTSTATUS BuildSubkeyPrefix(PUNICODE_STRING Entry, PCUNICODE_STRING Area, ULONG Index)
{
    NTSTATUS status = AllocateName(Entry, (ULONG)Area->Length + g_SubkeyPrefixRoom);
    if (NT_SUCCESS(status)) {
        AppendName(Entry, Area);
        AppendName(Entry, &g_Wow64ClassesSubkeys[Index]);
    }
    return status;
}

NTSTATUS CreateRelatedKeyName(PCUNICODE_STRING UserSid)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    NTSTATUS status;

    FreeRelatedKeyNames();
    status = GetClassesRootPrefix(&data->CuSidClasses, UserSid);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CreateRelatedKeyName : Failed to GetClassesRootPrefix. status = %x\n", status);
        return status;
    }
    status = GetUserClassesPrefix(&data->CuClasses, UserSid);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CreateRelatedKeyName : Failed to GetUserClassesPrefix. status = %x\n", status);
        return status;
    }
    UNICODE_STRING machineClasses;
    RtlInitUnicodeString(&machineClasses, L"\\Registry\\Machine\\Software\\Classes");
    status = DuplicateName(&data->LmClasses, &machineClasses);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("LmClasses.Buffer allocate error\n");
        return status;
    }
    DbgPrint("    CuSidClasses = '%wZ'\n", &data->CuSidClasses);
    DbgPrint("    CuClasses = '%wZ'\n", &data->CuClasses);
    DbgPrint("    LmClasses = '%wZ'\n", &data->LmClasses);

    for (ULONG i = 0; i < WOW64_CLASSES_SUBKEY_COUNT; i++) {
        status = BuildSubkeyPrefix(&data->RedirectedCuSidClasses[i], &data->CuSidClasses, i);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("RedirectedCuSidClasses[%d].Buffer allocate error\n", i);
            return status;
        }
        DbgPrint("    Redirected(SID)[%d] = '%wZ'\n", i, &data->RedirectedCuSidClasses[i]);
        status = BuildSubkeyPrefix(&data->RedirectedCuClasses[i], &data->CuClasses, i);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("RedirectedCuClasses[%d].Buffer allocate error\n", i);
            return status;
        }
        DbgPrint("    Redirected(CU)[%d]  = '%wZ'\n", i, &data->RedirectedCuClasses[i]);
        status = BuildSubkeyPrefix(&data->RedirectedLmClasses[i], &data->LmClasses, i);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("RedirectedLmClasses[%d].Buffer allocate error\n", i);
            return status;
        }
        DbgPrint("    Redirected(LM)[%d]  = '%wZ'\n", i, &data->RedirectedLmClasses[i]);
    }
    return STATUS_SUCCESS;
}

VOID FreeRelatedKeyNames(VOID)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    FreeOwnedString(&data->CuSidClasses);
    FreeOwnedString(&data->CuClasses);
    FreeOwnedString(&data->LmClasses);
    for (ULONG i = 0; i < WOW64_CLASSES_SUBKEY_COUNT; i++) {
        FreeOwnedString(&data->RedirectedCuSidClasses[i]);
        FreeOwnedString(&data->RedirectedCuClasses[i]);
        FreeOwnedString(&data->RedirectedLmClasses[i]);
    }
}

// An area that was never built has no buffer and contains no name. A name is under an area when
// it is the area's key or a key below it: "...\ClassesX" merely begins like "...\Classes".
static BOOLEAN IsUnder(PCUNICODE_STRING Prefix, PCUNICODE_STRING Name)
{
    return IsNameSet(Name) && IsNameSet(Prefix) && RtlPrefixUnicodeString(Prefix, Name, TRUE) &&
           (Name->Length == Prefix->Length || Name->Buffer[Prefix->Length / sizeof(WCHAR)] == L'\\');
}

BOOLEAN IsUnderCuSidClasses(PCUNICODE_STRING Name) { return IsUnder(&g_VexRegFilterData.CuSidClasses, Name); }
BOOLEAN IsUnderCuClasses(PCUNICODE_STRING Name) { return IsUnder(&g_VexRegFilterData.CuClasses, Name); }
BOOLEAN IsUnderLmClasses(PCUNICODE_STRING Name) { return IsUnder(&g_VexRegFilterData.LmClasses, Name); }

static BOOLEAN IsUnderAnySubkey(const UNICODE_STRING* Entries, PCUNICODE_STRING Name)
{
    for (ULONG i = 0; i < WOW64_CLASSES_SUBKEY_COUNT; i++) {
        if (IsUnder(&Entries[i], Name)) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN IsUnderRedirectedCuSidClasses(PCUNICODE_STRING Name)
{
    return IsUnderCuSidClasses(Name) && IsUnderAnySubkey(g_VexRegFilterData.RedirectedCuSidClasses, Name);
}

BOOLEAN IsUnderRedirectedCuClasses(PCUNICODE_STRING Name)
{
    return IsUnderCuClasses(Name) && IsUnderAnySubkey(g_VexRegFilterData.RedirectedCuClasses, Name);
}

BOOLEAN IsUnderRedirectedLmClasses(PCUNICODE_STRING Name)
{
    return IsUnderLmClasses(Name) && IsUnderAnySubkey(g_VexRegFilterData.RedirectedLmClasses, Name);
}
