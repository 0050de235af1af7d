// The two translations between a key's original full name and its name under the redirect roots,
// and the test that tells which of the two a full name is.
//
// They rest on this layout of the configuration: RedirectRootKeyName begins with "\REGISTRY" and
// lies outside the Classes areas, RedirectUserClasses lies under CuClasses and
// RedirectMachineClasses under LmClasses. The user's classes hive (CuSidClasses) is brought to its
// link in the user hive (CuClasses) before any comparison.
#include "names/names.h"

#include "common/match.h"
#include "common/name_buffer.h"
#include "tables/global_data.h"

// The characters a general redirect name replaces by the redirect root.
#define REGISTRY_ROOT L"\\REGISTRY"
#define REGISTRY_ROOT_BYTES (sizeof(REGISTRY_ROOT) - sizeof(WCHAR))

// A name that merely begins like a redirect root ("...\RegX" beside "...\Reg") is a key beside
// it: translating it as one below would name a real key outside the copy.
BOOLEAN IsProperPrefixName(PCUNICODE_STRING Prefix, PCUNICODE_STRING Name)
{
    return IsNameSet(Prefix) && IsNameSet(Name) && Prefix->Length < Name->Length && RtlPrefixUnicodeString(Prefix, Name, TRUE) &&
           Name->Buffer[Prefix->Length / sizeof(WCHAR)] == L'\\';
}

NTSTATUS RelocateUnderUser(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    NTSTATUS status;

    if (DestinationString == NULL || SourceString == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsUnderCuSidClasses(SourceString)) {
        PrintPrefixed("RelocateUnderUser() : RtlPrefixUnicodeString error\n");
        status = STATUS_INVALID_PARAMETER;
        goto Failed;
    }
    status = AllocateName(DestinationString, (ULONG)SourceString->Length - data->CuSidClasses.Length + data->CuClasses.Length);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("RelocateUnderUser() : DestinationString->Buffer allocate error\n");
        goto Failed;
    }
    AppendName(DestinationString, &data->CuClasses);
    AppendNameTail(DestinationString, SourceString, data->CuSidClasses.Length);
    return STATUS_SUCCESS;

Failed:
    FreeOwnedString(DestinationString);
    return status;
}

static VOID TraceRedirected(BOOLEAN Redirected, PCSTR RootLabel, PCUNICODE_STRING Root, PCUNICODE_STRING FullName)
{
    if (!IsTraceEnabled()) {
        return;
    }
    if (Redirected) {
        DbgPrint("VexRegFilter - IsRedirectedFullName() : TRUE\n");
        DbgPrint("\t[g_VexRegFilterData.%s] : %wZ\n", RootLabel, Root);
    } else {
        DbgPrint("VexRegFilter - IsRedirectedFullName() : FALSE\n");
    }
    DbgPrint("\t[FullName] : %wZ\n", FullName);
}

// Does the relocation of FullName, a name in the user's classes hive, to the link in the user hive
// (CuClasses followed by FullName after CuSidClasses) lie below RedirectUserClasses?
// The relocation is compared in place rather than built: the answer decides whether a name is
// translated back or forward, and running out of pool must not change it.
static BOOLEAN IsRelocationUnderUserClassesRoot(PCUNICODE_STRING FullName)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    PCUNICODE_STRING root = &data->RedirectUserClasses;
    PCUNICODE_STRING area = &data->CuClasses;
    const ULONG relocatedBytes = (ULONG)FullName->Length - data->CuSidClasses.Length + area->Length;
    if (!IsNameSet(root) || root->Length < area->Length || root->Length >= relocatedBytes) {
        return FALSE;
    }
    UNICODE_STRING rootHead = {area->Length, area->Length, root->Buffer};
    UNICODE_STRING rootTail = {(USHORT)(root->Length - area->Length), (USHORT)(root->Length - area->Length),
                               root->Buffer + area->Length / sizeof(WCHAR)};
    UNICODE_STRING nameTail = {(USHORT)(FullName->Length - data->CuSidClasses.Length),
                               (USHORT)(FullName->Length - data->CuSidClasses.Length),
                               FullName->Buffer + data->CuSidClasses.Length / sizeof(WCHAR)};
    return IsSameName(&rootHead, area) && IsPrefixName(&rootTail, &nameTail) &&
           nameTail.Buffer[rootTail.Length / sizeof(WCHAR)] == L'\\';
}

