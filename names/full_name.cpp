// The full name of the key a create or open addresses: "\REGISTRY\..." with the user hives of a
// container (silo) folded onto the host user's hive, the 32-bit view of the driver's own key
// folded onto the 64-bit key, and ControlSet001 written as CurrentControlSet.
#include "names/names.h"

#include "common/match.h"
#include "common/name_buffer.h"
#include "names/name_patterns.h"
#include "tables/global_data.h"

#define REGISTRY_USER_PREFIX L"\\Registry\\User\\"
#define OWN_KEY_KEPT L"\\Registry\\Machine\\Software"
#define WOW64_NODE L"\\Wow6432Node"
#define OWN_KEY_WOW64 OWN_KEY_KEPT WOW64_NODE L"\\Tessaline\\VexRegFilter"
#define CONTROL_SET_001 L"\\Registry\\Machine\\SYSTEM\\ControlSet001"
#define CURRENT_CONTROL_SET L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet"

// Characters of a literal without its NUL.
#define LITERAL_CHARS(Literal) (sizeof(Literal) / sizeof(WCHAR) - 1)

// The 32-bit view of the driver's own key keeps its first characters and loses "\Wow6432Node".
#define OWN_KEY_KEPT_CHARS LITERAL_CHARS(OWN_KEY_KEPT)
#define WOW64_NODE_CHARS LITERAL_CHARS(WOW64_NODE)
static_assert(OWN_KEY_KEPT_CHARS == 26 && WOW64_NODE_CHARS == 12, "the own key's 32-bit view");

// A silo pattern matches as many characters as it has before its final star.
static_assert(PATTERN_STEM_CHARS(SILO_USER_CLASSES_PATTERN) == 65, "silo user classes");
static_assert(PATTERN_STEM_CHARS(SILO_USER_SID_CLASSES_PATTERN) == 78, "silo user Classes key");
static_assert(PATTERN_STEM_CHARS(SILO_USER_SID_PATTERN) == 61, "silo user hive");

static BOOLEAN StartsWith(PCUNICODE_STRING Name, PCWSTR Literal)
{
    UNICODE_STRING prefix;
    RtlInitUnicodeString(&prefix, Literal);
    return RtlPrefixUnicodeString(&prefix, Name, TRUE);
}

// Root object's name, a separator unless it ends in one, and the relative name. The capacity
// always has room for the separator.
static NTSTATUS JoinRelativeName(PLARGE_INTEGER Cookie, PVOID RootObject, PCUNICODE_STRING ObjectName, PUNICODE_STRING FullName)
{
    static const WCHAR separator = L'\\';
    PCUNICODE_STRING rootName = NULL;

    if (RootObject == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CmCallbackGetKeyObjectID(Cookie, RootObject, NULL, &rootName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (rootName == NULL || rootName->Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TraceLine("VexRegFilter - CreateFullName() [RootName] : %wZ\n", rootName);
    status = AllocateName(FullName, (ULONG)rootName->Length + ObjectName->Length + sizeof(WCHAR));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    AppendName(FullName, rootName);
    if (rootName->Length < sizeof(WCHAR) || rootName->Buffer[rootName->Length / sizeof(WCHAR) - 1] != L'\\') {
        AppendNameBytes(FullName, &separator, sizeof(WCHAR));
    }
    AppendName(FullName, ObjectName);
    return STATUS_SUCCESS;
}

// Replaces the part of FullName that a silo pattern matched (MatchedChars characters) by
// Replacement (and Sid when given).
static NTSTATUS FoldSiloName(PUNICODE_STRING FullName, ULONG MatchedChars, PCUNICODE_STRING Replacement, PCUNICODE_STRING Sid)
{
    UNICODE_STRING folded;
    ULONG restBytes = FullName->Length - MatchedChars * sizeof(WCHAR);
    NTSTATUS status = AllocateName(&folded, (ULONG)Replacement->Length + (Sid != NULL ? Sid->Length : 0) + restBytes);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CreateFullName - Temporary.Buffer allocate error\n");
        return status;
    }
    AppendName(&folded, Replacement);
    if (Sid != NULL) {
        AppendName(&folded, Sid);
    }
    AppendNameTail(&folded, FullName, MatchedChars * sizeof(WCHAR));
    FreeOwnedString(FullName);
    *FullName = folded;
    return STATUS_SUCCESS;
}

// A fold applies whenever what it folds onto exists: the user's Classes prefix for the silo's
// user classes, the user's SID for the silo's user hive. Without the Classes prefix a name under
// the silo's user Classes key folds as part of the user hive, which gives the same name.
static NTSTATUS FoldSiloNames(PUNICODE_STRING FullName)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    if (IsNameSet(&data->CuClasses)) {
        if (IsMatchName(FullName, &g_HLPatterns.SiloUserClassesPattern)) {
            return FoldSiloName(FullName, PATTERN_STEM_CHARS(SILO_USER_CLASSES_PATTERN), &data->CuClasses, NULL);
        }
        if (IsMatchName(FullName, &g_HLPatterns.SiloUserSidClassesPattern)) {
            return FoldSiloName(FullName, PATTERN_STEM_CHARS(SILO_USER_SID_CLASSES_PATTERN), &data->CuClasses, NULL);
        }
    }
    if (IsNameSet(&data->UserSid) && IsMatchName(FullName, &g_HLPatterns.SiloUserSidPattern)) {
        static const UNICODE_STRING userPrefix = CONSTANT_NAME(REGISTRY_USER_PREFIX);
        return FoldSiloName(FullName, PATTERN_STEM_CHARS(SILO_USER_SID_PATTERN), &userPrefix, &data->UserSid);
    }
    return STATUS_SUCCESS;
}

static VOID FoldOwnKeyWow64(PUNICODE_STRING FullName)
{
    if (!StartsWith(FullName, OWN_KEY_WOW64)) {
        return;
    }
    PWSTR tail = FullName->Buffer + OWN_KEY_KEPT_CHARS;
    RtlMoveMemory(tail, tail + WOW64_NODE_CHARS, FullName->Length - (OWN_KEY_KEPT_CHARS + WOW64_NODE_CHARS) * sizeof(WCHAR));
    FullName->Length -= WOW64_NODE_CHARS * sizeof(WCHAR);
}

// The old buffer goes in either case; on failure FullName is left empty.
static NTSTATUS RewriteControlSet(PUNICODE_STRING FullName)
{
    if (!StartsWith(FullName, CONTROL_SET_001)) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING current;
    UNICODE_STRING rewritten;
    RtlInitUnicodeString(&current, CURRENT_CONTROL_SET);
    const ULONG replacedBytes = sizeof(CONTROL_SET_001) - sizeof(WCHAR);
    NTSTATUS status = AllocateName(&rewritten, (ULONG)FullName->MaximumLength + current.Length - replacedBytes);
    if (NT_SUCCESS(status)) {
        AppendName(&rewritten, &current);
        AppendNameTail(&rewritten, FullName, replacedBytes);
    }
    FreeOwnedString(FullName);
    *FullName = rewritten;
    return status;
}

NTSTATUS CreateFullName(PLARGE_INTEGER Cookie, PVOID RootObject, PCUNICODE_STRING ObjectName, PUNICODE_STRING FullName)
{
    NTSTATUS status;

    TraceLine("VexRegFilter - CreateFullName() - enter\n");
    TraceLine("VexRegFilter - CreateFullName() [ObjectName] : %wZ\n", ObjectName);
    if (FullName == NULL || ObjectName == NULL) {
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    if (StartsWith(ObjectName, L"\\REGISTRY\\")) {
        status = DuplicateName(FullName, ObjectName);
    } else {
        status = JoinRelativeName(Cookie, RootObject, ObjectName, FullName);
    }
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    status = FoldSiloNames(FullName);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    FoldOwnKeyWow64(FullName);
    status = RewriteControlSet(FullName);

Exit:
    TraceLine("VexRegFilter - CreateFullName() - exit\n");
    return status;
}