BOOLEAN IsRedirectedFullName(PCUNICODE_STRING FullName)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    BOOLEAN redirected;

    if (IsProperPrefixName(&data->RedirectRootKeyName, FullName)) {
        TraceRedirected(TRUE, "RedirectRootKeyName", &data->RedirectRootKeyName, FullName);
        return TRUE;
    }
    if (IsUnderLmClasses(FullName)) {
        redirected = IsProperPrefixName(&data->RedirectMachineClasses, FullName);
        TraceRedirected(redirected, "RedirectMachineClasses", &data->RedirectMachineClasses, FullName);
        return redirected;
    }
    if (IsUnderCuSidClasses(FullName)) {
        redirected = IsRelocationUnderUserClassesRoot(FullName);
        TraceRedirected(redirected, "RedirectUserClasses", &data->RedirectUserClasses, FullName);
        return redirected;
    }
    if (IsUnderCuClasses(FullName)) {
        redirected = IsProperPrefixName(&data->RedirectUserClasses, FullName);
        TraceRedirected(redirected, "RedirectUserClasses", &data->RedirectUserClasses, FullName);
        return redirected;
    }
    TraceRedirected(FALSE, NULL, NULL, FullName);
    return FALSE;
}

// Result = the first KeepBytes bytes of Name, then Insert (when given), then Name after SkipBytes.
static NTSTATUS SpliceName(PUNICODE_STRING Result, PCUNICODE_STRING Name, ULONG KeepBytes, PCUNICODE_STRING Insert, ULONG SkipBytes)
{
    ULONG insertBytes = (Insert != NULL) ? Insert->Length : 0;
    NTSTATUS status = AllocateName(Result, KeepBytes + insertBytes + (Name->Length - SkipBytes));
    if (NT_SUCCESS(status)) {
        AppendNameBytes(Result, Name->Buffer, KeepBytes);
        if (Insert != NULL) {
            AppendName(Result, Insert);
        }
        AppendNameTail(Result, Name, SkipBytes);
    }
    return status;
}

// The Classes area a full name lies in, as the two translations see it.
typedef struct _CLASSES_AREA {
    PCUNICODE_STRING Name;          // the full name, or its relocation out of the user's classes hive
    PCUNICODE_STRING RedirectRoot;  // the area's redirect root; NULL outside both Classes areas
    ULONG AreaBytes;                // length of the area's own name (CuClasses or LmClasses)
} CLASSES_AREA;

// Finds the Classes area of FullName. A name in the user's classes hive is first brought to its
// link in the user hive, into Relocated, which the caller frees; Routine names the caller in the
// message of a failed relocation.
static NTSTATUS FindClassesArea(PCSTR Routine, PCUNICODE_STRING FullName, PUNICODE_STRING Relocated, CLASSES_AREA* Area)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;

    Area->Name = FullName;
    Area->RedirectRoot = NULL;
    Area->AreaBytes = 0;
    if (IsUnderCuSidClasses(FullName)) {
        NTSTATUS status = RelocateUnderUser(Relocated, FullName);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("%s() : RelocateUnderUser error\n", Routine);
            return status;
        }
        Area->Name = Relocated;
    }
    if (Area->Name == Relocated || IsUnderCuClasses(FullName)) {
        Area->RedirectRoot = &data->RedirectUserClasses;
        Area->AreaBytes = data->CuClasses.Length;
    } else if (IsUnderLmClasses(FullName)) {
        Area->RedirectRoot = &data->RedirectMachineClasses;
        Area->AreaBytes = data->LmClasses.Length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CreateRedirectFullName(PCUNICODE_STRING FullName, PUNICODE_STRING RedirectFullName)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    UNICODE_STRING relocated = {};
    CLASSES_AREA area;
    NTSTATUS status;

    TraceLinePrefixed("CreateRedirectFullName() - enter\n");
    TraceLinePrefixed("CreateRedirectFullName() [FullName] : %wZ\n", FullName);
    if (!IsNameSet(FullName) || RedirectFullName == NULL || IsRedirectedFullName(FullName)) {
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    status = FindClassesArea("CreateRedirectFullName", FullName, &relocated, &area);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    if (area.RedirectRoot != NULL) {
        status = SpliceName(RedirectFullName, area.Name, 0, area.RedirectRoot, area.AreaBytes);
    } else if (FullName->Length >= REGISTRY_ROOT_BYTES) {
        status = SpliceName(RedirectFullName, FullName, 0, &data->RedirectRootKeyName, REGISTRY_ROOT_BYTES);
    } else {
        // Not a full name at all: there is no "\REGISTRY" to replace.
        status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) {
        TraceLinePrefixed("CreateRedirectFullName() [RedirectFullName] : %wZ\n", RedirectFullName);
    }

Exit:
    FreeOwnedString(&relocated);
    TraceLine("VexRegFilter - CreateRedirectFullName() - exit\n");
    return status;
}

// Keeps the first KeepBytes bytes of Name and drops the redirect Root that follows them up to its
// length. A name that does not lie below Root is refused rather than cut at a length it does not
// have.
static NTSTATUS StripRedirectRoot(PUNICODE_STRING Result, PCUNICODE_STRING Name, ULONG KeepBytes, PCUNICODE_STRING Root)
{
    if (!IsProperPrefixName(Root, Name)) {
        return STATUS_INVALID_PARAMETER;
    }
    return SpliceName(Result, Name, KeepBytes, NULL, Root->Length);
}

NTSTATUS CreateOriginalFullName(PCUNICODE_STRING FullName, PUNICODE_STRING OriginalFullName)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    UNICODE_STRING relocated = {};
    CLASSES_AREA area;
    NTSTATUS status;

    TraceLinePrefixed("CreateOriginalFullName() - enter\n");
    TraceLinePrefixed("CreateOriginalFullName() [FullName] : %wZ\n", FullName);
    if (!IsNameSet(FullName) || OriginalFullName == NULL) {
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    status = FindClassesArea("CreateOriginalFullName", FullName, &relocated, &area);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    if (area.RedirectRoot != NULL) {
        status = StripRedirectRoot(OriginalFullName, area.Name, area.AreaBytes, area.RedirectRoot);
    } else if (IsProperPrefixName(&data->RedirectRootKeyName, FullName)) {
        status = StripRedirectRoot(OriginalFullName, FullName, REGISTRY_ROOT_BYTES, &data->RedirectRootKeyName);
    } else {
        status = DuplicateName(OriginalFullName, FullName);
    }
    if (NT_SUCCESS(status)) {
        TraceLinePrefixed("CreateOriginalFullName() [OriginalFullName] : %wZ\n", OriginalFullName);
    }

Exit:
    FreeOwnedString(&relocated);
    TraceLinePrefixed("CreateOriginalFullName() - exit\n");
    return status;
}

NTSTATUS CreateRedirectRootKeyPattern(PCUNICODE_STRING RootKeyName, PUNICODE_STRING Pattern)
{
    static const WCHAR leadingStar = L'*';
    static const WCHAR trailingStar[] = L"\\*";
    UNICODE_STRING softwarePrefix;

    if (RootKeyName == NULL || Pattern == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    FreeOwnedString(Pattern);
    RtlInitUnicodeString(&softwarePrefix, L"\\Registry\\Machine\\Software\\");
    if (!IsNameSet(RootKeyName) || !RtlPrefixUnicodeString(&softwarePrefix, RootKeyName, TRUE)) {
        return STATUS_INVALID_PARAMETER;
    }
    // "*", the root from the '\' after "Software" on, then "\*".
    const ULONG keptFrom = softwarePrefix.Length - sizeof(WCHAR);
    NTSTATUS status = AllocateName(Pattern, sizeof(leadingStar) + (RootKeyName->Length - keptFrom) + sizeof(trailingStar) - sizeof(WCHAR));
    if (NT_SUCCESS(status)) {
        AppendNameBytes(Pattern, &leadingStar, sizeof(leadingStar));
        AppendNameTail(Pattern, RootKeyName, keptFrom);
        AppendNameBytes(Pattern, trailingStar, sizeof(trailingStar) - sizeof(WCHAR));
    }
    return status;
}
